#pragma once
// Helpers of the session tests: the platform started for each test, media types, reference
// counts, and a clock state sink that records what it is told.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

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

// Records the notifications it gets as text: "Start 1000", "Stop", "Pause", "Restart".
class RecordingStateSink final : public ComObject<IMFClockStateSink>
{
public:
    explicit RecordingStateSink(std::vector<std::string>* shared = nullptr, std::string name = {}, HRESULT result = S_OK)
        : m_Shared(shared), m_Name(std::move(name)), m_Result(result)
    {
    }

    HRESULT OnClockStart(MFTIME systemTime, LONGLONG offset) override { return Note("Start " + std::to_string(offset), systemTime); }
    HRESULT OnClockStop(MFTIME systemTime) override { return Note("Stop", systemTime); }
    HRESULT OnClockPause(MFTIME systemTime) override { return Note("Pause", systemTime); }
    HRESULT OnClockRestart(MFTIME systemTime) override { return Note("Restart", systemTime); }
    HRESULT OnClockSetRate(MFTIME systemTime, float) override { return Note("Rate", systemTime); }

    std::vector<std::string> Notes() const
    {
        std::lock_guard lock(m_Lock);
        return m_Notes;
    }
    std::vector<MFTIME> SystemTimes() const
    {
        std::lock_guard lock(m_Lock);
        return m_SystemTimes;
    }

private:
    HRESULT Note(const std::string& text, MFTIME systemTime)
    {
        std::lock_guard lock(m_Lock);
        m_Notes.push_back(text);
        m_SystemTimes.push_back(systemTime);
        if (m_Shared)
            m_Shared->push_back(m_Name + " " + text);
        return m_Result;
    }

    std::vector<std::string>* const m_Shared; // Non-owning: the test's common log (one thread)
    const std::string m_Name;
    const HRESULT m_Result;
    mutable std::mutex m_Lock; // guards the two lists
    std::vector<std::string> m_Notes;
    std::vector<MFTIME> m_SystemTimes;
};
} // namespace SessionTest

#include <chrono>
#include <thread>

namespace SessionTest
{
// Waits until `condition` holds, looking again every millisecond; false after `timeout`.
template <class Condition>
bool WaitUntil(Condition condition, int timeoutMilliseconds = Patience)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
} // namespace SessionTest
