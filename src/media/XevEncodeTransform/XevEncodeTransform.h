#pragma once
// XevEncodeTransform: an asynchronous transform (one input and one output stream, both 0) that
// encodes NV12 or ARGB32/RGB32 frames, in system memory or in Direct3D 11 textures, to H.264
// through the encoder runtime of the device manager's adapter, in the runtime's asynchronous mode.
//
// Order of calls (what a media session does): GetAttributes (MF_TRANSFORM_ASYNC_UNLOCK set to
// 1), ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER), ICodecAPI::SetValue of the settings,
// SetOutputType, SetInputType, SetPresentationClock, MFT_MESSAGE_NOTIFY_START_OF_STREAM (opens
// the encoder, makes the bitstream buffers; may announce a format change carrying SPS and PPS as
// MF_MT_MPEG_SEQUENCE_HEADER), the clock's start (the first METransformNeedInput), then
// ProcessInput for each METransformNeedInput and ProcessOutput for each METransformHaveOutput,
// MFT_MESSAGE_COMMAND_DRAIN (METransformDrainComplete once every output is taken),
// MFT_MESSAGE_NOTIFY_END_OF_STREAM or END_STREAMING (closes the encoder), Shutdown.
//
// Frames: each input goes into a free Buffer (an encoder input buffer or a mapped texture, and a
// bitstream buffer with its completion event) and is submitted; a waiting work item on the
// transform's serial work queue runs the buffer's completion when its event is signalled and
// hands the samples out in submission order. One METransformNeedInput is owed per free buffer.
//
// Threads: one reader/writer lock (m_Lock) guards all state; the getters take it shared, all else
// exclusively. The runtime encodes on its own threads; no lock is held while it does. Completions
// run on the serial work queue. Events are queued under the lock (queueing never calls out).
// A pending completion's result holds the transform, so it never runs on a dead one; the buffers
// (and that cycle) go at the end of the stream, which Shutdown ends.

#include "media/Common/MediaEventGenerator.h"
#include "media/Common/OperationQueue.h"
#include "media/Common/Shutdown.h"
#include "media/XevEncodeTransform/KeyedMutexSet.h"
#include "media/XevEncodeTransform/XevApi.h"
#include "media/XevEncodeTransform/XevEncodeSettings.h"
#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <array>
#include <atomic>
#include <map>
#include <shared_mutex>
#include <vector>

// UINT64 on every output sample: when ProcessInput accepted its frame (MFGetSystemTime, 100 ns),
// so that whoever receives it can tell the encode latency.
XEV_GUID(XevSampleExtension_InputAcceptedTime, "6f1c2b7e-3d54-4a8e-9c1f-2b7d5e0a4c93");

class XevEncodeTransform final
    : public ComObject<IMFTransform, MF::ShutdownImplementation<XevEncodeTransform>,
          MF::MediaEventGenerator<XevEncodeTransform, MF::MediaPrimitiveTraits>, IMFClockConsumer, IMFClockStateSink, IMFGetService,
          ICodecAPI>,
      public MF::ShutdownState<XevEncodeTransform>,
      public MF::OperationQueueImplementation<XevEncodeTransform>
{
public:
    class OutputBuffer;
    class Buffer;

    // Live transforms in the process.
    static inline std::atomic<std::size_t> InstanceCount { 0 };

    // IMFTransform
    HRESULT GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum, DWORD* outputMaximum) override;
    HRESULT GetStreamCount(DWORD* inputStreams, DWORD* outputStreams) override;
    HRESULT GetStreamIDs(DWORD inputIDArraySize, DWORD* inputIDs, DWORD outputIDArraySize, DWORD* outputIDs) override;
    HRESULT GetInputStreamInfo(DWORD inputStreamID, MFT_INPUT_STREAM_INFO* streamInfo) override;
    HRESULT GetOutputStreamInfo(DWORD outputStreamID, MFT_OUTPUT_STREAM_INFO* streamInfo) override;
    HRESULT GetAttributes(IMFAttributes** attributes) override;
    HRESULT GetInputStreamAttributes(DWORD inputStreamID, IMFAttributes** attributes) override;
    HRESULT GetOutputStreamAttributes(DWORD outputStreamID, IMFAttributes** attributes) override;
    HRESULT DeleteInputStream(DWORD streamID) override;
    HRESULT AddInputStreams(DWORD streams, DWORD* streamIDs) override;
    HRESULT GetInputAvailableType(DWORD inputStreamID, DWORD typeIndex, IMFMediaType** type) override;
    HRESULT GetOutputAvailableType(DWORD outputStreamID, DWORD typeIndex, IMFMediaType** type) override;
    HRESULT SetInputType(DWORD inputStreamID, IMFMediaType* type, DWORD flags) override;
    HRESULT SetOutputType(DWORD outputStreamID, IMFMediaType* type, DWORD flags) override;
    HRESULT GetInputCurrentType(DWORD inputStreamID, IMFMediaType** type) override;
    HRESULT GetOutputCurrentType(DWORD outputStreamID, IMFMediaType** type) override;
    HRESULT GetInputStatus(DWORD inputStreamID, DWORD* flags) override;
    HRESULT GetOutputStatus(DWORD* flags) override;
    HRESULT SetOutputBounds(LONGLONG lowerBound, LONGLONG upperBound) override;
    HRESULT ProcessEvent(DWORD inputStreamID, IMFMediaEvent* event) override;
    HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR parameter) override;
    HRESULT ProcessInput(DWORD inputStreamID, IMFSample* sample, DWORD flags) override;
    HRESULT ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status) override;

    // IMFClockConsumer
    HRESULT SetPresentationClock(IMFPresentationClock* presentationClock) override;
    HRESULT GetPresentationClock(IMFPresentationClock** presentationClock) override;
    // IMFClockStateSink
    HRESULT OnClockStart(MFTIME systemTime, LONGLONG clockStartOffset) override;
    HRESULT OnClockStop(MFTIME systemTime) override;
    HRESULT OnClockPause(MFTIME systemTime) override;
    HRESULT OnClockRestart(MFTIME systemTime) override;
    HRESULT OnClockSetRate(MFTIME systemTime, float rate) override;
    // IMFGetService
    HRESULT GetService(REFGUID service, REFIID riid, void** object) override;

    // ICodecAPI: SetValue and GetValue keep any key; the encoder reads GOP size, B-picture count,
    // rate-control mode (quality only), quality and force-key-frame. The rest is E_NOTIMPL.
    HRESULT IsSupported(const GUID* api) override;
    HRESULT IsModifiable(const GUID* api) override;
    HRESULT GetParameterRange(const GUID* api, VARIANT* valueMin, VARIANT* valueMax, VARIANT* steppingDelta) override;
    HRESULT GetParameterValues(const GUID* api, VARIANT** values, ULONG* valuesCount) override;
    HRESULT GetDefaultValue(const GUID* api, VARIANT* value) override;
    HRESULT GetValue(const GUID* api, VARIANT* value) override;
    HRESULT SetValue(const GUID* api, VARIANT* value) override;
    HRESULT RegisterForEvent(const GUID* api, LONG_PTR userData) override;
    HRESULT UnregisterForEvent(const GUID* api) override;
    HRESULT SetAllDefaults() override;
    HRESULT GetValueWithNotify(const GUID* api, VARIANT* value, GUID** changedParam, ULONG* changedParamCount) override;
    HRESULT SetValueWithNotify(const GUID* api, VARIANT* value, GUID** changedParam, ULONG* changedParamCount) override;
    HRESULT SetAllDefaultsWithNotify(GUID** changedParam, ULONG* changedParamCount) override;
    HRESULT GetAllSettings(void* stream) override;
    HRESULT SetAllSettings(void* stream) override;
    HRESULT SetAllSettingsWithNotify(void* stream, GUID** changedParam, ULONG* changedParamCount) override;

    // The event generator's hook: METransformNeedInput and METransformDrainComplete name stream 0.
    void EventHook(IMFMediaEvent* event) { MF::TransformEventHook(event); }

    // The initialization given to the encoder last (version 0: none on the current session).
    // Lock shared; for tests and diagnostics.
    Xev::EncoderConfiguration GetEncoderConfiguration();

private:
    template <class T, class... Args>
    friend ComPtr<T> Make(Args&&... args);
    friend class MF::ShutdownImplementation<XevEncodeTransform>;
    friend class MF::MediaEventGenerator<XevEncodeTransform, MF::MediaPrimitiveTraits>;
    friend class MF::OperationQueueImplementation<XevEncodeTransform>;
    friend struct XevEncodeTransformTestAccess; // tests: completions run in an order they choose

    XevEncodeTransform();
    ~XevEncodeTransform() override;

    // Run once by Shutdown, without the lock (takes it itself).
    void InternalShutdown();

    // The encoding flow (XevEncodeTransformFlow.cpp, XevEncodeTransformFrames.cpp); all with the lock held exclusively.
    void OpenEncoderLocked();
    void CloseEncoderLocked();
    void StartOfStreamLocked();
    void EndOfStreamLocked();
    void InitializeEncoderLocked();
    // The new output type when the encoder's SPS/PPS differ from the output type's sequence header.
    ComPtr<IMFMediaType> UpdateOutputMediaTypeExtraDataLocked();
    void ProcessInputLocked(IMFSample* sample);
    void CopyMemoryFrameLocked(Buffer& buffer, IMFSample* sample, NV_ENC_PIC_PARAMS& picture);
    void MapTextureLocked(Buffer& buffer, ID3D11Texture2D* texture, NV_ENC_PIC_PARAMS& picture);
    // The sample's times and flags into the buffer, the picture to the encoder, its waiting item.
    void SubmitLocked(Buffer& buffer, IMFSample* sample, NV_ENC_PIC_PARAMS& picture, LONGLONG time);
    // Completions on the serial work queue.
    void BufferInvoke(MF::AsyncCallback* callback, IMFAsyncResult* result);
    void CompleteBufferLocked(Buffer& buffer);
    void EosOutputBufferEventInvoke(MF::AsyncCallback* callback, IMFAsyncResult* result);
    // Puts the waiting work item of `event` (its result holds the transform).
    void PutWaitingLocked(Sync::Event& event, IMFAsyncResult* result, MFWORKITEM_KEY& key);
    // Removes a waiting item that has not started.
    void CancelWaitingLocked(MFWORKITEM_KEY& key);
    void QueueTransformEvent(MediaEventType type);
    bool StreamingLocked() const noexcept { return m_WorkQueue != 0; }
    bool FormatChangePendingLocked() const noexcept { return !m_OutputQueue.empty() && m_OutputQueue.front().Type; }
    void DestroyBufferLocked(Buffer& buffer) noexcept;

    struct OutputEntry
    {
        ComPtr<IMFMediaType> Type; // a format change
        ComPtr<IMFSample> Sample;
    };
    struct Registration
    {
        ComPtr<ID3D11Texture2D> Texture;
        UINT32 Pitch = 0;
        NV_ENC_REGISTERED_PTR Registered = nullptr;
    };

    // Guards every member below except the attribute store and event queue (which have their own
    // locks) and the constants.
    mutable std::shared_mutex m_Lock;

    ComPtr<IMFAttributes> m_Attributes;
    ComPtr<IMFMediaType> m_InputType;
    ComPtr<IMFMediaType> m_OutputType;
    Xev::InputFormat m_InputFormat;
    ComPtr<IMFPresentationClock> m_Clock;
    const GUID m_Codec;
    Xev::SettingsStore m_Settings;
    Xev::EncoderConfiguration m_Initialization; // Config.version 0 until initialized on this session

    ComPtr<IMFDXGIDeviceManager> m_DeviceManager;
    HANDLE m_DeviceHandle = nullptr;
    ComPtr<ID3D11Device> m_Device;
    Xev::EncodeSession m_Session;

    // Buffers: free ones, and those in flight in submission order. Capacity reserved at stream
    // start, so that moving buffers between them allocates nothing.
    std::vector<ComPtr<Buffer>> m_FreeBuffers;
    std::vector<ComPtr<Buffer>> m_BusyBuffers;
    std::unique_ptr<OutputBuffer> m_EosBuffer; // the end-of-stream event
    ComPtr<MF::AsyncCallback> m_EosCallback;
    ComPtr<IMFAsyncResult> m_EosResult;
    MFWORKITEM_KEY m_EosWorkItemKey = 0;
    bool m_EndOfStreamSubmitted = false; // by a drain, in this stream
    KeyedMutexSet m_KeyedMutexSet;
    std::map<ID3D11Texture2D*, Registration> m_Registrations;
    std::vector<OutputEntry> m_OutputQueue;
    std::vector<UINT32> m_NaluLengths; // scratch of the completion

    // METransformNeedInput not answered by an input yet; -1 not streaming, -2 draining.
    INT32 m_NeedInputCounter = -1;
    // METransformHaveOutput not answered by ProcessOutput yet; -1 after a flush or end of stream.
    INT32 m_HaveOutputCounter = -1;
};

// A completion event registered with the encoder.
class XevEncodeTransform::OutputBuffer
{
public:
    OutputBuffer() = default;
    void RegisterEvent(Xev::EncodeSession& session);
    // A failure is traced, not thrown.
    void UnregisterEvent(Xev::EncodeSession& session) noexcept;

    Sync::Event m_Event { Sync::Event::ResetMode::Manual };
    bool m_Registered = false;
};

// One frame's worth of encoder resources: its input (a memory buffer or a mapped texture), its
// bitstream buffer with the completion event, and the finished sample. Guarded by the
// transform's lock.
class XevEncodeTransform::Buffer final : public ComObject<IUnknown>
{
public:
    static inline std::atomic<std::size_t> g_InstanceCount { 0 };

    Buffer();
    ~Buffer() override;

    NV_ENC_INPUT_PTR m_InputBuffer = nullptr;       // for memory frames; made on first use
    ComPtr<KeyedMutexSet::Item> m_KeyedMutexItem;   // the input texture's mutex, while held
    NV_ENC_INPUT_PTR m_MappedResource = nullptr;    // the mapped input texture, while mapped
    LONGLONG m_SampleTime = 0;
    MFTIME m_AcceptedTime = 0;                      // when ProcessInput took the frame
    bool m_Discontinuity = false;
    ComPtr<IUnknown> m_Token;                       // the input's MFSampleExtension_Token
    NV_ENC_OUTPUT_PTR m_Bitstream = nullptr;
    OutputBuffer m_Output;
    ComPtr<MF::AsyncCallback> m_Callback;           // runs the completion on the serial queue
    ComPtr<IMFAsyncResult> m_Result;                // reused for each frame's waiting item
    MFWORKITEM_KEY m_WorkItemKey = 0;               // 0 when no waiting item is pending
    ComPtr<IMFSample> m_Sample;                     // the encoded frame, until handed out
};
