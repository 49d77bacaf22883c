// The media object framework on the per-frame path: pool acquire/release, running an operation
// (directly and through the serial work queue), and queueing and taking an event. The warm paths
// report their heap allocations per iteration ("allocations"; 0 is the goal).

#include "media/Common/MediaEventGenerator.h"
#include "media/Common/OperationQueue.h"
#include "media/Common/Pool.h"
#include "media/Common/Shutdown.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <vector>

namespace
{
// The heap allocations (operator new) the calling thread makes while this points at a counter.
thread_local std::size_t* t_Allocations = nullptr;
}

// The default operator delete frees with free(), so these stay paired with it.
void* operator new(std::size_t size)
{
    if (t_Allocations)
        ++*t_Allocations;
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }

namespace
{
// Counts the calling thread's allocations while it lives and reports them per iteration.
class AllocationCount
{
public:
    explicit AllocationCount(benchmark::State& state) : m_State(state) { t_Allocations = &m_Count; }
    ~AllocationCount()
    {
        t_Allocations = nullptr;
        m_State.counters["allocations"] = benchmark::Counter(static_cast<double>(m_Count), benchmark::Counter::kAvgIterations);
    }

private:
    benchmark::State& m_State;
    std::size_t m_Count = 0;
};

class Item : public ComObject<IUnknown>
{
};

using DynamicPool = Pool::PoolT<Item, Pool::Strategy::DynamicStrategy>;
using StaticPool = Pool::PoolT<Item, Pool::Strategy::StaticStrategy>;

class Owner : public ComObject<MF::MediaEventGenerator<Owner, MF::MediaPrimitiveTraits>>,
              public MF::ShutdownState<Owner>,
              public MF::OperationQueueImplementation<Owner>
{
public:
    Owner()
    {
        CreateEventQueue();
        CreateCallback();
        AllocateWorkQueue();
    }
    void Close()
    {
        std::unique_lock lock(m_Lock);
        UnlockWorkQueue();
        ReleaseCallback();
        m_EventQueue->Shutdown();
    }
    MF::AsyncCallback* Callback() const { return m_Callback.Get(); }

    mutable std::shared_mutex m_Lock; // guards the shutdown word and the queue members
};

class Signal : public Owner::BaseOperation
{
public:
    explicit Signal(ComPtr<Owner> owner) : BaseOperation(std::move(owner)) {}
    void Run() override { m_Done.Set(); }
    Sync::Event m_Done { Sync::Event::ResetMode::Auto };
};

class Nothing : public Owner::BaseOperation
{
public:
    explicit Nothing(ComPtr<Owner> owner) : BaseOperation(std::move(owner)) {}
    void Run() override { benchmark::ClobberMemory(); }
};

void BM_DynamicPoolAcquireRelease(benchmark::State& state)
{
    auto pool = Make<DynamicPool>(32u);
    AllocationCount allocations(state);
    for (auto _ : state)
    {
        ComPtr<Item> element;
        pool->Acquire(element);
        benchmark::DoNotOptimize(element.Get());
    }
}
BENCHMARK(BM_DynamicPoolAcquireRelease);

void BM_StaticPoolTryAcquireOrWaitRelease(benchmark::State& state)
{
    auto pool = Make<StaticPool>(4u);
    AllocationCount allocations(state);
    for (auto _ : state)
    {
        ComPtr<Item> element;
        bool waiting = false;
        pool->TryAcquireOrWait(element, waiting);
        benchmark::DoNotOptimize(element.Get());
    }
}
BENCHMARK(BM_StaticPoolTryAcquireOrWaitRelease);

// The scan's worst case in a 32-element pool: only the last element is idle.
void BM_DynamicPoolAcquireWhenAllButLastAreHeld(benchmark::State& state)
{
    auto pool = Make<DynamicPool>(32u);
    std::vector<ComPtr<Item>> held(31);
    for (auto& element : held)
        pool->Acquire(element);
    for (auto _ : state)
    {
        ComPtr<Item> element;
        pool->Acquire(element);
        benchmark::DoNotOptimize(element.Get());
    }
}
BENCHMARK(BM_DynamicPoolAcquireWhenAllButLastAreHeld);

// Several threads acquiring and releasing from one pool.
DynamicPool* SharedPool()
{
    static DynamicPool* pool = Make<DynamicPool>(32u).Detach();
    return pool;
}
void BM_DynamicPoolAcquireReleaseContended(benchmark::State& state)
{
    DynamicPool* pool = SharedPool();
    for (auto _ : state)
    {
        ComPtr<Item> element;
        pool->Acquire(element);
        benchmark::DoNotOptimize(element.Get());
    }
}
BENCHMARK(BM_DynamicPoolAcquireReleaseContended)->Threads(2)->UseRealTime();

// The runner without a queue: Invoke, state query, Run.
void BM_OperationInvoke(benchmark::State& state)
{
    MFStartup(MF_VERSION);
    {
        auto owner = Make<Owner>();
        auto operation = Make<Nothing>(owner);
        ComPtr<IMFAsyncResult> result = owner->Callback()->CreateAsyncResult(nullptr, operation->AsUnknown());
        (void)owner->Callback()->Invoke(result.Get()); // warm
        {
            AllocationCount allocations(state);
            for (auto _ : state)
                benchmark::DoNotOptimize(owner->Callback()->Invoke(result.Get()));
        }
        owner->Close();
    }
    MFShutdown();
}
BENCHMARK(BM_OperationInvoke);

// Put on the owner's serial queue and wait until the operation has run (one round trip through
// a worker thread).
void BM_OperationPutAndRun(benchmark::State& state)
{
    MFStartup(MF_VERSION);
    {
        auto owner = Make<Owner>();
        auto operation = Make<Signal>(owner);
        for (auto _ : state)
        {
            owner->Put(operation.Get());
            operation->m_Done.Wait();
        }
        owner->Close();
    }
    MFShutdown();
}
BENCHMARK(BM_OperationPutAndRun)->UseRealTime();

// The owner's QueueEvent (no trace line) and a GetEvent that takes it.
void BM_OwnerQueueEventAndGetEvent(benchmark::State& state)
{
    MFStartup(MF_VERSION);
    {
        auto owner = Make<Owner>();
        for (auto _ : state)
        {
            owner->QueueEvent(MEStreamSinkRequestSample, S_OK);
            ComPtr<IMFMediaEvent> event;
            owner->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf());
            benchmark::DoNotOptimize(event.Get());
        }
        owner->Close();
    }
    MFShutdown();
}
BENCHMARK(BM_OwnerQueueEventAndGetEvent);

// The public QueueEvent, with its trace line, and a GetEvent.
void BM_PublicQueueEventAndGetEvent(benchmark::State& state)
{
    MFStartup(MF_VERSION);
    {
        auto owner = Make<Owner>();
        for (auto _ : state)
        {
            owner->QueueEvent(MEStreamSinkRequestSample, GUID_NULL, S_OK, nullptr);
            ComPtr<IMFMediaEvent> event;
            owner->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf());
            benchmark::DoNotOptimize(event.Get());
        }
        owner->Close();
    }
    MFShutdown();
}
BENCHMARK(BM_PublicQueueEventAndGetEvent);
} // namespace
