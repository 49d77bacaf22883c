// The system time source: a presentation time source that always runs at the monotonic
// system clock. Clock time and system time are the same value, in 100 ns units.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/mf/session/ClockTime.h"

namespace MFPlatform
{
namespace
{
constexpr DWORD ClockCharacteristics = 0x2 /* FREQUENCY_10MHZ */ | 0x4 /* ALWAYS_RUNNING */ | 0x8 /* IS_SYSTEM_CLOCK */;

class SystemTimeSource final : public ComObject<IMFPresentationTimeSource>
{
public:
    // IMFClock
    HRESULT GetClockCharacteristics(DWORD* characteristics) override
    {
        if (!characteristics)
            return E_POINTER;
        *characteristics = ClockCharacteristics;
        return S_OK;
    }

    HRESULT GetCorrelatedTime(DWORD reserved, LONGLONG* clockTime, MFTIME* systemTime) override
    {
        if (!clockTime || !systemTime)
            return E_POINTER;
        *systemTime = *clockTime = MFGetSystemTime();
        return S_OK;
    }

    HRESULT GetContinuityKey(DWORD* key) override { return ContinuousClockKey(key); }

    HRESULT GetState(DWORD reserved, MFCLOCK_STATE* state) override
    {
        if (!state)
            return E_POINTER;
        *state = MFCLOCK_STATE_RUNNING;
        return S_OK;
    }

    HRESULT GetProperties(MFCLOCK_PROPERTIES* properties) override
    {
        if (!properties)
            return E_POINTER;
        *properties = {};
        properties->qwClockFrequency = 10000000; // 100 ns units
        properties->dwClockTolerance = 50000;    // unknown tolerance, in parts per billion
        properties->dwClockJitter = 1;
        return S_OK;
    }

    // IMFPresentationTimeSource
    HRESULT GetUnderlyingClock(IMFClock** clock) override
    {
        if (!clock)
            return E_POINTER;
        *clock = nullptr;
        return MF_E_NO_CLOCK; // the system clock has nothing beneath it
    }
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreateSystemTimeSource(IMFPresentationTimeSource** timeSource)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(timeSource);
        *timeSource = Make<MFPlatform::SystemTimeSource>().Detach();
    });
}
