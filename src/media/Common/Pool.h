#pragma once
// Pool::PoolT<T, Strategy>: a pool of reference-counted objects that return themselves to the
// pool when their last user reference goes.
//
// Elements are objects of Pool::ElementT<T>, a final class derived from T that adds the pool
// part (its lock, its pool and the in-use flag) and overrides Release. T is a ComObject class
// that does not override Release itself, with a constructor that takes no arguments and is
// public or protected; users hold elements as ComPtr<T> like any counted object and never give
// them back explicitly. T may have a return step, a public or protected method
// `void OnReturnToPool()`: it runs when the last user reference goes, before the element is
// idle again (a pooled operation drops what it holds there).
//
// Strategies:
//   Pool::Strategy::DynamicStrategy  Acquire never fails: the pool grows by one element when all
//                                    are in use, and never shrinks.
//   Pool::Strategy::StaticStrategy   keeps the elements it was built with; TryAcquireOrWait
//                                    registers a waiter that a returned element wakes through
//                                    GetEvent() (the caller puts a waiting work item on it).
//
// Lifetime: an idle element is owned by its pool alone (count 1). An element that is handed out
// holds a counted reference to its pool, so the pool lives while its owner holds it or any of its
// elements is in use; when both are gone the pool is destroyed and takes its idle elements with
// it. There is no reference cycle to break by hand.
//
// Threads: any thread may acquire and release. The pool's lock is taken shared to scan and
// exclusive to append; each element's flag is guarded by the element's own lock. No lock is held
// while the return step runs or the pool's event is signalled. Lock order: pool, then element.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/system/Event.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>
#include <type_traits>
#include <utility>
#include <vector>

namespace Pool
{
struct IPool : IUnknown
{
    XEV_INTERFACE(IPool, IUnknown, "E406FD69-0291-433C-9272-D4F8204B999D");
    // An element has gone back to the pool and is idle. The element is not used.
    virtual void OnElementReturned(IUnknown* element) = 0;
};

namespace Strategy
{
struct StaticStrategy
{
};
struct DynamicStrategy
{
};
} // namespace Strategy

template <class P, class T, class Strategy>
class BasePoolT;

// The pool part of an element: made only by its pool.
template <class T>
class ElementT final : public T
{
    static_assert(std::is_base_of_v<IUnknown, T>, "a pool element is a counted object");

public:
    explicit ElementT(IPool* pool) : m_Pool(pool) {}

    // The last user reference going (count 1: only the pool's reference is left) returns the
    // element to its pool.
    ULONG Release() override
    {
        const ULONG count = this->ReleaseReference();
        if (count == 1)
            ReturnToPool();
        return count;
    }

    bool IsInUse() const noexcept { return m_InUse.load(std::memory_order_acquire) != 0; }

private:
    template <class P, class U, class S>
    friend class BasePoolT;

    // Takes the element if it is idle; the caller holds the pool alive (it is calling the pool).
    bool TryTake(IPool* pool)
    {
        // Elements in use are skipped without taking their lock.
        if (m_InUse.load(std::memory_order_relaxed) != 0)
            return false;
        std::lock_guard lock(m_ElementLock);
        if (m_InUse.load(std::memory_order_relaxed) != 0 || m_Pool != pool)
            return false;
        m_InUse.store(1, std::memory_order_release);
        m_PoolReference = ComPtr<IPool>(pool);
        return true;
    }

    // The pool lets go of the element (the pool is being destroyed).
    void DetachFromPool() noexcept
    {
        std::lock_guard lock(m_ElementLock);
        m_Pool = nullptr;
    }

    // Runs when only the pool's reference is left. May destroy this element at its very end
    // (dropping the last reference to the pool destroys the pool and with it its idle elements):
    // nothing touches the element after the pool reference is dropped.
    void ReturnToPool() noexcept
    {
        ComPtr<IPool> pool;
        {
            std::lock_guard lock(m_ElementLock);
            // Not handed out (a reference from GetElements went), or no longer part of a pool.
            if (!m_Pool || !m_PoolReference)
                return;
            pool = std::move(m_PoolReference);
        }
        if constexpr (requires(ElementT& element) { element.OnReturnToPool(); })
        {
            // A failing return step cannot be reported to the releasing user (Release runs in
            // destructors): it is reported here and the element still goes back, so that the pool
            // keeps its size and a waiter is still woken.
            try
            {
                this->OnReturnToPool();
            }
            catch (...)
            {
                const HRESULT result = Error::CurrentExceptionResult();
                XEV_TRACE("this 0x%p, Failure 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(result));
            }
        }
        {
            std::lock_guard lock(m_ElementLock);
            m_InUse.store(0, std::memory_order_release);
        }
        try
        {
            pool->OnElementReturned(this->AsUnknown());
        }
        catch (...)
        {
            const HRESULT result = Error::CurrentExceptionResult();
            XEV_TRACE("this 0x%p, Failure 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(result));
        }
        // `pool` goes here, possibly with the pool and this element.
    }

    std::mutex m_ElementLock;         // guards m_Pool, m_PoolReference and writes of m_InUse
    IPool* m_Pool;                    // non-owning: the pool whose element list holds this element; null once it let go
    ComPtr<IPool> m_PoolReference;    // the pool, held while the element is handed out
    std::atomic<UINT32> m_InUse { 0 }; // 1 while handed out (read without the lock to skip busy elements)
};

// The state of a pool and what both strategies share. P is the pool class (the IPool).
template <class P, class T, class Strategy>
class BasePoolT
{
public:
    using Element = ElementT<T>;

    BasePoolT(const BasePoolT&) = delete;
    BasePoolT& operator=(const BasePoolT&) = delete;

    // Hands out the first idle element in creation order. `out` is replaced only on success.
    bool TryAcquire(ComPtr<T>& out)
    {
        ComPtr<T> element;
        {
            std::shared_lock lock(m_Lock);
            element = FindIdleLocked();
        }
        if (!element)
            return false;
        // Outside the pool's lock: what `out` held may go back to this pool now.
        out = std::move(element);
        return true;
    }

    // A copy of the elements, in creation order (to initialise them right after construction).
    // These are references like any other: an element goes back to the pool only when they are
    // gone too. Drop them before handing elements out and before letting go of the pool.
    std::vector<ComPtr<T>> GetElements() const
    {
        std::shared_lock lock(m_Lock);
        std::vector<ComPtr<T>> elements;
        elements.reserve(m_Elements.size());
        for (const auto& element : m_Elements)
            elements.emplace_back(element.Get());
        return elements;
    }

    size_t GetElementCount() const
    {
        std::shared_lock lock(m_Lock);
        return m_Elements.size();
    }

    // Auto-reset; signalled when an element returns while an acquirer waits.
    Sync::Event* GetEvent() noexcept { return &m_Event; }
    LONG GetWaiterCount() const noexcept { return m_Waiters.load(std::memory_order_acquire); }

protected:
    BasePoolT() = default;

    // Construction: called from the pool's constructor body, once the pool is whole.
    void CreateElements(UINT32 count)
    {
        std::unique_lock lock(m_Lock);
        m_Elements.reserve(count);
        for (UINT32 index = 0; index < count; ++index)
            m_Elements.push_back(Make<Element>(Self()));
    }

    ~BasePoolT()
    {
        // Only idle elements are left (one in use would hold the pool).
        std::vector<ComPtr<Element>> elements;
        {
            std::unique_lock lock(m_Lock);
            elements.swap(m_Elements);
        }
        for (auto& element : elements)
            element->DetachFromPool();
    }

    P* Self() noexcept { return static_cast<P*>(this); }

    ComPtr<T> FindIdleLocked()
    {
        for (const auto& element : m_Elements)
        {
            if (element->TryTake(Self()))
                return ComPtr<T>(element.Get());
        }
        return nullptr;
    }

    // Appends a new element that is handed out at once.
    ComPtr<T> CreateInUse()
    {
        auto element = Make<Element>(Self());
        (void)element->TryTake(Self());
        std::unique_lock lock(m_Lock);
        m_Elements.push_back(element);
        return ComPtr<T>(element.Get());
    }

    void SignalIfWaiting()
    {
        if (m_Waiters.load(std::memory_order_acquire) != 0)
            m_Event.Set();
    }

    mutable std::shared_mutex m_Lock;                // guards m_Elements
    std::vector<ComPtr<Element>> m_Elements;         // creation order
    Sync::Event m_Event { Sync::Event::ResetMode::Auto };
    std::atomic<LONG> m_Waiters { 0 };               // acquirers waiting for an element
};

template <class T, class Strategy>
class PoolT final : public ComObject<IPool>, public BasePoolT<PoolT<T, Strategy>, T, Strategy>
{
    using Base = BasePoolT<PoolT<T, Strategy>, T, Strategy>;
    static constexpr bool Dynamic = std::is_same_v<Strategy, ::Pool::Strategy::DynamicStrategy>;
    static_assert(Dynamic || std::is_same_v<Strategy, ::Pool::Strategy::StaticStrategy>, "unknown pool strategy");

public:
    explicit PoolT(UINT32 count) { this->CreateElements(count); }

    // Dynamic strategy: an idle element, or a new one. Always true.
    bool Acquire(ComPtr<T>& out)
        requires Dynamic
    {
        if (this->TryAcquire(out))
            return true;
        this->m_Waiters.fetch_add(1, std::memory_order_acq_rel);
        const bool found = this->TryAcquire(out);
        this->m_Waiters.fetch_sub(1, std::memory_order_acq_rel);
        if (found)
            return true;
        out = this->CreateInUse();
        return true;
    }

    // Static strategy: an idle element, or false with the caller counted as a waiter until it
    // gets one. `waiting` is the caller's own flag (false the first time): the pool sets it when
    // it counts the caller and clears it when the caller, retrying after GetEvent() was
    // signalled, gets an element. The caller waits on GetEvent() after a false answer (an element
    // returned in between leaves the event signalled, so no wake-up is lost) and calls again when
    // it is signalled.
    bool TryAcquireOrWait(ComPtr<T>& out, bool& waiting)
        requires(!Dynamic)
    {
        if (this->TryAcquire(out))
        {
            EndWait(waiting);
            return true;
        }
        if (!waiting)
        {
            // Counted before the second look, so that an element returned since the first look
            // either is found now or signals the event.
            this->m_Waiters.fetch_add(1, std::memory_order_acq_rel);
            waiting = true;
            if (this->TryAcquire(out))
            {
                EndWait(waiting);
                return true;
            }
        }
        return false;
    }

    // A caller that gives up waiting (its operation was cancelled or reset). It may have taken
    // the event's signal already: like a waiter that got an element, it passes the turn on.
    void CancelWait(bool& waiting) noexcept
        requires(!Dynamic)
    {
        EndWait(waiting);
    }

    // IPool
    void OnElementReturned(IUnknown* element) override { this->SignalIfWaiting(); }

private:
    void EndWait(bool& waiting) noexcept
        requires(!Dynamic)
    {
        if (!waiting)
            return;
        waiting = false;
        // Returns that happened while nobody was registered on the event collapse into one
        // signal; pass the turn on to the next waiter (a spurious turn just waits again).
        if (this->m_Waiters.fetch_sub(1, std::memory_order_acq_rel) > 1)
            this->m_Event.Set();
    }
};
} // namespace Pool
