#include "Service/XevEncodeTest/Configuration.h"

#include "platform/com/Error.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
using Application::Configuration;

// A private folder under the system's temporary folder, removed with the fixture.
class ConfigurationFile : public testing::Test
{
protected:
    ConfigurationFile()
    {
        static std::atomic<int> counter { 0 };
        m_Folder = std::filesystem::temp_directory_path()
            / ("xev-configuration-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_Folder);
    }
    ~ConfigurationFile() override { std::filesystem::remove_all(m_Folder); }

    std::string Write(const std::string& text, const char* name = "XevEncodeTest.Configuration.json")
    {
        const std::string path = (m_Folder / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    struct Result
    {
        Configuration Settings { "/opt/xev/XevEncodeTest" };
        std::vector<std::string> Lines;
        std::optional<HRESULT> Failure;
    };

    Result Load(const std::string& text)
    {
        Result result;
        result.Settings.ConfigurationPath = Write(text);
        LoadInto(result);
        return result;
    }

    static void LoadInto(Result& result)
    {
        try
        {
            result.Settings.Load([&](std::string_view line) { result.Lines.emplace_back(line); });
        }
        catch (const HResultException& e)
        {
            result.Failure = e.Result();
        }
    }

    std::filesystem::path m_Folder;
};

TEST(ConfigurationDefaults, ComeFromTheExecutablePath)
{
    const Configuration plain("/opt/xev/XevEncodeTest");
    EXPECT_EQ(plain.Directory, "/opt/xev");
    EXPECT_EQ(plain.Name, "XevEncodeTest");
    EXPECT_EQ(plain.ConfigurationPath, "/opt/xev/XevEncodeTest.Configuration.json");
    EXPECT_FALSE(plain.ProcessAffinityMask);
    EXPECT_TRUE(plain.Tasks.empty());
    EXPECT_EQ(plain.Duration, 10);
    EXPECT_FALSE(plain.WriteStreams);
    EXPECT_EQ(plain.IterationCount, 1u);
    EXPECT_EQ(plain.IterationCooldownTime, 5);
    EXPECT_FALSE(plain.SoftwareEncoder);

    // The extension is replaced and the configuration path canonicalised; dots in folders stay.
    const Configuration dotted("/opt/x.y/bin/../Tool.bin");
    EXPECT_EQ(dotted.Name, "Tool");
    EXPECT_EQ(dotted.ConfigurationPath, "/opt/x.y/Tool.Configuration.json");
    const Configuration folderDot("/opt/x.y/tool");
    EXPECT_EQ(folderDot.ConfigurationPath, "/opt/x.y/tool.Configuration.json");

    // The running program: the test binary itself.
    const Configuration running;
    const std::filesystem::path self = Application::ExecutablePath();
    EXPECT_TRUE(self.is_absolute());
    EXPECT_EQ(running.Directory, self.parent_path().string());
    EXPECT_EQ(running.ConfigurationPath, (self.parent_path() / (self.stem().string() + ".Configuration.json")).string());
}

TEST_F(ConfigurationFile, MissingFileChangesNothing)
{
    for (const std::string& path : { (m_Folder / "absent.json").string(), Write("{}", "file") + "/below.json", std::string() })
    {
        Result result;
        result.Settings.ConfigurationPath = path;
        result.Settings.Duration = 3;
        const int64_t chat = Application::ChatIdentifier();
        LoadInto(result);
        EXPECT_FALSE(result.Failure) << path;
        EXPECT_TRUE(result.Lines.empty()) << path;
        EXPECT_EQ(result.Settings.Duration, 3) << path;
        EXPECT_EQ(Application::ChatIdentifier(), chat) << path;
    }
}

TEST_F(ConfigurationFile, EmptyObjectKeepsDefaultsAndSetsTheDefaultChat)
{
    const Result result = Load("{}");
    ASSERT_FALSE(result.Failure);
    EXPECT_TRUE(result.Settings.Tasks.empty());
    EXPECT_FALSE(result.Settings.ProcessAffinityMask);
    EXPECT_EQ(result.Settings.Duration, Application::DefaultDuration);
    EXPECT_EQ(Application::ChatIdentifier(), Application::DefaultChatIdentifier);
    EXPECT_LT(Application::DefaultChatIdentifier, 0);
}

TEST_F(ConfigurationFile, ReadsEveryKeyWithItsConversions)
{
    const Result result = Load(R"({
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
    const Application::Task& first = result.Settings.Tasks[0];
    EXPECT_EQ(first.SizeW, 1280u);
    EXPECT_EQ(first.SizeH, 720u);
    EXPECT_EQ(first.RateN, 30000u);
    EXPECT_EQ(first.RateD, 1001u);
    const Application::Task& second = result.Settings.Tasks[1];
    EXPECT_EQ(second.SizeH, 0xFFFFFFFFu); // negative numbers wrap into 32 bits
    EXPECT_EQ(second.SizeW, 1u);          // only the low 32 bits are kept
    EXPECT_EQ(second.RateN, 25u);
    EXPECT_EQ(result.Settings.ProcessAffinityMask, 15);
    EXPECT_EQ(result.Settings.Duration, 7);
    EXPECT_EQ(Application::ChatIdentifier(), -1001234567890);
    EXPECT_TRUE(result.Lines.empty());
}

TEST_F(ConfigurationFile, ByteOrderMarkIsSkipped)
{
    const Result result = Load("\xEF\xBB\xBF{\"Duration\": 3}");
    ASSERT_FALSE(result.Failure);
    EXPECT_EQ(result.Settings.Duration, 3);
}

TEST_F(ConfigurationFile, AffinityMaskConversions)
{
    const std::pair<const char*, std::optional<int64_t>> cases[] = {
        { "15", 15 },
        { "0xF", 15 },
        { "0Xff", 255 },
        { " 42 ", 42 },
        { "+7", 7 },
        { "-1", -1 },
        { "0xFFFFFFFFFFFFFFFF", -1 },
        { "0x8000000000000000", INT64_MIN },
        { "9223372036854775807", INT64_MAX },
        { "-9223372036854775808", INT64_MIN },
        { "9223372036854775808", std::nullopt },
        { "0x10000000000000000", std::nullopt },
        { "", std::nullopt },
        { "abc", std::nullopt },
        { "0x", std::nullopt },
        { "12abc", std::nullopt },
        { "0xFG", std::nullopt },
        { "1 2", std::nullopt },
    };
    for (const auto& [text, expected] : cases)
    {
        const Result result = Load(std::string(R"({"ProcessAffinityMask": ")") + text + "\"}");
        if (expected)
        {
            EXPECT_FALSE(result.Failure) << text;
            EXPECT_EQ(result.Settings.ProcessAffinityMask, expected) << text;
        }
        else
        {
            EXPECT_EQ(result.Failure, E_INVALIDARG) << text;
            EXPECT_FALSE(result.Settings.ProcessAffinityMask) << text;
            ASSERT_EQ(result.Lines.size(), 1u) << text;
            EXPECT_NE(result.Lines[0].find("\"ProcessAffinityMask\""), std::string::npos) << result.Lines[0];
        }
    }
}

struct FailureCase
{
    std::string Text;
    HRESULT Expected;
    const char* Detail; // what the console line says after the file name
};

TEST_F(ConfigurationFile, FailuresNameTheFileAndTheKey)
{
    const HRESULT invalid = Application::WEB_E_INVALID_JSON_STRING;
    const HRESULT missing = Application::WEB_E_JSON_VALUE_NOT_FOUND;
    const HRESULT wrongType = MakeHResult(0x8000000E);
    const FailureCase cases[] = {
        { R"({"ProcessAffinityMask": 15})", wrongType, R"(: key "ProcessAffinityMask" must be of type string, not number)" },
        { R"({"Tasks": [{"SizeW": 1, "SizeH": 1, "RateN": 1}]})", missing, R"(: key "Tasks[0].RateD" is missing)" },
        { R"({"Tasks": [{"SizeW": 1, "SizeH": 1, "RateN": 1, "RateD": "1"}]})", wrongType, R"(: key "Tasks[0].RateD" must be of type number, not string)" },
        { R"({"Tasks": {}})", wrongType, R"(: key "Tasks" must be of type array, not object)" },
        { R"({"Tasks": [[]]})", wrongType, R"(: key "Tasks[0]" must be of type object, not array)" },
        { R"({"Tg": {}})", missing, R"(: key "Tg.ChatIdentifier" is missing)" },
        { R"({"Tg": 5})", wrongType, R"(: key "Tg" must be of type object, not number)" },
        { R"({"Tg": {"ChatIdentifier": "5"}})", wrongType, R"(: key "Tg.ChatIdentifier" must be of type number, not string)" },
        { R"({"Duration": true})", wrongType, R"(: key "Duration" must be of type number, not boolean)" },
        { R"({"Duration": null})", wrongType, R"(: key "Duration" must be of type number, not null)" },
        { R"({"Duration": 1e19})", E_INVALIDARG, R"(: key "Duration" value 1e+19 is outside the 64-bit integer range)" },
        { R"({"Duration": 9223372036854775808})", E_INVALIDARG, R"(: key "Duration" value 9223372036854775808 is outside the 64-bit integer range)" },
        { "", invalid, ": invalid JSON at byte offset 0 (" },
        { "{x", invalid, ": invalid JSON at byte offset 1 (" },
        { "{\"Duration\": 1,}", invalid, ": invalid JSON at byte offset 15 (" },
        { "{\"Tasks\": [", invalid, ": invalid JSON at byte offset 11 (" },
        { "{\"Duration\": 1e400}", invalid, ": invalid JSON at byte offset 17 (" },
        { "{} x", invalid, ": invalid JSON at byte offset 3 (" },
        { "\xEF\xBB\xBF{x", invalid, ": invalid JSON at byte offset 4 (" },
        { "{\"a\": \"\xFF\"}", invalid, ": invalid JSON at byte offset 7 (" },
        { "[1]", invalid, ": invalid JSON at byte offset 0 (the top level is not an object)" },
        { std::string("\xFF\xFE{\0}\0", 6), invalid, ": invalid JSON at byte offset 0 (" }, // UTF-16 is not read
    };
    for (const FailureCase& c : cases)
    {
        const Result result = Load(c.Text);
        ASSERT_TRUE(result.Failure) << c.Text;
        EXPECT_EQ(*result.Failure, c.Expected) << c.Text;
        ASSERT_EQ(result.Lines.size(), 1u) << c.Text;
        const std::string prefix = "Configuration file \"" + result.Settings.ConfigurationPath + "\"" + c.Detail;
        EXPECT_EQ(result.Lines[0].substr(0, prefix.size()), prefix) << c.Text;
    }
}

TEST_F(ConfigurationFile, KeysBeforeAFailureStayApplied)
{
    const Result result = Load(R"({
        "ProcessAffinityMask": "3",
        "Tasks": [ { "SizeW": 2, "SizeH": 2, "RateN": 2, "RateD": 2 }, { "SizeW": 3 } ],
        "Duration": 20
    })");
    EXPECT_EQ(result.Failure, Application::WEB_E_JSON_VALUE_NOT_FOUND);
    EXPECT_EQ(result.Settings.ProcessAffinityMask, 3);
    EXPECT_EQ(result.Settings.Tasks.size(), 1u);
    EXPECT_EQ(result.Settings.Duration, Application::DefaultDuration); // read after the tasks
}

TEST_F(ConfigurationFile, UnreadablePathFailsWithItsHResult)
{
    Result result;
    result.Settings.ConfigurationPath = m_Folder.string(); // a folder exists but is no file
    LoadInto(result);
    EXPECT_EQ(result.Failure, E_ACCESSDENIED);
    ASSERT_EQ(result.Lines.size(), 1u);
    EXPECT_EQ(result.Lines[0].rfind("Configuration file \"" + m_Folder.string() + "\" cannot be read: ", 0), 0u) << result.Lines[0];

    Result tooLong;
    tooLong.Settings.ConfigurationPath = "/" + std::string(5000, 'a');
    LoadInto(tooLong);
    EXPECT_EQ(tooLong.Failure, HResultFromWin32(206));
    EXPECT_EQ(tooLong.Lines.size(), 1u);
}
} // namespace
