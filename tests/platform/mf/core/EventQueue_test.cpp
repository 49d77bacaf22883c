#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

using namespace WorkTest;

namespace
{
class EventQueue : public PlatformTest
{
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        ASSERT_HR(S_OK, MFCreateEventQueue(m_Queue.GetAddressOf()));
    }
    void TearDown() override
    {
        m_Queue->Shutdown();
        PlatformTest::TearDown();
    }
    HRESULT Queue(MediaEventType type, UINT32 value = 0)
    {
        PROPVARIANT variant;
        InitPropVariantFromUInt32(value, &variant);
        return m_Queue->QueueEventParamVar(type, GUID_NULL, S_OK, &variant);
    }
    // The type of an event taken without waiting, or MEUnknown.
    MediaEventType Take()
    {
        ComPtr<IMFMediaEvent> event;
        MediaEventType type = MEUnknown;
        return SUCCEEDED(m_Queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf())) ? (event->GetType(&type), type) : MEUnknown;
    }

    ComPtr<IMFMediaEventQueue> m_Queue;
};
} // namespace

TEST_F(EventQueue, EventsKeepTheCallersEventCopiesOfValuesAndReferencesToObjects)
{
    PROPVARIANT value;
    ASSERT_HR(S_OK, InitPropVariantFromString("frame", &value));
    ComPtr<IMFMediaEvent> made, taken;
    ASSERT_HR(S_OK, MFCreateMediaEvent(MEError, GUID_NULL, E_ABORT, &value, made.GetAddressOf()));
    std::strcpy(value.pwszVal, "other"); // the event took its own copy
    PropVariantClear(&value);
    ASSERT_HR(S_OK, m_Queue->QueueEvent(made.Get()));
    auto object = Make<Probe>();
    ASSERT_HR(S_OK, m_Queue->QueueEventParamUnk(MEStreamStarted, GUID_NULL, S_OK, object.Get()));
    EXPECT_EQ(RefCount(object.Get()), 2u);
    ASSERT_HR(S_OK, m_Queue->GetEvent(0, taken.GetAddressOf()));
    EXPECT_EQ(taken.Get(), made.Get()); // QueueEvent keeps the caller's event itself
    for (int i = 0; i < 2; ++i) // each GetValue hands out a copy the caller clears
    {
        ASSERT_HR(S_OK, taken->GetValue(&value));
        EXPECT_STREQ(value.vt == VT_LPWSTR ? value.pwszVal : "", "frame");
        PropVariantClear(&value);
    }
    EXPECT_EQ(Take(), MEStreamStarted);
    EXPECT_EQ(RefCount(object.Get()), 1u);
    EXPECT_HR(MF_E_NO_EVENTS_AVAILABLE, m_Queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, taken.ReleaseAndGetAddressOf()));
    value.vt = 0x0FFF;
    EXPECT_HR(E_INVALIDARG, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, &value, made.ReleaseAndGetAddressOf()));
}

TEST_F(EventQueue, ShutdownWakesABlockedGetEventAndReleasesAPendingRequestUninvoked)
{
    for (int round = 0; round < 50; ++round)
    {
        ComPtr<IMFMediaEventQueue> queue;
        ASSERT_HR(S_OK, MFCreateEventQueue(queue.GetAddressOf()));
        HRESULT waited = E_FAIL;
        Latch returned;
        std::thread reader([&] {
            ComPtr<IMFMediaEvent> event;
            waited = queue->GetEvent(0, event.GetAddressOf());
            returned.CountDown();
        });
        std::this_thread::yield(); // most rounds find the reader blocked, some not yet
        EXPECT_HR(S_OK, queue->Shutdown());
        const bool woke = returned.Wait();
        woke ? reader.join() : reader.detach(); // lost wake-up: report it rather than hang
        ASSERT_TRUE(woke) << "round " << round;
        EXPECT_HR(MF_E_SHUTDOWN, waited);
    }
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    auto object = Make<Probe>();
    ASSERT_HR(S_OK, m_Queue->BeginGetEvent(callback.Get(), object.Get()));
    ASSERT_HR(S_OK, m_Queue->Shutdown());
    EXPECT_EQ(RefCount(object.Get()) + RefCount(callback.Get()), 2u);
    EXPECT_TRUE(Fence(MFASYNC_CALLBACK_QUEUE_MULTITHREADED));
    EXPECT_EQ(callback->Invocations(), 0);
    EXPECT_HR(MF_E_SHUTDOWN, m_Queue->BeginGetEvent(callback.Get(), nullptr));
    EXPECT_HR(MF_E_SHUTDOWN, m_Queue->QueueEventParamUnk(MEError, GUID_NULL, S_OK, object.Get()));
    EXPECT_EQ(RefCount(object.Get()), 1u);
}

// The order of answers and the queue they run on are checked by the session's runs over real
// objects; here the requests it refuses.
TEST_F(EventQueue, OneSubscriberAtATimeAndResultsWithoutAnEventAreRefused)
{
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    ComPtr<IMFMediaEvent> event;
    ASSERT_HR(S_OK, m_Queue->BeginGetEvent(callback.Get(), nullptr));
    EXPECT_HR(MF_S_MULTIPLE_BEGIN, m_Queue->BeginGetEvent(callback.Get(), nullptr));
    EXPECT_HR(MF_E_MULTIPLE_SUBSCRIBERS, m_Queue->BeginGetEvent(MakeCallback([](IMFAsyncResult*) {}).Get(), nullptr));
    EXPECT_HR(E_INVALIDARG, m_Queue->EndGetEvent(Result(callback.Get()).Get(), event.GetAddressOf()));
}

// One asynchronous reader that asks again from its callback gets every event of many producers
// once, in each producer's order: a lost wake-up stalls it.
TEST_F(EventQueue, AReaderReceivesEveryEventOfManyProducersOnceAndInOrder)
{
    constexpr UINT32 Producers = 4, EventsEach = 500;
    std::vector<UINT32> answered; // each answer happens after the request the previous one made
    Latch all;
    IMFAsyncCallback* self = nullptr;
    auto reader = MakeCallback([&](IMFAsyncResult* result) {
        ComPtr<IMFMediaEvent> event;
        PROPVARIANT value;
        EXPECT_HR(S_OK, m_Queue->EndGetEvent(result, event.GetAddressOf()));
        EXPECT_HR(S_OK, event->GetValue(&value));
        answered.push_back(value.ulVal);
        if (answered.size() == Producers * EventsEach)
            all.CountDown();
        else
            EXPECT_HR(S_OK, m_Queue->BeginGetEvent(self, nullptr));
    });
    self = reader.Get();
    ASSERT_HR(S_OK, m_Queue->BeginGetEvent(reader.Get(), nullptr));
    std::vector<std::thread> producers;
    for (UINT32 p = 0; p < Producers; ++p)
        producers.emplace_back([&, p] {
            for (UINT32 i = 0; i < EventsEach; ++i)
                EXPECT_HR(S_OK, Queue(MEStreamTick, p << 16 | i));
        });
    for (auto& producer : producers)
        producer.join();
    ASSERT_TRUE(all.Wait());
    std::vector<UINT32> next(Producers, 0);
    for (UINT32 value : answered)
        ASSERT_EQ(value & 0xFFFF, next[value >> 16]++) << "producer " << (value >> 16);
}
