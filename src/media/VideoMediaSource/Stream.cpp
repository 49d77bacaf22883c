#include "VideoMediaSource.h"

#include "media/Common/Names.h"
#include "media/VideoSampleAllocator/VideoSampleAllocator.h"

#include <algorithm>

using Stream = VideoMediaSource::Stream;

namespace
{
constexpr UINT32 InitialOperationCount = 32;
}

Stream::Stream(VideoMediaSource* source) : m_Source(source), m_SourceReference(source)
{
    SetParent(source, &source->m_Lock);
    CreateEventQueue();
    XEV_CHECK_HR(MFCreateAttributes(m_Attributes.GetAddressOf(), 8));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_SA_D3D11_BINDFLAGS, D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_SA_D3D11_USAGE, D3D11_USAGE_DEFAULT));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_SA_D3D11_SHARED, 0));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_SA_D3D11_SHARED_WITHOUT_MUTEX, 0));
    XEV_CHECK_HR(m_Attributes->SetUINT32(VSA_D3D11_SHARED_NTHANDLE, 1));
}

Stream::~Stream() = default;

LONGLONG Stream::SampleTime(UINT64 index, UINT32 numerator, UINT32 denominator)
{
    return MFllMulDiv(static_cast<LONGLONG>(index), LONGLONG(denominator) * 10'000'000, numerator, 0);
}

UINT32 Stream::SampleIndex(LONGLONG position, UINT32 numerator, UINT32 denominator)
{
    return static_cast<UINT32>(
        MFllMulDiv(position, numerator, LONGLONG(denominator) * 10'000'000, LONGLONG(denominator) * 5'000'000));
}

void Stream::CheckShutdownLocked() const { m_Source->CheckShutdownLocked(); }

LONGLONG Stream::SystemTimeLocked() const
{
    LONGLONG clockTime = 0;
    MFTIME systemTime = 0;
    XEV_CHECK_HR(m_TimeSource->GetCorrelatedTime(0, &clockTime, &systemTime));
    return clockTime;
}

HRESULT Stream::GetMediaSource(IMFMediaSource** source)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        XEV_CHECK_POINTER(source);
        *source = nullptr;
        XEV_CHECK_HR(QueryTo(m_Source->AsUnknown(), source));
    });
}

HRESULT Stream::GetStreamDescriptor(IMFStreamDescriptor** descriptor)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    return Error::Guard([&] {
        XEV_CHECK_POINTER(descriptor);
        *descriptor = nullptr;
        std::shared_lock lock(m_Source->m_Lock);
        m_StreamDescriptor.CopyTo(descriptor);
    });
}

void Stream::ReleaseResourcesLocked()
{
    CancelPendingOperationsLocked();
    m_OutputQueue.clear();
    if (m_SampleAllocator)
    {
        (void)m_SampleAllocator->UninitializeSampleAllocator();
        m_SampleAllocator = nullptr;
    }
    m_OperationPool = nullptr;
    m_ResourceSetPool = nullptr;
    m_TimeSource = nullptr;
    m_Device = nullptr;
    if (m_DeviceHandle)
        (void)m_DeviceManager->CloseDeviceHandle(std::exchange(m_DeviceHandle, nullptr));
    m_DeviceManager = nullptr;
}

void Stream::PrepareForStart(IMFStreamDescriptor* descriptor)
{
    ComPtr<IMFMediaTypeHandler> handler;
    XEV_CHECK_HR(descriptor->GetMediaTypeHandler(handler.GetAddressOf()));
    ComPtr<IMFMediaType> type;
    XEV_CHECK_HR(handler->GetCurrentMediaType(type.GetAddressOf()));
    GUID majorType {};
    XEV_CHECK_HR(type->GetMajorType(&majorType));
    XEV_CHECK_LINE(majorType == MFMediaType_Video);
    CheckShutdownLocked();
    m_StreamDescriptor = descriptor;
    m_MediaType = type;

    GUID subtype {};
    XEV_CHECK_HR(type->GetGUID(MF_MT_SUBTYPE, &subtype));
    XEV_CHECK(subtype == MFVideoFormat_ARGB32, E_NOTIMPL);
    VideoFrameFormat format;
    XEV_CHECK_HR(MFGetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, &format.RateNumerator, &format.RateDenominator));
    XEV_CHECK_LINE(format.RateNumerator != 0 && format.RateDenominator != 0);
    XEV_CHECK_HR(MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &format.Width, &format.Height));
    // A frame must have pixels, and its buffer must fit a buffer's 32-bit length.
    XEV_CHECK_LINE(format.Width != 0 && format.Height != 0 && UINT64(format.Width) * format.Height * 4 <= 0x7FFFFFFF);
    format.BaseTime = m_Source->m_BaseTime;

    // Whatever an earlier start made goes; its operations still out return to the old pools.
    ReleaseResourcesLocked();
    if (m_Source->m_DeviceManager)
    {
        m_DeviceManager = m_Source->m_DeviceManager;
        XEV_CHECK_HR(m_DeviceManager->OpenDeviceHandle(&m_DeviceHandle));
        XEV_CHECK_HR(m_DeviceManager->GetVideoService(m_DeviceHandle, IidOf<ID3D11Device>, reinterpret_cast<void**>(m_Device.GetAddressOf())));
    }
    m_Format = format;
    m_RenderTextureDescription = { format.Width, format.Height, 1, 1, DXGI_FORMAT_B8G8R8A8_UNORM, { 1, 0 }, D3D11_USAGE_DEFAULT,
        D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, 0, 0 };

    UINT32 setCount = 0;
    XEV_CHECK_HR(m_Source->m_Attributes->GetUINT32(VMS_RESOURCE_SET_COUNT, &setCount));
    XEV_CHECK_LINE(setCount != 0);
    auto setPool = Make<ResourceSetPool>(setCount);
    // One factory for all sets; each set keeps it for its layouts.
    const auto textFactory = std::make_shared<Drawing::TextFactory>();
    for (const auto& set : setPool->GetElements())
        set->Prepare(m_Device.Get(), m_RenderTextureDescription, textFactory, m_Source->m_BackgroundColor);
    m_ResourceSetPool = std::move(setPool);
    m_OperationPool = Make<OperationPool>(InitialOperationCount);

    if (m_Device)
    {
        auto allocator = Make<VideoSampleAllocator>();
        allocator->EnableSampleAvailableEvent();
        XEV_CHECK_HR(allocator->SetDirectXManager(m_DeviceManager.Get()));
        XEV_CHECK_HR(allocator->InitializeSampleAllocatorEx(2 * setCount, 2 * setCount, m_Attributes.Get(), type.Get()));
        m_SampleAllocator = std::move(allocator);
    }
    m_StartPosition = 0;
    m_HeadSampleIndex = m_TailSampleIndex = 0;
    if (m_Source->m_UseSystemClock)
        XEV_CHECK_HR(MFCreateSystemTimeSource(m_TimeSource.GetAddressOf()));
    m_Initialized = true;
}

void Stream::StartAt(const PROPVARIANT& startPosition)
{
    CheckShutdownLocked();
    m_EndOfStreamState = 0;
    if (startPosition.vt == VT_I8)
    {
        m_StartPosition = startPosition.hVal;
        const UINT32 index = SampleIndex(m_StartPosition, m_Format.RateNumerator, m_Format.RateDenominator);
        m_HeadSampleIndex = m_TailSampleIndex = index;
        XEV_TRACE("this 0x%p, m_HeadSampleIndex %u, m_TailSampleIndex %u\n", static_cast<void*>(this), m_HeadSampleIndex,
            m_TailSampleIndex);
    }
    // Sample time 0 is due this long before now, so that the first sample is due at once.
    if (m_TimeSource)
        m_StartSystemTime = SystemTimeLocked() - m_StartPosition;
    m_StreamState = 2;
    QueueEvent(MEStreamStarted, &startPosition);
}

void Stream::StopStream()
{
    CheckShutdownLocked();
    m_StreamState = 0;
    // Nothing of this run is delivered any more; waiting items would hold the source for good.
    CancelPendingOperationsLocked();
    m_OutputQueue.clear();
    QueueEvent(MEStreamStopped, static_cast<const PROPVARIANT*>(nullptr));
}

void Stream::PauseStream()
{
    CheckShutdownLocked();
    m_StreamState = 1;
    QueueEvent(MEStreamPaused, static_cast<const PROPVARIANT*>(nullptr));
}

void Stream::ShutdownStream()
{
    if (m_EventQueue)
        (void)m_EventQueue->Shutdown();
    ReleaseResourcesLocked();
    m_StreamDescriptor = nullptr;
    m_MediaType = nullptr;
}

void Stream::CancelPendingOperationsLocked()
{
    // Operations of this run that are queued or about to run find another run and do nothing.
    ++m_StartCount;
    const auto waiting = std::move(m_WaitingOperations);
    m_WaitingOperations.clear();
    for (const auto& operation : waiting)
    {
        // A cancelled item lets go of its operation; one that started already does nothing.
        if (const MFWORKITEM_KEY key = std::exchange(operation->m_WaitingKey, 0))
            (void)MFCancelWorkItem(key);
    }
}

void Stream::WaitingLocked(ComposeSampleOperation* operation, bool accepted)
{
    if (accepted)
        m_WaitingOperations.emplace_back(operation);
}

HRESULT Stream::RequestSample(IUnknown* token)
{
    return Error::Guard([&]() -> HRESULT {
        const ComPtr<VideoMediaSource> source(m_Source);
        std::unique_lock lock(source->m_Lock);
        CheckShutdownLocked();
        if (!m_Initialized || m_StreamState == 0)
            return MF_E_MEDIA_SOURCE_WRONGSTATE;
        if (m_EndOfStreamState != 0)
            return MF_E_END_OF_STREAM;
        ComPtr<ComposeSampleOperation> operation;
        m_OperationPool->Acquire(operation);
        const UINT32 index = m_HeadSampleIndex++;
        operation->SetOwner(source);
        operation->m_Stream = this;
        operation->m_StartCount = m_StartCount;
        operation->m_SampleIndex = index;
        operation->m_SampleTime = SampleTime(index, m_Format.RateNumerator, m_Format.RateDenominator);
        operation->m_SampleDuration = SampleTime(UINT64(index) + 1, m_Format.RateNumerator, m_Format.RateDenominator) - operation->m_SampleTime;
        operation->m_Token = token;
        source->PutLocked(operation.Get());
        return S_OK;
    });
}

void Stream::ComposeSampleOperation::Run()
{
    const ComPtr<Stream> stream = m_Stream;
    if (!stream)
        return;
    std::unique_lock lock(stream->m_Source->m_Lock);
    stream->ComposeSampleInvoke(this);
}

void Stream::ComposeSampleOperation::OnReturnToPool()
{
    if (m_WaitingPool)
        m_WaitingPool->CancelWait(m_WaitingForResourceSet);
    m_WaitingPool = nullptr;
    m_WaitingForResourceSet = false;
    m_ResourceSet = nullptr;
    m_Sample = nullptr;
    m_Token = nullptr;
    m_WaitingKey = 0;
    m_Completed = false;
    m_StartCount = 0;
    // Last: these may hold the last references to the stream's source.
    m_Stream = nullptr;
    SetOwner(nullptr);
}

void Stream::ComposeSampleInvoke(ComposeSampleOperation* operation)
{
    if (std::exchange(operation->m_WaitingKey, 0) != 0)
    {
        const auto found = std::find_if(m_WaitingOperations.begin(), m_WaitingOperations.end(),
            [&](const ComPtr<ComposeSampleOperation>& waiting) { return waiting.Get() == operation; });
        if (found != m_WaitingOperations.end())
            m_WaitingOperations.erase(found);
    }
    if (m_Source->IsShutdown() || m_EndOfStreamState == 2 || operation->m_Completed || operation->m_StartCount != m_StartCount)
        return;

    if (!operation->m_ResourceSet)
    {
        if (!m_ResourceSetPool->TryAcquireOrWait(operation->m_ResourceSet, operation->m_WaitingForResourceSet))
        {
            // Counted as a waiter: the next set that comes back signals the pool's event.
            operation->m_WaitingPool = m_ResourceSetPool;
            WaitingLocked(operation, m_Source->PutWaiting(m_ResourceSetPool->GetEvent(), operation, &operation->m_WaitingKey));
            return;
        }
        operation->m_WaitingPool = nullptr;
    }

    const auto& duration = m_Source->m_Duration;
    if (duration && operation->m_SampleTime >= *duration)
    {
        if (m_EndOfStreamState != 0)
            return;
        m_EndOfStreamState = 1;
        XEV_TRACE("this 0x%p, m_SampleIndex %u, m_SampleTime %s, m_EndOfStream %u\n", static_cast<void*>(this),
            operation->m_SampleIndex, MF::FormatTime(operation->m_SampleTime).c_str(), 1u);
        QueueOutput(operation);
        return;
    }

    // The frame is drawn when it is due, not before its wait: drawn and handed on at once, its
    // megabytes are still in the caches when the encoder copies and converts them, and no drawn
    // frame sits out a frame interval holding its buffer.
    if (m_TimeSource && !operation->m_Sample)
    {
        const LONGLONG early = operation->m_SampleTime - (SystemTimeLocked() - m_StartSystemTime);
        if (early >= operation->m_SampleDuration / 3)
        {
            // At least a millisecond, so that a sub-millisecond wait does not spin.
            const INT64 milliseconds = std::max<INT64>(early / 10'000, 1);
            WaitingLocked(operation, m_Source->Schedule(operation, -milliseconds, &operation->m_WaitingKey));
            return;
        }
    }
    if (!operation->m_Sample && !ComposeSample(operation))
        return;
    QueueOutput(operation);
}

void Stream::QueueOutput(ComposeSampleOperation* operation)
{
    operation->m_Completed = true;
    // The frame is drawn and copied: its drawing resources serve the next frame at once, so that
    // operations waiting for their turn never hold the sets that earlier ones wait for.
    operation->m_ResourceSet = nullptr;
    m_OutputQueue.emplace_back(operation);
    for (;;)
    {
        const auto next = std::find_if(m_OutputQueue.begin(), m_OutputQueue.end(),
            [&](const ComPtr<ComposeSampleOperation>& queued) { return queued->m_SampleIndex == m_TailSampleIndex; });
        if (next == m_OutputQueue.end())
            return;
        const ComPtr<ComposeSampleOperation> delivered = std::move(*next);
        m_OutputQueue.erase(next);
        if (!delivered->m_Sample)
        {
            m_EndOfStreamState = 2;
            XEV_TRACE("this 0x%p, m_SampleIndex %u, m_SampleTime %s, m_EndOfStream %u\n", static_cast<void*>(this),
                delivered->m_SampleIndex, MF::FormatTime(delivered->m_SampleTime).c_str(), 2u);
            QueueEvent(MEEndOfStream, static_cast<const PROPVARIANT*>(nullptr));
            m_Source->NotifyEndOfStreamLocked(this);
        }
        else
        {
            PROPVARIANT value {};
            value.vt = VT_UNKNOWN;
            value.punkVal = delivered->m_Sample.Get();
            QueueEvent(MEMediaSample, &value);
        }
        ++m_TailSampleIndex;
    }
}
