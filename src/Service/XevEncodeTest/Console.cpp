#include "Console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace
{
// One process-wide lock over each whole line and status (a plain mutex rather than flockfile, so
// that thread checkers see the ordering too); it guards g_StatusShown.
std::mutex g_Lock;
bool g_StatusShown = false;

void ClearStatusLocked() noexcept
{
    if (!g_StatusShown)
        return;
    std::fputs("\r\x1b[K", stderr);
    std::fflush(stderr);
    g_StatusShown = false;
}
} // namespace

void Console::Status(std::string_view text) noexcept
{
    std::lock_guard guard(g_Lock);
    if (text.empty())
    {
        ClearStatusLocked();
        return;
    }
    std::fputc('\r', stderr);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputs("\x1b[K", stderr);
    std::fflush(stderr);
    g_StatusShown = true;
}

void Console::WriteLine(std::string_view text) noexcept
{
    std::lock_guard guard(g_Lock);
    ClearStatusLocked();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string Console::Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0)
    {
        text.resize(static_cast<size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}
