#include "DataTestSupport.h"

#include <gtest/gtest.h>

using namespace DataTest;

namespace
{
constexpr GUID OtherKey = Guid::Parse("33333333-0000-0000-0000-000000000001");

ComPtr<IMFMediaType> NewType(REFGUID major, const GUID* subtype = nullptr)
{
    ComPtr<IMFMediaType> type;
    EXPECT_HR(S_OK, MFCreateMediaType(type.GetAddressOf()));
    if (major != GUID_NULL)
    {
        EXPECT_HR(S_OK, type->SetGUID(MF_MT_MAJOR_TYPE, major));
    }
    if (subtype)
    {
        EXPECT_HR(S_OK, type->SetGUID(MF_MT_SUBTYPE, *subtype));
    }
    return type;
}

ComPtr<IMFMediaType> VideoType(const GUID& subtype, UINT32 width, UINT32 height)
{
    ComPtr<IMFMediaType> type = NewType(MFMediaType_Video, &subtype);
    EXPECT_HR(S_OK, MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height));
    return type;
}
} // namespace

TEST(MediaType, AnswersMediaTypeAndAttributes)
{
    ComPtr<IMFMediaType> type = NewType(GUID_NULL);
    ComPtr<IMFAttributes> attributes;
    ComPtr<IUnknown> unknown;
    ComPtr<IMFSample> sample;
    EXPECT_HR(S_OK, type.As(&attributes));
    EXPECT_HR(S_OK, type.As(&unknown));
    EXPECT_HR(E_NOINTERFACE, type.As(&sample));
    EXPECT_EQ(static_cast<IMFAttributes*>(type.Get()), attributes.Get());
    EXPECT_EQ(3u, CountOf(type.Get()));
    EXPECT_HR(E_POINTER, MFCreateMediaType(nullptr));
}

TEST(MediaType, MajorTypeAndCompression)
{
    ComPtr<IMFMediaType> type = NewType(GUID_NULL);
    GUID major {};
    EXPECT_HR(MF_E_ATTRIBUTENOTFOUND, type->GetMajorType(&major));
    EXPECT_HR(E_POINTER, type->GetMajorType(nullptr));
    ASSERT_HR(S_OK, type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
    EXPECT_HR(S_OK, type->GetMajorType(&major));
    EXPECT_EQ(MFMediaType_Video, major);

    BOOL compressed = 0;
    EXPECT_HR(E_POINTER, type->IsCompressedFormat(nullptr));
    EXPECT_HR(S_OK, type->IsCompressedFormat(&compressed));
    EXPECT_TRUE(compressed); // nothing says the samples stand alone
    ASSERT_HR(S_OK, type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1));
    EXPECT_HR(S_OK, type->IsCompressedFormat(&compressed));
    EXPECT_FALSE(compressed);
}

TEST(MediaType, IsEqualReportsEachKindOfDifference)
{
    const DWORD all = MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_DATA
        | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
    ComPtr<IMFMediaType> nv12 = VideoType(MFVideoFormat_NV12, 640, 480);
    DWORD flags = 0;

    ComPtr<IMFMediaType> same = VideoType(MFVideoFormat_NV12, 640, 480);
    EXPECT_HR(S_OK, nv12->IsEqual(same.Get(), &flags));
    EXPECT_EQ(all, flags);
    EXPECT_HR(S_OK, nv12->IsEqual(nv12.Get(), &flags));
    EXPECT_EQ(all, flags);

    ComPtr<IMFMediaType> otherSize = VideoType(MFVideoFormat_NV12, 320, 240);
    EXPECT_HR(S_FALSE, nv12->IsEqual(otherSize.Get(), &flags));
    EXPECT_EQ(all & ~MF_MEDIATYPE_EQUAL_FORMAT_DATA, flags);

    ComPtr<IMFMediaType> otherSubtype = VideoType(MFVideoFormat_ARGB32, 640, 480);
    EXPECT_HR(S_FALSE, nv12->IsEqual(otherSubtype.Get(), &flags));
    EXPECT_EQ(MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA, flags);

    ComPtr<IMFMediaType> audio = NewType(MFMediaType_Audio, &MFVideoFormat_NV12);
    ASSERT_HR(S_OK, MFSetAttributeSize(audio.Get(), MF_MT_FRAME_SIZE, 640, 480));
    EXPECT_HR(S_FALSE, nv12->IsEqual(audio.Get(), &flags));
    EXPECT_EQ(all & ~(MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_DATA), flags);

    // Format data: the type with fewer items must be found in the other; user data and the
    // frame-rate range do not count.
    ComPtr<IMFMediaType> more = VideoType(MFVideoFormat_NV12, 640, 480);
    ASSERT_HR(S_OK, more->SetUINT32(OtherKey, 1));
    ASSERT_HR(S_OK, MFSetAttributeRatio(more.Get(), MF_MT_FRAME_RATE_RANGE_MAX, 60, 1));
    EXPECT_HR(S_OK, nv12->IsEqual(more.Get(), &flags));
    EXPECT_HR(S_OK, more->IsEqual(nv12.Get(), &flags));
    const UINT8 userData[] = { 1, 2, 3 };
    ASSERT_HR(S_OK, more->SetBlob(MF_MT_USER_DATA, userData, sizeof userData));
    EXPECT_HR(S_FALSE, nv12->IsEqual(more.Get(), &flags));
    EXPECT_EQ(all & ~MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA, flags);
    ASSERT_HR(S_OK, same->SetBlob(MF_MT_USER_DATA, userData, sizeof userData));
    EXPECT_HR(S_OK, same->IsEqual(more.Get(), &flags));

    // Without a major type on either side the types cannot be compared.
    ComPtr<IMFMediaType> empty = NewType(GUID_NULL);
    flags = 7;
    EXPECT_HR(E_INVALIDARG, nv12->IsEqual(empty.Get(), &flags));
    EXPECT_EQ(0u, flags);
    EXPECT_HR(E_INVALIDARG, empty->IsEqual(nv12.Get(), &flags));
    EXPECT_HR(E_INVALIDARG, nv12->IsEqual(nullptr, &flags));
    EXPECT_HR(E_POINTER, nv12->IsEqual(same.Get(), nullptr));
    EXPECT_EQ(1u, CountOf(same.Get())); // comparing leaves no reference behind
}

TEST(MediaType, CopyAllItemsIntoANewTypeMakesAnEqualType)
{
    // What a sink's GetMediaTypeByIndex does with its current type.
    ComPtr<IMFMediaType> current = VideoType(MFVideoFormat_H264, 1920, 1080);
    ASSERT_HR(S_OK, MFSetAttributeRatio(current.Get(), MF_MT_FRAME_RATE, 30000, 1001));
    ComPtr<IMFMediaType> copy = NewType(GUID_NULL);
    ASSERT_HR(S_OK, current->CopyAllItems(copy.Get()));
    DWORD flags = 0;
    EXPECT_HR(S_OK, copy->IsEqual(current.Get(), &flags));
    BOOL same = 0;
    EXPECT_HR(S_OK, copy->Compare(current.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same));
    EXPECT_TRUE(same);
}
