#include "WorkTestSupport.h"

#include <gtest/gtest.h>

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
        if (m_Queue)
            m_Queue->Shutdown();
        PlatformTest::TearDown();
    }

    HRESULT Queue(MediaEventType type, UINT32 value = 0)
    {
        PROPVARIANT variant;
        InitPropVariantFromUInt32(value, &variant);
        return m_Queue->QueueEventParamVar(type, GUID_NULL, S_OK, &variant);
    }
    static MediaEventType TypeOf(IMFMediaEvent* event)
    {
        MediaEventType type = MEUnknown;
        EXPECT_HR(S_OK, event->GetType(&type));
        return type;
    }
    // Takes one event without waiting; its type, or the failure.
    HRESULT TakeType(MediaEventType* type)
    {
        ComPtr<IMFMediaEvent> event;
        const HRESULT hr = m_Queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf());
        if (SUCCEEDED(hr))
            *type = TypeOf(event.Get());
        return hr;
    }

    ComPtr<IMFMediaEventQueue> m_Queue;
};
} // namespace

TEST_F(EventQueue, GivesEventsInOrder)
{
    ComPtr<IMFMediaEvent> made;
    ASSERT_HR(S_OK, MFCreateMediaEvent(MEError, GUID_NULL, E_FAIL, nullptr, made.GetAddressOf()));
    ASSERT_HR(S_OK, Queue(MESourceStarted));
    ASSERT_HR(S_OK, m_Queue->QueueEvent(made.Get()));
    auto object = Make<Probe>();
    ASSERT_HR(S_OK, m_Queue->QueueEventParamUnk(MEStreamStarted, GUID_NULL, S_OK, object.Get()));
    EXPECT_EQ(RefCount(object.Get()), 2u);

    MediaEventType type = MEUnknown;
    EXPECT_HR(S_OK, TakeType(&type));
    EXPECT_EQ(type, MESourceStarted);
    ComPtr<IMFMediaEvent> taken;
    ASSERT_HR(S_OK, m_Queue->GetEvent(0, taken.GetAddressOf()));
    EXPECT_EQ(taken.Get(), made.Get()); // QueueEvent keeps the caller's event itself
    EXPECT_HR(S_OK, TakeType(&type));
    EXPECT_EQ(type, MEStreamStarted);
    EXPECT_EQ(RefCount(object.Get()), 1u);
    EXPECT_HR(MF_E_NO_EVENTS_AVAILABLE, TakeType(&type));
}

TEST_F(EventQueue, ShutdownWakesABlockedGetEventAndEveryLaterCallAnswersShutdown)
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

    // A pending request is released without being invoked; queued events are dropped.
    ComPtr<IMFMediaEventQueue> asked;
    ASSERT_HR(S_OK, MFCreateEventQueue(asked.GetAddressOf()));
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    auto object = Make<Probe>();
    ASSERT_HR(S_OK, asked->BeginGetEvent(callback.Get(), object.Get()));
    ASSERT_HR(S_OK, m_Queue->QueueEventParamUnk(MEStreamStarted, GUID_NULL, S_OK, object.Get()));
    ASSERT_HR(S_OK, asked->Shutdown());
    ASSERT_HR(S_OK, m_Queue->Shutdown());
    EXPECT_EQ(RefCount(object.Get()), 1u);
    EXPECT_EQ(RefCount(callback.Get()), 1u);
    EXPECT_TRUE(Fence(MFASYNC_CALLBACK_QUEUE_MULTITHREADED));
    EXPECT_EQ(callback->Invocations(), 0);
    ComPtr<IMFMediaEvent> event;
    ComPtr<IMFAsyncResult> result;
    ASSERT_HR(S_OK, MFCreateAsyncResult(nullptr, nullptr, nullptr, result.GetAddressOf()));
    EXPECT_HR(MF_E_SHUTDOWN, m_Queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()));
    EXPECT_HR(MF_E_SHUTDOWN, m_Queue->BeginGetEvent(callback.Get(), nullptr));
    EXPECT_HR(MF_E_SHUTDOWN, m_Queue->EndGetEvent(result.Get(), event.GetAddressOf()));
    EXPECT_HR(MF_E_SHUTDOWN, Queue(MEError));
    EXPECT_HR(MF_E_SHUTDOWN, m_Queue->QueueEventParamUnk(MEError, GUID_NULL, S_OK, nullptr));
    EXPECT_HR(S_OK, m_Queue->Shutdown());
    EXPECT_EQ(RefCount(callback.Get()), 1u);
}

TEST_F(EventQueue, BeginGetEventIsAnsweredOnTheCallbacksQueueWithTheOldestEvent)
{
    const DWORD serial = SerialQueue();
    std::vector<MediaEventType> received; // written by the serial queue's items only
    auto callback = MakeCallback(
        [&](IMFAsyncResult* result) {
            ComPtr<IMFMediaEvent> event;
            EXPECT_HR(S_OK, m_Queue->EndGetEvent(result, event.GetAddressOf()));
            received.push_back(TypeOf(event.Get()));
        },
        serial);
    auto state = Make<Probe>();

    // Asked before any event: answered by the next QueueEvent.
    ASSERT_HR(S_OK, m_Queue->BeginGetEvent(callback.Get(), state.Get()));
    EXPECT_HR(MF_S_MULTIPLE_BEGIN, m_Queue->BeginGetEvent(callback.Get(), state.Get()));
    auto other = MakeCallback([](IMFAsyncResult*) {});
    EXPECT_HR(MF_E_MULTIPLE_SUBSCRIBERS, m_Queue->BeginGetEvent(other.Get(), state.Get()));
    ComPtr<IMFMediaEvent> event;
    EXPECT_EQ(RefCount(state.Get()), 2u);
    ASSERT_HR(S_OK, Queue(MESourceStarted));
    ASSERT_HR(S_OK, Queue(MEStreamStarted));
    ASSERT_TRUE(Fence(serial));

    // Asked with events waiting: answered at once with the oldest.
    ASSERT_HR(S_OK, m_Queue->BeginGetEvent(callback.Get(), nullptr));
    ASSERT_TRUE(Fence(serial));
    EXPECT_EQ(received, (std::vector<MediaEventType> { MESourceStarted, MEStreamStarted }));
    EXPECT_EQ(callback->Invocations(), 2);
    EXPECT_EQ(RefCount(state.Get()), 1u);
    EXPECT_EQ(RefCount(callback.Get()), 1u);

    // A result without an event is refused.
    ComPtr<IMFAsyncResult> empty;
    ASSERT_HR(S_OK, MFCreateAsyncResult(nullptr, callback.Get(), nullptr, empty.GetAddressOf()));
    EXPECT_HR(E_INVALIDARG, m_Queue->EndGetEvent(empty.Get(), event.GetAddressOf()));
}

TEST_F(EventQueue, AReaderReceivesEveryEventOfManyProducersOnceAndInEachProducersOrder)
{
    constexpr UINT32 Producers = 4, EventsEach = 500;
    // One asynchronous reader that asks again from its callback: a lost wake-up stalls it.
    std::vector<UINT32> answered; // each answer happens after the request the previous one made
    Latch all;
    IMFAsyncCallback* self = nullptr;
    auto reader = MakeCallback([&](IMFAsyncResult* result) {
        ComPtr<IMFMediaEvent> event;
        EXPECT_HR(S_OK, m_Queue->EndGetEvent(result, event.GetAddressOf()));
        PROPVARIANT value;
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
