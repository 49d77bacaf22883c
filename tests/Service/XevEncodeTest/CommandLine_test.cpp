#include "Service/XevEncodeTest/CommandLine.h"

#include "platform/com/Error.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace
{
using Application::Configuration;

const std::string DefaultPath = "/opt/xev/XevEncodeTest.Configuration.json";
const std::string ArgumentWarning = "Warning, command line argument not recognized: ";
const std::string OptionWarning = "Warning, command line option argument not recognized: ";

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
    std::string ConfigurationPath = DefaultPath;
    bool WriteStreams = false;
    UINT32 IterationCount = 1;
    int64_t IterationCooldownTime = 5;
    bool SoftwareEncoder = false;
    std::vector<std::string> Lines = {};
    std::string ResultsFile = {};
    bool Capacity = false;
};

TEST(OptionParser, AppliesOptionsInOrderAndWarnsAboutTheRest)
{
    const ParserCase cases[] = {
        { "NoArguments", {} },
        { "ConfigurationFileTakesTheNextWordUnchanged", { "-cf", "a/../b.json" }, "a/../b.json" },
        { "EmptyPathReplacesTheDefault", { "-cf", "" }, "" },
        { "LongNamesInAnyCase", { "-CONFIGURATIONFILE", "x.json", "-writestreams", "-iterationCOUNT", "3", "-IterationCooldownTime", "0", "-softwareencoder" },
            "x.json", true, 3, 0, true },
        { "ColonValueIgnored", { "-ws:1", "-ic:3", "7" }, DefaultPath, true, 7 },
        { "LaterOptionWins", { "-IterationCount", "2", "-ic", "4", "-ict", "9", "-ict", "1" }, DefaultPath, false, 4, 1 },
        { "CountsReadLikeWcstol", { "-ic", "abc", "-ict", "12abc" }, DefaultPath, false, 0, 12 },
        { "CountsClampToThirtyTwoBits", { "-ic", "99999999999", "-ict", "4294967296" }, DefaultPath, false, 0x7FFFFFFF, 0x7FFFFFFF },
        { "NegativeCountWrapsIntoUnsigned", { "-ic", " -1" }, DefaultPath, false, 0xFFFFFFFFu },
        { "ShortNames", { "-se", "-rf", "r.json", "-CAP" }, DefaultPath, false, 1, 5, true, {}, "r.json", true },
        { "SupervisorOptionsDoNothing", { "-Debug:Full", "-DisableDebugOutput" } },
        { "StrayWordsAreWarned", { "foo", "/?", "-ws", "" }, DefaultPath, true, 1, 5, false,
            { ArgumentWarning + "foo", ArgumentWarning + "/?", ArgumentWarning } },
        { "UnknownOptionsWarnWithTheirName", { "-foo:bar", "-", "-?", "-Syntax", "-c" }, DefaultPath, false, 1, 5, false,
            { OptionWarning + "foo", OptionWarning, OptionWarning + "?", OptionWarning + "Syntax", OptionWarning + "c" } },
    };
    for (const ParserCase& c : cases)
    {
        SCOPED_TRACE(c.Title);
        const Outcome outcome = Apply(c.Words);
        ASSERT_FALSE(outcome.Failure) << std::hex << *outcome.Failure;
        EXPECT_EQ(outcome.Settings.ConfigurationPath, c.ConfigurationPath);
        EXPECT_EQ(outcome.Settings.WriteStreams, c.WriteStreams);
        EXPECT_EQ(outcome.Settings.IterationCount, c.IterationCount);
        EXPECT_EQ(outcome.Settings.IterationCooldownTime, c.IterationCooldownTime);
        EXPECT_EQ(outcome.Settings.SoftwareEncoder, c.SoftwareEncoder);
        EXPECT_EQ(outcome.Settings.ResultsFile, c.ResultsFile);
        EXPECT_EQ(outcome.Settings.Capacity, c.Capacity);
        EXPECT_EQ(outcome.Lines, c.Lines);
    }
}

TEST(OptionParser, MissingOrOptionLikeValuesFailWithTheirFixedCodes)
{
    const struct
    {
        std::vector<std::string> Words;
        HRESULT Expected;
        size_t WarningsBefore;
    } cases[] = {
        { { "-cf" }, MakeHResult(0x80FF02D5), 0 },
        { { "-cf", "-" }, MakeHResult(0x80FF02D6), 0 },
        { { "foo", "-ic" }, MakeHResult(0x80FF02E2), 1 },
        { { "-ic", "-1" }, MakeHResult(0x80FF02E3), 0 },
        { { "-x", "-IterationCooldownTime", "-5" }, MakeHResult(0x80FF02EB), 1 },
        { { "-ResultsFile", "-cap" }, MakeHResult(0x80FF0302), 0 },
    };
    for (const auto& c : cases)
    {
        const Outcome outcome = Apply(c.Words);
        EXPECT_EQ(outcome.Failure, c.Expected) << c.Words[0];
        EXPECT_EQ(outcome.Lines.size(), c.WarningsBefore) << c.Words[0];
    }
    // Options before the failure stay applied.
    const Outcome outcome = Apply({ "-ws", "-ic", "6", "-cf" });
    EXPECT_EQ(outcome.Failure, CommandLine::ConfigurationFileWithoutPath);
    EXPECT_TRUE(outcome.Settings.WriteStreams);
    EXPECT_EQ(outcome.Settings.IterationCount, 6u);
}

TEST(SyntaxRequest, AnyWordFromThePathOnAsksForTheSyntax)
{
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "tool", "-?" }));
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "tool", "-cf", "-SYNTAX" }));
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "tool", "-syntax:x" }));
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "-?" })); // the path itself is looked at too
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "tool", "-h" }) && CommandLine::IsSyntaxRequest({ "tool", "-HELP" })
        && CommandLine::IsSyntaxRequest({ "tool", "--help" }));
    EXPECT_FALSE(CommandLine::IsSyntaxRequest({ "tool", "/?", "?", "-Syntaxes", "--?", "-hel", "---help" }));
    EXPECT_FALSE(CommandLine::IsSyntaxRequest({}));
}
} // namespace
