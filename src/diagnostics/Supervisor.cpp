#include "Supervisor.h"

#include "Arguments.h"
#include "Description.h"

#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/debug/CoreFile.h"
#include "platform/debug/Launch.h"
#include "platform/debug/Process.h"
#include "platform/debug/Tracer.h"
#include "platform/system/DebugOutput.h"

#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <exception>
#include <filesystem>
#include <typeinfo>

// Runs in the worker, called by the supervisor on the throwing thread while it stands at the
// throw entry: the text that describes a thrown object beyond its type, or null. Allocates
// nothing and throws nothing.
extern "C" const char* XevThrownObjectMessage(void* object, const std::type_info* type) noexcept
{
    static thread_local char origin[512];
    void* adjusted = object;
    if (typeid(HResultException).__do_catch(type, &adjusted, 1))
    {
        const auto* failure = static_cast<const HResultException*>(adjusted);
        const char* file = failure->File() != nullptr ? failure->File() : "";
        const char* slash = std::strrchr(file, '/');
        std::snprintf(origin, sizeof(origin), "%s(%d)", slash != nullptr ? slash + 1 : file, failure->Line());
        return origin;
    }
    adjusted = object;
    if (typeid(std::exception).__do_catch(type, &adjusted, 1))
        return static_cast<const std::exception*>(adjusted)->what();
    return nullptr;
}

namespace
{
using namespace Diagnostics;

constexpr int AttachTimeoutMilliseconds = 5000;
constexpr size_t MessageLimit = 8192;
constexpr size_t TypeNameLimit = 1024;
constexpr size_t UnknownObjectBytes = 20;

// The debug loop over one worker: forwards its debug output and describes and dumps its
// exceptions until it exits. Runs on the supervisor's only thread.
class DebugLoop
{
public:
    DebugLoop(const SupervisorOptions& options, const ParentProcessDebug& settings)
        : m_Options(options), m_Settings(settings), m_Tracer(static_cast<int>(options.ProcessIdentifier)),
          m_Output(options.OutputDescriptor > 0 ? options.OutputDescriptor : -1)
    {
    }

    void Run()
    {
        if (m_Settings.StartHandler)
            m_Settings.StartHandler();
        std::vector<Debug::Mapping> mappings = Debug::ReadMappings(m_Tracer.ProcessIdentifier());
        const std::optional<uint64_t> throwEntry = Debug::TranslateAddress(reinterpret_cast<const void*>(&abi::__cxa_throw), mappings);
        m_MessageFunction = Debug::TranslateAddress(reinterpret_cast<const void*>(&XevThrownObjectMessage), mappings).value_or(0);
        m_Tracer.Attach(throwEntry.value_or(0));
        Debug::SignalAttached(m_Options.AttachDescriptor > 0 ? m_Options.AttachDescriptor : -1);
        for (;;)
        {
            Debug::WaitForInput({ m_Output.Descriptor(), m_Tracer.WaitDescriptor(), m_Signals.Descriptor() });
            if (m_Signals.Received())
                return; // asked to end: the worker goes on untraced
            // Output first: what the worker wrote before it stopped comes before the stop's line.
            Forward();
            while (const std::optional<Debug::Stop> stop = m_Tracer.Next())
            {
                if (stop->Type == Debug::Stop::Kind::ProcessExit)
                {
                    Forward();
                    if (m_Settings.ExitHandler)
                        m_Settings.ExitHandler(static_cast<DWORD>(m_Tracer.ProcessIdentifier()), static_cast<DWORD>(stop->Status));
                    return;
                }
                if (stop->Type == Debug::Stop::Kind::Throw || Debug::IsFaultSignal(stop->Signal))
                {
                    Forward();
                    // A throw goes on as if nothing happened; a signal is delivered as it came.
                    m_Tracer.StopAll();
                    OnException(*stop);
                    m_Tracer.Resume(*stop, stop->Type == Debug::Stop::Kind::Throw ? 0 : stop->Signal);
                    m_Tracer.ResumeAll();
                }
                else
                    m_Tracer.Resume(*stop, stop->Signal);
            }
        }
    }

private:
    void Forward()
    {
        std::string message;
        while (m_Output.Read(message))
        {
            if (m_Settings.DisableDebugOutput || !m_Settings.OutputHandler)
                continue;
            const std::string_view text = TrimDebugOutput(message);
            if (!text.empty())
                m_Settings.OutputHandler(text);
        }
    }

    // With every thread held.
    void OnException(const Debug::Stop& stop)
    {
        const std::vector<Debug::Mapping> mappings = Debug::ReadMappings(m_Tracer.ProcessIdentifier());
        const std::vector<Debug::ThreadState> threads = m_Tracer.Threads(stop.Thread);
        const auto moduleOf = [&](uint64_t address) {
            const Debug::Mapping* m = Debug::FindMapping(mappings, address);
            return m != nullptr && m->IsFile() ? std::filesystem::path(m->Path).filename().string() : std::string();
        };
        ExceptionDescription description;
        if (stop.Type == Debug::Stop::Kind::Throw)
        {
            ThrownObject thrown;
            if (const std::optional<Debug::ThrowSite> site = m_Tracer.ThrowSiteOf(stop.Thread))
                thrown = ReadThrownObject(stop.Thread, *site, moduleOf(site->ReturnAddress));
            description = DescribeThrow(thrown, stop.Signal);
        }
        else
            description = DescribeSignal({ moduleOf(threads.empty() ? 0 : threads.front().InstructionPointer), stop.Signal, stop.Code, stop.Address });
        bool dump = true;
        if (m_Settings.ExceptionFilter && !m_Settings.ExceptionFilter(description.ModuleName, description.TypeName, description.Items))
        {
            description.Items.push_back("Ignored");
            dump = false;
        }
        if (m_Settings.OutputHandler)
            m_Settings.OutputHandler(DescriptionLine(description));
        if (!dump)
            return;
        const std::string path = DumpFileName(Debug::ExecutablePath(), m_Options.ProcessIdentifier, m_DumpCount, description.CodeText);
        Debug::CoreContent content { m_Tracer.ProcessIdentifier(), stop.Signal, threads, mappings, 
            DumpMemory(m_Options.DumpType, mappings, threads, m_Tracer.ModuleListMemory(mappings)) };
        // The dump shows the code as it is, without the breakpoint.
        m_Tracer.SetBreakpoint(false);
        try
        {
            Debug::WriteCoreFile(path, content, m_Tracer);
        }
        catch (...)
        {
            m_Tracer.SetBreakpoint(true);
            throw;
        }
        m_Tracer.SetBreakpoint(true);
        ++m_DumpCount;
    }

    ThrownObject ReadThrownObject(int thread, const Debug::ThrowSite& site, std::string moduleName)
    {
        ThrownObject thrown;
        thrown.ModuleName = std::move(moduleName);
        uint64_t name = 0;
        if (m_Tracer.Read(site.Type + sizeof(void*), &name, sizeof(name)) == sizeof(name))
            thrown.TypeName = m_Tracer.ReadString(name, TypeNameLimit);
        // A leading '*' marks a name that is compared by address only.
        if (!thrown.TypeName.empty() && thrown.TypeName.front() == '*')
            thrown.TypeName.erase(0, 1);
        const std::optional<size_t> size = FundamentalTypeSize(thrown.TypeName);
        thrown.Bytes.resize(size.value_or(thrown.TypeName == HResultExceptionTypeName ? HResultExceptionResultOffset + 4 : UnknownObjectBytes));
        thrown.Bytes.resize(m_Tracer.Read(site.Object, thrown.Bytes.data(), thrown.Bytes.size()));
        if (!size && m_MessageFunction != 0)
            if (const std::optional<uint64_t> text = m_Tracer.Call(thread, m_MessageFunction, site.Object, site.Type); text && *text != 0)
                thrown.Message = m_Tracer.ReadString(*text, MessageLimit);
        return thrown;
    }

    const SupervisorOptions m_Options;
    const ParentProcessDebug& m_Settings;
    Debug::SupervisorSignals m_Signals;
    Debug::Tracer m_Tracer;
    Debug::OutputChannel m_Output;
    uint64_t m_MessageFunction = 0; // XevThrownObjectMessage in the worker
    uint32_t m_DumpCount = 0;
};
} // namespace

bool Diagnostics::RunSupervisor(const std::vector<std::string>& arguments, const SupervisorSetup& setup)
{
    const std::optional<SupervisorOptions> options = ParseSupervisorOptions(arguments);
    if (!options)
        return false;
    ParentProcessDebug settings;
    settings.DisableDebugOutput = options->DisableDebugOutput;
    if (setup)
        setup(settings);
    // A failure ends the supervision here; the worker runs on untraced.
    (void)Error::Continue([&] {
        DebugLoop loop(*options, settings);
        loop.Run();
    });
    if (settings.StopHandler)
        settings.StopHandler();
    return true;
}

void Diagnostics::PrepareWorker(const std::vector<std::string>& arguments)
{
    const std::optional<WorkerOptions> options = ParseWorkerOptions(arguments);
    // Under another debugger the worker runs alone.
    if (!options || Debug::TracerProcessIdentifier() != 0)
        return;
    Debug::SupervisorLaunch launch;
    if (!launch.CreateChannels())
        return;
    const std::vector<std::string> supervisor = SupervisorArguments(Debug::ExecutablePath(), *options,
        static_cast<uint32_t>(Debug::CurrentProcessIdentifier()), launch.AttachDescriptor(), launch.OutputDescriptor());
    if (!launch.Start(supervisor))
        return;
    // Lines the supervisor would drop are not even formatted.
    if (!options->DisableDebugOutput)
        DebugOutput::SetFileDescriptor(launch.ReleaseWorkerOutput());
    launch.WaitForAttach(AttachTimeoutMilliseconds);
}
