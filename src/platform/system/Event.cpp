#include "Event.h"

#include "Blocking.h"

#include <atomic>

namespace Sync
{
struct Event::Waiter
{
    std::function<void()> Callback;
    uint64_t Identifier = 0;
};

namespace
{
std::atomic<uint64_t> NextIdentifier { 1 };
} // namespace

Event::Event(ResetMode mode, bool initiallySignalled) : m_Mode(mode), m_Signalled(initiallySignalled) {}

Event::~Event() = default;

bool Event::TryConsumeLocked()
{
    if (!m_Signalled)
        return false;
    if (m_Mode == ResetMode::Auto)
        m_Signalled = false;
    return true;
}

void Event::Set()
{
    // Callbacks run after the lock is released; the common case (one registration on an
    // auto-reset event) moves one pointer and allocates nothing.
    std::shared_ptr<Waiter> first;
    std::vector<std::shared_ptr<Waiter>> rest;
    {
        std::lock_guard lock(m_Lock);
        if (m_Mode == ResetMode::Auto && !m_Waiters.empty())
        {
            // The signal goes to the longest-waiting registration; the event stays reset.
            first = std::move(m_Waiters.front());
            m_Waiters.erase(m_Waiters.begin());
        }
        else
        {
            m_Signalled = true;
            rest.swap(m_Waiters);
        }
    }
    if (first)
        first->Callback();
    for (auto& node : rest)
        node->Callback();
}

void Event::Reset()
{
    std::lock_guard lock(m_Lock);
    m_Signalled = false;
}

bool Event::IsSignalled() const
{
    std::lock_guard lock(m_Lock);
    return m_Signalled;
}

bool Event::Wait(uint32_t timeoutMilliseconds)
{
    Event* self = this;
    return WaitAny(std::span<Event* const>(&self, 1), timeoutMilliseconds) == 0;
}

int Event::WaitAny(std::span<Event* const> events, uint32_t timeoutMilliseconds)
{
    // Fast path: something is already signalled.
    for (size_t i = 0; i < events.size(); ++i)
    {
        std::lock_guard lock(events[i]->m_Lock);
        if (events[i]->TryConsumeLocked())
            return static_cast<int>(i);
    }
    if (timeoutMilliseconds == 0 || events.empty())
        return WaitTimeout;

    // Every event gets a one-shot registered wait that records itself in a shared slot; the
    // first to arrive wins and wakes this thread.
    struct Shared
    {
        std::mutex Lock;                   // guards Claimed
        std::condition_variable Condition;
        int Claimed = -1;                  // index of the event that released the wait
    };
    auto shared = std::make_shared<Shared>();
    std::vector<uint64_t> registrations(events.size(), 0);
    for (size_t i = 0; i < events.size(); ++i)
    {
        const int index = static_cast<int>(i);
        std::weak_ptr<Shared> weak = shared;
        registrations[i] = events[i]->RegisterWait([weak, index]() {
            if (auto s = weak.lock())
            {
                std::lock_guard lock(s->Lock);
                if (s->Claimed < 0)
                    s->Claimed = index;
                s->Condition.notify_all();
            }
        });
    }
    int result = WaitTimeout;
    {
        const BlockingRegion blocking;
        std::unique_lock lock(shared->Lock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMilliseconds);
        while (shared->Claimed < 0)
        {
            if (timeoutMilliseconds == Infinite)
                shared->Condition.wait(lock);
            else if (shared->Condition.wait_until(lock, deadline) == std::cv_status::timeout)
                break;
        }
        result = shared->Claimed;
        // Freeze the slot so late callbacks see it as taken.
        if (result < 0)
            shared->Claimed = static_cast<int>(events.size());
    }
    // Remove the other registrations. A registration whose callback already ran but lost the race
    // consumed an auto-reset signal that belongs to someone else: give it back.
    for (size_t i = 0; i < events.size(); ++i)
    {
        if (events[i]->UnregisterWait(registrations[i]))
            continue;
        if (static_cast<int>(i) != result && events[i]->Mode() == ResetMode::Auto)
            events[i]->Set();
    }
    return result;
}

uint64_t Event::RegisterWait(std::function<void()> callback)
{
    auto node = std::make_shared<Waiter>();
    node->Callback = std::move(callback);
    node->Identifier = NextIdentifier.fetch_add(1, std::memory_order_relaxed);
    const uint64_t identifier = node->Identifier;
    {
        std::lock_guard lock(m_Lock);
        if (!TryConsumeLocked())
        {
            m_Waiters.push_back(std::move(node));
            return identifier;
        }
    }
    node->Callback();
    return identifier;
}

bool Event::UnregisterWait(uint64_t identifier)
{
    std::lock_guard lock(m_Lock);
    for (auto it = m_Waiters.begin(); it != m_Waiters.end(); ++it)
    {
        if ((*it)->Identifier == identifier)
        {
            m_Waiters.erase(it);
            return true;
        }
    }
    return false;
}
} // namespace Sync
