// Presentation descriptors: selection and clones.

#include "SessionTestSupport.h"

using namespace SessionTest;

namespace
{
ComPtr<IMFStreamDescriptor> MakeStream(DWORD identifier, std::vector<ComPtr<IMFMediaType>> types)
{
    std::vector<IMFMediaType*> raw;
    for (auto& type : types)
        raw.push_back(type.Get());
    ComPtr<IMFStreamDescriptor> descriptor;
    EXPECT_EQ(MFCreateStreamDescriptor(identifier, static_cast<DWORD>(raw.size()), raw.data(), descriptor.GetAddressOf()), S_OK);
    return descriptor;
}

// Whether stream `index` of `descriptor` is selected; `stream` receives its descriptor.
bool IsSelected(IMFPresentationDescriptor* descriptor, DWORD index, ComPtr<IMFStreamDescriptor>* stream)
{
    BOOL selected = 2;
    EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(index, &selected, stream->ReleaseAndGetAddressOf()), S_OK);
    return selected == 1;
}
} // namespace

// The clone shares the stream descriptors (both hold them until released) but has its own
// selection and attributes.
TEST(PresentationDescriptor, SelectionAndClone)
{
    auto first = MakeStream(0, { VideoType(MFVideoFormat_ARGB32) });
    auto second = MakeStream(5, { VideoType(MFVideoFormat_NV12) });
    const ULONG before = RefCount(first.Get());
    {
        IMFStreamDescriptor* streams[] = { first.Get(), second.Get() };
        ComPtr<IMFPresentationDescriptor> descriptor, clone;
        ASSERT_EQ(MFCreatePresentationDescriptor(2, streams, descriptor.GetAddressOf()), S_OK);
        ComPtr<IMFStreamDescriptor> stream;
        EXPECT_FALSE(IsSelected(descriptor.Get(), 1, &stream)); // streams start deselected
        EXPECT_EQ(stream.Get(), second.Get());
        EXPECT_EQ(descriptor->SelectStream(2), E_INVALIDARG);
        EXPECT_EQ(descriptor->SelectStream(0), S_OK);
        EXPECT_EQ(descriptor->SetUINT64(MF_PD_DURATION, 10000000), S_OK);
        ASSERT_EQ(descriptor->Clone(clone.GetAddressOf()), S_OK);
        EXPECT_EQ(RefCount(first.Get()), before + 2);
        EXPECT_EQ(MFGetAttributeUINT64(clone.Get(), MF_PD_DURATION, 0), 10000000u);
        EXPECT_TRUE(IsSelected(clone.Get(), 0, &stream));
        EXPECT_EQ(stream.Get(), first.Get());

        EXPECT_EQ(clone->DeselectStream(0), S_OK);
        EXPECT_EQ(clone->SetUINT64(MF_PD_DURATION, 5), S_OK);
        EXPECT_TRUE(IsSelected(descriptor.Get(), 0, &stream));
        EXPECT_EQ(MFGetAttributeUINT64(descriptor.Get(), MF_PD_DURATION, 0), 10000000u);
    }
    EXPECT_EQ(RefCount(first.Get()), before);
}
