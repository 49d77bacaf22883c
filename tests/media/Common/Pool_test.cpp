#include "media/Common/Pool.h"

#include "fakes/Platform.h"
#include "fakes/Support.h"

#include <algorithm>
#include <atomic>
#include <set>
#include <tuple>
#include <thread>
#include <utility>
#include <vector>

namespace
{
std::atomic<int> g_Live { 0 };

// A pooled object that counts the live ones.
class Thing : public ComObject<IUnknown>
{
public:
    Thing() { ++g_Live; }
    ~Thing() override { --g_Live; }
};

// A pooled object with a return step.
class Returning : public Thing
{
public:
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


using TestSupport::RefCount;

class PoolTest : public ::testing::Test
{
protected:
    void SetUp() override { g_Live = 0; }
    // Every element goes with its pool once owner and users have let go: no leak.
    void TearDown() override { EXPECT_EQ(g_Live.load(), 0); }
};
} // namespace

// 32 elements, then a 33rd (past a 32-bit word) once all are held; all 33 are kept.
TEST_F(PoolTest, DynamicPoolGrowsByOneWhenAllAreHeldAndKeepsTheNewElement)
{
    auto pool = Make<DynamicPool>(32u);
    std::vector<ComPtr<Thing>> held(34);
    std::set<Thing*> distinct;
    for (size_t i = 0; i < 33; ++i)
        ASSERT_TRUE(pool->Acquire(held[i]) && distinct.insert(held[i].Get()).second && pool->GetElementCount() == std::max<size_t>(i + 1, 32)) << i;
    held.assign(34, nullptr);
    for (size_t i = 0; i < 33; ++i)
        ASSERT_TRUE(pool->TryAcquire(held[i])) << i;
    EXPECT_FALSE(pool->TryAcquire(held[33]));
    EXPECT_EQ(g_Live.load(), 33);
}

TEST_F(PoolTest, ExhaustedStaticPoolCreatesNothingAndSignalsOnlyWhileSomebodyWaits)
{
    auto pool = Make<StaticPool>(1u);
    ComPtr<Thing> first, second;
    ASSERT_TRUE(pool->TryAcquire(first));
    first = nullptr;
    EXPECT_FALSE(pool->GetEvent()->IsSignalled());

    ASSERT_TRUE(pool->TryAcquire(first));
    bool waiting = false;
    // Asking again while waiting does not count the caller twice.
    ASSERT_FALSE(pool->TryAcquireOrWait(second, waiting) || pool->TryAcquireOrWait(second, waiting));
    EXPECT_TRUE(waiting);
    EXPECT_EQ(std::tuple(pool->GetWaiterCount(), pool->GetElementCount(), g_Live.load()), std::tuple(1, 1u, 1));
    first = nullptr;
    EXPECT_TRUE(pool->GetEvent()->Wait(0));
    ASSERT_TRUE(pool->TryAcquireOrWait(second, waiting));
    EXPECT_FALSE(waiting || pool->GetWaiterCount() != 0 || pool->GetEvent()->IsSignalled());
    ASSERT_FALSE(pool->TryAcquireOrWait(first, waiting));
    pool->CancelWait(waiting);
    EXPECT_FALSE(waiting || pool->GetWaiterCount() != 0);
}

TEST_F(PoolTest, ReturnsThatCollapseIntoOneSignalStillWakeEveryWaiter)
{
    auto pool = Make<StaticPool>(2u);
    ComPtr<Thing> a, b, first, second;
    ASSERT_TRUE(pool->TryAcquire(a) && pool->TryAcquire(b));
    bool firstWaiting = false, secondWaiting = false;
    ASSERT_FALSE(pool->TryAcquireOrWait(first, firstWaiting));
    ASSERT_FALSE(pool->TryAcquireOrWait(second, secondWaiting));
    // Both come back before either waiter has registered: the auto-reset event holds one signal.
    a = b = nullptr;
    ASSERT_TRUE(pool->GetEvent()->Wait(0));
    ASSERT_TRUE(pool->TryAcquireOrWait(first, firstWaiting));
    // The first waiter's success passes the turn on.
    ASSERT_TRUE(pool->GetEvent()->Wait(0));
    ASSERT_TRUE(pool->TryAcquireOrWait(second, secondWaiting));
    EXPECT_NE(first.Get(), second.Get());
    EXPECT_EQ(pool->GetWaiterCount(), 0);
}

// A woken waiter that gives up passes the signal it took on to the other waiter.
TEST_F(PoolTest, AWokenWaiterThatGivesUpPassesTheTurnOn)
{
    auto pool = Make<StaticPool>(1u);
    ComPtr<Thing> held, first, second;
    bool firstWaiting = false, secondWaiting = false;
    ASSERT_TRUE(pool->TryAcquire(held));
    ASSERT_FALSE(pool->TryAcquireOrWait(first, firstWaiting) || pool->TryAcquireOrWait(second, secondWaiting));
    held = nullptr;
    ASSERT_TRUE(pool->GetEvent()->Wait(0)); // the first waiter wakes, then is cancelled
    pool->CancelWait(firstWaiting);
    EXPECT_TRUE(pool->GetEvent()->Wait(0) && pool->TryAcquireOrWait(second, secondWaiting));
}

TEST_F(PoolTest, ReturnStepRunsBeforeTheElementIsIdleOnlyWhenTheLastUserGoesAndMayFail)
{
    TestSupport::TraceCapture capture;
    auto pool = Make<Pool::PoolT<Returning, Pool::Strategy::StaticStrategy>>(1u);
    ComPtr<Returning> element;
    ASSERT_TRUE(pool->TryAcquire(element));
    Returning* raw = element.Get();
    element = nullptr;
    EXPECT_EQ(raw->m_Returns, 1);
    EXPECT_TRUE(raw->m_InUseDuringReturn);
    // An extra reference taken and dropped while the element is idle runs no return step.
    pool->GetElements();
    EXPECT_EQ(raw->m_Returns, 1);
    // Nor does one that is still held when the element is handed out and comes back: the
    // element goes back only when its count falls to the pool's own reference.
    auto elements = pool->GetElements();
    ASSERT_TRUE(pool->TryAcquire(element));
    element = nullptr;
    EXPECT_EQ(raw->m_Returns, 1);
    elements.clear();
    EXPECT_EQ(raw->m_Returns, 2);

    // A failing return step is reported; the element still goes back and a waiter is told.
    ASSERT_TRUE(pool->TryAcquire(element));
    element->m_FailReturn = true;
    ComPtr<Returning> waiterSlot;
    bool waiting = false;
    ASSERT_FALSE(pool->TryAcquireOrWait(waiterSlot, waiting));
    EXPECT_NO_THROW(element = nullptr);
    EXPECT_FALSE(capture.LinesContaining("Failure 0x80004005").empty());
    EXPECT_TRUE(pool->GetEvent()->Wait(0));
    ASSERT_TRUE(pool->TryAcquireOrWait(waiterSlot, waiting));
    waiterSlot->m_FailReturn = false;
}

TEST_F(PoolTest, OwnerLettingGoWhileAnotherThreadReturnsTheLastElement)
{
    for (int round = 0; round < 200; ++round)
    {
        auto pool = Make<DynamicPool>(2u);
        ComPtr<Thing> element;
        ASSERT_TRUE(pool->Acquire(element));
        std::atomic<bool> go { false };
        std::thread releaser([&] { while (!go) std::this_thread::yield(); element = nullptr; });
        go = true, pool = nullptr;
        releaser.join();
        ASSERT_EQ(g_Live.load(), 0) << round;
    }
}
