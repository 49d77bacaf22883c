#include "WorkTestSupport.h"

#include "fakes/Support.h"
#include "platform/com/Error.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>
#include <vector>

using namespace WorkTest;

namespace
{
// The item's number, carried as its state object.
class Ticket final : public ComObject<IUnknown>
{
public:
    explicit Ticket(int number) : Number(number) {}
    const int Number;
};

int TicketOf(IMFAsyncResult* result)
{
    return static_cast<Ticket*>(result->GetStateNoAddRef())->Number;
}

using WorkQueue = PlatformTest;
} // namespace

TEST(WorkQueueStartup, VersionNestingRestartAndPutsOutsideAStart)
{
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    ASSERT_FALSE(MFPlatform::IsStarted());
    EXPECT_HR(MF_E_BAD_STARTUP_VERSION, MFStartup(0x00030070));
    EXPECT_HR(MF_E_PLATFORM_NOT_INITIALIZED, MFShutdown());
    EXPECT_HR(MF_E_SHUTDOWN, Put(MFASYNC_CALLBACK_QUEUE_STANDARD, callback.Get()));
    DWORD queue = 0;
    EXPECT_HR(MF_E_SHUTDOWN, MFAllocateSerialWorkQueue(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &queue));

    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    ASSERT_HR(S_OK, MFStartup(MF_VERSION, 1));
    ASSERT_HR(S_OK, MFAllocateSerialWorkQueue(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &queue));
    EXPECT_HR(S_OK, MFShutdown());
    // One start-up is left: everything still works.
    EXPECT_TRUE(Fence(queue));
    EXPECT_HR(S_OK, MFShutdown());
    EXPECT_FALSE(MFPlatform::IsStarted());
    EXPECT_HR(MF_E_SHUTDOWN, Put(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, callback.Get()));

    // A new start-up works; a queue of the earlier one stays shut down.
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    EXPECT_TRUE(Fence(MFASYNC_CALLBACK_QUEUE_STANDARD));
    EXPECT_HR(MF_E_SHUTDOWN, Put(queue, callback.Get()));
    EXPECT_HR(S_OK, MFShutdown());
    EXPECT_EQ(RefCount(callback.Get()), 1u);
}

TEST(WorkQueueStartup, LastShutdownRunsHooksWhileWorkStillRunsThenDrainsQueuedItems)
{
    // Hooks stay registered for the rest of the program: these record into state they share.
    struct Record
    {
        std::vector<int> HooksRun;
        HRESULT PutFromHook = E_FAIL;
        bool HookItemRan = false;
    };
    auto record = std::make_shared<Record>();
    MFPlatform::RegisterShutdownHook([record] {
        record->HooksRun.push_back(1);
        Latch ran;
        auto callback = MakeCallback([&](IMFAsyncResult*) { ran.CountDown(); });
        record->PutFromHook = Put(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, callback.Get());
        record->HookItemRan = SUCCEEDED(record->PutFromHook) && ran.Wait();
    });
    MFPlatform::RegisterShutdownHook([record] { record->HooksRun.push_back(2); });

    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    EXPECT_HR(S_OK, MFShutdown());
    EXPECT_TRUE(record->HooksRun.empty());

    // Items queued behind a blocked one all run before the last MFShutdown returns.
    DWORD queue = SerialQueue();
    Sync::Event gate(Sync::Event::ResetMode::Manual);
    Block(queue, gate);
    std::atomic<int> ran { 0 };
    auto counter = MakeCallback([&](IMFAsyncResult*) { ran.fetch_add(1); });
    for (int i = 0; i < 100; ++i)
        ASSERT_HR(S_OK, Put(queue, counter.Get()));
    gate.Set();
    EXPECT_HR(S_OK, MFShutdown());

    EXPECT_EQ(record->HooksRun, (std::vector<int> { 1, 2 }));
    EXPECT_HR(S_OK, record->PutFromHook);
    EXPECT_TRUE(record->HookItemRan);
    EXPECT_EQ(ran.load(), 100);
    EXPECT_EQ(RefCount(counter.Get()), 1u);
}

TEST(WorkQueueStartup, LastShutdownMayComeFromAWorkItem)
{
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    HRESULT shutdown = E_FAIL;
    Latch ran;
    auto callback = MakeCallback([&](IMFAsyncResult*) {
        shutdown = MFShutdown(); // must not wait for its own worker
        ran.CountDown();
    });
    ASSERT_HR(S_OK, Put(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, callback.Get()));
    ASSERT_TRUE(ran.Wait());
    EXPECT_HR(S_OK, shutdown);
    EXPECT_FALSE(MFPlatform::IsStarted());
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
    auto callback = MakeCallback([&](IMFAsyncResult*) { gate.Wait(PatienceMilliseconds), finished.CountDown(); });
    ASSERT_HR(S_OK, Put(queue, callback.Get()));
    EXPECT_HR(S_OK, MFShutdown());
    gate.Set();
    ASSERT_TRUE(finished.Wait());
    char name[64];
    std::snprintf(name, sizeof(name), "Queue 0x%08X, an item did not finish", static_cast<unsigned>(queue));
    EXPECT_EQ(trace.LinesContaining(name).size(), 1u);
}

TEST_F(WorkQueue, StandardQueuesRunItemsAndUnknownQueuesAreRefused)
{
    Latch ran(7);
    auto callback = MakeCallback([&](IMFAsyncResult*) { ran.CountDown(); });
    for (DWORD queue = MFASYNC_CALLBACK_QUEUE_STANDARD; queue <= MFASYNC_CALLBACK_QUEUE_LONG_FUNCTION; ++queue)
        EXPECT_HR(S_OK, MFPutWorkItem2(queue, 0, callback.Get(), nullptr)) << queue;
    EXPECT_TRUE(ran.Wait());

    for (DWORD queue : { 0u, 8u, 0xFFFFu, 0x7FFFFFFFu })
        EXPECT_HR(MF_E_INVALID_WORKQUEUE, Put(queue, callback.Get())) << queue;
    DWORD queue = 0;
    EXPECT_HR(MF_E_INVALID_WORKQUEUE, MFAllocateSerialWorkQueue(0, &queue));
    EXPECT_HR(MF_E_INVALID_WORKQUEUE, MFAllocateSerialWorkQueue(SerialQueue(), &queue));
    EXPECT_HR(MF_E_INVALID_WORKQUEUE, MFUnlockWorkQueue(0x7FFFFFF0));
}

TEST_F(WorkQueue, SerialQueueRunsItemsOfManyProducersInPutOrderOneAtATime)
{
    constexpr int Producers = 8, ItemsEach = 400;
    const DWORD queue = SerialQueue();
    std::mutex putLock; // makes the ticket order the put order
    int nextTicket = 0;
    std::vector<int> order; // written only by the queue's items
    std::atomic<int> running { 0 }, overlaps { 0 };
    Latch done;
    auto callback = MakeCallback([&](IMFAsyncResult* result) {
        if (running.fetch_add(1) != 0)
            overlaps.fetch_add(1);
        order.push_back(TicketOf(result));
        std::this_thread::yield(); // widens the window in which a second item could start
        running.fetch_sub(1);
        if (order.size() == Producers * ItemsEach)
            done.CountDown();
    });
    std::vector<std::thread> producers;
    for (int p = 0; p < Producers; ++p)
        producers.emplace_back([&] {
            for (int i = 0; i < ItemsEach; ++i)
            {
                std::lock_guard lock(putLock);
                auto ticket = Make<Ticket>(nextTicket++);
                EXPECT_HR(S_OK, MFPutWorkItem2(queue, 0, callback.Get(), ticket.Get()));
            }
        });
    for (auto& producer : producers)
        producer.join();
    ASSERT_TRUE(done.Wait());
    EXPECT_EQ(overlaps.load(), 0);
    ASSERT_EQ(order.size(), size_t(Producers * ItemsEach));
    for (int i = 0; i < Producers * ItemsEach; ++i)
        ASSERT_EQ(order[i], i);
}

TEST_F(WorkQueue, SerialQueuesRunAlongsideEachOther)
{
    // An item waits for one put after it; it succeeds only when both can run at the same time.
    auto waitsForTheNext = [](DWORD first, DWORD second) {
        Sync::Event signal(Sync::Event::ResetMode::Manual);
        Latch ran;
        bool sawSignal = false;
        auto waiter = MakeCallback([&](IMFAsyncResult*) {
            sawSignal = signal.Wait(PatienceMilliseconds);
            ran.CountDown();
        });
        auto setter = MakeCallback([&](IMFAsyncResult*) { signal.Set(); });
        EXPECT_HR(S_OK, Put(first, waiter.Get()));
        EXPECT_HR(S_OK, Put(second, setter.Get()));
        EXPECT_TRUE(ran.Wait());
        return sawSignal;
    };
    EXPECT_TRUE(waitsForTheNext(SerialQueue(), SerialQueue()));
    EXPECT_TRUE(waitsForTheNext(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, MFASYNC_CALLBACK_QUEUE_MULTITHREADED));
}

TEST_F(WorkQueue, UnlockReleasesItemsNotStartedAndRefusesLaterPuts)
{
    const DWORD queue = SerialQueue();
    Sync::Event gate(Sync::Event::ResetMode::Manual);
    Block(queue, gate);
    auto state = Make<Probe>();
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    ASSERT_HR(S_OK, Put(queue, callback.Get(), state.Get()));
    ASSERT_HR(S_OK, Put(queue, callback.Get(), state.Get()));
    EXPECT_EQ(RefCount(state.Get()), 3u);
    EXPECT_HR(S_OK, MFUnlockWorkQueue(queue)); // while an item runs
    EXPECT_EQ(RefCount(state.Get()), 1u);
    EXPECT_EQ(RefCount(callback.Get()), 1u);
    EXPECT_HR(MF_E_SHUTDOWN, Put(queue, callback.Get()));
    EXPECT_HR(MF_E_SHUTDOWN, MFUnlockWorkQueue(queue));
    gate.Set();
    EXPECT_TRUE(Fence(MFASYNC_CALLBACK_QUEUE_STANDARD));
    EXPECT_EQ(callback->Invocations(), 0);

    // An item may unlock its own queue, as a stop operation does; what follows it is dropped.
    const DWORD own = SerialQueue();
    HRESULT unlocked = E_FAIL;
    Latch ran;
    auto stopper = MakeCallback([&](IMFAsyncResult*) {
        unlocked = MFUnlockWorkQueue(own);
        ran.CountDown();
    });
    ASSERT_HR(S_OK, Put(own, stopper.Get()));
    (void)Put(own, callback.Get()); // refused, or dropped by the unlock
    ASSERT_TRUE(ran.Wait());
    EXPECT_HR(S_OK, unlocked);
    EXPECT_TRUE(Fence(MFASYNC_CALLBACK_QUEUE_STANDARD));
    EXPECT_EQ(callback->Invocations(), 0);
}

TEST_F(WorkQueue, PutItemHoldsCallbackAndStateUntilItRanAndFailuresDoNotStopTheQueue)
{
    const DWORD queue = SerialQueue();
    Sync::Event gate(Sync::Event::ResetMode::Manual);
    Block(queue, gate);
    auto state = Make<Probe>();
    auto failing = MakeCallback([](IMFAsyncResult*) { return E_FAIL; });
    auto throwing = MakeCallback([](IMFAsyncResult*) -> HRESULT { throw HResultException(E_ABORT, __FILE__, __LINE__); });
    ASSERT_HR(S_OK, Put(queue, failing.Get(), state.Get()));
    ASSERT_HR(S_OK, Put(queue, throwing.Get(), state.Get()));
    EXPECT_EQ(RefCount(failing.Get()), 2u);
    EXPECT_EQ(RefCount(state.Get()), 3u);

    TestSupport::TraceCapture trace;
    gate.Set();
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(failing->Invocations(), 1);
    EXPECT_EQ(throwing->Invocations(), 1);
    EXPECT_EQ(RefCount(failing.Get()), 1u);
    EXPECT_EQ(RefCount(throwing.Get()), 1u);
    EXPECT_EQ(RefCount(state.Get()), 1u);
    EXPECT_EQ(trace.LinesContaining("Exception 0x80004004 left Invoke").size(), 1u);
}
