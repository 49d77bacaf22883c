#include "Module.h"

#include "BuildVersion.h"
#include "CommandLine.h"
#include "platform/system/ConsoleControl.h"

#include "diagnostics/Supervisor.h"
#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/system/SleepInhibitor.h"

#include <exception>
#include <filesystem>

namespace Application
{
namespace
{
void PrintBanner(const Console::Writer& console)
{
    const std::string fileName = std::filesystem::path(ExecutablePath()).filename().string();
    console(Console::Format("%s %s (%s)", fileName.c_str(), BuildVersion::GitDescribe, BuildVersion::Configuration));
    console(BuildVersion::GitLog);
    console("--");
}

// COM has no meaning here: nothing to initialise for the thread. The step stays so that start-up
// keeps its order.
void InitializeThreadForCom() {}

// Start-up after the supervisor entries. Returns the exit status of a normal end.
int Start(const std::vector<std::string>& arguments)
{
    PrintBanner(Console::WriteLine);
    InitializeThreadForCom();
    if (CommandLine::IsSyntaxRequest(arguments))
    {
        CommandLine::PrintSyntax();
        return 0;
    }
    const ConsoleControl::HandlerThread consoleControl(&HandlerRoutine);
    const ComPtr<ApplicationContext> application = Make<ApplicationContext>();
    Context& context = application->m_Context;
    CommandLine::ApplyOptions(context, arguments);
    context.Load();
    {
        // The machine stays awake while the run lasts (where the system offers it).
        const SleepInhibitor keepAwake("XevEncodeTest", "Encoding run in progress");
        context.Run(StopEvent());
    }
    return 0;
}
} // namespace

Sync::Event& StopEvent() noexcept
{
    // Never destroyed: the console control thread may still set it while the process exits.
    static Sync::Event& event = *new Sync::Event(Sync::Event::ResetMode::Manual);
    return event;
}

int FailureExitStatus(HRESULT hr) noexcept
{
    const int status = static_cast<int>(static_cast<uint32_t>(hr) & 0xFF);
    return status != 0 ? status : 255;
}

int EntryPoint(const std::vector<std::string>& arguments)
{
    // Before any thread starts, so that the console signals reach only the console control thread.
    ConsoleControl::BlockSignals();
    StopEvent();
    try
    {
        const auto setup = [](Diagnostics::ParentProcessDebug& settings) {
            InitializeThreadForCom();
            settings.OutputHandler = [](std::string_view text) { Console::WriteLine(text); };
        };
        if (Diagnostics::RunSupervisor(arguments, setup))
            return 0;
        Diagnostics::PrepareWorker(arguments);
        return Start(arguments);
    }
    catch (...)
    {
        const HRESULT hr = Error::CurrentExceptionResult();
        XEV_TRACE("Exception 0x%08X\n", static_cast<unsigned>(hr));
        Console::WriteLine(Console::Format("Fatal exception 0x%08X", static_cast<unsigned>(hr)));
        DiagnoseSessionRefusal(hr);
        return FailureExitStatus(hr);
    }
}
} // namespace Application

BOOL HandlerRoutine(DWORD controlType) noexcept
{
    const std::string name = ConsoleControl::ControlTypeName(controlType);
    XEV_TRACE("Type %s\n", name.c_str());
    Console::WriteLine(Console::Format("Console Control Handler: %s", name.c_str()));
    switch (controlType)
    {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        Application::StopEvent().Set();
        return true;
    default:
        return false;
    }
}
