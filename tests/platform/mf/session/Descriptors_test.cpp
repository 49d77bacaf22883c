// Stream and presentation descriptors and the stream's media type handler.

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

ComPtr<IMFMediaTypeHandler> HandlerOf(IMFStreamDescriptor* descriptor)
{
    ComPtr<IMFMediaTypeHandler> handler;
    EXPECT_EQ(descriptor->GetMediaTypeHandler(handler.GetAddressOf()), S_OK);
    return handler;
}

// Whether stream `index` of `descriptor` is selected; `stream` receives its descriptor.
bool IsSelected(IMFPresentationDescriptor* descriptor, DWORD index, ComPtr<IMFStreamDescriptor>* stream)
{
    BOOL selected = 2;
    EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(index, &selected, stream->ReleaseAndGetAddressOf()), S_OK);
    return selected == 1;
}
} // namespace

// Both creators refuse a null element and a null result pointer.
TEST(Descriptors, CreationChecksItsArguments)
{
    IMFMediaType* nullTypes[] = { nullptr };
    IMFStreamDescriptor* nullStreams[] = { nullptr };
    ComPtr<IMFStreamDescriptor> sd;
    ComPtr<IMFPresentationDescriptor> pd;
    EXPECT_EQ(MFCreateStreamDescriptor(0, 1, nullTypes, sd.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreatePresentationDescriptor(1, nullStreams, pd.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreatePresentationDescriptor(1, nullStreams, nullptr), E_POINTER);
    EXPECT_FALSE(sd);
    EXPECT_FALSE(pd);
}

// One handler per stream: what one caller sets, the next one sees; a replaced type is let go.
TEST(MediaTypeHandler, OfferedTypesAndTheCurrentOne)
{
    auto argb = VideoType(MFVideoFormat_ARGB32);
    auto nv12 = VideoType(MFVideoFormat_NV12);
    auto descriptor = MakeStream(0, { argb, nv12 });
    auto handler = HandlerOf(descriptor.Get());
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(handler->GetCurrentMediaType(type.GetAddressOf()), MF_E_NOT_INITIALIZED);
    EXPECT_EQ(handler->GetMediaTypeByIndex(2, type.GetAddressOf()), MF_E_NO_MORE_TYPES);
    EXPECT_EQ(handler->SetCurrentMediaType(nv12.Get()), S_OK);
    EXPECT_EQ(HandlerOf(descriptor.Get())->GetCurrentMediaType(type.GetAddressOf()), S_OK);
    EXPECT_EQ(type.Get(), nv12.Get());
    const ULONG held = RefCount(nv12.Get());
    EXPECT_EQ(handler->SetCurrentMediaType(argb.Get()), S_OK);
    EXPECT_EQ(RefCount(nv12.Get()), held - 1);
}

TEST(MediaTypeHandler, SupportedTypesAgreeWithAnOfferedOne)
{
    auto descriptor = MakeStream(0, { VideoType(MFVideoFormat_ARGB32) });
    auto handler = HandlerOf(descriptor.Get());
    EXPECT_EQ(handler->IsMediaTypeSupported(VideoType(MFVideoFormat_ARGB32).Get(), nullptr), S_OK);
    EXPECT_EQ(handler->IsMediaTypeSupported(VideoType(MFVideoFormat_ARGB32, 1920, 1080).Get(), nullptr), MF_E_INVALIDMEDIATYPE);
    ComPtr<IMFMediaType> closest;
    EXPECT_EQ(handler->IsMediaTypeSupported(VideoType(MFVideoFormat_NV12).Get(), closest.GetAddressOf()), MF_E_INVALIDMEDIATYPE);
    ASSERT_TRUE(closest);
    GUID subtype = GUID_NULL;
    EXPECT_EQ(closest->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
    EXPECT_EQ(subtype, MFVideoFormat_ARGB32);
    EXPECT_EQ(handler->IsMediaTypeSupported(nullptr, nullptr), E_POINTER);
}

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
