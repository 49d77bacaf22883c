// Whole runs of the built tool on small tasks: the console lines of a run, the stream files as a
// decoder sees them, iterations and cool-downs, stop requests in each phase, the posted report, a
// failing encoder, a refused session, the capacity search and the terminal's status line.

#include "BotServer.h"
#include "ToolProcess.h"

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using namespace ToolProcess;

namespace
{
// Sanitizer builds: fontconfig keeps its configuration for the life of the process (and loses
// track of a block of it), and the text libraries synchronise inside themselves where the thread
// checker cannot see it; the tool's processes are told so.
bool IgnoreInSanitizers(const char* variable, const std::string& name, const std::string& lines)
{
    static const TestSupport::TempFolder folder;
    const std::string file = folder.Write(name, lines);
    const char* options = getenv(variable);
    return setenv(variable, (std::string(options ? options : "") + ":suppressions=" + file + ":print_suppressions=0").c_str(), 1) == 0;
}
const bool LibraryReportsIgnored = IgnoreInSanitizers("LSAN_OPTIONS", "xev-lsan.supp", "leak:libfontconfig.so\n")
    && IgnoreInSanitizers("TSAN_OPTIONS", "xev-tsan.supp",
        "race:libfontconfig.so\nrace:libglib-2.0.so\nrace:libharfbuzz.so\nrace:libpango-1.0.so\nrace:libpangoft2-1.0.so\nrace:libcairo.so\n");

// A copy of the tool (a hard link) in its own folder, where it writes its stream files.
struct ToolFolder : TestSupport::TempFolder
{
    explicit ToolFolder(const std::string& configuration, const std::string& tool = "XevEncodeTest")
    {
        std::filesystem::create_hard_link(TestSupport::BinaryPath(tool), Path("XevEncodeTest"));
        Write("XevEncodeTest.Configuration.json", configuration);
    }
    std::vector<std::string> Command(std::vector<std::string> options) const
    {
        options.insert(options.begin(), Path("XevEncodeTest"));
        return options;
    }
};

std::string Tasks(const std::string& tasks, int duration)
{
    return "{\"Tasks\": [" + tasks + "], \"Duration\": " + std::to_string(duration) + "}";
}
const std::string Encoder = "Using encoder Software (libx264 build *";
const std::string Small = R"({"SizeW": 96, "SizeH": 64, "RateN": 10, "RateD": 1})";
const std::string Smaller = R"({"SizeW": 64, "SizeH": 48, "RateN": 5, "RateD": 1})";

// What the decoder reports of each picture of an H.264 file: "WxH key type qp".
std::vector<std::string> Pictures(const std::string& path)
{
    const auto result = TestSupport::RunProcess({ "/usr/bin/ffmpeg", "-v", "info", "-nostdin", "-export_side_data", "venc_params", "-i", path,
                                                  "-vf", "showinfo", "-f", "null", "-" });
    std::vector<std::string> pictures;
    const std::regex picture(R"( s:(\d+x\d+) .* iskey:(\d) type:(\w))"), parameters(R"(qp=(\d+);)");
    std::smatch match;
    std::istringstream lines(result.Output);
    for (std::string text; std::getline(lines, text);)
    {
        if (std::regex_search(text, match, picture))
            pictures.push_back(match[1].str() + " " + match[2].str() + " " + match[3].str());
        else if (std::regex_search(text, match, parameters) && !pictures.empty())
            pictures.back() += " " + match[1].str();
    }
    return pictures;
}

// `count` pictures of `size`, an IDR every 4, QP 24.
std::vector<std::string> ExpectedPictures(const std::string& size, size_t count)
{
    std::vector<std::string> pictures;
    for (size_t i = 0; i < count; ++i)
        pictures.push_back(size + (i % 4 == 0 ? " 1 I 24" : " 0 P 24"));
    return pictures;
}
} // namespace

// Two tasks run together; their streams decode to every picture with the encoder's settings. The
// same run with pipeline 1's encoder failing: its failure is printed and pipeline 0 still finishes.
TEST(Run, TwoPipelinesWriteDecodableStreamsAndAFailingEncoderStopsOnlyItsOwn)
{
    for (const bool failing : { false, true })
    {
        SCOPED_TRACE(failing ? "failing encoder" : "whole run");
        const ToolFolder folder(Tasks(Small + ", " + Smaller, 2), failing ? "XevEncodeTestFailingEncoder" : "XevEncodeTest");
        const TestSupport::ProcessResult result = TestSupport::RunProcess(folder.Command({ "-WriteStreams", "-rf", folder.Path("results.json") }));
        SCOPED_TRACE(result.Output);
        EXPECT_EQ(result.ExitStatus, 0);
        EXPECT_EQ(result.Output.find('\r'), std::string::npos); // no status line through a pipe
        std::vector<std::string> lines = CollapseReport(AfterBanner(result.Output));
        std::vector<std::string> expected = { "Processor Count *", "Using adapter \"*", Encoder, "Started 2 pipelines, duration is 2 seconds" };
        if (failing)
            expected.push_back("Pipeline 1 failed with code 0x8000FFFF");
        expected.insert(expected.end(), { "CPU consumption: *", "Stopping pipelines", "Writing *", "Writing *", "<report>", "Chat notification skipped*" });
        ExpectLines(lines, expected);
        // Written in the order of completion: the failed pipeline first.
        EXPECT_TRUE(!failing || lines.size() != expected.size() || lines[lines.size() - 4].ends_with(" bytes to Stream-01.h264")) << result.Output;
        EXPECT_EQ(Pictures(folder.Path("Stream-00.h264")), ExpectedPictures("96x64", 20));
        const std::vector<std::string> failed = Pictures(folder.Path("Stream-01.h264"));
        EXPECT_TRUE(failing ? failed.size() < 3 : failed == ExpectedPictures("64x48", 10)) << testing::PrintToString(failed);
        // The results file counts what the stream files hold.
        const nlohmann::json results = nlohmann::json::parse(std::ifstream(folder.Path("results.json")), nullptr, false);
        const nlohmann::json& pipelines = results["Iterations"][0]["Pipelines"];
        ASSERT_EQ(pipelines.size(), 2u) << results;
        for (const size_t i : { 0u, 1u })
        {
            EXPECT_EQ(pipelines[i]["Frames"], (i ? failed.size() : 20u)) << pipelines[i];
            EXPECT_EQ(pipelines[i]["Bytes"], std::filesystem::file_size(folder.Path(i ? "Stream-01.h264" : "Stream-00.h264")));
            EXPECT_EQ(pipelines[i]["Result"], failing && i == 1 ? "0x8000FFFF" : "0x00000000");
            EXPECT_LE(pipelines[i]["LatencyMilliseconds"]["P99"], pipelines[i]["LatencyMilliseconds"]["Max"]);
        }
        EXPECT_TRUE(results["Machine"]["Encoder"].get<std::string>().starts_with("Software (libx264 build ")) << results;
    }
}

// A capacity search prints one line per trial and the count found (how many pipelines keep up
// depends on the machine, so any count goes), which the results file holds with every trial; a stop
// request during the first trial ends the search at once with the best count so far, none.
TEST(Run, CapacitySearch)
{
    const std::string task = R"({"SizeW": 160, "SizeH": 120, "RateN": 30, "RateD": 1})";
    const ToolFolder folder(Tasks(task, 1));
    const TestSupport::ProcessResult result = TestSupport::RunProcess(folder.Command({ "-cap", "-ict", "0", "-rf", folder.Path("r.json") }));
    ASSERT_EQ(result.ExitStatus, 0) << result.Output;
    const std::regex trial(R"(Capacity trial: (\d+) pipelines, [0-9.]+ fps slowest, \d+ late frames, CPU \d+%: (not )?real time)");
    size_t trials = 0, started = 0;
    std::smatch match;
    for (const std::string& line : AfterBanner(result.Output))
        started += line.starts_with("Started "), trials += std::regex_match(line, match, trial) && std::stoul(match[1]) > 0;
    EXPECT_TRUE(started == trials && trials >= 1) << result.Output;
    ASSERT_TRUE(std::regex_search(result.Output, match, std::regex("\nCapacity: (\\d+) pipelines of 160x120@30\n"))) << result.Output;
    const nlohmann::json results = nlohmann::json::parse(std::ifstream(folder.Path("r.json")), nullptr, false);
    EXPECT_EQ(results["Iterations"].size(), trials);
    EXPECT_EQ(results["Capacity"]["Pipelines"], std::stoul(match[1])) << results;

    const ToolFolder longer(Tasks(task, 600));
    Child child(longer.Command({ "-cap", "-ict", "600" }));
    ASSERT_TRUE(child.ReadUntil("Started 1 pipelines", std::chrono::seconds(120))) << child.Output();
    ASSERT_EQ(kill(child.Pid(), SIGINT), 0);
    EXPECT_EQ(child.Finish(std::chrono::seconds(120)).ExitStatus, 0);
    EXPECT_TRUE(child.Output().ends_with("Capacity: 0 pipelines of 160x120@30\n")) << child.Output();
    EXPECT_EQ(child.Output().find("Capacity trial"), std::string::npos) << child.Output();
}

// An encoder runtime that refuses the third session: that pipeline's failure line is followed by the
// diagnosis, and the others finish.
TEST(Run, RefusedSessionIsDiagnosedAsTheDriverLimit)
{
    const ToolFolder folder(Tasks(Smaller + ", " + Smaller + ", " + Smaller, 1), "XevEncodeTestSessionLimit");
    const TestSupport::ProcessResult result = TestSupport::RunProcess(folder.Command({}));
    EXPECT_EQ(result.ExitStatus, 0);
    const std::vector<std::string> lines = CollapseReport(AfterBanner(result.Output));
    ExpectLines(lines, { "Processor Count *", "Using adapter \"*", Encoder, "Started 3 pipelines, duration is 1 seconds", "Pipeline *",
        "The encoder refused a new session while 2 sessions of this process were open: the driver limits concurrent encode sessions on this adapter",
        "CPU consumption: *", "Stopping pipelines", "<report>", "Chat notification skipped*" });
    EXPECT_TRUE(lines.size() > 4 && lines[4].ends_with(" failed with code 0xCE56000A")) << result.Output;
}

// On a terminal the status line is rewritten in place while pipelines run and cleared before the
// next console line (through a pipe there is none: see above).
TEST(Run, StatusLineOnATerminal)
{
    const ToolFolder folder(Tasks(Smaller, 3));
    Child child(folder.Command({}), true);
    EXPECT_EQ(child.Finish(std::chrono::seconds(120)).ExitStatus, 0) << child.Output();
    const std::string& output = child.Output();
    const size_t last = output.rfind("\rElapsed ");
    ASSERT_NE(last, std::string::npos) << output;
    EXPECT_TRUE(std::regex_search(output.substr(last), std::regex(R"(^\rElapsed \d/3 s, \d+ frames, slowest [0-9.]+/5 fps, \d+ late, CPU \d+%\x1b\[K\r\x1b\[K[A-Z])"))) << output;
}

// Iterations with cool-downs, a stop while the last iteration runs and one during a cool-down
// (both end the run normally, without a further iteration or a report). A finished run prints its
// report between lines of dashes and posts exactly that text once: after three iterations (the
// first one's results only) and after none (no results lines).
TEST(Run, IterationsStopRequestsAndThePostedReport)
{
    const std::vector<std::string> start = { "Processor Count *", "Using adapter \"*", Encoder };
    const std::vector<std::string> iteration = { "Started 1 pipelines, duration is 1 seconds", "CPU consumption: *", "Stopping pipelines" };
    const std::string cooling = "Cooling down between iterations";
    const std::string large = R"({"SizeW": 1280, "SizeH": 720, "RateN": 60, "RateD": 1}, {"SizeW": 640, "SizeH": 480, "RateN": 25, "RateD": 2})";
    // StopAfter: a signal is sent once this text is printed; Lines: joined in order; Report: the posted report's middle; nullptr: no report
    const struct { std::vector<std::string> Options; int Duration; const char* StopAfter; int Signal; std::vector<std::vector<std::string>> Lines;
        const char* Report; } cases[] = {
        { { "-ic", "3", "-ict", "1" }, 1, nullptr, 0, { start, iteration, { cooling }, iteration, { cooling }, iteration, { "<report>" } },
            "Iterations: 3\n\n64x48@5\n\nElapsed Time: [0-9.]+ seconds\nCPU Consumption Time: [0-9.]+% kernel, [0-9.]+% user\n" },
        { {}, 600, "Started 1 pipelines", SIGINT,
            { start, { "Started 1 pipelines, duration is 600 seconds", "Console Control Handler: CTRL_C_EVENT", "Stopping pipelines" } }, nullptr },
        { { "-ic", "3", "-ict", "600" }, 1, "Cooling down", SIGTERM, { start, iteration, { cooling, "Console Control Handler: CTRL_SHUTDOWN_EVENT" } }, nullptr },
        { { "-ic", "0" }, 1, nullptr, 0, { start, { "<report>" } }, "Iterations: 0\n\n1280x720@60, 640x480@12\\.50\n\n" },
    };
    for (const auto& c : cases)
    {
        BotServer bot;
        const ToolFolder folder(R"({"Duration": )" + std::to_string(c.Duration) + R"(, "Tg": {"ChatIdentifier": 1, "BaseAddress": ")" + bot.Address()
            + R"("}, "Tasks": [)" + (c.Options.size() == 2 ? large : Smaller) + "]}"); // -ic 0: tasks never run
        Child child(folder.Command(c.Options));
        if (c.StopAfter)
        {
            ASSERT_TRUE(child.ReadUntil(c.StopAfter, std::chrono::seconds(120))) << child.Output();
            ASSERT_EQ(kill(child.Pid(), c.Signal), 0);
        }
        EXPECT_EQ(child.Finish(std::chrono::seconds(120)).ExitStatus, 0) << child.Output();
        std::vector<std::string> expected;
        for (const auto& part : c.Lines)
            expected.insert(expected.end(), part.begin(), part.end());
        ExpectLines(CollapseReport(AfterBanner(child.Output())), expected);
        const std::vector<nlohmann::json> posts = bot.Finish();
        ASSERT_EQ(posts.size(), c.Report ? 1u : 0u) << child.Output();
        if (!c.Report)
            continue;
        const std::string text = nlohmann::json::parse(posts[0]["body"].get<std::string>())["text"], dashes(64, '-');
        EXPECT_NE(child.Output().find(dashes + "\n" + text + dashes + "\n"), std::string::npos) << child.Output() << text;
        EXPECT_TRUE(std::regex_match(text, std::regex("Processor: .*\\([0-9]+\\)\nAdapter: .+\nDuration: 1 seconds\n" + std::string(c.Report)
            + "\nComputer: .*\nLocal Time: .+\nUTC Time: .+\n#XevEncodeTest\n"))) << text;
    }
}
