// Waiting items (run when an event is signalled), scheduled items (run after a delay) and their
// cancellation by key.
//
// Neither kind holds a worker while it waits. A waiting item is a registered wait on its
// Sync::Event, whose callback (on the thread that signals) only hands the item to its queue. A
// scheduled item sits in one heap of deadlines served by a single timer thread that sleeps
// until the earliest deadline. Once handed to its queue an item has started: it can no longer
// be cancelled. Both kinds run on the queue their callback's GetParameters names. A signal of an
// auto-reset event that reaches the wait of an item cancelled, dropped or refused by its queue
// meanwhile goes back to the event, so that another waiter gets it.
//
// A waiting item's event must stay alive until the item has run or been cancelled, or the
// platform has shut down.

#include "platform/com/Error.h"
#include "platform/mf/WorkQueueInternal.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

namespace MFPlatform
{
namespace
{
using Clock = std::chrono::steady_clock;

// Delays are capped at a century so that the deadline cannot overflow.
constexpr int64_t LongestDelayMilliseconds = int64_t(100) * 365 * 24 * 3600 * 1000;

// A waiting or scheduled item between its put and its start (or cancellation).
struct PendingItem
{
    ComPtr<IAsyncResultInternal> Result;
    DWORD Queue = 0;              // where it runs
    Sync::Event* Event = nullptr; // Non-owning, waiting items only: the caller keeps it alive
    uint64_t Registration = 0;    // the event's registered wait; 0 until registered
};

// False when a queue shut down meanwhile refuses the item: it is released here, unrun.
bool Dispatch(PendingItem item) noexcept
{
    return SUCCEEDED(PutResult(item.Queue, std::move(item.Result)));
}

// Items live in slots reused through a free list, so steady traffic allocates nothing here. A
// key is a slot's index and its generation: a key that has run, was cancelled or belongs to an
// earlier start-up never matches the slot's next item.
class PendingWork
{
public:
    static PendingWork& Instance()
    {
        static PendingWork* work = new PendingWork;
        return *work;
    }

    void Start();
    void Stop();

    HRESULT PutWaiting(Sync::Event* event, ComPtr<IAsyncResultInternal>&& result, MFWORKITEM_KEY* key);
    HRESULT Schedule(ComPtr<IAsyncResultInternal>&& result, int64_t milliseconds, MFWORKITEM_KEY* key);
    HRESULT Cancel(MFWORKITEM_KEY key);

private:
    static constexpr uint32_t NoSlot = std::numeric_limits<uint32_t>::max();

    struct Slot
    {
        PendingItem Item;
        uint32_t Generation = 1;
        bool InUse = false;
        uint32_t NextFree = NoSlot;
    };
    struct Timer
    {
        Clock::time_point Due;
        uint64_t Sequence; // put order among equal deadlines
        MFWORKITEM_KEY Key;
        // std::push_heap keeps the greatest on top: the latest is the least.
        friend bool operator<(const Timer& a, const Timer& b) noexcept
        {
            return a.Due != b.Due ? a.Due > b.Due : a.Sequence > b.Sequence;
        }
    };

    void OnSignalled(MFWORKITEM_KEY key, Sync::Event* event) noexcept;
    void RunTimer() noexcept;

    // Makes room for one more item (may throw); then AddLocked cannot fail.
    void ReserveLocked();
    MFWORKITEM_KEY AddLocked(PendingItem&& item) noexcept;
    Slot* FindLocked(MFWORKITEM_KEY key) noexcept;
    PendingItem RemoveLocked(Slot& slot) noexcept;
    // Drops timers of cancelled items once they make up most of the heap.
    void CompactTimersLocked();

    std::mutex m_Lock;                   // guards the fields below
    std::condition_variable m_TimerWake; // the earliest deadline moved, or Stop
    bool m_Open = false;
    std::vector<Slot> m_Slots;
    uint32_t m_FreeHead = NoSlot;
    std::vector<Timer> m_Timers;         // heap; may hold keys of cancelled items
    std::size_t m_Scheduled = 0;         // scheduled items not yet started
    uint64_t m_NextSequence = 0;
    std::thread m_TimerThread;
};

void PendingWork::Start()
{
    std::lock_guard lock(m_Lock);
    m_Open = true;
    m_TimerThread = std::thread([] { Instance().RunTimer(); });
}

void PendingWork::Stop()
{
    std::vector<PendingItem> dropped;
    std::thread timer;
    {
        std::lock_guard lock(m_Lock);
        if (!m_Open)
            return;
        dropped.reserve(m_Slots.size());
        m_Open = false;
        for (auto& slot : m_Slots)
        {
            if (slot.InUse)
                dropped.push_back(RemoveLocked(slot));
        }
        m_Timers.clear();
        m_Scheduled = 0;
        timer = std::move(m_TimerThread);
    }
    m_TimerWake.notify_all();
    if (timer.joinable())
        timer.join();
    for (auto& item : dropped)
    {
        if (item.Event && item.Registration)
            item.Event->UnregisterWait(item.Registration);
    }
}

HRESULT PendingWork::PutWaiting(Sync::Event* event, ComPtr<IAsyncResultInternal>&& result, MFWORKITEM_KEY* keyOut)
{
    const DWORD queue = CallbackQueue(result->CallbackNoAddRef());
    if (const HRESULT hr = CheckQueue(queue); FAILED(hr))
        return hr;
    MFWORKITEM_KEY key = 0;
    {
        std::lock_guard lock(m_Lock);
        if (!m_Open)
            return MF_E_SHUTDOWN;
        ReserveLocked();
        key = AddLocked(PendingItem { std::move(result), queue, event, 0 });
    }
    // Outside the lock: an event already signalled runs the wait at once, on this thread.
    uint64_t registration = 0;
    try
    {
        registration = event->RegisterWait([key, event] { Instance().OnSignalled(key, event); });
    }
    catch (...)
    {
        (void)Cancel(key);
        throw;
    }
    bool gone = false;
    {
        std::lock_guard lock(m_Lock);
        if (Slot* slot = FindLocked(key))
            slot->Item.Registration = registration;
        else
            gone = true; // it ran already, or Stop dropped it meanwhile
    }
    if (gone)
        event->UnregisterWait(registration); // nothing to do when it ran
    if (keyOut)
        *keyOut = key;
    return S_OK;
}

HRESULT PendingWork::Schedule(ComPtr<IAsyncResultInternal>&& result, int64_t milliseconds, MFWORKITEM_KEY* keyOut)
{
    const DWORD queue = CallbackQueue(result->CallbackNoAddRef());
    if (const HRESULT hr = CheckQueue(queue); FAILED(hr))
        return hr;
    const auto due = Clock::now() + std::chrono::milliseconds(std::min(milliseconds, LongestDelayMilliseconds));
    MFWORKITEM_KEY key = 0;
    bool earliest = false;
    {
        std::lock_guard lock(m_Lock);
        if (!m_Open)
            return MF_E_SHUTDOWN;
        CompactTimersLocked();
        ReserveLocked();
        if (m_Timers.size() == m_Timers.capacity())
            m_Timers.reserve(std::max<std::size_t>(16, m_Timers.capacity() * 2));
        key = AddLocked(PendingItem { std::move(result), queue, nullptr, 0 });
        m_Timers.push_back(Timer { due, m_NextSequence++, key });
        std::push_heap(m_Timers.begin(), m_Timers.end());
        ++m_Scheduled;
        earliest = m_Timers.front().Key == key;
    }
    if (earliest)
        m_TimerWake.notify_one();
    if (keyOut)
        *keyOut = key;
    return S_OK;
}

HRESULT PendingWork::Cancel(MFWORKITEM_KEY key)
{
    PendingItem item; // released after the lock is let go
    {
        std::lock_guard lock(m_Lock);
        Slot* slot = FindLocked(key);
        if (!slot)
            return MF_E_NOT_FOUND;
        if (!slot->Item.Event)
            --m_Scheduled;
        item = RemoveLocked(*slot);
    }
    // A wait whose callback has begun finds its key gone and gives the signal back.
    if (item.Event && item.Registration)
        item.Event->UnregisterWait(item.Registration);
    return S_OK;
}

// Runs on the thread that signalled `event` (which is alive: it is being set).
void PendingWork::OnSignalled(MFWORKITEM_KEY key, Sync::Event* event) noexcept
{
    PendingItem item;
    {
        std::lock_guard lock(m_Lock);
        if (Slot* slot = FindLocked(key))
            item = RemoveLocked(*slot);
    }
    // Cancelled or dropped by Stop before its wait was removed, or refused by its queue: the
    // signal is someone else's.
    const bool started = item.Result && Dispatch(std::move(item));
    if (!started && event->Mode() == Sync::Event::ResetMode::Auto)
        event->Set();
}

void PendingWork::RunTimer() noexcept
{
    std::unique_lock lock(m_Lock);
    while (m_Open)
    {
        if (m_Timers.empty())
        {
            m_TimerWake.wait(lock);
            continue;
        }
        const Timer next = m_Timers.front();
        if (Clock::now() < next.Due)
        {
            m_TimerWake.wait_until(lock, next.Due);
            continue;
        }
        std::pop_heap(m_Timers.begin(), m_Timers.end());
        m_Timers.pop_back();
        Slot* slot = FindLocked(next.Key);
        if (!slot)
            continue; // cancelled
        --m_Scheduled;
        PendingItem item = RemoveLocked(*slot);
        lock.unlock();
        (void)Dispatch(std::move(item));
        lock.lock();
    }
}

void PendingWork::ReserveLocked()
{
    if (m_FreeHead == NoSlot && m_Slots.size() == m_Slots.capacity())
        m_Slots.reserve(std::max<std::size_t>(16, m_Slots.capacity() * 2));
}

MFWORKITEM_KEY PendingWork::AddLocked(PendingItem&& item) noexcept
{
    uint32_t index = m_FreeHead;
    if (index == NoSlot)
    {
        index = static_cast<uint32_t>(m_Slots.size());
        m_Slots.emplace_back(); // room reserved by ReserveLocked
    }
    else
    {
        m_FreeHead = m_Slots[index].NextFree;
    }
    Slot& slot = m_Slots[index];
    slot.Item = std::move(item);
    slot.InUse = true;
    slot.NextFree = NoSlot;
    return (MFWORKITEM_KEY(slot.Generation) << 32) | (MFWORKITEM_KEY(index) + 1);
}

PendingWork::Slot* PendingWork::FindLocked(MFWORKITEM_KEY key) noexcept
{
    const uint64_t low = key & 0xFFFFFFFFu;
    if (low == 0 || low > m_Slots.size())
        return nullptr;
    Slot& slot = m_Slots[low - 1];
    if (!slot.InUse || slot.Generation != static_cast<uint32_t>(key >> 32))
        return nullptr;
    return &slot;
}

PendingItem PendingWork::RemoveLocked(Slot& slot) noexcept
{
    PendingItem item = std::move(slot.Item);
    slot.Item = PendingItem {};
    slot.InUse = false;
    if (++slot.Generation == 0)
        slot.Generation = 1;
    slot.NextFree = m_FreeHead;
    m_FreeHead = static_cast<uint32_t>(&slot - m_Slots.data());
    return item;
}

void PendingWork::CompactTimersLocked()
{
    if (m_Timers.size() < 64 || m_Timers.size() < 2 * m_Scheduled)
        return;
    std::erase_if(m_Timers, [this](const Timer& timer) { return FindLocked(timer.Key) == nullptr; });
    std::make_heap(m_Timers.begin(), m_Timers.end());
}
} // namespace

void StartPendingWork()
{
    PendingWork::Instance().Start();
}

void StopPendingWork()
{
    PendingWork::Instance().Stop();
}
} // namespace MFPlatform

using MFPlatform::ExpectedOutcome;

HRESULT MFPutWaitingWorkItem(Sync::Event* event, LONG priority, IMFAsyncResult* result, MFWORKITEM_KEY* key)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK(event != nullptr, E_INVALIDARG);
        ComPtr<MFPlatform::IAsyncResultInternal> ours;
        XEV_CHECK_HR(MFPlatform::QueryAsyncResult(result, &ours));
        return ExpectedOutcome(MFPlatform::PendingWork::Instance().PutWaiting(event, std::move(ours), key), __FILE__, __LINE__);
    });
}

HRESULT MFScheduleWorkItem(IMFAsyncCallback* callback, IUnknown* state, INT64 timeout, MFWORKITEM_KEY* key)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(callback);
        XEV_CHECK(timeout <= 0, E_INVALIDARG);
        ComPtr<IMFAsyncResult> result;
        XEV_CHECK_HR(MFCreateAsyncResult(nullptr, callback, state, result.GetAddressOf()));
        return MFScheduleWorkItemEx(result.Get(), timeout, key);
    });
}

HRESULT MFScheduleWorkItemEx(IMFAsyncResult* result, INT64 timeout, MFWORKITEM_KEY* key)
{
    return Error::Guard([&]() -> HRESULT {
        ComPtr<MFPlatform::IAsyncResultInternal> ours;
        XEV_CHECK_HR(MFPlatform::QueryAsyncResult(result, &ours));
        // The delay is given as a negative number of milliseconds.
        XEV_CHECK(timeout <= 0, E_INVALIDARG);
        const int64_t milliseconds = timeout == std::numeric_limits<INT64>::min() ? std::numeric_limits<int64_t>::max() : -timeout;
        return ExpectedOutcome(MFPlatform::PendingWork::Instance().Schedule(std::move(ours), milliseconds, key), __FILE__, __LINE__);
    });
}

HRESULT MFCancelWorkItem(MFWORKITEM_KEY key)
{
    // MF_E_NOT_FOUND (already started, or never put) is an expected answer: the caller may race
    // with the item.
    return MFPlatform::PendingWork::Instance().Cancel(key);
}
