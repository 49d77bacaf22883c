// The media session driving test doubles of a source, an asynchronous transform and a sink:
// event order of whole runs, sample order and back-pressure, format changes, failures of each
// object at each stage, stop, close and shutdown, and many sessions at once.

#include "SessionTestSupport.h"

#include "fakes/SessionDoubles.h"
#include "platform/mf/Platform.h"

#include <memory>
#include <numeric>

using namespace SessionDoubles;
using namespace SessionTest;

namespace
{
// One pipeline of doubles with its session; shut down (session, then source) when it goes.
struct Pipeline
{
    Pipeline(const SourceOptions& sourceOptions = {}, const TransformOptions& transformOptions = {}, const SinkOptions& sinkOptions = {})
    {
        Source = CountingSource::Create(sourceOptions);
        Transform = PassThroughTransform::Create(transformOptions);
        Sink = RequestingSink::Create(sinkOptions);
        Topology = BuildTopology(Source.Get(), Transform.Get(), Sink->StreamSink().Get());
        EXPECT_EQ(MFCreateMediaSession(nullptr, Session.GetAddressOf()), S_OK);
        Events = EventRecorder::Start(Session.Get());
    }
    ~Pipeline()
    {
        if (Session)
            (void)Session->Shutdown();
        (void)Source->Shutdown();
        // Those of a topology the session never took (already shut down otherwise).
        (void)Transform->Shutdown();
        (void)Sink->Shutdown();
        Events->Detach();
    }

    HRESULT SetTopology() { return Session->SetTopology(0, Topology.Get()); }
    HRESULT Start(LONGLONG position = 0)
    {
        PROPVARIANT value;
        PropVariantInit(&value);
        value.vt = VT_I8;
        value.hVal = position;
        return Session->Start(&GUID_NULL, &value);
    }
    // Topology set and ready, then started.
    void Play()
    {
        ASSERT_EQ(SetTopology(), S_OK);
        ASSERT_TRUE(Events->WaitFor(MESessionTopologyStatus)) << Describe(Events->Types());
        ASSERT_EQ(Start(), S_OK);
    }
    void StopAndClose()
    {
        ASSERT_EQ(Session->Stop(), S_OK);
        ASSERT_TRUE(Events->WaitFor(MESessionStopped)) << Describe(Events->Types());
        ASSERT_EQ(Session->Close(), S_OK);
        ASSERT_TRUE(Events->WaitFor(MESessionClosed)) << Describe(Events->Types());
    }
    // Events whose status is a failure.
    std::vector<EventRecorder::Record> Failures() const
    {
        std::vector<EventRecorder::Record> failures;
        for (const auto& record : Events->Records())
            if (FAILED(record.Status))
                failures.push_back(record);
        return failures;
    }

    ComPtr<CountingSource> Source;
    ComPtr<PassThroughTransform> Transform;
    ComPtr<RequestingSink> Sink;
    ComPtr<IMFTopology> Topology;
    ComPtr<IMFMediaSession> Session;
    ComPtr<EventRecorder> Events;
};

std::vector<UINT32> Indices(UINT32 count)
{
    std::vector<UINT32> indices(count);
    std::iota(indices.begin(), indices.end(), 0u);
    return indices;
}

class MediaSessionTest : public PlatformTest
{
};
} // namespace

// The pipeline's way through a run (Part of the driver): ended -> Stop, stopped -> Close.
TEST_F(MediaSessionTest, ARunWithoutFailuresReportsTheWholeSequence)
{
    Pipeline run({ .SampleCount = 12 }, {}, {});
    run.Events->SetReaction([session = run.Session](const EventRecorder::Record& record) {
        if (record.Type == MESessionEnded)
        {
            EXPECT_EQ(session->Stop(), S_OK);
        }
        else if (record.Type == MESessionStopped)
        {
            EXPECT_EQ(session->Close(), S_OK);
        }
    });
    run.Play();
    ASSERT_TRUE(run.Events->WaitFor(MESessionClosed)) << Describe(run.Events->Types());

    const auto records = run.Events->Records();
    ASSERT_EQ(run.Events->Types(), (std::vector<MediaEventType> { MESessionTopologySet, MESessionTopologyStatus, MESessionStarted,
                                                                   MESessionTopologyStatus, MESessionTopologyStatus, MESessionEnded,
                                                                   MESessionStopped, MESessionClosed }));
    EXPECT_TRUE(records[0].HasValue); // the topology
    EXPECT_EQ(records[1].TopologyStatus, static_cast<UINT32>(MF_TOPOSTATUS_READY));
    EXPECT_EQ(records[3].TopologyStatus, static_cast<UINT32>(MF_TOPOSTATUS_STARTED_SOURCE));
    EXPECT_EQ(records[4].TopologyStatus, static_cast<UINT32>(MF_TOPOSTATUS_ENDED));
    EXPECT_TRUE(run.Failures().empty());

    // Every sample once, in order, each one asked for; the sink finalized after the end marker.
    EXPECT_EQ(run.Sink->SampleIndices(), Indices(12));
    const auto times = run.Sink->SampleTimes();
    for (size_t i = 0; i < times.size(); ++i)
        EXPECT_EQ(times[i], static_cast<LONGLONG>(i) * 333333);
    EXPECT_EQ(run.Sink->Unrequested(), 0u);
    EXPECT_EQ(run.Sink->Markers(), 1u);
    EXPECT_EQ(run.Sink->Finalized(), 1u);
    EXPECT_EQ(run.Source->Requests(), 13u); // twelve samples and the end of stream
    EXPECT_EQ(run.Transform->NotAccepting(), 0u);
    EXPECT_EQ(run.Transform->UnexpectedOutputs(), 0u);
    // Drain before end of stream; flush and end of streaming at the stop.
    EXPECT_EQ(run.Transform->Messages(),
              (std::vector<MFT_MESSAGE_TYPE> { MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, MFT_MESSAGE_NOTIFY_START_OF_STREAM, MFT_MESSAGE_COMMAND_DRAIN,
                                               MFT_MESSAGE_NOTIFY_END_OF_STREAM, MFT_MESSAGE_COMMAND_FLUSH, MFT_MESSAGE_NOTIFY_END_STREAMING }));
    EXPECT_EQ(run.Source->Starts(), 1u);
    EXPECT_EQ(run.Source->Stops(), 1u);

    // The session's clock reached every object; the media types went along the topology.
    ComPtr<IMFClock> clock;
    ASSERT_EQ(run.Session->GetClock(clock.GetAddressOf()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(run.Source->Clock().Get()), static_cast<IUnknown*>(clock.Get()));
    ComPtr<IMFPresentationClock> clockOfTransform;
    EXPECT_EQ(run.Transform->GetPresentationClock(clockOfTransform.GetAddressOf()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(clockOfTransform.Get()), static_cast<IUnknown*>(clock.Get()));
    ASSERT_TRUE(run.Sink->CurrentType());
    GUID subtype = GUID_NULL;
    EXPECT_EQ(run.Sink->CurrentType()->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
    EXPECT_EQ(subtype, MFVideoFormat_ARGB32);

    // Shutdown: the transform and the sink are shut down, the source is left to its owner.
    EXPECT_EQ(run.Session->Shutdown(), S_OK);
    EXPECT_TRUE(run.Transform->IsShutDown());
    EXPECT_TRUE(run.Sink->IsShutDown());
    EXPECT_FALSE(run.Source->IsShutDown());
}

TEST_F(MediaSessionTest, CallsAfterCloseAndAfterShutdown)
{
    Pipeline run;
    run.Play();
    ASSERT_TRUE(run.Events->WaitFor(MESessionStarted));
    ASSERT_EQ(run.Session->Close(), S_OK);
    EXPECT_EQ(run.Session->Close(), MF_E_INVALIDREQUEST);
    EXPECT_EQ(run.Start(), MF_E_INVALIDREQUEST);
    EXPECT_EQ(run.Session->Stop(), MF_E_INVALIDREQUEST);
    EXPECT_EQ(run.SetTopology(), MF_E_INVALIDREQUEST);
    ASSERT_TRUE(run.Events->WaitFor(MESessionClosed));
    EXPECT_EQ(run.Transform->Messages().back(), MFT_MESSAGE_NOTIFY_END_STREAMING); // closing stops what runs

    ASSERT_EQ(run.Session->Shutdown(), S_OK);
    EXPECT_EQ(run.Session->Shutdown(), MF_E_SHUTDOWN);
    EXPECT_EQ(run.Start(), MF_E_SHUTDOWN);
    EXPECT_EQ(run.Session->Stop(), MF_E_SHUTDOWN);
    EXPECT_EQ(run.Session->Close(), MF_E_SHUTDOWN);
    EXPECT_EQ(run.SetTopology(), MF_E_SHUTDOWN);
    ComPtr<IMFMediaEvent> event;
    EXPECT_EQ(run.Session->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()), MF_E_SHUTDOWN);
    EXPECT_EQ(run.Session->BeginGetEvent(run.Events.Get(), nullptr), MF_E_SHUTDOWN);
    EXPECT_EQ(run.Session->QueueEvent(MEError, GUID_NULL, E_FAIL, nullptr), MF_E_SHUTDOWN);
    ComPtr<IMFClock> clock;
    EXPECT_EQ(run.Session->GetClock(clock.GetAddressOf()), MF_E_SHUTDOWN);
    DWORD capabilities = 0;
    EXPECT_EQ(run.Session->GetSessionCapabilities(&capabilities), MF_E_SHUTDOWN);
    ComPtr<IMFTopology> topology;
    EXPECT_EQ(run.Session->GetFullTopology(1, 0, topology.GetAddressOf()), MF_E_SHUTDOWN);
}

TEST_F(MediaSessionTest, ArgumentsAndRequestsOutOfOrder)
{
    EXPECT_EQ(MFCreateMediaSession(nullptr, nullptr), E_POINTER);
    Pipeline run;
    PROPVARIANT position;
    PropVariantInit(&position);
    EXPECT_EQ(run.Session->Start(&GUID_NULL, nullptr), E_INVALIDARG);
    position.vt = VT_R8;
    EXPECT_EQ(run.Session->Start(&GUID_NULL, &position), MF_E_UNSUPPORTED_TIME_FORMAT);
    position.vt = VT_EMPTY;
    EXPECT_EQ(run.Session->Start(&MFMediaType_Video, &position), MF_E_UNSUPPORTED_TIME_FORMAT);
    EXPECT_EQ(run.Session->SetTopology(0, nullptr), E_INVALIDARG);
    EXPECT_EQ(run.Session->Pause(), E_NOTIMPL);
    EXPECT_EQ(run.Session->ClearTopologies(), E_NOTIMPL);
    DWORD capabilities = 0;
    EXPECT_EQ(run.Session->GetSessionCapabilities(&capabilities), S_OK);
    EXPECT_EQ(capabilities, 1u);
    ComPtr<IMFTopology> topology;
    EXPECT_EQ(run.Session->GetFullTopology(1, 0, topology.GetAddressOf()), MF_E_NOT_FOUND);

    // Start before any topology: refused through its event. Stop of an idle session: at once.
    ASSERT_EQ(run.Session->Start(nullptr, &position), S_OK);
    ASSERT_TRUE(run.Events->WaitFor(MESessionStarted));
    EXPECT_EQ(run.Events->First(MESessionStarted).Status, MF_E_INVALIDREQUEST);
    ASSERT_EQ(run.Session->Stop(), S_OK);
    ASSERT_TRUE(run.Events->WaitFor(MESessionStopped));
    EXPECT_EQ(run.Events->First(MESessionStopped).Status, S_OK);

    // A second topology is refused; the first one is kept and plays.
    ASSERT_EQ(run.SetTopology(), S_OK);
    ASSERT_EQ(run.SetTopology(), S_OK);
    ASSERT_TRUE(run.Events->WaitFor(MESessionTopologySet, Patience, 2));
    const auto records = run.Events->Records();
    std::vector<HRESULT> statuses;
    for (const auto& record : records)
        if (record.Type == MESessionTopologySet)
            statuses.push_back(record.Status);
    EXPECT_EQ(statuses, (std::vector<HRESULT> { S_OK, MF_E_INVALIDREQUEST }));
    EXPECT_EQ(run.Session->GetFullTopology(1, 0, topology.GetAddressOf()), S_OK);
    EXPECT_EQ(topology.Get(), run.Topology.Get());
    ASSERT_EQ(run.Start(), S_OK);
    ASSERT_TRUE(run.Events->WaitFor(MESessionEnded));
}

// A topology the session cannot play is reported as MESessionTopologySet's status, and the
// session stays ready for a good one.
TEST_F(MediaSessionTest, TopologiesThatCannotPlay)
{
    struct Case
    {
        const char* Name;
        HRESULT Expected;
        std::function<void(Pipeline&)> Spoil;
    };
    auto sourceNode = [](Pipeline& run) {
        ComPtr<IMFTopologyNode> node;
        EXPECT_EQ(run.Topology->GetNode(0, node.GetAddressOf()), S_OK);
        return node;
    };
    auto transformNode = [](Pipeline& run) {
        ComPtr<IMFTopologyNode> node;
        EXPECT_EQ(run.Topology->GetNode(1, node.GetAddressOf()), S_OK);
        return node;
    };
    const Case cases[] = {
        { "no source", MF_E_TOPO_MISSING_SOURCE, [&](Pipeline& run) { sourceNode(run)->DeleteItem(MF_TOPONODE_SOURCE); } },
        { "no presentation descriptor", MF_E_TOPO_MISSING_PRESENTATION_DESCRIPTOR,
          [&](Pipeline& run) { sourceNode(run)->DeleteItem(MF_TOPONODE_PRESENTATION_DESCRIPTOR); } },
        { "no stream descriptor", MF_E_TOPO_MISSING_STREAM_DESCRIPTOR, [&](Pipeline& run) { sourceNode(run)->DeleteItem(MF_TOPONODE_STREAM_DESCRIPTOR); } },
        { "stream not selected", MF_E_TOPO_STREAM_DESCRIPTOR_NOT_SELECTED, [](Pipeline& run) { run.Source->Descriptor()->DeselectStream(0); } },
        { "transform not connected", MF_E_TOPO_UNSUPPORTED, [&](Pipeline& run) { transformNode(run)->DisconnectOutput(0); } },
        { "no transform object", MF_E_TOPO_UNSUPPORTED, [&](Pipeline& run) { transformNode(run)->SetObject(nullptr); } },
        { "synchronous transform", MF_E_TOPO_UNSUPPORTED,
          [](Pipeline& run) {
              ComPtr<IMFAttributes> attributes;
              run.Transform->GetAttributes(attributes.GetAddressOf());
              attributes->SetUINT32(MF_TRANSFORM_ASYNC, 0);
          } },
        { "output is not a stream sink", MF_E_TOPO_UNSUPPORTED,
          [](Pipeline& run) {
              ComPtr<IMFTopologyNode> node;
              run.Topology->GetNode(2, node.GetAddressOf());
              node->SetObject(VideoType(MFVideoFormat_NV12).Get());
          } },
        { "a tee node", MF_E_TOPO_UNSUPPORTED,
          [](Pipeline& run) {
              ComPtr<IMFTopologyNode> tee;
              MFCreateTopologyNode(MF_TOPOLOGY_TEE_NODE, tee.GetAddressOf());
              run.Topology->AddNode(tee.Get());
          } },
    };
    for (const auto& test : cases)
    {
        SCOPED_TRACE(test.Name);
        Pipeline run;
        test.Spoil(run);
        ASSERT_EQ(run.SetTopology(), S_OK);
        ASSERT_TRUE(run.Events->WaitFor(MESessionTopologySet));
        EXPECT_EQ(run.Events->First(MESessionTopologySet).Status, test.Expected);
        EXPECT_TRUE(run.Events->First(MESessionTopologySet).HasValue);

        // A good topology still plays.
        Pipeline good;
        ComPtr<IMFTopology> goodTopology = good.Topology;
        ASSERT_EQ(run.Session->SetTopology(0, goodTopology.Get()), S_OK);
        ASSERT_TRUE(run.Events->WaitFor(MESessionTopologyStatus));
        EXPECT_EQ(run.Events->Count(MESessionTopologyStatus), 1u);
        ASSERT_EQ(run.Session->Shutdown(), S_OK);
    }
}

// The sink is slow and the transform holds at most two samples: nothing is lost, reordered or
// pushed on anybody who did not ask for it.
TEST_F(MediaSessionTest, BackPressureFromASlowSinkAndAFewBuffers)
{
    Pipeline run({ .SampleCount = 40 }, { .Buffers = 2 }, { .Mode = RequestMode::Delayed, .DelayMilliseconds = 1 });
    run.Play();
    ASSERT_TRUE(run.Events->WaitFor(MESessionEnded)) << Describe(run.Events->Types());
    EXPECT_EQ(run.Sink->SampleIndices(), Indices(40));
    EXPECT_EQ(run.Sink->Unrequested(), 0u);
    EXPECT_LE(run.Transform->MaximumHeld(), 2u);
    EXPECT_EQ(run.Transform->NotAccepting(), 0u);
    EXPECT_EQ(run.Source->Requests(), 41u);
    EXPECT_TRUE(run.Failures().empty());
    run.StopAndClose();
}

// Samples wait, in order, until the sink asks; the end comes only after the last one went.
TEST_F(MediaSessionTest, OutputsWaitForTheSinksRequests)
{
    Pipeline run({ .SampleCount = 5 }, { .Buffers = 1 }, { .Mode = RequestMode::Manual });
    run.Play();
    ASSERT_TRUE(WaitUntil([&] { return run.Transform->Outputs() == 5; }));
    EXPECT_TRUE(run.Sink->SampleIndices().empty());
    run.Sink->Grant(2);
    ASSERT_TRUE(run.Sink->WaitForSamples(2, Patience));
    EXPECT_EQ(run.Events->Count(MESessionEnded), 0u);
    EXPECT_EQ(run.Sink->Markers(), 0u);
    run.Sink->Grant(3);
    ASSERT_TRUE(run.Events->WaitFor(MESessionEnded));
    EXPECT_EQ(run.Sink->SampleIndices(), Indices(5));
    EXPECT_EQ(run.Sink->Unrequested(), 0u);
    EXPECT_EQ(run.Sink->Markers(), 1u);
    EXPECT_LE(run.Transform->MaximumHeld(), 1u);
    run.StopAndClose();
}

// The format change is the output its METransformHaveOutput announced: the new type goes to
// the sink between the samples before and after it, and no extra ProcessOutput is made.
TEST_F(MediaSessionTest, FormatChangeMidStream)
{
    Pipeline run({ .SampleCount = 8 }, { .Buffers = 3, .FormatChangeAt = 3 }, {});
    run.Play();
    ASSERT_TRUE(run.Events->WaitFor(MESessionEnded)) << Describe(run.Events->Types());
    EXPECT_EQ(run.Sink->SampleIndices(), Indices(8));
    EXPECT_EQ(run.Sink->TypeChanges(), 2u); // the topology's, then the change
    EXPECT_EQ(run.Sink->TypeChangeBeforeSample(), 3u);
    ASSERT_TRUE(run.Sink->CurrentType());
    EXPECT_EQ(MFGetAttributeUINT32(run.Sink->CurrentType().Get(), FormatChangeKey, 0), 3u);
    ComPtr<IMFMediaType> output;
    ASSERT_EQ(run.Transform->GetOutputCurrentType(0, output.GetAddressOf()), S_OK);
    EXPECT_EQ(MFGetAttributeUINT32(output.Get(), FormatChangeKey, 0), 3u);
    EXPECT_EQ(run.Transform->UnexpectedOutputs(), 0u);
    EXPECT_TRUE(run.Failures().empty());
    run.StopAndClose();
}

// Stop while samples flow, then play again from the start of the stream.
TEST_F(MediaSessionTest, StopDuringStreamingAndStartAgain)
{
    Pipeline run({ .SampleCount = 1000000 }, {}, {});
    run.Play();
    ASSERT_TRUE(run.Sink->WaitForSamples(5, Patience));
    ASSERT_EQ(run.Session->Stop(), S_OK);
    ASSERT_TRUE(run.Events->WaitFor(MESessionStopped)) << Describe(run.Events->Types());
    EXPECT_EQ(run.Events->Count(MESessionEnded), 0u);
    const auto messages = run.Transform->Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], MFT_MESSAGE_COMMAND_FLUSH);
    EXPECT_EQ(messages.back(), MFT_MESSAGE_NOTIFY_END_STREAMING);
    EXPECT_EQ(run.Source->Stops(), 1u);
    ComPtr<IMFClock> clock;
    ASSERT_EQ(run.Session->GetClock(clock.GetAddressOf()), S_OK);
    MFCLOCK_STATE state = MFCLOCK_STATE_INVALID;
    EXPECT_EQ(clock->GetState(0, &state), S_OK);
    EXPECT_EQ(state, MFCLOCK_STATE_STOPPED);

    const size_t before = run.Sink->SampleIndices().size();
    ASSERT_EQ(run.Start(), S_OK);
    ASSERT_TRUE(run.Events->WaitFor(MESessionStarted, Patience, 2));
    ASSERT_TRUE(run.Sink->WaitForSamples(before + 5, Patience));
    const auto indices = run.Sink->SampleIndices();
    // The second start's samples begin again at 0 and follow each other.
    auto restart = std::find(indices.begin() + 1, indices.end(), 0u);
    ASSERT_NE(restart, indices.end());
    for (auto it = restart; it + 1 != indices.end(); ++it)
        EXPECT_EQ(*(it + 1), *it + 1);
    EXPECT_EQ(run.Source->Starts(), 2u);
    EXPECT_TRUE(run.Failures().empty());
    run.StopAndClose();
}

// A failure of any object at any stage is reported once, and the session can still be stopped,
// closed and shut down without waiting for the object that failed.
TEST_F(MediaSessionTest, EachFailureIsReportedOnceAndNothingHangs)
{
    constexpr HRESULT Failure = MakeHResult(0x80AB0001);
    struct Case
    {
        const char* Name;
        SourceOptions Source;
        TransformOptions Transform;
        SinkOptions Sink;
        MediaEventType Reported; // the event that carries the failure
        HRESULT Status = Failure;
    };
    const Case cases[] = {
        { "source Start", { .Failure = SourceFailure::StartCall, .FailResult = Failure }, {}, {}, MESessionStarted },
        { "source started with a failure", { .Failure = SourceFailure::StartStatus, .FailResult = Failure }, {}, {}, MESessionStarted },
        { "source RequestSample", { .Failure = SourceFailure::RequestCall, .FailAt = 3, .FailResult = Failure }, {}, {}, MEError },
        { "source MEError", { .Failure = SourceFailure::ErrorEvent, .FailAt = 3, .FailResult = Failure }, {}, {}, MEError },
        { "stream MEError", { .Failure = SourceFailure::StreamError, .FailAt = 3, .FailResult = Failure }, {}, {}, MEError },
        { "source Stop", { .Failure = SourceFailure::StopCall, .FailResult = Failure }, {}, {}, MESessionStopped },
        { "source stopped with a failure", { .Failure = SourceFailure::StopStatus, .FailResult = Failure }, {}, {}, MESessionStopped },
        { "transform start of stream", {}, { .Failure = TransformFailure::StartOfStream, .FailResult = Failure }, {}, MESessionStarted },
        { "transform still locked", {}, { .Unlocked = false }, {}, MESessionStarted, MF_E_TRANSFORM_ASYNC_LOCKED },
        { "transform clock start", {}, { .Failure = TransformFailure::ClockStart, .FailResult = Failure }, {}, MESessionStarted },
        { "transform ProcessInput", {}, { .Failure = TransformFailure::ProcessInput, .FailAt = 2, .FailResult = Failure }, {}, MEError },
        { "transform ProcessOutput", {}, { .Failure = TransformFailure::ProcessOutput, .FailAt = 2, .FailResult = Failure }, {}, MEError },
        { "transform MEError", {}, { .Failure = TransformFailure::ErrorEvent, .FailAt = 2, .FailResult = Failure }, {}, MEError },
        { "transform drain", {}, { .Failure = TransformFailure::Drain, .FailResult = Failure }, {}, MEError },
        { "transform end of stream", {}, { .Failure = TransformFailure::EndOfStream, .FailResult = Failure }, {}, MEError },
        { "sink clock", {}, {}, { .Failure = SinkFailure::SetClock, .FailResult = Failure }, MESessionStarted },
        { "sink ProcessSample", {}, {}, { .Failure = SinkFailure::ProcessSample, .FailAt = 2, .FailResult = Failure }, MEError },
        { "sink MEError", {}, {}, { .Failure = SinkFailure::ErrorEvent, .FailAt = 2, .FailResult = Failure }, MEError },
        { "sink marker", {}, {}, { .Failure = SinkFailure::PlaceMarker, .FailResult = Failure }, MEError },
        { "sink marker status", {}, {}, { .Failure = SinkFailure::MarkerStatus, .FailResult = Failure }, MEError },
        { "sink BeginFinalize", {}, {}, { .Failure = SinkFailure::BeginFinalize, .FailResult = Failure }, MEError },
        { "sink EndFinalize", {}, {}, { .Failure = SinkFailure::EndFinalize, .FailResult = Failure }, MEError },
    };
    for (const auto& test : cases)
    {
        SCOPED_TRACE(test.Name);
        Pipeline run(test.Source, test.Transform, test.Sink);
        run.Play();
        // A run that fails at its stop first ends normally.
        if (test.Reported == MESessionStopped)
        {
            ASSERT_TRUE(run.Events->WaitFor(MESessionEnded)) << Describe(run.Events->Types());
            ASSERT_EQ(run.Session->Stop(), S_OK);
        }
        ASSERT_TRUE(run.Events->WaitFor(test.Reported)) << Describe(run.Events->Types());
        if (test.Reported != MESessionStopped)
        {
            run.StopAndClose();
        }
        else
        {
            ASSERT_EQ(run.Session->Close(), S_OK);
            ASSERT_TRUE(run.Events->WaitFor(MESessionClosed)) << Describe(run.Events->Types());
        }
        const auto failures = run.Failures();
        ASSERT_EQ(failures.size(), 1u) << Describe(run.Events->Types());
        EXPECT_EQ(failures[0].Type, test.Reported);
        EXPECT_EQ(failures[0].Status, test.Status);
        EXPECT_EQ(run.Events->Count(MESessionEnded), test.Reported == MESessionStopped ? 1u : 0u);
        EXPECT_EQ(run.Events->Count(MESessionStopped), 1u);
        EXPECT_EQ(run.Session->Shutdown(), S_OK);
        EXPECT_TRUE(run.Transform->IsShutDown());
        EXPECT_TRUE(run.Sink->IsShutDown());
    }
}

// An object that never answers holds up only the command waiting for it: Stop waits for the
// drain that never completes to be abandoned, a stop that never completes is cut by Shutdown.
TEST_F(MediaSessionTest, SilentObjectsDoNotHoldUpStopOrShutdown)
{
    {
        Pipeline run({ .SampleCount = 6 }, { .Failure = TransformFailure::DrainSilent }, {});
        run.Play();
        ASSERT_TRUE(run.Sink->WaitForSamples(6, Patience));
        run.StopAndClose();
        EXPECT_EQ(run.Events->Count(MESessionEnded), 0u);
        EXPECT_TRUE(run.Failures().empty());
    }
    {
        Pipeline run({ .SampleCount = 6, .Failure = SourceFailure::StopSilent }, {}, {});
        run.Play();
        ASSERT_TRUE(run.Events->WaitFor(MESessionEnded));
        ASSERT_EQ(run.Session->Stop(), S_OK);
        ASSERT_EQ(run.Session->Close(), S_OK);
        EXPECT_TRUE(WaitUntil([&] { return run.Source->Stops() == 1; }));
        EXPECT_EQ(run.Session->Shutdown(), S_OK);
        EXPECT_TRUE(run.Transform->IsShutDown());
        EXPECT_TRUE(run.Sink->IsShutDown());
        EXPECT_EQ(run.Events->Count(MESessionClosed), 0u);
    }
}

// A sink without finalization ends as soon as its marker is back.
TEST_F(MediaSessionTest, SinkWithoutFinalization)
{
    Pipeline run({ .SampleCount = 4 }, {}, { .Finalizable = false });
    run.Play();
    ASSERT_TRUE(run.Events->WaitFor(MESessionEnded)) << Describe(run.Events->Types());
    EXPECT_EQ(run.Sink->Finalized(), 0u);
    EXPECT_EQ(run.Sink->SampleIndices(), Indices(4));
    run.StopAndClose();
}

// After Shutdown the session lets go of every object (the topology aside, which the caller holds).
TEST_F(MediaSessionTest, ShutdownLetsGoOfTheObjects)
{
    Pipeline run({ .SampleCount = 3 }, {}, {});
    run.Play();
    ASSERT_TRUE(run.Events->WaitFor(MESessionEnded));
    run.StopAndClose();
    ASSERT_EQ(run.Session->Shutdown(), S_OK);
    run.Session = nullptr;
    run.Topology = nullptr;
    run.Events->Detach();
    EXPECT_TRUE(WaitUntil([&] { return RefCount(static_cast<IMFTransform*>(run.Transform.Get())) == 1; })) << RefCount(static_cast<IMFTransform*>(run.Transform.Get()));
    EXPECT_TRUE(WaitUntil([&] { return RefCount(static_cast<IMFMediaSink*>(run.Sink.Get())) == 1; }));
    // The source keeps what it holds itself (its stream) until its owner shuts it down.
    ASSERT_EQ(run.Source->Shutdown(), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return RefCount(static_cast<IMFMediaSource*>(run.Source.Get())) == 1; }));
}

// The last MFShutdown shuts down the sessions left open.
TEST_F(MediaSessionTest, MFShutdownShutsOpenSessionsDown)
{
    auto run = std::make_unique<Pipeline>(SourceOptions { .SampleCount = 1000000 }, TransformOptions {}, SinkOptions {});
    run->Play();
    ASSERT_TRUE(run->Sink->WaitForSamples(3, Patience));
    ASSERT_EQ(MFShutdown(), S_OK);
    EXPECT_TRUE(run->Transform->IsShutDown());
    EXPECT_TRUE(run->Sink->IsShutDown());
    EXPECT_EQ(run->Session->Stop(), MF_E_SHUTDOWN);
    run.reset();
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK); // for the fixture's own MFShutdown
}

// Sixteen pipelines at once on the shared worker pool, as a run of the tool makes them.
TEST_F(MediaSessionTest, SixteenSessionsAtOnce)
{
    constexpr int Count = 16;
    constexpr UINT32 Samples = 30;
    std::vector<std::unique_ptr<Pipeline>> runs;
    for (int i = 0; i < Count; ++i)
        runs.push_back(std::make_unique<Pipeline>(SourceOptions { .SampleCount = Samples }, TransformOptions { .Buffers = 1u + i % 4 },
                                             SinkOptions { .Mode = i % 2 ? RequestMode::Auto : RequestMode::Delayed, .DelayMilliseconds = 1 }));
    for (auto& run : runs)
        ASSERT_EQ(run->SetTopology(), S_OK);
    for (auto& run : runs)
        ASSERT_TRUE(run->Events->WaitFor(MESessionTopologyStatus));
    for (auto& run : runs)
        ASSERT_EQ(run->Start(), S_OK);
    for (auto& run : runs)
        ASSERT_TRUE(run->Events->WaitFor(MESessionEnded)) << Describe(run->Events->Types());
    for (auto& run : runs)
        ASSERT_EQ(run->Session->Stop(), S_OK);
    for (auto& run : runs)
    {
        ASSERT_TRUE(run->Events->WaitFor(MESessionStopped));
        ASSERT_EQ(run->Session->Close(), S_OK);
    }
    for (auto& run : runs)
    {
        ASSERT_TRUE(run->Events->WaitFor(MESessionClosed));
        EXPECT_EQ(run->Sink->SampleIndices(), Indices(Samples));
        EXPECT_EQ(run->Sink->Unrequested(), 0u);
        EXPECT_TRUE(run->Failures().empty());
    }
}

TEST(MediaSessionPlatform, NeedsThePlatformStarted)
{
    ComPtr<IMFMediaSession> session;
    EXPECT_TRUE(FAILED(MFCreateMediaSession(nullptr, session.GetAddressOf())));
    EXPECT_FALSE(session);
}
