#pragma once
// The failing ends of a session's pipeline, for what the real source and sink never do: fail a
// chosen call with a chosen result, never answer, stall. They take no time; the benchmark of the
// session uses them as its cheap ends too. Only what the session calls is implemented.
//
//   CountingSource   a live source with one stream: sample i has time i x 333333 (and, with
//                    FrameBytes, a buffer of that length); after SampleCount samples the stream
//                    ends (MEEndOfStream, then MEEndOfPresentation).
//   RequestingSink   a sink, its own one stream sink, that asks for one sample at a time: at once,
//                    or (Manual) only when granted.
//
// Events are queued under the double's lock (the platform's event queue never calls out while
// queueing), so their order follows its state. The source holds its stream and is held back by it
// until Shutdown: shut it down.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <vector>

namespace SessionDoubles
{
// Where the doubles fail with FailResult. "(at)" stages fail at the FailAt-th sample; "Status" ones
// succeed but report the failure in their event; "Silent" ones never answer.
enum class Fail
{
    None,
    SourceStart, SourceStartStatus, RequestSample /* (at) */, SourceError /* MEError instead of sample (at) */,
    StreamError /* the same on the stream */, ShortFrame /* a buffer one byte short (at) */, SourceStop, SourceStopStatus, SourceStopSilent,
    SinkClock, SinkClockStart, SinkClockStop, ProcessSample /* (at) */, SinkError /* MEError after sample (at) */,
    PlaceMarker, MarkerStatus, MarkerSilent, BeginFinalize, EndFinalize,
};

struct Options
{
    UINT32 SampleCount = 10;
    DWORD FrameBytes = 0;    // the length of each sample's buffer (none: no buffer)
    bool Manual = false;     // the sink asks only through RequestingSink::Grant
    bool Finalizable = true; // the sink offers IMFFinalizableMediaSink
    Fail Failure = Fail::None;
    UINT32 FailAt = 0;
    HRESULT FailResult = E_FAIL;
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
    EventGenerator() { XEV_CHECK_HR(MFCreateEventQueue(m_Queue.GetAddressOf())); }
    ~EventGenerator() = default;
    // MF_E_SHUTDOWN from the queue is ignored.
    void Queue(MediaEventType type, HRESULT status = S_OK, IUnknown* value = nullptr)
    {
        const HRESULT hr = m_Queue->QueueEventParamUnk(type, GUID_NULL, status, value);
        if (hr != MF_E_SHUTDOWN)
            XEV_CHECK_HR(hr);
    }
    void ShutdownQueue() { (void)m_Queue->Shutdown(); }

private:
    ComPtr<IMFMediaEventQueue> m_Queue;
};

// What both doubles share: options, lock, shutdown flag, and counts to read and wait on.
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
    bool Wait(const std::function<bool(const Stats&)>& condition, int timeoutMilliseconds = 30000) const
    {
        std::unique_lock lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds), [&] { return condition(m_Stats); });
    }

protected:
    explicit Double(const Options& options) : m_Options(options) {}
    bool Fails(Fail fail) const { return m_Options.Failure == fail; }
    bool Fails(Fail fail, UINT32 index) const { return Fails(fail) && index == m_Options.FailAt; }
    HRESULT FailsWith(Fail fail) const { return Fails(fail) ? m_Options.FailResult : S_OK; }
    // Marks the double shut down; false if it was.
    bool MarkShutDown()
    {
        std::lock_guard lock(m_Lock);
        return !std::exchange(m_ShutDown, true);
    }

    const Options m_Options;
    mutable std::mutex m_Lock; // guards the fields below and those of the derived double
    mutable std::condition_variable m_Changed; // notified when m_Stats change
    bool m_ShutDown = false;
    Stats m_Stats;
};

struct SourceStats
{
    UINT32 Requests = 0; // RequestSample calls accepted
    UINT32 Stops = 0;
};

class CountingSource final : public ComObject<EventGenerator<IMFMediaSource>>, public Double<SourceStats>
{
public:
    class Stream;

    // `type` (none: ARGB32) is the stream's one type.
    CountingSource(const Options& options, IMFMediaType* type = nullptr);

    // IMFMediaSource
    HRESULT GetCharacteristics(DWORD*) override { return E_NOTIMPL; }
    HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override { return m_Descriptor->Clone(descriptor); }
    HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition) override;
    HRESULT Stop() override;
    HRESULT Pause() override { return E_NOTIMPL; }
    HRESULT Shutdown() override;

    // The presentation descriptor the topology uses, and its stream's.
    const ComPtr<IMFPresentationDescriptor> m_Descriptor;
    ComPtr<IMFStreamDescriptor> m_StreamDescriptor; // set by the constructor

private:
    friend class Stream;
    HRESULT RequestSample();

    ComPtr<Stream> m_Stream; // guarded by m_Lock; dropped at Shutdown (the stream holds the source)
    bool m_Started = false, m_Announced = false, m_Ended = false;
    UINT32 m_Next = 0; // the next sample index
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

struct SinkStats
{
    std::vector<LONGLONG> Times;       // the time of each sample received, in order
    UINT32 Unrequested = 0;            // samples that came without an outstanding request
    UINT32 Markers = 0, Finalized = 0; // PlaceMarker and EndFinalize calls
};

class RequestingSink final
    : public ComObject<IMFFinalizableMediaSink, EventGenerator<IMFStreamSink>, IMFMediaTypeHandler, IMFClockStateSink>,
      public Double<SinkStats>
{
public:
    explicit RequestingSink(const Options& options) : Double(options) {}

    HRESULT QueryInterface(REFIID riid, void** object) override;
    // IMFMediaSink
    HRESULT GetCharacteristics(DWORD*) override { return E_NOTIMPL; }
    HRESULT AddStreamSink(DWORD, IMFMediaType*, IMFStreamSink**) override { return E_NOTIMPL; }
    HRESULT RemoveStreamSink(DWORD) override { return E_NOTIMPL; }
    HRESULT GetStreamSinkCount(DWORD*) override { return E_NOTIMPL; }
    HRESULT GetStreamSinkByIndex(DWORD, IMFStreamSink**) override { return E_NOTIMPL; }
    HRESULT GetStreamSinkById(DWORD, IMFStreamSink**) override { return E_NOTIMPL; }
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override;
    HRESULT GetPresentationClock(IMFPresentationClock**) override { return E_NOTIMPL; }
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
    HRESULT SetCurrentMediaType(IMFMediaType*) override { return S_OK; }
    HRESULT GetCurrentMediaType(IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT GetMajorType(GUID*) override { return E_NOTIMPL; }
    // IMFClockStateSink
    HRESULT OnClockStart(MFTIME, LONGLONG) override { return OnClock(MEStreamSinkStarted, Fail::SinkClockStart); }
    HRESULT OnClockStop(MFTIME) override { return OnClock(MEStreamSinkStopped, Fail::SinkClockStop); }
    HRESULT OnClockPause(MFTIME) override { return S_OK; }
    HRESULT OnClockRestart(MFTIME) override { return S_OK; }
    HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

    IMFStreamSink* StreamSink() { return this; }
    // Lets the stream ask for `count` more samples (Manual).
    void Grant(UINT32 count);

private:
    HRESULT OnClock(MediaEventType type, Fail fail);
    void RequestLocked();

    // The fields below are guarded by m_Lock.
    ComPtr<IMFPresentationClock> m_Clock;
    bool m_Finalizing = false;
    UINT32 m_Outstanding = 0; // requests not answered yet
};
} // namespace SessionDoubles
