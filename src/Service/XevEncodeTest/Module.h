#pragma once
// The tool's entry point and its process-wide pieces.
//
// EntryPoint runs start-up in this order: the supervisor entries, the banner, the syntax request,
// the console control thread, the settings (defaults, command line, configuration file) and the
// run. A failure that reaches it prints "Fatal exception 0x%08X" and becomes the exit status.

#include "Configuration.h"
#include "Console.h"
#include "RunStatistics.h"

#include "platform/com/ComObject.h"
#include "platform/com/Types.h"
#include "platform/system/Event.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Application
{
// The settings and the run over them.
class Context : public Configuration
{
public:
    using Configuration::Configuration;

    // Runs the iterations (or the capacity search); returns when the run is over or stopEvent is set.
    void Run(Sync::Event& stopEvent, const Console::Writer& console = Console::WriteLine);

private:
    using IterationRunner = std::function<IterationOutcome(const std::vector<Task>& tasks, UINT32 iteration, UINT32 iterationCount)>;
    // One iteration of one pipeline per task: built, started together, awaited, stopped, streams
    // written. Failures throw (the pipelines are stopped first).
    IterationOutcome RunIteration(const std::vector<Task>& tasks, UINT32 iteration, UINT32 iterationCount,
        IMFDXGIDeviceManager* deviceManager, Sync::Event& stopEvent, const Console::Writer& console, std::string& resultsText);
    // Trials of N pipelines of the first task (1, 2, 4, ... then bisecting), each followed by its
    // "Capacity trial" line, then the "Capacity" line; a stop request ends it with the best count so far.
    std::optional<UINT32> SearchCapacity(const IterationRunner& run, Sync::Event& stopEvent, const Console::Writer& console);
};

// The process-wide stop event: manual reset, set by HandlerRoutine, never reset. It lives until
// the process ends, so the console control thread may set it at any time.
Sync::Event& StopEvent() noexcept;

// The exit status of a failure: the HRESULT's low byte, or 255 where that byte is 0, so that no
// failure exits with 0.
int FailureExitStatus(HRESULT hr) noexcept;

// arguments: the command line, the executable path first. Returns the exit status.
int EntryPoint(const std::vector<std::string>& arguments);
} // namespace Application

// The one counted owner of the application context.
class ApplicationContext : public ComObject<IUnknown>
{
public:
    ApplicationContext() = default;

    Application::Context m_Context;
};

// Console control handler: traces and prints the control type and, for the five named types,
// sets the stop event and returns true. Runs on the console control thread.
BOOL HandlerRoutine(DWORD controlType) noexcept;
