// Work queues: the shared worker pool behind the standard queues, private serial and
// multithreaded queues over it, and the put, allocate, lock and unlock functions.
//
// The pool runs tasks first in, first out. A task is either an item of a standard queue (its
// result, invoked directly) or a turn of a private queue. A serial queue has at most one turn in
// the pool or running: the turn runs the queue's oldest item and, when more are waiting, goes
// to the back of the pool again, so items of one serial queue run one at a time and in put
// order, and many serial queues share the workers fairly. A private multithreaded queue hands
// the pool one turn per item.
//
// Lock order: a private queue's lock may be held while the pool's lock is taken, never the
// reverse; the registry's lock is never held while either is taken. No lock is held while a
// callback runs or a result is released.

#include "platform/com/Error.h"
#include "platform/mf/Platform.h"
#include "platform/mf/WorkQueueInternal.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace MFPlatform
{
namespace
{
// The first identifier handed out for a private queue; identifiers are never reused, so that a
// queue unlocked (or left from an earlier start-up) answers MF_E_SHUTDOWN, not another queue's items.
constexpr DWORD FirstPrivateQueue = 0x00010000;

void InvokeResult(IAsyncResultInternal* result) noexcept
{
    // The HRESULT of Invoke is not the queue's business: the callback reports through the
    // result's status. A callback must not throw; if one does, the worker survives it.
    try
    {
        (void)result->CallbackNoAddRef()->Invoke(result);
    }
    catch (...)
    {
        XEV_TRACE("AsyncResult 0x%p, Exception 0x%08X left Invoke\n", static_cast<void*>(result),
            static_cast<unsigned>(Error::CurrentExceptionResult()));
    }
}

class WorkQueue;

struct Task
{
    ComPtr<IAsyncResultInternal> Result; // an item of a standard queue, or
    std::shared_ptr<WorkQueue> Queue;    // a turn of a private queue
};

void RunTask(Task task) noexcept;

// The shared workers. Started and stopped by the platform's start-up; never destroyed.
class WorkerPool
{
public:
    static WorkerPool& Instance()
    {
        static WorkerPool* pool = new WorkerPool;
        return *pool;
    }

    void Start(unsigned threadCount);
    // Refuses new work, lets the workers run what is queued (turns that private queues hand on
    // included) and joins them. Called on a worker thread, it leaves that thread to finish alone.
    void Stop();

    bool Accepting() const noexcept { return m_Accepting.load(std::memory_order_acquire); }
    unsigned ThreadCount() const noexcept { return m_ThreadCount.load(std::memory_order_relaxed); }

    // New work: refused (false, `task` untouched) once Stop has begun.
    bool Submit(Task&& task) { return Push(std::move(task), State::Running); }
    // A private queue's turn: accepted while the workers run, draining included.
    bool Continue(Task&& task) { return Push(std::move(task), State::Draining); }

private:
    enum class State
    {
        Stopped,
        Running,  // accepting work
        Draining, // Stop has begun: only turns of queued work are accepted
    };

    bool Push(Task&& task, State weakest);
    void Work(uint64_t epoch) noexcept;

    mutable std::mutex m_Lock;          // guards the fields below
    std::condition_variable m_TaskReady;
    RingQueue<Task> m_Tasks;
    State m_State = State::Stopped;
    uint64_t m_Epoch = 0;               // one per Start; a worker of an earlier start leaves
    std::vector<std::thread> m_Threads;
    std::atomic<bool> m_Accepting { false };     // m_State == Running, readable without the lock
    std::atomic<unsigned> m_ThreadCount { 0 };
};

void WorkerPool::Start(unsigned threadCount)
{
    std::unique_lock lock(m_Lock);
    const uint64_t epoch = ++m_Epoch;
    m_State = State::Running;
    try
    {
        for (unsigned i = 0; i < threadCount; ++i)
            m_Threads.emplace_back([this, epoch] { Work(epoch); });
    }
    catch (...)
    {
        lock.unlock();
        Stop();
        throw;
    }
    m_ThreadCount.store(threadCount, std::memory_order_relaxed);
    m_Accepting.store(true, std::memory_order_release);
}

void WorkerPool::Stop()
{
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_Lock);
        if (m_State != State::Running)
            return;
        m_State = State::Draining;
        m_Accepting.store(false, std::memory_order_release);
        threads.swap(m_Threads);
    }
    m_TaskReady.notify_all();
    for (auto& thread : threads)
    {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
    RingQueue<Task> left; // only when Stop ran on a worker: turns handed on after the others left
    {
        std::lock_guard lock(m_Lock);
        m_State = State::Stopped;
        left = m_Tasks.TakeAll();
        m_ThreadCount.store(0, std::memory_order_relaxed);
    }
}

bool WorkerPool::Push(Task&& task, State weakest)
{
    {
        std::lock_guard lock(m_Lock);
        if (m_State == State::Stopped || (weakest == State::Running && m_State != State::Running))
            return false;
        m_Tasks.Push(std::move(task));
    }
    m_TaskReady.notify_one();
    return true;
}

void WorkerPool::Work(uint64_t epoch) noexcept
{
    std::unique_lock lock(m_Lock);
    for (;;)
    {
        m_TaskReady.wait(lock, [&] { return !m_Tasks.Empty() || m_State != State::Running || m_Epoch != epoch; });
        // Draining ends for a worker when nothing is queued: a worker still running an item
        // runs the turns its queue hands on itself.
        if (m_Epoch != epoch || m_Tasks.Empty())
            return;
        Task task = m_Tasks.Pop();
        lock.unlock();
        RunTask(std::move(task)); // releases the task's references before the lock is retaken
        lock.lock();
    }
}

// A private queue. Serial: one turn at a time, items in put order. Multithreaded: one turn per
// item, so items run concurrently.
class WorkQueue : public std::enable_shared_from_this<WorkQueue>
{
public:
    explicit WorkQueue(bool serial) noexcept : m_Serial(serial) {}

    // MF_E_SHUTDOWN once closed (the result is then left with the caller).
    HRESULT Put(ComPtr<IAsyncResultInternal>&& result);
    // Runs the oldest item on the calling worker.
    static void RunTurn(std::shared_ptr<WorkQueue> self) noexcept;
    // Refuses later puts and releases the items that have not started; a running item finishes.
    void Close() noexcept;

private:
    const bool m_Serial;
    std::mutex m_Lock;                               // guards the fields below
    RingQueue<ComPtr<IAsyncResultInternal>> m_Items; // put and not started
    std::size_t m_Turns = 0;                         // turns handed to the pool and not finished
    bool m_Closed = false;
};

HRESULT WorkQueue::Put(ComPtr<IAsyncResultInternal>&& result)
{
    std::lock_guard lock(m_Lock);
    if (m_Closed)
        return MF_E_SHUTDOWN;
    if (!m_Serial || m_Turns == 0)
    {
        if (!WorkerPool::Instance().Continue(Task { nullptr, shared_from_this() }))
            return MF_E_SHUTDOWN;
        ++m_Turns;
    }
    // Should this throw, the turn just handed on finds no item and ends.
    m_Items.Push(std::move(result));
    return S_OK;
}

void WorkQueue::RunTurn(std::shared_ptr<WorkQueue> self) noexcept
{
    ComPtr<IAsyncResultInternal> item;
    {
        std::lock_guard lock(self->m_Lock);
        if (self->m_Closed || self->m_Items.Empty())
        {
            --self->m_Turns;
            return;
        }
        item = self->m_Items.Pop();
    }
    InvokeResult(item.Get());
    item = nullptr; // the item held its callback and state until it ran
    std::lock_guard lock(self->m_Lock);
    if (self->m_Serial && !self->m_Closed && !self->m_Items.Empty())
    {
        try
        {
            if (WorkerPool::Instance().Continue(Task { nullptr, self }))
                return;
        }
        catch (...)
        {
            // No room for the turn: the items wait for the next put, which hands on a new one.
        }
    }
    --self->m_Turns;
}

void WorkQueue::Close() noexcept
{
    RingQueue<ComPtr<IAsyncResultInternal>> dropped; // released after the lock is let go
    std::lock_guard lock(m_Lock);
    m_Closed = true;
    dropped = m_Items.TakeAll();
}

void RunTask(Task task) noexcept
{
    if (task.Result)
        InvokeResult(task.Result.Get());
    else
        WorkQueue::RunTurn(std::move(task.Queue));
}

// Private queues by identifier, with their lock counts.
class QueueRegistry
{
public:
    static QueueRegistry& Instance()
    {
        static QueueRegistry* registry = new QueueRegistry;
        return *registry;
    }

    void Open()
    {
        std::unique_lock lock(m_Lock);
        m_Open = true;
    }
    // MF_E_SHUTDOWN when the platform is not started.
    HRESULT Add(bool serial, DWORD* id);
    // The open queue behind `id`, or null with the failure a put gets.
    std::shared_ptr<WorkQueue> Find(DWORD id, HRESULT* failure) const;
    HRESULT Lock(DWORD id);
    HRESULT Unlock(DWORD id);
    void CloseAll();

private:
    struct Entry
    {
        std::shared_ptr<WorkQueue> Queue;
        ULONG Locks = 1;
    };

    HRESULT MissingLocked(DWORD id) const noexcept
    {
        return id >= FirstPrivateQueue && id < m_NextId ? MF_E_SHUTDOWN : MF_E_INVALID_WORKQUEUE;
    }

    mutable std::shared_mutex m_Lock; // guards the fields below
    std::unordered_map<DWORD, Entry> m_Queues;
    DWORD m_NextId = FirstPrivateQueue;
    bool m_Open = false;
};

HRESULT QueueRegistry::Add(bool serial, DWORD* id)
{
    auto queue = std::make_shared<WorkQueue>(serial);
    std::unique_lock lock(m_Lock);
    if (!m_Open)
        return MF_E_SHUTDOWN;
    m_Queues.emplace(m_NextId, Entry { std::move(queue) });
    *id = m_NextId++;
    return S_OK;
}

std::shared_ptr<WorkQueue> QueueRegistry::Find(DWORD id, HRESULT* failure) const
{
    std::shared_lock lock(m_Lock);
    if (const auto it = m_Queues.find(id); it != m_Queues.end())
        return it->second.Queue;
    *failure = MissingLocked(id);
    return nullptr;
}

HRESULT QueueRegistry::Lock(DWORD id)
{
    std::unique_lock lock(m_Lock);
    const auto it = m_Queues.find(id);
    if (it == m_Queues.end())
        return MissingLocked(id);
    ++it->second.Locks;
    return S_OK;
}

HRESULT QueueRegistry::Unlock(DWORD id)
{
    std::shared_ptr<WorkQueue> closing;
    {
        std::unique_lock lock(m_Lock);
        const auto it = m_Queues.find(id);
        if (it == m_Queues.end())
            return MissingLocked(id);
        if (--it->second.Locks > 0)
            return S_OK;
        closing = std::move(it->second.Queue);
        m_Queues.erase(it);
    }
    closing->Close();
    return S_OK;
}

void QueueRegistry::CloseAll()
{
    std::unordered_map<DWORD, Entry> closing;
    {
        std::unique_lock lock(m_Lock);
        m_Open = false;
        closing.swap(m_Queues);
    }
    for (auto& [id, entry] : closing)
        entry.Queue->Close();
}
} // namespace

HRESULT PutResult(DWORD queue, ComPtr<IAsyncResultInternal>&& result) noexcept
{
    try
    {
        auto& pool = WorkerPool::Instance();
        if (!pool.Accepting())
            return MF_E_SHUTDOWN;
        if (IsStandardQueue(queue))
            return pool.Submit(Task { std::move(result), nullptr }) ? S_OK : MF_E_SHUTDOWN;
        HRESULT failure = S_OK;
        const auto target = QueueRegistry::Instance().Find(queue, &failure);
        if (!target)
            return failure;
        return target->Put(std::move(result));
    }
    catch (...)
    {
        return Error::CurrentExceptionResult();
    }
}

HRESULT CheckQueue(DWORD queue) noexcept
{
    if (!WorkerPool::Instance().Accepting())
        return MF_E_SHUTDOWN;
    if (IsStandardQueue(queue))
        return S_OK;
    HRESULT failure = S_OK;
    return QueueRegistry::Instance().Find(queue, &failure) ? S_OK : failure;
}

void StartWorkQueues(unsigned threadCount)
{
    QueueRegistry::Instance().Open();
    WorkerPool::Instance().Start(threadCount);
}

void StopWorkQueues()
{
    WorkerPool::Instance().Stop();
    QueueRegistry::Instance().CloseAll();
}

unsigned WorkerThreadCount() noexcept
{
    return WorkerPool::Instance().ThreadCount();
}
} // namespace MFPlatform

using MFPlatform::ExpectedOutcome;

HRESULT MFPutWorkItem(DWORD queue, IMFAsyncCallback* callback, IUnknown* state)
{
    return MFPutWorkItem2(queue, 0, callback, state);
}

HRESULT MFPutWorkItem2(DWORD queue, LONG priority, IMFAsyncCallback* callback, IUnknown* state)
{
    // Items of one queue run in put order whatever their priority.
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(callback);
        return ExpectedOutcome(MFPlatform::PutResult(queue, MFPlatform::CreateAsyncResult(nullptr, callback, state)), __FILE__, __LINE__);
    });
}

HRESULT MFPutWorkItemEx(DWORD queue, IMFAsyncResult* result)
{
    return Error::Guard([&]() -> HRESULT {
        ComPtr<MFPlatform::IAsyncResultInternal> ours;
        XEV_CHECK_HR(MFPlatform::QueryAsyncResult(result, &ours));
        return ExpectedOutcome(MFPlatform::PutResult(queue, std::move(ours)), __FILE__, __LINE__);
    });
}

HRESULT MFAllocateSerialWorkQueue(DWORD targetQueue, DWORD* queue)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(queue);
        XEV_CHECK(MFPlatform::IsStandardQueue(targetQueue), MF_E_INVALID_WORKQUEUE);
        return MFPlatform::QueueRegistry::Instance().Add(true, queue);
    });
}

HRESULT MFAllocateWorkQueue(DWORD* queue)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(queue);
        return MFPlatform::QueueRegistry::Instance().Add(false, queue);
    });
}

HRESULT MFLockWorkQueue(DWORD queue)
{
    return Error::Guard([&]() -> HRESULT {
        if (MFPlatform::IsStandardQueue(queue))
            return MFPlatform::IsStarted() ? S_OK : MF_E_SHUTDOWN;
        return ExpectedOutcome(MFPlatform::QueueRegistry::Instance().Lock(queue), __FILE__, __LINE__);
    });
}

HRESULT MFUnlockWorkQueue(DWORD queue)
{
    return Error::Guard([&]() -> HRESULT {
        if (MFPlatform::IsStandardQueue(queue))
            return MFPlatform::IsStarted() ? S_OK : MF_E_SHUTDOWN;
        return ExpectedOutcome(MFPlatform::QueueRegistry::Instance().Unlock(queue), __FILE__, __LINE__);
    });
}
