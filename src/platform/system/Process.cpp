#include "Process.h"

#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>

namespace Process
{
unsigned ProcessorCount() noexcept
{
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return count > 0 ? static_cast<unsigned>(count) : 1u;
}

std::optional<AffinityMasks> GetAffinityMasks() noexcept
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) != 0)
        return std::nullopt;
    AffinityMasks masks;
    for (unsigned i = 0; i < 64 && i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &set))
            masks.Process |= uint64_t(1) << i;
    const unsigned online = ProcessorCount();
    masks.System = online >= 64 ? ~uint64_t(0) : (uint64_t(1) << online) - 1;
    return masks;
}

bool SetAffinityMask(uint64_t mask) noexcept
{
    cpu_set_t set;
    CPU_ZERO(&set);
    for (unsigned i = 0; i < 64; ++i)
        if (mask & (uint64_t(1) << i))
            CPU_SET(i, &set);
    // sched_setaffinity binds one thread: every thread of the process is bound, as the process's
    // later threads inherit the calling thread's mask.
    bool all = true;
    if (DIR* tasks = opendir("/proc/self/task"))
    {
        while (const dirent* entry = readdir(tasks))
            if (entry->d_name[0] != '.')
                all = sched_setaffinity(static_cast<pid_t>(std::atoi(entry->d_name)), sizeof(set), &set) == 0 && all;
        closedir(tasks);
    }
    return sched_setaffinity(0, sizeof(set), &set) == 0 && all;
}

Times GetTimes() noexcept
{
    rusage usage {};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return {};
    const auto ticks = [](const timeval& time) { return int64_t(time.tv_sec) * 10'000'000 + int64_t(time.tv_usec) * 10; };
    return { ticks(usage.ru_stime), ticks(usage.ru_utime) };
}

bool StandardErrorIsTerminal() noexcept
{
    return isatty(STDERR_FILENO) == 1;
}
} // namespace Process
