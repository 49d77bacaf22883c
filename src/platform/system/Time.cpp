#include "Time.h"

#include <ctime>

namespace SystemTime
{
LONGLONG LocalOffset() noexcept
{
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    if (!localtime_r(&now, &local))
        return 0;
    return static_cast<LONGLONG>(local.tm_gmtoff) * 10'000'000;
}
} // namespace SystemTime

BOOL LocalFileTimeToFileTime(const FILETIME* localTime, FILETIME* utcTime) noexcept
{
    if (!localTime || !utcTime)
        return 0;
    *utcTime = SystemTime::FromUInt64(SystemTime::ToUInt64(*localTime) - static_cast<UINT64>(SystemTime::LocalOffset()));
    return 1;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utcTime, FILETIME* localTime) noexcept
{
    if (!utcTime || !localTime)
        return 0;
    *localTime = SystemTime::FromUInt64(SystemTime::ToUInt64(*utcTime) + static_cast<UINT64>(SystemTime::LocalOffset()));
    return 1;
}

BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* systemTime) noexcept
{
    if (!time || !systemTime)
        return 0;
    const UINT64 value = SystemTime::ToUInt64(*time);
    if (value >= 0x8000000000000000ull)
        return 0;
    const UINT64 milliseconds = value / 10'000;
    // Days since 1601-01-01 (a Monday), then the civil date from days since 0000-03-01.
    const INT64 days = static_cast<INT64>(milliseconds / 86'400'000);
    const UINT64 ofDay = milliseconds % 86'400'000;
    const INT64 shifted = days + 584'694; // days from 0000-03-01 to 1601-01-01
    const INT64 era = shifted / 146'097;
    const INT64 dayOfEra = shifted - era * 146'097;
    const INT64 yearOfEra = (dayOfEra - dayOfEra / 1'460 + dayOfEra / 36'524 - dayOfEra / 146'096) / 365;
    const INT64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const INT64 monthIndex = (5 * dayOfYear + 2) / 153;
    const INT64 day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const INT64 month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const INT64 year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    systemTime->wYear = static_cast<WORD>(year);
    systemTime->wMonth = static_cast<WORD>(month);
    systemTime->wDayOfWeek = static_cast<WORD>((days + 1) % 7);
    systemTime->wDay = static_cast<WORD>(day);
    systemTime->wHour = static_cast<WORD>(ofDay / 3'600'000);
    systemTime->wMinute = static_cast<WORD>(ofDay / 60'000 % 60);
    systemTime->wSecond = static_cast<WORD>(ofDay / 1'000 % 60);
    systemTime->wMilliseconds = static_cast<WORD>(ofDay % 1'000);
    return 1;
}
