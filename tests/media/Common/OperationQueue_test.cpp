#include "media/Common/OperationQueue.h"

#include "media/Common/MediaEventGenerator.h"
#include "media/Common/Pool.h"
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
    HRESULT Invoke(IUnknown* operation, HRESULT* status = nullptr)
    {
        ComPtr<IMFAsyncResult> result = m_Callback->CreateAsyncResult(nullptr, operation);
        const HRESULT hr = m_Callback->Invoke(result.Get());
        if (status)
            *status = result->GetStatus();
        return hr;
    }

    using OperationQueueImplementation::m_Callback;
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

// A pooled operation, as the source stream's composition is: it gets its owner when handed out
// and drops it when it goes back, so that an idle operation holds nothing.
class PooledStep : public Owner::BaseOperation
{
public:
    void Run() override
    {
        ++m_Runs;
        if (m_Done)
            m_Done->Set();
    }

    std::atomic<int> m_Runs { 0 };
    Sync::Event* m_Done = nullptr;
    int m_Returns = 0;

protected:
    void OnReturnToPool()
    {
        ++m_Returns;
        m_Owner = nullptr;
        m_Done = nullptr;
    }
};

class OperationQueueTest : public TestSupport::PlatformTest
{
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        g_OwnersDestroyed = 0;
        g_StepsLive = 0;
    }
};
} // namespace OperationTest

using namespace OperationTest;

TEST(AsyncCallback, InvokeResultsAndStatus)
{
    auto callback = Make<MF::AsyncCallback>();
    EXPECT_EQ(callback->Invoke(nullptr), E_INVALIDARG);
    ComPtr<IMFAsyncResult> result = callback->CreateAsyncResult(nullptr, nullptr);
    // Without a function Invoke does nothing, not even to the status.
    ASSERT_EQ(result->SetStatus(E_ABORT), S_OK);
    EXPECT_EQ(callback->Invoke(result.Get()), S_FALSE);
    EXPECT_EQ(result->GetStatus(), E_ABORT);

    // A throwing function sets the status to its HRESULT, which Invoke returns.
    callback->SetFunction([](MF::AsyncCallback*, IMFAsyncResult*) { XEV_FAIL(MF_E_INVALIDREQUEST); });
    EXPECT_EQ(callback->Invoke(result.Get()), MF_E_INVALIDREQUEST);
    EXPECT_EQ(result->GetStatus(), MF_E_INVALIDREQUEST);

    // A function that succeeds leaves the status alone, and may replace itself while it runs.
    ASSERT_EQ(result->SetStatus(S_OK), S_OK);
    int runs = 0;
    callback->SetFunction([&](MF::AsyncCallback* self, IMFAsyncResult*) {
        self->SetFunction(nullptr);
        ++runs; // the running copy is still whole
    });
    EXPECT_EQ(callback->Invoke(result.Get()), S_OK);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(result->GetStatus(), S_OK);
    EXPECT_EQ(callback->Invoke(result.Get()), S_FALSE);
}

TEST_F(OperationQueueTest, OperationsRunOneAtATimeInTheOrderPut)
{
    auto owner = Make<Owner>();
    constexpr int Count = 200;
    std::vector<int> order;
    std::atomic<int> active { 0 }, overlaps { 0 };
    Sync::Event done(Sync::Event::ResetMode::Manual);
    for (int i = 0; i < Count; ++i)
    {
        auto step = Make<Step>(owner, [&, i] {
            overlaps += active.fetch_add(1) != 0;
            order.push_back(i);
            active.fetch_sub(1);
            if (i == Count - 1)
                done.Set();
        });
        ASSERT_TRUE(owner->Put(step.Get()));
    }
    ASSERT_TRUE(done.Wait(TestSupport::PatienceMilliseconds));
    EXPECT_EQ(overlaps.load(), 0);
    std::vector<int> expected(Count);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(order, expected);
    owner->Close();
}

TEST_F(OperationQueueTest, FailedOperationBecomesAnErrorEventAndTheNextOneStillRuns)
{
    auto owner = Make<Owner>();
    Sync::Event firstRunning(Sync::Event::ResetMode::Manual), secondPut(Sync::Event::ResetMode::Manual),
        secondRan(Sync::Event::ResetMode::Manual);
    // The second operation is already waiting on the queue when the first one fails.
    auto first = Make<Step>(owner, [&] {
        firstRunning.Set();
        ASSERT_TRUE(secondPut.Wait(TestSupport::PatienceMilliseconds));
        XEV_FAIL(E_FAIL);
    });
    auto second = Make<Step>(owner, [&] { secondRan.Set(); });
    ASSERT_TRUE(owner->Put(first.Get()));
    ASSERT_TRUE(firstRunning.Wait(TestSupport::PatienceMilliseconds));
    ASSERT_TRUE(owner->Put(second.Get()));
    secondPut.Set();
    ASSERT_TRUE(secondRan.Wait(TestSupport::PatienceMilliseconds));

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
    HRESULT status = S_OK;
    EXPECT_EQ(owner->Invoke(Make<MF::AsyncCallback>()->AsUnknown(), &status), E_NOINTERFACE);
    EXPECT_EQ(status, E_NOINTERFACE);
    EXPECT_EQ(owner->Invoke(nullptr), E_POINTER);
    // With the owner's event queue shut down the MEError is dropped quietly, and an operation
    // without an owner reports nothing.
    owner->m_EventQueue->Shutdown();
    EXPECT_EQ(owner->Invoke(Make<Step>(owner, [] { XEV_FAIL(E_FAIL); })->AsUnknown()), S_OK);
    EXPECT_EQ(owner->Invoke(Make<Step>(nullptr, [] { XEV_FAIL(E_FAIL); })->AsUnknown()), S_OK);
    // A failure report that fails is the work item's failure.
    EXPECT_EQ(owner->Invoke(Make<UnreportableStep>(owner, [] { XEV_FAIL(E_FAIL); })->AsUnknown(), &status), E_ACCESSDENIED);
    EXPECT_EQ(status, E_ACCESSDENIED);
    owner->Close();
}

TEST_F(OperationQueueTest, PutAfterTheQueueWasUnlockedOrTheCallbackReleasedReportsFalseAndDropsTheOperation)
{
    auto owner = Make<Owner>();
    bool ran = false;
    {
        auto step = Make<Step>(owner, [&] { ran = true; });
        std::unique_lock lock(owner->m_Lock);
        owner->UnlockWorkQueue();
        EXPECT_FALSE(owner->Put(step.Get()));
        MFWORKITEM_KEY key = 0;
        Sync::Event never(Sync::Event::ResetMode::Manual);
        EXPECT_FALSE(owner->PutWaiting(&never, step.Get(), &key));
    }
    EXPECT_FALSE(ran);
    EXPECT_EQ(g_StepsLive.load(), 0);
    owner->Close();
    auto late = Make<Step>(owner, [] {});
    EXPECT_FALSE(owner->Put(late.Get()));
    MFWORKITEM_KEY key = 0;
    EXPECT_FALSE(owner->Schedule(late.Get(), -1, &key));
}

TEST_F(OperationQueueTest, ScheduledAndWaitingOperationsRunOnceACancelledOneIsReleased)
{
    auto owner = Make<Owner>();
    MFWORKITEM_KEY key = 0;
    std::atomic<int> runs { 0 };
    ASSERT_TRUE(owner->Schedule(Make<Step>(owner, [&] { ++runs; }).Get(), -600000, &key));
    EXPECT_EQ(g_StepsLive.load(), 1);
    EXPECT_EQ(MFCancelWorkItem(key), S_OK);
    EXPECT_EQ(g_StepsLive.load(), 0);

    Sync::Event ran(Sync::Event::ResetMode::Auto), trigger(Sync::Event::ResetMode::Auto);
    auto run = [&] {
        ++runs;
        ran.Set();
    };
    ASSERT_TRUE(owner->Schedule(Make<Step>(owner, run).Get(), -1, &key));
    EXPECT_NE(key, 0u);
    ASSERT_TRUE(ran.Wait(TestSupport::PatienceMilliseconds));
    ASSERT_TRUE(owner->PutWaiting(&trigger, Make<Step>(owner, run).Get(), &key));
    EXPECT_EQ(runs.load(), 1);
    trigger.Set();
    ASSERT_TRUE(ran.Wait(TestSupport::PatienceMilliseconds));
    // A further signal finds no waiter: the event keeps it.
    trigger.Set();
    EXPECT_TRUE(trigger.Wait(0));
    EXPECT_EQ(runs.load(), 2);
    owner->Close();
}

TEST_F(OperationQueueTest, PooledOperationGoesBackToItsPoolOnceTheQueueIsDoneWithIt)
{
    auto owner = Make<Owner>();
    auto pool = Make<Pool::PoolT<PooledStep, Pool::Strategy::DynamicStrategy>>(2u);
    Sync::Event done(Sync::Event::ResetMode::Auto);
    for (int round = 0; round < 50; ++round)
    {
        ComPtr<PooledStep> step;
        ASSERT_TRUE(pool->Acquire(step));
        step->SetOwner(owner);
        step->m_Done = &done;
        ASSERT_TRUE(owner->Put(step.Get()));
        // The work queue holds the operation now; it goes back when the queue lets go.
        step = nullptr;
        ASSERT_TRUE(done.Wait(TestSupport::PatienceMilliseconds));
    }
    // The work item drops its reference after the run (the next round may find that operation
    // still held and take another one): wait, bounded, until every operation is back.
    const auto allIdle = [&] {
        for (const auto& element : pool->GetElements())
            if (static_cast<Pool::ElementT<PooledStep>*>(element.Get())->IsInUse())
                return false;
        return true;
    };
    ASSERT_TRUE(TestSupport::WaitUntil(allIdle));
    int runs = 0, returns = 0;
    for (const auto& element : pool->GetElements())
    {
        runs += element->m_Runs.load();
        returns += element->m_Returns;
        EXPECT_EQ(element->GetOwner(), nullptr);
    }
    EXPECT_EQ(runs, 50);
    EXPECT_EQ(returns, 50);
    owner->Close();
}

TEST_F(OperationQueueTest, CallbackHoldsTheOwnerUntilReleased)
{
    {
        auto owner = Make<Owner>();
        // The caller's reference and the callback function's.
        EXPECT_EQ(TestSupport::RefCount(owner->AsUnknown()), 2u);
        owner->Close();
        EXPECT_EQ(TestSupport::RefCount(owner->AsUnknown()), 1u);
    }
    EXPECT_EQ(g_OwnersDestroyed.load(), 1);
}
