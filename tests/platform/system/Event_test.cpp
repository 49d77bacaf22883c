#include "platform/system/Event.h"

#include "fakes/Platform.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace
{
using Sync::Event;
using Clock = std::chrono::steady_clock;
constexpr uint32_t Long = TestSupport::PatienceMilliseconds;

TEST(Event, ManualResetReleasesEveryWaiterAutoResetOneWaiterPerSet)
{
    for (const auto mode : { Event::ResetMode::Manual, Event::ResetMode::Auto })
    {
        const bool manual = mode == Event::ResetMode::Manual;
        Event event(mode);
        std::atomic<int> released { 0 };
        std::vector<std::thread> waiters;
        for (int i = 0; i < 2; ++i)
            waiters.emplace_back([&] { released += event.Wait(Long); });
        event.Set();
        EXPECT_TRUE(TestSupport::WaitUntil([&] { return released.load() == (manual ? 2 : 1); }));
        EXPECT_EQ(event.IsSignalled(), manual); // auto: consumed by the waiter it released
        event.Set();
        for (auto& waiter : waiters)
            waiter.join();
        EXPECT_EQ(released.load(), 2);
        event.Set();
        event.Set(); // a second Set without a waiter leaves one signal
        EXPECT_TRUE(event.Wait(0));
        EXPECT_EQ(event.Wait(0), manual);
        event.Reset();
        EXPECT_FALSE(event.Wait(0));
        EXPECT_TRUE(Event(mode, true).Wait(0));
    }
}

TEST(Event, WaitAnyReportsTheFirstSignalledAndConsumesOnlyIt)
{
    Event a(Event::ResetMode::Auto), b(Event::ResetMode::Auto), c(Event::ResetMode::Manual);
    const std::array<Event*, 3> events { &a, &b, &c };
    b.Set();
    c.Set();
    EXPECT_EQ(Event::WaitAny(events, 0), 1); // lowest index first
    EXPECT_EQ(Event::WaitAny(events, 0), 2);
    EXPECT_EQ(Event::WaitAny(events, 0), 2); // manual: stays set
    c.Reset();
    const auto start = Clock::now();
    EXPECT_EQ(Event::WaitAny(events, 20), Sync::WaitTimeout);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(20));
}

// A registered wait runs once, on the setter's thread, or at once when the event is set; an
// auto-reset event hands each signal to the oldest registration that was not unregistered.
TEST(Event, RegisteredWaitsTakeSignalsInRegistrationOrder)
{
    Event manual(Event::ResetMode::Manual);
    std::thread::id where;
    manual.RegisterWait([&] { where = std::this_thread::get_id(); });
    std::thread setter([&] { manual.Set(); });
    const std::thread::id setterId = setter.get_id();
    setter.join();
    EXPECT_EQ(where, setterId);

    Event event(Event::ResetMode::Auto);
    std::vector<int> order;
    const uint64_t removed = event.RegisterWait([&] { order.push_back(0); });
    event.RegisterWait([&] { order.push_back(1); });
    event.RegisterWait([&] { order.push_back(2); });
    EXPECT_TRUE(event.UnregisterWait(removed));
    EXPECT_FALSE(event.UnregisterWait(removed));
    event.Set();
    event.Set();
    EXPECT_EQ(order, (std::vector<int> { 1, 2 }));
    EXPECT_FALSE(event.IsSignalled()); // consumed by the registrations
    event.Set();
    const uint64_t ran = event.RegisterWait([&] { order.push_back(3); });
    EXPECT_EQ(order, (std::vector<int> { 1, 2, 3 }));
    EXPECT_FALSE(event.UnregisterWait(ran));
    EXPECT_FALSE(event.IsSignalled());
}

// A Set that races a wait's time-out is either taken by the wait or left on the event: never
// lost and never taken twice; WaitAny gives back the signals it did not report.
TEST(Event, SetsRacingATimeOutAreNeitherLostNorDuplicated)
{
    for (int round = 0; round < 400; ++round)
    {
        Event s(Event::ResetMode::Auto), a(Event::ResetMode::Auto), b(Event::ResetMode::Auto);
        Event* const single[] = { &s };
        const std::array<Event*, 2> pair { &a, &b };
        int one = -2, any = -2;
        std::thread singleWaiter([&] { one = Event::WaitAny(single, round % 3); });
        std::thread pairWaiter([&] { any = Event::WaitAny(pair, round % 3); });
        s.Set();
        b.Set();
        a.Set();
        singleWaiter.join();
        pairWaiter.join();
        ASSERT_TRUE(one == 0 || one == Sync::WaitTimeout) << one;
        EXPECT_NE(one == 0, s.IsSignalled()) << "round " << round;
        ASSERT_TRUE(any == 0 || any == 1 || any == Sync::WaitTimeout) << any;
        EXPECT_EQ(a.IsSignalled() + b.IsSignalled(), any == Sync::WaitTimeout ? 2 : 1) << "round " << round;
        if (any >= 0)
        {
            EXPECT_FALSE(pair[static_cast<size_t>(any)]->IsSignalled()) << "round " << round;
        }
    }
}
} // namespace
