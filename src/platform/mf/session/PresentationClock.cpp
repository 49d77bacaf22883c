// The presentation clock: presentation time over a time source, and the clock state sinks
// that follow its Start, Stop and Pause.
//
// Presentation time: stopped 0; running, the start offset plus the system time elapsed since
// the start; paused, frozen where the pause found it. The time source is read outside the
// clock's mutex, so a reader may have read it just before a start: it then gets the start
// offset, never a time before it.
//
// Each state change is decided under the clock's mutex and then told to every state sink
// registered at that moment, in registration order, on the caller's thread and without the
// mutex held (a sink may call the clock back). Every sink is told even when one fails; the
// first failure is the call's result. Callers serialise their state changes (the media session
// makes them from its one command queue).
//
// Shutdown (IMFShutdown) lets go of the sinks and the time source, so that objects still
// holding the clock no longer keep each other alive through it; later calls answer MF_E_SHUTDOWN.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/mf/session/ClockTime.h"

#include <algorithm>
#include <mutex>
#include <vector>

namespace MFPlatform
{
namespace
{
class PresentationClock final : public ComObject<IMFPresentationClock, IMFShutdown>
{
public:
    // IMFClock
    HRESULT GetClockCharacteristics(DWORD* characteristics) override
    {
        if (!characteristics)
            return E_POINTER;
        ComPtr<IMFPresentationTimeSource> source;
        const HRESULT hr = TimeSource(&source);
        return FAILED(hr) ? hr : source->GetClockCharacteristics(characteristics);
    }

    HRESULT GetCorrelatedTime(DWORD reserved, LONGLONG* clockTime, MFTIME* systemTime) override
    {
        if (!clockTime || !systemTime)
            return E_POINTER;
        MFTIME now = 0;
        const HRESULT hr = SystemTimeNow(&now);
        if (FAILED(hr))
            return hr;
        std::lock_guard lock(m_Lock);
        *clockTime = PresentationTimeLocked(now);
        *systemTime = now;
        return S_OK;
    }

    HRESULT GetContinuityKey(DWORD* key) override { return ContinuousClockKey(key); }

    HRESULT GetState(DWORD reserved, MFCLOCK_STATE* state) override
    {
        if (!state)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *state = m_State;
        return S_OK;
    }

    HRESULT GetProperties(MFCLOCK_PROPERTIES* properties) override
    {
        if (!properties)
            return E_POINTER;
        ComPtr<IMFPresentationTimeSource> source;
        const HRESULT hr = TimeSource(&source);
        return FAILED(hr) ? hr : source->GetProperties(properties);
    }

    // IMFPresentationClock
    HRESULT SetTimeSource(IMFPresentationTimeSource* timeSource) override
    {
        if (!timeSource)
            return E_INVALIDARG;
        ComPtr<IMFPresentationTimeSource> replaced(timeSource);
        {
            std::lock_guard lock(m_Lock);
            if (m_ShutDown)
                return MF_E_SHUTDOWN;
            if (m_State == MFCLOCK_STATE_RUNNING || m_State == MFCLOCK_STATE_PAUSED)
                return MF_E_INVALIDREQUEST; // times would jump under the sinks
            std::swap(m_TimeSource, replaced);
        }
        return S_OK;
    }

    HRESULT GetTimeSource(IMFPresentationTimeSource** timeSource) override
    {
        if (!timeSource)
            return E_POINTER;
        *timeSource = nullptr;
        ComPtr<IMFPresentationTimeSource> source;
        const HRESULT hr = TimeSource(&source);
        if (SUCCEEDED(hr))
            *timeSource = source.Detach();
        return hr;
    }

    HRESULT GetTime(MFTIME* clockTime) override
    {
        if (!clockTime)
            return E_POINTER;
        MFTIME systemTime = 0;
        return GetCorrelatedTime(0, clockTime, &systemTime);
    }

    HRESULT AddClockStateSink(IMFClockStateSink* stateSink) override
    {
        if (!stateSink)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (FindLocked(stateSink) != m_Sinks.end())
            return E_INVALIDARG; // already registered
        m_Sinks.emplace_back(stateSink);
        return S_OK;
    }

    // Removing a sink that is not registered is not an error.
    HRESULT RemoveClockStateSink(IMFClockStateSink* stateSink) override
    {
        if (!stateSink)
            return E_INVALIDARG;
        ComPtr<IMFClockStateSink> removed;
        {
            std::lock_guard lock(m_Lock);
            auto found = FindLocked(stateSink);
            if (found != m_Sinks.end())
            {
                removed = std::move(*found);
                m_Sinks.erase(found);
            }
        }
        return S_OK; // `removed` is released here, outside the lock
    }

    HRESULT Start(LONGLONG clockStartOffset) override
    {
        return ChangeState(Change::Start, clockStartOffset);
    }

    HRESULT Stop() override { return ChangeState(Change::Stop, 0); }
    HRESULT Pause() override { return ChangeState(Change::Pause, 0); }

    // IMFShutdown
    HRESULT Shutdown() override
    {
        std::vector<ComPtr<IMFClockStateSink>> sinks;
        ComPtr<IMFPresentationTimeSource> source;
        {
            std::lock_guard lock(m_Lock);
            if (m_ShutDown)
                return MF_E_SHUTDOWN;
            m_ShutDown = true;
            sinks.swap(m_Sinks);
            source = std::move(m_TimeSource);
        }
        return S_OK; // released here, outside the lock
    }

    HRESULT GetShutdownStatus(MFSHUTDOWN_STATUS* status) override
    {
        if (!status)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        if (!m_ShutDown)
            return MF_E_INVALIDREQUEST;
        *status = MFSHUTDOWN_COMPLETED;
        return S_OK;
    }

private:
    enum class Change
    {
        Start,
        Stop,
        Pause,
    };

    HRESULT TimeSource(ComPtr<IMFPresentationTimeSource>* source)
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (!m_TimeSource)
            return MF_E_CLOCK_NO_TIME_SOURCE;
        *source = m_TimeSource;
        return S_OK;
    }

    // The system time of the time source now (read outside the lock). Its clock time is not
    // needed: this clock keeps its own offset.
    HRESULT SystemTimeNow(MFTIME* now)
    {
        ComPtr<IMFPresentationTimeSource> source;
        HRESULT hr = TimeSource(&source);
        LONGLONG sourceTime = 0;
        if (SUCCEEDED(hr))
            hr = source->GetCorrelatedTime(0, &sourceTime, now);
        return hr;
    }

    std::vector<ComPtr<IMFClockStateSink>>::iterator FindLocked(IMFClockStateSink* sink)
    {
        return std::find_if(m_Sinks.begin(), m_Sinks.end(), [sink](const auto& s) { return s.Get() == sink; });
    }

    LONGLONG PresentationTimeLocked(MFTIME systemTime) const
    {
        switch (m_State)
        {
        case MFCLOCK_STATE_RUNNING:
            return m_Offset + std::max<MFTIME>(0, systemTime - m_SystemTime);
        case MFCLOCK_STATE_PAUSED:
            return m_Offset;
        default:
            return 0;
        }
    }

    HRESULT ChangeState(Change change, LONGLONG offset)
    {
        MFTIME now = 0;
        HRESULT hr = SystemTimeNow(&now);
        if (FAILED(hr))
            return hr;

        enum class Notice
        {
            Start,
            Restart,
            Stop,
            Pause,
        } notice {};
        std::vector<ComPtr<IMFClockStateSink>> sinks;
        {
            std::lock_guard lock(m_Lock);
            if (m_ShutDown)
                return MF_E_SHUTDOWN;
            switch (change)
            {
            case Change::Start:
                if (offset == PRESENTATION_CURRENT_POSITION)
                {
                    if (m_State == MFCLOCK_STATE_RUNNING)
                        return MF_E_CLOCK_STATE_ALREADY_SET;
                    notice = m_State == MFCLOCK_STATE_PAUSED ? Notice::Restart : Notice::Start;
                    offset = m_State == MFCLOCK_STATE_PAUSED ? m_Offset : 0;
                }
                else
                {
                    notice = Notice::Start;
                }
                m_State = MFCLOCK_STATE_RUNNING;
                m_Offset = offset;
                m_SystemTime = now;
                break;
            case Change::Stop:
                if (m_State == MFCLOCK_STATE_STOPPED || m_State == MFCLOCK_STATE_INVALID)
                    return MF_E_CLOCK_STATE_ALREADY_SET; // never started counts as stopped
                notice = Notice::Stop;
                m_State = MFCLOCK_STATE_STOPPED;
                m_Offset = 0;
                break;
            case Change::Pause:
                if (m_State == MFCLOCK_STATE_PAUSED)
                    return MF_E_CLOCK_STATE_ALREADY_SET;
                if (m_State != MFCLOCK_STATE_RUNNING)
                    return MF_E_INVALIDREQUEST;
                notice = Notice::Pause;
                m_Offset = PresentationTimeLocked(now);
                m_State = MFCLOCK_STATE_PAUSED;
                break;
            }
            sinks = m_Sinks;
        }

        HRESULT result = S_OK;
        for (const auto& sink : sinks)
        {
            HRESULT sinkResult = S_OK;
            switch (notice)
            {
            case Notice::Start:
                sinkResult = sink->OnClockStart(now, offset);
                break;
            case Notice::Restart:
                sinkResult = sink->OnClockRestart(now);
                break;
            case Notice::Stop:
                sinkResult = sink->OnClockStop(now);
                break;
            case Notice::Pause:
                sinkResult = sink->OnClockPause(now);
                break;
            }
            if (FAILED(sinkResult) && SUCCEEDED(result))
                result = sinkResult;
        }
        return result;
    }

    std::mutex m_Lock; // guards every field below
    bool m_ShutDown = false;
    ComPtr<IMFPresentationTimeSource> m_TimeSource;
    std::vector<ComPtr<IMFClockStateSink>> m_Sinks; // registration order
    MFCLOCK_STATE m_State = MFCLOCK_STATE_INVALID;
    LONGLONG m_Offset = 0;   // presentation time at the last start (running) or the pause (paused)
    MFTIME m_SystemTime = 0; // system time of the last start
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreatePresentationClock(IMFPresentationClock** clock)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(clock);
        *clock = Make<MFPlatform::PresentationClock>().Detach();
    });
}
