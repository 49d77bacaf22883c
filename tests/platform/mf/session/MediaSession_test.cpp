// The media session driving test doubles of a source, an asynchronous transform and a sink:
// event order of whole runs, sample order and back-pressure, format changes, failures of each
// object at each stage, stop, close and shutdown, and many sessions at once.

#include "SessionTestSupport.h"

#include "fakes/SessionDoubles.h"
#include "platform/mf/Platform.h"
#include "platform/system/Event.h"

#include <atomic>
#include <memory>
#include <numeric>

using namespace SessionDoubles;
using namespace SessionTest;

namespace
{
std::vector<UINT32> Indices(UINT32 count)
{
    std::vector<UINT32> indices(count);
    std::iota(indices.begin(), indices.end(), 0u);
    return indices;
}

// One pipeline of doubles with its session; shut down (session, then source) when it goes.
struct Pipeline
{
    explicit Pipeline(const Options& options = {})
        : Source(CountingSource::Create(options)), Transform(PassThroughTransform::Create(options)), Sink(RequestingSink::Create(options)),
          Topology(BuildTopology(Source.Get(), Transform.Get(), Sink->StreamSink().Get()))
    {
        EXPECT_EQ(MFCreateMediaSession(nullptr, Session.GetAddressOf()), S_OK);
        Events = EventRecorder::Start(Session.Get());
    }
    ~Pipeline()
    {
        if (Session)
            (void)Session->Shutdown();
        (void)Source->Shutdown();
        (void)Transform->Shutdown(); // those of a topology the session never took
        (void)Sink->Shutdown();
        Events->Detach();
    }

    HRESULT SetTopology() { return Session->SetTopology(0, Topology.Get()); }
    HRESULT Start()
    {
        PROPVARIANT value { .vt = VT_I8 };
        return Session->Start(&GUID_NULL, &value);
    }
    // Topology set and ready, then started.
    void Play()
    {
        ASSERT_EQ(SetTopology(), S_OK);
        ASSERT_TRUE(Events->WaitFor(MESessionTopologyStatus)) << Events->Text();
        ASSERT_EQ(Start(), S_OK);
    }
    void Await(MediaEventType type, size_t occurrence = 1) { ASSERT_TRUE(Events->WaitFor(type, PatienceMilliseconds, occurrence)) << Events->Text(); }
    void StopAndClose()
    {
        ASSERT_EQ(Session->Stop(), S_OK);
        Await(MESessionStopped);
        ASSERT_EQ(Session->Close(), S_OK);
        Await(MESessionClosed);
    }
    bool AwaitSamples(size_t count) const
    {
        return Sink->Wait([count](const SinkStats& stats) { return stats.Indices.size() >= count; });
    }
    std::vector<MFT_MESSAGE_TYPE> Messages() const { return Transform->Counts().Messages; }
    // Every sample of a run of `count` once, in order, each one asked for, and no failure.
    void ExpectAllSamples(UINT32 count) const
    {
        const auto sink = Sink->Counts();
        EXPECT_EQ(sink.Indices, Indices(count));
        EXPECT_EQ(sink.Unrequested, 0u);
        EXPECT_TRUE(Events->Failures().empty()) << Events->Text();
    }
    // The session shut down the transform and the sink.
    void ExpectObjectsShutDown() const
    {
        EXPECT_TRUE(Transform->IsShutDown());
        EXPECT_TRUE(Sink->IsShutDown());
    }

    ComPtr<CountingSource> Source;
    ComPtr<PassThroughTransform> Transform;
    ComPtr<RequestingSink> Sink;
    ComPtr<IMFTopology> Topology;
    ComPtr<IMFMediaSession> Session;
    ComPtr<EventRecorder> Events;
};

using MediaSessionTest = PlatformTest;
} // namespace

// The pipeline's way through a run (as the driver's): ended -> Stop, stopped -> Close.
TEST_F(MediaSessionTest, ARunWithoutFailuresReportsTheWholeSequence)
{
    Pipeline run({ .SampleCount = 12 });
    run.Events->SetReaction([session = run.Session](const EventRecorder::Record& record) {
        if (record.Type == MESessionEnded || record.Type == MESessionStopped)
        {
            EXPECT_EQ(record.Type == MESessionEnded ? session->Stop() : session->Close(), S_OK);
        }
    });
    run.Play();
    run.Await(MESessionClosed);

    const auto records = run.Events->Records();
    ASSERT_EQ(run.Events->Types(), (std::vector<MediaEventType> { MESessionTopologySet, MESessionTopologyStatus, MESessionStarted,
                                                                   MESessionTopologyStatus, MESessionTopologyStatus, MESessionEnded,
                                                                   MESessionStopped, MESessionClosed }));
    EXPECT_TRUE(records[0].HasValue); // the topology
    EXPECT_EQ(records[1].TopologyStatus, static_cast<UINT32>(MF_TOPOSTATUS_READY));
    EXPECT_EQ(records[3].TopologyStatus, static_cast<UINT32>(MF_TOPOSTATUS_STARTED_SOURCE));
    EXPECT_EQ(records[4].TopologyStatus, static_cast<UINT32>(MF_TOPOSTATUS_ENDED));

    // The sink finalized after the end marker.
    run.ExpectAllSamples(12);
    const auto sink = run.Sink->Counts();
    const auto transform = run.Transform->Counts();
    EXPECT_EQ(sink.Markers, 1u);
    EXPECT_EQ(sink.Finalized, 1u);
    EXPECT_EQ(run.Source->Counts().Requests, 13u); // twelve samples and the end of stream
    EXPECT_EQ(transform.NotAccepting + transform.Unexpected, 0u);
    // Drain before end of stream; flush and end of streaming at the stop.
    EXPECT_EQ(transform.Messages,
              (std::vector<MFT_MESSAGE_TYPE> { MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, MFT_MESSAGE_NOTIFY_START_OF_STREAM, MFT_MESSAGE_COMMAND_DRAIN,
                                               MFT_MESSAGE_NOTIFY_END_OF_STREAM, MFT_MESSAGE_COMMAND_FLUSH, MFT_MESSAGE_NOTIFY_END_STREAMING }));
    EXPECT_EQ(run.Source->Counts().Starts, 1u);
    EXPECT_EQ(run.Source->Counts().Stops, 1u);

    // The session's clock reached every object; the source's media type reached the sink.
    ComPtr<IMFClock> clock;
    ASSERT_EQ(run.Session->GetClock(clock.GetAddressOf()), S_OK);
    for (IMFClockConsumer* consumer : std::initializer_list<IMFClockConsumer*> { run.Source.Get(), run.Transform.Get() })
    {
        ComPtr<IMFPresentationClock> held;
        EXPECT_EQ(consumer->GetPresentationClock(held.GetAddressOf()), S_OK);
        EXPECT_EQ(static_cast<IUnknown*>(held.Get()), static_cast<IUnknown*>(clock.Get()));
    }
    ASSERT_TRUE(sink.CurrentType);
    GUID subtype = GUID_NULL;
    EXPECT_EQ(sink.CurrentType->GetGUID(MF_MT_SUBTYPE, &subtype), S_OK);
    EXPECT_EQ(subtype, MFVideoFormat_ARGB32);

    // Shutdown: the transform and the sink are shut down, the source is left to its owner.
    EXPECT_EQ(run.Session->Shutdown(), S_OK);
    run.ExpectObjectsShutDown();
    EXPECT_FALSE(run.Source->IsShutDown());
}

// Every call refused after Close and after Shutdown; Close stops what runs.
TEST_F(MediaSessionTest, CallsAfterCloseAndAfterShutdown)
{
    Pipeline run;
    run.Play();
    run.Await(MESessionStarted);
    ASSERT_EQ(run.Session->Close(), S_OK);
    for (HRESULT hr : { run.Session->Close(), run.Start(), run.Session->Stop(), run.SetTopology() })
        EXPECT_EQ(hr, MF_E_INVALIDREQUEST);
    run.Await(MESessionClosed);
    EXPECT_EQ(run.Messages().back(), MFT_MESSAGE_NOTIFY_END_STREAMING);

    ASSERT_EQ(run.Session->Shutdown(), S_OK);
    ComPtr<IMFMediaEvent> event;
    ComPtr<IMFClock> clock;
    DWORD capabilities = 0;
    ComPtr<IMFTopology> topology;
    for (HRESULT hr : { run.Session->Shutdown(), run.Start(), run.Session->Stop(), run.Session->Close(), run.SetTopology(),
                        run.Session->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()), run.Session->BeginGetEvent(run.Events.Get(), nullptr),
                        run.Session->QueueEvent(MEError, GUID_NULL, E_FAIL, nullptr), run.Session->GetClock(clock.GetAddressOf()),
                        run.Session->GetSessionCapabilities(&capabilities), run.Session->GetFullTopology(1, 0, topology.GetAddressOf()) })
        EXPECT_EQ(hr, MF_E_SHUTDOWN);
}

TEST_F(MediaSessionTest, ArgumentsAndRequestsOutOfOrder)
{
    EXPECT_EQ(MFCreateMediaSession(nullptr, nullptr), E_POINTER);
    Pipeline run;
    PROPVARIANT position {};
    EXPECT_EQ(run.Session->Start(&GUID_NULL, nullptr), E_INVALIDARG);
    position.vt = VT_R8;
    EXPECT_EQ(run.Session->Start(&GUID_NULL, &position), MF_E_UNSUPPORTED_TIME_FORMAT);
    position.vt = VT_EMPTY;
    EXPECT_EQ(run.Session->Start(&MFMediaType_Video, &position), MF_E_UNSUPPORTED_TIME_FORMAT);
    EXPECT_EQ(run.Session->SetTopology(0, nullptr), E_INVALIDARG);
    DWORD capabilities = 0;
    EXPECT_EQ(run.Session->GetSessionCapabilities(&capabilities), S_OK);
    EXPECT_EQ(capabilities, 1u);
    ComPtr<IMFTopology> topology;
    EXPECT_EQ(run.Session->GetFullTopology(1, 0, topology.GetAddressOf()), MF_E_NOT_FOUND);

    // Start before any topology: refused through its event. Stop of an idle session: at once.
    ASSERT_EQ(run.Session->Start(nullptr, &position), S_OK);
    run.Await(MESessionStarted);
    EXPECT_EQ(run.Events->Of(MESessionStarted)[0].Status, MF_E_INVALIDREQUEST);
    ASSERT_EQ(run.Session->Stop(), S_OK);
    run.Await(MESessionStopped);
    EXPECT_EQ(run.Events->Of(MESessionStopped)[0].Status, S_OK);

    // A second topology is refused; the first one is kept and plays.
    ASSERT_EQ(run.SetTopology(), S_OK);
    ASSERT_EQ(run.SetTopology(), S_OK);
    run.Await(MESessionTopologySet, 2);
    const auto set = run.Events->Of(MESessionTopologySet);
    EXPECT_EQ(set[0].Status, S_OK);
    EXPECT_EQ(set[1].Status, MF_E_INVALIDREQUEST);
    EXPECT_EQ(run.Session->GetFullTopology(1, 0, topology.GetAddressOf()), S_OK);
    EXPECT_EQ(topology.Get(), run.Topology.Get());
    ASSERT_EQ(run.Start(), S_OK);
    run.Await(MESessionEnded);
}

// A topology the session cannot play is reported as MESessionTopologySet's status, and the
// session stays ready for a good one.
TEST_F(MediaSessionTest, TopologiesThatCannotPlay)
{
    auto node = [](Pipeline& run, WORD index) {
        ComPtr<IMFTopologyNode> node;
        EXPECT_EQ(run.Topology->GetNode(index, node.GetAddressOf()), S_OK);
        return node;
    };
    const std::pair<HRESULT, std::function<void(Pipeline&)>> cases[] = {
        { MF_E_TOPO_MISSING_SOURCE, [&](Pipeline& run) { node(run, 0)->DeleteItem(MF_TOPONODE_SOURCE); } },
        { MF_E_TOPO_MISSING_PRESENTATION_DESCRIPTOR, [&](Pipeline& run) { node(run, 0)->DeleteItem(MF_TOPONODE_PRESENTATION_DESCRIPTOR); } },
        { MF_E_TOPO_MISSING_STREAM_DESCRIPTOR, [&](Pipeline& run) { node(run, 0)->DeleteItem(MF_TOPONODE_STREAM_DESCRIPTOR); } },
        { MF_E_TOPO_STREAM_DESCRIPTOR_NOT_SELECTED, [](Pipeline& run) { run.Source->Descriptor()->DeselectStream(0); } },
        { MF_E_TOPO_UNSUPPORTED, [&](Pipeline& run) { node(run, 1)->DisconnectOutput(0); } },
        { MF_E_TOPO_UNSUPPORTED, [&](Pipeline& run) { node(run, 1)->SetObject(nullptr); } },
        { MF_E_TOPO_UNSUPPORTED, // a synchronous transform
          [](Pipeline& run) {
              ComPtr<IMFAttributes> attributes;
              run.Transform->GetAttributes(attributes.GetAddressOf());
              attributes->SetUINT32(MF_TRANSFORM_ASYNC, 0);
          } },
        { MF_E_TOPO_UNSUPPORTED, [&](Pipeline& run) { node(run, 2)->SetObject(VideoType(MFVideoFormat_NV12).Get()); } },
        { MF_E_TOPO_UNSUPPORTED, // a tee node
          [](Pipeline& run) {
              ComPtr<IMFTopologyNode> tee;
              MFCreateTopologyNode(MF_TOPOLOGY_TEE_NODE, tee.GetAddressOf());
              run.Topology->AddNode(tee.Get());
          } },
    };
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        SCOPED_TRACE(i);
        Pipeline run;
        cases[i].second(run);
        ASSERT_EQ(run.SetTopology(), S_OK);
        run.Await(MESessionTopologySet);
        EXPECT_EQ(run.Events->Of(MESessionTopologySet)[0].Status, cases[i].first);
        EXPECT_TRUE(run.Events->Of(MESessionTopologySet)[0].HasValue);

        Pipeline good;
        ASSERT_EQ(run.Session->SetTopology(0, good.Topology.Get()), S_OK);
        run.Await(MESessionTopologyStatus);
        EXPECT_EQ(run.Events->Of(MESessionTopologyStatus).size(), 1u);
        ASSERT_EQ(run.Session->Shutdown(), S_OK);
    }
}

// The sink is slow and the transform holds at most two samples: nothing is lost, reordered or
// pushed on anybody who did not ask for it.
TEST_F(MediaSessionTest, BackPressureFromASlowSinkAndAFewBuffers)
{
    Pipeline run({ .SampleCount = 40, .Buffers = 2, .Mode = RequestMode::Delayed });
    run.Play();
    run.Await(MESessionEnded);
    run.ExpectAllSamples(40);
    EXPECT_LE(run.Transform->Counts().MaximumHeld, 2u);
    EXPECT_EQ(run.Transform->Counts().NotAccepting, 0u);
    EXPECT_EQ(run.Source->Counts().Requests, 41u);
    run.StopAndClose();
}

// Samples wait, in order, until the sink asks; the end comes only after the last one went (and,
// for a sink without finalization, as soon as its marker is back).
TEST_F(MediaSessionTest, OutputsWaitForTheSinksRequests)
{
    Pipeline run({ .SampleCount = 5, .Buffers = 1, .Mode = RequestMode::Manual, .Finalizable = false });
    run.Play();
    ASSERT_TRUE(run.Transform->Wait([](const TransformStats& stats) { return stats.Outputs >= 4; }));
    EXPECT_TRUE(run.Sink->Counts().Indices.empty());
    run.Sink->Grant(2);
    ASSERT_TRUE(run.AwaitSamples(2));
    EXPECT_TRUE(run.Events->Of(MESessionEnded).empty());
    EXPECT_EQ(run.Sink->Counts().Markers, 0u);
    run.Sink->Grant(3);
    run.Await(MESessionEnded);
    run.ExpectAllSamples(5);
    EXPECT_EQ(run.Sink->Counts().Markers, 1u);
    EXPECT_EQ(run.Sink->Counts().Finalized, 0u);
    EXPECT_LE(run.Transform->Counts().MaximumHeld, 1u);
    run.StopAndClose();
}

// A sink that stops asking holds the source back: the session keeps a few outputs for it,
// not all the transform can make meanwhile, and asks for more as the sink takes them.
TEST_F(MediaSessionTest, AStalledSinkHoldsTheSourceBack)
{
    Pipeline run({ .SampleCount = 1000000, .Mode = RequestMode::Manual });
    run.Play();
    run.Sink->Grant(1);
    ASSERT_TRUE(run.AwaitSamples(1));
    // An unbounded queue passes thousands of requests within this look.
    EXPECT_FALSE(run.Source->Wait([](const SourceStats& stats) { return stats.Requests > 16; }, 500));
    run.Sink->Grant(20);
    ASSERT_TRUE(run.AwaitSamples(21));
    run.ExpectAllSamples(21);
    run.StopAndClose();
}

// The format change is the output its METransformHaveOutput announced: the new type goes to
// the sink between the samples before and after it, and no extra ProcessOutput is made.
TEST_F(MediaSessionTest, FormatChangeMidStream)
{
    Pipeline run({ .SampleCount = 8, .Buffers = 3, .FormatChangeAt = 3 });
    run.Play();
    run.Await(MESessionEnded);
    run.ExpectAllSamples(8);
    const auto sink = run.Sink->Counts();
    EXPECT_EQ(sink.TypeChanges, 2u); // the topology's, then the change
    EXPECT_EQ(sink.TypeChangeBeforeSample, 3u);
    ASSERT_TRUE(sink.CurrentType);
    EXPECT_EQ(MFGetAttributeUINT32(sink.CurrentType.Get(), FormatChangeKey, 0), 3u);
    ComPtr<IMFMediaType> output;
    ASSERT_EQ(run.Transform->GetOutputCurrentType(0, output.GetAddressOf()), S_OK);
    EXPECT_EQ(MFGetAttributeUINT32(output.Get(), FormatChangeKey, 0), 3u);
    EXPECT_EQ(run.Transform->Counts().Unexpected, 0u);
    run.StopAndClose();
}

// Stop while samples flow, then play again from the start of the stream.
TEST_F(MediaSessionTest, StopDuringStreamingAndStartAgain)
{
    Pipeline run({ .SampleCount = 1000000 });
    run.Play();
    ASSERT_TRUE(run.AwaitSamples(5));
    ASSERT_EQ(run.Session->Stop(), S_OK);
    run.Await(MESessionStopped);
    EXPECT_TRUE(run.Events->Of(MESessionEnded).empty());
    const auto messages = run.Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ(messages[messages.size() - 2], MFT_MESSAGE_COMMAND_FLUSH);
    EXPECT_EQ(messages.back(), MFT_MESSAGE_NOTIFY_END_STREAMING);
    EXPECT_EQ(run.Source->Counts().Stops, 1u);
    ComPtr<IMFClock> clock;
    ASSERT_EQ(run.Session->GetClock(clock.GetAddressOf()), S_OK);
    MFCLOCK_STATE state = MFCLOCK_STATE_INVALID;
    EXPECT_EQ(clock->GetState(0, &state), S_OK);
    EXPECT_EQ(state, MFCLOCK_STATE_STOPPED);

    const size_t before = run.Sink->Counts().Indices.size();
    ASSERT_EQ(run.Start(), S_OK);
    run.Await(MESessionStarted, 2);
    ASSERT_TRUE(run.AwaitSamples(before + 5));
    // The second start's samples begin again at 0 and follow each other.
    const auto indices = run.Sink->Counts().Indices;
    auto restart = std::find(indices.begin() + 1, indices.end(), 0u);
    ASSERT_NE(restart, indices.end());
    for (auto it = restart; it + 1 != indices.end(); ++it)
        EXPECT_EQ(*(it + 1), *it + 1);
    EXPECT_EQ(run.Source->Counts().Starts, 2u);
    EXPECT_TRUE(run.Events->Failures().empty());
    run.StopAndClose();
}

// A failure of any object at any stage is reported once, and the session can still be stopped,
// closed and shut down without waiting for the object that failed.
TEST_F(MediaSessionTest, EachFailureIsReportedOnceAndNothingHangs)
{
    constexpr HRESULT Failure = MakeHResult(0x80AB0001);
    const std::tuple<Fail, MediaEventType, HRESULT> cases[] = {
        { Fail::SourceStart, MESessionStarted, Failure },       { Fail::SourceStartStatus, MESessionStarted, Failure },
        { Fail::RequestSample, MEError, Failure },              { Fail::SourceError, MEError, Failure },
        { Fail::StreamError, MEError, Failure },                { Fail::SourceStop, MESessionStopped, Failure },
        { Fail::SourceStopStatus, MESessionStopped, Failure },  { Fail::StartOfStream, MESessionStarted, Failure },
        { Fail::None, MESessionStarted, MF_E_TRANSFORM_ASYNC_LOCKED }, // the transform still locked
        { Fail::ClockStart, MESessionStarted, Failure },        { Fail::ProcessInput, MEError, Failure },
        { Fail::ProcessOutput, MEError, Failure },              { Fail::TransformError, MEError, Failure },
        { Fail::Drain, MEError, Failure },                      { Fail::EndOfStream, MEError, Failure },
        { Fail::SinkClock, MESessionStarted, Failure },         { Fail::ProcessSample, MEError, Failure },
        { Fail::SinkError, MEError, Failure },                  { Fail::PlaceMarker, MEError, Failure },
        { Fail::MarkerStatus, MEError, Failure },               { Fail::BeginFinalize, MEError, Failure },
        { Fail::EndFinalize, MEError, Failure },
    };
    for (const auto& [fail, reported, status] : cases)
    {
        SCOPED_TRACE(static_cast<int>(fail));
        Pipeline run({ .Unlocked = fail != Fail::None, .Failure = fail, .FailAt = 2, .FailResult = Failure });
        run.Play();
        // A run that fails at its stop first ends normally, and its failure comes with MESessionStopped.
        const bool atStop = reported == MESessionStopped;
        run.Await(atStop ? MESessionEnded : reported);
        run.StopAndClose();
        const auto failures = run.Events->Failures();
        ASSERT_EQ(failures.size(), 1u) << run.Events->Text();
        EXPECT_EQ(failures[0].Type, reported);
        EXPECT_EQ(failures[0].Status, status);
        EXPECT_EQ(run.Events->Of(MESessionEnded).size(), atStop ? 1u : 0u);
        EXPECT_EQ(run.Events->Of(MESessionStopped).size(), 1u);
        EXPECT_EQ(run.Session->Shutdown(), S_OK);
        run.ExpectObjectsShutDown();
    }
}

// An object that never answers holds up only the command waiting for it: Stop waits for the
// drain that never completes to be abandoned, a stop that never completes is cut by Shutdown.
TEST_F(MediaSessionTest, SilentObjectsDoNotHoldUpStopOrShutdown)
{
    {
        Pipeline run({ .SampleCount = 6, .Failure = Fail::DrainSilent });
        run.Play();
        ASSERT_TRUE(run.AwaitSamples(6));
        run.StopAndClose();
        EXPECT_TRUE(run.Events->Of(MESessionEnded).empty());
        EXPECT_TRUE(run.Events->Failures().empty());
    }
    Pipeline run({ .SampleCount = 6, .Failure = Fail::SourceStopSilent });
    run.Play();
    run.Await(MESessionEnded);
    ASSERT_EQ(run.Session->Stop(), S_OK);
    ASSERT_EQ(run.Session->Close(), S_OK);
    EXPECT_TRUE(run.Source->Wait([](const SourceStats& stats) { return stats.Stops == 1; }));
    EXPECT_EQ(run.Session->Shutdown(), S_OK);
    run.ExpectObjectsShutDown();
    EXPECT_TRUE(run.Events->Of(MESessionClosed).empty());
}

// After Shutdown the session lets go of every object (the topology aside, which the caller holds).
TEST_F(MediaSessionTest, ShutdownLetsGoOfTheObjects)
{
    Pipeline run({ .SampleCount = 3 });
    run.Play();
    run.Await(MESessionEnded);
    run.StopAndClose();
    ASSERT_EQ(run.Session->Shutdown(), S_OK);
    run.Session = nullptr;
    run.Topology = nullptr;
    run.Events->Detach();
    EXPECT_TRUE(WaitUntil([&] { return RefCount(static_cast<IMFTransform*>(run.Transform.Get())) == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return RefCount(static_cast<IMFMediaSink*>(run.Sink.Get())) == 1; }));
    // The source keeps what it holds itself (its stream) until its owner shuts it down.
    ASSERT_EQ(run.Source->Shutdown(), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return RefCount(static_cast<IMFMediaSource*>(run.Source.Get())) == 1; }));
}

// The last MFShutdown shuts down the sessions left open.
TEST_F(MediaSessionTest, MFShutdownShutsOpenSessionsDown)
{
    auto run = std::make_unique<Pipeline>(Options { .SampleCount = 1000000 });
    run->Play();
    ASSERT_TRUE(run->AwaitSamples(3));
    ASSERT_EQ(MFShutdown(), S_OK);
    run->ExpectObjectsShutDown();
    EXPECT_EQ(run->Session->Stop(), MF_E_SHUTDOWN);
    run.reset();
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK); // for the fixture's own MFShutdown
}

// Sixteen pipelines at once on the shared worker pool, as a run of the tool makes them. Each
// pipeline's handler of the session's events blocks on a worker once, until all sixteen block:
// the pool stands in for blocked workers, so more block than it has threads.
TEST_F(MediaSessionTest, SixteenSessionsAtOnce)
{
    Sync::Event allBlocked(Sync::Event::ResetMode::Manual);
    std::atomic<int> blocked { 0 };
    const auto blockOnce = [&](const EventRecorder::Record& record) {
        if (record.Type != MESessionStarted)
            return;
        if (++blocked < 16)
        {
            EXPECT_TRUE(allBlocked.Wait(PatienceMilliseconds));
        }
        allBlocked.Set(); // by the sixteenth, or after a failure so that the others need not wait it out
    };
    std::vector<std::unique_ptr<Pipeline>> runs;
    for (UINT32 i = 0; i < 16; ++i)
    {
        runs.push_back(std::make_unique<Pipeline>(
            Options { .SampleCount = 30, .Buffers = 1 + i % 4, .Mode = i % 2 ? RequestMode::Auto : RequestMode::Delayed }));
        runs.back()->Events->SetReaction(blockOnce);
    }
    for (auto& run : runs)
        ASSERT_EQ(run->SetTopology(), S_OK);
    for (auto& run : runs)
        run->Await(MESessionTopologyStatus);
    for (auto& run : runs)
        ASSERT_EQ(run->Start(), S_OK);
    for (auto& run : runs)
        run->Await(MESessionEnded);
    for (auto& run : runs)
        ASSERT_EQ(run->Session->Stop(), S_OK);
    for (auto& run : runs)
    {
        run->Await(MESessionStopped);
        ASSERT_EQ(run->Session->Close(), S_OK);
    }
    for (auto& run : runs)
    {
        run->Await(MESessionClosed);
        run->ExpectAllSamples(30);
    }
}

TEST(MediaSessionPlatform, NeedsThePlatformStarted)
{
    ComPtr<IMFMediaSession> session;
    EXPECT_TRUE(FAILED(MFCreateMediaSession(nullptr, session.GetAddressOf())));
    EXPECT_FALSE(session);
}
