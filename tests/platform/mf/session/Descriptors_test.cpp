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

// Both creators check a null result pointer, a zero count, a null array and a null element.
TEST(Descriptors, CreationChecksItsArguments)
{
    auto type = VideoType(MFVideoFormat_ARGB32);
    auto stream = MakeStream(0, { type });
    IMFMediaType* types[] = { type.Get() };
    IMFMediaType* nullTypes[] = { nullptr };
    IMFStreamDescriptor* streams[] = { stream.Get() };
    IMFStreamDescriptor* nullStreams[] = { nullptr };
    ComPtr<IMFStreamDescriptor> sd;
    ComPtr<IMFPresentationDescriptor> pd;
    const std::pair<HRESULT, HRESULT> cases[] = {
        { MFCreateStreamDescriptor(0, 1, types, nullptr), E_POINTER },
        { MFCreateStreamDescriptor(0, 0, types, sd.GetAddressOf()), E_INVALIDARG },
        { MFCreateStreamDescriptor(0, 1, nullptr, sd.GetAddressOf()), E_INVALIDARG },
        { MFCreateStreamDescriptor(0, 1, nullTypes, sd.GetAddressOf()), E_INVALIDARG },
        { MFCreatePresentationDescriptor(1, streams, nullptr), E_POINTER },
        { MFCreatePresentationDescriptor(0, streams, pd.GetAddressOf()), E_INVALIDARG },
        { MFCreatePresentationDescriptor(1, nullptr, pd.GetAddressOf()), E_INVALIDARG },
        { MFCreatePresentationDescriptor(1, nullStreams, pd.GetAddressOf()), E_INVALIDARG },
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
    EXPECT_FALSE(sd);
    EXPECT_FALSE(pd);
}

TEST(StreamDescriptor, IdentifierAttributesAndOneHandler)
{
    auto descriptor = MakeStream(7, { VideoType(MFVideoFormat_ARGB32) });
    DWORD identifier = 0;
    EXPECT_EQ(descriptor->GetStreamIdentifier(&identifier), S_OK);
    EXPECT_EQ(identifier, 7u);
    EXPECT_EQ(descriptor->GetStreamIdentifier(nullptr), E_POINTER);
    // The same handler object every time: what one caller sets, the next one sees.
    EXPECT_EQ(HandlerOf(descriptor.Get()).Get(), HandlerOf(descriptor.Get()).Get());
    EXPECT_EQ(descriptor->GetMediaTypeHandler(nullptr), E_POINTER);
    ComPtr<IMFMediaTypeHandler> handler;
    EXPECT_EQ(descriptor.As(&handler), E_NOINTERFACE); // the handler is a separate object
}

TEST(MediaTypeHandler, OfferedTypesAndTheCurrentOne)
{
    auto argb = VideoType(MFVideoFormat_ARGB32);
    auto nv12 = VideoType(MFVideoFormat_NV12);
    auto descriptor = MakeStream(0, { argb, nv12 });
    auto handler = HandlerOf(descriptor.Get());

    DWORD count = 0;
    EXPECT_EQ(handler->GetMediaTypeCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(handler->GetMediaTypeByIndex(1, type.GetAddressOf()), S_OK);
    EXPECT_EQ(type.Get(), nv12.Get());
    EXPECT_EQ(handler->GetMediaTypeByIndex(2, type.ReleaseAndGetAddressOf()), MF_E_NO_MORE_TYPES);
    EXPECT_FALSE(type);

    // No current type yet; the major type comes from the first offered one.
    EXPECT_EQ(handler->GetCurrentMediaType(type.GetAddressOf()), MF_E_NOT_INITIALIZED);
    GUID major = GUID_NULL;
    EXPECT_EQ(handler->GetMajorType(&major), S_OK);
    EXPECT_EQ(major, MFMediaType_Video);

    EXPECT_EQ(handler->SetCurrentMediaType(nullptr), E_POINTER);
    EXPECT_EQ(handler->SetCurrentMediaType(nv12.Get()), S_OK);
    EXPECT_EQ(handler->GetCurrentMediaType(type.GetAddressOf()), S_OK);
    EXPECT_EQ(type.Get(), nv12.Get());
    const ULONG held = RefCount(nv12.Get());
    EXPECT_EQ(handler->SetCurrentMediaType(argb.Get()), S_OK);
    EXPECT_EQ(RefCount(nv12.Get()), held - 1); // the replaced type is let go
}

TEST(MediaTypeHandler, SupportedTypesAgreeWithAnOfferedOne)
{
    auto descriptor = MakeStream(0, { VideoType(MFVideoFormat_ARGB32) });
    auto handler = HandlerOf(descriptor.Get());
    auto same = VideoType(MFVideoFormat_ARGB32);
    EXPECT_EQ(handler->IsMediaTypeSupported(same.Get(), nullptr), S_OK);

    auto other = VideoType(MFVideoFormat_NV12);
    ComPtr<IMFMediaType> closest;
    EXPECT_EQ(handler->IsMediaTypeSupported(other.Get(), closest.GetAddressOf()), MF_E_INVALIDMEDIATYPE);
    ASSERT_TRUE(closest);
    GUID subtype = GUID_NULL;
    EXPECT_EQ(closest->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
    EXPECT_EQ(subtype, MFVideoFormat_ARGB32);
    auto otherSize = VideoType(MFVideoFormat_ARGB32, 1920, 1080);
    EXPECT_EQ(handler->IsMediaTypeSupported(otherSize.Get(), nullptr), MF_E_INVALIDMEDIATYPE);
    EXPECT_EQ(handler->IsMediaTypeSupported(nullptr, nullptr), E_POINTER);
}

// The clone shares the stream descriptors (both hold them until released) but has its own
// selection and attributes.
TEST(PresentationDescriptor, SelectionIndicesAndClone)
{
    auto first = MakeStream(0, { VideoType(MFVideoFormat_ARGB32) });
    auto second = MakeStream(5, { VideoType(MFVideoFormat_NV12) });
    const ULONG before = RefCount(first.Get());
    {
        IMFStreamDescriptor* streams[] = { first.Get(), second.Get() };
        ComPtr<IMFPresentationDescriptor> descriptor, clone;
        ASSERT_EQ(MFCreatePresentationDescriptor(2, streams, descriptor.GetAddressOf()), S_OK);
        DWORD count = 0;
        EXPECT_EQ(descriptor->GetStreamDescriptorCount(&count), S_OK);
        EXPECT_EQ(count, 2u);
        ComPtr<IMFStreamDescriptor> stream;
        EXPECT_FALSE(IsSelected(descriptor.Get(), 1, &stream)); // streams start deselected
        EXPECT_EQ(stream.Get(), second.Get());
        BOOL selected = 1;
        EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(2, &selected, stream.ReleaseAndGetAddressOf()), E_INVALIDARG);
        EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(0, nullptr, stream.ReleaseAndGetAddressOf()), E_POINTER);
        EXPECT_EQ(descriptor->SelectStream(2), E_INVALIDARG);
        EXPECT_EQ(descriptor->DeselectStream(2), E_INVALIDARG);
        EXPECT_EQ(descriptor->Clone(nullptr), E_POINTER);

        EXPECT_EQ(descriptor->SelectStream(0), S_OK);
        EXPECT_EQ(descriptor->SetUINT64(MF_PD_DURATION, 10000000), S_OK);
        ASSERT_EQ(descriptor->Clone(clone.GetAddressOf()), S_OK);
        EXPECT_NE(clone.Get(), descriptor.Get());
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
