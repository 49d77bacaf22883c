#include "Service/XevEncodeTest/RunReport.h"

#include "platform/com/Error.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
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
    for (UINT32 iteration : { 0, 1 }) // the second with no time passed: zeros, and not kept
        RecordCpuConsumption(meter, iteration, results, [](std::string_view) {});
    EXPECT_EQ(results, "Elapsed Time: 1.2 seconds\nCPU Consumption Time: 25.00% kernel, 50.00% user\n");
}

TEST(RunReport, StreamFilesAreReplacedWholeOrNotAtAll)
{
    EXPECT_EQ(StreamFileName(0, 3, 0) + StreamFileName(2, 3, 10), "Stream-000-00.h264Stream-002-10.h264");
    const TestSupport::TempFolder folder;
    folder.Write("Stream-01.h264", "earlier run");
    const std::vector<BYTE> data { 0, 0, 0, 1, 0x67 };
    std::vector<std::string> console;
    const Console::Writer writer = [&](std::string_view line) { console.emplace_back(line); };
    WriteStreamFile({ 0, data }, 0, 1, folder.Path(), writer);
    WriteStreamFile({ 2, {} }, 0, 1, folder.Path(), writer);
    // Read-only for this thread even as root: a file-system user id other than 0 drops the override.
    ::chmod(folder.Path().c_str(), 0555);
    const int user = ::setfsuid(65534);
    EXPECT_EQ(Error::Guard([&] { WriteStreamFile({ 1, data }, 0, 1, folder.Path(), writer); }), E_ACCESSDENIED);
    ::setfsuid(user);
    ::chmod(folder.Path().c_str(), 0755);
    EXPECT_EQ(console, (std::vector<std::string> { "Writing 5 bytes to Stream-00.h264", "Writing 0 bytes to Stream-02.h264",
                           "Writing 5 bytes to Stream-01.h264" }));
    const auto content = [&](const char* name) { return std::string(std::istreambuf_iterator<char>(std::ifstream(folder.Path(name)).rdbuf()), {}); };
    EXPECT_EQ(content("Stream-00.h264") + "|" + content("Stream-01.h264") + "|" + content("Stream-02.h264"), std::string(data.begin(), data.end()) + "|earlier run|");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()), {}), 3); // no temporary file left
}
} // namespace
