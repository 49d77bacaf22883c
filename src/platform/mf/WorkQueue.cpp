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
// Blocked workers. The pool keeps its size in workers that can run work: when a worker blocks
// in a platform wait (Sync::BlockingRegion: an event, an event queue's GetEvent, a keyed mutex),
// the pool adds a worker, so that the work that will end the wait still runs. A worker beyond the
// size leaves once it has been idle for SpareLinger while the pool is back at its size.
//
// Stop waits StopPatience at most for the workers to finish the queued work; it then traces the
// queue of each item still running and returns, leaving those workers to finish alone.
//
// Lock order: a private queue's lock may be held while the pool's lock is taken, never the
// reverse; the registry's lock is never held while either is taken. No lock is held while a
// callback runs or a result is released. A blocking region may be opened under any lock but
// the pool's (its observer takes the pool's lock).

#include "platform/com/Error.h"
#include "platform/mf/Platform.h"
#include "platform/mf/WorkQueueInternal.h"
#include "platform/system/Blocking.h"

#include <algorithm>
#include <atomic>
#include <chrono>
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
// How long the last MFShutdown waits for the running items to finish.
constexpr auto StopPatience = std::chrono::seconds(3);
// How long a worker beyond the pool's size stays idle before it leaves.
constexpr auto SpareLinger = std::chrono::seconds(1);

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
    DWORD Id = 0;                        // the queue's identifier, for traces
};

// What a worker is doing, on the worker's stack; read by the pool under its lock.
struct Worker
{
    uint64_t Epoch;
    DWORD Running = 0; // the queue of the task it runs, 0 while idle
    bool Blocked = false; // in a blocking region the pool has made up for
};
thread_local Worker* t_Worker = nullptr; // the calling thread's, on a worker

void RunTask(Task task) noexcept;

// The shared workers. Started and stopped by the platform's start-up; never destroyed.
class WorkerPool final : Sync::BlockingObserver
{
public:
    static WorkerPool& Instance()
    {
        static WorkerPool* pool = new WorkerPool;
        return *pool;
    }

    void Start(unsigned threadCount);
    // Refuses new work, lets the workers run what is queued (turns that private queues hand on
    // included) and waits for them to leave, StopPatience at most. Called on a worker thread, it
    // leaves that thread to finish alone.
    void Stop();

    bool Accepting() const noexcept { return m_Accepting.load(std::memory_order_acquire); }

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
    void AddWorkerLocked();
    // Workers that can run work: those of m_Workers not blocked, the ones still starting included.
    size_t RunnableLocked() const noexcept
    {
        return std::count_if(m_Workers.begin(), m_Workers.end(), [](const Worker* worker) { return !worker || !worker->Blocked; });
    }
    void Work(uint64_t epoch) noexcept;
    // Sync::BlockingObserver, on a worker
    void OnBlocking() noexcept override;
    void OnUnblocked() noexcept override;

    mutable std::mutex m_Lock;            // guards the fields below
    std::condition_variable m_TaskReady;
    std::condition_variable m_WorkerLeft; // for Stop
    Ring<Task> m_Tasks;
    State m_State = State::Stopped;
    uint64_t m_Epoch = 0;                 // one per Start and per Stop; a worker of another leaves, uncounted
    unsigned m_Size = 0;                  // workers that can run work, blocked ones aside
    std::vector<Worker*> m_Workers;       // of this epoch, not left yet; null while one starts
    std::atomic<bool> m_Accepting { false };     // m_State == Running, readable without the lock
};

void WorkerPool::Start(unsigned threadCount)
{
    std::unique_lock lock(m_Lock);
    ++m_Epoch;
    m_State = State::Running;
    m_Size = threadCount;
    try
    {
        for (unsigned i = 0; i < threadCount; ++i)
            AddWorkerLocked();
    }
    catch (...)
    {
        lock.unlock();
        Stop();
        throw;
    }
    m_Accepting.store(true, std::memory_order_release);
}

void WorkerPool::Stop()
{
    Ring<Task> left; // turns handed on after the workers left; released after the lock
    std::unique_lock lock(m_Lock);
    if (m_State != State::Running)
        return;
    m_State = State::Draining;
    m_Accepting.store(false, std::memory_order_release);
    m_TaskReady.notify_all();
    const size_t own = t_Worker && std::count(m_Workers.begin(), m_Workers.end(), t_Worker) ? 1 : 0;
    if (!m_WorkerLeft.wait_for(lock, StopPatience, [&] { return m_Workers.size() == own; }))
    {
        for (const Worker* worker : m_Workers)
        {
            if (worker != t_Worker && worker->Running)
                XEV_TRACE("Queue 0x%08X, an item did not finish within %lld ms\n", static_cast<unsigned>(worker->Running),
                    static_cast<long long>(std::chrono::milliseconds(StopPatience).count()));
        }
    }
    ++m_Epoch; // the workers still running leave uncounted when they finish
    m_State = State::Stopped;
    m_Workers.clear();
    left = m_Tasks.TakeAll();
}

bool WorkerPool::Push(Task&& task, State weakest)
{
    {
        std::lock_guard lock(m_Lock);
        if (m_State == State::Stopped || (weakest == State::Running && m_State != State::Running))
            return false;
        m_Tasks.PushBack(std::move(task));
    }
    m_TaskReady.notify_one();
    return true;
}

// Throws when no thread can be made.
void WorkerPool::AddWorkerLocked()
{
    m_Workers.reserve(m_Workers.size() + 1);
    std::thread([this, epoch = m_Epoch] { Work(epoch); }).detach();
    m_Workers.push_back(nullptr); // the worker puts its record here (it needs the lock first)
}

void WorkerPool::Work(uint64_t epoch) noexcept
{
    Worker self { epoch };
    std::unique_lock lock(m_Lock);
    if (m_Epoch != epoch)
        return;
    *std::find(m_Workers.begin(), m_Workers.end(), nullptr) = &self;
    t_Worker = &self;
    Sync::SetBlockingObserver(this);
    const auto ready = [&] { return !m_Tasks.Empty() || m_State != State::Running || m_Epoch != epoch; };
    for (;;)
    {
        if (!ready())
        {
            if (RunnableLocked() <= m_Size)
                m_TaskReady.wait(lock, ready);
            else if (!m_TaskReady.wait_for(lock, SpareLinger, ready) && RunnableLocked() > m_Size)
                break; // a spare no longer needed
            continue;
        }
        // Draining ends for a worker when nothing is queued: a worker still running an item
        // runs the turns its queue hands on itself.
        if (m_Epoch != epoch || m_Tasks.Empty())
            break;
        Task task = m_Tasks.PopFront();
        self.Running = task.Id;
        lock.unlock();
        RunTask(std::move(task)); // releases the task's references before the lock is retaken
        lock.lock();
        self.Running = 0;
    }
    Sync::SetBlockingObserver(nullptr);
    t_Worker = nullptr;
    if (m_Epoch == epoch)
    {
        std::erase(m_Workers, &self);
        m_WorkerLeft.notify_all();
    }
}

void WorkerPool::OnBlocking() noexcept
{
    std::lock_guard lock(m_Lock);
    Worker* self = t_Worker;
    if (!self || self->Epoch != m_Epoch || m_State == State::Stopped)
        return;
    self->Blocked = true;
    if (RunnableLocked() >= m_Size)
        return;
    try
    {
        AddWorkerLocked();
    }
    catch (...)
    {
        XEV_TRACE("Workers %zu, Blocked %u, Exception 0x%08X\n", m_Workers.size(), static_cast<unsigned>(m_Workers.size() - RunnableLocked()),
            static_cast<unsigned>(Error::CurrentExceptionResult()));
    }
}

void WorkerPool::OnUnblocked() noexcept
{
    std::lock_guard lock(m_Lock);
    if (Worker* self = t_Worker)
        self->Blocked = false; // one of an earlier epoch is no longer counted anyway
}

// A private (serial) queue: one turn at a time, items in put order.
class WorkQueue : public std::enable_shared_from_this<WorkQueue>
{
public:
    explicit WorkQueue(DWORD id) noexcept : m_Id(id) {}

    // MF_E_SHUTDOWN once closed (the result is then left with the caller).
    HRESULT Put(ComPtr<IAsyncResultInternal>&& result);
    // Runs the oldest item on the calling worker.
    static void RunTurn(std::shared_ptr<WorkQueue> self) noexcept;
    // Refuses later puts and releases the items that have not started; a running item finishes.
    void Close() noexcept;

private:
    const DWORD m_Id;
    std::mutex m_Lock;                               // guards the fields below
    Ring<ComPtr<IAsyncResultInternal>> m_Items; // put and not started
    std::size_t m_Turns = 0;                         // turns handed to the pool and not finished
    bool m_Closed = false;
};

HRESULT WorkQueue::Put(ComPtr<IAsyncResultInternal>&& result)
{
    std::lock_guard lock(m_Lock);
    if (m_Closed)
        return MF_E_SHUTDOWN;
    if (m_Turns == 0)
    {
        if (!WorkerPool::Instance().Continue(Task { nullptr, shared_from_this(), m_Id }))
            return MF_E_SHUTDOWN;
        ++m_Turns;
    }
    // Should this throw, the turn just handed on finds no item and ends.
    m_Items.PushBack(std::move(result));
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
        item = self->m_Items.PopFront();
    }
    InvokeResult(item.Get());
    item = nullptr; // the item held its callback and state until it ran
    std::lock_guard lock(self->m_Lock);
    if (!self->m_Closed && !self->m_Items.Empty())
    {
        try
        {
            if (WorkerPool::Instance().Continue(Task { nullptr, self, self->m_Id }))
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
    Ring<ComPtr<IAsyncResultInternal>> dropped; // released after the lock is let go
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

// Private queues by identifier.
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
    HRESULT Add(DWORD* id);
    // The open queue behind `id`, or null with the failure a put gets.
    std::shared_ptr<WorkQueue> Find(DWORD id, HRESULT* failure) const;
    // Closes the queue: later puts answer MF_E_SHUTDOWN.
    HRESULT Unlock(DWORD id);
    void CloseAll();

private:
    HRESULT MissingLocked(DWORD id) const noexcept
    {
        return id >= FirstPrivateQueue && id < m_NextId ? MF_E_SHUTDOWN : MF_E_INVALID_WORKQUEUE;
    }

    mutable std::shared_mutex m_Lock; // guards the fields below
    std::unordered_map<DWORD, std::shared_ptr<WorkQueue>> m_Queues;
    DWORD m_NextId = FirstPrivateQueue;
    bool m_Open = false;
};

HRESULT QueueRegistry::Add(DWORD* id)
{
    std::unique_lock lock(m_Lock);
    if (!m_Open)
        return MF_E_SHUTDOWN;
    m_Queues.emplace(m_NextId, std::make_shared<WorkQueue>(m_NextId));
    *id = m_NextId++;
    return S_OK;
}

std::shared_ptr<WorkQueue> QueueRegistry::Find(DWORD id, HRESULT* failure) const
{
    std::shared_lock lock(m_Lock);
    if (const auto it = m_Queues.find(id); it != m_Queues.end())
        return it->second;
    *failure = MissingLocked(id);
    return nullptr;
}

HRESULT QueueRegistry::Unlock(DWORD id)
{
    std::shared_ptr<WorkQueue> closing;
    {
        std::unique_lock lock(m_Lock);
        const auto it = m_Queues.find(id);
        if (it == m_Queues.end())
            return MissingLocked(id);
        closing = std::move(it->second);
        m_Queues.erase(it);
    }
    closing->Close();
    return S_OK;
}

void QueueRegistry::CloseAll()
{
    std::unordered_map<DWORD, std::shared_ptr<WorkQueue>> closing;
    {
        std::unique_lock lock(m_Lock);
        m_Open = false;
        closing.swap(m_Queues);
    }
    for (auto& [id, queue] : closing)
        queue->Close();
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
            return pool.Submit(Task { std::move(result), nullptr, queue }) ? S_OK : MF_E_SHUTDOWN;
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

} // namespace MFPlatform

using MFPlatform::ExpectedOutcome;

HRESULT MFPutWorkItem2(DWORD queue, LONG priority, IMFAsyncCallback* callback, IUnknown* state)
{
    // Items of one queue run in put order whatever their priority.
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(callback);
        return ExpectedOutcome(MFPlatform::PutResult(queue, MFPlatform::CreateAsyncResult(nullptr, callback, state)), __FILE__, __LINE__);
    });
}

HRESULT MFAllocateSerialWorkQueue(DWORD targetQueue, DWORD* queue)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(queue);
        XEV_CHECK(MFPlatform::IsStandardQueue(targetQueue), MF_E_INVALID_WORKQUEUE);
        return MFPlatform::QueueRegistry::Instance().Add(queue);
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
