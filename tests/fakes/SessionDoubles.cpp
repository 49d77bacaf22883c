#include "SessionDoubles.h" // beside this file: the session benchmark compiles it too

#include "platform/com/Error.h"

#include <chrono>
#include <cstring>

namespace SessionDoubles
{
namespace
{
ComPtr<IMFMediaType> MakeVideoType(REFGUID subtype)
{
    ComPtr<IMFMediaType> type;
    XEV_CHECK_HR(MFCreateMediaType(type.GetAddressOf()));
    XEV_CHECK_HR(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
    XEV_CHECK_HR(type->SetGUID(MF_MT_SUBTYPE, subtype));
    XEV_CHECK_HR(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 64, 48));
    XEV_CHECK_HR(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1));
    return type;
}

ComPtr<IMFSample> MakeSample(UINT32 index, LONGLONG duration)
{
    ComPtr<IMFMediaBuffer> buffer;
    XEV_CHECK_HR(MFCreateMemoryBuffer(sizeof(index), buffer.GetAddressOf()));
    BYTE* data = nullptr;
    XEV_CHECK_HR(buffer->Lock(&data, nullptr, nullptr));
    std::memcpy(data, &index, sizeof(index));
    XEV_CHECK_HR(buffer->Unlock());
    XEV_CHECK_HR(buffer->SetCurrentLength(sizeof(index)));
    ComPtr<IMFSample> sample;
    XEV_CHECK_HR(MFCreateSample(sample.GetAddressOf()));
    XEV_CHECK_HR(sample->AddBuffer(buffer.Get()));
    XEV_CHECK_HR(sample->SetSampleTime(static_cast<LONGLONG>(index) * duration));
    XEV_CHECK_HR(sample->SetSampleDuration(duration));
    XEV_CHECK_HR(sample->SetUINT32(SampleIndexKey, index));
    return sample;
}

// Runs a function when invoked (work items of the doubles).
class FunctionCallback final : public ComObject<IMFAsyncCallback>
{
public:
    explicit FunctionCallback(std::function<void()> function) : m_Function(std::move(function)) {}
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult*) override
    {
        m_Function();
        return S_OK;
    }

private:
    const std::function<void()> m_Function;
};
} // namespace

// ---- EventGenerator -------------------------------------------------------------------------

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

// ---- CountingSource -------------------------------------------------------------------------

ComPtr<CountingSource> CountingSource::Create(const SourceOptions& options)
{
    return Make<CountingSource>(options);
}

CountingSource::CountingSource(const SourceOptions& options) : m_Options(options)
{
    IMFMediaType* types[] = { MakeVideoType(MFVideoFormat_ARGB32).Detach() };
    ComPtr<IMFMediaType> type;
    type.Attach(types[0]);
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    XEV_CHECK_HR(MFCreateStreamDescriptor(0, 1, types, streamDescriptor.GetAddressOf()));
    ComPtr<IMFMediaTypeHandler> handler;
    XEV_CHECK_HR(streamDescriptor->GetMediaTypeHandler(handler.GetAddressOf()));
    XEV_CHECK_HR(handler->SetCurrentMediaType(type.Get()));
    IMFStreamDescriptor* descriptors[] = { streamDescriptor.Get() };
    XEV_CHECK_HR(MFCreatePresentationDescriptor(1, descriptors, m_Descriptor.GetAddressOf()));
    XEV_CHECK_HR(m_Descriptor->SelectStream(0));
    m_Stream = Make<Stream>(this, streamDescriptor);
}

ComPtr<IMFStreamDescriptor> CountingSource::StreamDescriptor() const
{
    BOOL selected = 0;
    ComPtr<IMFStreamDescriptor> descriptor;
    XEV_CHECK_HR(m_Descriptor->GetStreamDescriptorByIndex(0, &selected, descriptor.GetAddressOf()));
    return descriptor;
}

HRESULT CountingSource::GetCharacteristics(DWORD* characteristics)
{
    if (!characteristics)
        return E_POINTER;
    *characteristics = MFMEDIASOURCE_IS_LIVE;
    return S_OK;
}

HRESULT CountingSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor)
{
    if (!descriptor)
        return E_POINTER;
    return m_Descriptor->Clone(descriptor);
}

HRESULT CountingSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition)
{
    return Error::Guard([&]() -> HRESULT {
        if (!descriptor || !startPosition)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_Options.Failure == SourceFailure::StartCall)
            return m_Options.FailResult;
        ++m_Starts;
        m_Started = true;
        m_Ended = false;
        m_Next = 0;
        Queue(std::exchange(m_Announced, true) ? MEUpdatedStream : MENewStream, S_OK, static_cast<IMFMediaStream*>(m_Stream.Get()));
        m_Stream->Queue(MEStreamStarted);
        Queue(MESourceStarted, m_Options.Failure == SourceFailure::StartStatus ? m_Options.FailResult : S_OK);
        return S_OK;
    });
}

HRESULT CountingSource::Stop()
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_Options.Failure == SourceFailure::StopCall)
            return m_Options.FailResult;
        ++m_Stops;
        m_Started = false;
        m_Stream->Queue(MEStreamStopped);
        if (m_Options.Failure != SourceFailure::StopSilent)
            Queue(MESourceStopped, m_Options.Failure == SourceFailure::StopStatus ? m_Options.FailResult : S_OK);
        return S_OK;
    });
}

HRESULT CountingSource::Shutdown()
{
    ComPtr<Stream> stream;
    ComPtr<IMFPresentationClock> clock;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        m_ShutDown = true;
        stream = std::move(m_Stream);
        clock = std::move(m_Clock);
    }
    stream->ShutdownQueue();
    ShutdownQueue();
    return S_OK;
}

HRESULT CountingSource::SetPresentationClock(IMFPresentationClock* clock)
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    if (m_Clock.Get() == clock)
        return S_FALSE;
    m_Clock = clock;
    return S_OK;
}

HRESULT CountingSource::GetPresentationClock(IMFPresentationClock** clock)
{
    if (!clock)
        return E_POINTER;
    std::lock_guard lock(m_Lock);
    *clock = nullptr;
    if (!m_Clock)
        return MF_E_NO_CLOCK;
    m_Clock.CopyTo(clock);
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
        if (index == m_Options.FailAt && m_Options.Failure == SourceFailure::RequestCall)
            return m_Options.FailResult;
        ++m_Next;
        ++m_Requests;
        if (index == m_Options.FailAt && m_Options.Failure == SourceFailure::ErrorEvent)
        {
            Queue(MEError, m_Options.FailResult);
            return S_OK;
        }
        if (index == m_Options.FailAt && m_Options.Failure == SourceFailure::StreamError)
        {
            m_Stream->Queue(MEError, m_Options.FailResult);
            return S_OK;
        }
        if (index < m_Options.SampleCount)
        {
            m_Stream->Queue(MEMediaSample, S_OK, MakeSample(index, m_Options.SampleDuration).Get());
            return S_OK;
        }
        m_Ended = true;
        m_Stream->Queue(MEEndOfStream);
        Queue(MEEndOfPresentation);
        return S_OK;
    });
}

UINT32 CountingSource::Requests() const
{
    std::lock_guard lock(m_Lock);
    return m_Requests;
}

UINT32 CountingSource::Starts() const
{
    std::lock_guard lock(m_Lock);
    return m_Starts;
}

UINT32 CountingSource::Stops() const
{
    std::lock_guard lock(m_Lock);
    return m_Stops;
}

bool CountingSource::IsShutDown() const
{
    std::lock_guard lock(m_Lock);
    return m_ShutDown;
}

ComPtr<IMFPresentationClock> CountingSource::Clock() const
{
    std::lock_guard lock(m_Lock);
    return m_Clock;
}

HRESULT CountingSource::Stream::GetMediaSource(IMFMediaSource** source)
{
    if (!source)
        return E_POINTER;
    *source = ComPtr<IMFMediaSource>(m_Source.Get()).Detach();
    return S_OK;
}

HRESULT CountingSource::Stream::GetStreamDescriptor(IMFStreamDescriptor** descriptor)
{
    if (!descriptor)
        return E_POINTER;
    m_Descriptor.CopyTo(descriptor);
    return S_OK;
}

// ---- PassThroughTransform -------------------------------------------------------------------

class PassThroughTransform::Completion final : public ComObject<IMFAsyncCallback>
{
public:
    explicit Completion(PassThroughTransform* transform) : m_Transform(transform) {}
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult*) override
    {
        m_Transform->CompleteOne();
        return S_OK;
    }

private:
    PassThroughTransform* const m_Transform; // Non-owning: each put item's state holds the transform
};

ComPtr<PassThroughTransform> PassThroughTransform::Create(const TransformOptions& options)
{
    return Make<PassThroughTransform>(options);
}

PassThroughTransform::PassThroughTransform(const TransformOptions& options) : m_Options(options)
{
    XEV_CHECK_HR(MFCreateAttributes(m_Attributes.GetAddressOf(), 4));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_TRANSFORM_ASYNC, 1));
    if (options.Unlocked)
        XEV_CHECK_HR(m_Attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1));
    m_Completion = Make<Completion>(this);
}

PassThroughTransform::~PassThroughTransform()
{
    if (m_WorkQueue)
        (void)MFUnlockWorkQueue(m_WorkQueue);
}

HRESULT PassThroughTransform::GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum, DWORD* outputMaximum)
{
    if (!inputMinimum || !inputMaximum || !outputMinimum || !outputMaximum)
        return E_POINTER;
    *inputMinimum = *inputMaximum = *outputMinimum = *outputMaximum = 1;
    return S_OK;
}

HRESULT PassThroughTransform::GetStreamCount(DWORD* inputStreams, DWORD* outputStreams)
{
    if (!inputStreams || !outputStreams)
        return E_POINTER;
    *inputStreams = *outputStreams = 1;
    return S_OK;
}

HRESULT PassThroughTransform::GetInputStreamInfo(DWORD inputStreamID, MFT_INPUT_STREAM_INFO* streamInfo)
{
    if (inputStreamID != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!streamInfo)
        return E_POINTER;
    *streamInfo = {};
    return S_OK;
}

HRESULT PassThroughTransform::GetOutputStreamInfo(DWORD outputStreamID, MFT_OUTPUT_STREAM_INFO* streamInfo)
{
    if (outputStreamID != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!streamInfo)
        return E_POINTER;
    *streamInfo = { MFT_OUTPUT_STREAM_PROVIDES_SAMPLES, 0, 1 };
    return S_OK;
}

HRESULT PassThroughTransform::GetAttributes(IMFAttributes** attributes)
{
    if (!attributes)
        return E_POINTER;
    m_Attributes.CopyTo(attributes);
    return S_OK;
}

HRESULT PassThroughTransform::GetInputAvailableType(DWORD inputStreamID, DWORD typeIndex, IMFMediaType** type)
{
    if (inputStreamID != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!type)
        return E_POINTER;
    return MF_E_NO_MORE_TYPES; // any type is taken
}

HRESULT PassThroughTransform::GetOutputAvailableType(DWORD outputStreamID, DWORD typeIndex, IMFMediaType** type)
{
    return Error::Guard([&]() -> HRESULT {
        if (outputStreamID != 0)
            return MF_E_INVALIDSTREAMNUMBER;
        XEV_CHECK_POINTER(type);
        *type = nullptr;
        std::lock_guard lock(m_Lock);
        if (typeIndex != 0 || !m_InputType)
            return MF_E_NO_MORE_TYPES;
        if (!m_OutputQueue.empty() && m_OutputQueue.front().Type)
        {
            m_OutputQueue.front().Type.CopyTo(type);
            return S_OK;
        }
        ComPtr<IMFMediaType> offered;
        XEV_CHECK_HR(MFCreateMediaType(offered.GetAddressOf()));
        XEV_CHECK_HR(m_InputType->CopyAllItems(offered.Get()));
        *type = offered.Detach();
        return S_OK;
    });
}

HRESULT PassThroughTransform::SetInputType(DWORD inputStreamID, IMFMediaType* type, DWORD flags)
{
    if (inputStreamID != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    if (!(flags & MFT_SET_TYPE_TEST_ONLY))
        m_InputType = type;
    return S_OK;
}

// While a format change is pending only its type is taken, and taking it answers the
// METransformHaveOutput that announced it (as the encoder does).
HRESULT PassThroughTransform::SetOutputType(DWORD outputStreamID, IMFMediaType* type, DWORD flags)
{
    if (outputStreamID != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    const bool pending = !m_OutputQueue.empty() && m_OutputQueue.front().Type;
    if (pending)
    {
        BOOL equal = 0;
        if (!type || FAILED(type->Compare(m_OutputQueue.front().Type.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &equal)) || !equal)
            return MF_E_INVALIDMEDIATYPE;
    }
    if (flags & MFT_SET_TYPE_TEST_ONLY)
        return S_OK;
    m_OutputType = type;
    if (pending)
    {
        m_OutputQueue.pop_front();
        --m_HaveOutput;
    }
    return S_OK;
}

HRESULT PassThroughTransform::GetInputCurrentType(DWORD inputStreamID, IMFMediaType** type)
{
    if (inputStreamID != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!type)
        return E_POINTER;
    std::lock_guard lock(m_Lock);
    *type = nullptr;
    if (!m_InputType)
        return MF_E_TRANSFORM_TYPE_NOT_SET;
    m_InputType.CopyTo(type);
    return S_OK;
}

HRESULT PassThroughTransform::GetOutputCurrentType(DWORD outputStreamID, IMFMediaType** type)
{
    if (outputStreamID != 0)
        return MF_E_INVALIDSTREAMNUMBER;
    if (!type)
        return E_POINTER;
    std::lock_guard lock(m_Lock);
    *type = nullptr;
    if (!m_OutputType)
        return MF_E_TRANSFORM_TYPE_NOT_SET;
    m_OutputType.CopyTo(type);
    return S_OK;
}

HRESULT PassThroughTransform::GetInputStatus(DWORD inputStreamID, DWORD* flags)
{
    if (!flags)
        return E_POINTER;
    std::lock_guard lock(m_Lock);
    *flags = m_NeedInput > 0 ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
    return S_OK;
}

HRESULT PassThroughTransform::GetOutputStatus(DWORD* flags)
{
    if (!flags)
        return E_POINTER;
    std::lock_guard lock(m_Lock);
    *flags = m_HaveOutput > 0 ? MFT_OUTPUT_STATUS_SAMPLE_READY : 0;
    return S_OK;
}

HRESULT PassThroughTransform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        m_Messages.push_back(message);
        switch (message)
        {
        case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
        {
            const HRESULT hr = StartOfStreamLocked();
            if (FAILED(hr))
            {
                Queue(MEError, hr); // as the encoder reports a failed stream start
                EndStreamingLocked();
            }
            return hr;
        }
        case MFT_MESSAGE_COMMAND_DRAIN:
            if (m_Options.Failure == TransformFailure::Drain)
                return m_Options.FailResult;
            m_NeedInput = -2;
            CheckDrainedLocked();
            return S_OK;
        case MFT_MESSAGE_COMMAND_FLUSH:
            m_NeedInput = m_HaveOutput = -1;
            m_InFlight.clear();
            m_OutputQueue.clear();
            m_Free = m_Options.Buffers;
            return S_OK;
        case MFT_MESSAGE_NOTIFY_END_OF_STREAM:
            if (m_Options.Failure == TransformFailure::EndOfStream)
                return m_Options.FailResult;
            EndStreamingLocked();
            return S_OK;
        case MFT_MESSAGE_NOTIFY_END_STREAMING:
            EndStreamingLocked();
            return S_OK;
        default:
            return S_OK;
        }
    });
}

HRESULT PassThroughTransform::StartOfStreamLocked()
{
    if (MFGetAttributeUINT32(m_Attributes.Get(), MF_TRANSFORM_ASYNC_UNLOCK, 0) == 0)
        return MF_E_TRANSFORM_ASYNC_LOCKED;
    if (m_Options.Failure == TransformFailure::StartOfStream)
        return m_Options.FailResult;
    if (!m_WorkQueue)
    {
        const HRESULT hr = MFAllocateSerialWorkQueue(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &m_WorkQueue);
        if (FAILED(hr))
            return hr;
    }
    m_NeedInput = m_HaveOutput = 0;
    m_Free = m_Options.Buffers;
    m_Completed = 0;
    m_InFlight.clear();
    m_OutputQueue.clear();
    return S_OK;
}

void PassThroughTransform::EndStreamingLocked()
{
    m_NeedInput = m_HaveOutput = -1;
    m_InFlight.clear();
    m_OutputQueue.clear();
    if (m_WorkQueue)
        (void)MFUnlockWorkQueue(std::exchange(m_WorkQueue, 0));
}

// While draining: once nothing is held, the drain is complete.
void PassThroughTransform::CheckDrainedLocked()
{
    if (m_NeedInput != -2 || !m_InFlight.empty() || m_HaveOutput > 0)
        return;
    m_NeedInput = -1;
    if (m_Options.Failure != TransformFailure::DrainSilent)
        Queue(METransformDrainComplete);
}

HRESULT PassThroughTransform::ProcessInput(DWORD inputStreamID, IMFSample* sample, DWORD flags)
{
    return Error::Guard([&]() -> HRESULT {
        if (inputStreamID != 0)
            return MF_E_INVALIDSTREAMNUMBER;
        if (!sample)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_NeedInput <= 0 || m_Free == 0)
        {
            ++m_NotAccepting;
            return MF_E_NOTACCEPTING;
        }
        if (m_Options.Failure == TransformFailure::ProcessInput && m_Inputs == m_Options.FailAt)
            return m_Options.FailResult;
        --m_NeedInput;
        --m_Free;
        ++m_Inputs;
        m_InFlight.emplace_back(sample);
        m_MaximumHeld = std::max(m_MaximumHeld, m_Options.Buffers - m_Free);
        // The "encoding" completes on the transform's own serial queue, so outputs keep the input order.
        ComPtr<IUnknown> keepAlive(AsUnknown());
        XEV_CHECK_HR(MFPutWorkItem2(m_WorkQueue, 0, m_Completion.Get(), keepAlive.Get()));
        if (m_Free > 0)
        {
            ++m_NeedInput;
            Queue(METransformNeedInput);
        }
        return S_OK;
    });
}

void PassThroughTransform::CompleteOne()
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown || m_InFlight.empty() || m_HaveOutput < 0)
        return;
    auto sample = std::move(m_InFlight.front());
    m_InFlight.pop_front();
    const UINT32 index = m_Completed++;
    if (m_Options.Failure == TransformFailure::ErrorEvent && index == m_Options.FailAt)
    {
        Queue(MEError, m_Options.FailResult);
        return;
    }
    if (static_cast<int>(index) == m_Options.FormatChangeAt)
    {
        ComPtr<IMFMediaType> changed;
        XEV_CHECK_HR(MFCreateMediaType(changed.GetAddressOf()));
        XEV_CHECK_HR(m_OutputType->CopyAllItems(changed.Get()));
        XEV_CHECK_HR(changed->SetUINT32(FormatChangeKey, index));
        m_OutputQueue.push_back({ std::move(changed), nullptr });
        ++m_HaveOutput;
        Queue(METransformHaveOutput);
    }
    m_OutputQueue.push_back({ nullptr, std::move(sample) });
    ++m_HaveOutput;
    Queue(METransformHaveOutput);
}

HRESULT PassThroughTransform::ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status)
{
    return Error::Guard([&]() -> HRESULT {
        if (outputBufferCount != 1 || !outputSamples)
            return E_INVALIDARG;
        if (!status)
            return E_POINTER;
        *status = 0;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (!m_OutputQueue.empty() && m_OutputQueue.front().Type)
        {
            outputSamples[0].dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
            return MF_E_TRANSFORM_STREAM_CHANGE;
        }
        if (m_HaveOutput <= 0 || m_OutputQueue.empty())
        {
            ++m_Unexpected;
            return E_UNEXPECTED;
        }
        if (m_Options.Failure == TransformFailure::ProcessOutput && m_Outputs == m_Options.FailAt)
            return m_Options.FailResult;
        --m_HaveOutput;
        outputSamples[0].pSample = m_OutputQueue.front().Sample.Detach();
        m_OutputQueue.pop_front();
        ++m_Outputs;
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
    ComPtr<IMFPresentationClock> clock;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        m_ShutDown = true;
        EndStreamingLocked();
        clock = std::move(m_Clock);
    }
    if (clock)
        (void)clock->RemoveClockStateSink(this);
    ShutdownQueue();
    return S_OK;
}

HRESULT PassThroughTransform::GetShutdownStatus(MFSHUTDOWN_STATUS* status)
{
    if (!status)
        return E_POINTER;
    std::lock_guard lock(m_Lock);
    if (!m_ShutDown)
        return MF_E_INVALIDREQUEST;
    *status = MFSHUTDOWN_COMPLETED;
    return S_OK;
}

HRESULT PassThroughTransform::SetPresentationClock(IMFPresentationClock* clock)
{
    ComPtr<IMFPresentationClock> previous;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_Clock.Get() == clock)
            return S_FALSE;
        previous = std::exchange(m_Clock, ComPtr<IMFPresentationClock>(clock));
    }
    if (previous)
        (void)previous->RemoveClockStateSink(this);
    return clock ? clock->AddClockStateSink(this) : S_OK;
}

HRESULT PassThroughTransform::GetPresentationClock(IMFPresentationClock** clock)
{
    if (!clock)
        return E_POINTER;
    std::lock_guard lock(m_Lock);
    *clock = nullptr;
    if (!m_Clock)
        return MF_E_NO_CLOCK;
    m_Clock.CopyTo(clock);
    return S_OK;
}

// The first request for input of a stream.
HRESULT PassThroughTransform::OnClockStart(MFTIME, LONGLONG)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_Options.Failure == TransformFailure::ClockStart)
            return m_Options.FailResult;
        if (m_NeedInput == 0)
        {
            m_NeedInput = 1;
            Queue(METransformNeedInput);
        }
        return S_OK;
    });
}

std::vector<MFT_MESSAGE_TYPE> PassThroughTransform::Messages() const
{
    std::lock_guard lock(m_Lock);
    return m_Messages;
}

UINT32 PassThroughTransform::Inputs() const
{
    std::lock_guard lock(m_Lock);
    return m_Inputs;
}

UINT32 PassThroughTransform::Outputs() const
{
    std::lock_guard lock(m_Lock);
    return m_Outputs;
}

UINT32 PassThroughTransform::MaximumHeld() const
{
    std::lock_guard lock(m_Lock);
    return m_MaximumHeld;
}

UINT32 PassThroughTransform::NotAccepting() const
{
    std::lock_guard lock(m_Lock);
    return m_NotAccepting;
}

UINT32 PassThroughTransform::UnexpectedOutputs() const
{
    std::lock_guard lock(m_Lock);
    return m_Unexpected;
}

bool PassThroughTransform::IsShutDown() const
{
    std::lock_guard lock(m_Lock);
    return m_ShutDown;
}

// ---- RequestingSink -------------------------------------------------------------------------

ComPtr<RequestingSink> RequestingSink::Create(const SinkOptions& options)
{
    return Make<RequestingSink>(options);
}

RequestingSink::RequestingSink(const SinkOptions& options) : m_Options(options)
{
    m_Stream = Make<Stream>(this);
    // A slow sink's next request, queued from a scheduled work item.
    m_DelayedRequest = Make<FunctionCallback>([this] {
        std::lock_guard lock(m_Lock);
        if (!m_ShutDown)
            RequestLocked();
    });
}

HRESULT RequestingSink::QueryInterface(REFIID riid, void** object)
{
    if (riid == IidOf<IMFFinalizableMediaSink> && !m_Options.Finalizable)
    {
        if (object)
            *object = nullptr;
        return E_NOINTERFACE;
    }
    return ComObject::QueryInterface(riid, object);
}

HRESULT RequestingSink::GetCharacteristics(DWORD* characteristics)
{
    if (!characteristics)
        return E_POINTER;
    *characteristics = MEDIASINK_FIXED_STREAMS | MEDIASINK_RATELESS;
    return S_OK;
}

HRESULT RequestingSink::GetStreamSinkCount(DWORD* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT RequestingSink::GetStreamSinkByIndex(DWORD index, IMFStreamSink** streamSink)
{
    if (!streamSink)
        return E_POINTER;
    if (index != 0)
        return MF_E_INVALIDINDEX;
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    *streamSink = ComPtr<IMFStreamSink>(m_Stream.Get()).Detach();
    return S_OK;
}

HRESULT RequestingSink::GetStreamSinkById(DWORD identifier, IMFStreamSink** streamSink)
{
    return identifier == 0 ? GetStreamSinkByIndex(0, streamSink) : MF_E_INVALIDSTREAMNUMBER;
}

HRESULT RequestingSink::SetPresentationClock(IMFPresentationClock* clock)
{
    ComPtr<IMFPresentationClock> previous;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_Options.Failure == SinkFailure::SetClock)
            return m_Options.FailResult;
        if (m_Clock.Get() == clock)
            return S_FALSE;
        previous = std::exchange(m_Clock, ComPtr<IMFPresentationClock>(clock));
    }
    if (previous)
        (void)previous->RemoveClockStateSink(this);
    return clock ? clock->AddClockStateSink(this) : S_OK;
}

HRESULT RequestingSink::GetPresentationClock(IMFPresentationClock** clock)
{
    if (!clock)
        return E_POINTER;
    std::lock_guard lock(m_Lock);
    *clock = nullptr;
    if (!m_Clock)
        return MF_E_NO_CLOCK;
    m_Clock.CopyTo(clock);
    return S_OK;
}

HRESULT RequestingSink::Shutdown()
{
    ComPtr<IMFPresentationClock> clock;
    ComPtr<Stream> stream;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        m_ShutDown = true;
        clock = std::move(m_Clock);
        stream = std::move(m_Stream);
    }
    if (clock)
        (void)clock->RemoveClockStateSink(this);
    stream->ShutdownQueue();
    m_SampleArrived.notify_all();
    return S_OK;
}

HRESULT RequestingSink::BeginFinalize(IMFAsyncCallback* callback, IUnknown* state)
{
    return Error::Guard([&]() -> HRESULT {
        if (m_Options.Failure == SinkFailure::BeginFinalize)
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

HRESULT RequestingSink::EndFinalize(IMFAsyncResult* result)
{
    std::lock_guard lock(m_Lock);
    m_Finalizing = false;
    ++m_Finalized;
    return m_Options.Failure == SinkFailure::EndFinalize ? m_Options.FailResult : S_OK;
}

HRESULT RequestingSink::OnClockStart(MFTIME, LONGLONG)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        m_Stream->Queue(MEStreamSinkStarted);
        if (m_Options.Mode != RequestMode::Manual)
            RequestLocked();
        return S_OK;
    });
}

HRESULT RequestingSink::OnClockStop(MFTIME)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        m_Stream->Queue(MEStreamSinkStopped);
        return S_OK;
    });
}

void RequestingSink::RequestLocked()
{
    ++m_Outstanding;
    m_Stream->Queue(MEStreamSinkRequestSample);
}

HRESULT RequestingSink::ProcessSample(IMFSample* sample)
{
    return Error::Guard([&]() -> HRESULT {
        if (!sample)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        const UINT32 received = static_cast<UINT32>(m_Indices.size());
        if (m_Options.Failure == SinkFailure::ProcessSample && received == m_Options.FailAt)
            return m_Options.FailResult;
        if (m_Outstanding == 0)
            ++m_Unrequested;
        else
            --m_Outstanding;
        UINT32 index = UINT32(-1);
        (void)sample->GetUINT32(SampleIndexKey, &index);
        LONGLONG time = -1;
        (void)sample->GetSampleTime(&time);
        m_Indices.push_back(index);
        m_Times.push_back(time);
        m_SampleArrived.notify_all();
        if (m_Options.Failure == SinkFailure::ErrorEvent && received == m_Options.FailAt)
        {
            m_Stream->Queue(MEError, m_Options.FailResult);
            return S_OK;
        }
        if (m_Finalizing)
            return S_OK;
        switch (m_Options.Mode)
        {
        case RequestMode::Auto:
            RequestLocked();
            break;
        case RequestMode::Delayed:
        {
            MFWORKITEM_KEY key = 0;
            XEV_CHECK_HR(MFScheduleWorkItem(m_DelayedRequest.Get(), AsUnknown(), -static_cast<INT64>(m_Options.DelayMilliseconds), &key));
            break;
        }
        case RequestMode::Manual:
            break;
        }
        return S_OK;
    });
}

ComPtr<IMFStreamSink> RequestingSink::StreamSink() const
{
    std::lock_guard lock(m_Lock);
    return ComPtr<IMFStreamSink>(m_Stream.Get());
}

void RequestingSink::Grant(UINT32 count)
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return;
    for (UINT32 i = 0; i < count; ++i)
        RequestLocked();
}

std::vector<UINT32> RequestingSink::SampleIndices() const
{
    std::lock_guard lock(m_Lock);
    return m_Indices;
}

std::vector<LONGLONG> RequestingSink::SampleTimes() const
{
    std::lock_guard lock(m_Lock);
    return m_Times;
}

UINT32 RequestingSink::Unrequested() const
{
    std::lock_guard lock(m_Lock);
    return m_Unrequested;
}

UINT32 RequestingSink::Outstanding() const
{
    std::lock_guard lock(m_Lock);
    return m_Outstanding;
}

UINT32 RequestingSink::TypeChanges() const
{
    std::lock_guard lock(m_Lock);
    return m_TypeChanges;
}

ComPtr<IMFMediaType> RequestingSink::CurrentType() const
{
    std::lock_guard lock(m_Lock);
    return m_CurrentType;
}

UINT32 RequestingSink::TypeChangeBeforeSample() const
{
    std::lock_guard lock(m_Lock);
    return m_TypeChangeBeforeSample;
}

UINT32 RequestingSink::Markers() const
{
    std::lock_guard lock(m_Lock);
    return m_Markers;
}

UINT32 RequestingSink::Finalized() const
{
    std::lock_guard lock(m_Lock);
    return m_Finalized;
}

bool RequestingSink::IsShutDown() const
{
    std::lock_guard lock(m_Lock);
    return m_ShutDown;
}

bool RequestingSink::WaitForSamples(size_t count, int timeoutMilliseconds) const
{
    std::unique_lock lock(m_Lock);
    return m_SampleArrived.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [&] { return m_Indices.size() >= count; });
}

HRESULT RequestingSink::Stream::GetMediaSink(IMFMediaSink** sink)
{
    if (!sink)
        return E_POINTER;
    *sink = ComPtr<IMFMediaSink>(static_cast<IMFFinalizableMediaSink*>(m_Sink.Get())).Detach();
    return S_OK;
}

HRESULT RequestingSink::Stream::GetIdentifier(DWORD* identifier)
{
    if (!identifier)
        return E_POINTER;
    *identifier = 0;
    return S_OK;
}

HRESULT RequestingSink::Stream::GetMediaTypeHandler(IMFMediaTypeHandler** handler)
{
    if (!handler)
        return E_POINTER;
    *handler = ComPtr<IMFMediaTypeHandler>(this).Detach();
    return S_OK;
}

HRESULT RequestingSink::Stream::PlaceMarker(MFSTREAMSINK_MARKER_TYPE, const PROPVARIANT*, const PROPVARIANT* contextValue)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Sink->m_Lock);
        if (m_Sink->m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_Sink->m_Options.Failure == SinkFailure::PlaceMarker)
            return m_Sink->m_Options.FailResult;
        ++m_Sink->m_Markers;
        const HRESULT status = m_Sink->m_Options.Failure == SinkFailure::MarkerStatus ? m_Sink->m_Options.FailResult : S_OK;
        const HRESULT hr = QueueEvent(MEStreamSinkMarker, GUID_NULL, status, contextValue);
        return hr == MF_E_SHUTDOWN ? S_OK : hr;
    });
}

HRESULT RequestingSink::Stream::IsMediaTypeSupported(IMFMediaType* type, IMFMediaType** closest)
{
    if (!type)
        return E_POINTER;
    if (closest)
        *closest = nullptr;
    return S_OK;
}

HRESULT RequestingSink::Stream::GetMediaTypeCount(DWORD* count)
{
    if (!count)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT RequestingSink::Stream::GetMediaTypeByIndex(DWORD index, IMFMediaType** type)
{
    if (index != 0)
        return MF_E_NO_MORE_TYPES;
    return GetCurrentMediaType(type);
}

HRESULT RequestingSink::Stream::SetCurrentMediaType(IMFMediaType* type)
{
    if (!type)
        return E_POINTER;
    std::lock_guard lock(m_Sink->m_Lock);
    m_Sink->m_CurrentType = type;
    ++m_Sink->m_TypeChanges;
    m_Sink->m_TypeChangeBeforeSample = static_cast<UINT32>(m_Sink->m_Indices.size());
    return S_OK;
}

HRESULT RequestingSink::Stream::GetCurrentMediaType(IMFMediaType** type)
{
    if (!type)
        return E_POINTER;
    std::lock_guard lock(m_Sink->m_Lock);
    *type = nullptr;
    if (!m_Sink->m_CurrentType)
        return MF_E_NOT_INITIALIZED;
    m_Sink->m_CurrentType.CopyTo(type);
    return S_OK;
}

HRESULT RequestingSink::Stream::GetMajorType(GUID* major)
{
    ComPtr<IMFMediaType> type;
    const HRESULT hr = GetCurrentMediaType(type.GetAddressOf());
    return FAILED(hr) ? hr : type->GetMajorType(major);
}

// ---- Topology and events --------------------------------------------------------------------

ComPtr<IMFTopology> BuildTopology(CountingSource* source, IMFTransform* transform, IMFStreamSink* streamSink)
{
    ComPtr<IMFTopology> topology;
    XEV_CHECK_HR(MFCreateTopology(topology.GetAddressOf()));
    ComPtr<IMFTopologyNode> sourceNode, transformNode, outputNode;
    XEV_CHECK_HR(MFCreateTopologyNode(MF_TOPOLOGY_SOURCESTREAM_NODE, sourceNode.GetAddressOf()));
    XEV_CHECK_HR(sourceNode->SetUnknown(MF_TOPONODE_SOURCE, static_cast<IMFMediaSource*>(source)));
    XEV_CHECK_HR(sourceNode->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, source->Descriptor().Get()));
    XEV_CHECK_HR(sourceNode->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, source->StreamDescriptor().Get()));
    XEV_CHECK_HR(topology->AddNode(sourceNode.Get()));
    XEV_CHECK_HR(MFCreateTopologyNode(MF_TOPOLOGY_TRANSFORM_NODE, transformNode.GetAddressOf()));
    XEV_CHECK_HR(transformNode->SetObject(transform));
    XEV_CHECK_HR(topology->AddNode(transformNode.Get()));
    XEV_CHECK_HR(sourceNode->ConnectOutput(0, transformNode.Get(), 0));
    XEV_CHECK_HR(MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, outputNode.GetAddressOf()));
    XEV_CHECK_HR(outputNode->SetObject(streamSink));
    XEV_CHECK_HR(topology->AddNode(outputNode.Get()));
    XEV_CHECK_HR(transformNode->ConnectOutput(0, outputNode.Get(), 0));
    return topology;
}

ComPtr<EventRecorder> EventRecorder::Start(IMFMediaEventGenerator* generator)
{
    auto recorder = Make<EventRecorder>(generator);
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
    if (!generator)
        return S_OK;
    ComPtr<IMFMediaEvent> event;
    if (FAILED(generator->EndGetEvent(result, event.GetAddressOf())))
        return S_OK;
    Record record;
    (void)event->GetType(&record.Type);
    (void)event->GetStatus(&record.Status);
    (void)event->GetUINT32(MF_EVENT_TOPOLOGY_STATUS, &record.TopologyStatus);
    PROPVARIANT value;
    PropVariantInit(&value);
    if (SUCCEEDED(event->GetValue(&value)))
        record.HasValue = value.vt != VT_EMPTY;
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

size_t EventRecorder::Count(MediaEventType type) const
{
    std::lock_guard lock(m_Lock);
    return static_cast<size_t>(std::count_if(m_Records.begin(), m_Records.end(), [type](const Record& r) { return r.Type == type; }));
}

bool EventRecorder::WaitFor(MediaEventType type, int timeoutMilliseconds, size_t occurrence) const
{
    std::unique_lock lock(m_Lock);
    return m_Arrived.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [&] {
        return static_cast<size_t>(std::count_if(m_Records.begin(), m_Records.end(), [type](const Record& r) { return r.Type == type; })) >= occurrence;
    });
}

EventRecorder::Record EventRecorder::First(MediaEventType type) const
{
    std::lock_guard lock(m_Lock);
    for (const auto& record : m_Records)
        if (record.Type == type)
            return record;
    return {};
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

std::string Describe(const std::vector<MediaEventType>& types)
{
    std::string text;
    for (auto type : types)
    {
        if (!text.empty())
            text += ' ';
        text += std::to_string(type);
    }
    return text;
}
} // namespace SessionDoubles
