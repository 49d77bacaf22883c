#include "diagnostics/Arguments.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace Diagnostics;

TEST(WorkerOptionsTest, DebugValueGivesTheDumpType)
{
    const std::pair<const char*, uint32_t> cases[] = {
        { "-Debug:", 0 }, { "-Debug:Normal", 0 }, { "-debug:full", 0x1826 }, { "-DEBUG:0X1f", 0x1f }, { "-Debug:18", 18 },
        { "-Debug:12abc", 12 }, { "-Debug:abc", 0 }, { "-Debug:0x", 0 },
    };
    for (const auto& [word, dumpType] : cases)
    {
        const std::optional<WorkerOptions> options = ParseWorkerOptions({ "tool", "-ws", word });
        ASSERT_TRUE(options) << word;
        EXPECT_EQ(options->DumpType, dumpType) << word;
    }
    EXPECT_FALSE(ParseWorkerOptions({ "tool", "-DisableDebugOutput", "Debug", "-Debugger" }));
}

// The arguments the tool gives its supervisor are read back by the real runs (Supervisor_test);
// here the odd forms.
TEST(SupervisorOptionsTest, ReadsTheNumbersAfterParentProcessDebug)
{
    using Fields = std::tuple<bool, uint32_t, uint32_t, int, int>; // DisableDebugOutput, process, dump type, descriptors
    const std::pair<std::vector<std::string>, std::optional<Fields>> cases[] = {
        { { "tool", "-DisableDebugOutput", "-ParentProcessDebug:x", "12" }, Fields { true, 12, 0, 0, 0 } },
        { { "tool", "-disabledebugoutput", "-ParentProcessDebug", " 12z", "-1" }, Fields { false, 12, 0xFFFFFFFF, 0, 0 } },
        { { "tool", "-ParentProcessDebug", "12", "-DisableDebugOutput" }, Fields { false, 12, 0, 0, 0 } },
        { { "tool", "-ParentProcessDebug" }, std::nullopt },
        { { "tool", "-ParentProcessDebug", "0", "1" }, std::nullopt },
        { { "tool", "-parentprocessdebug", "12" }, std::nullopt },
    };
    for (const auto& [arguments, expected] : cases)
    {
        const std::optional<SupervisorOptions> o = ParseSupervisorOptions(arguments);
        EXPECT_EQ(o ? std::optional(Fields { o->DisableDebugOutput, o->ProcessIdentifier, o->DumpType, o->AttachDescriptor, o->OutputDescriptor }) : std::nullopt,
            expected) << testing::PrintToString(arguments);
    }
}
