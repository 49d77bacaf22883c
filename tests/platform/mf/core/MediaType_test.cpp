#include "WorkTestSupport.h"

#include <gtest/gtest.h>

using namespace WorkTest;

namespace
{
ComPtr<IMFMediaType> VideoType(const GUID& subtype, UINT32 width = 640, const GUID& major = MFMediaType_Video)
{
    ComPtr<IMFMediaType> type;
    EXPECT_HR(S_OK, MFCreateMediaType(type.GetAddressOf()));
    EXPECT_HR(S_OK, type->SetGUID(MF_MT_MAJOR_TYPE, major));
    EXPECT_HR(S_OK, type->SetGUID(MF_MT_SUBTYPE, subtype));
    EXPECT_HR(S_OK, MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, 480));
    return type;
}
} // namespace

TEST(MediaType, TypesWithoutAMajorTypeCannotBeCompared)
{
    ComPtr<IMFMediaType> empty, nv12 = VideoType(MFVideoFormat_NV12);
    ASSERT_HR(S_OK, MFCreateMediaType(empty.GetAddressOf()));
    GUID major {};
    DWORD flags = 7;
    EXPECT_HR(MF_E_ATTRIBUTENOTFOUND, empty->GetMajorType(&major));
    EXPECT_HR(E_INVALIDARG, nv12->IsEqual(empty.Get(), &flags));
    EXPECT_HR(E_INVALIDARG, empty->IsEqual(nv12.Get(), &flags));
    EXPECT_HR(E_INVALIDARG, nv12->IsEqual(nullptr, &flags));
    EXPECT_EQ(0u, flags);
}

TEST(MediaType, IsEqualReportsEachKindOfDifference)
{
    constexpr DWORD Major = MF_MEDIATYPE_EQUAL_MAJOR_TYPES, Format = MF_MEDIATYPE_EQUAL_FORMAT_TYPES,
                    Data = MF_MEDIATYPE_EQUAL_FORMAT_DATA, User = MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
    constexpr GUID OtherKey = Guid::Parse("33333333-0000-0000-0000-000000000001");
    const UINT8 userData[] = { 1, 2, 3 };
    ComPtr<IMFMediaType> nv12 = VideoType(MFVideoFormat_NV12);
    // Format data: the type with fewer items must be found in the other; user data and the
    // frame-rate range do not count.
    ComPtr<IMFMediaType> more = VideoType(MFVideoFormat_NV12), withUserData = VideoType(MFVideoFormat_NV12);
    ASSERT_HR(S_OK, more->SetUINT32(OtherKey, 1));
    ASSERT_HR(S_OK, MFSetAttributeRatio(more.Get(), MF_MT_FRAME_RATE_RANGE_MAX, 60, 1));
    ASSERT_HR(S_OK, withUserData->SetBlob(MF_MT_USER_DATA, userData, sizeof userData));
    struct Case
    {
        const char* Name;
        ComPtr<IMFMediaType> Other;
        DWORD Flags;
    };
    const Case cases[] = {
        { "itself", nv12, Major | Format | Data | User },
        { "same", VideoType(MFVideoFormat_NV12), Major | Format | Data | User },
        { "more items", more, Major | Format | Data | User },
        { "other size", VideoType(MFVideoFormat_NV12, 320), Major | Format | User },
        { "other subtype", VideoType(MFVideoFormat_ARGB32), Major | User },
        { "other major", VideoType(MFVideoFormat_NV12, 640, MFMediaType_Audio), Format | User },
        { "user data", withUserData, Major | Format | Data },
    };
    for (const Case& c : cases)
    {
        DWORD flags = 0;
        EXPECT_HR(c.Flags == (Major | Format | Data | User) ? S_OK : S_FALSE, nv12->IsEqual(c.Other.Get(), &flags)) << c.Name;
        EXPECT_EQ(c.Flags, flags) << c.Name;
        DWORD reverse = 0;
        EXPECT_HR(S_OK, c.Other->IsEqual(c.Other.Get(), &reverse)); // each is equal to itself
    }
    DWORD flags = 0;
    EXPECT_HR(S_OK, more->IsEqual(nv12.Get(), &flags)); // either way round
    ASSERT_HR(S_OK, more->SetBlob(MF_MT_USER_DATA, userData, sizeof userData));
    EXPECT_HR(S_OK, withUserData->IsEqual(more.Get(), &flags));
    ComPtr<IMFMediaType> compared = VideoType(MFVideoFormat_NV12);
    EXPECT_HR(S_OK, nv12->IsEqual(compared.Get(), &flags));
    EXPECT_EQ(1u, RefCount(compared.Get())); // comparing leaves no reference behind
}
