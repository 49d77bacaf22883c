#include "Service/XevEncodeTest/RunReport.h"

#include "platform/com/Error.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/fsuid.h>
#include <sys/stat.h>

namespace
{
using namespace Application;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

TEST(RunReport, TaskTextsAndStreamFileNames)
{
    EXPECT_EQ(TaskText({ 30, 1, 1920, 1080 }), "1920x1080@30");
    EXPECT_EQ(TaskText({ 30000, 1001, 1920, 1080 }), "1920x1080@29.97");
    EXPECT_EQ(TaskText({ 25, 2, 640, 480 }), "640x480@12.50");
    EXPECT_EQ(StreamFileName(0, 1, 0) + StreamFileName(0, 1, 1), "Stream-00.h264Stream-01.h264");
    EXPECT_EQ(StreamFileName(0, 3, 0) + StreamFileName(2, 3, 10), "Stream-000-00.h264Stream-002-10.h264");
}

// One fake clock for the meter: 100 ns ticks and process times in nanoseconds.
int64_t g_Now = 0;
HostSystem::ProcessTimes g_Times;

TEST(RunReport, OnlyTheFirstIterationsConsumptionIsKept)
{
    CpuMeter meter({ [] { return g_Now; }, [] { return g_Times; }, 2 });
    g_Now = 5, g_Times = { 100, 200 };
    meter.Start();
    g_Now += 12'345'678, g_Times = { 100 + 617'283'900, 200 + 1'234'567'800 }; // 1.2345678 s; a quarter and a half of 2 processors
    std::string results;
    std::vector<std::string> console;
    const Console::Writer writer = [&](std::string_view line) { console.emplace_back(line); };
    RecordCpuConsumption(meter, 0, results, writer);
    RecordCpuConsumption(meter, 1, results, writer); // no time passed: zeros, and not in the results
    EXPECT_EQ(results, "Elapsed Time: 1.2 seconds\nCPU Consumption Time: 25.00% kernel, 50.00% user\n");
    EXPECT_EQ(console, (std::vector<std::string> { "CPU consumption: 25.00% kernel time, 50.00% user time",
                           "CPU consumption: 0.00% kernel time, 0.00% user time" }));
}

TEST(RunReport, ComposedLineByLine)
{
    Configuration settings("/opt/xev/XevEncodeTest");
    settings.Tasks = { { 60, 1, 1280, 720 }, { 25, 2, 640, 480 } };
    settings.IterationCount = 0;
    const std::string processor = "Processor: " + HostSystem::ProcessorBrandText() + " (" + std::to_string(HostSystem::LogicalProcessorCount()) + ")";
    const std::vector<std::string> head { processor, "Adapter: Card", "Duration: 10 seconds", "Iterations: 0", "", "1280x720@60, 640x480@12.50", "" };
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        { "", { "" } },
        { "Elapsed Time: 1.0 seconds\nCPU Consumption Time: 1.00% kernel, 2.00% user\n",
            { "Elapsed Time: 1.0 seconds", "CPU Consumption Time: 1.00% kernel, 2.00% user", "" } },
    };
    for (const auto& [results, middle] : cases)
    {
        std::vector<std::string> lines = Lines(ComposeReport(settings, "Card", results));
        ASSERT_EQ(lines.size(), head.size() + middle.size() + 4) << results;
        EXPECT_EQ(std::vector(lines.begin(), lines.begin() + head.size()), head);
        EXPECT_EQ(std::vector(lines.begin() + head.size(), lines.end() - 4), middle);
        EXPECT_TRUE(lines.end()[-4].starts_with("Computer: "));
        EXPECT_TRUE(lines.end()[-3].starts_with("Local Time: ") && lines.end()[-3].size() > 12);
        EXPECT_TRUE(lines.end()[-2].starts_with("UTC Time: ") && lines.end()[-2].size() > 10);
        EXPECT_EQ(lines.back(), "#XevEncodeTest");
    }
}

std::string Content(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

TEST(RunReport, StreamFilesAreReplacedWholeOrNotAtAll)
{
    const TempFolder folder;
    folder.Write("Stream-01.h264", "earlier run");
    const std::string bytes("\0\0\0\1\x67", 5);
    const std::span<const BYTE> data(reinterpret_cast<const BYTE*>(bytes.data()), bytes.size());
    std::vector<std::string> console;
    const Console::Writer writer = [&](std::string_view line) { console.emplace_back(line); };
    WriteStreamFile({ 0, data }, 0, 1, folder.Path(), writer);
    WriteStreamFile({ 2, {} }, 0, 1, folder.Path(), writer);
    // Read-only for this thread even as root: a file-system user id other than 0 drops the override.
    ::chmod(folder.Path().c_str(), 0555);
    const int user = ::setfsuid(65534);
    std::optional<HRESULT> failure;
    try { WriteStreamFile({ 1, data }, 0, 1, folder.Path(), writer); }
    catch (const HResultException& e) { failure = e.Result(); }
    ::setfsuid(user);
    ::chmod(folder.Path().c_str(), 0755);
    EXPECT_EQ(failure, E_ACCESSDENIED);
    EXPECT_EQ(console, (std::vector<std::string> { "Writing 5 bytes to Stream-00.h264", "Writing 0 bytes to Stream-02.h264",
                           "Writing 5 bytes to Stream-01.h264" }));
    EXPECT_EQ(Content(folder.Path("Stream-00.h264")), bytes);
    EXPECT_EQ(Content(folder.Path("Stream-01.h264")), "earlier run");
    EXPECT_EQ(Content(folder.Path("Stream-02.h264")), "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 3); // no temporary file left
}
} // namespace
