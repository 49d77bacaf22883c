#pragma once
// Test doubles of the media objects a media session drives, following the platform contracts
// the real source, encoder transform and sink follow, plus a recorder of any generator's events.
//
//   CountingSource         a live source with one stream of memory samples: sample i has time
//                          i x duration, that duration, and SampleIndexKey = i; after SampleCount
//                          samples the stream ends (MEEndOfStream, then MEEndOfPresentation).
//   PassThroughTransform   an asynchronous transform: each input goes out unchanged, in order,
//                          after a hop over its own serial work queue; Buffers bounds the inputs
//                          it holds (in flight or waiting for ProcessOutput); optionally one
//                          format change before a given output. Its first METransformNeedInput
//                          comes from the clock's start, as the encoder's does.
//   RequestingSink         a finalizable sink with one stream sink that asks for one sample at
//                          a time: at once after each sample (Auto), after a delay (Delayed), or
//                          when the test grants it (Manual).
//
// Each double can be told to fail at one point (the Failure enums) with FailResult, and counts
// and records what the session did to it. Events are queued under the double's lock (the
// platform's event queue never calls out while queueing), so their order follows its state.
// Source and sink hold their streams and are held back by them until Shutdown: shut them down.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace SessionDoubles
{
// UINT32 attribute of the source's samples: the sample index.
XEV_GUID(SampleIndexKey, "5d3c4c6e-1f8a-4c55-9a61-2f0b6c1d7e10");
// UINT32 attribute of the format-change output type: marks it for the tests.
XEV_GUID(FormatChangeKey, "8a0f5b7c-33d2-4f0e-b1a6-7e4c2d9f0a21");

// IMFMediaEventGenerator over a platform event queue.
template <class I>
class EventGenerator : public I
{
public:
    HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override { return m_Queue->GetEvent(flags, event); }
    HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override { return m_Queue->BeginGetEvent(callback, state); }
    HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override { return m_Queue->EndGetEvent(result, event); }
    HRESULT QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) override
    {
        return m_Queue->QueueEventParamVar(type, extendedType, status, value);
    }

protected:
    EventGenerator();
    ~EventGenerator() = default;
    // MF_E_SHUTDOWN from the queue is ignored.
    void Queue(MediaEventType type, HRESULT status = S_OK, IUnknown* value = nullptr);
    void ShutdownQueue() { (void)m_Queue->Shutdown(); }

private:
    ComPtr<IMFMediaEventQueue> m_Queue;
};

// ---- Source ----------------------------------------------------------------------------------

enum class SourceFailure
{
    None,
    StartCall,      // Start returns FailResult
    StartStatus,    // MESourceStarted carries FailResult
    RequestCall,    // RequestSample of sample FailAt returns FailResult
    ErrorEvent,     // MEError (FailResult) on the source instead of sample FailAt
    StreamError,    // MEError (FailResult) on the stream instead of sample FailAt
    StopCall,       // Stop returns FailResult
    StopStatus,     // MESourceStopped carries FailResult
    StopSilent,     // Stop succeeds but MESourceStopped never comes
};

struct SourceOptions
{
    UINT32 SampleCount = 10;
    LONGLONG SampleDuration = 333333;
    SourceFailure Failure = SourceFailure::None;
    UINT32 FailAt = 0;
    HRESULT FailResult = E_FAIL;
};

class CountingSource final : public ComObject<EventGenerator<IMFMediaSource>, IMFClockConsumer>
{
public:
    class Stream;

    static ComPtr<CountingSource> Create(const SourceOptions& options);
    explicit CountingSource(const SourceOptions& options);

    // IMFMediaSource
    HRESULT GetCharacteristics(DWORD* characteristics) override;
    HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override;
    HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition) override;
    HRESULT Stop() override;
    HRESULT Pause() override { return E_NOTIMPL; }
    HRESULT Shutdown() override;
    // IMFClockConsumer
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override;
    HRESULT GetPresentationClock(IMFPresentationClock** clock) override;

    // The presentation descriptor the source offers (the topology uses it) and its stream's.
    ComPtr<IMFPresentationDescriptor> Descriptor() const { return m_Descriptor; }
    ComPtr<IMFStreamDescriptor> StreamDescriptor() const;

    UINT32 Requests() const;    // RequestSample calls accepted
    UINT32 Starts() const;
    UINT32 Stops() const;
    bool IsShutDown() const;
    ComPtr<IMFPresentationClock> Clock() const;

private:
    friend class Stream;
    HRESULT RequestSample();

    const SourceOptions m_Options;
    ComPtr<IMFPresentationDescriptor> m_Descriptor;
    mutable std::mutex m_Lock; // guards the fields below
    ComPtr<Stream> m_Stream;   // dropped at Shutdown (the stream holds the source)
    ComPtr<IMFPresentationClock> m_Clock;
    bool m_ShutDown = false;
    bool m_Started = false;
    bool m_Announced = false;  // MENewStream sent
    bool m_Ended = false;
    UINT32 m_Next = 0;         // the next sample index
    UINT32 m_Requests = 0;
    UINT32 m_Starts = 0;
    UINT32 m_Stops = 0;
};

class CountingSource::Stream final : public ComObject<EventGenerator<IMFMediaStream>>
{
public:
    Stream(CountingSource* source, ComPtr<IMFStreamDescriptor> descriptor) : m_Source(source), m_Descriptor(std::move(descriptor)) {}

    // IMFMediaStream
    HRESULT GetMediaSource(IMFMediaSource** source) override;
    HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) override;
    HRESULT RequestSample(IUnknown* token) override { return m_Source->RequestSample(); }

private:
    friend class CountingSource;
    const ComPtr<CountingSource> m_Source;
    const ComPtr<IMFStreamDescriptor> m_Descriptor;
};

// ---- Transform -------------------------------------------------------------------------------

enum class TransformFailure
{
    None,
    StartOfStream,  // MFT_MESSAGE_NOTIFY_START_OF_STREAM returns FailResult (and MEError follows, as the encoder's)
    ClockStart,     // OnClockStart returns FailResult
    ProcessInput,   // ProcessInput of input FailAt returns FailResult
    ProcessOutput,  // ProcessOutput of output FailAt returns FailResult
    ErrorEvent,     // MEError (FailResult) instead of output FailAt
    Drain,          // MFT_MESSAGE_COMMAND_DRAIN returns FailResult
    DrainSilent,    // DRAIN accepted, METransformDrainComplete never comes
    EndOfStream,    // MFT_MESSAGE_NOTIFY_END_OF_STREAM returns FailResult
};

struct TransformOptions
{
    UINT32 Buffers = 4;
    int FormatChangeAt = -1; // the output index a format change goes before; -1: none
    bool Unlocked = true;    // MF_TRANSFORM_ASYNC_UNLOCK set at creation
    TransformFailure Failure = TransformFailure::None;
    UINT32 FailAt = 0;
    HRESULT FailResult = E_FAIL;
};

class PassThroughTransform final
    : public ComObject<IMFTransform, EventGenerator<IMFMediaEventGenerator>, IMFShutdown, IMFClockConsumer, IMFClockStateSink>
{
public:
    static ComPtr<PassThroughTransform> Create(const TransformOptions& options);
    explicit PassThroughTransform(const TransformOptions& options);
    ~PassThroughTransform() override;

    // IMFTransform
    HRESULT GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum, DWORD* outputMaximum) override;
    HRESULT GetStreamCount(DWORD* inputStreams, DWORD* outputStreams) override;
    HRESULT GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetInputStreamInfo(DWORD inputStreamID, MFT_INPUT_STREAM_INFO* streamInfo) override;
    HRESULT GetOutputStreamInfo(DWORD outputStreamID, MFT_OUTPUT_STREAM_INFO* streamInfo) override;
    HRESULT GetAttributes(IMFAttributes** attributes) override;
    HRESULT GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    HRESULT AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetInputAvailableType(DWORD inputStreamID, DWORD typeIndex, IMFMediaType** type) override;
    HRESULT GetOutputAvailableType(DWORD outputStreamID, DWORD typeIndex, IMFMediaType** type) override;
    HRESULT SetInputType(DWORD inputStreamID, IMFMediaType* type, DWORD flags) override;
    HRESULT SetOutputType(DWORD outputStreamID, IMFMediaType* type, DWORD flags) override;
    HRESULT GetInputCurrentType(DWORD inputStreamID, IMFMediaType** type) override;
    HRESULT GetOutputCurrentType(DWORD outputStreamID, IMFMediaType** type) override;
    HRESULT GetInputStatus(DWORD inputStreamID, DWORD* flags) override;
    HRESULT GetOutputStatus(DWORD* flags) override;
    HRESULT SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    HRESULT ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
    HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR parameter) override;
    HRESULT ProcessInput(DWORD inputStreamID, IMFSample* sample, DWORD flags) override;
    HRESULT ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status) override;
    // IMFShutdown
    HRESULT Shutdown() override;
    HRESULT GetShutdownStatus(MFSHUTDOWN_STATUS* status) override;
    // IMFClockConsumer
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override;
    HRESULT GetPresentationClock(IMFPresentationClock** clock) override;
    // IMFClockStateSink
    HRESULT OnClockStart(MFTIME systemTime, LONGLONG startOffset) override;
    HRESULT OnClockStop(MFTIME) override { return S_OK; }
    HRESULT OnClockPause(MFTIME) override { return S_OK; }
    HRESULT OnClockRestart(MFTIME) override { return S_OK; }
    HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

    std::vector<MFT_MESSAGE_TYPE> Messages() const;
    UINT32 Inputs() const;        // ProcessInput calls accepted
    UINT32 Outputs() const;       // samples handed out by ProcessOutput
    UINT32 MaximumHeld() const;   // the most inputs held at once
    UINT32 NotAccepting() const;  // ProcessInput calls answered MF_E_NOTACCEPTING
    UINT32 UnexpectedOutputs() const; // ProcessOutput calls without an announced output
    bool IsShutDown() const;

private:
    class Completion;
    void CompleteOne();
    HRESULT StartOfStreamLocked();
    void EndStreamingLocked();
    void CheckDrainedLocked();

    struct Entry
    {
        ComPtr<IMFMediaType> Type;
        ComPtr<IMFSample> Sample;
    };

    const TransformOptions m_Options;
    ComPtr<IMFAttributes> m_Attributes;
    ComPtr<IMFAsyncCallback> m_Completion;
    mutable std::mutex m_Lock; // guards the fields below; events are queued under it
    bool m_ShutDown = false;
    ComPtr<IMFMediaType> m_InputType, m_OutputType;
    ComPtr<IMFPresentationClock> m_Clock;
    DWORD m_WorkQueue = 0;            // while streaming
    int m_NeedInput = -1;             // -1 not streaming, -2 draining
    int m_HaveOutput = -1;
    UINT32 m_Free = 0;                // buffers not holding an input
    std::deque<ComPtr<IMFSample>> m_InFlight;
    std::deque<Entry> m_OutputQueue;
    UINT32 m_Completed = 0;           // outputs produced this stream
    std::vector<MFT_MESSAGE_TYPE> m_Messages;
    UINT32 m_Inputs = 0, m_Outputs = 0, m_MaximumHeld = 0, m_NotAccepting = 0, m_Unexpected = 0;
};

// ---- Sink ------------------------------------------------------------------------------------

enum class SinkFailure
{
    None,
    SetClock,       // SetPresentationClock returns FailResult
    ProcessSample,  // ProcessSample of sample FailAt returns FailResult
    ErrorEvent,     // MEError (FailResult) on the stream after sample FailAt
    PlaceMarker,    // PlaceMarker returns FailResult
    MarkerStatus,   // MEStreamSinkMarker carries FailResult
    BeginFinalize,  // BeginFinalize returns FailResult
    EndFinalize,    // EndFinalize returns FailResult
};

enum class RequestMode
{
    Auto,    // the next request right after each sample
    Delayed, // the next request DelayMilliseconds after each sample
    Manual,  // requests only when the test grants them (Grant)
};

struct SinkOptions
{
    RequestMode Mode = RequestMode::Auto;
    int DelayMilliseconds = 2;
    bool Finalizable = true;
    SinkFailure Failure = SinkFailure::None;
    UINT32 FailAt = 0;
    HRESULT FailResult = E_FAIL;
};

class RequestingSink final : public ComObject<IMFFinalizableMediaSink, IMFClockStateSink>
{
public:
    class Stream;

    static ComPtr<RequestingSink> Create(const SinkOptions& options);
    explicit RequestingSink(const SinkOptions& options);

    HRESULT QueryInterface(REFIID riid, void** object) override;

    // IMFMediaSink
    HRESULT GetCharacteristics(DWORD* characteristics) override;
    HRESULT AddStreamSink(DWORD, IMFMediaType*, IMFStreamSink**) override { return E_NOTIMPL; }
    HRESULT RemoveStreamSink(DWORD) override { return E_NOTIMPL; }
    HRESULT GetStreamSinkCount(DWORD* count) override;
    HRESULT GetStreamSinkByIndex(DWORD index, IMFStreamSink** streamSink) override;
    HRESULT GetStreamSinkById(DWORD identifier, IMFStreamSink** streamSink) override;
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override;
    HRESULT GetPresentationClock(IMFPresentationClock** clock) override;
    HRESULT Shutdown() override;
    // IMFFinalizableMediaSink
    HRESULT BeginFinalize(IMFAsyncCallback* callback, IUnknown* state) override;
    HRESULT EndFinalize(IMFAsyncResult* result) override;
    // IMFClockStateSink
    HRESULT OnClockStart(MFTIME systemTime, LONGLONG startOffset) override;
    HRESULT OnClockStop(MFTIME systemTime) override;
    HRESULT OnClockPause(MFTIME) override { return S_OK; }
    HRESULT OnClockRestart(MFTIME) override { return S_OK; }
    HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

    ComPtr<IMFStreamSink> StreamSink() const;
    // Lets the stream ask for `count` more samples (Manual mode).
    void Grant(UINT32 count);

    std::vector<UINT32> SampleIndices() const; // SampleIndexKey of each sample received, in order
    std::vector<LONGLONG> SampleTimes() const;
    UINT32 Unrequested() const;        // samples that came without an outstanding request
    UINT32 Outstanding() const;        // requests not answered yet
    UINT32 TypeChanges() const;        // SetCurrentMediaType calls
    ComPtr<IMFMediaType> CurrentType() const;
    UINT32 TypeChangeBeforeSample() const; // samples received before the last SetCurrentMediaType
    UINT32 Markers() const;
    UINT32 Finalized() const;          // EndFinalize calls
    bool IsShutDown() const;
    // Blocks until at least `count` samples came (false on time-out).
    bool WaitForSamples(size_t count, int timeoutMilliseconds) const;

private:
    friend class Stream;
    class DelayedRequest;
    HRESULT ProcessSample(IMFSample* sample);
    void RequestLocked();

    const SinkOptions m_Options;
    ComPtr<IMFAsyncCallback> m_DelayedRequest;
    mutable std::mutex m_Lock; // guards the fields below
    mutable std::condition_variable m_SampleArrived;
    ComPtr<Stream> m_Stream;   // dropped at Shutdown (the stream holds the sink)
    ComPtr<IMFPresentationClock> m_Clock;
    ComPtr<IMFMediaType> m_CurrentType;
    bool m_ShutDown = false;
    bool m_Finalizing = false;
    UINT32 m_Outstanding = 0;
    std::vector<UINT32> m_Indices;
    std::vector<LONGLONG> m_Times;
    UINT32 m_Unrequested = 0, m_TypeChanges = 0, m_TypeChangeBeforeSample = 0, m_Markers = 0, m_Finalized = 0;
};

class RequestingSink::Stream final : public ComObject<EventGenerator<IMFStreamSink>, IMFMediaTypeHandler>
{
public:
    explicit Stream(RequestingSink* sink) : m_Sink(sink) {}

    // IMFStreamSink
    HRESULT GetMediaSink(IMFMediaSink** sink) override;
    HRESULT GetIdentifier(DWORD* identifier) override;
    HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) override;
    HRESULT ProcessSample(IMFSample* sample) override { return m_Sink->ProcessSample(sample); }
    HRESULT PlaceMarker(MFSTREAMSINK_MARKER_TYPE markerType, const PROPVARIANT* markerValue, const PROPVARIANT* contextValue) override;
    HRESULT Flush() override { return S_OK; }
    // IMFMediaTypeHandler
    HRESULT IsMediaTypeSupported(IMFMediaType* type, IMFMediaType** closest) override;
    HRESULT GetMediaTypeCount(DWORD* count) override;
    HRESULT GetMediaTypeByIndex(DWORD index, IMFMediaType** type) override;
    HRESULT SetCurrentMediaType(IMFMediaType* type) override;
    HRESULT GetCurrentMediaType(IMFMediaType** type) override;
    HRESULT GetMajorType(GUID* major) override;

private:
    friend class RequestingSink;
    const ComPtr<RequestingSink> m_Sink;
};

// ---- Topology and events ---------------------------------------------------------------------

// A topology source stream -> transform -> output over the three doubles.
ComPtr<IMFTopology> BuildTopology(CountingSource* source, IMFTransform* transform, IMFStreamSink* streamSink);

// Reads every event of a generator (BeginGetEvent after each one) and keeps them for the test.
class EventRecorder final : public ComObject<IMFAsyncCallback>
{
public:
    struct Record
    {
        MediaEventType Type = MEUnknown;
        HRESULT Status = S_OK;
        UINT32 TopologyStatus = 0; // MF_EVENT_TOPOLOGY_STATUS, when the event has it
        bool HasValue = false;
    };

    static ComPtr<EventRecorder> Start(IMFMediaEventGenerator* generator);
    explicit EventRecorder(IMFMediaEventGenerator* generator) : m_Generator(generator) {}

    // IMFAsyncCallback
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override;

    std::vector<Record> Records() const;
    std::vector<MediaEventType> Types() const;
    size_t Count(MediaEventType type) const;
    // Blocks until an event of `type` came (the `occurrence`-th one, from 1); false on time-out.
    bool WaitFor(MediaEventType type, int timeoutMilliseconds = 10000, size_t occurrence = 1) const;
    // The first record of `type` (a default record when none).
    Record First(MediaEventType type) const;
    // Stops reading and lets go of the generator.
    void Detach();
    // Runs on the event's thread after each record, before the next event is asked for (the way
    // a pipeline reacts to its session's events).
    void SetReaction(std::function<void(const Record&)> reaction);

private:
    mutable std::mutex m_Lock; // guards the fields below
    mutable std::condition_variable m_Arrived;
    ComPtr<IMFMediaEventGenerator> m_Generator;
    std::vector<Record> m_Records;
    std::function<void(const Record&)> m_Reaction;
};

// Event types as text, for failure messages: "101 111 103 ...".
std::string Describe(const std::vector<MediaEventType>& types);
} // namespace SessionDoubles
