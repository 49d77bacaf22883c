#pragma once
// What the presentation clock and the system time source share: the answer of a clock that is
// never discontinuous.

#include "platform/mf/Api.h"

namespace MFPlatform
{
// Neither clock ever jumps: its continuity key is always 0.
inline HRESULT ContinuousClockKey(DWORD* key) noexcept
{
    if (!key)
        return E_POINTER;
    *key = 0;
    return S_OK;
}
} // namespace MFPlatform
