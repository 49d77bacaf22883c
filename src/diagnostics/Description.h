#pragma once
// What the supervisor makes of what it sees: the one-line description of an exception, the
// dump's file name and memory, and the forwarded debug-output text.

#include "platform/debug/Process.h"
#include "platform/debug/Tracer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Diagnostics
{
struct ExceptionDescription
{
    std::string CodeText;   // "0x%08X"; names the dump
    std::string ModuleName; // file name of the module where it arose
    std::string TypeName;   // the thrown type's mangled name
    std::vector<std::string> Items;
};

// A C++ throw as read from the worker.
struct ThrownObject
{
    std::string ModuleName;
    std::string TypeName;
    std::vector<uint8_t> Bytes;         // the object's first bytes
    std::optional<std::string> Message; // what() of a std::exception; where an HRESULT failure arose
};

// A fault signal as the worker's thread received it.
struct FaultSignal
{
    std::string ModuleName;
    int Signal = 0;
    int Code = 0;
    uint64_t Address = 0;
};

// The HRESULT exception's type and the place of its HRESULT in the object.
inline constexpr std::string_view HResultExceptionTypeName = "16HResultException";
inline constexpr size_t HResultExceptionResultOffset = 8;

// How many bytes an object of the type takes; nothing for class types (their size is not known).
std::optional<size_t> FundamentalTypeSize(std::string_view typeName) noexcept;

ExceptionDescription DescribeThrow(const ThrownObject& thrown, int signal);
ExceptionDescription DescribeSignal(const FaultSignal& fault);
// "Exception: " and the items joined by ", ".
std::string DescriptionLine(const ExceptionDescription& description);

// "<executable file name>-<pid>-DebugException-<counter>[-<code>].dmp" in the executable's directory.
std::string DumpFileName(const std::string& executablePath, uint32_t processIdentifier, uint32_t counter, const std::string& codeText);

// The text without trailing TAB, LF, CR, blanks and full stops.
std::string_view TrimDebugOutput(std::string_view text) noexcept;

// Address ranges a dump of this type holds, merged and in address order: each thread's stack from
// its stack pointer and the pages its registers point into, the vDSO, `always` (the module list),
// and the more the type asks for.
std::vector<std::pair<uint64_t, uint64_t>> DumpMemory(uint32_t dumpType, const std::vector<Debug::Mapping>& mappings,
    const std::vector<Debug::ThreadState>& threads, std::vector<std::pair<uint64_t, uint64_t>> always = {});
} // namespace Diagnostics
