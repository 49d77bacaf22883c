#include "Arguments.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace
{
// A plain decimal reading: leading blanks and a sign, digits up to the first other character.
long long ReadDecimal(const std::string& word) noexcept
{
    return std::strtoll(word.c_str(), nullptr, 10);
}
} // namespace

std::optional<Diagnostics::OptionWord> Diagnostics::SplitOption(std::string_view word) noexcept
{
    if (word.empty() || word.front() != '-')
        return std::nullopt;
    const std::string_view rest = word.substr(1);
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos)
        return OptionWord { rest, {} };
    return OptionWord { rest.substr(0, colon), rest.substr(colon + 1) };
}

bool Diagnostics::SameOptionName(std::string_view name, std::string_view candidate) noexcept
{
    return name.size() == candidate.size() && std::equal(name.begin(), name.end(), candidate.begin(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

uint32_t Diagnostics::ParseDumpType(std::string_view value) noexcept
{
    if (SameOptionName(value, "Normal"))
        return DumpTypeNormal;
    if (SameOptionName(value, "Full"))
        return DumpTypeFull;
    bool negative = false;
    if (!value.empty() && (value.front() == '-' || value.front() == '+'))
    {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    int base = 10;
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X'))
    {
        base = 16;
        value.remove_prefix(2);
    }
    uint32_t result = 0;
    size_t digits = 0;
    for (const char c : value)
    {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
            : (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                                                                          : -1;
        if (digit < 0)
            break;
        result = result * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
        ++digits;
    }
    if (digits == 0)
        return 0;
    return negative ? 0u - result : result;
}

std::optional<Diagnostics::WorkerOptions> Diagnostics::ParseWorkerOptions(const std::vector<std::string>& arguments)
{
    WorkerOptions options;
    for (size_t i = 1; i < arguments.size(); ++i)
    {
        const std::optional<OptionWord> option = SplitOption(arguments[i]);
        if (!option)
            continue;
        if (SameOptionName(option->Name, "DisableDebugOutput"))
            options.DisableDebugOutput = true;
        else if (SameOptionName(option->Name, "Debug"))
        {
            options.DumpType = ParseDumpType(option->Value);
            return options;
        }
    }
    return std::nullopt;
}

std::optional<Diagnostics::SupervisorOptions> Diagnostics::ParseSupervisorOptions(const std::vector<std::string>& arguments)
{
    SupervisorOptions options;
    for (size_t i = 1; i < arguments.size(); ++i)
    {
        const std::optional<OptionWord> option = SplitOption(arguments[i]);
        if (!option)
            continue;
        if (option->Name == "DisableDebugOutput")
            options.DisableDebugOutput = true;
        else if (option->Name == "ParentProcessDebug")
        {
            const auto number = [&](size_t at) { return at < arguments.size() ? ReadDecimal(arguments[at]) : 0; };
            options.ProcessIdentifier = static_cast<uint32_t>(number(i + 1));
            options.DumpType = static_cast<uint32_t>(number(i + 2));
            options.AttachDescriptor = static_cast<int>(number(i + 3));
            options.OutputDescriptor = static_cast<int>(number(i + 4));
            if (options.ProcessIdentifier == 0)
                return std::nullopt;
            return options;
        }
    }
    return std::nullopt;
}

std::vector<std::string> Diagnostics::SupervisorArguments(const std::string& executable, const WorkerOptions& options,
    uint32_t processIdentifier, int attachDescriptor, int outputDescriptor)
{
    std::vector<std::string> arguments { executable };
    if (options.DisableDebugOutput)
        arguments.push_back("-DisableDebugOutput");
    arguments.insert(arguments.end(), { "-ParentProcessDebug", std::to_string(processIdentifier), std::to_string(options.DumpType),
                                          std::to_string(attachDescriptor), std::to_string(outputDescriptor) });
    return arguments;
}
