#include "SessionDoubles.h" // beside this file: the session benchmark compiles it too

#include "platform/com/Error.h"

#include <algorithm>

namespace SessionDoubles
{
namespace
{
constexpr LONGLONG SampleDuration = 333333;
} // namespace

template <class I>
EventGenerator<I>::EventGenerator()
{
    XEV_CHECK_HR(MFCreateEventQueue(m_Queue.GetAddressOf()));
}

template <class I>
void EventGenerator<I>::Queue(MediaEventType type, HRESULT status, IUnknown* value)
{
    const HRESULT hr = m_Queue->QueueEventParamUnk(type, GUID_NULL, status, value);
    if (hr != MF_E_SHUTDOWN)
        XEV_CHECK_HR(hr);
}

template class EventGenerator<IMFMediaSource>;
template class EventGenerator<IMFMediaStream>;
template class EventGenerator<IMFMediaEventGenerator>;
template class EventGenerator<IMFStreamSink>;

template <class Stats>
HRESULT Double<Stats>::SetClock(IMFPresentationClock* clock, IMFClockStateSink* stateSink, HRESULT result)
{
    ComPtr<IMFPresentationClock> previous;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (FAILED(result) || m_Clock.Get() == clock)
            return FAILED(result) ? result : S_FALSE;
        previous = std::exchange(m_Clock, ComPtr<IMFPresentationClock>(clock));
    }
    if (previous && stateSink)
        (void)previous->RemoveClockStateSink(stateSink);
    return clock && stateSink ? clock->AddClockStateSink(stateSink) : S_OK;
}

template <class Stats>
bool Double<Stats>::MarkShutDown(IMFClockStateSink* stateSink, const std::function<void()>& underLock)
{
    ComPtr<IMFPresentationClock> clock;
    {
        std::lock_guard lock(m_Lock);
        if (std::exchange(m_ShutDown, true))
            return false;
        clock = std::move(m_Clock);
        if (underLock)
            underLock();
    }
    if (clock && stateSink)
        (void)clock->RemoveClockStateSink(stateSink);
    m_Changed.notify_all();
    return true;
}

template class Double<SourceStats>;
template class Double<TransformStats>;
template class Double<SinkStats>;


CountingSource::CountingSource(const Options& options) : Double(options)
{
    ComPtr<IMFMediaType> type;
    XEV_CHECK_HR(MFCreateMediaType(type.GetAddressOf()));
    XEV_CHECK_HR(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
    XEV_CHECK_HR(type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_ARGB32));
    if (options.DescribeType)
        options.DescribeType(type.Get());
    IMFMediaType* types[] = { type.Get() };
    XEV_CHECK_HR(MFCreateStreamDescriptor(0, 1, types, m_StreamDescriptor.GetAddressOf()));
    ComPtr<IMFMediaTypeHandler> handler;
    XEV_CHECK_HR(m_StreamDescriptor->GetMediaTypeHandler(handler.GetAddressOf()));
    XEV_CHECK_HR(handler->SetCurrentMediaType(type.Get()));
    IMFStreamDescriptor* streams[] = { m_StreamDescriptor.Get() };
    XEV_CHECK_HR(MFCreatePresentationDescriptor(1, streams, m_Descriptor.GetAddressOf()));
    XEV_CHECK_HR(m_Descriptor->SelectStream(0));
    m_Stream = Make<Stream>(this);
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
    ComPtr<Stream> stream;
    if (!MarkShutDown(nullptr, [&] { stream = std::move(m_Stream); }))
        return MF_E_SHUTDOWN;
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
            XEV_CHECK_HR(sample->SetUINT32(SampleIndexKey, index));
            if (m_Options.FillSample)
                m_Options.FillSample(sample.Get(), index);
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


PassThroughTransform::PassThroughTransform(const Options& options) : Double(options)
{
    XEV_CHECK_HR(MFCreateAttributes(m_Attributes.GetAddressOf(), 2));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_TRANSFORM_ASYNC, 1));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1));
}

HRESULT PassThroughTransform::CurrentType(const ComPtr<IMFMediaType>& held, IMFMediaType** type) const
{
    std::lock_guard lock(m_Lock);
    *type = ComPtr<IMFMediaType>(held).Detach();
    return held ? S_OK : MF_E_TRANSFORM_TYPE_NOT_SET;
}

// Offers a copy of the input type.
HRESULT PassThroughTransform::GetOutputAvailableType(DWORD, DWORD typeIndex, IMFMediaType** type)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        *type = nullptr;
        if (typeIndex != 0 || !m_InputType)
            return MF_E_NO_MORE_TYPES;
        ComPtr<IMFMediaType> offered;
        XEV_CHECK_HR(MFCreateMediaType(offered.GetAddressOf()));
        XEV_CHECK_HR(m_InputType->CopyAllItems(offered.Get()));
        *type = offered.Detach();
        return S_OK;
    });
}

HRESULT PassThroughTransform::SetType(ComPtr<IMFMediaType>& held, IMFMediaType* type, DWORD flags)
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    if (!(flags & MFT_SET_TYPE_TEST_ONLY))
        held = type;
    return S_OK;
}

HRESULT PassThroughTransform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        switch (message)
        {
        case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
            if (Fails(Fail::StartOfStream))
            {
                Queue(MEError, m_Options.FailResult); // as the encoder reports a failed stream start
                StopStreamingLocked();
                return m_Options.FailResult;
            }
            m_NeedInput = m_HaveOutput = 0;
            m_Free = m_Options.Buffers;
            m_Inputs = m_Delivered = 0;
            m_Outputs.clear();
            return S_OK;
        case MFT_MESSAGE_COMMAND_DRAIN:
            if (Fails(Fail::Drain))
                return m_Options.FailResult;
            m_NeedInput = -2;
            CheckDrainedLocked();
            return S_OK;
        case MFT_MESSAGE_COMMAND_FLUSH:
            StopStreamingLocked();
            m_Free = m_Options.Buffers;
            return S_OK;
        case MFT_MESSAGE_NOTIFY_END_OF_STREAM:
            if (Fails(Fail::EndOfStream))
                return m_Options.FailResult;
            StopStreamingLocked();
            return S_OK;
        case MFT_MESSAGE_NOTIFY_END_STREAMING:
            StopStreamingLocked();
            return S_OK;
        default:
            return S_OK;
        }
    });
}

void PassThroughTransform::StopStreamingLocked()
{
    m_NeedInput = m_HaveOutput = -1;
    m_Outputs.clear();
}

// While draining: once nothing is held, the drain is complete.
void PassThroughTransform::CheckDrainedLocked()
{
    if (m_NeedInput != -2 || m_HaveOutput > 0)
        return;
    m_NeedInput = -1;
    if (!Fails(Fail::DrainSilent))
        Queue(METransformDrainComplete);
}

HRESULT PassThroughTransform::ProcessInput(DWORD, IMFSample* sample, DWORD)
{
    return Error::Guard([&]() -> HRESULT {
        if (!sample)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_NeedInput <= 0 || m_Free == 0)
            return ++m_Stats.Misuses, MF_E_NOTACCEPTING;
        if (Fails(Fail::ProcessInput, m_Inputs))
            return m_Options.FailResult;
        --m_NeedInput;
        --m_Free;
        if (Fails(Fail::TransformError, m_Inputs++))
            Queue(MEError, m_Options.FailResult);
        else
        {
            m_Outputs.emplace_back(sample);
            ++m_HaveOutput;
            Queue(METransformHaveOutput);
        }
        if (m_Free > 0)
        {
            ++m_NeedInput;
            Queue(METransformNeedInput);
        }
        return S_OK;
    });
}

HRESULT PassThroughTransform::ProcessOutput(DWORD, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status)
{
    return Error::Guard([&]() -> HRESULT {
        if (outputBufferCount != 1 || !outputSamples || !status)
            return E_INVALIDARG;
        *status = 0;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_HaveOutput <= 0 || m_Outputs.empty())
            return ++m_Stats.Misuses, E_UNEXPECTED;
        if (Fails(Fail::ProcessOutput, m_Delivered))
            return m_Options.FailResult;
        --m_HaveOutput;
        ++m_Delivered;
        outputSamples[0].pSample = m_Outputs.front().Detach();
        m_Outputs.pop_front();
        if (m_Free++ == 0 && m_NeedInput == 0)
        {
            m_NeedInput = 1;
            Queue(METransformNeedInput);
        }
        CheckDrainedLocked();
        return S_OK;
    });
}

HRESULT PassThroughTransform::Shutdown()
{
    if (!MarkShutDown(this, [this] { StopStreamingLocked(); }))
        return MF_E_SHUTDOWN;
    ShutdownQueue();
    return S_OK;
}

// The first request for input of a stream.
HRESULT PassThroughTransform::OnClockStart(MFTIME, LONGLONG)
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    if (Fails(Fail::ClockStart))
        return m_Options.FailResult;
    if (m_NeedInput == 0)
    {
        m_NeedInput = 1;
        Queue(METransformNeedInput);
    }
    return S_OK;
}


HRESULT RequestingSink::QueryInterface(REFIID riid, void** object)
{
    if (riid == IidOf<IMFFinalizableMediaSink> && !m_Options.Finalizable)
        return *object = nullptr, E_NOINTERFACE;
    return ComObject::QueryInterface(riid, object);
}

HRESULT RequestingSink::Shutdown()
{
    if (!MarkShutDown(this))
        return MF_E_SHUTDOWN;
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

HRESULT RequestingSink::OnClock(MediaEventType type)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
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
        const auto received = static_cast<UINT32>(m_Stats.Indices.size());
        if (Fails(Fail::ProcessSample, received))
            return m_Options.FailResult;
        if (m_Outstanding == 0)
            ++m_Stats.Unrequested;
        else
            --m_Outstanding;
        m_Stats.Indices.push_back(MFGetAttributeUINT32(sample, SampleIndexKey, UINT32(-1)));
        if (m_Options.OnSample)
            m_Options.OnSample(sample);
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
    const HRESULT hr = QueueEvent(MEStreamSinkMarker, GUID_NULL, FailsWith(Fail::MarkerStatus), contextValue);
    return hr == MF_E_SHUTDOWN ? S_OK : hr;
}

HRESULT RequestingSink::SetCurrentMediaType(IMFMediaType* type)
{
    std::lock_guard lock(m_Lock);
    m_Stats.CurrentType = type;
    return S_OK;
}


ComPtr<IMFTopology> BuildTopology(CountingSource* source, IMFTransform* transform, IMFStreamSink* streamSink)
{
    return BuildTopology(source, source->Descriptor().Get(), source->StreamDescriptor().Get(), transform, streamSink);
}

ComPtr<IMFTopology> BuildTopology(IMFMediaSource* source, IMFPresentationDescriptor* descriptor, IMFStreamDescriptor* streamDescriptor,
    IMFTransform* transform, IMFStreamSink* streamSink)
{
    ComPtr<IMFTopology> topology;
    XEV_CHECK_HR(MFCreateTopology(topology.GetAddressOf()));
    ComPtr<IMFTopologyNode> nodes[3];
    const MF_TOPOLOGY_TYPE types[] = { MF_TOPOLOGY_SOURCESTREAM_NODE, MF_TOPOLOGY_TRANSFORM_NODE, MF_TOPOLOGY_OUTPUT_NODE };
    for (int i = 0; i < 3; ++i)
    {
        XEV_CHECK_HR(MFCreateTopologyNode(types[i], nodes[i].GetAddressOf()));
        XEV_CHECK_HR(topology->AddNode(nodes[i].Get()));
        if (i > 0)
            XEV_CHECK_HR(nodes[i - 1]->ConnectOutput(0, nodes[i].Get(), 0));
    }
    XEV_CHECK_HR(nodes[0]->SetUnknown(MF_TOPONODE_SOURCE, source));
    XEV_CHECK_HR(nodes[0]->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, descriptor));
    XEV_CHECK_HR(nodes[0]->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, streamDescriptor));
    XEV_CHECK_HR(nodes[1]->SetObject(transform));
    XEV_CHECK_HR(nodes[2]->SetObject(streamSink));
    return topology;
}

ComPtr<EventRecorder> EventRecorder::Start(IMFMediaEventGenerator* generator, bool keepValues)
{
    auto recorder = Make<EventRecorder>(generator, keepValues);
    XEV_CHECK_HR(generator->BeginGetEvent(recorder.Get(), nullptr));
    return recorder;
}

HRESULT EventRecorder::Invoke(IMFAsyncResult* result)
{
    ComPtr<IMFMediaEventGenerator> generator;
    {
        std::lock_guard lock(m_Lock);
        generator = m_Generator;
    }
    ComPtr<IMFMediaEvent> event;
    if (!generator || FAILED(generator->EndGetEvent(result, event.GetAddressOf())))
        return S_OK;
    Record record;
    (void)event->GetType(&record.Type);
    (void)event->GetStatus(&record.Status);
    (void)event->GetUINT32(MF_EVENT_TOPOLOGY_STATUS, &record.TopologyStatus);
    PROPVARIANT value;
    PropVariantInit(&value);
    record.HasValue = SUCCEEDED(event->GetValue(&value)) && value.vt != VT_EMPTY;
    if (m_KeepValues && value.vt == VT_UNKNOWN)
        record.Value = value.punkVal;
    (void)PropVariantClear(&value);
    std::function<void(const Record&)> reaction;
    {
        std::lock_guard lock(m_Lock);
        m_Records.push_back(record);
        reaction = m_Reaction;
    }
    m_Arrived.notify_all();
    if (reaction)
        reaction(record);
    (void)generator->BeginGetEvent(this, nullptr);
    return S_OK;
}

std::vector<EventRecorder::Record> EventRecorder::Records() const
{
    std::lock_guard lock(m_Lock);
    return m_Records;
}

std::vector<MediaEventType> EventRecorder::Types() const
{
    std::vector<MediaEventType> types;
    for (const auto& record : Records())
        types.push_back(record.Type);
    return types;
}

std::vector<EventRecorder::Record> EventRecorder::Of(MediaEventType type) const
{
    auto records = Records();
    std::erase_if(records, [type](const Record& r) { return r.Type != type; });
    return records;
}

std::vector<EventRecorder::Record> EventRecorder::Failures() const
{
    auto records = Records();
    std::erase_if(records, [](const Record& r) { return SUCCEEDED(r.Status); });
    return records;
}

bool EventRecorder::WaitFor(MediaEventType type, int timeoutMilliseconds, size_t occurrence) const
{
    std::unique_lock lock(m_Lock);
    return m_Arrived.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [&] {
        return static_cast<size_t>(std::ranges::count(m_Records, type, &Record::Type)) >= occurrence;
    });
}

void EventRecorder::SetReaction(std::function<void(const Record&)> reaction)
{
    std::lock_guard lock(m_Lock);
    m_Reaction = std::move(reaction);
}

void EventRecorder::Detach()
{
    ComPtr<IMFMediaEventGenerator> generator;
    std::lock_guard lock(m_Lock);
    generator = std::move(m_Generator);
}

std::string EventRecorder::Text() const
{
    std::string text;
    for (auto type : Types())
        text += (text.empty() ? "" : " ") + std::to_string(type);
    return text;
}
} // namespace SessionDoubles
