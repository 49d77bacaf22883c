#include "platform/system/Event.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace
{
using Sync::Event;
using Clock = std::chrono::steady_clock;
constexpr uint32_t Long = 30000; // ms: a time-out that only a broken event reaches

// Waits (bounded) until counter reaches value.
bool Reaches(const std::atomic<int>& counter, int value)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(Long);
    while (counter.load() < value)
    {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(Event, ManualResetReleasesEveryWaiterAndStaysSetUntilReset)
{
    Event event(Event::ResetMode::Manual);
    EXPECT_FALSE(event.IsSignalled());
    std::atomic<int> released { 0 };
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            if (event.Wait(Long))
                ++released;
        });
    event.Set();
    for (auto& waiter : waiters)
        waiter.join();
    EXPECT_EQ(released.load(), 3);
    EXPECT_TRUE(event.IsSignalled());
    EXPECT_TRUE(event.Wait(0));
    event.Set(); // setting a set event changes nothing
    EXPECT_TRUE(event.Wait(0));
    event.Reset();
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_FALSE(event.Wait(0));

    Event initially(Event::ResetMode::Manual, true);
    EXPECT_TRUE(initially.Wait(0));
}

TEST(Event, AutoResetReleasesOneWaiterPerSet)
{
    Event event(Event::ResetMode::Auto);
    event.Set();
    event.Set(); // no count: two Sets without a waiter leave one signal
    EXPECT_TRUE(event.IsSignalled());
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.IsSignalled());
    EXPECT_FALSE(event.Wait(0));

    std::atomic<int> released { 0 };
    std::thread first([&] { released += event.Wait(Long); });
    std::thread second([&] { released += event.Wait(Long); });
    event.Set();
    ASSERT_TRUE(Reaches(released, 1));
    EXPECT_EQ(released.load(), 1);
    EXPECT_FALSE(event.IsSignalled());
    event.Set();
    first.join();
    second.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(event.IsSignalled());

    Event initially(Event::ResetMode::Auto, true);
    EXPECT_TRUE(initially.Wait(0));
    EXPECT_FALSE(initially.Wait(0));
}

TEST(Event, WaitTimesOutWhenNothingComes)
{
    Event event(Event::ResetMode::Manual);
    EXPECT_FALSE(event.Wait(0));
    const auto start = Clock::now();
    EXPECT_FALSE(event.Wait(20));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
    const std::array<Event*, 0> none {};
    EXPECT_EQ(Event::WaitAny(none, 0), Sync::WaitTimeout);
    EXPECT_EQ(Event::WaitAny(none, 10), Sync::WaitTimeout);
}

TEST(Event, WaitAnyReportsTheFirstSignalledAndConsumesOnlyIt)
{
    Event a(Event::ResetMode::Auto), b(Event::ResetMode::Auto), c(Event::ResetMode::Manual);
    const std::array<Event*, 3> events { &a, &b, &c };
    b.Set();
    c.Set();
    EXPECT_EQ(Event::WaitAny(events, 0), 1); // lowest index first
    EXPECT_FALSE(b.IsSignalled());
    EXPECT_TRUE(c.IsSignalled());
    EXPECT_EQ(Event::WaitAny(events, 0), 2);
    EXPECT_EQ(Event::WaitAny(events, 0), 2); // manual: stays set
    c.Reset();
    EXPECT_EQ(Event::WaitAny(events, 15), Sync::WaitTimeout);

    // Signalled while waiting, from another thread.
    auto result = std::async(std::launch::async, [&] { return Event::WaitAny(events, Long); });
    a.Set();
    EXPECT_EQ(result.get(), 0);
    EXPECT_FALSE(a.IsSignalled());
    EXPECT_FALSE(b.IsSignalled());
    EXPECT_FALSE(c.IsSignalled());
}

TEST(Event, RegisteredWaitRunsOnceOnTheSettersThread)
{
    Event event(Event::ResetMode::Manual);
    int runs = 0;
    std::thread::id where;
    event.RegisterWait([&] {
        ++runs;
        where = std::this_thread::get_id();
    });
    EXPECT_EQ(runs, 0);
    std::thread setter([&] { event.Set(); });
    const std::thread::id setterId = setter.get_id();
    setter.join();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(where, setterId);
    event.Set();
    EXPECT_EQ(runs, 1);

    // Already signalled: at once, on the registering thread.
    event.RegisterWait([&] {
        ++runs;
        where = std::this_thread::get_id();
    });
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(where, std::this_thread::get_id());
}

TEST(Event, UnregisteredWaitNeverRuns)
{
    Event event(Event::ResetMode::Auto);
    int runs = 0;
    const uint64_t id = event.RegisterWait([&] { ++runs; });
    EXPECT_TRUE(event.UnregisterWait(id));
    EXPECT_FALSE(event.UnregisterWait(id));
    event.Set();
    EXPECT_EQ(runs, 0);
    EXPECT_TRUE(event.IsSignalled()); // nobody took the signal

    const uint64_t ran = event.RegisterWait([&] { ++runs; });
    EXPECT_EQ(runs, 1);
    EXPECT_FALSE(event.UnregisterWait(ran));
}

TEST(Event, AutoResetHandsEachSignalToTheOldestRegistration)
{
    Event event(Event::ResetMode::Auto);
    std::vector<int> order;
    event.RegisterWait([&] { order.push_back(1); });
    event.RegisterWait([&] { order.push_back(2); });
    event.Set();
    EXPECT_EQ(order, std::vector<int> { 1 });
    EXPECT_FALSE(event.IsSignalled()); // consumed by the registration
    event.Set();
    EXPECT_EQ(order, (std::vector<int> { 1, 2 }));
    EXPECT_FALSE(event.IsSignalled());
    event.Set();
    EXPECT_TRUE(event.IsSignalled());
}

// A Set that races a wait's time-out is either taken by the wait or left on the event: never
// lost and never taken twice.
TEST(Event, SetRacingATimeOutIsNeitherLostNorDuplicated)
{
    for (int round = 0; round < 400; ++round)
    {
        Event event(Event::ResetMode::Auto);
        Event* const single[] = { &event };
        int result = -2;
        std::thread waiter([&] { result = Event::WaitAny(single, round % 3); });
        event.Set();
        waiter.join();
        ASSERT_TRUE(result == 0 || result == Sync::WaitTimeout) << result;
        EXPECT_NE(result == 0, event.IsSignalled()) << "round " << round;
    }
}

TEST(Event, WaitAnyGivesBackTheSignalsItDidNotReport)
{
    for (int round = 0; round < 400; ++round)
    {
        Event a(Event::ResetMode::Auto), b(Event::ResetMode::Auto);
        const std::array<Event*, 2> events { &a, &b };
        int result = -2;
        std::thread waiter([&] { result = Event::WaitAny(events, round % 3); });
        std::thread setter([&] {
            b.Set();
            a.Set();
        });
        setter.join();
        waiter.join();
        const int left = a.IsSignalled() + b.IsSignalled();
        if (result == Sync::WaitTimeout)
            EXPECT_EQ(left, 2) << "round " << round;
        else
        {
            ASSERT_TRUE(result == 0 || result == 1) << result;
            EXPECT_EQ(left, 1) << "round " << round;
            EXPECT_FALSE(events[static_cast<size_t>(result)]->IsSignalled()) << "round " << round;
        }
    }
}
} // namespace
