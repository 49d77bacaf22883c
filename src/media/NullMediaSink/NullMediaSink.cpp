#include "NullMediaSink.h"

#include "media/Common/Names.h"
#include "platform/com/Error.h"
#include "platform/com/Guid.h"

#include <mutex>

NullMediaSink::NullMediaSink()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    XEV_CHECK_HR(MFCreateAttributes(m_Attributes.GetAddressOf(), 4));
    m_Stream = Make<Stream>(this);
}

NullMediaSink::~NullMediaSink()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    if (m_Stream && m_Stream->m_EventQueue)
        (void)m_Stream->m_EventQueue->Shutdown();
    m_PresentationClock = nullptr;
    m_Stream = nullptr;
    m_Attributes = nullptr;
}

HRESULT NullMediaSink::GetCharacteristics(DWORD* characteristics)
{
    if (!characteristics)
        return E_POINTER;
    *characteristics = MEDIASINK_FIXED_STREAMS | MEDIASINK_RATELESS;
    return S_OK;
}

HRESULT NullMediaSink::AddStreamSink(DWORD streamSinkIdentifier, IMFMediaType*, IMFStreamSink** streamSink)
{
    XEV_TRACE("this 0x%p, nStreamSinkIdentifier 0x%X\n", static_cast<void*>(this), streamSinkIdentifier);
    return streamSink ? E_NOTIMPL : E_POINTER;
}

HRESULT NullMediaSink::RemoveStreamSink(DWORD streamSinkIdentifier)
{
    XEV_TRACE("this 0x%p, StreamSinkIdentifier 0x%X\n", static_cast<void*>(this), streamSinkIdentifier);
    return E_NOTIMPL;
}

HRESULT NullMediaSink::GetStreamSinkCount(DWORD* streamSinkCount)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    if (!streamSinkCount)
        return E_POINTER;
    *streamSinkCount = 1;
    return S_OK;
}

HRESULT NullMediaSink::GetStreamSinkByIndex(DWORD index, IMFStreamSink** streamSink)
{
    XEV_TRACE("this 0x%p, Index %u\n", static_cast<void*>(this), index);
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(streamSink);
        std::shared_lock lock(m_Lock);
        ThrowIfShutdown();
        if (index != 0)
            return MF_E_INVALIDINDEX;
        *streamSink = ComPtr<IMFStreamSink>(m_Stream.Get()).Detach();
        return S_OK;
    });
}

HRESULT NullMediaSink::GetStreamSinkById(DWORD streamSinkIdentifier, IMFStreamSink** streamSink)
{
    XEV_TRACE("this 0x%p, StreamSinkIdentifier 0x%X\n", static_cast<void*>(this), streamSinkIdentifier);
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(streamSink);
        std::shared_lock lock(m_Lock);
        ThrowIfShutdown();
        if (streamSinkIdentifier != m_Stream->m_Identifier)
            return MF_E_INVALIDSTREAMNUMBER;
        *streamSink = ComPtr<IMFStreamSink>(m_Stream.Get()).Detach();
        return S_OK;
    });
}

HRESULT NullMediaSink::SetPresentationClock(IMFPresentationClock* presentationClock)
{
    XEV_TRACE("this 0x%p, PresentationClock 0x%p\n", static_cast<void*>(this), static_cast<void*>(presentationClock));
    return Error::Guard([&]() -> HRESULT {
        // The clock's registration calls never call a state sink back, so they may run under the lock.
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        if (m_PresentationClock.Get() == presentationClock)
            return S_FALSE;
        if (m_PresentationClock)
            XEV_CHECK_HR(m_PresentationClock->RemoveClockStateSink(this));
        m_PresentationClock = presentationClock;
        if (m_PresentationClock)
            XEV_CHECK_HR(m_PresentationClock->AddClockStateSink(this));
        return S_OK;
    });
}

HRESULT NullMediaSink::GetPresentationClock(IMFPresentationClock** presentationClock)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(presentationClock);
        std::shared_lock lock(m_Lock);
        ThrowIfShutdown();
        if (!m_PresentationClock)
            return MF_E_NO_CLOCK;
        m_PresentationClock.CopyTo(presentationClock);
        return S_OK;
    });
}

HRESULT NullMediaSink::Shutdown()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        if (m_PresentationClock)
        {
            XEV_CHECK_HR(m_PresentationClock->RemoveClockStateSink(this));
            m_PresentationClock = nullptr;
        }
        CompleteShutdown();
    });
}

HRESULT NullMediaSink::BeginFinalize(IMFAsyncCallback* callback, IUnknown* state)
{
    XEV_TRACE("this 0x%p, AsyncCallback 0x%p, StateUnknown 0x%p\n", static_cast<void*>(this), static_cast<void*>(callback),
        static_cast<void*>(state));
    return Error::Guard([&] {
        ComPtr<IMFAsyncResult> result;
        XEV_CHECK_HR(MFCreateAsyncResult(static_cast<IMFFinalizableMediaSink*>(this), callback, state, result.GetAddressOf()));
        {
            std::unique_lock lock(m_Lock);
            m_Finalizing = true;
        }
        XEV_CHECK_HR(MFInvokeCallback(result.Get()));
    });
}

HRESULT NullMediaSink::EndFinalize(IMFAsyncResult* result)
{
    XEV_TRACE("this 0x%p, AsyncResult 0x%p\n", static_cast<void*>(this), static_cast<void*>(result));
    std::unique_lock lock(m_Lock);
    m_Finalizing = false;
    return S_OK;
}

HRESULT NullMediaSink::OnClockStart(MFTIME systemTime, LONGLONG clockStartOffset)
{
    XEV_TRACE("this 0x%p, SystemTime %lld, StartOffset %lld\n", static_cast<void*>(this), static_cast<long long>(systemTime),
        static_cast<long long>(clockStartOffset));
    return Error::Guard([&] {
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        // The log shows the negotiated type at each start.
        if (m_Stream->m_CurrentMediaType)
            MF::TraceMediaType(m_Stream->m_CurrentMediaType.Get());
        m_Stream->QueueEvent(MEStreamSinkStarted, S_OK);
        m_Stream->QueueEvent(MEStreamSinkRequestSample, S_OK);
    });
}

HRESULT NullMediaSink::OnClockStop(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", static_cast<void*>(this), static_cast<long long>(systemTime));
    return Error::Guard([&] {
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        m_Stream->QueueEvent(MEStreamSinkStopped, S_OK);
    });
}

HRESULT NullMediaSink::OnClockPause(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", static_cast<void*>(this), static_cast<long long>(systemTime));
    return Error::Guard([&] { m_Stream->QueueEvent(MEStreamSinkPaused, S_OK); });
}

HRESULT NullMediaSink::OnClockRestart(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", static_cast<void*>(this), static_cast<long long>(systemTime));
    return Error::Guard([&] { m_Stream->QueueEvent(MEStreamSinkStarted, S_OK); });
}

HRESULT NullMediaSink::OnClockSetRate(MFTIME systemTime, float rate)
{
    XEV_TRACE("this 0x%p, SystemTime %lld, Rate %.3f\n", static_cast<void*>(this), static_cast<long long>(systemTime),
        static_cast<double>(rate));
    return S_OK;
}

HRESULT NullMediaSink::GetService(REFGUID service, REFIID riid, void**)
{
    XEV_TRACE("this 0x%p, ServiceIdentifier %s, InterfaceIdentifier %s\n", static_cast<void*>(this), MF::ServiceName(service).c_str(),
        MF::InterfaceName(riid).c_str());
    return MF_E_UNSUPPORTED_SERVICE;
}

HRESULT NullMediaSink::SetProperties(IUnknown* propertySet)
{
    XEV_TRACE("this 0x%p, PropertySet 0x%p\n", static_cast<void*>(this), static_cast<void*>(propertySet));
    return S_OK;
}

NullMediaSink::Stream::Stream(NullMediaSink* sink)
{
    SetParent(sink, &sink->m_Lock);
    CreateEventQueue();
    XEV_CHECK_HR(MFCreateAttributes(m_Attributes.GetAddressOf(), 4));
}

HRESULT NullMediaSink::Stream::GetMediaSink(IMFMediaSink** mediaSink)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(mediaSink);
        std::shared_lock lock(Sink().m_Lock);
        Sink().ThrowIfShutdown();
        *mediaSink = ComPtr<IMFMediaSink>(static_cast<IMFFinalizableMediaSink*>(&Sink())).Detach();
    });
}

HRESULT NullMediaSink::Stream::GetIdentifier(DWORD* identifier)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(identifier);
        std::shared_lock lock(Sink().m_Lock);
        Sink().ThrowIfShutdown();
        *identifier = m_Identifier;
    });
}

HRESULT NullMediaSink::Stream::GetMediaTypeHandler(IMFMediaTypeHandler** handler)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(handler);
        std::shared_lock lock(Sink().m_Lock);
        Sink().ThrowIfShutdown();
        *handler = ComPtr<IMFMediaTypeHandler>(this).Detach();
    });
}

HRESULT NullMediaSink::Stream::ProcessSample(IMFSample* sample)
{
    return Error::Guard([&] {
        XEV_CHECK(sample, E_INVALIDARG);
        bool finalizing = false;
        {
            std::shared_lock lock(Sink().m_Lock);
            Sink().ThrowIfShutdown();
            // Under the lock held shared, by design: the owner's callback must not take it exclusively.
            if (m_SampleCallback)
                m_SampleCallback(sample);
            finalizing = Sink().m_Finalizing;
        }
        if (!finalizing)
            QueueEvent(MEStreamSinkRequestSample, S_OK);
    });
}

HRESULT NullMediaSink::Stream::PlaceMarker(MFSTREAMSINK_MARKER_TYPE markerType, const PROPVARIANT* markerValue,
    const PROPVARIANT* contextValue)
{
    XEV_TRACE("this 0x%p, MarkerType %s, MarkerValue 0x%p, ContextValue 0x%p\n", static_cast<void*>(this),
        MF::StreamSinkMarkerTypeName(markerType).c_str(), static_cast<const void*>(markerValue), static_cast<const void*>(contextValue));
    return Error::Guard([&] {
        std::shared_lock lock(Sink().m_Lock);
        Sink().ThrowIfShutdown();
        QueueEvent(MEStreamSinkMarker, contextValue);
    });
}

HRESULT NullMediaSink::Stream::Flush()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        std::shared_lock lock(Sink().m_Lock);
        Sink().ThrowIfShutdown();
    });
}

HRESULT NullMediaSink::Stream::IsMediaTypeSupported(IMFMediaType* mediaType, IMFMediaType** closestMediaType)
{
    XEV_TRACE("this 0x%p, MediaType 0x%p, SupportMediaType 0x%p\n", static_cast<void*>(this), static_cast<void*>(mediaType),
        static_cast<void*>(closestMediaType));
    return mediaType ? S_OK : E_POINTER;
}

HRESULT NullMediaSink::Stream::GetMediaTypeCount(DWORD* typeCount)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    if (!typeCount)
        return E_POINTER;
    std::shared_lock lock(Sink().m_Lock);
    *typeCount = 1;
    return S_OK;
}

ComPtr<IMFMediaType> NullMediaSink::Stream::CopyCurrentTypeLocked() const
{
    XEV_CHECK(m_CurrentMediaType, MF_E_NOT_INITIALIZED);
    ComPtr<IMFMediaType> copy;
    XEV_CHECK_HR(MFCreateMediaType(copy.GetAddressOf()));
    XEV_CHECK_HR(m_CurrentMediaType->CopyAllItems(copy.Get()));
    return copy;
}

HRESULT NullMediaSink::Stream::GetMediaTypeByIndex(DWORD index, IMFMediaType** mediaType)
{
    XEV_TRACE("this 0x%p, Index %u\n", static_cast<void*>(this), index);
    return Error::Guard([&] {
        XEV_CHECK(index == 0, E_INVALIDARG);
        XEV_CHECK_POINTER(mediaType);
        std::shared_lock lock(Sink().m_Lock);
        *mediaType = CopyCurrentTypeLocked().Detach();
    });
}

HRESULT NullMediaSink::Stream::SetCurrentMediaType(IMFMediaType* mediaType)
{
    XEV_TRACE("this 0x%p, MediaType 0x%p\n", static_cast<void*>(this), static_cast<void*>(mediaType));
    return Error::Guard([&] {
        XEV_CHECK_POINTER(mediaType);
        MF::TraceMediaType(mediaType);
        ComPtr<IMFMediaType> previous;
        std::unique_lock lock(Sink().m_Lock);
        previous = std::exchange(m_CurrentMediaType, ComPtr<IMFMediaType>(mediaType));
    });
}

HRESULT NullMediaSink::Stream::GetCurrentMediaType(IMFMediaType** mediaType)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(mediaType);
        std::shared_lock lock(Sink().m_Lock);
        if (!m_CurrentMediaType)
            return MF_E_NOT_INITIALIZED;
        *mediaType = CopyCurrentTypeLocked().Detach();
        return S_OK;
    });
}

HRESULT NullMediaSink::Stream::GetMajorType(GUID* majorType)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        XEV_CHECK_POINTER(majorType);
        std::shared_lock lock(Sink().m_Lock);
        XEV_CHECK(m_CurrentMediaType, MF_E_NOT_INITIALIZED);
        XEV_CHECK_HR(m_CurrentMediaType->GetGUID(MF_MT_MAJOR_TYPE, majorType));
    });
}

void NullMediaSink::Stream::SetSampleCallback(SampleCallback callback)
{
    std::unique_lock lock(Sink().m_Lock);
    std::swap(m_SampleCallback, callback);
    // The replaced callback is destroyed after the lock is let go.
    lock.unlock();
}
