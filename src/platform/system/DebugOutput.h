#pragma once
// The process-wide debug-output channel: one whole line per Write.
//
// By default lines go nowhere. A file descriptor (the socket the supervisor reads, a pipe or a file) or a
// callback (tests capture lines this way) can be set at any time; Write is safe from any thread.

#include <cstddef>

namespace DebugOutput
{
using Callback = void (*)(void* context, const char* line, std::size_t length);

// -1 sends lines nowhere. The descriptor stays owned by the caller.
void SetFileDescriptor(int fd) noexcept;
// A null callback removes it. Once Set returns, the previous callback is no longer running.
void SetCallback(Callback callback, void* context) noexcept;
// False while lines go nowhere: callers may then skip formatting them.
bool IsActive() noexcept;
void Write(const char* line, std::size_t length) noexcept;
} // namespace DebugOutput
