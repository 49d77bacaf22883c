#pragma once
// VideoMediaSource: a live media source with one video stream of drawn frames (a black picture
// with a swinging rectangle carrying the frame number, a clock and a caption), paced against the
// system clock.
//
// Owner calls, before the source goes to a session: Initialize (device manager or null, the
// ARGB32 media type of the stream, optional duration), SetBackgroundColor, SetBaseTime,
// EnableSystemClock. The session then asks for the presentation descriptor, starts, pauses and
// stops the source, and shuts it down; each command queues an operation on the source's own
// serial work queue and reports its outcome as an event.
//
// Threads: the session calls from its threads; operations and the stream's frame work run one at
// a time on the serial work queue. One reader/writer lock (m_Lock) guards the source and its
// stream. Events are queued and work items put with the lock held (neither calls out).
//
// Lifetime: the source and its stream hold each other until Shutdown, which lets the stream go
// (the stream keeps the source for as long as anybody holds the stream, since its event
// generator uses the source's lock). Queued operations and the work queue's callback hold the
// source; Shutdown (or Stop) lets the callback go and cancels the stream's waiting operations.
// A source must be shut down.

#include "media/Common/MediaEventGenerator.h"
#include "media/Common/OperationQueue.h"
#include "media/Common/Pool.h"
#include "media/Common/PropVariantT.h"
#include "media/Common/Shutdown.h"
#include "platform/com/ComObject.h"
#include "platform/d3d/D3D11.h"
#include "platform/drawing/Drawing.h"
#include "platform/mf/Api.h"
#include "platform/system/Time.h"

#include <memory>
#include <optional>
#include <shared_mutex>
#include <vector>

class VideoSampleAllocator;

// How many drawing resource sets the stream keeps (UINT32 source attribute; 4 by default).
XEV_GUID(VMS_RESOURCE_SET_COUNT, "03c40f88-001d-4fc8-86ec-3ec6ad64e329");

class VideoMediaSource;
template <>
struct MF::EventGeneratorInterface<VideoMediaSource>
{
    using Type = IMFMediaSourceEx;
};

class VideoMediaSource final
    : public ComObject<MF::MediaEventGenerator<VideoMediaSource, MF::MediaPrimitiveTraits>, IMFClockConsumer,
          IMFClockStateSink, IMFGetService, IMFRateSupport, IMFRateControl>,
      public MF::ShutdownState<VideoMediaSource>,
      public MF::OperationQueueImplementation<VideoMediaSource>
{
public:
    class Stream;
    class StartOperation;
    class StopOperation;
    class PauseOperation;
    class NotifyEndOfStreamOperation;

    VideoMediaSource();
    ~VideoMediaSource() override;

    // Owner operations (before the source goes to a session).
    void Initialize(IMFDXGIDeviceManager* deviceManager, IMFMediaType* mediaType, std::optional<LONGLONG> duration = std::nullopt);
    void SetBackgroundColor(UINT32 color);
    // Local time of sample time 0 for the clock text. 0x80FF0000 + line once a command was queued.
    void SetBaseTime(const FILETIME& localTime);
    void EnableSystemClock();

    // IMFMediaSource
    HRESULT GetCharacteristics(DWORD* characteristics) override;
    HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override;
    HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition) override;
    HRESULT Stop() override;
    HRESULT Pause() override;
    HRESULT Shutdown() override;
    // IMFMediaSourceEx
    HRESULT GetSourceAttributes(IMFAttributes** attributes) override;
    HRESULT GetStreamAttributes(DWORD streamIdentifier, IMFAttributes** attributes) override;
    HRESULT SetD3DManager(IUnknown* manager) override;
    // IMFClockConsumer
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override;
    HRESULT GetPresentationClock(IMFPresentationClock** clock) override;
    // IMFClockStateSink (traced only)
    HRESULT OnClockStart(MFTIME systemTime, LONGLONG startOffset) override;
    HRESULT OnClockStop(MFTIME systemTime) override;
    HRESULT OnClockPause(MFTIME systemTime) override;
    HRESULT OnClockRestart(MFTIME systemTime) override;
    HRESULT OnClockSetRate(MFTIME systemTime, float rate) override;
    // IMFGetService
    HRESULT GetService(REFGUID service, REFIID riid, void** object) override;
    // IMFRateSupport
    HRESULT GetSlowestRate(MFRATE_DIRECTION direction, BOOL thin, float* rate) override;
    HRESULT GetFastestRate(MFRATE_DIRECTION direction, BOOL thin, float* rate) override;
    HRESULT IsRateSupported(BOOL thin, float rate, float* nearest) override;
    // IMFRateControl
    HRESULT SetRate(BOOL thin, float rate) override;
    HRESULT GetRate(BOOL* thin, float* rate) override;

    // A failed operation's event, queued under the lock held shared (Shutdown lets the queue go).
    void QueueFailureEvent(MediaEventType type, HRESULT status);

    mutable std::shared_mutex m_Lock; // guards every field of the source and of its stream

private:
    friend class Stream;

    void CheckShutdownLocked() const { ThrowIfShutdown(); }
    void EnsurePresentationDescriptorLocked();
    void EnsureWorkQueueLocked();
    // Puts an operation; MF_E_SHUTDOWN from the queue drops it quietly.
    void PutLocked(Operation* operation) { (void)Put(operation); }
    // Queues the notice that `stream` has delivered its end of stream.
    void NotifyEndOfStreamLocked(Stream* stream);

    // Operation bodies (on the work queue).
    void RunStart(IMFPresentationDescriptor* descriptor, const PROPVARIANT& startPosition);
    void RunStop();
    void RunPause();
    void RunNotifyEndOfStream();

    // The fields below are guarded by m_Lock.
    UINT32 m_BackgroundColor = 0x00008B;          // 0x00RRGGBB of the moving rectangle
    std::optional<UINT64> m_BaseTime;             // UTC FILETIME of sample time 0
    bool m_UseSystemClock = false;
    ComPtr<IMFDXGIDeviceManager> m_DeviceManager;
    ComPtr<IMFMediaType> m_MediaType;
    ComPtr<IMFPresentationDescriptor> m_PresentationDescriptor; // made on first demand
    ComPtr<IMFAttributes> m_Attributes;           // the source attributes (VMS_RESOURCE_SET_COUNT)
    ComPtr<Stream> m_Stream;                      // owned until Shutdown
    std::optional<LONGLONG> m_Duration;
    ComPtr<IMFPresentationClock> m_PresentationClock;
    float m_Rate = 1.0f;
    UINT32 m_ActiveStreamCount = 0;
};

// Frame geometry, rate and clock base of one start: what drawing a frame needs.
struct VideoFrameFormat
{
    UINT32 Width = 0, Height = 0;
    UINT32 RateNumerator = 0, RateDenominator = 1;
    std::optional<UINT64> BaseTime; // UTC FILETIME of sample time 0
};

// The one stream. Its generator uses the source's lock and shutdown word.
class VideoMediaSource::Stream final : public ComObject<MF::MediaEventGenerator<VideoMediaSource::Stream, MF::MediaSourceStreamTraits>>
{
public:
    class ResourceSet;
    class ComposeSampleOperation;
    using ResourceSetPool = Pool::PoolT<ResourceSet, Pool::Strategy::StaticStrategy>;
    using OperationPool = Pool::PoolT<ComposeSampleOperation, Pool::Strategy::DynamicStrategy>;

    explicit Stream(VideoMediaSource* source);
    ~Stream() override;

    // IMFMediaStream
    HRESULT GetMediaSource(IMFMediaSource** source) override;
    HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) override;
    HRESULT RequestSample(IUnknown* token) override;

    // Sample arithmetic at a rate N/D (times in 100 ns units).
    static LONGLONG SampleTime(UINT64 index, UINT32 numerator, UINT32 denominator);
    static UINT32 SampleIndex(LONGLONG position, UINT32 numerator, UINT32 denominator);

    // Drawing of one frame with a set's resources: into memory (top row and pitch; a negative
    // pitch lays the rows out bottom-up) or, with a null top row, into the set's render texture.
    // And the software path's sample: a memory buffer holding the picture bottom row first. Used
    // by the operations; open to tests and the bench.
    static void DrawFrame(const VideoFrameFormat& format, ResourceSet& set, UINT32 index, LONGLONG time,
        BYTE* topRow = nullptr, std::ptrdiff_t pitch = 0);
    // The clock text ("00:00:01.234" from the base time, "00:00:01.234 5678" of the stream time
    // without one) and the caption ("(1280x720@29.97)").
    static void FormatClockText(const VideoFrameFormat& format, LONGLONG time, char* text, size_t capacity);
    static void FormatCaptionText(const VideoFrameFormat& format, char* text, size_t capacity);
    static ComPtr<IMFSample> ComposeSoftwareSample(const VideoFrameFormat& format, ResourceSet& set, UINT32 index, LONGLONG time,
        LONGLONG duration, IUnknown* token);

private:
    friend class VideoMediaSource;
    friend class ComposeSampleOperation;
    friend struct StreamTestAccess; // tests: a controlled clock, operations run out of order

    // Called by the source with m_Lock held exclusive.
    bool IsInitializedLocked() const noexcept { return m_Initialized; }
    void PrepareForStart(IMFStreamDescriptor* descriptor);
    void StartAt(const PROPVARIANT& startPosition);
    void StopStream();
    void PauseStream();
    void ShutdownStream();

    // Operation work, on the source's queue with m_Lock held exclusive.
    void ComposeSampleInvoke(ComposeSampleOperation* operation);
    // Fills the operation's sample; false when it waits (a waiting item is put) instead.
    bool ComposeSample(ComposeSampleOperation* operation);
    void QueueOutput(ComposeSampleOperation* operation);
    // Removes the waiting and scheduled items of this stream's operations and turns those queued
    // into no-ops (they belong to an earlier run).
    void CancelPendingOperationsLocked();
    // Keeps an operation whose waiting or scheduled item was accepted, so that it can be cancelled.
    void WaitingLocked(ComposeSampleOperation* operation, bool accepted);
    void ReleaseResourcesLocked();
    void CheckShutdownLocked() const;
    LONGLONG SystemTimeLocked() const;

    VideoMediaSource* const m_Source; // the source, kept alive by the reference below
    const ComPtr<VideoMediaSource> m_SourceReference;

    // The fields below are guarded by the source's m_Lock.
    ComPtr<IMFAttributes> m_Attributes;          // the stream attributes, handed to the allocator
    ComPtr<IMFStreamDescriptor> m_StreamDescriptor;
    ComPtr<IMFMediaType> m_MediaType;
    bool m_Initialized = false;
    VideoFrameFormat m_Format;
    UINT32 m_StreamState = 0;                   // 0 stopped, 1 paused, 2 started
    LONGLONG m_StartPosition = 0;
    UINT32 m_HeadSampleIndex = 0;               // the index the next request gets
    UINT32 m_TailSampleIndex = 0;               // the index delivered next
    UINT32 m_EndOfStreamState = 0;              // 0 running, 1 end decided, 2 end delivered
    UINT32 m_StartCount = 0;                    // the run: changes at each start, stop and shutdown
    std::vector<ComPtr<ComposeSampleOperation>> m_WaitingOperations; // with a waiting or scheduled item
    ComPtr<IMFDXGIDeviceManager> m_DeviceManager; // hardware path: the device behind m_DeviceHandle
    HANDLE m_DeviceHandle = nullptr;
    ComPtr<ID3D11Device> m_Device;
    D3D11_TEXTURE2D_DESC m_RenderTextureDescription {};
    ComPtr<ResourceSetPool> m_ResourceSetPool;
    ComPtr<OperationPool> m_OperationPool;
    ComPtr<VideoSampleAllocator> m_SampleAllocator; // hardware path
    ComPtr<IMFPresentationTimeSource> m_TimeSource; // with the system clock only
    LONGLONG m_StartSystemTime = 0;             // system time at which sample time 0 is due
    std::vector<ComPtr<ComposeSampleOperation>> m_OutputQueue; // finished, waiting for their turn
};

// The drawing resources of one frame in flight.
class VideoMediaSource::Stream::ResourceSet : public ComObject<IUnknown>
{
public:
    ResourceSet() = default;

    // Makes the render target (over a render texture on the hardware path, over the memory bound
    // per frame on the software path), brushes and text formats.
    void Prepare(ID3D11Device* device, const D3D11_TEXTURE2D_DESC& renderTextureDescription,
        std::shared_ptr<Drawing::TextFactory> factory, UINT32 backgroundColor);

    // Hardware path (the context and the texture keep the device alive).
    ComPtr<ID3D11DeviceContext3> m_DeviceContext;
    ComPtr<ID3D11Texture2D> m_RenderTexture;
    std::unique_ptr<Sync::Event> m_CompletionEvent; // auto-reset; the device signals it after a copy
    // Both paths.
    std::unique_ptr<Drawing::RenderTarget> m_RenderTarget;
    Drawing::Color m_BlackBrush, m_BackgroundBrush, m_TextBrush;
    std::shared_ptr<Drawing::TextFactory> m_TextFactory;
    std::unique_ptr<Drawing::TextFormat> m_LargeFormat, m_MediumFormat, m_SmallFormat;
    // Index, clock and caption layouts, given new text per frame.
    std::unique_ptr<Drawing::TextLayout> m_IndexLayout, m_ClockLayout, m_CaptionLayout;
};

// One sample request: composed, paced and delivered on the source's queue; pooled.
class VideoMediaSource::Stream::ComposeSampleOperation : public VideoMediaSource::BaseOperation
{
public:
    void Run() override;
    void OnFailure(HRESULT result) override
    {
        if (m_Owner)
            m_Owner->QueueFailureEvent(MEError, result);
    }
    // Back in the pool: lets go of everything it holds.
    void OnReturnToPool();

protected:
    ComposeSampleOperation() = default;

private:
    friend class Stream;
    friend struct StreamTestAccess;

    ComPtr<Stream> m_Stream;
    UINT32 m_StartCount = 0;       // the stream's run it was requested in
    UINT32 m_SampleIndex = 0;
    LONGLONG m_SampleTime = 0;
    LONGLONG m_SampleDuration = 0;
    ComPtr<IUnknown> m_Token;
    ComPtr<ResourceSet> m_ResourceSet;
    ComPtr<ResourceSetPool> m_WaitingPool; // the pool it is counted as a waiter of
    bool m_WaitingForResourceSet = false;
    MFWORKITEM_KEY m_WaitingKey = 0;
    ComPtr<IMFSample> m_Sample;    // null also for the end of stream
    bool m_Completed = false;
};
