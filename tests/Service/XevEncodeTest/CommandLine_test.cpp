#include "Service/XevEncodeTest/CommandLine.h"

#include "platform/com/Error.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace
{
using Application::Configuration;

struct Outcome
{
    Configuration Settings { "/opt/xev/XevEncodeTest" };
    std::vector<std::string> Lines;
    std::optional<HRESULT> Failure;
};

Outcome Apply(std::vector<std::string> words)
{
    Outcome outcome;
    words.insert(words.begin(), "/opt/xev/XevEncodeTest");
    try
    {
        CommandLine::ApplyOptions(outcome.Settings, words, [&](std::string_view line) { outcome.Lines.emplace_back(line); });
    }
    catch (const HResultException& e)
    {
        outcome.Failure = e.Result();
    }
    return outcome;
}

struct ParserCase
{
    const char* Title;
    std::vector<std::string> Words;
    std::string ConfigurationPath; // empty: the default
    bool WriteStreams = false;
    UINT32 IterationCount = 1;
    int64_t IterationCooldownTime = 5;
    bool SoftwareEncoder = false;
    std::vector<std::string> Lines = {};
};

void PrintTo(const ParserCase& c, std::ostream* os)
{
    *os << c.Title;
}

class OptionParser : public testing::TestWithParam<ParserCase>
{
};

TEST_P(OptionParser, AppliesOptionsInOrderAndWarnsAboutTheRest)
{
    const ParserCase& c = GetParam();
    const Outcome outcome = Apply(c.Words);
    ASSERT_FALSE(outcome.Failure) << std::hex << *outcome.Failure;
    EXPECT_EQ(outcome.Settings.ConfigurationPath, c.ConfigurationPath.empty() ? "/opt/xev/XevEncodeTest.Configuration.json" : c.ConfigurationPath);
    EXPECT_EQ(outcome.Settings.WriteStreams, c.WriteStreams);
    EXPECT_EQ(outcome.Settings.IterationCount, c.IterationCount);
    EXPECT_EQ(outcome.Settings.IterationCooldownTime, c.IterationCooldownTime);
    EXPECT_EQ(outcome.Settings.SoftwareEncoder, c.SoftwareEncoder);
    EXPECT_EQ(outcome.Lines, c.Lines);
}

const char* const ArgumentWarning = "Warning, command line argument not recognized: ";
const char* const OptionWarning = "Warning, command line option argument not recognized: ";

INSTANTIATE_TEST_SUITE_P(Table, OptionParser,
    testing::Values(
        ParserCase { "NoArguments", {} },
        ParserCase { "ConfigurationFileTakesTheNextWordUnchanged", { "-cf", "a/../b.json" }, "a/../b.json" },
        ParserCase { "LongNamesInAnyCase", { "-CONFIGURATIONFILE", "x.json", "-writestreams", "-iterationCOUNT", "3", "-IterationCooldownTime", "0", "-softwareencoder" },
            "x.json", true, 3, 0, true },
        ParserCase { "ColonValueIgnored", { "-ws:1", "-ic:3", "7" }, "", true, 7 },
        ParserCase { "LaterOptionWins", { "-IterationCount", "2", "-ic", "4", "-ict", "9", "-ict", "1" }, "", false, 4, 1 },
        ParserCase { "CountsReadLikeWcstol", { "-ic", "abc", "-ict", "12abc" }, "", false, 0, 12 },
        ParserCase { "CountWithBlanksAndSign", { "-ic", "  +8", "-ict", " -3" }, "", false, 8, -3 },
        ParserCase { "CountsClampToThirtyTwoBits", { "-ic", "99999999999", "-ict", "4294967296" }, "", false, 0x7FFFFFFF, 0x7FFFFFFF },
        ParserCase { "NegativeCountWrapsIntoUnsigned", { "-ic", " -1" }, "", false, 0xFFFFFFFFu },
        ParserCase { "ShortSoftwareEncoder", { "-se" }, "", false, 1, 5, true },
        ParserCase { "SupervisorOptionsDoNothing", { "-Debug:Full", "-DisableDebugOutput" } },
        ParserCase { "StrayWordsAreWarned", { "foo", "/?", "-ws" }, "", true, 1, 5, false,
            { std::string(ArgumentWarning) + "foo", std::string(ArgumentWarning) + "/?" } },
        ParserCase { "UnknownOptionsWarnWithTheirName", { "-foo:bar", "-", "-?", "-Syntax", "-c" }, "", false, 1, 5, false,
            { std::string(OptionWarning) + "foo", OptionWarning, std::string(OptionWarning) + "?", std::string(OptionWarning) + "Syntax",
                std::string(OptionWarning) + "c" } },
        ParserCase { "EmptyWordIsNotAnOption", { "" }, "", false, 1, 5, false, { ArgumentWarning } }),
    [](const testing::TestParamInfo<ParserCase>& info) { return info.param.Title; });

TEST(OptionParser, EmptyPathReplacesTheDefault)
{
    const Outcome outcome = Apply({ "-cf", "" });
    ASSERT_FALSE(outcome.Failure);
    EXPECT_EQ(outcome.Settings.ConfigurationPath, "");
}

struct FailureCase
{
    std::vector<std::string> Words;
    HRESULT Expected;
    size_t WarningsBefore;
};

TEST(OptionParser, MissingOrOptionLikeValuesFailWithTheirFixedCodes)
{
    const FailureCase cases[] = {
        { { "-cf" }, MakeHResult(0x80FF02D5), 0 },
        { { "-ConfigurationFile", "-ws" }, MakeHResult(0x80FF02D6), 0 },
        { { "-cf", "-" }, MakeHResult(0x80FF02D6), 0 },
        { { "foo", "-ic" }, MakeHResult(0x80FF02E2), 1 },
        { { "-ic", "-1" }, MakeHResult(0x80FF02E3), 0 },
        { { "-ict" }, MakeHResult(0x80FF02EA), 0 },
        { { "-x", "-IterationCooldownTime", "-5" }, MakeHResult(0x80FF02EB), 1 },
    };
    for (const FailureCase& c : cases)
    {
        const Outcome outcome = Apply(c.Words);
        ASSERT_TRUE(outcome.Failure) << c.Words[0];
        EXPECT_EQ(*outcome.Failure, c.Expected) << c.Words[0];
        EXPECT_EQ(outcome.Lines.size(), c.WarningsBefore) << c.Words[0];
    }
}

TEST(OptionParser, OptionsBeforeAFailureStayApplied)
{
    const Outcome outcome = Apply({ "-ws", "-ic", "6", "-cf" });
    EXPECT_EQ(outcome.Failure, CommandLine::ConfigurationFileWithoutPath);
    EXPECT_TRUE(outcome.Settings.WriteStreams);
    EXPECT_EQ(outcome.Settings.IterationCount, 6u);
}

TEST(OptionWord, SplitsNameAndValueAtTheFirstColon)
{
    EXPECT_FALSE(CommandLine::ParseOption(""));
    EXPECT_FALSE(CommandLine::ParseOption("word"));
    EXPECT_FALSE(CommandLine::ParseOption("/?"));
    const auto plain = CommandLine::ParseOption("-Debug");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->Name, "Debug");
    EXPECT_EQ(plain->Value, "");
    const auto valued = CommandLine::ParseOption("-Debug:a:b");
    ASSERT_TRUE(valued);
    EXPECT_EQ(valued->Name, "Debug");
    EXPECT_EQ(valued->Value, "a:b");
    const auto dash = CommandLine::ParseOption("-");
    ASSERT_TRUE(dash);
    EXPECT_EQ(dash->Name, "");
    const auto colon = CommandLine::ParseOption("-:x");
    ASSERT_TRUE(colon);
    EXPECT_EQ(colon->Name, "");
    EXPECT_EQ(colon->Value, "x");
}

TEST(SyntaxRequest, AnyWordFromThePathOnAsksForTheSyntax)
{
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "tool", "-?" }));
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "tool", "-cf", "-SYNTAX" }));
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "tool", "-syntax:x" }));
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "-?" })); // the path itself is looked at too
    EXPECT_FALSE(CommandLine::IsSyntaxRequest({ "tool", "/?", "?", "-Syntaxes", "--?" }));
    EXPECT_FALSE(CommandLine::IsSyntaxRequest({}));
}
} // namespace
