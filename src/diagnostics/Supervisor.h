#pragma once
// The two entries of the self-debugging supervisor, called first thing by the tool's entry point.
//
// RunSupervisor is called first with the whole argument list: when the list asks for supervisor
// mode the process becomes the supervisor of a worker copy of the tool, runs until the worker
// exits and returns true (the caller then ends at once). PrepareWorker is called second, in a
// process that is not a supervisor: with -Debug it starts the supervisor and waits until it has
// attached (at most 5 seconds), hands its debug output to it and goes on.
//
// The supervisor traces the worker (ptrace), forwards each debug-output line to the output
// handler, and for every C++ throw and every fault signal writes one "Exception: ..." line and an
// ELF core file beside the executable. A throw then goes on as if nothing happened, a signal is
// delivered as it came. When the supervisor cannot attach or cannot write a dump, it lets go and
// the worker runs on alone.

#include "platform/com/Types.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace Diagnostics
{
// The supervisor's settings, filled by the caller's set-up callback before its loop starts.
struct ParentProcessDebug
{
    bool DisableDebugOutput = false;
    // Receives forwarded debug-output strings, exception descriptions and error-origin messages.
    std::function<void(std::string_view text)> OutputHandler;
    // Returns false to ignore an exception (no dump).
    std::function<bool(std::string_view moduleName, std::string_view typeName, const std::vector<std::string>& items)> ExceptionFilter;
    std::function<void(DWORD processIdentifier, DWORD exitCode)> ExitHandler;
    std::function<void()> StartHandler;
    std::function<void()> StopHandler;
};

using SupervisorSetup = std::function<void(ParentProcessDebug& settings)>;

// True when this process acted as the supervisor (the caller returns at once).
bool RunSupervisor(const std::vector<std::string>& arguments, const SupervisorSetup& setup);
// Starts a supervisor for -Debug; does nothing while another tracer is attached.
void PrepareWorker(const std::vector<std::string>& arguments);
} // namespace Diagnostics
