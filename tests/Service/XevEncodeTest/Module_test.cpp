#include "platform/system/ConsoleControl.h"
#include "Service/XevEncodeTest/Module.h"

#include "fakes/Platform.h"
#include "fakes/Support.h"
#include "ToolProcess.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{
using namespace ToolProcess;

// A syntax request anywhere prints the syntax after the banner and exits 0, even with an unknown
// word and a configuration that would fail.
TEST(EntryPoint, ExitStatusAndLastLines)
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
    TestSupport::TempFolder folder;
    const std::string config = folder.Path("config.json");
    const std::string quoted = "Configuration file \"" + config + "\"";
    // Without tasks the run fails after the processor and adapter lines.
    const std::vector<std::string> noTasks = { "Processor Count *", "Using adapter \"*", "Using encoder *", "Fatal exception 0x80FF023F" };
    // Configuration: written to a file named by -cf; nothing: no -cf added; Lines: what follows the banner; a line ending in '(' is the start of one
    const struct { std::vector<std::string> Arguments; std::optional<std::string> Configuration; int ExitStatus; std::vector<std::string> Lines; } cases[] = {
        { { "-ws", "-SYNTAX" }, std::nullopt, 0, syntax },
        { { "foo", "-?" }, "{", 0, syntax },
        { { "-cf" }, std::nullopt, 0xD5, { "Fatal exception 0x80FF02D5" } },
        { { "foo", "-foo:bar", "-cf", folder.Path("absent.json") }, std::nullopt, 0x3F,
            { "Warning, command line argument not recognized: foo", "Warning, command line option argument not recognized: foo", noTasks[0],
                noTasks[1], noTasks[2], noTasks[3] } },
        { {}, R"({"ProcessAffinityMask": 15})", 0x0E,
            { quoted + ": key \"ProcessAffinityMask\" must be of type string, not number", "Fatal exception 0x8000000E" } },
        { {}, "{\n  \"Tasks\": [ }", 0x07, { quoted + ": invalid JSON at byte offset 15 (", "Fatal exception 0x83750007" } },
    };
    for (const auto& c : cases)
    {
        std::vector<std::string> command = { Tool };
        command.insert(command.end(), c.Arguments.begin(), c.Arguments.end());
        if (c.Configuration)
            command.insert(command.end(), { "-cf", folder.Write("config.json", *c.Configuration) });
        const TestSupport::ProcessResult result = TestSupport::RunProcess(command);
        SCOPED_TRACE(result.Output);
        EXPECT_EQ(result.ExitStatus, c.ExitStatus);
        std::vector<std::string> expected = c.Lines;
        for (std::string& line : expected)
            if (line.ends_with('('))
                line += '*';
        ExpectLines(AfterBanner(result.Output), expected);
    }
}

TEST(EntryPoint, ConsoleSignalsBecomeControlEventsAndLeaveTheProcessRunning)
{
    // The configuration file is a FIFO: the tool blocks in opening it, after its console control
    // thread has started, until this test opens the writing end.
    TestSupport::TempFolder folder;
    const std::string fifo = folder.Path("config.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Child child({ Tool, "-cf", fifo });
    ASSERT_GT(child.Pid(), 0);

    // Opening the writing end without blocking fails with ENXIO until the tool has opened the reading end.
    int writer = -1;
    ASSERT_TRUE(TestSupport::WaitUntil([&] {
        return (writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0 || errno != ENXIO || waitpid(child.Pid(), nullptr, WNOHANG) != 0;
    })) << "the tool never opened its configuration:\n" << child.Output();
    ASSERT_GE(writer, 0) << "the tool ended early, or the FIFO failed: " << errno;
    ASSERT_EQ(fcntl(writer, F_SETFL, 0), 0);

    const std::pair<int, const char*> signals[] = {
        { SIGINT, "CTRL_C_EVENT" }, { SIGQUIT, "CTRL_BREAK_EVENT" }, { SIGHUP, "CTRL_CLOSE_EVENT" }, { SIGTERM, "CTRL_SHUTDOWN_EVENT" },
    };
    for (const auto& [signal, name] : signals)
    {
        ASSERT_EQ(kill(child.Pid(), signal), 0);
        EXPECT_TRUE(child.ReadUntil(std::string("Console Control Handler: ") + name + "\n", std::chrono::seconds(30)))
            << name << " not handled:\n" << child.Output();
    }

    // The stop request came before the pipeline could be ready: the run fails at once.
    const std::string configuration = R"({"Tasks": [{"SizeW": 64, "SizeH": 48, "RateN": 5, "RateD": 1}], "Duration": 1})";
    ASSERT_EQ(write(writer, configuration.data(), configuration.size()), static_cast<ssize_t>(configuration.size()));
    close(writer);
    EXPECT_EQ(child.Finish(std::chrono::seconds(60)).ExitStatus, 0x73) << child.Output();
    EXPECT_TRUE(child.Output().ends_with("Fatal exception 0x80FF0273\n")) << child.Output();
}

// Small driver rows: the control types the handler leaves to the platform, the one named type no
// signal maps to (the signals are seen end to end above), and failure exit statuses whose low byte
// is 0 or that wrongly carry a success code (the others are seen end to end above).
TEST(EntryPoint, HandlerRoutineAndFailureExitStatus)
{
    Application::StopEvent().Reset(); // process-wide: an earlier repetition has set it
    EXPECT_FALSE(HandlerRoutine(7) || HandlerRoutine(0xABCDu) || Application::StopEvent().IsSignalled());
    EXPECT_TRUE(HandlerRoutine(CTRL_LOGOFF_EVENT) && Application::StopEvent().Wait(0) && Application::StopEvent().Wait(0)); // manual reset
    const std::pair<uint32_t, int> cases[] { { 0x80FF0100, 255 }, { 0, 255 }, { 1, 1 } };
    for (const auto& [hr, status] : cases)
        EXPECT_EQ(Application::FailureExitStatus(MakeHResult(hr)), status) << std::hex << hr;
}
} // namespace
