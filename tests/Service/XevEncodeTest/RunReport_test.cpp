#include "Service/XevEncodeTest/RunReport.h"

#include "platform/com/Error.h"
#include "platform/system/SystemInfo.h"
#include "TempFolder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/fsuid.h>
#include <sys/stat.h>

namespace
{
using namespace Application;

// The meter's fake clock: wall and process times in 100 ns ticks.
int64_t g_Now = 0;
Process::Times g_Times;

TEST(RunReport, OnlyTheFirstIterationsConsumptionIsKept)
{
    CpuMeter meter({ [] { return g_Now; }, [] { return g_Times; }, 2 });
    g_Now = 5, g_Times = { 1, 2 };
    meter.Start();
    g_Now += 12'345'678, g_Times = { 1 + 6'172'839, 2 + 12'345'678 }; // 1.2345678 s: a quarter and a half of 2 processors
    std::string results;
    std::vector<std::string> console;
    for (UINT32 iteration : { 0, 1 }) // the second with no time passed: zeros
        RecordCpuConsumption(meter, iteration, results, [&](std::string_view line) { console.emplace_back(line); });
    EXPECT_EQ(results, "Elapsed Time: 1.2 seconds\nCPU Consumption Time: 25.00% kernel, 50.00% user\n");
    EXPECT_EQ(console, (std::vector<std::string> { "CPU consumption: 25.00% kernel time, 50.00% user time",
                           "CPU consumption: 0.00% kernel time, 0.00% user time" }));
}

TEST(RunReport, ComposedLineByLine)
{
    Configuration settings("/opt/xev/XevEncodeTest");
    settings.Tasks = { { 60, 1, 1280, 720 }, { 25, 2, 640, 480 }, { 30000, 1001, 1920, 1080 } };
    settings.IterationCount = 0;
    const std::string head = "Processor: " + HostSystem::ProcessorBrandText() + " (" + std::to_string(Process::ProcessorCount())
        + ")\nAdapter: Card\nDuration: 10 seconds\nIterations: 0\n\n1280x720@60, 640x480@12.50, 1920x1080@29.97\n\n";
    for (const std::string middle : { "", "Elapsed Time: 1.0 seconds\nCPU Consumption Time: 1.00% kernel, 2.00% user\n" })
    {
        const std::string report = ComposeReport(settings, "Card", middle);
        EXPECT_TRUE(report.starts_with(head + middle + "\nComputer: ")) << report;
        EXPECT_TRUE(std::regex_search(report, std::regex("\nComputer: [^\n]*\nLocal Time: [^\n]+\nUTC Time: [^\n]+\n#XevEncodeTest\n$"))) << report;
    }
}

TEST(RunReport, StreamFilesAreReplacedWholeOrNotAtAll)
{
    EXPECT_EQ(StreamFileName(0, 3, 0) + StreamFileName(2, 3, 10), "Stream-000-00.h264Stream-002-10.h264");
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
    EXPECT_EQ(Error::Guard([&] { WriteStreamFile({ 1, data }, 0, 1, folder.Path(), writer); }), E_ACCESSDENIED);
    ::setfsuid(user);
    EXPECT_EQ(console, (std::vector<std::string> { "Writing 5 bytes to Stream-00.h264", "Writing 0 bytes to Stream-02.h264",
                           "Writing 5 bytes to Stream-01.h264" }));
    const auto content = [&](const char* name) { return std::string(std::istreambuf_iterator<char>(std::ifstream(folder.Path(name)).rdbuf()), {}); };
    EXPECT_EQ(content("Stream-00.h264") + "|" + content("Stream-01.h264") + "|" + content("Stream-02.h264"), bytes + "|earlier run|");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 3); // no temporary file left
}
} // namespace
