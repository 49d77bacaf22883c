#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
// Whether this kernel lets a process trace another one of the same user.
bool CanTrace()
{
    const pid_t child = fork();
    if (child == 0)
    {
        pause();
        _exit(0);
    }
    const bool seized = ptrace(PTRACE_SEIZE, child, nullptr, nullptr) == 0;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return seized;
}

struct WorkerRun
{
    TestSupport::ProcessResult Result;
    std::string Process;
    std::string Tracer;
    bool Forwarded = false; // the worker's "Done.\r\n" came as "Done"
    std::vector<std::string> Exceptions;
};

class SupervisorTest : public testing::Test
{
protected:
    void SetUp() override
    {
        if (!CanTrace())
            GTEST_SKIP() << "this kernel does not allow ptrace here (ptrace_scope or seccomp): supervisor tests skipped";
        // Sanitizer builds: the leak check cannot run in a traced process, and the sanitizers'
        // own SIGSEGV handlers would replace the signal's default end the test checks.
        setenv("ASAN_OPTIONS", "detect_leaks=0:handle_segv=0", 1);
        setenv("TSAN_OPTIONS", "handle_segv=0", 1);
    }
    void TearDown() override
    {
        for (const std::string& process : m_Processes)
            for (const std::string& dump : Dumps(process))
                std::filesystem::remove(dump);
    }

    WorkerRun Run(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), m_Worker);
        WorkerRun run { TestSupport::RunProcess(arguments) };
        std::istringstream lines(run.Result.Output);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("Process ", 0) == 0)
                m_Processes.push_back(run.Process = line.substr(8));
            else if (line.rfind("Tracer ", 0) == 0)
                run.Tracer = line.substr(7);
            else if (line.rfind("Exception: ", 0) == 0)
                run.Exceptions.push_back(line);
            else
                run.Forwarded = run.Forwarded || line == "Done";
        return run;
    }

    std::vector<std::string> Dumps(const std::string& process) const
    {
        std::vector<std::string> dumps;
        const std::string prefix = "SelfDebugWorker-" + process + "-DebugException-";
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(m_Worker).parent_path()))
            if (entry.path().filename().string().rfind(prefix, 0) == 0)
                dumps.push_back(entry.path().string());
        return dumps;
    }

    const std::string m_Worker = TestSupport::BinaryPath("SelfDebugWorker");
    std::vector<std::string> m_Processes;
};
} // namespace

// A throw is described and dumped and the worker goes on; a segmentation fault gives one line and
// one dump, then ends the worker by its signal.
TEST_F(SupervisorTest, ThrowOrFaultIsDescribedAndDumped)
{
    // Line: the whole line, or its start when it ends with '('; Culprit: a function gdb names in the dump's backtrace
    struct Case { const char* Mode; const char* Option; std::string Line; const char* Code; const char* Culprit; int Signal; };
    const Case cases[] = {
        { "throw", "-Debug", "Exception: Module SelfDebugWorker, HRESULT, 0x80004005, Type i", "0x80004005", "ThrowPlainHResult", 0 },
        { "error", "-Debug", "Exception: Module SelfDebugWorker, a runtime error, Type St13runtime_error", "0x00000005", "main", 0 },
        { "hresult", "-Debug", "Exception: Module SelfDebugWorker, HResultException, 0x80070057, SelfDebugWorker.cpp(", "0x80070057", "Error::Throw", 0 },
        { "segv", "-Debug:Full", "Exception: Module SelfDebugWorker, 0x0000000B, SIGSEGV, Address 0x0000000000000010, Code 1", "0x0000000B",
            "WriteToUnmappedPage", SIGSEGV },
    };
    for (const Case& c : cases)
    {
        const WorkerRun run = Run({ c.Mode, c.Option });
        EXPECT_EQ(run.Result.ExitStatus, c.Signal ? -1 : 0) << run.Result.Output;
        EXPECT_EQ(run.Result.Signal, c.Signal);
        EXPECT_EQ(run.Tracer, "SelfDebugWorker");
        EXPECT_TRUE(run.Forwarded) << run.Result.Output;
        ASSERT_EQ(run.Exceptions.size(), 1u) << run.Result.Output;
        EXPECT_EQ(run.Exceptions[0].substr(0, c.Line.back() == '(' ? c.Line.size() : std::string::npos), c.Line);
        const std::string dump = std::filesystem::path(m_Worker).parent_path() / ("SelfDebugWorker-" + run.Process + "-DebugException-0-" + c.Code + ".dmp");
        EXPECT_EQ(Dumps(run.Process), std::vector<std::string> { dump });
        const std::string backtrace = TestSupport::RunProcess({ "/usr/bin/gdb", "-nx", "-batch", "-ex", "bt", m_Worker, dump }).Output;
        EXPECT_NE(backtrace.find(std::string(c.Culprit) + " ("), std::string::npos) << backtrace;
    }
}

// Throws of threads started after the attach and of one that was there before it are each seen
// once; -DisableDebugOutput stops the forwarding of debug output only before -Debug.
TEST_F(SupervisorTest, ThreadsAndOutputForwarding)
{
    const struct { std::vector<std::string> Arguments; size_t Throws; bool Forwarded; } cases[] = {
        { { "threads", "-Debug" }, 20, true }, { { "early", "-Debug" }, 1, true },
        { { "none", "-DisableDebugOutput", "-Debug" }, 0, false }, { { "none", "-Debug", "-DisableDebugOutput" }, 0, true },
    };
    for (const auto& c : cases)
    {
        const WorkerRun run = Run(c.Arguments);
        EXPECT_EQ(run.Result.ExitStatus, 0) << run.Result.Output;
        EXPECT_EQ(run.Tracer, "SelfDebugWorker") << run.Result.Output;
        EXPECT_EQ(run.Forwarded, c.Forwarded) << run.Result.Output;
        EXPECT_EQ(run.Exceptions, std::vector<std::string>(c.Throws, "Exception: Module SelfDebugWorker, HRESULT, 0x80004005, Type i"));
        EXPECT_EQ(Dumps(run.Process).size(), c.Throws);
    }
}

TEST_F(SupervisorTest, AnotherTracerStartsNoSupervisor)
{
    const TestSupport::ProcessResult traced = TestSupport::RunProcess({ "/usr/bin/gdb", "-nx", "-batch", "-ex", "run", "--args", m_Worker, "throw", "-Debug" });
    EXPECT_NE(traced.Output.find("Tracer gdb"), std::string::npos) << traced.Output;
    EXPECT_EQ(traced.Output.find("Exception: "), std::string::npos) << traced.Output;
    EXPECT_EQ(traced.Output.find("Done"), std::string::npos) << traced.Output;
}
