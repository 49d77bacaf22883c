#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <barrier>
#include <thread>
#include <vector>

using namespace WorkTest;

namespace
{
// An asynchronous result the platform did not make.
struct ForeignResult final : ComObject<IMFAsyncResult>
{
    HRESULT GetState(IUnknown**) override { return E_NOTIMPL; }
    HRESULT GetStatus() override { return S_OK; }
    HRESULT SetStatus(HRESULT) override { return S_OK; }
    HRESULT GetObject(IUnknown**) override { return E_NOTIMPL; }
    IUnknown* GetStateNoAddRef() override { return nullptr; }
};
using WaitingWork = PlatformTest;
} // namespace

// Waiting items and MFInvokeCallback share the routing to the queue a callback names.
TEST_F(WaitingWork, RunsOnceWhenSignalledOnTheQueueItsCallbackNames)
{
    const DWORD queue = SerialQueue();
    std::vector<char> order; // written by items of the serial queue only
    auto waiting = MakeCallback([&](IMFAsyncResult*) { order.push_back('W'); }, queue);
    Sync::Event event(Sync::Event::ResetMode::Manual), gate(Sync::Event::ResetMode::Manual);
    MFWORKITEM_KEY key = 0;
    ASSERT_HR(S_OK, MFPutWaitingWorkItem(&event, 0, Result(waiting.Get()).Get(), &key));
    // Signalled while the queue is busy: the item runs after what was put before it.
    Block(queue, gate, [&] { order.push_back('B'); });
    event.Set();
    event.Set();
    gate.Set();
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(order, (std::vector<char> { 'B', 'W' }));
    EXPECT_HR(MF_E_NOT_FOUND, MFCancelWorkItem(key));
    EXPECT_EQ(RefCount(waiting.Get()), 1u);
    // An auto-reset event already signalled runs the item at once and is consumed by it.
    Sync::Event already(Sync::Event::ResetMode::Auto, true);
    ASSERT_HR(S_OK, MFPutWaitingWorkItem(&already, 0, Result(waiting.Get()).Get(), nullptr));
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(waiting->Invocations(), 2);
    EXPECT_FALSE(already.IsSignalled());
}

TEST_F(WaitingWork, CancelRacingWithTheSignalEitherCancelsOrRunsExactlyOnce)
{
    const DWORD queue = SerialQueue();
    auto callback = MakeCallback([](IMFAsyncResult*) {}, queue);
    auto state = Make<Probe>();
    constexpr int Rounds = 500;
    int cancelled = 0;
    for (int round = 0; round < Rounds; ++round)
    {
        Sync::Event event(round % 2 ? Sync::Event::ResetMode::Auto : Sync::Event::ResetMode::Manual);
        MFWORKITEM_KEY key = 0;
        ASSERT_HR(S_OK, MFPutWaitingWorkItem(&event, 0, Result(callback.Get(), state.Get()).Get(), &key));
        std::barrier start(2);
        HRESULT cancel = E_FAIL;
        std::thread canceller([&] { start.arrive_and_wait(), cancel = MFCancelWorkItem(key); });
        start.arrive_and_wait();
        event.Set();
        canceller.join();
        ASSERT_TRUE(cancel == S_OK || cancel == MF_E_NOT_FOUND) << Hr(cancel);
        cancelled += cancel == S_OK;
    }
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(callback->Invocations() + cancelled, Rounds);
    EXPECT_EQ(RefCount(state.Get()) + RefCount(callback.Get()), 2u);
}

TEST_F(WaitingWork, ScheduledItemsRunInDeadlineOrderNoEarlierThanTheirDelay)
{
    const DWORD queue = SerialQueue();
    const int delays[] = { 50, 10, 40, 0, 30, 20 };
    // The platform fixes an item's deadline during its MFScheduleWorkItem call: between these.
    std::vector<std::pair<MFTIME, MFTIME>> deadlines;
    deadlines.reserve(std::size(delays)); // items read their own while later ones are added
    std::vector<size_t> order; // written by the serial queue's items only
    std::vector<ComPtr<Callback>> callbacks;
    Latch done(int(std::size(delays)));
    for (size_t i = 0; i < std::size(delays); ++i)
    {
        const MFTIME delay = MFTIME(delays[i]) * 10'000;
        callbacks.push_back(MakeCallback(
            [&, i](IMFAsyncResult*) {
                EXPECT_GE(MFGetSystemTime(), deadlines[i].first);
                order.push_back(i);
                done.CountDown();
            },
            queue));
        deadlines.emplace_back(MFGetSystemTime() + delay, 0);
        ASSERT_HR(S_OK, MFScheduleWorkItem(callbacks.back().Get(), nullptr, -delays[i], nullptr));
        deadlines.back().second = MFGetSystemTime() + delay;
    }
    ASSERT_TRUE(done.Wait());
    // No item runs before one whose deadline is certainly earlier.
    for (size_t a = 0; a < order.size(); ++a)
        for (size_t b = a + 1; b < order.size(); ++b)
            EXPECT_LE(deadlines[order[a]].first, deadlines[order[b]].second) << delays[order[a]] << " before " << delays[order[b]];
    // Refused: a positive time-out, no event, a result without a callback or not the platform's,
    // and items for a queue already shut down.
    Sync::Event event(Sync::Event::ResetMode::Manual);
    IUnknown* out = reinterpret_cast<IUnknown*>(1);
    EXPECT_HR(E_POINTER, Result(nullptr)->GetObject(&out)); // no object: the out-pointer is cleared
    EXPECT_EQ(out, nullptr);
    EXPECT_HR(E_INVALIDARG, MFInvokeCallback(Result(nullptr).Get()));
    EXPECT_HR(E_INVALIDARG, MFInvokeCallback(Make<ForeignResult>().Get()));
    EXPECT_HR(E_INVALIDARG, MFScheduleWorkItem(callbacks[0].Get(), nullptr, 10, nullptr));
    EXPECT_HR(E_INVALIDARG, MFPutWaitingWorkItem(nullptr, 0, Result(callbacks[0].Get()).Get(), nullptr));
    ASSERT_HR(S_OK, MFUnlockWorkQueue(queue));
    EXPECT_HR(MF_E_SHUTDOWN, MFPutWaitingWorkItem(&event, 0, Result(callbacks[0].Get()).Get(), nullptr));
    EXPECT_HR(MF_E_SHUTDOWN, MFScheduleWorkItem(callbacks[0].Get(), nullptr, -10, nullptr));
    EXPECT_HR(MF_E_SHUTDOWN, MFInvokeCallback(Result(callbacks[0].Get()).Get()));
    EXPECT_EQ(RefCount(callbacks[0].Get()), 1u);
}

// Items that never started are released by MFShutdown or a cancel, and leave their event's
// signal alone.
TEST(WaitingWorkShutdown, ItemsThatNeverStartedAreReleased)
{
    ASSERT_HR(S_OK, MFStartup(MF_VERSION));
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    auto state = Make<Probe>();
    Sync::Event first(Sync::Event::ResetMode::Auto), second(Sync::Event::ResetMode::Auto);
    MFWORKITEM_KEY waitingKey = 0, scheduledKey = 0;
    ASSERT_HR(S_OK, MFPutWaitingWorkItem(&first, 0, Result(callback.Get(), state.Get()).Get(), &waitingKey));
    ASSERT_HR(S_OK, MFScheduleWorkItem(callback.Get(), state.Get(), -3'600'000, &scheduledKey));
    ASSERT_HR(S_OK, MFPutWaitingWorkItem(&second, 0, Result(callback.Get(), state.Get()).Get(), nullptr));
    ASSERT_HR(S_OK, MFScheduleWorkItem(callback.Get(), state.Get(), -3'600'000, nullptr));
    EXPECT_HR(S_OK, MFCancelWorkItem(waitingKey));
    EXPECT_HR(S_OK, MFCancelWorkItem(scheduledKey));
    EXPECT_HR(MF_E_NOT_FOUND, MFCancelWorkItem(waitingKey));
    EXPECT_EQ(RefCount(state.Get()), 3u);
    ASSERT_HR(S_OK, MFShutdown());
    EXPECT_EQ(RefCount(state.Get()) + RefCount(callback.Get()), 2u);
    first.Set(), second.Set();
    EXPECT_TRUE(first.IsSignalled() && second.IsSignalled()); // no wait was left behind to take the signal
    EXPECT_EQ(callback->Invocations(), 0);
}

// A Set right after the last MFShutdown dropped the waiting item, while it still winds the
// waits down, stays with the event: the dropped item's registration does not take it.
TEST(WaitingWorkShutdown, ASignalDuringShutdownStaysWithTheEvent)
{
    int lost = 0;
    for (int round = 0; round < 100; ++round)
    {
        ASSERT_HR(S_OK, MFStartup(MF_VERSION));
        Sync::Event event(Sync::Event::ResetMode::Auto);
        auto callback = MakeCallback([](IMFAsyncResult*) {});
        EXPECT_HR(S_OK, MFPutWaitingWorkItem(&event, 0, Result(callback.Get()).Get(), nullptr));
        std::thread setter([&] {
            while (MFScheduleWorkItem(callback.Get(), nullptr, -3'600'000, nullptr) == S_OK) // until items are dropped
                ;
            event.Set();
        });
        EXPECT_HR(S_OK, MFShutdown());
        setter.join();
        lost += !event.IsSignalled();
    }
    EXPECT_EQ(lost, 0) << "of 100 rounds";
}
