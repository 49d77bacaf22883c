#pragma once
// Console output: whole lines on standard output.
//
// Every line is written and flushed in one locked step, so lines of the main thread and of the
// console-control thread never mix within a line. Functions that report to the console take a
// Writer so that tests can collect their lines; Console::WriteLine is the real one.

#include <functional>
#include <string>
#include <string_view>

namespace Console
{
using Writer = std::function<void(std::string_view line)>;

// Writes text followed by an end of line to standard output.
void WriteLine(std::string_view text) noexcept;

// The status line on standard error: shows text in place of the previous status (carriage return,
// the rest of the line erased); empty text clears it. WriteLine clears a shown status before its
// line, so the status never mixes with console lines. Callers show it only on a terminal.
void Status(std::string_view text) noexcept;

// printf-like formatting into a string (no length limit).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
} // namespace Console
