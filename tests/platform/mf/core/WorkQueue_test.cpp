#include "WorkTestSupport.h"

#include "fakes/Support.h"
#include "platform/com/Error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

using namespace WorkTest;

namespace
{
// The item's number, carried as its state object.
struct Ticket final : ComObject<IUnknown>
{
    explicit Ticket(int number) : Number(number) {}
    const int Number;
};
using WorkQueue = PlatformTest;
} // namespace

// Start-ups nest; the last MFShutdown runs every queued item first; a queue of an earlier
// start-up stays shut down.
TEST(WorkQueueStartup, NestingRestartAndTheLastShutdownDrainsQueuedItems)
{
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    EXPECT_HR(MF_E_BAD_STARTUP_VERSION, MFStartup(0x00030070));
    EXPECT_HR(MF_E_PLATFORM_NOT_INITIALIZED, MFShutdown());
    EXPECT_HR(MF_E_SHUTDOWN, Put(MFASYNC_CALLBACK_QUEUE_STANDARD, callback.Get()));
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    ASSERT_HR(S_OK, MFStartup(MF_VERSION, 1));
    const DWORD queue = SerialQueue();
    EXPECT_HR(S_OK, MFShutdown());
    Sync::Event gate(Sync::Event::ResetMode::Manual);
    Block(queue, gate);
    for (int i = 0; i < 100; ++i)
        ASSERT_HR(S_OK, Put(queue, callback.Get()));
    gate.Set();
    EXPECT_HR(S_OK, MFShutdown());
    EXPECT_FALSE(MFPlatform::IsStarted());
    EXPECT_EQ(callback->Invocations(), 100);
    EXPECT_EQ(RefCount(callback.Get()), 1u);
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    EXPECT_TRUE(Fence(MFASYNC_CALLBACK_QUEUE_STANDARD));
    EXPECT_HR(MF_E_SHUTDOWN, Put(queue, callback.Get()));
    EXPECT_HR(S_OK, MFShutdown());
}

TEST(WorkQueueStartup, LastShutdownMayComeFromAWorkItem)
{
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    HRESULT shutdown = E_FAIL;
    Latch ran;
    auto callback = MakeCallback([&](IMFAsyncResult*) { shutdown = MFShutdown(), ran.CountDown(); }); // must not wait for its own worker
    ASSERT_HR(S_OK, Put(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, callback.Get()));
    ASSERT_TRUE(ran.Wait());
    EXPECT_HR(S_OK, shutdown);
    // A new start-up does not pick up the worker that is still finishing that item.
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    EXPECT_TRUE(Fence(SerialQueue()));
    EXPECT_HR(S_OK, MFShutdown());
}

// The last MFShutdown gives up on an item that does not finish within its limit, names the
// item's queue and returns; the item finishes later on its own.
TEST(WorkQueueStartup, LastShutdownGivesUpOnAnItemThatDoesNotFinish)
{
    TestSupport::TraceCapture trace;
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    const DWORD queue = SerialQueue();
    Sync::Event gate(Sync::Event::ResetMode::Manual);
    Latch finished;
    Block(queue, gate, [&] { finished.CountDown(); });
    EXPECT_HR(S_OK, MFShutdown());
    gate.Set();
    ASSERT_TRUE(finished.Wait());
    char name[64];
    std::snprintf(name, sizeof(name), "Queue 0x%08X, an item did not finish", static_cast<unsigned>(queue));
    EXPECT_EQ(trace.LinesContaining(name).size(), 1u);
}

TEST_F(WorkQueue, UnknownQueuesAreRefusedAndSerialQueuesRunAlongsideEachOther)
{
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    for (DWORD queue : { 0u, 8u, 0x7FFFFFFFu })
        EXPECT_HR(MF_E_INVALID_WORKQUEUE, Put(queue, callback.Get())) << queue;
    DWORD queue = 0;
    EXPECT_HR(MF_E_INVALID_WORKQUEUE, MFAllocateSerialWorkQueue(SerialQueue(), &queue));
    EXPECT_HR(MF_E_INVALID_WORKQUEUE, MFUnlockWorkQueue(0x7FFFFFF0));
    // An item waits for one put after it on another queue: both must run at the same time.
    for (DWORD first : { SerialQueue(), DWORD(MFASYNC_CALLBACK_QUEUE_MULTITHREADED) })
    {
        Sync::Event signal(Sync::Event::ResetMode::Manual);
        Latch ran;
        Block(first, signal, [&] { ran.CountDown(); });
        auto setter = MakeCallback([&](IMFAsyncResult*) { signal.Set(); });
        ASSERT_HR(S_OK, Put(first == MFASYNC_CALLBACK_QUEUE_MULTITHREADED ? first : SerialQueue(), setter.Get()));
        ASSERT_TRUE(ran.Wait());
        EXPECT_TRUE(signal.IsSignalled());
    }
}

TEST_F(WorkQueue, SerialQueueRunsItemsOfManyProducersInPutOrderOneAtATime)
{
    constexpr int Producers = 4, ItemsEach = 400;
    const DWORD queue = SerialQueue();
    std::mutex putLock; // makes the ticket order the put order
    int nextTicket = 0;
    std::vector<int> order; // written only by the queue's items
    std::atomic<int> running { 0 }, overlaps { 0 };
    auto callback = MakeCallback([&](IMFAsyncResult* result) {
        overlaps += running.fetch_add(1) != 0;
        order.push_back(static_cast<Ticket*>(result->GetStateNoAddRef())->Number);
        std::this_thread::yield(); // widens the window in which a second item could start
        running.fetch_sub(1);
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < Producers; ++p)
        producers.emplace_back([&] {
            for (int i = 0; i < ItemsEach; ++i)
            {
                std::lock_guard lock(putLock);
                EXPECT_HR(S_OK, MFPutWorkItem2(queue, 0, callback.Get(), Make<Ticket>(nextTicket++).Get()));
            }
        });
    for (auto& producer : producers)
        producer.join();
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(overlaps.load(), 0);
    ASSERT_EQ(order.size(), size_t(Producers * ItemsEach));
    for (int i = 0; i < Producers * ItemsEach; ++i)
        ASSERT_EQ(order[i], i);
}

TEST_F(WorkQueue, UnlockReleasesItemsNotStartedEvenFromAnItemOfItsOwnQueue)
{
    const DWORD queue = SerialQueue();
    Sync::Event gate(Sync::Event::ResetMode::Manual);
    Latch released;
    Block(queue, gate, [&] { released.CountDown(); });
    auto state = Make<Probe>();
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    ASSERT_HR(S_OK, Put(queue, callback.Get(), state.Get()));
    EXPECT_HR(S_OK, MFUnlockWorkQueue(queue)); // while an item runs
    EXPECT_EQ(RefCount(state.Get()), 1u);
    EXPECT_EQ(RefCount(callback.Get()), 1u);
    EXPECT_HR(MF_E_SHUTDOWN, Put(queue, callback.Get()));
    EXPECT_HR(MF_E_SHUTDOWN, MFUnlockWorkQueue(queue));
    gate.Set();
    ASSERT_TRUE(released.Wait()); // the running item is done with the gate

    // An item may unlock its own queue, as a stop operation does; what follows it is dropped.
    const DWORD own = SerialQueue();
    HRESULT unlocked = E_FAIL;
    Latch ran;
    auto stopper = MakeCallback([&](IMFAsyncResult*) { unlocked = MFUnlockWorkQueue(own), ran.CountDown(); });
    ASSERT_HR(S_OK, Put(own, stopper.Get()));
    (void)Put(own, callback.Get()); // refused, or dropped by the unlock
    ASSERT_TRUE(ran.Wait());
    EXPECT_HR(S_OK, unlocked);
    EXPECT_TRUE(Fence(MFASYNC_CALLBACK_QUEUE_STANDARD));
    EXPECT_EQ(callback->Invocations(), 0);
}

TEST_F(WorkQueue, FailingAndThrowingItemsAreReleasedAndDoNotStopTheQueue)
{
    const DWORD queue = SerialQueue();
    auto state = Make<Probe>();
    auto failing = MakeCallback([](IMFAsyncResult*) { return E_FAIL; });
    auto throwing = MakeCallback([](IMFAsyncResult*) -> HRESULT { throw HResultException(E_ABORT, __FILE__, __LINE__); });
    TestSupport::TraceCapture trace;
    ASSERT_HR(S_OK, Put(queue, failing.Get(), state.Get()));
    ASSERT_HR(S_OK, Put(queue, throwing.Get(), state.Get()));
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(failing->Invocations() + throwing->Invocations(), 2);
    EXPECT_EQ(RefCount(failing.Get()) + RefCount(throwing.Get()) + RefCount(state.Get()), 3u);
    EXPECT_EQ(trace.LinesContaining("Exception 0x80004004 left Invoke").size(), 1u);
}
