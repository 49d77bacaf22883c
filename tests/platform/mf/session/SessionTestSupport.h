#pragma once
// Helpers of the session tests: media types, and the shared platform fixture and waits.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include "fakes/Platform.h"

namespace SessionTest
{
using namespace TestSupport;

inline ComPtr<IMFMediaType> VideoType(REFGUID subtype, UINT32 width = 64, UINT32 height = 48)
{
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(MFCreateMediaType(type.GetAddressOf()), S_OK);
    EXPECT_EQ(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), S_OK);
    EXPECT_EQ(type->SetGUID(MF_MT_SUBTYPE, subtype), S_OK);
    EXPECT_EQ(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height), S_OK);
    return type;
}

} // namespace SessionTest
