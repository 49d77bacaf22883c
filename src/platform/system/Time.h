#pragma once
// Wall-clock times in the platform's shapes: FILETIME (100 ns units since 1601-01-01) and
// SYSTEMTIME (calendar fields), with the conversions between UTC and local time.
//
// Local and UTC times differ by the host's current offset from UTC (daylight saving included),
// as the platform converts them. FILETIME arithmetic wraps like the platform's unsigned 64-bit
// value, so local time 0 converted to UTC and back is 0 again on every host.

#include "platform/com/Types.h"

struct FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};

struct SYSTEMTIME
{
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

namespace SystemTime
{
inline UINT64 ToUInt64(const FILETIME& time) noexcept { return (UINT64(time.dwHighDateTime) << 32) | time.dwLowDateTime; }
inline FILETIME FromUInt64(UINT64 value) noexcept { return { static_cast<DWORD>(value), static_cast<DWORD>(value >> 32) }; }
// The host's current offset of local time from UTC, in 100 ns units (east positive).
LONGLONG LocalOffset() noexcept;
} // namespace SystemTime

// False (with no output written) for null arguments.
BOOL LocalFileTimeToFileTime(const FILETIME* localTime, FILETIME* utcTime) noexcept;
BOOL FileTimeToLocalFileTime(const FILETIME* utcTime, FILETIME* localTime) noexcept;
// False for null arguments and for times of 0x8000000000000000 and beyond.
BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* systemTime) noexcept;
