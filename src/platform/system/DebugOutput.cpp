#include "DebugOutput.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <shared_mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
struct Channel
{
    std::shared_mutex Lock; // guards the three fields below; writers of lines take it shared
    int Fd = -1;
    DebugOutput::Callback Callback = nullptr;
    void* Context = nullptr;
    std::atomic<bool> Active { false }; // a descriptor or a callback is set (read without the lock)
};

Channel& TheChannel() noexcept
{
    static Channel channel;
    return channel;
}
} // namespace

void DebugOutput::SetFileDescriptor(int fd) noexcept
{
    Channel& c = TheChannel();
    std::unique_lock lock(c.Lock);
    c.Fd = fd;
    c.Active.store(c.Fd >= 0 || c.Callback, std::memory_order_release);
}

void DebugOutput::SetCallback(Callback callback, void* context) noexcept
{
    Channel& c = TheChannel();
    std::unique_lock lock(c.Lock);
    c.Callback = callback;
    c.Context = context;
    c.Active.store(c.Fd >= 0 || c.Callback, std::memory_order_release);
}

bool DebugOutput::IsActive() noexcept
{
    return TheChannel().Active.load(std::memory_order_acquire);
}

void DebugOutput::Write(const char* line, std::size_t length) noexcept
{
    Channel& c = TheChannel();
    std::shared_lock lock(c.Lock);
    if (c.Callback)
        c.Callback(c.Context, line, length);
    if (c.Fd >= 0)
    {
        // One write per line keeps lines whole on a pipe (lines are shorter than the pipe's atomic size
        // in practice); a short write to a file is completed.
        while (length > 0)
        {
            // A socket whose reader has gone fails the send instead of raising SIGPIPE.
            ssize_t n = ::send(c.Fd, line, length, MSG_NOSIGNAL);
            if (n < 0 && errno == ENOTSOCK)
                n = ::write(c.Fd, line, length);
            if (n < 0)
            {
                if (errno == EINTR) continue;
                return;
            }
            line += n;
            length -= static_cast<std::size_t>(n);
        }
    }
}
