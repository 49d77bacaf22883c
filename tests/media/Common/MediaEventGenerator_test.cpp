#include "media/Common/MediaEventGenerator.h"

#include "media/Common/AsyncCallback.h"

#include "fakes/Platform.h"
#include "fakes/Support.h"

#include <array>
#include <atomic>
#include <functional>
#include <future>
#include <shared_mutex>
#include <thread>

namespace GeneratorTest
{
// Forwards to a real event queue; a test may fail a method or watch GetEvent start waiting.
class ForwardingQueue final : public ComObject<IMFMediaEventQueue>
{
public:
    explicit ForwardingQueue(ComPtr<IMFMediaEventQueue> inner) : m_Inner(std::move(inner)) {}

    HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override
    {
        if (m_OnGetEvent)
            m_OnGetEvent();
        return FAILED(m_Failure) ? m_Failure : m_Inner->GetEvent(flags, event);
    }
    HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override { return FAILED(m_Failure) ? m_Failure : m_Inner->BeginGetEvent(callback, state); }
    HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override { return FAILED(m_Failure) ? m_Failure : m_Inner->EndGetEvent(result, event); }
    HRESULT QueueEvent(IMFMediaEvent*) override { return E_NOTIMPL; }
    HRESULT QueueEventParamVar(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override
    {
        return FAILED(m_Failure) ? m_Failure : m_Inner->QueueEventParamVar(type, extended, status, value);
    }
    HRESULT QueueEventParamUnk(MediaEventType, REFGUID, HRESULT, IUnknown*) override { return E_NOTIMPL; }
    HRESULT Shutdown() override { return m_Inner->Shutdown(); }

    ComPtr<IMFMediaEventQueue> m_Inner;
    HRESULT m_Failure = S_OK;             // set before the calls it fails
    std::function<void()> m_OnGetEvent;   // set before the calls it watches
};

// A primitive owner with the encoder transform's event hook.
class Transform : public ComObject<MF::MediaEventGenerator<Transform, MF::MediaPrimitiveTraits>>, public MF::ShutdownState<Transform>
{
public:
    Transform() { CreateEventQueue(); }

    void EventHook(IMFMediaEvent* event) { MF::TransformEventHook(event); }

    // The owner's shutdown: state first, then the queue.
    void ShutdownObject()
    {
        std::unique_lock lock(m_Lock);
        CompleteShutdown();
        m_EventQueue->Shutdown();
    }
    // Puts a forwarding queue between the generator and the real one.
    ForwardingQueue* Interpose()
    {
        auto forwarding = Make<ForwardingQueue>(m_EventQueue);
        m_EventQueue = forwarding;
        return forwarding.Get();
    }

    using MediaEventGenerator::m_EventQueue;
    mutable std::shared_mutex m_Lock; // guards the shutdown word
};

// The results of GetEvent (without waiting), BeginGetEvent, EndGetEvent and QueueEvent, each
// call refused; the event out parameters must come back empty.
std::array<HRESULT, 4> RefusedCalls(IMFMediaEventGenerator* generator)
{
    auto callback = Make<MF::AsyncCallback>();
    ComPtr<IMFAsyncResult> result = callback->CreateAsyncResult(nullptr, nullptr);
    IMFMediaEvent *got = reinterpret_cast<IMFMediaEvent*>(1), *ended = got;
    // A braced list is evaluated in order.
    const std::array<HRESULT, 4> results { generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, &got), generator->BeginGetEvent(callback.Get(), nullptr),
        generator->EndGetEvent(result.Get(), &ended), generator->QueueEvent(MEError, GUID_NULL, S_OK, nullptr) };
    EXPECT_EQ(got, nullptr);
    EXPECT_EQ(ended, nullptr);
    return results;
}
std::array<HRESULT, 4> All(HRESULT hr) { return { hr, hr, hr, hr }; }

class MediaEventGeneratorTest : public TestSupport::PlatformTest
{
protected:
    // Takes the next event through BeginGetEvent/EndGetEvent.
    static ComPtr<IMFMediaEvent> TakeAsync(IMFMediaEventGenerator* generator)
    {
        ComPtr<IMFMediaEvent> taken;
        HRESULT endResult = E_FAIL;
        Sync::Event done(Sync::Event::ResetMode::Manual);
        auto callback = Make<MF::AsyncCallback>();
        callback->SetFunction([&](MF::AsyncCallback*, IMFAsyncResult* result) {
            endResult = generator->EndGetEvent(result, taken.ReleaseAndGetAddressOf());
            done.Set();
        });
        EXPECT_EQ(generator->BeginGetEvent(callback.Get(), nullptr), S_OK);
        EXPECT_TRUE(done.Wait(TestSupport::PatienceMilliseconds));
        EXPECT_EQ(endResult, S_OK);
        return taken;
    }
};
} // namespace GeneratorTest

using namespace GeneratorTest;

// A stream generator that follows its parent's shutdown is seen through the null sink's stream
// (NullMediaSinkTest.LookupsRefusalsAndShutdown).
TEST_F(MediaEventGeneratorTest, RefusalsByArgumentsStateAndQueueFailures)
{
    auto transform = Make<Transform>();
    EXPECT_EQ(transform->GetEvent(MF_EVENT_FLAG_NO_WAIT, nullptr), E_POINTER);
    IMFMediaEvent* event = reinterpret_cast<IMFMediaEvent*>(1);
    EXPECT_EQ(transform->GetEvent(MF_EVENT_FLAG_NO_WAIT, &event), MF_E_NO_EVENTS_AVAILABLE);
    EXPECT_EQ(event, nullptr);
    EXPECT_NO_THROW(transform->QueueEvent(METransformNeedInput, S_OK));

    // Each state refuses every call; the owner's own QueueEvent forms carry on, or throw the
    // queue's other failures.
    const struct { const char* State; std::function<void(Transform*)> Enter; HRESULT Expected; } cases[] = {
        { "owner shut down", [](Transform* t) { t->ShutdownObject(); }, MF_E_SHUTDOWN },
        { "queue shut down", [](Transform* t) { t->m_EventQueue->Shutdown(); }, MF_E_SHUTDOWN },
        { "queue failing", [](Transform* t) { t->Interpose()->m_Failure = E_OUTOFMEMORY; }, E_OUTOFMEMORY },
        { "no queue yet", [](Transform* t) { t->m_EventQueue->Shutdown(), t->m_EventQueue = nullptr; }, MF_E_NOT_INITIALIZED },
    };
    for (const auto& c : cases)
    {
        transform = Make<Transform>();
        c.Enter(transform.Get());
        EXPECT_EQ(RefusedCalls(transform.Get()), All(c.Expected)) << c.State;
        const bool throws = c.Expected == E_OUTOFMEMORY;
        EXPECT_EQ(Error::Guard([&] { transform->QueueEvent(MEError, E_FAIL); }), throws ? E_OUTOFMEMORY : S_OK) << c.State;
        EXPECT_EQ(Error::Guard([&] { transform->QueueEvent(MEError, static_cast<const PROPVARIANT*>(nullptr)); }), throws ? E_OUTOFMEMORY : S_OK) << c.State;
    }
    // No events is a failure like any other when the caller would wait.
    transform->m_EventQueue = Make<Transform>()->m_EventQueue;
    transform->Interpose()->m_Failure = MF_E_NO_EVENTS_AVAILABLE;
    EXPECT_EQ(transform->GetEvent(0, &event), MF_E_NO_EVENTS_AVAILABLE);
}

TEST_F(MediaEventGeneratorTest, GetEventWaitsWithoutHoldingTheOwnersLock)
{
    auto transform = Make<Transform>();
    ForwardingQueue* forwarding = transform->Interpose();
    std::promise<void> waiting;
    forwarding->m_OnGetEvent = [&] { waiting.set_value(); };
    ComPtr<IMFMediaEvent> event;
    auto taken = std::async(std::launch::async, [&] { return transform->GetEvent(0, event.GetAddressOf()); });
    ASSERT_EQ(waiting.get_future().wait_for(TestSupport::Patience), std::future_status::ready);
    // The owner can take its lock exclusive while GetEvent waits.
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return transform->m_Lock.try_lock(); }));
    transform->QueueEvent(MEStreamStarted, S_OK);
    transform->m_Lock.unlock();
    ASSERT_EQ(taken.wait_for(TestSupport::Patience), std::future_status::ready);
    ASSERT_EQ(taken.get(), S_OK);
    MediaEventType type = MEUnknown;
    EXPECT_EQ(event->GetType(&type), S_OK);
    EXPECT_EQ(type, static_cast<MediaEventType>(MEStreamStarted));
}

// The hook marks input events taken through BeginGetEvent/EndGetEvent only; counts stay as they were.
TEST_F(MediaEventGeneratorTest, HookMarksInputEventsTakenAsynchronouslyOnly)
{
    auto transform = Make<Transform>();
    const ULONG before = TestSupport::RefCount(transform->AsUnknown());
    const std::pair<MediaEventType, bool> cases[] { { METransformNeedInput, true }, { METransformDrainComplete, true }, { METransformHaveOutput, false } };
    for (const auto& [type, marked] : cases)
    {
        EXPECT_EQ(transform->QueueEvent(type, GUID_NULL, S_OK, nullptr), S_OK);
        auto event = TakeAsync(transform.Get());
        ASSERT_NE(event, nullptr);
        UINT32 streamId = 99;
        EXPECT_EQ(SUCCEEDED(event->GetUINT32(MF_EVENT_MFT_INPUT_STREAM_ID, &streamId)) && streamId == 0, marked) << type;
    }
    transform->QueueEvent(METransformNeedInput, S_OK);
    ComPtr<IMFMediaEvent> event;
    ASSERT_EQ(transform->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()), S_OK);
    UINT32 streamId = 0;
    EXPECT_TRUE(FAILED(event->GetUINT32(MF_EVENT_MFT_INPUT_STREAM_ID, &streamId)));
    EXPECT_EQ(TestSupport::RefCount(event.Get()), 1u);
    EXPECT_EQ(TestSupport::RefCount(transform->AsUnknown()), before);
}

TEST_F(MediaEventGeneratorTest, ShutdownRacingWithQueueEventNeverLetsAnEventInAfterwards)
{
    for (int round = 0; round < 50; ++round)
    {
        auto transform = Make<Transform>();
        std::atomic<bool> shutDown { false };
        std::atomic<int> wrong { 0 }; // accepted after the shutdown, or refused with another result
        auto queue = [&] {
            for (int i = 0; i < 200; ++i)
            {
                const bool after = shutDown.load();
                const HRESULT hr = transform->QueueEvent(MEStreamSinkRequestSample, GUID_NULL, S_OK, nullptr);
                wrong += hr == S_OK ? after : hr != MF_E_SHUTDOWN;
            }
        };
        std::thread first(queue), second(queue);
        transform->ShutdownObject();
        shutDown = true;
        first.join(), second.join();
        ASSERT_EQ(wrong.load(), 0) << round;
    }
}
