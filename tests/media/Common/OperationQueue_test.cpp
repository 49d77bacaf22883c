#include "media/Common/OperationQueue.h"

#include "media/Common/MediaEventGenerator.h"
#include "media/Common/Shutdown.h"

#include "fakes/Platform.h"

#include <atomic>
#include <functional>
#include <numeric>
#include <shared_mutex>
#include <vector>

namespace OperationTest
{
std::atomic<int> g_OwnersDestroyed { 0 };
std::atomic<int> g_StepsLive { 0 };

// A media object with an event generator and its own serial queue, as the source and the
// transform have.
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
    ~Owner() override { ++g_OwnersDestroyed; }

    // What the owner's Shutdown does with its queue, in order.
    void Close()
    {
        std::unique_lock lock(m_Lock);
        UnlockWorkQueue();
        ReleaseCallback();
        m_EventQueue->Shutdown();
    }
    // Runs an operation on this thread through the owner's callback, as the work queue does.
    std::pair<HRESULT, HRESULT> Invoke(IUnknown* operation)
    {
        ComPtr<IMFAsyncResult> result = m_Callback->CreateAsyncResult(nullptr, operation);
        const HRESULT hr = m_Callback->Invoke(result.Get());
        return { hr, result->GetStatus() };
    }

    using MediaEventGenerator::m_EventQueue;
    mutable std::shared_mutex m_Lock; // guards the shutdown word and the queue members
};

// An operation that runs a test's function.
class Step : public Owner::BaseOperation
{
public:
    Step(ComPtr<Owner> owner, std::function<void()> run) : BaseOperation(std::move(owner)), m_Run(std::move(run)) { ++g_StepsLive; }
    ~Step() override { --g_StepsLive; }
    void Run() override { m_Run(); }
    std::function<void()> m_Run;
};

// An operation whose failure report itself fails.
struct UnreportableStep : Step { using Step::Step; void OnFailure(HRESULT) override { XEV_FAIL(E_ACCESSDENIED); } };

class OperationQueueTest : public TestSupport::PlatformTest
{
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        g_OwnersDestroyed = g_StepsLive = 0;
    }
};
} // namespace OperationTest

using namespace OperationTest;

// A throwing function's status is seen through the owner's callback
// (OperationQueueTest.RunnerResultsForBadStatesAndFailuresThatCannotBeReported).
TEST(AsyncCallback, InvokeResultsAndStatus)
{
    auto callback = Make<MF::AsyncCallback>();
    EXPECT_EQ(callback->Invoke(nullptr), E_INVALIDARG);
    ComPtr<IMFAsyncResult> result = callback->CreateAsyncResult(nullptr, nullptr);
    // Without a function Invoke does nothing, not even to the status.
    ASSERT_EQ(result->SetStatus(E_ABORT), S_OK);
    EXPECT_EQ(callback->Invoke(result.Get()), S_FALSE);
    EXPECT_EQ(result->GetStatus(), E_ABORT);
    // A function may replace itself while it runs: the running copy stays whole.
    int runs = 0;
    callback->SetFunction([&](MF::AsyncCallback* self, IMFAsyncResult*) { self->SetFunction(nullptr), ++runs; });
    EXPECT_EQ(callback->Invoke(result.Get()), S_OK);
    EXPECT_EQ(callback->Invoke(result.Get()), S_FALSE);
    EXPECT_EQ(runs, 1);
}

// The first operation fails once all are on the queue: its failure becomes one MEError event and
// the others still run, one at a time, in the order put.
TEST_F(OperationQueueTest, OperationsRunOneAtATimeInOrderAndAFailureBecomesAnErrorEvent)
{
    auto owner = Make<Owner>();
    constexpr int Count = 200;
    std::vector<int> order;
    std::atomic<int> active { 0 }, overlaps { 0 };
    Sync::Event allPut(Sync::Event::ResetMode::Manual), done(Sync::Event::ResetMode::Manual);
    ASSERT_TRUE(owner->Put(Make<Step>(owner, [&] {
        ASSERT_TRUE(allPut.Wait(TestSupport::PatienceMilliseconds));
        XEV_FAIL(E_FAIL);
    }).Get()));
    for (int i = 1; i < Count; ++i)
        ASSERT_TRUE(owner->Put(Make<Step>(owner, [&, i] {
            overlaps += active.fetch_add(1) != 0;
            order.push_back(i);
            active.fetch_sub(1);
            if (i == Count - 1)
                done.Set();
        }).Get()));
    allPut.Set();
    ASSERT_TRUE(done.Wait(TestSupport::PatienceMilliseconds));
    EXPECT_EQ(overlaps.load(), 0);
    std::vector<int> expected(Count - 1);
    std::iota(expected.begin(), expected.end(), 1);
    EXPECT_EQ(order, expected);

    ComPtr<IMFMediaEvent> event;
    ASSERT_EQ(owner->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()), S_OK);
    MediaEventType type = MEUnknown;
    HRESULT status = S_OK;
    EXPECT_EQ(event->GetType(&type) | event->GetStatus(&status), S_OK);
    EXPECT_EQ(std::pair(type, status), (std::pair<MediaEventType, HRESULT>(MEError, E_FAIL)));
    EXPECT_EQ(owner->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()), MF_E_NO_EVENTS_AVAILABLE);
    owner->Close();
}

TEST_F(OperationQueueTest, RunnerResultsForBadStatesAndFailuresThatCannotBeReported)
{
    auto owner = Make<Owner>();
    using Results = std::pair<HRESULT, HRESULT>; // Invoke's result, the work item's status
    EXPECT_EQ(owner->Invoke(Make<MF::AsyncCallback>()->AsUnknown()), Results(E_NOINTERFACE, E_NOINTERFACE));
    EXPECT_EQ(owner->Invoke(nullptr).first, E_POINTER);
    // With the owner's event queue shut down the MEError is dropped quietly, and an operation
    // without an owner reports nothing.
    owner->m_EventQueue->Shutdown();
    EXPECT_EQ(owner->Invoke(Make<Step>(owner, [] { XEV_FAIL(E_FAIL); })->AsUnknown()).first, S_OK);
    EXPECT_EQ(owner->Invoke(Make<Step>(nullptr, [] { XEV_FAIL(E_FAIL); })->AsUnknown()).first, S_OK);
    // A failure report that fails is the work item's failure.
    EXPECT_EQ(owner->Invoke(Make<UnreportableStep>(owner, [] { XEV_FAIL(E_FAIL); })->AsUnknown()), Results(E_ACCESSDENIED, E_ACCESSDENIED));
    owner->Close();
}

// Scheduled and waiting operations run once; a cancelled one is released. After the queue was
// unlocked or the callback released, puts report false and drop the operation, and the callback
// no longer holds the owner.
TEST_F(OperationQueueTest, ScheduledWaitingCancelledAndRefusedOperations)
{
    auto owner = Make<Owner>();
    MFWORKITEM_KEY key = 0;
    std::atomic<int> runs { 0 };
    ASSERT_TRUE(owner->Schedule(Make<Step>(owner, [&] { ++runs; }).Get(), -600000, &key));
    EXPECT_EQ(g_StepsLive.load(), 1);
    EXPECT_EQ(MFCancelWorkItem(key), S_OK);
    EXPECT_EQ(g_StepsLive.load(), 0);

    Sync::Event ran(Sync::Event::ResetMode::Auto), trigger(Sync::Event::ResetMode::Auto);
    const auto run = [&] { ++runs, ran.Set(); };
    ASSERT_TRUE(owner->Schedule(Make<Step>(owner, run).Get(), -1, &key));
    ASSERT_TRUE(ran.Wait(TestSupport::PatienceMilliseconds));
    ASSERT_TRUE(owner->PutWaiting(&trigger, Make<Step>(owner, run).Get(), &key));
    EXPECT_EQ(runs.load(), 1);
    trigger.Set();
    ASSERT_TRUE(ran.Wait(TestSupport::PatienceMilliseconds));
    trigger.Set(); // a further signal finds no waiter: the event keeps it
    EXPECT_TRUE(trigger.Wait(0));
    EXPECT_EQ(runs.load(), 2);

    // The work items let go of the steps that ran just after running them.
    ASSERT_TRUE(TestSupport::WaitUntil([] { return g_StepsLive == 0; }));
    EXPECT_EQ(TestSupport::RefCount(owner->AsUnknown()), 2u); // the caller's and the callback function's
    {
        std::unique_lock lock(owner->m_Lock);
        owner->UnlockWorkQueue();
        EXPECT_FALSE(owner->Put(Make<Step>(owner, run).Get()));
        EXPECT_FALSE(owner->PutWaiting(&trigger, Make<Step>(owner, run).Get(), &key));
    }
    owner->Close();
    EXPECT_FALSE(owner->Put(Make<Step>(owner, run).Get()));
    EXPECT_FALSE(owner->Schedule(Make<Step>(owner, run).Get(), -1, &key));
    EXPECT_EQ(g_StepsLive.load(), 0);
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(TestSupport::RefCount(owner->AsUnknown()), 1u);
    owner = nullptr;
    EXPECT_EQ(g_OwnersDestroyed.load(), 1);
}
