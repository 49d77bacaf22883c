#include "diagnostics/Arguments.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace Diagnostics;

TEST(WorkerOptionsTest, DebugValueGivesTheDumpType)
{
    const std::pair<const char*, uint32_t> cases[] = {
        { "-Debug", 0 }, { "-Debug:", 0 }, { "-Debug:Normal", 0 }, { "-debug:full", 0x1826 }, { "-Debug:FULL", 0x1826 },
        { "-Debug:0x2", 2 }, { "-DEBUG:0X1f", 0x1f }, { "-Debug:18", 18 }, { "-Debug:12abc", 12 }, { "-Debug:abc", 0 }, { "-Debug:0x", 0 },
    };
    for (const auto& [word, dumpType] : cases)
    {
        const std::optional<WorkerOptions> options = ParseWorkerOptions({ "tool", "-ws", word });
        ASSERT_TRUE(options) << word;
        EXPECT_EQ(options->DumpType, dumpType) << word;
    }
    EXPECT_FALSE(ParseWorkerOptions({ "tool", "-DisableDebugOutput", "Debug", "-Debugger" }));
}

TEST(SupervisorOptionsTest, ReadsTheNumbersAfterParentProcessDebug)
{
    struct Case
    {
        std::vector<std::string> Arguments;
        std::optional<SupervisorOptions> Expected;
    };
    const Case cases[] = {
        { { "tool", "-ParentProcessDebug", "12", "2", "7", "8" }, SupervisorOptions { false, 12, 2, 7, 8 } },
        { { "tool", "-DisableDebugOutput", "-ParentProcessDebug:x", "12" }, SupervisorOptions { true, 12, 0, 0, 0 } },
        { { "tool", "-disabledebugoutput", "-ParentProcessDebug", " 12z", "-1" }, SupervisorOptions { false, 12, 0xFFFFFFFF, 0, 0 } },
        { { "tool", "-ParentProcessDebug", "12", "-DisableDebugOutput" }, SupervisorOptions { false, 12, 0, 0, 0 } },
        { { "tool", "-ParentProcessDebug" }, std::nullopt },
        { { "tool", "-ParentProcessDebug", "0", "1" }, std::nullopt },
        { { "tool", "-parentprocessdebug", "12" }, std::nullopt },
        { { "tool", "-Debug" }, std::nullopt },
    };
    for (const Case& c : cases)
    {
        const std::optional<SupervisorOptions> options = ParseSupervisorOptions(c.Arguments);
        ASSERT_EQ(options.has_value(), c.Expected.has_value()) << c.Arguments[1];
        if (!options)
            continue;
        const auto fields = [](const SupervisorOptions& o) {
            return std::tuple(o.DisableDebugOutput, o.ProcessIdentifier, o.DumpType, o.AttachDescriptor, o.OutputDescriptor);
        };
        EXPECT_EQ(fields(*options), fields(*c.Expected)) << c.Arguments[1];
    }
}

TEST(SupervisorOptionsTest, SupervisorArgumentsReadBack)
{
    const std::vector<std::string> arguments = SupervisorArguments("/opt/Tool", { true, 0x1826 }, 42, 5, 6);
    EXPECT_EQ(arguments, (std::vector<std::string> { "/opt/Tool", "-DisableDebugOutput", "-ParentProcessDebug", "42", "6182", "5", "6" }));
    const std::optional<SupervisorOptions> options = ParseSupervisorOptions(arguments);
    ASSERT_TRUE(options);
    EXPECT_TRUE(options->DisableDebugOutput);
    EXPECT_EQ(options->ProcessIdentifier, 42u);
    EXPECT_EQ(options->DumpType, 0x1826u);
    EXPECT_EQ(options->OutputDescriptor, 6);
}
