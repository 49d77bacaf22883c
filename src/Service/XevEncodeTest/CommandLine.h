#pragma once
// The command line: option words, the syntax text and the option parser.
//
// A word is an option when it is not empty and starts with '-'. Its name is the rest of the
// word up to the first ':' and its value what follows that ':' (empty without one); "-" alone
// is an option with an empty name. Option names compare without regard to case.

#include "Configuration.h"
#include "Console.h"

#include "platform/com/Types.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace CommandLine
{
// Failures of the option parser. Scripts rely on these exact values.
inline constexpr HRESULT ConfigurationFileWithoutPath = MakeHResult(0x80FF02D5);
inline constexpr HRESULT ConfigurationFilePathIsOption = MakeHResult(0x80FF02D6);
inline constexpr HRESULT IterationCountWithoutValue = MakeHResult(0x80FF02E2);
inline constexpr HRESULT IterationCountValueIsOption = MakeHResult(0x80FF02E3);
inline constexpr HRESULT IterationCooldownTimeWithoutValue = MakeHResult(0x80FF02EA);
inline constexpr HRESULT IterationCooldownTimeValueIsOption = MakeHResult(0x80FF02EB);
inline constexpr HRESULT ResultsFileWithoutPath = MakeHResult(0x80FF0301);
inline constexpr HRESULT ResultsFilePathIsOption = MakeHResult(0x80FF0302);

struct Option
{
    std::string Name;
    std::string Value;
};

// The option a word stands for; nothing when the word is not an option.
std::optional<Option> ParseOption(std::string_view word);

// Reads a count the way wcstol does with base 10 and a 32-bit long: leading white space and a
// sign allowed, reading stops at the first non-digit, no digits give 0, overflow clamps.
int32_t ReadDecimal(std::string_view word) noexcept;

// True when any word, the executable path included, is the option "Syntax", "?", "h", "help" or
// "-help" (any case).
bool IsSyntaxRequest(const std::vector<std::string>& arguments);

void PrintSyntax(const Console::Writer& console = Console::WriteLine);

// Applies the options after the executable path, in order (a later option of the same name
// wins). Words and options it does not know are warned about; an option whose value word is
// missing or is itself an option throws that option's HRESULT.
void ApplyOptions(Application::Configuration& configuration, const std::vector<std::string>& arguments,
    const Console::Writer& console = Console::WriteLine);
} // namespace CommandLine
