#include "Console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

void Console::WriteLine(std::string_view text) noexcept
{
    // One process-wide lock over the whole line (a plain mutex rather than flockfile, so that
    // thread checkers see the ordering too).
    static std::mutex lock;
    std::lock_guard guard(lock);
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
