#pragma once
// Test doubles of the media objects a media session drives, following the platform contracts the
// real source, encoder transform and sink follow, plus a recorder of any generator's events. They
// take no time and can fail any call the session makes; only what the session calls is
// implemented, the rest answers E_NOTIMPL.
//
//   CountingSource         a live source with one stream: sample i has time i x 333333 and
//                          SampleIndexKey = i; after SampleCount samples the stream ends
//                          (MEEndOfStream, then MEEndOfPresentation).
//   PassThroughTransform   an asynchronous transform: each input is at once announced as an output,
//                          unchanged and in order; Buffers bounds the samples it holds. Its first
//                          METransformNeedInput comes from the clock's start.
//   RequestingSink         a sink, its own one stream sink, that asks for one sample at a time:
//                          at once (Auto) or only when granted (Manual).
//
// One Options value configures all three (each reads its own fields), including the one failure
// switch. Events are queued under the double's lock (the platform's event queue never calls out
// while queueing), so their order follows its state. The source holds its stream and is held back
// by it until Shutdown: shut it down.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace SessionDoubles
{
// UINT32 attribute of the source's samples: the sample index.
XEV_GUID(SampleIndexKey, "5d3c4c6e-1f8a-4c55-9a61-2f0b6c1d7e10");

// Where the doubles fail with FailResult. "(at)" stages fail at the FailAt-th sample, input or
// output; "Status" ones succeed but report the failure in their event; "Silent" ones never answer.
enum class Fail
{
    None,
    SourceStart, SourceStartStatus, RequestSample /* (at) */, SourceError /* MEError instead of sample (at) */,
    StreamError /* the same on the stream */, SourceStop, SourceStopStatus, SourceStopSilent,
    StartOfStream /* with MEError, as the encoder */, ClockStart, ProcessInput /* (at) */, ProcessOutput /* (at) */,
    TransformError /* MEError instead of output (at) */, Drain, DrainSilent, EndOfStream,
    SinkClock, ProcessSample /* (at) */, SinkError /* MEError after sample (at) */, PlaceMarker, MarkerStatus,
    BeginFinalize, EndFinalize,
};

struct Options
{
    UINT32 SampleCount = 10;
    UINT32 Buffers = 4;
    bool Manual = false;     // the sink asks only through RequestingSink::Grant
    bool Finalizable = true; // the sink offers IMFFinalizableMediaSink
    Fail Failure = Fail::None;
    UINT32 FailAt = 0;
    HRESULT FailResult = E_FAIL;
    // Real media: completes the source's type, gives sample `index` its buffers, sees each sample
    // the sink receives (under the sink's lock).
    std::function<void(IMFMediaType*)> DescribeType;
    std::function<void(IMFSample*, UINT32 index)> FillSample;
    std::function<void(IMFSample*)> OnSample;
};

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

// What the three doubles share: options, lock, shutdown flag, clock, and counts to read and wait on.
template <class Stats>
class Double
{
public:
    Stats Counts() const
    {
        std::lock_guard lock(m_Lock);
        return m_Stats;
    }
    bool IsShutDown() const
    {
        std::lock_guard lock(m_Lock);
        return m_ShutDown;
    }
    // Blocks until `condition` holds of the counts; false on time-out.
    bool Wait(const std::function<bool(const Stats&)>& condition, int timeoutMilliseconds = 20000) const
    {
        std::unique_lock lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [&] { return condition(m_Stats); });
    }

protected:
    explicit Double(const Options& options) : m_Options(options) {}
    bool Fails(Fail fail) const { return m_Options.Failure == fail; }
    bool Fails(Fail fail, UINT32 index) const { return m_Options.Failure == fail && index == m_Options.FailAt; }
    HRESULT FailsWith(Fail fail) const { return Fails(fail) ? m_Options.FailResult : S_OK; }

    // IMFClockConsumer; `stateSink` (if any) follows the clock.
    HRESULT SetClock(IMFPresentationClock* clock, IMFClockStateSink* stateSink, HRESULT result = S_OK);
    HRESULT GetClock(IMFPresentationClock** clock) const
    {
        std::lock_guard lock(m_Lock);
        *clock = ComPtr<IMFPresentationClock>(m_Clock).Detach();
        return m_Clock ? S_OK : MF_E_NO_CLOCK;
    }
    // Marks the double shut down (false if it was) and lets go of the clock; `underLock` runs under the lock.
    bool MarkShutDown(IMFClockStateSink* stateSink, const std::function<void()>& underLock = {});

    const Options m_Options;
    mutable std::mutex m_Lock; // guards the fields below and those of the derived double
    mutable std::condition_variable m_Changed; // notified when m_Stats change
    bool m_ShutDown = false;
    ComPtr<IMFPresentationClock> m_Clock;
    Stats m_Stats;
};

struct SourceStats
{
    UINT32 Requests = 0; // RequestSample calls accepted
    UINT32 Stops = 0;
};

class CountingSource final : public ComObject<EventGenerator<IMFMediaSource>, IMFClockConsumer>, public Double<SourceStats>
{
public:
    class Stream;

    static ComPtr<CountingSource> Create(const Options& options) { return Make<CountingSource>(options); }
    explicit CountingSource(const Options& options);

    // IMFMediaSource
    HRESULT GetCharacteristics(DWORD*) override { return E_NOTIMPL; }
    HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override { return m_Descriptor->Clone(descriptor); }
    HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition) override;
    HRESULT Stop() override;
    HRESULT Pause() override { return E_NOTIMPL; }
    HRESULT Shutdown() override;
    // IMFClockConsumer
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override { return SetClock(clock, nullptr); }
    HRESULT GetPresentationClock(IMFPresentationClock** clock) override { return GetClock(clock); }

    // The presentation descriptor the topology uses, and its stream's.
    ComPtr<IMFPresentationDescriptor> Descriptor() const { return m_Descriptor; }
    ComPtr<IMFStreamDescriptor> StreamDescriptor() const { return m_StreamDescriptor; }

private:
    friend class Stream;
    HRESULT RequestSample();

    ComPtr<IMFPresentationDescriptor> m_Descriptor;
    ComPtr<IMFStreamDescriptor> m_StreamDescriptor;
    ComPtr<Stream> m_Stream; // guarded by m_Lock; dropped at Shutdown (the stream holds the source)
    bool m_Started = false, m_Announced = false, m_Ended = false;
    UINT32 m_Next = 0;       // the next sample index
};

class CountingSource::Stream final : public ComObject<EventGenerator<IMFMediaStream>>
{
public:
    explicit Stream(CountingSource* source) : m_Source(source) {}
    // IMFMediaStream
    HRESULT GetMediaSource(IMFMediaSource** source) override { return *source = ComPtr<IMFMediaSource>(m_Source.Get()).Detach(), S_OK; }
    HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) override { return m_Source->m_StreamDescriptor.CopyTo(descriptor), S_OK; }
    HRESULT RequestSample(IUnknown*) override { return m_Source->RequestSample(); }

private:
    friend class CountingSource;
    const ComPtr<CountingSource> m_Source;
};

struct TransformStats
{
    UINT32 Misuses = 0; // ProcessInput without a request for input, ProcessOutput without an announced output
};

class PassThroughTransform final
    : public ComObject<IMFTransform, EventGenerator<IMFMediaEventGenerator>, IMFShutdown, IMFClockConsumer, IMFClockStateSink>,
      public Double<TransformStats>
{
public:
    static ComPtr<PassThroughTransform> Create(const Options& options) { return Make<PassThroughTransform>(options); }
    explicit PassThroughTransform(const Options& options);

    // IMFTransform
    HRESULT GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetStreamCount(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    HRESULT GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    HRESULT GetAttributes(IMFAttributes** attributes) override { return m_Attributes.CopyTo(attributes), S_OK; }
    HRESULT GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    HRESULT AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT GetOutputAvailableType(DWORD outputStreamID, DWORD typeIndex, IMFMediaType** type) override;
    HRESULT SetInputType(DWORD, IMFMediaType* type, DWORD flags) override { return SetType(m_InputType, type, flags); }
    HRESULT SetOutputType(DWORD, IMFMediaType* type, DWORD flags) override { return SetType(m_OutputType, type, flags); }
    HRESULT GetInputCurrentType(DWORD, IMFMediaType** type) override { return CurrentType(m_InputType, type); }
    HRESULT GetOutputCurrentType(DWORD, IMFMediaType** type) override { return CurrentType(m_OutputType, type); }
    HRESULT GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
    HRESULT SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    HRESULT ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
    HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR parameter) override;
    HRESULT ProcessInput(DWORD inputStreamID, IMFSample* sample, DWORD flags) override;
    HRESULT ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status) override;
    // IMFShutdown
    HRESULT Shutdown() override;
    HRESULT GetShutdownStatus(MFSHUTDOWN_STATUS*) override { return E_NOTIMPL; }
    // IMFClockConsumer
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override { return SetClock(clock, this); }
    HRESULT GetPresentationClock(IMFPresentationClock** clock) override { return GetClock(clock); }
    // IMFClockStateSink
    HRESULT OnClockStart(MFTIME, LONGLONG) override;
    HRESULT OnClockStop(MFTIME) override { return S_OK; }
    HRESULT OnClockPause(MFTIME) override { return S_OK; }
    HRESULT OnClockRestart(MFTIME) override { return S_OK; }
    HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

private:
    HRESULT SetType(ComPtr<IMFMediaType>& held, IMFMediaType* type, DWORD flags);
    HRESULT CurrentType(const ComPtr<IMFMediaType>& held, IMFMediaType** type) const;
    void StopStreamingLocked();
    void CheckDrainedLocked();

    ComPtr<IMFAttributes> m_Attributes;
    // The fields below are guarded by m_Lock.
    ComPtr<IMFMediaType> m_InputType, m_OutputType;
    int m_NeedInput = -1;   // -1 not streaming, -2 draining
    int m_HaveOutput = -1;
    UINT32 m_Free = 0;      // buffers not holding a sample
    std::deque<ComPtr<IMFSample>> m_Outputs;
    UINT32 m_Inputs = 0, m_Delivered = 0;
};

struct SinkStats
{
    std::vector<UINT32> Indices;       // SampleIndexKey of each sample received, in order
    UINT32 Unrequested = 0;            // samples that came without an outstanding request
    ComPtr<IMFMediaType> CurrentType;
    UINT32 Markers = 0, Finalized = 0; // PlaceMarker and EndFinalize calls
};

class RequestingSink final
    : public ComObject<IMFFinalizableMediaSink, EventGenerator<IMFStreamSink>, IMFMediaTypeHandler, IMFClockStateSink>,
      public Double<SinkStats>
{
public:
    static ComPtr<RequestingSink> Create(const Options& options) { return Make<RequestingSink>(options); }
    explicit RequestingSink(const Options& options) : Double(options) {}

    HRESULT QueryInterface(REFIID riid, void** object) override;
    // IMFMediaSink
    HRESULT GetCharacteristics(DWORD*) override { return E_NOTIMPL; }
    HRESULT AddStreamSink(DWORD, IMFMediaType*, IMFStreamSink**) override { return E_NOTIMPL; }
    HRESULT RemoveStreamSink(DWORD) override { return E_NOTIMPL; }
    HRESULT GetStreamSinkCount(DWORD*) override { return E_NOTIMPL; }
    HRESULT GetStreamSinkByIndex(DWORD, IMFStreamSink**) override { return E_NOTIMPL; }
    HRESULT GetStreamSinkById(DWORD, IMFStreamSink**) override { return E_NOTIMPL; }
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override { return SetClock(clock, this, FailsWith(Fail::SinkClock)); }
    HRESULT GetPresentationClock(IMFPresentationClock** clock) override { return GetClock(clock); }
    HRESULT Shutdown() override;
    // IMFFinalizableMediaSink
    HRESULT BeginFinalize(IMFAsyncCallback* callback, IUnknown* state) override;
    HRESULT EndFinalize(IMFAsyncResult* result) override;
    // IMFStreamSink (the sink is its own one stream sink)
    HRESULT GetMediaSink(IMFMediaSink** sink) override { return *sink = ComPtr<IMFMediaSink>(static_cast<IMFFinalizableMediaSink*>(this)).Detach(), S_OK; }
    HRESULT GetIdentifier(DWORD*) override { return E_NOTIMPL; }
    HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) override { return *handler = ComPtr<IMFMediaTypeHandler>(this).Detach(), S_OK; }
    HRESULT ProcessSample(IMFSample* sample) override;
    HRESULT PlaceMarker(MFSTREAMSINK_MARKER_TYPE, const PROPVARIANT*, const PROPVARIANT* contextValue) override;
    HRESULT Flush() override { return S_OK; }
    // IMFMediaTypeHandler: any type is supported
    HRESULT IsMediaTypeSupported(IMFMediaType*, IMFMediaType** closest) override { return closest ? (*closest = nullptr, S_OK) : S_OK; }
    HRESULT GetMediaTypeCount(DWORD*) override { return E_NOTIMPL; }
    HRESULT GetMediaTypeByIndex(DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT SetCurrentMediaType(IMFMediaType* type) override;
    HRESULT GetCurrentMediaType(IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT GetMajorType(GUID*) override { return E_NOTIMPL; }
    // IMFClockStateSink
    HRESULT OnClockStart(MFTIME, LONGLONG) override { return OnClock(MEStreamSinkStarted); }
    HRESULT OnClockStop(MFTIME) override { return OnClock(MEStreamSinkStopped); }
    HRESULT OnClockPause(MFTIME) override { return S_OK; }
    HRESULT OnClockRestart(MFTIME) override { return S_OK; }
    HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

    ComPtr<IMFStreamSink> StreamSink() { return ComPtr<IMFStreamSink>(this); }
    // Lets the stream ask for `count` more samples (Manual).
    void Grant(UINT32 count);

private:
    HRESULT OnClock(MediaEventType type);
    void RequestLocked();

    // The fields below are guarded by m_Lock.
    bool m_Finalizing = false;
    UINT32 m_Outstanding = 0; // requests not answered yet
};

// A topology source stream -> transform -> output over a counting source.
ComPtr<IMFTopology> BuildTopology(CountingSource* source, IMFTransform* transform, IMFStreamSink* streamSink);
// The same over any source with its descriptors.
ComPtr<IMFTopology> BuildTopology(IMFMediaSource* source, IMFPresentationDescriptor* descriptor, IMFStreamDescriptor* streamDescriptor,
    IMFTransform* transform, IMFStreamSink* streamSink);

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
        ComPtr<IUnknown> Value; // a VT_UNKNOWN value (a stream, a sample), when kept
    };

    // With `keepValues`, records keep VT_UNKNOWN values (and so the objects alive).
    static ComPtr<EventRecorder> Start(IMFMediaEventGenerator* generator, bool keepValues = false);
    EventRecorder(IMFMediaEventGenerator* generator, bool keepValues) : m_Generator(generator), m_KeepValues(keepValues) {}

    // IMFAsyncCallback
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override;

    std::vector<Record> Records() const;
    std::vector<MediaEventType> Types() const;
    // Those of `type`, or those whose status is a failure.
    std::vector<Record> Of(MediaEventType type) const;
    std::vector<Record> Failures() const;
    // Blocks until the `occurrence`-th event of `type` came; false on time-out.
    bool WaitFor(MediaEventType type, int timeoutMilliseconds = 20000, size_t occurrence = 1) const;
    // Stops reading and lets go of the generator.
    void Detach();
    // Runs on the event's thread after each record, before the next event is asked for (the way
    // a pipeline reacts to its session's events).
    void SetReaction(std::function<void(const Record&)> reaction);
    // The event types as text, for failure messages: "101 111 103 ...".
    std::string Text() const;

private:
    mutable std::mutex m_Lock; // guards the fields below
    mutable std::condition_variable m_Arrived;
    ComPtr<IMFMediaEventGenerator> m_Generator;
    std::vector<Record> m_Records;
    std::function<void(const Record&)> m_Reaction;
    const bool m_KeepValues;
};
} // namespace SessionDoubles
