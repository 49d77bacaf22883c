#pragma once
// NullMediaSink: the end of an encoding pipeline. A rateless media sink with exactly one stream
// sink (NullMediaSink::Stream, identifier 0) that accepts any media type, renders nothing and
// hands each sample to the pipeline's sample callback.
//
// Pacing: exactly one sample request is outstanding while the sink runs: one when the clock
// starts, then one after each processed sample. Between BeginFinalize and EndFinalize processed
// samples are not answered with a request.
//
// Order of calls: Make<NullMediaSink>(); the owner sets the stream's sample callback before the
// session starts; the session negotiates the type, sets the clock, runs, and shuts the sink down.
// The sink owns its stream; the stream points back without a count and is valid while the sink
// lives (the owner keeps the sink as long as a session may call the stream).
//
// Threads: the session calls sink and stream from its work-queue threads. One reader/writer lock,
// the sink's m_Lock, guards sink and stream: shared for queries and ProcessSample, exclusive for
// clock changes, clock start and stop, finalization, shutdown, the media type and the callback.
// The sample callback runs under the lock held shared, so it must not call a method of the sink
// or stream that takes the lock exclusively.

#include "media/Common/MediaEventGenerator.h"
#include "media/Common/Shutdown.h"
#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <functional>
#include <shared_mutex>

class NullMediaSink final : public ComObject<IMFFinalizableMediaSink, IMFClockStateSink, IMFGetService>,
                            public MF::ShutdownState<NullMediaSink>
{
public:
    class Stream;

    // IMFMediaSink
    HRESULT GetCharacteristics(DWORD* characteristics) override;
    HRESULT AddStreamSink(DWORD streamSinkIdentifier, IMFMediaType* mediaType, IMFStreamSink** streamSink) override;
    HRESULT RemoveStreamSink(DWORD streamSinkIdentifier) override;
    HRESULT GetStreamSinkCount(DWORD* streamSinkCount) override;
    HRESULT GetStreamSinkByIndex(DWORD index, IMFStreamSink** streamSink) override;
    HRESULT GetStreamSinkById(DWORD streamSinkIdentifier, IMFStreamSink** streamSink) override;
    // Registers the sink's clock state sink with the new clock (S_FALSE for the clock it holds).
    HRESULT SetPresentationClock(IMFPresentationClock* presentationClock) override;
    HRESULT GetPresentationClock(IMFPresentationClock** presentationClock) override;
    HRESULT Shutdown() override;
    // IMFFinalizableMediaSink: the callback is invoked at once (no shutdown check).
    HRESULT BeginFinalize(IMFAsyncCallback* callback, IUnknown* state) override;
    HRESULT EndFinalize(IMFAsyncResult* result) override;
    // IMFClockStateSink
    HRESULT OnClockStart(MFTIME systemTime, LONGLONG clockStartOffset) override;
    HRESULT OnClockStop(MFTIME systemTime) override;
    HRESULT OnClockPause(MFTIME systemTime) override;
    HRESULT OnClockRestart(MFTIME systemTime) override;
    HRESULT OnClockSetRate(MFTIME systemTime, float rate) override;
    // IMFGetService: no service is offered.
    HRESULT GetService(REFGUID service, REFIID riid, void** object) override;
    // The property-set hook of a media extension; the properties are not read.
    HRESULT SetProperties(IUnknown* propertySet);

    // The one stream, for its owner.
    Stream* GetStream() const noexcept { return m_Stream.Get(); }

    std::shared_mutex m_Lock; // guards the sink's fields and those of its stream

private:
    template <class T, class... Args>
    friend ComPtr<T> Make(Args&&... args);
    NullMediaSink();
    ~NullMediaSink() override;

    ComPtr<IMFAttributes> m_Attributes; // made empty, not used afterwards
    ComPtr<Stream> m_Stream;            // made by the constructor, released by the destructor
    ComPtr<IMFPresentationClock> m_PresentationClock;
    bool m_Finalizing = false;          // between BeginFinalize and EndFinalize
};

class NullMediaSink::Stream final
    : public ComObject<MF::MediaEventGenerator<NullMediaSink::Stream, MF::MediaSinkStreamTraits>, IMFMediaTypeHandler>
{
public:
    // Takes its own reference to the sample if it keeps it; a throw fails ProcessSample.
    using SampleCallback = std::function<void(IMFSample* sample)>;

    // IMFStreamSink
    HRESULT GetMediaSink(IMFMediaSink** mediaSink) override;
    HRESULT GetIdentifier(DWORD* identifier) override;
    HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) override;
    HRESULT ProcessSample(IMFSample* sample) override;
    HRESULT PlaceMarker(MFSTREAMSINK_MARKER_TYPE markerType, const PROPVARIANT* markerValue, const PROPVARIANT* contextValue) override;
    HRESULT Flush() override;
    // IMFMediaTypeHandler: every type is supported.
    HRESULT IsMediaTypeSupported(IMFMediaType* mediaType, IMFMediaType** closestMediaType) override;
    HRESULT GetMediaTypeCount(DWORD* typeCount) override;
    HRESULT GetMediaTypeByIndex(DWORD index, IMFMediaType** mediaType) override;
    HRESULT SetCurrentMediaType(IMFMediaType* mediaType) override;
    HRESULT GetCurrentMediaType(IMFMediaType** mediaType) override;
    HRESULT GetMajorType(GUID* majorType) override;

    // Replaces the sample callback (under the sink's lock held exclusive).
    void SetSampleCallback(SampleCallback callback);

private:
    friend class NullMediaSink;
    template <class T, class... Args>
    friend ComPtr<T> Make(Args&&... args);
    explicit Stream(NullMediaSink* sink);
    ~Stream() override = default;

    NullMediaSink& Sink() const noexcept { return *GetParent<NullMediaSink>(); }
    // A copy of the current type; MF_E_NOT_INITIALIZED (thrown) when none. Lock held.
    ComPtr<IMFMediaType> CopyCurrentTypeLocked() const;

    const DWORD m_Identifier = 0;
    ComPtr<IMFAttributes> m_Attributes; // made empty, not used afterwards
    // The two below are guarded by the sink's m_Lock.
    SampleCallback m_SampleCallback;
    ComPtr<IMFMediaType> m_CurrentMediaType;
};
