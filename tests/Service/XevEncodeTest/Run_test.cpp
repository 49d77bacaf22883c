// Whole runs of the built tool on small tasks: the console lines of a run, the stream files as a
// decoder sees them, iterations and cool-downs, stop requests in each phase, a failing encoder.

#include "BotServer.h"
#include "TempFolder.h"
#include "ToolProcess.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>

using namespace ToolProcess;

namespace
{
// Sanitizer builds: fontconfig keeps its configuration for the life of the process (and loses
// track of a block of it), and the text libraries synchronise inside themselves where the thread
// checker cannot see it; the tool's processes are told so.
bool IgnoreInSanitizers(const char* variable, const std::string& name, const std::string& lines)
{
    const std::string file = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream(file) << lines;
    const char* options = getenv(variable);
    return setenv(variable, (std::string(options ? options : "") + ":suppressions=" + file + ":print_suppressions=0").c_str(), 1) == 0;
}
const bool LibraryReportsIgnored = IgnoreInSanitizers("LSAN_OPTIONS", "xev-lsan.supp", "leak:libfontconfig.so\n")
    && IgnoreInSanitizers("TSAN_OPTIONS", "xev-tsan.supp",
        "race:libfontconfig.so\nrace:libglib-2.0.so\nrace:libharfbuzz.so\nrace:libpango-1.0.so\nrace:libpangoft2-1.0.so\nrace:libcairo.so\n");

// A copy of the tool (a hard link) in its own folder, where it writes its stream files.
struct ToolFolder : TempFolder
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
const std::string Small = R"({"SizeW": 96, "SizeH": 64, "RateN": 10, "RateD": 1})";
const std::string Smaller = R"({"SizeW": 64, "SizeH": 48, "RateN": 5, "RateD": 1})";

// What the decoder reports of each picture of an H.264 file: "WxH key type qp".
std::vector<std::string> Pictures(const std::string& path)
{
    const std::string command = "ffmpeg -v info -nostdin -export_side_data venc_params -i '" + path + "' -vf showinfo -f null - 2>&1";
    std::vector<std::string> pictures;
    FILE* pipe = popen(command.c_str(), "r");
    char line[4096];
    const std::regex picture(R"( s:(\d+x\d+) .* iskey:(\d) type:(\w))"), parameters(R"(qp=(\d+);)");
    std::smatch match;
    while (pipe && fgets(line, sizeof(line), pipe))
    {
        const std::string text = line;
        if (std::regex_search(text, match, picture))
            pictures.push_back(match[1].str() + " " + match[2].str() + " " + match[3].str());
        else if (std::regex_search(text, match, parameters) && !pictures.empty())
            pictures.back() += " " + match[1].str();
    }
    if (pipe)
        pclose(pipe);
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
        const TestSupport::ProcessResult result = TestSupport::RunProcess(folder.Command({ "-WriteStreams" }));
        SCOPED_TRACE(result.Output);
        EXPECT_EQ(result.ExitStatus, 0);
        std::vector<std::string> lines = CollapseReport(AfterBanner(result.Output));
        std::vector<std::string> expected = { "Processor Count *", "Using adapter \"*", "Started 2 pipelines, duration is 2 seconds" };
        if (failing)
            expected.push_back("Pipeline 1 failed with code 0x8000FFFF");
        expected.insert(expected.end(), { "CPU consumption: *", "Stopping pipelines", "Writing *", "Writing *", "<report>", "Chat notification skipped*" });
        ExpectLines(lines, expected);
        // Written in the order of completion: the failed pipeline first.
        if (failing && lines.size() == expected.size())
        {
            EXPECT_TRUE(lines[lines.size() - 4].ends_with(" bytes to Stream-01.h264")) << lines[lines.size() - 4];
        }
        EXPECT_EQ(Pictures(folder.Path("Stream-00.h264")), ExpectedPictures("96x64", 20));
        const std::vector<std::string> failed = Pictures(folder.Path("Stream-01.h264"));
        if (failing)
        {
            EXPECT_LT(failed.size(), 3u);
        }
        else
        {
            EXPECT_EQ(failed, ExpectedPictures("64x48", 10));
        }
    }
}

// Iterations with cool-downs; a stop while the last iteration runs and one during a cool-down
// both end the run normally, without a further iteration.
TEST(Run, IterationsCooldownsAndStopRequests)
{
    const std::vector<std::string> start = { "Processor Count *", "Using adapter \"*" };
    const std::vector<std::string> iteration = { "Started 1 pipelines, duration is 1 seconds", "CPU consumption: *", "Stopping pipelines" };
    const struct
    {
        std::vector<std::string> Options;
        int Duration;
        const char* StopAfter; // a signal is sent once this text is printed
        int Signal;
        std::vector<std::vector<std::string>> Lines; // joined in order
    } cases[] = {
        { { "-ic", "3", "-ict", "1" }, 1, nullptr, 0,
            { start, iteration, { "Cooling down between iterations" }, iteration, { "Cooling down between iterations" }, iteration,
                { "<report>", "Chat notification skipped*" } } },
        { {}, 600, "Started 1 pipelines", SIGINT,
            { start, { "Started 1 pipelines, duration is 600 seconds", "Console Control Handler: CTRL_C_EVENT", "Stopping pipelines" } } },
        { { "-ic", "3", "-ict", "600" }, 1, "Cooling down", SIGTERM,
            { start, iteration, { "Cooling down between iterations", "Console Control Handler: CTRL_SHUTDOWN_EVENT" } } },
    };
    for (const auto& c : cases)
    {
        const ToolFolder folder(Tasks(Smaller, c.Duration));
        Child child(folder.Command(c.Options));
        if (c.StopAfter)
        {
            ASSERT_TRUE(child.ReadUntil(c.StopAfter, std::chrono::seconds(120))) << child.Output();
            ASSERT_EQ(kill(child.Pid(), c.Signal), 0);
        }
        EXPECT_EQ(child.Finish(std::chrono::seconds(120)), 0) << child.Output();
        std::vector<std::string> expected;
        for (const auto& part : c.Lines)
            expected.insert(expected.end(), part.begin(), part.end());
        ExpectLines(CollapseReport(AfterBanner(child.Output())), expected);
    }
}

// A finished run prints its report between lines of dashes and posts exactly that text, once: after
// no iteration (no results lines) and after two (the first one's results only).
TEST(Run, PostsThePrintedReportOnce)
{
    const std::string tasks = R"({"SizeW": 1280, "SizeH": 720, "RateN": 60, "RateD": 1}, {"SizeW": 640, "SizeH": 480, "RateN": 25, "RateD": 2})";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        { { "-ic", "0" }, "Iterations: 0\n\n1280x720@60, 640x480@12\\.50\n\n" },
        { { "-ic", "2", "-ict", "0" }, "Iterations: 2\n\n64x48@5\n\nElapsed Time: [0-9.]+ seconds\nCPU Consumption Time: [0-9.]+% kernel, [0-9.]+% user\n" },
    };
    for (const auto& [options, middle] : cases)
    {
        BotServer bot;
        const ToolFolder folder(R"({"Duration": 1, "Tg": {"ChatIdentifier": 1, "BaseAddress": ")" + bot.Address() + R"("}, "Tasks": [)" + (options[1] == "0" ? tasks : Smaller) + "]}");
        const TestSupport::ProcessResult result = TestSupport::RunProcess(folder.Command(options));
        const std::vector<nlohmann::json> posts = bot.Finish();
        ASSERT_TRUE(result.ExitStatus == 0 && posts.size() == 1) << result.Output << posts.size() << " posts";
        const std::string text = nlohmann::json::parse(posts[0]["body"].get<std::string>())["text"], dashes(64, '-');
        EXPECT_NE(result.Output.find(dashes + "\n" + text + dashes + "\n"), std::string::npos) << result.Output << text;
        EXPECT_TRUE(std::regex_match(text, std::regex("Processor: .*\\([0-9]+\\)\nAdapter: .+\nDuration: 1 seconds\n" + middle
            + "\nComputer: .*\nLocal Time: .+\nUTC Time: .+\n#XevEncodeTest\n"))) << text;
    }
}
