#include "media/Common/Pool.h"

#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace
{
std::atomic<int> g_Live { 0 };

// A pooled object: counts the live ones, and marks who holds it so that a double hand-out shows.
class Thing : public ComObject<IUnknown>
{
public:
    Thing() { ++g_Live; }
    ~Thing() override { --g_Live; }

    std::atomic<bool> m_Held { false };
    int m_Value = 0;
};

// A pooled object with a return step.
class Returning : public ComObject<IUnknown>
{
public:
    Returning() { ++g_Live; }
    ~Returning() override { --g_Live; }

    void OnReturnToPool()
    {
        ++m_Returns;
        m_InUseDuringReturn = static_cast<Pool::ElementT<Returning>*>(this)->IsInUse();
        if (m_FailReturn)
            XEV_FAIL(E_FAIL);
    }

    int m_Returns = 0;
    bool m_InUseDuringReturn = false;
    bool m_FailReturn = false;
};

using DynamicPool = Pool::PoolT<Thing, Pool::Strategy::DynamicStrategy>;
using StaticPool = Pool::PoolT<Thing, Pool::Strategy::StaticStrategy>;

// The elements in creation order, as plain pointers: GetElements' references must not outlive
// the look (an element goes back only when its count falls to the pool's own reference).
template <class P>
std::vector<IUnknown*> ElementsOf(P& pool)
{
    std::vector<IUnknown*> raw;
    for (const auto& element : pool->GetElements())
        raw.push_back(element.Get());
    return raw;
}

// The reference count of an object (AddRef then Release).
ULONG CountOf(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

class PoolTest : public ::testing::Test
{
protected:
    void SetUp() override { g_Live = 0; }
    // Every element goes with its pool once owner and users have let go.
    void TearDown() override { EXPECT_EQ(g_Live.load(), 0); }
};
} // namespace

TEST_F(PoolTest, DynamicPoolGrowsByOneWhenAllAreHeldAndKeepsTheNewElement)
{
    auto pool = Make<DynamicPool>(32u);
    EXPECT_EQ(pool->GetElementCount(), 32u);
    EXPECT_EQ(g_Live.load(), 32);

    std::vector<ComPtr<Thing>> held(33);
    for (int i = 0; i < 32; ++i)
        ASSERT_TRUE(pool->Acquire(held[i]));
    EXPECT_EQ(pool->GetElementCount(), 32u);
    ASSERT_TRUE(pool->Acquire(held[32]));
    EXPECT_EQ(pool->GetElementCount(), 33u);
    EXPECT_EQ(g_Live.load(), 33);
    // 33 different elements.
    for (int i = 0; i < 33; ++i)
        for (int j = i + 1; j < 33; ++j)
            ASSERT_NE(held[i].Get(), held[j].Get());

    held.clear();
    // All 33 are idle: 33 TryAcquires succeed, the 34th finds none.
    std::vector<ComPtr<Thing>> again(34);
    for (int i = 0; i < 33; ++i)
        ASSERT_TRUE(pool->TryAcquire(again[i])) << i;
    EXPECT_FALSE(pool->TryAcquire(again[33]));
    EXPECT_EQ(again[33], nullptr);
    EXPECT_EQ(pool->GetElementCount(), 33u);
}

TEST_F(PoolTest, FirstIdleElementInCreationOrderWins)
{
    auto pool = Make<DynamicPool>(4u);
    const auto elements = ElementsOf(pool);
    ComPtr<Thing> a, b, c;
    ASSERT_TRUE(pool->Acquire(a));
    ASSERT_TRUE(pool->Acquire(b));
    ASSERT_TRUE(pool->Acquire(c));
    EXPECT_EQ(a->AsUnknown(), elements[0]);
    EXPECT_EQ(b->AsUnknown(), elements[1]);
    EXPECT_EQ(c->AsUnknown(), elements[2]);

    b = nullptr;
    ComPtr<Thing> next;
    ASSERT_TRUE(pool->Acquire(next));
    EXPECT_EQ(next->AsUnknown(), elements[1]);

    next = nullptr;
    a = nullptr;
    ASSERT_TRUE(pool->Acquire(next));
    EXPECT_EQ(next->AsUnknown(), elements[0]);
}

TEST_F(PoolTest, TryAcquireReplacesWhatTheOutParameterHeld)
{
    auto pool = Make<StaticPool>(2u);
    const auto elements = ElementsOf(pool);
    ComPtr<Thing> out;
    ASSERT_TRUE(pool->TryAcquire(out));
    EXPECT_EQ(out->AsUnknown(), elements[0]);
    // The second element is handed out and the first goes back.
    ASSERT_TRUE(pool->TryAcquire(out));
    EXPECT_EQ(out->AsUnknown(), elements[1]);
    EXPECT_FALSE(static_cast<Pool::ElementT<Thing>*>(static_cast<Thing*>(elements[0]))->IsInUse());
    // A failed TryAcquire leaves the out parameter alone.
    ComPtr<Thing> other;
    ASSERT_TRUE(pool->TryAcquire(other));
    ASSERT_FALSE(pool->TryAcquire(out));
    EXPECT_EQ(out->AsUnknown(), elements[1]);
}

TEST_F(PoolTest, StaticPoolThatIsExhaustedCreatesNothing)
{
    auto pool = Make<StaticPool>(2u);
    ComPtr<Thing> a, b, c;
    ASSERT_TRUE(pool->TryAcquire(a));
    ASSERT_TRUE(pool->TryAcquire(b));
    EXPECT_FALSE(pool->TryAcquire(c));
    bool waiting = false;
    EXPECT_FALSE(pool->TryAcquireOrWait(c, waiting));
    EXPECT_TRUE(waiting);
    EXPECT_EQ(pool->GetElementCount(), 2u);
    EXPECT_EQ(g_Live.load(), 2);
    pool->CancelWait(waiting);
    EXPECT_FALSE(waiting);
    EXPECT_EQ(pool->GetWaiterCount(), 0);
}

TEST_F(PoolTest, ReferenceCountsOfElementAndPool)
{
    auto pool = Make<DynamicPool>(1u);
    const ULONG poolAlone = CountOf(pool.Get());
    EXPECT_EQ(poolAlone, 1u);
    ComPtr<Thing> element;
    ASSERT_TRUE(pool->Acquire(element));
    // The pool's reference and the user's; an element in use holds its pool.
    EXPECT_EQ(CountOf(element.Get()), 2u);
    EXPECT_EQ(CountOf(pool.Get()), 2u);
    element->AddRef();
    EXPECT_EQ(element->Release(), 2u);
    EXPECT_TRUE(static_cast<Pool::ElementT<Thing>*>(element.Get())->IsInUse());
    element = nullptr;
    EXPECT_EQ(CountOf(pool.Get()), 1u);
}

TEST_F(PoolTest, EventIsSignalledOnlyWhileSomebodyWaits)
{
    auto pool = Make<StaticPool>(1u);
    ComPtr<Thing> first;
    ASSERT_TRUE(pool->TryAcquire(first));
    first = nullptr;
    EXPECT_FALSE(pool->GetEvent()->IsSignalled());

    ASSERT_TRUE(pool->TryAcquire(first));
    ComPtr<Thing> second;
    bool waiting = false;
    ASSERT_FALSE(pool->TryAcquireOrWait(second, waiting));
    EXPECT_EQ(pool->GetWaiterCount(), 1);
    // Asking again while waiting does not count the caller twice.
    ASSERT_FALSE(pool->TryAcquireOrWait(second, waiting));
    EXPECT_EQ(pool->GetWaiterCount(), 1);
    first = nullptr;
    EXPECT_TRUE(pool->GetEvent()->Wait(0));
    ASSERT_TRUE(pool->TryAcquireOrWait(second, waiting));
    EXPECT_FALSE(waiting);
    EXPECT_EQ(pool->GetWaiterCount(), 0);
    EXPECT_FALSE(pool->GetEvent()->IsSignalled());
}

TEST_F(PoolTest, ReturnedElementWakesARegisteredWaiter)
{
    auto pool = Make<StaticPool>(1u);
    ComPtr<Thing> held;
    ASSERT_TRUE(pool->TryAcquire(held));
    ComPtr<Thing> wanted;
    bool waiting = false;
    ASSERT_FALSE(pool->TryAcquireOrWait(wanted, waiting));

    // A waiting work item in miniature: a registered wait that retries on the setter's thread.
    Sync::Event done(Sync::Event::ResetMode::Manual);
    pool->GetEvent()->RegisterWait([&] {
        if (pool->TryAcquireOrWait(wanted, waiting))
            done.Set();
    });
    std::thread releaser([&] { held = nullptr; });
    releaser.join();
    ASSERT_TRUE(done.Wait(10000));
    EXPECT_NE(wanted, nullptr);
    EXPECT_FALSE(waiting);
}

TEST_F(PoolTest, ReturnsThatCollapseIntoOneSignalStillWakeEveryWaiter)
{
    auto pool = Make<StaticPool>(2u);
    ComPtr<Thing> a, b, first, second;
    ASSERT_TRUE(pool->TryAcquire(a));
    ASSERT_TRUE(pool->TryAcquire(b));
    bool firstWaiting = false, secondWaiting = false;
    ASSERT_FALSE(pool->TryAcquireOrWait(first, firstWaiting));
    ASSERT_FALSE(pool->TryAcquireOrWait(second, secondWaiting));
    // Both come back before either waiter has registered: the auto-reset event holds one signal.
    a = nullptr;
    b = nullptr;
    ASSERT_TRUE(pool->GetEvent()->Wait(0));
    ASSERT_TRUE(pool->TryAcquireOrWait(first, firstWaiting));
    // The first waiter's success passes the turn on.
    ASSERT_TRUE(pool->GetEvent()->Wait(0));
    ASSERT_TRUE(pool->TryAcquireOrWait(second, secondWaiting));
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_EQ(pool->GetWaiterCount(), 0);
}

TEST_F(PoolTest, ReturnStepRunsBeforeTheElementIsIdle)
{
    auto pool = Make<Pool::PoolT<Returning, Pool::Strategy::DynamicStrategy>>(1u);
    ComPtr<Returning> element;
    ASSERT_TRUE(pool->Acquire(element));
    Returning* raw = element.Get();
    element = nullptr;
    EXPECT_EQ(raw->m_Returns, 1);
    EXPECT_TRUE(raw->m_InUseDuringReturn);
    // An extra reference taken and dropped while the element is idle runs no return step.
    {
        const auto elements = pool->GetElements();
    }
    EXPECT_EQ(raw->m_Returns, 1);
    // Nor does one that is still held when the element is handed out and comes back: the
    // element goes back only when its count falls to the pool's own reference.
    auto elements = pool->GetElements();
    ASSERT_TRUE(pool->Acquire(element));
    element = nullptr;
    EXPECT_EQ(raw->m_Returns, 1);
    elements.clear();
    EXPECT_EQ(raw->m_Returns, 2);
}

TEST_F(PoolTest, FailingReturnStepIsReportedAndTheElementStillGoesBack)
{
    TestSupport::TraceCapture capture;
    auto pool = Make<Pool::PoolT<Returning, Pool::Strategy::StaticStrategy>>(1u);
    ComPtr<Returning> element;
    ASSERT_TRUE(pool->TryAcquire(element));
    element->m_FailReturn = true;
    ComPtr<Returning> waiterSlot;
    bool waiting = false;
    ASSERT_FALSE(pool->TryAcquireOrWait(waiterSlot, waiting));
    EXPECT_NO_THROW(element = nullptr);
    EXPECT_FALSE(capture.LinesContaining("Failure 0x80004005").empty());
    // Back in the pool, and the waiter was told.
    EXPECT_TRUE(pool->GetEvent()->Wait(0));
    ASSERT_TRUE(pool->TryAcquireOrWait(waiterSlot, waiting));
    waiterSlot->m_FailReturn = false;
}

TEST_F(PoolTest, OwnerLettingGoReclaimsIdlePoolAtOnce)
{
    auto pool = Make<DynamicPool>(8u);
    EXPECT_EQ(g_Live.load(), 8);
    pool = nullptr;
    EXPECT_EQ(g_Live.load(), 0);
}

TEST_F(PoolTest, ElementInUseKeepsItsPoolUntilItComesBack)
{
    auto pool = Make<DynamicPool>(3u);
    ComPtr<Thing> element;
    ASSERT_TRUE(pool->Acquire(element));
    pool = nullptr;
    EXPECT_EQ(g_Live.load(), 3);
    element->m_Value = 5; // still valid
    element = nullptr;
    EXPECT_EQ(g_Live.load(), 0);
}

TEST_F(PoolTest, OwnerLettingGoWhileAnotherThreadReturnsTheLastElement)
{
    for (int round = 0; round < 200; ++round)
    {
        auto pool = Make<DynamicPool>(2u);
        ComPtr<Thing> element;
        ASSERT_TRUE(pool->Acquire(element));
        std::atomic<bool> go { false };
        std::thread releaser([&] {
            while (!go.load())
                std::this_thread::yield();
            element = nullptr;
        });
        go = true;
        pool = nullptr;
        releaser.join();
        ASSERT_EQ(g_Live.load(), 0) << round;
    }
}

TEST_F(PoolTest, ConcurrentAcquireAndReleaseNeverHandOutOneElementTwice)
{
    auto pool = Make<DynamicPool>(4u);
    constexpr int Threads = 4;
    constexpr int Rounds = 20000;
    std::atomic<int> doubles { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
    {
        threads.emplace_back([&] {
            ComPtr<Thing> element;
            for (int i = 0; i < Rounds; ++i)
            {
                pool->Acquire(element);
                if (element->m_Held.exchange(true))
                    ++doubles;
                element->m_Held = false;
                element = nullptr;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(doubles.load(), 0);
    // At most one element per thread was ever needed beyond the four.
    EXPECT_LE(pool->GetElementCount(), static_cast<size_t>(4 + Threads));
}

TEST_F(PoolTest, StaticPoolWaitersAllMakeProgressUnderContention)
{
    auto pool = Make<StaticPool>(2u);
    constexpr int Threads = 4;
    constexpr int Rounds = 3000;
    std::atomic<int> doubles { 0 };
    std::atomic<int> timeouts { 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
    {
        threads.emplace_back([&] {
            ComPtr<Thing> element;
            bool waiting = false;
            for (int i = 0; i < Rounds; ++i)
            {
                while (!pool->TryAcquireOrWait(element, waiting))
                {
                    // A lost wake-up shows as a time-out.
                    if (!pool->GetEvent()->Wait(10000))
                    {
                        ++timeouts;
                        pool->CancelWait(waiting);
                        return;
                    }
                }
                if (element->m_Held.exchange(true))
                    ++doubles;
                element->m_Held = false;
                element = nullptr;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(doubles.load(), 0);
    EXPECT_EQ(timeouts.load(), 0);
    EXPECT_EQ(pool->GetWaiterCount(), 0);
    EXPECT_EQ(pool->GetElementCount(), 2u);
}
