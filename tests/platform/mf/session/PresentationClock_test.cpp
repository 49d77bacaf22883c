// The system time source and the presentation clock with its state sinks.

#include "SessionTestSupport.h"

using namespace SessionTest;

namespace
{
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

TEST(SystemTimeSource, CorrelatedTimeIsTheMonotonicSystemTime)
{
    ComPtr<IMFPresentationTimeSource> source;
    ASSERT_EQ(MFCreateSystemTimeSource(source.GetAddressOf()), S_OK);
    const MFTIME before = MFGetSystemTime();
    LONGLONG clockTime = 0;
    MFTIME systemTime = 0;
    ASSERT_EQ(source->GetCorrelatedTime(0, &clockTime, &systemTime), S_OK);
    const MFTIME after = MFGetSystemTime();
    EXPECT_EQ(clockTime, systemTime);
    EXPECT_GE(systemTime, before);
    EXPECT_LE(systemTime, after);
    LONGLONG later = 0;
    ASSERT_EQ(source->GetCorrelatedTime(0, &later, &systemTime), S_OK);
    EXPECT_GE(later, clockTime);

    DWORD characteristics = 0;
    EXPECT_EQ(source->GetClockCharacteristics(&characteristics), S_OK);
    EXPECT_EQ(characteristics, 0xEu); // 10 MHz, always running, the system clock
    MFCLOCK_STATE state = MFCLOCK_STATE_INVALID;
    EXPECT_EQ(source->GetState(0, &state), S_OK);
    EXPECT_EQ(state, MFCLOCK_STATE_RUNNING);
    MFCLOCK_PROPERTIES properties {};
    EXPECT_EQ(source->GetProperties(&properties), S_OK);
    EXPECT_EQ(properties.qwClockFrequency, 10000000u);
    ComPtr<IMFClock> underlying;
    EXPECT_EQ(source->GetUnderlyingClock(underlying.GetAddressOf()), MF_E_NO_CLOCK);
    EXPECT_EQ(source->GetCorrelatedTime(0, nullptr, &systemTime), E_POINTER);
    EXPECT_EQ(MFCreateSystemTimeSource(nullptr), E_POINTER);
}

TEST(PresentationClock, NeedsATimeSource)
{
    ComPtr<IMFPresentationClock> clock;
    ASSERT_EQ(MFCreatePresentationClock(clock.GetAddressOf()), S_OK);
    ComPtr<IMFPresentationTimeSource> timeSource;
    EXPECT_EQ(clock->GetTimeSource(timeSource.GetAddressOf()), MF_E_CLOCK_NO_TIME_SOURCE);
    EXPECT_EQ(clock->Start(0), MF_E_CLOCK_NO_TIME_SOURCE);
    MFTIME time = 0;
    EXPECT_EQ(clock->GetTime(&time), MF_E_CLOCK_NO_TIME_SOURCE);
    EXPECT_EQ(clock->SetTimeSource(nullptr), E_INVALIDARG);
    MFCLOCK_STATE state = MFCLOCK_STATE_RUNNING;
    EXPECT_EQ(clock->GetState(0, &state), S_OK);
    EXPECT_EQ(state, MFCLOCK_STATE_INVALID);
}

TEST(PresentationClock, StateChangesReachEverySinkInRegistrationOrder)
{
    auto clock = MakeClock();
    std::vector<std::string> log;
    auto first = Make<RecordingStateSink>(&log, "A");
    auto second = Make<RecordingStateSink>(&log, "B");
    ASSERT_EQ(clock->AddClockStateSink(first.Get()), S_OK);
    ASSERT_EQ(clock->AddClockStateSink(second.Get()), S_OK);
    EXPECT_EQ(clock->AddClockStateSink(first.Get()), E_INVALIDARG); // registered once
    EXPECT_EQ(clock->AddClockStateSink(nullptr), E_INVALIDARG);

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

    EXPECT_EQ(log, (std::vector<std::string> { "A Start 5000", "B Start 5000", "A Pause", "B Pause", "A Restart", "B Restart", "A Stop",
                                               "B Stop", "A Start 0", "B Start 0" }));
    for (MFTIME systemTime : first->SystemTimes())
        EXPECT_GE(systemTime, before);
    // Both sinks were told the same system time for one change.
    EXPECT_EQ(first->SystemTimes(), second->SystemTimes());

    log.clear();
    EXPECT_EQ(clock->RemoveClockStateSink(first.Get()), S_OK);
    EXPECT_EQ(clock->RemoveClockStateSink(first.Get()), S_OK); // not registered: nothing to do
    ASSERT_EQ(clock->Stop(), S_OK);
    EXPECT_EQ(log, (std::vector<std::string> { "B Stop" }));
}

TEST(PresentationClock, PresentationTimeRunsFreezesAndResets)
{
    auto clock = MakeClock();
    MFTIME time = -1;
    EXPECT_EQ(clock->GetTime(&time), S_OK);
    EXPECT_EQ(time, 0); // not started

    ASSERT_EQ(clock->Start(1000000), S_OK);
    MFTIME started = 0;
    ASSERT_EQ(clock->GetTime(&started), S_OK);
    EXPECT_GE(started, 1000000);
    LONGLONG clockTime = 0;
    MFTIME systemTime = 0;
    ASSERT_EQ(clock->GetCorrelatedTime(0, &clockTime, &systemTime), S_OK);
    EXPECT_GE(clockTime, started);

    ASSERT_EQ(clock->Pause(), S_OK);
    MFTIME paused = 0, stillPaused = 0;
    ASSERT_EQ(clock->GetTime(&paused), S_OK);
    ASSERT_EQ(clock->GetTime(&stillPaused), S_OK);
    EXPECT_EQ(paused, stillPaused);
    EXPECT_GE(paused, clockTime);
    MFCLOCK_STATE state = MFCLOCK_STATE_INVALID;
    EXPECT_EQ(clock->GetState(0, &state), S_OK);
    EXPECT_EQ(state, MFCLOCK_STATE_PAUSED);

    ASSERT_EQ(clock->Start(PRESENTATION_CURRENT_POSITION), S_OK);
    MFTIME resumed = 0;
    ASSERT_EQ(clock->GetTime(&resumed), S_OK);
    EXPECT_GE(resumed, paused);

    ASSERT_EQ(clock->Stop(), S_OK);
    ASSERT_EQ(clock->GetTime(&time), S_OK);
    EXPECT_EQ(time, 0);
    EXPECT_EQ(clock->SetTimeSource(nullptr), E_INVALIDARG);
}

TEST(PresentationClock, AFailingSinkDoesNotHideTheChangeFromTheOthers)
{
    auto clock = MakeClock();
    std::vector<std::string> log;
    auto failing = Make<RecordingStateSink>(&log, "A", E_FAIL);
    auto healthy = Make<RecordingStateSink>(&log, "B");
    ASSERT_EQ(clock->AddClockStateSink(failing.Get()), S_OK);
    ASSERT_EQ(clock->AddClockStateSink(healthy.Get()), S_OK);
    EXPECT_EQ(clock->Start(0), E_FAIL);
    EXPECT_EQ(log, (std::vector<std::string> { "A Start 0", "B Start 0" }));
    MFCLOCK_STATE state = MFCLOCK_STATE_INVALID;
    EXPECT_EQ(clock->GetState(0, &state), S_OK);
    EXPECT_EQ(state, MFCLOCK_STATE_RUNNING);
}

TEST(PresentationClock, ShutdownLetsGoOfSinksAndTimeSource)
{
    auto clock = MakeClock();
    auto sink = Make<RecordingStateSink>();
    const ULONG before = RefCount(sink.Get());
    ASSERT_EQ(clock->AddClockStateSink(sink.Get()), S_OK);
    EXPECT_EQ(RefCount(sink.Get()), before + 1);

    ComPtr<IMFShutdown> shutdown;
    ASSERT_EQ(clock.As(&shutdown), S_OK);
    MFSHUTDOWN_STATUS status {};
    EXPECT_EQ(shutdown->GetShutdownStatus(&status), MF_E_INVALIDREQUEST);
    EXPECT_EQ(shutdown->Shutdown(), S_OK);
    EXPECT_EQ(RefCount(sink.Get()), before);
    EXPECT_EQ(shutdown->GetShutdownStatus(&status), S_OK);
    EXPECT_EQ(status, MFSHUTDOWN_COMPLETED);

    EXPECT_EQ(shutdown->Shutdown(), MF_E_SHUTDOWN);
    EXPECT_EQ(clock->Start(0), MF_E_SHUTDOWN);
    EXPECT_EQ(clock->AddClockStateSink(sink.Get()), MF_E_SHUTDOWN);
    EXPECT_EQ(clock->RemoveClockStateSink(sink.Get()), S_OK); // what objects do in their own shutdown
    EXPECT_TRUE(sink->Notes().empty());
}
