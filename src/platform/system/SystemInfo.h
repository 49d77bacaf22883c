#pragma once
// What the host tells about itself for the run report: the processor's brand, the computer's name
// and the time formatted for people. Every function is safe from any thread.

#include <chrono>
#include <string>

namespace HostSystem
{
// The processor's brand text (extended identification leaves 0x80000002 to 0x80000004) up to its
// first zero byte, blanks as the processor reports them; empty where the leaves are missing.
std::string ProcessorBrandText();

// The host name's first label (up to the first '.'); empty when the name is unavailable.
std::string ComputerName();

// The time in the environment's locale as "<short date> <long time>" (strftime "%x %X"), in the
// local time zone or in UTC. Throws E_FAIL when the time cannot be formatted.
std::string FormatDateTime(std::chrono::system_clock::time_point time, bool utc);
} // namespace HostSystem
