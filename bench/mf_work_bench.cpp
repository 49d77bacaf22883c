// Costs of the media platform's work paths that every frame takes: an item put on a serial
// queue and run, a waiting item signalled, an event queued and taken.

#include "BenchSupport.h"
#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <functional>
#include <mutex>

namespace
{
// Wakes the benchmark thread when the item it waits for has run.
class Completion
{
public:
    void Signal()
    {
        {
            std::lock_guard lock(m_Lock);
            ++m_Count;
        }
        m_Done.notify_one();
    }
    void WaitFor(long count)
    {
        std::unique_lock lock(m_Lock);
        m_Done.wait(lock, [&] { return m_Count >= count; });
    }

private:
    std::mutex m_Lock; // guards m_Count
    std::condition_variable m_Done;
    long m_Count = 0;
};

class Callback final : public ComObject<IMFAsyncCallback>
{
public:
    Callback(std::function<void(IMFAsyncResult*)> function, DWORD queue) : m_Function(std::move(function)), m_Queue(queue) {}
    HRESULT GetParameters(DWORD* flags, DWORD* queue) override
    {
        *flags = 0;
        *queue = m_Queue;
        return S_OK;
    }
    HRESULT Invoke(IMFAsyncResult* result) override
    {
        m_Function(result);
        return S_OK;
    }

private:
    std::function<void(IMFAsyncResult*)> m_Function;
    DWORD m_Queue;
};

using Platform = Bench::MediaPlatform;

DWORD SerialQueue()
{
    DWORD queue = 0;
    MFAllocateSerialWorkQueue(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &queue);
    return queue;
}

// One item put on a serial queue, run by a worker, and its completion seen by the putter.
void BM_SerialQueuePutAndRun(benchmark::State& state)
{
    Platform platform;
    const DWORD queue = SerialQueue();
    Completion completion;
    auto callback = Make<Callback>([&](IMFAsyncResult*) { completion.Signal(); }, queue);
    long count = 0;
    for (auto _ : state)
    {
        if (MFPutWorkItem2(queue, 0, callback.Get(), nullptr) != S_OK)
        {
            state.SkipWithError("put failed");
            break;
        }
        completion.WaitFor(++count);
    }
    MFUnlockWorkQueue(queue);
}
BENCHMARK(BM_SerialQueuePutAndRun)->UseRealTime();

// Items put back to back on one serial queue: the cost per item when the queue stays busy.
void BM_SerialQueueThroughput(benchmark::State& state)
{
    Platform platform;
    const DWORD queue = SerialQueue();
    Completion completion;
    auto callback = Make<Callback>([&](IMFAsyncResult*) { completion.Signal(); }, queue);
    constexpr long Batch = 1000;
    long count = 0;
    for (auto _ : state)
    {
        for (long i = 0; i < Batch; ++i)
            MFPutWorkItem2(queue, 0, callback.Get(), nullptr);
        completion.WaitFor(count += Batch);
    }
    state.SetItemsProcessed(state.iterations() * Batch);
    MFUnlockWorkQueue(queue);
}
BENCHMARK(BM_SerialQueueThroughput)->UseRealTime();

// A waiting item (its result made per item, as each frame makes one) put on an event, the
// event signalled, the item run on its serial queue.
void BM_WaitingItemSignalled(benchmark::State& state)
{
    Platform platform;
    const DWORD queue = SerialQueue();
    Completion completion;
    auto callback = Make<Callback>([&](IMFAsyncResult*) { completion.Signal(); }, queue);
    Sync::Event event(Sync::Event::ResetMode::Auto);
    long count = 0;
    for (auto _ : state)
    {
        ComPtr<IMFAsyncResult> result;
        MFCreateAsyncResult(nullptr, callback.Get(), nullptr, result.GetAddressOf());
        MFWORKITEM_KEY key = 0;
        if (MFPutWaitingWorkItem(&event, 0, result.Get(), &key) != S_OK)
        {
            state.SkipWithError("put failed");
            break;
        }
        event.Set();
        completion.WaitFor(++count);
    }
    MFUnlockWorkQueue(queue);
}
BENCHMARK(BM_WaitingItemSignalled)->UseRealTime();

// An event queued with a value and taken without waiting, on one thread.
void BM_EventQueuedAndTaken(benchmark::State& state)
{
    ComPtr<IMFMediaEventQueue> events;
    MFCreateEventQueue(events.GetAddressOf());
    PROPVARIANT value;
    InitPropVariantFromUInt32(1, &value);
    for (auto _ : state)
    {
        events->QueueEventParamVar(MEStreamTick, GUID_NULL, S_OK, &value);
        ComPtr<IMFMediaEvent> event;
        if (events->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()) != S_OK)
        {
            state.SkipWithError("no event");
            break;
        }
    }
    events->Shutdown();
}
BENCHMARK(BM_EventQueuedAndTaken);

// An asynchronous request answered by the next event: the reader's callback runs on its serial
// queue and ends the request, as a session reads a media object's events.
void BM_EventAnsweredAsynchronously(benchmark::State& state)
{
    Platform platform;
    const DWORD queue = SerialQueue();
    ComPtr<IMFMediaEventQueue> events;
    MFCreateEventQueue(events.GetAddressOf());
    Completion completion;
    auto callback = Make<Callback>(
        [&](IMFAsyncResult* result) {
            ComPtr<IMFMediaEvent> event;
            events->EndGetEvent(result, event.GetAddressOf());
            completion.Signal();
        },
        queue);
    long count = 0;
    for (auto _ : state)
    {
        events->BeginGetEvent(callback.Get(), nullptr);
        events->QueueEventParamVar(MEStreamTick, GUID_NULL, S_OK, nullptr);
        completion.WaitFor(++count);
    }
    events->Shutdown();
    MFUnlockWorkQueue(queue);
}
BENCHMARK(BM_EventAnsweredAsynchronously)->UseRealTime();

// A scheduled item due at once: the timer thread hands it to its serial queue.
void BM_ScheduledItemDueAtOnce(benchmark::State& state)
{
    Platform platform;
    const DWORD queue = SerialQueue();
    Completion completion;
    auto callback = Make<Callback>([&](IMFAsyncResult*) { completion.Signal(); }, queue);
    long count = 0;
    for (auto _ : state)
    {
        MFScheduleWorkItem(callback.Get(), nullptr, 0, nullptr);
        completion.WaitFor(++count);
    }
    MFUnlockWorkQueue(queue);
}
BENCHMARK(BM_ScheduledItemDueAtOnce)->UseRealTime();
} // namespace
