#include "SessionDoubles.h" // beside this file: the session benchmark compiles it too

namespace SessionDoubles
{
namespace
{
constexpr LONGLONG SampleDuration = 333333;

// A selected stream of `type` (none: ARGB32 video) in a presentation descriptor.
ComPtr<IMFPresentationDescriptor> MakeDescriptor(IMFMediaType* given)
{
    ComPtr<IMFMediaType> type(given);
    if (!type)
    {
        XEV_CHECK_HR(MFCreateMediaType(type.GetAddressOf()));
        XEV_CHECK_HR(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
        XEV_CHECK_HR(type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_ARGB32));
    }
    IMFMediaType* types[] = { type.Get() };
    ComPtr<IMFStreamDescriptor> stream;
    ComPtr<IMFPresentationDescriptor> descriptor;
    XEV_CHECK_HR(MFCreateStreamDescriptor(0, 1, types, stream.GetAddressOf()));
    XEV_CHECK_HR(MFCreatePresentationDescriptor(1, stream.GetAddressOf(), descriptor.GetAddressOf()));
    XEV_CHECK_HR(descriptor->SelectStream(0));
    return descriptor;
}
} // namespace

CountingSource::CountingSource(const Options& options, IMFMediaType* type)
    : Double(options), m_Descriptor(MakeDescriptor(type)), m_Stream(Make<Stream>(this))
{
    BOOL selected = 0;
    XEV_CHECK_HR(m_Descriptor->GetStreamDescriptorByIndex(0, &selected, m_StreamDescriptor.GetAddressOf()));
}

HRESULT CountingSource::Start(IMFPresentationDescriptor* descriptor, const GUID*, const PROPVARIANT* startPosition)
{
    return Error::Guard([&]() -> HRESULT {
        if (!descriptor || !startPosition)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (Fails(Fail::SourceStart))
            return m_Options.FailResult;
        m_Started = true;
        m_Ended = false;
        m_Next = 0;
        Queue(std::exchange(m_Announced, true) ? MEUpdatedStream : MENewStream, S_OK, static_cast<IMFMediaStream*>(m_Stream.Get()));
        m_Stream->Queue(MEStreamStarted);
        Queue(MESourceStarted, FailsWith(Fail::SourceStartStatus));
        return S_OK;
    });
}

HRESULT CountingSource::Stop()
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (Fails(Fail::SourceStop))
            return m_Options.FailResult;
        ++m_Stats.Stops;
        m_Changed.notify_all();
        m_Started = false;
        m_Stream->Queue(MEStreamStopped);
        if (!Fails(Fail::SourceStopSilent))
            Queue(MESourceStopped, FailsWith(Fail::SourceStopStatus));
        return S_OK;
    });
}

HRESULT CountingSource::Shutdown()
{
    if (!MarkShutDown())
        return MF_E_SHUTDOWN;
    ComPtr<Stream> stream;
    {
        std::lock_guard lock(m_Lock);
        stream = std::move(m_Stream);
    }
    m_Changed.notify_all();
    stream->ShutdownQueue();
    ShutdownQueue();
    return S_OK;
}

HRESULT CountingSource::RequestSample()
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (!m_Started)
            return MF_E_MEDIA_SOURCE_WRONGSTATE;
        if (m_Ended)
            return MF_E_END_OF_STREAM;
        const UINT32 index = m_Next;
        if (Fails(Fail::RequestSample, index))
            return m_Options.FailResult;
        ++m_Next;
        ++m_Stats.Requests;
        m_Changed.notify_all();
        if (Fails(Fail::SourceError, index))
            Queue(MEError, m_Options.FailResult);
        else if (Fails(Fail::StreamError, index))
            m_Stream->Queue(MEError, m_Options.FailResult);
        else if (index < m_Options.SampleCount)
        {
            ComPtr<IMFSample> sample;
            XEV_CHECK_HR(MFCreateSample(sample.GetAddressOf()));
            XEV_CHECK_HR(sample->SetSampleTime(index * SampleDuration));
            XEV_CHECK_HR(sample->SetSampleDuration(SampleDuration));
            if (m_Options.FrameBytes > 0)
            {
                ComPtr<IMFMediaBuffer> buffer;
                XEV_CHECK_HR(MFCreateMemoryBuffer(m_Options.FrameBytes, buffer.GetAddressOf()));
                XEV_CHECK_HR(buffer->SetCurrentLength(m_Options.FrameBytes - (Fails(Fail::ShortFrame, index) ? 1 : 0)));
                XEV_CHECK_HR(sample->AddBuffer(buffer.Get()));
            }
            m_Stream->Queue(MEMediaSample, S_OK, sample.Get());
        }
        else
        {
            m_Ended = true;
            m_Stream->Queue(MEEndOfStream);
            Queue(MEEndOfPresentation);
        }
        return S_OK;
    });
}


HRESULT RequestingSink::QueryInterface(REFIID riid, void** object)
{
    if (riid == IidOf<IMFFinalizableMediaSink> && !m_Options.Finalizable)
        return *object = nullptr, E_NOINTERFACE;
    return ComObject::QueryInterface(riid, object);
}

HRESULT RequestingSink::SetPresentationClock(IMFPresentationClock* clock)
{
    ComPtr<IMFPresentationClock> previous;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (Fails(Fail::SinkClock))
            return m_Options.FailResult;
        previous = std::exchange(m_Clock, ComPtr<IMFPresentationClock>(clock));
    }
    if (previous)
        (void)previous->RemoveClockStateSink(this);
    return clock ? clock->AddClockStateSink(this) : S_OK;
}

HRESULT RequestingSink::Shutdown()
{
    if (!MarkShutDown())
        return MF_E_SHUTDOWN;
    ComPtr<IMFPresentationClock> clock;
    {
        std::lock_guard lock(m_Lock);
        clock = std::move(m_Clock);
    }
    if (clock)
        (void)clock->RemoveClockStateSink(this);
    m_Changed.notify_all();
    ShutdownQueue();
    return S_OK;
}

HRESULT RequestingSink::BeginFinalize(IMFAsyncCallback* callback, IUnknown* state)
{
    return Error::Guard([&]() -> HRESULT {
        if (Fails(Fail::BeginFinalize))
            return m_Options.FailResult;
        ComPtr<IMFAsyncResult> result;
        XEV_CHECK_HR(MFCreateAsyncResult(static_cast<IMFMediaSink*>(this), callback, state, result.GetAddressOf()));
        {
            std::lock_guard lock(m_Lock);
            m_Finalizing = true;
        }
        XEV_CHECK_HR(MFInvokeCallback(result.Get()));
        return S_OK;
    });
}

HRESULT RequestingSink::EndFinalize(IMFAsyncResult*)
{
    std::lock_guard lock(m_Lock);
    m_Finalizing = false;
    ++m_Stats.Finalized;
    return FailsWith(Fail::EndFinalize);
}

HRESULT RequestingSink::OnClock(MediaEventType type, Fail fail)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (Fails(fail))
            return m_Options.FailResult;
        Queue(type);
        if (type == MEStreamSinkStarted && !m_Options.Manual)
            RequestLocked();
        return S_OK;
    });
}

void RequestingSink::RequestLocked()
{
    ++m_Outstanding;
    Queue(MEStreamSinkRequestSample);
}

HRESULT RequestingSink::ProcessSample(IMFSample* sample)
{
    return Error::Guard([&]() -> HRESULT {
        if (!sample)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        const auto received = static_cast<UINT32>(m_Stats.Times.size());
        if (Fails(Fail::ProcessSample, received))
            return m_Options.FailResult;
        if (m_Outstanding == 0)
            ++m_Stats.Unrequested;
        else
            --m_Outstanding;
        XEV_CHECK_HR(sample->GetSampleTime(&m_Stats.Times.emplace_back()));
        m_Changed.notify_all();
        if (Fails(Fail::SinkError, received))
            Queue(MEError, m_Options.FailResult);
        else if (!m_Finalizing && !m_Options.Manual)
            RequestLocked();
        return S_OK;
    });
}

void RequestingSink::Grant(UINT32 count)
{
    std::lock_guard lock(m_Lock);
    for (UINT32 i = 0; i < count && !m_ShutDown; ++i)
        RequestLocked();
}

HRESULT RequestingSink::PlaceMarker(MFSTREAMSINK_MARKER_TYPE, const PROPVARIANT*, const PROPVARIANT* contextValue)
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    if (Fails(Fail::PlaceMarker))
        return m_Options.FailResult;
    ++m_Stats.Markers;
    m_Changed.notify_all();
    if (Fails(Fail::MarkerSilent))
        return S_OK;
    const HRESULT hr = QueueEvent(MEStreamSinkMarker, GUID_NULL, FailsWith(Fail::MarkerStatus), contextValue);
    return hr == MF_E_SHUTDOWN ? S_OK : hr;
}
} // namespace SessionDoubles
