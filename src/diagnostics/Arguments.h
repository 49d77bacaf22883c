#pragma once
// The command lines of self-debugging: -Debug and -DisableDebugOutput in the worker, and the
// supervisor's own command line that the worker builds.

#include "platform/com/Types.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Diagnostics
{
// Dump types: bit 0x1 adds the modules' writable data, bit 0x2 all readable memory; other bits
// have no effect here.
inline constexpr uint32_t DumpTypeNormal = 0;
inline constexpr uint32_t DumpTypeDataSegments = 0x1;
inline constexpr uint32_t DumpTypeFullMemory = 0x2;
inline constexpr uint32_t DumpTypeFull = 0x1826;

struct WorkerOptions
{
    bool DisableDebugOutput = false;
    uint32_t DumpType = DumpTypeNormal;
};

struct SupervisorOptions
{
    bool DisableDebugOutput = false;
    uint32_t ProcessIdentifier = 0;
    uint32_t DumpType = DumpTypeNormal;
    int AttachDescriptor = 0; // 0: none
    int OutputDescriptor = 0; // 0: none
};

// An option word: it starts with '-'; its name runs up to the first ':' and its value follows
// that ':' (empty without one). The tool's own option parser splits words the same way.
struct OptionWord
{
    std::string_view Name;
    std::string_view Value;
};
std::optional<OptionWord> SplitOption(std::string_view word) noexcept;
// Option names compare without regard to case.
bool SameOptionName(std::string_view name, std::string_view candidate) noexcept;

// "Normal" and "Full" in any case, else a decimal or 0x-prefixed hexadecimal number; 0 when the
// text is none of these.
uint32_t ParseDumpType(std::string_view value) noexcept;

// The worker's settings when the arguments ask for -Debug (any case); -DisableDebugOutput counts
// only before it.
std::optional<WorkerOptions> ParseWorkerOptions(const std::vector<std::string>& arguments);

// The supervisor's settings when the arguments hold -ParentProcessDebug with a process id.
std::optional<SupervisorOptions> ParseSupervisorOptions(const std::vector<std::string>& arguments);

// executable, [-DisableDebugOutput,] -ParentProcessDebug, process id, dump type, the attach and
// the output descriptor.
std::vector<std::string> SupervisorArguments(const std::string& executable, const WorkerOptions& options,
    uint32_t processIdentifier, int attachDescriptor, int outputDescriptor);
} // namespace Diagnostics
