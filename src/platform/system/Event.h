#pragma once
// Event: the stand-in for a Win32 event object.
//
// Manual-reset events stay signalled until Reset and release every waiter; auto-reset events
// release exactly one waiter (a thread in Wait/WaitAny or a registered wait) per Set and are
// then reset again. A registered wait runs its callback once, on the thread that calls Set
// (outside the event's lock): callbacks only hand work on (to a work queue) and must not block.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

namespace Sync
{
// Result of a wait that timed out (WAIT_TIMEOUT).
inline constexpr int WaitTimeout = -1;
inline constexpr uint32_t Infinite = 0xFFFFFFFFu;

class Event
{
public:
    enum class ResetMode
    {
        Manual,
        Auto
    };

    explicit Event(ResetMode mode, bool initiallySignalled = false);
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    bool IsSignalled() const;
    ResetMode Mode() const noexcept { return m_Mode; }

    // True when the event was (or became) signalled within the time-out; an auto-reset event is consumed.
    bool Wait(uint32_t timeoutMilliseconds = Infinite);

    // Index of the first signalled event in `events`, or WaitTimeout. Auto-reset events: only the
    // one reported is consumed.
    static int WaitAny(std::span<Event* const> events, uint32_t timeoutMilliseconds = Infinite);

    // Runs `callback` once when the event is signalled (at once, on this thread, if it already is).
    // Returns an identifier for Unregister.
    uint64_t RegisterWait(std::function<void()> callback);
    // True when the registration was removed before its callback was started.
    bool UnregisterWait(uint64_t identifier);

    struct Waiter; // a registered wait (WaitAny registers one per event)

private:
    bool TryConsumeLocked();

    const ResetMode m_Mode;
    mutable std::mutex m_Lock;           // guards the two fields below
    bool m_Signalled;
    std::vector<std::shared_ptr<Waiter>> m_Waiters;
};
} // namespace Sync
