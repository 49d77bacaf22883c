// MFStartup and MFShutdown, the shutdown hooks, and the system clock.
//
// Start-ups nest: the first starts the worker pool and the timer thread, each later one only
// counts. The last MFShutdown runs the shutdown hooks (work still flows), then drops waiting and
// scheduled items that have not started, lets the queued items run, waits for the workers (a few
// seconds at most: an item that never finishes is traced with its queue and left running) and
// closes every private queue. Puts before the first MFStartup or after the last MFShutdown answer
// MF_E_SHUTDOWN.

#include "platform/com/Error.h"
#include "platform/mf/Platform.h"
#include "platform/mf/WorkQueueInternal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace MFPlatform
{
namespace
{
// The start-up version of the platform's first release; accepted beside MF_VERSION.
constexpr ULONG FirstPlatformVersion = 0x00010070;

struct Lifecycle
{
    std::mutex Lock; // serialises MFStartup and MFShutdown; guards Count
    ULONG Count = 0;
    std::atomic<bool> Started { false };

    std::mutex HookLock; // guards Hooks; never held while a hook runs
    std::vector<std::function<void()>> Hooks;
};

Lifecycle& State()
{
    static Lifecycle* state = new Lifecycle;
    return *state;
}

void RunShutdownHooks(Lifecycle& state) noexcept
{
    std::vector<std::function<void()>> hooks;
    {
        std::lock_guard lock(state.HookLock);
        hooks = state.Hooks;
    }
    for (std::size_t i = 0; i < hooks.size(); ++i)
    {
        try
        {
            hooks[i]();
        }
        catch (...)
        {
            XEV_TRACE("Hook %zu, Exception 0x%08X\n", i + 1, static_cast<unsigned>(Error::CurrentExceptionResult()));
        }
    }
}
} // namespace

void RegisterShutdownHook(std::function<void()> hook)
{
    auto& state = State();
    std::lock_guard lock(state.HookLock);
    state.Hooks.push_back(std::move(hook));
}

bool IsStarted() noexcept
{
    return State().Started.load(std::memory_order_acquire);
}
} // namespace MFPlatform

HRESULT MFStartup(ULONG version, DWORD flags)
{
    // Every flag (full, lite, no sockets) starts the same services here.
    return Error::Guard([&] {
        XEV_CHECK(version == MF_VERSION || version == MFPlatform::FirstPlatformVersion, MF_E_BAD_STARTUP_VERSION);
        auto& state = MFPlatform::State();
        std::lock_guard lock(state.Lock);
        if (state.Count == 0)
        {
            try
            {
                MFPlatform::StartWorkQueues(std::max(2u, std::thread::hardware_concurrency()));
                MFPlatform::StartPendingWork();
            }
            catch (...)
            {
                MFPlatform::StopPendingWork();
                MFPlatform::StopWorkQueues();
                throw;
            }
            state.Started.store(true, std::memory_order_release);
        }
        ++state.Count;
    });
}

HRESULT MFShutdown()
{
    return Error::Guard([&] {
        auto& state = MFPlatform::State();
        std::lock_guard lock(state.Lock);
        XEV_CHECK(state.Count > 0, MF_E_PLATFORM_NOT_INITIALIZED);
        if (--state.Count > 0)
            return;
        MFPlatform::RunShutdownHooks(state);
        MFPlatform::StopPendingWork();
        MFPlatform::StopWorkQueues();
        state.Started.store(false, std::memory_order_release);
    });
}

MFTIME MFGetSystemTime()
{
    using HundredNanoseconds = std::chrono::duration<MFTIME, std::ratio<1, 10'000'000>>;
    return std::chrono::duration_cast<HundredNanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
