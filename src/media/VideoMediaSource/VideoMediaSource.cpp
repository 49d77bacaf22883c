#include "VideoMediaSource.h"

#include "media/Common/Names.h"

#include <limits>

// The source's queued operations: each holds the source and reports its failure as its own event.
class VideoMediaSource::StartOperation final : public VideoMediaSource::BaseOperation
{
public:
    StartOperation(ComPtr<VideoMediaSource> owner, IMFPresentationDescriptor* descriptor, const PROPVARIANT& position)
        : BaseOperation(std::move(owner)), m_Descriptor(descriptor)
    {
        m_StartPosition.CopyFrom(position);
    }
    void Run() override { m_Owner->RunStart(m_Descriptor.Get(), m_StartPosition); }
    void OnFailure(HRESULT result) override { m_Owner->QueueFailureEvent(MESourceStarted, result); }

private:
    ComPtr<IMFPresentationDescriptor> m_Descriptor;
    MF::PropVariantT<> m_StartPosition;
};

class VideoMediaSource::StopOperation final : public VideoMediaSource::BaseOperation
{
public:
    explicit StopOperation(ComPtr<VideoMediaSource> owner) : BaseOperation(std::move(owner)) {}
    void Run() override { m_Owner->RunStop(); }
    void OnFailure(HRESULT result) override { m_Owner->QueueFailureEvent(MESourceStopped, result); }
};

class VideoMediaSource::PauseOperation final : public VideoMediaSource::BaseOperation
{
public:
    explicit PauseOperation(ComPtr<VideoMediaSource> owner) : BaseOperation(std::move(owner)) {}
    void Run() override { m_Owner->RunPause(); }
    void OnFailure(HRESULT result) override { m_Owner->QueueFailureEvent(MESourcePaused, result); }
};

class VideoMediaSource::NotifyEndOfStreamOperation final : public VideoMediaSource::BaseOperation
{
public:
    NotifyEndOfStreamOperation(ComPtr<VideoMediaSource> owner, ComPtr<Stream> stream)
        : BaseOperation(std::move(owner)), m_Stream(std::move(stream))
    {
    }
    void Run() override { m_Owner->RunNotifyEndOfStream(); }
    void OnFailure(HRESULT result) override { m_Owner->QueueFailureEvent(MEEndOfStream, result); }

private:
    ComPtr<Stream> m_Stream;
};

VideoMediaSource::VideoMediaSource()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    CreateEventQueue();
    XEV_CHECK_HR(MFCreateAttributes(m_Attributes.GetAddressOf(), 4));
    XEV_CHECK_HR(m_Attributes->SetUINT32(VMS_RESOURCE_SET_COUNT, 4));
    m_Stream = Make<Stream>(this);
}

VideoMediaSource::~VideoMediaSource()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    if (m_Stream)
        (void)Error::Continue([&] {
            std::unique_lock lock(m_Lock);
            m_Stream->ShutdownStream();
        });
    (void)Error::Continue([&] { UnlockWorkQueue(); });
}

void VideoMediaSource::Initialize(IMFDXGIDeviceManager* deviceManager, IMFMediaType* mediaType, std::optional<LONGLONG> duration)
{
    XEV_CHECK(mediaType, E_INVALIDARG);
    std::unique_lock lock(m_Lock);
    m_DeviceManager = deviceManager;
    m_MediaType = mediaType;
    m_Duration = duration;
}

void VideoMediaSource::SetBackgroundColor(UINT32 color)
{
    std::unique_lock lock(m_Lock);
    m_BackgroundColor = color;
}

void VideoMediaSource::SetBaseTime(const FILETIME& localTime)
{
    std::unique_lock lock(m_Lock);
    CheckShutdownLocked();
    XEV_CHECK_LINE(m_WorkQueue == 0 && !m_Callback);
    FILETIME utc {};
    XEV_CHECK(LocalFileTimeToFileTime(&localTime, &utc), E_INVALIDARG);
    m_BaseTime = SystemTime::ToUInt64(utc);
}

void VideoMediaSource::EnableSystemClock()
{
    std::unique_lock lock(m_Lock);
    CheckShutdownLocked();
    m_UseSystemClock = true;
}

HRESULT VideoMediaSource::GetCharacteristics(DWORD* characteristics)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(characteristics);
        std::shared_lock lock(m_Lock);
        *characteristics = m_Duration ? 0x86 : 0x81;
    });
}

void VideoMediaSource::EnsurePresentationDescriptorLocked()
{
    if (m_PresentationDescriptor)
        return;
    XEV_CHECK(m_MediaType, MF_E_NOT_INITIALIZED);
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    IMFMediaType* types[] = { m_MediaType.Get() };
    XEV_CHECK_HR(MFCreateStreamDescriptor(0, 1, types, streamDescriptor.GetAddressOf()));
    ComPtr<IMFMediaTypeHandler> handler;
    XEV_CHECK_HR(streamDescriptor->GetMediaTypeHandler(handler.GetAddressOf()));
    XEV_CHECK_HR(handler->SetCurrentMediaType(m_MediaType.Get()));
    ComPtr<IMFPresentationDescriptor> descriptor;
    IMFStreamDescriptor* streams[] = { streamDescriptor.Get() };
    XEV_CHECK_HR(MFCreatePresentationDescriptor(1, streams, descriptor.GetAddressOf()));
    XEV_CHECK_HR(descriptor->SelectStream(0));
    if (m_Duration)
        XEV_CHECK_HR(descriptor->SetUINT64(MF_PD_DURATION, static_cast<UINT64>(*m_Duration)));
    m_PresentationDescriptor = std::move(descriptor);
}

HRESULT VideoMediaSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        XEV_CHECK_POINTER(descriptor);
        *descriptor = nullptr;
        std::unique_lock lock(m_Lock);
        EnsurePresentationDescriptorLocked();
        XEV_CHECK_HR(m_PresentationDescriptor->Clone(descriptor));
    });
}

void VideoMediaSource::EnsureWorkQueueLocked()
{
    if (m_WorkQueue != 0 && m_Callback)
        return;
    CreateCallback();
    AllocateWorkQueue();
}

HRESULT VideoMediaSource::Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition)
{
    XEV_TRACE("this 0x%p, PresentationDescriptor 0x%p, TimeFormat 0x%p, StartPosition 0x%p\n", static_cast<void*>(this),
        static_cast<void*>(descriptor), static_cast<const void*>(timeFormat), static_cast<const void*>(startPosition));
    return Error::Guard([&] {
        XEV_CHECK(descriptor && startPosition, E_INVALIDARG);
        XEV_CHECK(timeFormat && *timeFormat == GUID_NULL, MF_E_UNSUPPORTED_TIME_FORMAT);
        XEV_CHECK(startPosition->vt == VT_EMPTY || startPosition->vt == VT_I8, MF_E_UNSUPPORTED_TIME_FORMAT);
        std::unique_lock lock(m_Lock);
        CheckShutdownLocked();
        UINT64 duration = 0;
        if (SUCCEEDED(descriptor->GetUINT64(MF_PD_DURATION, &duration)))
            m_Duration = static_cast<LONGLONG>(duration);
        else
            m_Duration.reset();
        EnsureWorkQueueLocked();
        auto operation = Make<StartOperation>(ComPtr<VideoMediaSource>(this), descriptor, *startPosition);
        PutLocked(operation.Get());
    });
}

void VideoMediaSource::RunStart(IMFPresentationDescriptor* descriptor, const PROPVARIANT& startPosition)
{
    std::unique_lock lock(m_Lock);
    CheckShutdownLocked();
    BOOL selected = 0;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    XEV_CHECK_HR(descriptor->GetStreamDescriptorByIndex(0, &selected, streamDescriptor.GetAddressOf()));
    XEV_CHECK_LINE(selected);
    DWORD identifier = 0;
    XEV_CHECK_HR(streamDescriptor->GetStreamIdentifier(&identifier));
    XEV_CHECK_LINE(identifier == 0);
    const bool wasInitialized = m_Stream->IsInitializedLocked();
    m_Stream->PrepareForStart(streamDescriptor.Get());
    MF::PropVariantT<> stream;
    XEV_CHECK_HR(InitPropVariantFromUnknown(static_cast<IMFMediaStream*>(m_Stream.Get()), &stream));
    QueueEvent(wasInitialized ? MEUpdatedStream : MENewStream, &stream);
    m_ActiveStreamCount = 1;
    m_Stream->StartAt(startPosition);
    SetState(2);
    QueueEvent(MESourceStarted, &startPosition);
}

HRESULT VideoMediaSource::Stop()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        std::unique_lock lock(m_Lock);
        CheckShutdownLocked();
        EnsureWorkQueueLocked();
        auto operation = Make<StopOperation>(ComPtr<VideoMediaSource>(this));
        PutLocked(operation.Get());
    });
}

void VideoMediaSource::RunStop()
{
    std::unique_lock lock(m_Lock);
    if (IsShutdown())
        return;
    if (m_Stream->IsInitializedLocked())
        m_Stream->StopStream();
    UnlockWorkQueue();
    m_WorkQueue = 0;
    // The callback's function may hold the last reference but one to this source: the caller
    // (the running operation) holds another, so letting it go under the lock is safe.
    ReleaseCallback();
    QueueEvent(MESourceStopped, static_cast<const PROPVARIANT*>(nullptr));
}

HRESULT VideoMediaSource::Pause()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        std::unique_lock lock(m_Lock);
        CheckShutdownLocked();
        EnsureWorkQueueLocked();
        auto operation = Make<PauseOperation>(ComPtr<VideoMediaSource>(this));
        PutLocked(operation.Get());
    });
}

void VideoMediaSource::RunPause()
{
    std::unique_lock lock(m_Lock);
    if (IsShutdown())
        return;
    if (m_Stream->IsInitializedLocked())
        m_Stream->PauseStream();
    QueueEvent(MESourcePaused, static_cast<const PROPVARIANT*>(nullptr));
}

void VideoMediaSource::NotifyEndOfStreamLocked(Stream* stream)
{
    auto operation = Make<NotifyEndOfStreamOperation>(ComPtr<VideoMediaSource>(this), ComPtr<Stream>(stream));
    PutLocked(operation.Get());
}

void VideoMediaSource::RunNotifyEndOfStream()
{
    std::unique_lock lock(m_Lock);
    if (m_ActiveStreamCount > 0 && --m_ActiveStreamCount == 0)
        QueueEvent(MEEndOfPresentation, static_cast<const PROPVARIANT*>(nullptr));
}

void VideoMediaSource::QueueFailureEvent(MediaEventType type, HRESULT status)
{
    std::shared_lock lock(m_Lock);
    QueueEvent(type, status);
}

HRESULT VideoMediaSource::Shutdown()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    // Released after the lock is let go: the last of them may end this source's life. The event
    // queue is let go without being shut down; a reader still waiting on it (which may hold this
    // source) goes with it.
    ComPtr<IMFMediaEventQueue> eventQueue;
    ComPtr<Stream> stream;
    ComPtr<IMFPresentationClock> clock;
    ComPtr<IMFDXGIDeviceManager> deviceManager;
    ComPtr<IMFPresentationDescriptor> descriptor;
    const ComPtr<VideoMediaSource> self(this);
    return Error::Guard([&] {
        std::unique_lock lock(m_Lock);
        CheckShutdownLocked();
        m_ShutdownResult = MF_E_SHUTDOWN;
        m_Stream->ShutdownStream();
        stream = std::move(m_Stream);
        UnlockWorkQueue();
        m_WorkQueue = 0;
        ReleaseCallback();
        clock = std::move(m_PresentationClock);
        deviceManager = std::move(m_DeviceManager);
        descriptor = std::move(m_PresentationDescriptor);
        eventQueue = std::move(m_EventQueue);
        if (clock)
            (void)clock->RemoveClockStateSink(static_cast<IMFClockStateSink*>(this));
    });
}

HRESULT VideoMediaSource::GetSourceAttributes(IMFAttributes** attributes)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        XEV_CHECK_POINTER(attributes);
        *attributes = nullptr;
        std::shared_lock lock(m_Lock);
        CheckShutdownLocked();
        m_Attributes.CopyTo(attributes);
    });
}

HRESULT VideoMediaSource::GetStreamAttributes(DWORD streamIdentifier, IMFAttributes** attributes)
{
    return Error::Guard([&] {
        XEV_CHECK(streamIdentifier == 0, MF_E_INVALIDSTREAMNUMBER);
        XEV_CHECK_POINTER(attributes);
        *attributes = nullptr;
        std::shared_lock lock(m_Lock);
        CheckShutdownLocked();
        m_Stream->m_Attributes.CopyTo(attributes);
    });
}

HRESULT VideoMediaSource::SetD3DManager(IUnknown* manager)
{
    XEV_TRACE("this 0x%p, ManagerUnknown 0x%p\n", static_cast<void*>(this), static_cast<void*>(manager));
    return Error::Guard([&] {
        XEV_CHECK(manager, E_INVALIDARG);
        ComPtr<IMFDXGIDeviceManager> deviceManager;
        XEV_CHECK_HR(QueryTo(manager, deviceManager.GetAddressOf()));
        std::unique_lock lock(m_Lock);
        CheckShutdownLocked();
        std::swap(m_DeviceManager, deviceManager);
    });
}

HRESULT VideoMediaSource::SetPresentationClock(IMFPresentationClock* clock)
{
    XEV_TRACE("this 0x%p, PresentationClock 0x%p\n", static_cast<void*>(this), static_cast<void*>(clock));
    return Error::Guard([&]() -> HRESULT {
        std::unique_lock lock(m_Lock);
        CheckShutdownLocked();
        if (m_PresentationClock.Get() == clock)
            return S_FALSE;
        // The clocks only record or drop the sink; they do not call back into the source.
        if (m_PresentationClock)
            XEV_CHECK_HR(m_PresentationClock->RemoveClockStateSink(this));
        m_PresentationClock = clock;
        if (clock)
            XEV_CHECK_HR(clock->AddClockStateSink(this));
        return S_OK;
    });
}

HRESULT VideoMediaSource::GetPresentationClock(IMFPresentationClock** clock)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(clock);
        *clock = nullptr;
        std::shared_lock lock(m_Lock);
        if (!m_PresentationClock)
            return MF_E_NO_CLOCK;
        m_PresentationClock.CopyTo(clock);
        return S_OK;
    });
}

HRESULT VideoMediaSource::OnClockStart(MFTIME systemTime, LONGLONG startOffset)
{
    XEV_TRACE("this 0x%p, SystemTime %lld, StartOffset %lld\n", static_cast<void*>(this), static_cast<long long>(systemTime),
        static_cast<long long>(startOffset));
    return S_OK;
}

HRESULT VideoMediaSource::OnClockStop(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", static_cast<void*>(this), static_cast<long long>(systemTime));
    return S_OK;
}

HRESULT VideoMediaSource::OnClockPause(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", static_cast<void*>(this), static_cast<long long>(systemTime));
    return S_OK;
}

HRESULT VideoMediaSource::OnClockRestart(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", static_cast<void*>(this), static_cast<long long>(systemTime));
    return S_OK;
}

HRESULT VideoMediaSource::OnClockSetRate(MFTIME systemTime, float rate)
{
    XEV_TRACE("this 0x%p, SystemTime %lld, Rate %.3f\n", static_cast<void*>(this), static_cast<long long>(systemTime), double(rate));
    return S_OK;
}

HRESULT VideoMediaSource::GetService(REFGUID service, REFIID riid, void** object)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(object);
        *object = nullptr;
        if (service == MF_MEDIASOURCE_SERVICE)
            return QueryInterface(riid, object);
        if (service == MF_RATE_CONTROL_SERVICE)
        {
            // Only the two rate interfaces are served here.
            if (riid == IMFRateSupport::IID || riid == IMFRateControl::IID)
                return QueryInterface(riid, object);
            return E_NOINTERFACE;
        }
        return MF_E_UNSUPPORTED_SERVICE;
    });
}

namespace
{
void CheckRateRequest(MFRATE_DIRECTION direction, BOOL thin, float* rate)
{
    XEV_CHECK_POINTER(rate);
    XEV_CHECK(direction != MFRATE_REVERSE, MF_E_REVERSE_UNSUPPORTED);
    XEV_CHECK(!thin, MF_E_THINNING_UNSUPPORTED);
}
} // namespace

HRESULT VideoMediaSource::GetSlowestRate(MFRATE_DIRECTION direction, BOOL thin, float* rate)
{
    return Error::Guard([&] {
        CheckRateRequest(direction, thin, rate);
        *rate = 0.0f;
    });
}

HRESULT VideoMediaSource::GetFastestRate(MFRATE_DIRECTION direction, BOOL thin, float* rate)
{
    return Error::Guard([&] {
        CheckRateRequest(direction, thin, rate);
        *rate = std::numeric_limits<float>::max();
    });
}

HRESULT VideoMediaSource::IsRateSupported(BOOL thin, float rate, float* nearest)
{
    XEV_TRACE("this 0x%p, Thin %d, Rate %.3f\n", static_cast<void*>(this), thin, double(rate));
    return Error::Guard([&] {
        XEV_CHECK(!thin, MF_E_THINNING_UNSUPPORTED);
        XEV_CHECK(rate >= 0.0f, MF_E_UNSUPPORTED_RATE);
        if (nearest)
            *nearest = rate;
    });
}

HRESULT VideoMediaSource::SetRate(BOOL thin, float rate)
{
    XEV_TRACE("this 0x%p, Thin %d, Rate %.3f\n", static_cast<void*>(this), thin, double(rate));
    return Error::Guard([&] {
        XEV_CHECK(!thin, MF_E_THINNING_UNSUPPORTED);
        XEV_CHECK(rate >= 0.0f, MF_E_REVERSE_UNSUPPORTED);
        std::unique_lock lock(m_Lock);
        CheckShutdownLocked();
        m_Rate = rate;
        PROPVARIANT value {};
        value.vt = VT_R4;
        value.fltVal = rate;
        QueueEvent(MESourceRateChanged, &value);
    });
}

HRESULT VideoMediaSource::GetRate(BOOL* thin, float* rate)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        XEV_CHECK_POINTER(rate);
        if (thin)
            *thin = 0;
        std::shared_lock lock(m_Lock);
        *rate = m_Rate;
    });
}
