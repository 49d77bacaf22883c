#include "Service/XevEncodeTest/Configuration.h"

#include "platform/com/Error.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace
{
using Application::Configuration;

struct Result
{
    Configuration Settings { "/opt/xev/XevEncodeTest" };
    std::vector<std::string> Lines;
    std::optional<HRESULT> Failure;
};

// Loads the configuration at path (with Duration set to 3 beforehand).
Result LoadPath(const std::string& path)
{
    Result result;
    result.Settings.ConfigurationPath = path;
    result.Settings.Duration = 3;
    if (const HRESULT hr = Error::Guard([&] { result.Settings.Load([&](std::string_view line) { result.Lines.emplace_back(line); }); }); FAILED(hr))
        result.Failure = hr;
    return result;
}

class ConfigurationFile : public testing::Test
{
protected:
    Result Load(const std::string& text) { return LoadPath(m_Folder.Write("XevEncodeTest.Configuration.json", text)); }
    TestSupport::TempFolder m_Folder;
};

TEST(ConfigurationDefaults, ComeFromTheExecutablePath)
{
    // The plain case is the tool's own runs (Run_test: the configuration beside the executable).
    // The extension is replaced and the configuration path canonicalised; dots in folders stay.
    const Configuration dotted("/opt/x.y/bin/../Tool.bin");
    EXPECT_EQ(dotted.Name, "Tool");
    EXPECT_EQ(dotted.ConfigurationPath, "/opt/x.y/Tool.Configuration.json");
    EXPECT_EQ(Configuration("/opt/x.y/tool").ConfigurationPath, "/opt/x.y/tool.Configuration.json");
}

TEST_F(ConfigurationFile, MissingFileChangesNothing)
{
    for (const std::string& path : { m_Folder.Write("file", "{}") + "/below.json", std::string() }) // an absent file: Module_test
    {
        const int64_t chat = Application::ChatIdentifier();
        const Result result = LoadPath(path);
        EXPECT_FALSE(result.Failure) << path;
        EXPECT_TRUE(result.Lines.empty()) << path;
        EXPECT_EQ(result.Settings.Duration, 3) << path;
        EXPECT_EQ(Application::ChatIdentifier(), chat) << path;
    }
}

TEST_F(ConfigurationFile, ReadsEveryKeyWithItsConversionsAndDefaultsTheRest)
{
    const Result result = Load(R"(
    {
        "Unknown": [1, 2],
        "Duration": 7.9,
        "Tasks": [
            { "SizeW": 1280.9, "SizeH": 720, "RateN": 30000, "RateD": 1001, "Extra": "x" },
            { "RateD": 1, "RateN": 25, "SizeH": -1, "SizeW": 4294967297 }
        ],
        "Tg": { "ChatIdentifier": -1001234567890.7 },
        "ProcessAffinityMask": "0xF"
    })");
    ASSERT_FALSE(result.Failure) << std::hex << *result.Failure;
    ASSERT_EQ(result.Settings.Tasks.size(), 2u);
    const auto fields = [](const Application::Task& t) { return std::tuple(t.SizeW, t.SizeH, t.RateN, t.RateD); };
    EXPECT_EQ(fields(result.Settings.Tasks[0]), std::tuple(1280u, 720u, 30000u, 1001u));
    // Negative numbers wrap into 32 bits; only the low 32 bits are kept.
    EXPECT_EQ(fields(result.Settings.Tasks[1]), std::tuple(1u, 0xFFFFFFFFu, 25u, 1u));
    EXPECT_EQ(result.Settings.ProcessAffinityMask, 15);
    EXPECT_EQ(result.Settings.Duration, 7);
    EXPECT_EQ(Application::ChatIdentifier(), -1001234567890);
    EXPECT_TRUE(result.Lines.empty());

    // A file without the keys (after a byte order mark) keeps the duration and sets the default chat.
    const Result empty = Load("\xEF\xBB\xBF{}");
    ASSERT_FALSE(empty.Failure) << std::hex << *empty.Failure;
    EXPECT_TRUE(empty.Settings.Tasks.empty());
    EXPECT_EQ(empty.Settings.Duration, 3);
    EXPECT_EQ(Application::ChatIdentifier(), Application::DefaultChatIdentifier);
}

TEST_F(ConfigurationFile, AffinityMaskConversions)
{
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        { "15", 15 }, { " 42 ", 42 }, { "0Xff", 255 }, { "+7", 7 }, { "-1", -1 }, { "0xFFFFFFFFFFFFFFFF", -1 }, { "-9223372036854775808", INT64_MIN },
        { "9223372036854775808", std::nullopt }, { "0x10000000000000000", std::nullopt }, { "", std::nullopt }, { "0x", std::nullopt },
        { "12abc", std::nullopt }, { "1 2", std::nullopt },
    };
    for (const auto& [text, expected] : cases)
    {
        const Result result = Load(std::string(R"({"ProcessAffinityMask": ")") + text + "\"}");
        EXPECT_EQ(result.Settings.ProcessAffinityMask, expected) << text;
        EXPECT_EQ(result.Failure, expected ? std::nullopt : std::optional(E_INVALIDARG)) << text;
        EXPECT_EQ(result.Lines.size() == 1 && result.Lines[0].find("\"ProcessAffinityMask\"") != std::string::npos, !expected) << text;
        EXPECT_EQ(result.Lines.empty(), expected.has_value()) << text;
    }
}

TEST_F(ConfigurationFile, FailuresNameTheFileAndTheKey)
{
    const HRESULT invalid = Application::WEB_E_INVALID_JSON_STRING;
    const HRESULT missing = Application::WEB_E_JSON_VALUE_NOT_FOUND;
    const HRESULT wrongType = MakeHResult(0x8000000E);
    // Detail: what the console line says after the file name
    const struct { std::string Text; HRESULT Expected; const char* Detail; } cases[] = {
        { R"({"Tasks": [{"SizeW": 1, "SizeH": 1, "RateN": 1}]})", missing, R"(: key "Tasks[0].RateD" is missing)" },
        { R"({"Tasks": [[]]})", wrongType, R"(: key "Tasks[0]" must be of type object, not array)" },
        { R"({"Tg": {}})", missing, R"(: key "Tg.ChatIdentifier" is missing)" },
        { R"({"Duration": null})", wrongType, R"(: key "Duration" must be of type number, not null)" },
        { R"({"Duration": 1e19})", E_INVALIDARG, R"(: key "Duration" value 1e+19 is outside the 64-bit integer range)" },
        { "{\"Duration\": 1e400}", invalid, ": invalid JSON at byte offset 17 (" },
        { "\xEF\xBB\xBF{x", invalid, ": invalid JSON at byte offset 4 (" },
        { "{\"a\": \"\xFF\"}", invalid, ": invalid JSON at byte offset 7 (" },
        { "[1]", invalid, ": invalid JSON at byte offset 0 (the top level is not an object)" },
        { std::string("\xFF\xFE{\0}\0", 6), invalid, ": invalid JSON at byte offset 0 (" }, // UTF-16 is not read
    };
    for (const auto& c : cases)
    {
        const Result result = Load(c.Text);
        EXPECT_EQ(result.Failure, c.Expected) << c.Text;
        ASSERT_EQ(result.Lines.size(), 1u) << c.Text;
        const std::string prefix = "Configuration file \"" + result.Settings.ConfigurationPath + "\"" + c.Detail;
        EXPECT_EQ(result.Lines[0].substr(0, prefix.size()), prefix) << c.Text;
    }
}

TEST_F(ConfigurationFile, UnreadablePathFailsWithItsHResult)
{
    const Result folder = LoadPath(m_Folder.Path()); // exists but is no file
    EXPECT_EQ(folder.Failure, E_ACCESSDENIED);
    ASSERT_EQ(folder.Lines.size(), 1u);
    EXPECT_EQ(folder.Lines[0].rfind("Configuration file \"" + m_Folder.Path() + "\" cannot be read: ", 0), 0u) << folder.Lines[0];
    const Result tooLong = LoadPath("/" + std::string(5000, 'a'));
    EXPECT_EQ(tooLong.Failure, HResultFromWin32(206));
    EXPECT_EQ(tooLong.Lines.size(), 1u);
}
} // namespace
