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

TEST(MediaType, IsEqualReportsEachKindOfDifference)
{
    constexpr DWORD Major = MF_MEDIATYPE_EQUAL_MAJOR_TYPES, Format = MF_MEDIATYPE_EQUAL_FORMAT_TYPES,
                    Data = MF_MEDIATYPE_EQUAL_FORMAT_DATA, User = MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA, All = Major | Format | Data | User;
    const UINT8 userData[] = { 1, 2, 3 };
    ComPtr<IMFMediaType> nv12 = VideoType(MFVideoFormat_NV12), empty;
    // Format data: the type with fewer items must be found in the other; user data and the
    // frame-rate range do not count.
    ComPtr<IMFMediaType> more = VideoType(MFVideoFormat_NV12), withUserData = VideoType(MFVideoFormat_NV12);
    ASSERT_HR(S_OK, more->SetUINT32(Guid::Parse("33333333-0000-0000-0000-000000000001"), 1));
    ASSERT_HR(S_OK, MFSetAttributeRatio(more.Get(), MF_MT_FRAME_RATE_RANGE_MAX, 60, 1));
    ASSERT_HR(S_OK, withUserData->SetBlob(MF_MT_USER_DATA, userData, sizeof userData));
    const std::tuple<const char*, ComPtr<IMFMediaType>, DWORD> cases[] = {
        { "same", VideoType(MFVideoFormat_NV12), All },
        { "more items", more, All },
        { "other size", VideoType(MFVideoFormat_NV12, 320), Major | Format | User },
        { "other subtype", VideoType(MFVideoFormat_ARGB32), Major | User },
        { "other major", VideoType(MFVideoFormat_NV12, 640, MFMediaType_Audio), Format | User },
        { "user data", withUserData, Major | Format | Data },
    };
    for (const auto& [name, other, expected] : cases)
    {
        DWORD flags = 0, reverse = 0;
        EXPECT_HR(expected == All ? S_OK : S_FALSE, nv12->IsEqual(other.Get(), &flags)) << name;
        EXPECT_EQ(expected, flags) << name;
        EXPECT_HR(expected == All ? S_OK : S_FALSE, other->IsEqual(nv12.Get(), &reverse)) << name; // either way round
    }
    // Types without a major type cannot be compared.
    DWORD flags = 7;
    ASSERT_HR(S_OK, MFCreateMediaType(empty.GetAddressOf()));
    EXPECT_HR(E_INVALIDARG, nv12->IsEqual(empty.Get(), &flags));
    EXPECT_HR(E_INVALIDARG, empty->IsEqual(nv12.Get(), &flags));
    EXPECT_EQ(0u, flags);
}
