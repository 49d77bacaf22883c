#include "CommandLine.h"

#include "diagnostics/Arguments.h"
#include "platform/com/Error.h"

#include <limits>

namespace CommandLine
{
namespace
{
enum class Action
{
    None,
    ConfigurationFile,
    WriteStreams,
    IterationCount,
    IterationCooldownTime,
    SoftwareEncoder,
    ResultsFile,
    Capacity,
};

struct Entry
{
    const char* Name;
    const char* ShortName; // null: none
    Action Effect;
};

// Compared in this order.
constexpr Entry Options[] = {
    { "DisableDebugOutput", nullptr, Action::None }, // the supervisor's business
    { "Debug", nullptr, Action::None },              // the supervisor's business
    { "ConfigurationFile", "cf", Action::ConfigurationFile },
    { "WriteStreams", "ws", Action::WriteStreams },
    { "IterationCount", "ic", Action::IterationCount },
    { "IterationCooldownTime", "ict", Action::IterationCooldownTime },
    { "SoftwareEncoder", "se", Action::SoftwareEncoder },
    { "ResultsFile", "rf", Action::ResultsFile },
    { "Capacity", "cap", Action::Capacity },
};

constexpr const char* SyntaxLines[] = {
    "Syntax: XevEncodeTest [options]",
    "",
    "Options: ",
    "  -DisableDebugOutput - Disable forward of debug output to console output in debug mode (should appear before -Debug)",
    "  -Debug[:<Normal|Full|<Value>>] - Enable self-debugging capability with specific minidump type",
    "  -ConfigurationFile <Path> - Specify configuration file path, default is XevEncodeTest.Configuration.json in the directory of the executable",
    "  -WriteStreams - Write produced streams into files on completion",
    "  -IterationCount <Count> - Run multiple iterations of encoding sessions",
    "  -IterationCooldownTime <Time> - Wait for cooldown number of seconds between iterations",
    "  -SoftwareEncoder - Use the software encoder even where a hardware encoder is available",
};

bool SameName(std::string_view name, const char* candidate)
{
    return candidate && Diagnostics::SameOptionName(name, candidate);
}

// The word after arguments[index], which the option consumes.
const std::string& TakeValue(const std::vector<std::string>& arguments, size_t& index, HRESULT missing, HRESULT isOption)
{
    if (index + 1 >= arguments.size())
        XEV_FAIL(missing);
    // A value that starts with '-' (a negative number, a path) is always taken for an option.
    if (ParseOption(arguments[index + 1]))
        XEV_FAIL(isOption);
    return arguments[++index];
}
} // namespace

std::optional<Option> ParseOption(std::string_view word)
{
    // One splitting rule, shared with the supervisor entries.
    const std::optional<Diagnostics::OptionWord> option = Diagnostics::SplitOption(word);
    if (!option)
        return std::nullopt;
    return Option { std::string(option->Name), std::string(option->Value) };
}

int32_t ReadDecimal(std::string_view word) noexcept
{
    const auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    size_t i = 0;
    while (i < word.size() && isSpace(word[i]))
        ++i;
    bool negative = false;
    if (i < word.size() && (word[i] == '+' || word[i] == '-'))
        negative = word[i++] == '-';
    // Accumulate beyond the 32-bit range only as far as needed to know it overflowed.
    constexpr int64_t ceiling = int64_t(1) << 32;
    int64_t magnitude = 0;
    for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i)
        magnitude = std::min(magnitude * 10 + (word[i] - '0'), ceiling);
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

bool IsSyntaxRequest(const std::vector<std::string>& arguments)
{
    for (const std::string& word : arguments)
    {
        const std::optional<Option> option = ParseOption(word);
        // "-h", "-help" and "--help" too: what people type first.
        if (option && (SameName(option->Name, "Syntax") || SameName(option->Name, "?") || SameName(option->Name, "h")
                || SameName(option->Name, "help") || SameName(option->Name, "-help")))
            return true;
    }
    return false;
}

void PrintSyntax(const Console::Writer& console)
{
    for (const char* line : SyntaxLines)
        console(line);
}

void ApplyOptions(Application::Configuration& configuration, const std::vector<std::string>& arguments, const Console::Writer& console)
{
    for (size_t index = 1; index < arguments.size(); ++index)
    {
        const std::optional<Option> option = ParseOption(arguments[index]);
        if (!option)
        {
            console(Console::Format("Warning, command line argument not recognized: %s", arguments[index].c_str()));
            continue;
        }
        const Entry* entry = nullptr;
        for (const Entry& candidate : Options)
        {
            if (SameName(option->Name, candidate.Name) || SameName(option->Name, candidate.ShortName))
            {
                entry = &candidate;
                break;
            }
        }
        if (!entry)
        {
            console(Console::Format("Warning, command line option argument not recognized: %s", option->Name.c_str()));
            continue;
        }
        // A value after ':' is ignored by every option here.
        switch (entry->Effect)
        {
        case Action::None:
            break;
        case Action::ConfigurationFile:
            configuration.ConfigurationPath = TakeValue(arguments, index, ConfigurationFileWithoutPath, ConfigurationFilePathIsOption);
            break;
        case Action::WriteStreams:
            configuration.WriteStreams = true;
            break;
        case Action::IterationCount:
            configuration.IterationCount = static_cast<UINT32>(
                ReadDecimal(TakeValue(arguments, index, IterationCountWithoutValue, IterationCountValueIsOption)));
            break;
        case Action::IterationCooldownTime:
            configuration.IterationCooldownTime =
                ReadDecimal(TakeValue(arguments, index, IterationCooldownTimeWithoutValue, IterationCooldownTimeValueIsOption));
            break;
        case Action::SoftwareEncoder:
            configuration.SoftwareEncoder = true;
            break;
        case Action::ResultsFile:
            configuration.ResultsFile = TakeValue(arguments, index, ResultsFileWithoutPath, ResultsFilePathIsOption);
            break;
        case Action::Capacity:
            configuration.Capacity = true;
            break;
        }
    }
}
} // namespace CommandLine
