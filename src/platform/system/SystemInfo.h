#pragma once
// What the host tells about itself: processors, the process's CPU times, the computer's name and
// the time formatted for people. Every function is safe from any thread.

#include "platform/com/Types.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace HostSystem
{
// Logical processors online (at least 1).
UINT32 LogicalProcessorCount() noexcept;

// CPU time the whole process has used so far, all threads, in nanoseconds.
struct ProcessTimes
{
    int64_t KernelNanoseconds = 0;
    int64_t UserNanoseconds = 0;
};
ProcessTimes CurrentProcessTimes() noexcept;

// The processor's brand text (extended identification leaves 0x80000002 to 0x80000004) up to its
// first zero byte, blanks as the processor reports them; empty where the leaves are missing.
std::string ProcessorBrandText();

// The host name's first label (up to the first '.'); empty when the name is unavailable.
std::string ComputerName();

// time in the environment's locale as "<short date> <long time>" (strftime "%x %X"), in the
// local time zone or in UTC. Throws E_FAIL when the time cannot be formatted.
std::string FormatDateTime(std::chrono::system_clock::time_point time, bool utc);
} // namespace HostSystem
