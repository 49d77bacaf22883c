#pragma once
// Helpers of the session tests: the platform started for each test, media types, reference counts.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace SessionTest
{
// Far beyond any healthy wait: reaching it means a lost event or a hang.
constexpr int Patience = 20000;

class PlatformTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION), S_OK); }
    void TearDown() override { EXPECT_EQ(MFShutdown(), S_OK); }
};

inline ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

inline ComPtr<IMFMediaType> VideoType(REFGUID subtype, UINT32 width = 64, UINT32 height = 48)
{
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(MFCreateMediaType(type.GetAddressOf()), S_OK);
    EXPECT_EQ(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), S_OK);
    EXPECT_EQ(type->SetGUID(MF_MT_SUBTYPE, subtype), S_OK);
    EXPECT_EQ(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height), S_OK);
    return type;
}

// Polls `condition` until it holds (for what no event announces, such as a reference count
// falling when a worker lets go); false after the patience.
template <class Condition>
bool WaitUntil(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Patience);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        // A short pause rather than a spin: the worker that must let go needs the processor.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
} // namespace SessionTest
