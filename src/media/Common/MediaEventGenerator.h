#pragma once
// MF::MediaEventGenerator<T, Traits>: IMFMediaEventGenerator for a media object T, over a
// platform event queue, answering MF_E_SHUTDOWN once the object is shut down.
//
// The traits say whose lock and shutdown word guard the generator:
//   MF::MediaPrimitiveTraits     T's own: T has `std::shared_mutex m_Lock` and derives from
//                                MF::ShutdownState<T> (the transform, the media source)
//   MF::MediaSourceStreamTraits  the parent media source's (a source stream, IMFMediaStream)
//   MF::MediaSinkStreamTraits    the parent media sink's (a stream sink, IMFStreamSink)
// So a stream is shut down exactly when its parent is, and its events are serialised against the
// parent's state changes by the parent's lock. The parent outlives its streams' generator calls.
//
// The generator is the base through which T implements the interface: IMFMediaStream and
// IMFStreamSink for the stream traits; for primitive owners IMFMediaEventGenerator, or the owner's
// own interface when it extends IMFMediaEventGenerator (specialise MF::EventGeneratorInterface
// before T's definition, as the media source does for IMFMediaSourceEx).
//
// Order of calls: T calls CreateEventQueue once while it is constructed; the public methods come
// after. T shuts the queue down itself (m_EventQueue->Shutdown()); the generator never does.
// T may have an event hook `void EventHook(IMFMediaEvent*)` that EndGetEvent applies to each
// event before handing it out (the encoder transform's is MF::TransformEventHook).
//
// Threads: the public methods take the lock shared, so they run concurrently with each other and
// wait only for the owner's exclusive sections. GetEvent lets the lock go before it waits on the
// queue; the other three call the queue (and EndGetEvent the hook) holding the lock shared, so
// that nothing reaches the queue once the owner's shutdown has taken the lock.

#include "media/Common/Names.h"
#include "media/Common/Shutdown.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <shared_mutex>
#include <type_traits>

namespace MF
{
// The interface a primitive owner implements through its generator.
template <class T>
struct EventGeneratorInterface
{
    using Type = IMFMediaEventGenerator;
};

struct MediaPrimitiveTraits
{
    template <class T>
    using Interface = typename EventGeneratorInterface<T>::Type;
    static constexpr bool HasParent = false;
};
struct MediaSourceStreamTraits
{
    template <class T>
    using Interface = IMFMediaStream;
    static constexpr bool HasParent = true;
};
struct MediaSinkStreamTraits
{
    template <class T>
    using Interface = IMFStreamSink;
    static constexpr bool HasParent = true;
};

// The encoder transform's event hook: METransformNeedInput and METransformDrainComplete carry
// MF_EVENT_MFT_INPUT_STREAM_ID = 0. Failures throw.
inline void TransformEventHook(IMFMediaEvent* event)
{
    MediaEventType type = MEUnknown;
    XEV_CHECK_HR(event->GetType(&type));
    if (type == METransformNeedInput || type == METransformDrainComplete)
        XEV_CHECK_HR(event->SetUINT32(MF_EVENT_MFT_INPUT_STREAM_ID, 0));
}

namespace Detail
{
struct NoParent
{
};
struct StreamParent
{
    ShutdownStateBase* Parent = nullptr; // non-owning: the parent outlives the stream's calls
    std::shared_mutex* Lock = nullptr;   // the parent's lock
};
} // namespace Detail

template <class T, class Traits>
class MediaEventGenerator : public Traits::template Interface<T>
{
    static_assert(std::is_base_of_v<IMFMediaEventGenerator, typename Traits::template Interface<T>>);

public:
    // IMFMediaEventGenerator (no trace lines but QueueEvent's)
    HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override
    {
        return ::Error::Guard([&]() -> HRESULT {
            XEV_CHECK_POINTER(event);
            *event = nullptr;
            ComPtr<IMFMediaEventQueue> queue;
            {
                std::shared_lock lock(GeneratorLock());
                if (GeneratorState().IsShutdown())
                    return MF_E_SHUTDOWN;
                queue = m_EventQueue;
            }
            XEV_CHECK(queue, MF_E_NOT_INITIALIZED);
            // Without the lock: the queue's GetEvent may wait for an event.
            const HRESULT hr = queue->GetEvent(flags, event);
            if (hr == MF_E_SHUTDOWN || (hr == MF_E_NO_EVENTS_AVAILABLE && (flags & MF_EVENT_FLAG_NO_WAIT)))
                return hr;
            XEV_CHECK_HR(hr);
            return S_OK;
        });
    }

    HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override
    {
        return ::Error::Guard([&]() -> HRESULT {
            std::shared_lock lock(GeneratorLock());
            if (GeneratorState().IsShutdown())
                return MF_E_SHUTDOWN;
            XEV_CHECK(m_EventQueue, MF_E_NOT_INITIALIZED);
            // Under the lock shared: the queue answers the request on a work queue, never here.
            const HRESULT hr = m_EventQueue->BeginGetEvent(callback, state);
            if (hr == MF_E_SHUTDOWN)
                return hr;
            XEV_CHECK_HR(hr);
            return S_OK;
        });
    }

    HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override
    {
        return ::Error::Guard([&]() -> HRESULT {
            XEV_CHECK_POINTER(event);
            *event = nullptr;
            std::shared_lock lock(GeneratorLock());
            if (GeneratorState().IsShutdown())
                return MF_E_SHUTDOWN;
            XEV_CHECK(m_EventQueue, MF_E_NOT_INITIALIZED);
            ComPtr<IMFMediaEvent> taken;
            const HRESULT hr = m_EventQueue->EndGetEvent(result, taken.GetAddressOf());
            if (hr == MF_E_SHUTDOWN)
                return hr;
            XEV_CHECK_HR(hr);
            // Under the lock shared, as the queue call above.
            if constexpr (requires(T& owner, IMFMediaEvent* e) { owner.EventHook(e); })
                static_cast<T*>(this)->EventHook(taken.Get());
            *event = taken.Detach();
            return S_OK;
        });
    }

    HRESULT QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) override
    {
        XEV_TRACE("this 0x%p, Type %s, ExtendedType %s, Status 0x%08X, Value 0x%p\n", static_cast<void*>(this),
            MediaEventTypeName(type).c_str(), Guid::ToText(extendedType).data(), static_cast<unsigned>(status),
            static_cast<const void*>(value));
        return ::Error::Guard([&]() -> HRESULT {
            std::shared_lock lock(GeneratorLock());
            if (GeneratorState().IsShutdown())
                return MF_E_SHUTDOWN;
            XEV_CHECK(m_EventQueue, MF_E_NOT_INITIALIZED);
            // Under the lock shared: queueing never waits.
            const HRESULT hr = m_EventQueue->QueueEventParamVar(type, extendedType, status, value);
            if (hr == MF_E_SHUTDOWN)
                return hr;
            XEV_CHECK_HR(hr);
            return S_OK;
        });
    }

    // Owner operations: no trace line, no lock, no shutdown check; the owner calls them holding
    // whatever lock its design says. MF_E_SHUTDOWN from the queue is ignored, so that an owner
    // queueing events during or after its shutdown carries on; other failures throw.

    // Drops a queue it may hold and makes a new one. Called while T is constructed.
    void CreateEventQueue()
    {
        m_EventQueue = nullptr;
        XEV_CHECK_HR(MFCreateEventQueue(m_EventQueue.GetAddressOf()));
    }
    // An event with a value (may be null) and S_OK. Nothing happens before the queue exists.
    void QueueEvent(MediaEventType type, const PROPVARIANT* value)
    {
        if (m_EventQueue)
            QueueChecked(m_EventQueue->QueueEventParamVar(type, GUID_NULL, S_OK, value));
    }
    // An event with a status and no value.
    void QueueEvent(MediaEventType type, HRESULT status)
    {
        if (m_EventQueue)
            QueueChecked(m_EventQueue->QueueEventParamVar(type, GUID_NULL, status, nullptr));
    }

protected:
    MediaEventGenerator() = default;
    ~MediaEventGenerator() = default;

    // A stream's generator reads its parent's lock and shutdown word: the stream sets them in its
    // constructor, before anything else can reach it.
    void SetParent(ShutdownStateBase* parent, std::shared_mutex* parentLock) noexcept
        requires(Traits::HasParent)
    {
        m_Parent = { parent, parentLock };
    }

    // The parent set by SetParent (stream traits), as its own class.
    template <class Parent>
    Parent* GetParent() const noexcept
        requires(Traits::HasParent)
    {
        return static_cast<Parent*>(m_Parent.Parent);
    }

    // Written only while T is constructed; read under the traits' lock by the public methods.
    ComPtr<IMFMediaEventQueue> m_EventQueue;

private:
    static void QueueChecked(HRESULT hr)
    {
        if (hr != MF_E_SHUTDOWN)
            XEV_CHECK_HR(hr);
    }

    std::shared_mutex& GeneratorLock()
    {
        if constexpr (Traits::HasParent)
        {
            XEV_CHECK(m_Parent.Lock && m_Parent.Parent, MF_E_NOT_INITIALIZED);
            return *m_Parent.Lock;
        }
        else
            return static_cast<T*>(this)->m_Lock;
    }
    // Read under GeneratorLock().
    const ShutdownStateBase& GeneratorState() noexcept
    {
        if constexpr (Traits::HasParent)
            return *m_Parent.Parent;
        else
            return static_cast<const ShutdownStateBase&>(*static_cast<T*>(this));
    }

    [[no_unique_address]] std::conditional_t<Traits::HasParent, Detail::StreamParent, Detail::NoParent> m_Parent;
};
} // namespace MF
