// The system time source and the presentation clock with its state sinks.

#include "SessionTestSupport.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace SessionTest;

namespace
{
// What the clock told its sinks, in order: "A Start 1000", "B Stop", ... and the system times.
// The clock tells its sinks from the thread that changes its state.
struct Log
{
    std::vector<std::string> Notes;
    std::vector<MFTIME> Times;
};

class RecordingStateSink final : public ComObject<IMFClockStateSink>
{
public:
    RecordingStateSink(Log* log, std::string name, HRESULT result = S_OK) : m_Log(log), m_Name(std::move(name)), m_Result(result) {}

    HRESULT OnClockStart(MFTIME time, LONGLONG offset) override { return Note("Start " + std::to_string(offset), time); }
    HRESULT OnClockStop(MFTIME time) override { return Note("Stop", time); }
    HRESULT OnClockPause(MFTIME time) override { return Note("Pause", time); }
    HRESULT OnClockRestart(MFTIME time) override { return Note("Restart", time); }
    HRESULT OnClockSetRate(MFTIME time, float) override { return Note("Rate", time); }

private:
    HRESULT Note(const std::string& text, MFTIME time)
    {
        m_Log->Notes.push_back(m_Name + " " + text);
        m_Log->Times.push_back(time);
        return m_Result;
    }

    Log* const m_Log; // Non-owning: the test's
    const std::string m_Name;
    const HRESULT m_Result;
};

ComPtr<IMFPresentationClock> MakeClock()
{
    ComPtr<IMFPresentationTimeSource> timeSource;
    EXPECT_EQ(MFCreateSystemTimeSource(timeSource.GetAddressOf()), S_OK);
    ComPtr<IMFPresentationClock> clock;
    EXPECT_EQ(MFCreatePresentationClock(clock.GetAddressOf()), S_OK);
    EXPECT_EQ(clock->SetTimeSource(timeSource.Get()), S_OK);
    return clock;
}

} // namespace

TEST(PresentationClock, StateChangesReachEverySinkInRegistrationOrder)
{
    auto clock = MakeClock();
    Log log;
    auto first = Make<RecordingStateSink>(&log, "A");
    auto second = Make<RecordingStateSink>(&log, "B");
    ASSERT_EQ(clock->AddClockStateSink(first.Get()), S_OK);
    ASSERT_EQ(clock->AddClockStateSink(second.Get()), S_OK);
    EXPECT_EQ(clock->AddClockStateSink(first.Get()), E_INVALIDARG); // registered once

    const MFTIME before = MFGetSystemTime();
    ASSERT_EQ(clock->Start(5000), S_OK);
    EXPECT_EQ(clock->Start(PRESENTATION_CURRENT_POSITION), MF_E_CLOCK_STATE_ALREADY_SET);
    ASSERT_EQ(clock->Pause(), S_OK);
    EXPECT_EQ(clock->Pause(), MF_E_CLOCK_STATE_ALREADY_SET);
    ASSERT_EQ(clock->Start(PRESENTATION_CURRENT_POSITION), S_OK); // resumes: a restart
    ASSERT_EQ(clock->Stop(), S_OK);
    EXPECT_EQ(clock->Stop(), MF_E_CLOCK_STATE_ALREADY_SET);
    EXPECT_EQ(clock->Pause(), MF_E_INVALIDREQUEST);
    ASSERT_EQ(clock->Start(PRESENTATION_CURRENT_POSITION), S_OK); // from stopped: position 0

    EXPECT_EQ(log.Notes, (std::vector<std::string> { "A Start 5000", "B Start 5000", "A Pause", "B Pause", "A Restart", "B Restart",
                                                      "A Stop", "B Stop", "A Start 0", "B Start 0" }));
    // Both sinks were told the same system time for one change.
    for (size_t i = 0; i + 1 < log.Times.size(); i += 2)
    {
        EXPECT_GE(log.Times[i], before);
        EXPECT_EQ(log.Times[i], log.Times[i + 1]);
    }

    log.Notes.clear();
    EXPECT_EQ(clock->RemoveClockStateSink(first.Get()), S_OK);
    ASSERT_EQ(clock->Stop(), S_OK);
    EXPECT_EQ(log.Notes, (std::vector<std::string> { "B Stop" }));

    // A failing sink does not hide the change from the others.
    auto failing = Make<RecordingStateSink>(&log, "C", E_FAIL);
    ASSERT_EQ(clock->AddClockStateSink(failing.Get()), S_OK);
    ASSERT_EQ(clock->AddClockStateSink(first.Get()), S_OK);
    log.Notes.clear();
    EXPECT_EQ(clock->Start(0), E_FAIL);
    EXPECT_EQ(log.Notes, (std::vector<std::string> { "B Start 0", "C Start 0", "A Start 0" }));
    MFCLOCK_STATE state = MFCLOCK_STATE_INVALID;
    EXPECT_EQ(clock->GetState(0, &state), S_OK);
    EXPECT_EQ(state, MFCLOCK_STATE_RUNNING);
}

// A start that comes between a reader's look at the time source and its use of the time (made
// here by the time source itself) does not show the reader a time before the start offset.
TEST(PresentationClock, TimeNeverRunsBackBeforeTheStart)
{
    struct InterruptingTimeSource final : ComObject<TestSupport::TimeSourceStub>
    {
        HRESULT GetCorrelatedTime(DWORD, LONGLONG* clockTime, MFTIME* systemTime) override
        {
            *clockTime = *systemTime = MFGetSystemTime();
            while (MFGetSystemTime() == *systemTime) // the start comes strictly later
                ;
            if (auto interrupt = std::exchange(Interrupt, nullptr))
                interrupt();
            return S_OK;
        }
        std::function<void()> Interrupt;
    };
    auto source = Make<InterruptingTimeSource>();
    ComPtr<IMFPresentationClock> clock;
    ASSERT_EQ(MFCreatePresentationClock(clock.GetAddressOf()), S_OK);
    ASSERT_EQ(clock->SetTimeSource(source.Get()), S_OK);
    source->Interrupt = [&] { EXPECT_EQ(clock->Start(5000000), S_OK); };
    MFTIME time = -1;
    EXPECT_EQ(clock->GetTime(&time), S_OK);
    EXPECT_GE(time, 5000000);
}


