#include "Service/XevEncodeTest/BuildVersion.h"
#include "Service/XevEncodeTest/ConsoleControl.h"
#include "Service/XevEncodeTest/Module.h"

#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

const std::string Tool = TestSupport::BinaryPath("XevEncodeTest");

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Banner()
{
    return { std::string("XevEncodeTest ") + BuildVersion::GitDescribe + " (" + BuildVersion::Configuration + ")", BuildVersion::GitLog, "--" };
}

// What the tool prints after its banner (which is checked on the way).
std::vector<std::string> AfterBanner(const TestSupport::ProcessResult& result)
{
    std::vector<std::string> lines = SplitLines(result.Output);
    const std::vector<std::string> banner = Banner();
    if (lines.size() < banner.size() || !std::equal(banner.begin(), banner.end(), lines.begin()))
    {
        ADD_FAILURE() << "no banner in:\n" << result.Output;
        return lines;
    }
    return { lines.begin() + static_cast<std::ptrdiff_t>(banner.size()), lines.end() };
}

// A private folder removed with the object.
class TempFolder
{
public:
    TempFolder()
    {
        static std::atomic<int> counter { 0 };
        m_Path = std::filesystem::temp_directory_path() / ("xev-module-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_Path);
    }
    ~TempFolder() { std::filesystem::remove_all(m_Path); }

    std::string Write(const std::string& name, const std::string& text) const
    {
        const std::string path = (m_Path / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    std::string Path(const std::string& name) const { return (m_Path / name).string(); }

private:
    std::filesystem::path m_Path;
};

// A running copy of the tool whose output is read as it comes.
class Child
{
public:
    explicit Child(const std::vector<std::string>& arguments)
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        m_Pid = fork();
        if (m_Pid == 0)
        {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            std::vector<char*> argv;
            for (const std::string& a : arguments)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(fds[1]);
        m_Output = fds[0];
    }
    ~Child()
    {
        if (m_Pid > 0)
        {
            kill(m_Pid, SIGKILL);
            waitpid(m_Pid, nullptr, 0);
        }
        if (m_Output >= 0)
            close(m_Output);
    }

    pid_t Pid() const { return m_Pid; }
    const std::string& Output() const { return m_Text; }

    // Reads until the output contains text or the time-out passes.
    bool WaitForOutput(const std::string& text, std::chrono::seconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (m_Text.find(text) == std::string::npos)
            if (!ReadSome(deadline))
                return false;
        return true;
    }

    // Reads to the end of the output and returns the exit status (-1: killed, or no end in time).
    int Finish(std::chrono::seconds timeout)
    {
        const auto deadline = Clock::now() + timeout;
        while (ReadSome(deadline))
        {
        }
        if (!m_Ended)
            return -1;
        int status = 0;
        waitpid(m_Pid, &status, 0);
        m_Pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    // False at the end of the output or at the deadline.
    bool ReadSome(Clock::time_point deadline)
    {
        if (m_Ended)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd descriptor { m_Output, POLLIN, 0 };
        if (poll(&descriptor, 1, static_cast<int>(left)) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(m_Output, buffer, sizeof(buffer));
        if (n <= 0)
        {
            m_Ended = true;
            return false;
        }
        m_Text.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t m_Pid = -1;
    int m_Output = -1;
    bool m_Ended = false;
    std::string m_Text;
};

TEST(EntryPoint, SyntaxRequestPrintsBannerAndSyntaxOnly)
{
    const std::vector<std::string> syntax = {
        "Syntax: XevEncodeTest [options]",
        "",
        "Options: ",
        "  -DisableDebugOutput - Disable forward of debug output to console output in debug mode (should appear before -Debug)",
        "  -Debug[:<Normal|Full|<Value>>] - Enable self-debugging capability with specific minidump type",
        "  -ConfigurationFile <Path> - Specify configuration file path, default is XevEncodeTest.Configuration.json in the directory of the executable",
        "  -WriteStreams - Write produced streams into files on completion",
        "  -IterationCount <Count> - Run multiple iterations of encoding sessions",
        "  -IterationCooldownTime <Time> - Wait for cooldown number of seconds between iterations",
        "  -SoftwareEncoder - Use the software encoder even where a hardware encoder is available",
    };
    TempFolder folder;
    const std::string broken = folder.Write("broken.json", "{");
    // Anywhere, even after an option that would fail and with a configuration that would fail.
    const std::vector<std::vector<std::string>> commands = {
        { Tool, "-?" },
        { Tool, "-ws", "-SYNTAX" },
        { Tool, "-cf", "-syntax:x" },
        { Tool, "-cf", broken, "foo", "-?" },
    };
    for (const auto& command : commands)
    {
        const TestSupport::ProcessResult result = TestSupport::RunProcess(command);
        EXPECT_EQ(result.ExitStatus, 0) << command.back();
        EXPECT_EQ(AfterBanner(result), syntax) << command.back();
    }
}

struct ExitCase
{
    std::vector<std::string> Arguments;
    std::optional<std::string> Configuration; // written to a file named by -cf; nothing: no -cf added
    int ExitStatus;
    std::vector<std::string> Lines; // what follows the banner
};

TEST(EntryPoint, ExitStatusAndLastLines)
{
    TempFolder folder;
    const std::string config = folder.Path("config.json");
    const std::string quoted = "Configuration file \"" + config + "\"";
    const std::string run0 = "Run: 0 task(s) configured; pipelines are not available in this build";
    const std::string run1 = "Run: 1 task(s) configured; pipelines are not available in this build";
    const ExitCase cases[] = {
        { { "-cf" }, std::nullopt, 0xD5, { "Fatal exception 0x80FF02D5" } },
        { { "-cf", "-ws" }, std::nullopt, 0xD6, { "Fatal exception 0x80FF02D6" } },
        { { "-ic" }, std::nullopt, 0xE2, { "Fatal exception 0x80FF02E2" } },
        { { "-ic", "-1" }, std::nullopt, 0xE3, { "Fatal exception 0x80FF02E3" } },
        { { "-ict" }, std::nullopt, 0xEA, { "Fatal exception 0x80FF02EA" } },
        { { "-ict", "-5" }, std::nullopt, 0xEB, { "Fatal exception 0x80FF02EB" } },
        { { "foo", "-foo:bar", "-cf", folder.Path("absent.json") }, std::nullopt, 0,
            { "Warning, command line argument not recognized: foo", "Warning, command line option argument not recognized: foo", run0 } },
        { {}, R"({"ProcessAffinityMask": 15})", 0x0E,
            { quoted + ": key \"ProcessAffinityMask\" must be of type string, not number", "Fatal exception 0x8000000E" } },
        { {}, R"({"ProcessAffinityMask": "0xZ"})", 0x57,
            { quoted + ": key \"ProcessAffinityMask\" value \"0xZ\" is not a decimal or 0x-prefixed hexadecimal integer", "Fatal exception 0x80070057" } },
        { {}, R"({"Tg": {}})", 0x09, { quoted + ": key \"Tg.ChatIdentifier\" is missing", "Fatal exception 0x83750009" } },
        { {}, "{\n  \"Tasks\": [ }", 0x07, {} },
        { {}, R"({"Tasks": [{"SizeW": 640, "SizeH": 480, "RateN": 25, "RateD": 1}]})", 0, { run1 } },
    };
    for (const ExitCase& c : cases)
    {
        std::vector<std::string> command = { Tool };
        command.insert(command.end(), c.Arguments.begin(), c.Arguments.end());
        if (c.Configuration)
        {
            folder.Write("config.json", *c.Configuration);
            command.insert(command.end(), { "-cf", config });
        }
        const TestSupport::ProcessResult result = TestSupport::RunProcess(command);
        const std::string title = c.Configuration ? *c.Configuration : c.Arguments.empty() ? "" : c.Arguments.back();
        EXPECT_EQ(result.ExitStatus, c.ExitStatus) << title << "\n" << result.Output;
        const std::vector<std::string> lines = AfterBanner(result);
        if (c.Lines.empty())
        {
            // Invalid JSON: the file, the byte offset, then the fatal line.
            ASSERT_EQ(lines.size(), 2u) << result.Output;
            EXPECT_EQ(lines[0].rfind(quoted + ": invalid JSON at byte offset 15 (", 0), 0u) << lines[0];
            EXPECT_EQ(lines[1], "Fatal exception 0x83750007");
        }
        else
        {
            EXPECT_EQ(lines, c.Lines) << title;
        }
    }
}

TEST(EntryPoint, NoArgumentsRunsTheDefaultConfigurationBesideTheExecutable)
{
    const TestSupport::ProcessResult result = TestSupport::RunProcess({ Tool });
    EXPECT_EQ(result.ExitStatus, 0) << result.Output;
    // The default configuration copied beside the executable has two tasks.
    EXPECT_EQ(AfterBanner(result), std::vector<std::string> { "Run: 2 task(s) configured; pipelines are not available in this build" });
}

TEST(EntryPoint, ConsoleSignalsBecomeControlEventsAndLeaveTheProcessRunning)
{
    // The configuration file is a FIFO: the tool blocks in opening it, after its console control
    // thread has started, until this test opens the writing end.
    TempFolder folder;
    const std::string fifo = folder.Path("config.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Child child({ Tool, "-cf", fifo });
    ASSERT_GT(child.Pid(), 0);

    int writer = -1;
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while ((writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0)
    {
        ASSERT_EQ(errno, ENXIO); // no reader yet
        ASSERT_LT(Clock::now(), deadline) << "the tool never opened its configuration:\n" << child.Output();
        ASSERT_EQ(waitpid(child.Pid(), nullptr, WNOHANG), 0) << "the tool ended early";
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(fcntl(writer, F_SETFL, 0), 0);

    const std::pair<int, const char*> signals[] = {
        { SIGINT, "CTRL_C_EVENT" },
        { SIGQUIT, "CTRL_BREAK_EVENT" },
        { SIGHUP, "CTRL_CLOSE_EVENT" },
        { SIGTERM, "CTRL_SHUTDOWN_EVENT" },
    };
    for (const auto& [signal, name] : signals)
    {
        ASSERT_EQ(kill(child.Pid(), signal), 0);
        EXPECT_TRUE(child.WaitForOutput(std::string("Console Control Handler: ") + name + "\n", std::chrono::seconds(30)))
            << name << " not handled:\n" << child.Output();
    }

    const std::string configuration = R"({"Tasks": [{"SizeW": 640, "SizeH": 480, "RateN": 25, "RateD": 1}]})";
    ASSERT_EQ(write(writer, configuration.data(), configuration.size()), static_cast<ssize_t>(configuration.size()));
    close(writer);
    EXPECT_EQ(child.Finish(std::chrono::seconds(60)), 0) << child.Output();
    EXPECT_NE(child.Output().find("Run: 1 task(s)"), std::string::npos) << child.Output();
}

TEST(HandlerRoutine, NamedTypesSetTheStopEventOthersAreLeftToThePlatform)
{
    TestSupport::TraceCapture capture;
    EXPECT_FALSE(HandlerRoutine(7));
    EXPECT_FALSE(HandlerRoutine(0xABCDu));
    EXPECT_FALSE(Application::StopEvent().IsSignalled());
    EXPECT_TRUE(HandlerRoutine(CTRL_LOGOFF_EVENT));
    EXPECT_TRUE(Application::StopEvent().Wait(0));
    EXPECT_TRUE(Application::StopEvent().Wait(0)); // manual reset: stays set
    EXPECT_TRUE(HandlerRoutine(CTRL_C_EVENT));

    const std::vector<std::string> lines = capture.LinesContaining(": HandlerRoutine: Type ");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("Module.cpp(", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("): HandlerRoutine: Type 0x7\n"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("Type 0xABCD\n"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("Type CTRL_LOGOFF_EVENT\n"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("Type CTRL_C_EVENT\n"), std::string::npos) << lines[3];
}

TEST(ConsoleControl, SignalsMapToControlTypes)
{
    EXPECT_EQ(ConsoleControl::ControlTypeOfSignal(SIGINT), 0);
    EXPECT_EQ(ConsoleControl::ControlTypeOfSignal(SIGQUIT), 1);
    EXPECT_EQ(ConsoleControl::ControlTypeOfSignal(SIGHUP), 2);
    EXPECT_EQ(ConsoleControl::ControlTypeOfSignal(SIGTERM), 6);
    EXPECT_EQ(ConsoleControl::ControlTypeOfSignal(SIGUSR1), -1);
    EXPECT_EQ(ConsoleControl::ControlTypeName(CTRL_BREAK_EVENT), "CTRL_BREAK_EVENT");
    EXPECT_EQ(ConsoleControl::ControlTypeName(CTRL_CLOSE_EVENT), "CTRL_CLOSE_EVENT");
    EXPECT_EQ(ConsoleControl::ControlTypeName(CTRL_SHUTDOWN_EVENT), "CTRL_SHUTDOWN_EVENT");
    EXPECT_EQ(ConsoleControl::ControlTypeName(0xFFFFFFFFu), "0xFFFFFFFF");
}

TEST(FailureExitStatus, IsTheLowByteAndNeverZero)
{
    EXPECT_EQ(Application::FailureExitStatus(MakeHResult(0x80FF02D5)), 0xD5);
    EXPECT_EQ(Application::FailureExitStatus(MakeHResult(0x8007000E)), 0x0E);
    EXPECT_EQ(Application::FailureExitStatus(MakeHResult(0x80FF0100)), 255);
    EXPECT_EQ(Application::FailureExitStatus(MakeHResult(0x80004000)), 255);
    // An exception that wrongly carries a success code still fails.
    EXPECT_EQ(Application::FailureExitStatus(S_OK), 255);
    EXPECT_EQ(Application::FailureExitStatus(S_FALSE), 1);
}
} // namespace
