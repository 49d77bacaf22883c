// A worker for the supervisor tests: takes the supervisor entries like the tool, then writes a
// debug line and raises what its first argument names (throw, error, hresult, early, threads, segv).

#include "diagnostics/Supervisor.h"
#include "platform/com/Error.h"
#include "platform/system/DebugOutput.h"

#include <cstdio>
#include <fstream>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <unistd.h>

[[gnu::noinline]] void ThrowPlainHResult()
{
    throw static_cast<int>(0x80004005);
}

// A throw the supervisor sees, caught at once.
void ThrowAndCatch()
{
    try
    {
        ThrowPlainHResult();
    }
    catch (int)
    {
    }
}

[[gnu::noinline]] void WriteToUnmappedPage(int* target)
{
    *static_cast<volatile int*>(target) = 1;
}

int main(int argc, char** argv)
{
    const std::vector<std::string> arguments(argv, argv + argc);
    const auto setup = [](Diagnostics::ParentProcessDebug& settings) {
        settings.OutputHandler = [](std::string_view text) { std::printf("%.*s\n", static_cast<int>(text.size()), text.data()); std::fflush(stdout); };
    };
    if (Diagnostics::RunSupervisor(arguments, setup))
        return 0;
    // "early": a thread that exists before the supervisor attaches throws after it has.
    std::promise<void> attached;
    std::thread early;
    if (argc > 1 && std::string(argv[1]) == "early")
        early = std::thread([ready = attached.get_future()]() mutable {
            ready.wait();
            ThrowAndCatch();
        });
    Diagnostics::PrepareWorker(arguments);
    attached.set_value();
    if (early.joinable())
        early.join();
    // Who traces this process: the supervisor (this program's name) or another debugger.
    std::string tracer;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("TracerPid:", 0) == 0 && std::stoi(line.substr(10)) != 0)
            std::getline(std::ifstream("/proc/" + std::to_string(std::stoi(line.substr(10))) + "/comm"), tracer);
    std::printf("Process %d\nTracer %s\n", static_cast<int>(getpid()), tracer.c_str());
    std::fflush(stdout);
    DebugOutput::Write("Done.\r\n", 7);
    const std::string mode = argc > 1 ? argv[1] : "";
    try
    {
        if (mode == "throw")
            ThrowPlainHResult();
        if (mode == "error")
            throw std::runtime_error("a runtime error");
        if (mode == "hresult")
            XEV_FAIL(E_INVALIDARG);
    }
    catch (...)
    {
    }
    if (mode == "threads")
    {
        // Threads started after the attach, throwing at the same time.
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([] {
                for (int i = 0; i < 5; ++i)
                    ThrowAndCatch();
            });
        for (std::thread& thread : threads)
            thread.join();
    }
    if (mode == "segv")
        WriteToUnmappedPage(reinterpret_cast<int*>(16)); // not null: UBSan would stop it first
    return 0;
}
