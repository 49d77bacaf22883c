// Event queues (MFCreateEventQueue): what every event generator keeps its events in.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/WorkQueueInternal.h"
#include "platform/system/Blocking.h"

#include <condition_variable>
#include <mutex>

namespace MFPlatform
{
namespace
{
// Events wait here in the order queued until a reader takes them: GetEvent (at once, or blocking
// until one arrives) or one asynchronous request (BeginGetEvent), answered as soon as an event
// is there by putting its callback on the work queue the callback names, with the event as the
// result's object; EndGetEvent hands that event out.
//
// One subscriber at a time: while a request is pending, GetEvent and a second BeginGetEvent are
// refused (MF_E_MULTIPLE_SUBSCRIBERS; the same callback again gives MF_E_MULTIPLE_BEGIN, or
// MF_S_MULTIPLE_BEGIN with the same state too). A request counts as pending until it is
// answered, so a callback may ask again before or after its EndGetEvent. Several threads may
// block in GetEvent together; each gets a different event.
//
// Shutdown drops the queued events, wakes blocked GetEvent calls with MF_E_SHUTDOWN and releases
// a pending request without invoking it (as a request never answered); afterwards every method
// but Shutdown answers MF_E_SHUTDOWN, EndGetEvent included. A second Shutdown does nothing.
//
// Callbacks are never called with the queue's lock held. GetParameters of a request's callback is
// called by the thread that answers it, which may be one inside QueueEvent.
class EventQueue final : public ComObject<IMFMediaEventQueue>
{
public:
    // IMFMediaEventQueue
    HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override;
    HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
    HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
    HRESULT QueueEvent(IMFMediaEvent* event) override;
    HRESULT QueueEventParamVar(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) override;
    HRESULT QueueEventParamUnk(MediaEventType type, REFGUID extendedType, HRESULT status, IUnknown* unknown) override;
    HRESULT Shutdown() override;

private:
    // Puts the request's callback on its work queue with `event`. Should that fail, the event goes
    // back to the head of the queue for the next reader and the request is dropped.
    HRESULT Answer(IMFAsyncCallback* callback, IUnknown* state, ComPtr<IMFMediaEvent>&& event);

    std::mutex m_Lock;                          // guards the fields below
    std::condition_variable m_EventQueued;      // an event arrived, or Shutdown
    Ring<ComPtr<IMFMediaEvent>> m_Events;
    ComPtr<IMFAsyncCallback> m_RequestCallback; // the pending BeginGetEvent (m_Events is then empty but for a failed answer's event)
    ComPtr<IUnknown> m_RequestState;
    unsigned m_Waiters = 0;                     // threads blocked in GetEvent
    bool m_Shutdown = false;
};

HRESULT EventQueue::GetEvent(DWORD flags, IMFMediaEvent** event)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(event);
        *event = nullptr;
        std::unique_lock lock(m_Lock);
        if (m_Shutdown)
            return MF_E_SHUTDOWN;
        if (m_RequestCallback)
            return MF_E_MULTIPLE_SUBSCRIBERS;
        while (m_Events.Empty())
        {
            if (flags & MF_EVENT_FLAG_NO_WAIT)
                return MF_E_NO_EVENTS_AVAILABLE;
            ++m_Waiters;
            {
                const Sync::BlockingRegion blocking;
                m_EventQueued.wait(lock);
            }
            --m_Waiters;
            if (m_Shutdown)
                return MF_E_SHUTDOWN;
        }
        *event = m_Events.PopFront().Detach();
        return S_OK;
    });
}

HRESULT EventQueue::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(callback);
        ComPtr<IMFMediaEvent> event;
        {
            std::lock_guard lock(m_Lock);
            if (m_Shutdown)
                return MF_E_SHUTDOWN;
            if (m_RequestCallback)
            {
                if (m_RequestCallback.Get() != callback)
                    return MF_E_MULTIPLE_SUBSCRIBERS;
                return m_RequestState.Get() == state ? MF_S_MULTIPLE_BEGIN : MF_E_MULTIPLE_BEGIN;
            }
            if (m_Waiters > 0)
                return MF_E_MULTIPLE_SUBSCRIBERS;
            if (m_Events.Empty())
            {
                m_RequestCallback = callback;
                m_RequestState = state;
                return S_OK;
            }
            event = m_Events.PopFront();
        }
        return Answer(callback, state, std::move(event));
    });
}

HRESULT EventQueue::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(event);
        *event = nullptr;
        XEV_CHECK_POINTER(result);
        {
            std::lock_guard lock(m_Lock);
            if (m_Shutdown)
                return MF_E_SHUTDOWN;
        }
        ComPtr<IUnknown> object;
        ComPtr<IMFMediaEvent> answered;
        // Only a result this queue answered a request with carries an event.
        XEV_CHECK(SUCCEEDED(result->GetObject(object.GetAddressOf())) && SUCCEEDED(object.As(&answered)), E_INVALIDARG);
        *event = answered.Detach();
        return S_OK;
    });
}

HRESULT EventQueue::QueueEvent(IMFMediaEvent* event)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(event);
        ComPtr<IMFAsyncCallback> callback;
        ComPtr<IUnknown> state;
        ComPtr<IMFMediaEvent> oldest;
        {
            std::lock_guard lock(m_Lock);
            if (m_Shutdown)
                return MF_E_SHUTDOWN;
            m_Events.PushBack(ComPtr<IMFMediaEvent>(event));
            if (!m_RequestCallback)
            {
                if (m_Waiters == 0)
                    return S_OK;
            }
            else
            {
                // Normally the queue was empty; after a failed answer raced with a new request
                // it may hold older events, which go first.
                callback = std::move(m_RequestCallback);
                state = std::move(m_RequestState);
                oldest = m_Events.PopFront();
            }
        }
        if (!callback)
        {
            m_EventQueued.notify_one();
            return S_OK;
        }
        // The event is queued whatever becomes of the request; a failed answer is reported here.
        if (const HRESULT hr = Answer(callback.Get(), state.Get(), std::move(oldest)); FAILED(hr) && hr != MF_E_SHUTDOWN)
            Error::ReportFailure(hr, __FILE__, __LINE__);
        return S_OK;
    });
}

HRESULT EventQueue::QueueEventParamVar(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value)
{
    return Error::Guard([&]() -> HRESULT {
        ComPtr<IMFMediaEvent> event;
        XEV_CHECK_HR(MFCreateMediaEvent(type, extendedType, status, value, event.GetAddressOf()));
        return QueueEvent(event.Get());
    });
}

HRESULT EventQueue::QueueEventParamUnk(MediaEventType type, REFGUID extendedType, HRESULT status, IUnknown* unknown)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    if (unknown)
    {
        value.vt = VT_UNKNOWN;
        value.punkVal = unknown; // borrowed: the event takes its own reference
    }
    return QueueEventParamVar(type, extendedType, status, &value);
}

HRESULT EventQueue::Shutdown()
{
    Ring<ComPtr<IMFMediaEvent>> dropped; // released after the lock is let go
    ComPtr<IMFAsyncCallback> callback;
    ComPtr<IUnknown> state;
    {
        std::lock_guard lock(m_Lock);
        if (m_Shutdown)
            return S_OK;
        m_Shutdown = true;
        dropped = m_Events.TakeAll();
        callback = std::move(m_RequestCallback);
        state = std::move(m_RequestState);
    }
    m_EventQueued.notify_all();
    return S_OK;
}

HRESULT EventQueue::Answer(IMFAsyncCallback* callback, IUnknown* state, ComPtr<IMFMediaEvent>&& event)
{
    HRESULT hr = S_OK;
    try
    {
        hr = PutResult(CallbackQueue(callback), CreateAsyncResult(event.Get(), callback, state));
    }
    catch (...)
    {
        hr = Error::CurrentExceptionResult();
    }
    if (SUCCEEDED(hr))
        return S_OK;
    bool requeued = false;
    {
        std::lock_guard lock(m_Lock);
        if (!m_Shutdown)
        {
            m_Events.PushFront(std::move(event));
            requeued = m_Waiters > 0;
        }
    }
    if (requeued)
        m_EventQueued.notify_one();
    return hr;
}
} // namespace
} // namespace MFPlatform

HRESULT MFCreateEventQueue(IMFMediaEventQueue** queue)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(queue);
        *queue = Make<MFPlatform::EventQueue>().Detach();
    });
}
