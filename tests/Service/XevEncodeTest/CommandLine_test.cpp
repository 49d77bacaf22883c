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

// The settings the options changed, as text (defaults left out): " cf=<path> ws ic=<n> ict=<n> se rf=<path> cap".
std::string Changed(const Configuration& c)
{
    std::string text = c.ConfigurationPath == DefaultPath ? "" : " cf=" + c.ConfigurationPath;
    text += std::string(c.WriteStreams ? " ws" : "") + (c.IterationCount == 1 ? "" : " ic=" + std::to_string(c.IterationCount));
    text += (c.IterationCooldownTime == 5 ? "" : " ict=" + std::to_string(c.IterationCooldownTime)) + (c.SoftwareEncoder ? " se" : "");
    return text + (c.ResultsFile.empty() ? "" : " rf=" + c.ResultsFile) + (c.Capacity ? " cap" : "");
}

TEST(OptionParser, AppliesOptionsInOrderAndWarnsAboutTheRest)
{
    const struct { std::vector<std::string> Words; std::string Changed; std::vector<std::string> Lines = {}; } cases[] = {
        { { "-cf", "a/../b.json" }, " cf=a/../b.json" }, // the next word unchanged
        { { "-cf", "" }, " cf=" },
        { { "-CONFIGURATIONFILE", "x.json", "-writestreams", "-iterationCOUNT", "3", "-IterationCooldownTime", "0", "-softwareencoder" },
            " cf=x.json ws ic=3 ict=0 se" },
        { { "-ws:1", "-ic:3", "7" }, " ws ic=7" }, // a colon value is ignored
        { { "-IterationCount", "2", "-ic", "4", "-ict", "9", "-ict", "1" }, " ic=4 ict=1" }, // the later option wins
        { { "-ic", "abc", "-ict", "12abc" }, " ic=0 ict=12" }, // counts read like wcstol
        { { "-ic", "99999999999", "-ict", "4294967296" }, " ic=2147483647 ict=2147483647" }, // clamped to 32 bits
        { { "-ic", " -1" }, " ic=4294967295" }, // a negative count wraps into unsigned
        { { "-se", "-rf", "r.json", "-CAP" }, " se rf=r.json cap" },
        { { "-Debug:Full", "-DisableDebugOutput" }, "" }, // the supervisor's options
        { { "foo", "/?", "-ws", "" }, " ws", { ArgumentWarning + "foo", ArgumentWarning + "/?", ArgumentWarning } },
        { { "-foo:bar", "-", "-?", "-Syntax", "-c" }, "",
            { OptionWarning + "foo", OptionWarning, OptionWarning + "?", OptionWarning + "Syntax", OptionWarning + "c" } },
    };
    for (const auto& c : cases)
    {
        const Outcome outcome = Apply(c.Words);
        ASSERT_FALSE(outcome.Failure) << std::hex << *outcome.Failure;
        EXPECT_EQ(Changed(outcome.Settings), c.Changed) << testing::PrintToString(c.Words);
        EXPECT_EQ(outcome.Lines, c.Lines) << testing::PrintToString(c.Words);
    }
}

TEST(OptionParser, MissingOrOptionLikeValuesFailWithTheirFixedCodes)
{
    const struct { std::vector<std::string> Words; HRESULT Expected; size_t WarningsBefore; } cases[] = {
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
}

// Anywhere after an option and with a value are seen end to end (Module_test); here the other words.
TEST(SyntaxRequest, AnyWordFromThePathOnAsksForTheSyntax)
{
    EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "-?" })); // the path itself is looked at too
    for (const char* word : { "-syntax:x", "-h", "-HELP", "--help" })
        EXPECT_TRUE(CommandLine::IsSyntaxRequest({ "tool", word })) << word;
    EXPECT_FALSE(CommandLine::IsSyntaxRequest({ "tool", "/?", "?", "-Syntaxes", "--?", "-hel", "---help" }));
    EXPECT_FALSE(CommandLine::IsSyntaxRequest({}));
}
} // namespace
