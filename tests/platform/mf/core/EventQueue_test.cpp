#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    static UINT32 ValueOf(IMFMediaEvent* event)
    {
        PROPVARIANT value;
        PropVariantInit(&value);
        EXPECT_HR(S_OK, event->GetValue(&value));
        return value.ulVal;
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

TEST_F(EventQueue, AnswersItsInterfacesAndGivesEventsInOrder)
{
    EXPECT_HR(S_OK, Query<IUnknown>(m_Queue.Get()));
    EXPECT_HR(E_NOINTERFACE, Query<IMFMediaEventGenerator>(m_Queue.Get()));

    ComPtr<IMFMediaEvent> made;
    ASSERT_HR(S_OK, MFCreateMediaEvent(MEError, GUID_NULL, E_FAIL, nullptr, made.GetAddressOf()));
    ASSERT_HR(S_OK, Queue(MESourceStarted));
    ASSERT_HR(S_OK, m_Queue->QueueEvent(made.Get()));
    auto object = Make<Probe>();
    ASSERT_HR(S_OK, m_Queue->QueueEventParamUnk(MEStreamStarted, GUID_NULL, S_OK, object.Get()));
    EXPECT_EQ(object->Count(), 2u);

    MediaEventType type = MEUnknown;
    EXPECT_HR(S_OK, TakeType(&type));
    EXPECT_EQ(type, MESourceStarted);
    ComPtr<IMFMediaEvent> taken;
    ASSERT_HR(S_OK, m_Queue->GetEvent(0, taken.GetAddressOf()));
    EXPECT_EQ(taken.Get(), made.Get()); // QueueEvent keeps the caller's event itself
    EXPECT_HR(S_OK, TakeType(&type));
    EXPECT_EQ(type, MEStreamStarted);
    EXPECT_EQ(object->Count(), 1u);
    EXPECT_HR(MF_E_NO_EVENTS_AVAILABLE, TakeType(&type));

    EXPECT_HR(E_POINTER, m_Queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, nullptr));
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

    auto object = Make<Probe>();
    ASSERT_HR(S_OK, m_Queue->QueueEventParamUnk(MEStreamStarted, GUID_NULL, S_OK, object.Get()));
    ASSERT_HR(S_OK, m_Queue->Shutdown());
    EXPECT_EQ(object->Count(), 1u); // queued events are dropped
    ComPtr<IMFMediaEvent> event;
    ComPtr<IMFAsyncResult> result;
    ASSERT_HR(S_OK, MFCreateAsyncResult(nullptr, nullptr, nullptr, result.GetAddressOf()));
    auto callback = MakeCallback([](IMFAsyncResult*) {});
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
    EXPECT_HR(MF_E_MULTIPLE_BEGIN, m_Queue->BeginGetEvent(callback.Get(), nullptr));
    auto other = MakeCallback([](IMFAsyncResult*) {});
    EXPECT_HR(MF_E_MULTIPLE_SUBSCRIBERS, m_Queue->BeginGetEvent(other.Get(), state.Get()));
    ComPtr<IMFMediaEvent> event;
    EXPECT_HR(MF_E_MULTIPLE_SUBSCRIBERS, m_Queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()));
    EXPECT_EQ(state->Count(), 2u);
    ASSERT_HR(S_OK, Queue(MESourceStarted));
    ASSERT_HR(S_OK, Queue(MEStreamStarted));
    ASSERT_TRUE(Fence(serial));

    // Asked with events waiting: answered at once with the oldest.
    ASSERT_HR(S_OK, m_Queue->BeginGetEvent(callback.Get(), nullptr));
    ASSERT_TRUE(Fence(serial));
    EXPECT_EQ(received, (std::vector<MediaEventType> { MESourceStarted, MEStreamStarted }));
    EXPECT_EQ(callback->Invocations(), 2);
    EXPECT_EQ(state->Count(), 1u);
    EXPECT_EQ(RefCount(callback.Get()), 1u);

    // A result without an event is refused.
    ComPtr<IMFAsyncResult> empty;
    ASSERT_HR(S_OK, MFCreateAsyncResult(nullptr, callback.Get(), nullptr, empty.GetAddressOf()));
    EXPECT_HR(E_INVALIDARG, m_Queue->EndGetEvent(empty.Get(), event.GetAddressOf()));
    EXPECT_HR(E_POINTER, m_Queue->EndGetEvent(nullptr, event.GetAddressOf()));
    EXPECT_HR(E_POINTER, m_Queue->EndGetEvent(empty.Get(), nullptr));
}

TEST_F(EventQueue, ShutdownReleasesAPendingRequestWithoutInvokingIt)
{
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    auto state = Make<Probe>();
    ASSERT_HR(S_OK, m_Queue->BeginGetEvent(callback.Get(), state.Get()));
    EXPECT_EQ(RefCount(callback.Get()), 2u);
    ASSERT_HR(S_OK, m_Queue->Shutdown());
    EXPECT_EQ(RefCount(callback.Get()), 1u);
    EXPECT_EQ(state->Count(), 1u);
    EXPECT_TRUE(Fence(MFASYNC_CALLBACK_QUEUE_MULTITHREADED));
    EXPECT_EQ(callback->Invocations(), 0);
}

TEST_F(EventQueue, ReadersReceiveEveryEventOfManyProducersOnceAndInEachProducersOrder)
{
    constexpr UINT32 Producers = 4, EventsEach = 500;
    auto produce = [&] {
        std::vector<std::thread> producers;
        for (UINT32 p = 0; p < Producers; ++p)
            producers.emplace_back([&, p] {
                for (UINT32 i = 0; i < EventsEach; ++i)
                    EXPECT_HR(S_OK, Queue(MEStreamTick, p << 16 | i));
            });
        for (auto& producer : producers)
            producer.join();
    };
    auto check = [&](const std::vector<UINT32>& values) {
        ASSERT_EQ(values.size(), size_t(Producers * EventsEach));
        std::vector<UINT32> next(Producers, 0);
        for (UINT32 value : values)
            ASSERT_EQ(value & 0xFFFF, next[value >> 16]++) << "producer " << (value >> 16);
    };

    // One asynchronous reader that asks again from its callback: a lost wake-up stalls it.
    std::vector<UINT32> answered; // each answer happens after the request the previous one made
    Latch all;
    IMFAsyncCallback* self = nullptr;
    auto reader = MakeCallback([&](IMFAsyncResult* result) {
        ComPtr<IMFMediaEvent> event;
        EXPECT_HR(S_OK, m_Queue->EndGetEvent(result, event.GetAddressOf()));
        answered.push_back(ValueOf(event.Get()));
        if (answered.size() == Producers * EventsEach)
            all.CountDown();
        else
            EXPECT_HR(S_OK, m_Queue->BeginGetEvent(self, nullptr));
    });
    self = reader.Get();
    ASSERT_HR(S_OK, m_Queue->BeginGetEvent(reader.Get(), nullptr));
    produce();
    ASSERT_TRUE(all.Wait());
    check(answered);

    // Blocking readers share the events: each is taken exactly once.
    constexpr int Readers = 3;
    std::vector<std::vector<UINT32>> taken(Readers);
    Latch finished(Readers);
    std::vector<std::thread> readers;
    for (int r = 0; r < Readers; ++r)
        readers.emplace_back([&, r] {
            for (;;)
            {
                ComPtr<IMFMediaEvent> event;
                if (m_Queue->GetEvent(0, event.GetAddressOf()) != S_OK || TypeOf(event.Get()) == MEError)
                    break;
                taken[r].push_back(ValueOf(event.Get()));
            }
            finished.CountDown();
        });
    produce();
    for (int r = 0; r < Readers; ++r)
        EXPECT_HR(S_OK, Queue(MEError));
    const bool allFinished = finished.Wait();
    if (!allFinished)
        m_Queue->Shutdown(); // a reader missed its wake-up: release it to report the failure
    for (auto& thread : readers)
        thread.join();
    ASSERT_TRUE(allFinished);
    std::vector<UINT32> merged;
    for (auto& values : taken)
        merged.insert(merged.end(), values.begin(), values.end());
    std::sort(merged.begin(), merged.end()); // producer by producer, each in order: once each, or check fails
    check(merged);
}
