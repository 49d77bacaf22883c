#pragma once
// What the presentation clock and the system time source share: reading a time source, and the
// answers of a clock that is never discontinuous.

#include "platform/mf/Api.h"

namespace MFPlatform
{
// The system time (100 ns units) at which `source` is read now; its clock time is not needed by
// the presentation clock, which keeps its own offset.
inline HRESULT ReadSystemTime(IMFPresentationTimeSource* source, MFTIME* systemTime) noexcept
{
    LONGLONG clockTime = 0;
    return source->GetCorrelatedTime(0, &clockTime, systemTime);
}

// Neither clock ever jumps: its continuity key is always 0.
inline HRESULT ContinuousClockKey(DWORD* key) noexcept
{
    if (!key)
        return E_POINTER;
    *key = 0;
    return S_OK;
}
} // namespace MFPlatform
