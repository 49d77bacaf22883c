// The media session driving the real source, encoder and sink (whole runs with the encoder's
// format change, stop and start again, many sessions at once), and driving the real encoder
// between the doubles of a source and a sink for what the real ends never do: fail a call, never
// answer, stall.

#include "SessionTestSupport.h"

#include "fakes/Events.h"
#include "fakes/SessionDoubles.h"
#include "media/NullMediaSink/NullMediaSink.h"
#include "media/VideoMediaSource/VideoMediaSource.h"
#include "media/XevEncodeTransform/XevDefaultDeviceManager.h"
#include "media/XevEncodeTransform/XevEncodeTransform.h"
#include "platform/system/Event.h"

#include <atomic>
#include <memory>

using namespace SessionDoubles;
using namespace SessionTest;

namespace
{
// 64x64 frames of `subtype` at 30 per second.
ComPtr<IMFMediaType> FrameType(REFGUID subtype)
{
    auto type = VideoType(subtype, 64, 64);
    EXPECT_EQ(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1), S_OK);
    EXPECT_EQ(type->SetUINT32(MF_MT_INTERLACE_MODE, 2), S_OK);
    return type;
}

// A session with a recorder of its events and the tool's encoder (on the software adapter) for
// frames of `input`; the session and the source are shut down when it goes.
struct Run
{
    explicit Run(IMFMediaType* input)
    {
        EXPECT_EQ(MFCreateMediaSession(nullptr, Session.GetAddressOf()), S_OK);
        Events = EventRecorder::Start(Session.Get());
        ComPtr<IMFAttributes> attributes;
        EXPECT_EQ(Transform->GetAttributes(attributes.GetAddressOf()), S_OK);
        EXPECT_EQ(attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1), S_OK);
        EXPECT_EQ(Transform->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(Manager.Get())), S_OK);
        auto output = FrameType(MFVideoFormat_H264);
        EXPECT_EQ(output->SetUINT32(MF_MT_AVG_BITRATE, 1'000'000), S_OK);
        EXPECT_EQ(Transform->SetOutputType(0, output.Get(), 0), S_OK);
        EXPECT_EQ(Transform->SetInputType(0, input, 0), S_OK);
    }
    virtual ~Run()
    {
        if (Session)
            (void)Session->Shutdown();
        if (Source)
            (void)Source->Shutdown();
        Events->Detach();
    }
    // The topology over `source`'s first stream.
    void Connect(IMFMediaSource* source, IMFStreamSink* sink)
    {
        Source = source;
        ComPtr<IMFPresentationDescriptor> descriptor;
        ComPtr<IMFStreamDescriptor> stream;
        BOOL selected = 0;
        EXPECT_EQ(Source->CreatePresentationDescriptor(descriptor.GetAddressOf()), S_OK);
        EXPECT_EQ(descriptor->GetStreamDescriptorByIndex(0, &selected, stream.GetAddressOf()), S_OK);
        Topology = BuildTopology(source, descriptor.Get(), stream.Get(), Transform.Get(), sink);
    }
    HRESULT SetTopology() { return Session->SetTopology(0, Topology.Get()); }
    HRESULT Start()
    {
        PROPVARIANT position { .vt = VT_I8 };
        return Session->Start(&GUID_NULL, &position);
    }
    // Topology set and ready, then started.
    void Play()
    {
        ASSERT_EQ(SetTopology(), S_OK);
        Await(MESessionTopologyStatus);
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
    bool TransformIsShutDown() { return Transform->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0) == MF_E_SHUTDOWN; }

    ComPtr<XevDefaultDeviceManager> Manager = XevDefaultDeviceManager::Create(true);
    ComPtr<XevEncodeTransform> Transform = Make<XevEncodeTransform>();
    ComPtr<IMFMediaSource> Source;
    ComPtr<IMFTopology> Topology;
    ComPtr<IMFMediaSession> Session;
    ComPtr<EventRecorder> Events;
};

// The tool's pipeline of real objects: drawn 64x64 ARGB frames at 30 per second (as fast as asked:
// no system clock), the encoder, the null sink keeping each sample's time.
struct RealRun : Run
{
    explicit RealRun(std::optional<LONGLONG> duration) : Run(FrameType(MFVideoFormat_ARGB32).Get())
    {
        auto source = Make<VideoMediaSource>();
        source->Initialize(nullptr, FrameType(MFVideoFormat_ARGB32).Get(), duration);
        source->SetBaseTime(FILETIME {});
        Sink->GetStream()->SetSampleCallback([this](IMFSample* sample) {
            LONGLONG time = -1;
            (void)sample->GetSampleTime(&time);
            std::lock_guard lock(m_Lock);
            m_Times.push_back(time);
        });
        Connect(source.Get(), Sink->GetStream());
    }
    std::vector<LONGLONG> Times() const
    {
        std::lock_guard lock(m_Lock);
        return m_Times;
    }

    ComPtr<NullMediaSink> Sink = Make<NullMediaSink>();

private:
    mutable std::mutex m_Lock; // guards m_Times
    std::vector<LONGLONG> m_Times;
};

// The times of frames 0..count-1 at 30 per second (of the doubles: `duration` each).
std::vector<LONGLONG> FrameTimes(LONGLONG count, LONGLONG duration = 0)
{
    std::vector<LONGLONG> times(count);
    for (LONGLONG i = 0; i < count; ++i)
        times[i] = duration ? i * duration : i * 10'000'000 / 30;
    return times;
}

// The encoder between the doubles of a source of blank NV12 frames and a sink.
struct FaultyRun : Run
{
    explicit FaultyRun(Options options = {}) : Run(FrameType(MFVideoFormat_NV12).Get())
    {
        options.FrameBytes = 64 * 64 * 3 / 2;
        Doubles = Make<CountingSource>(options, FrameType(MFVideoFormat_NV12).Get());
        Sink = Make<RequestingSink>(options);
        Connect(Doubles.Get(), Sink->StreamSink());
    }
    ~FaultyRun() override
    {
        (void)Transform->Shutdown(); // those of a topology the session never took
        (void)Sink->Shutdown();
    }
    bool AwaitSamples(size_t count) const
    {
        return Sink->Wait([count](const SinkStats& stats) { return stats.Times.size() >= count; }, PatienceMilliseconds);
    }
    // Samples 0..count-1 once, in order, each one asked for, no failure.
    void ExpectAllSamples(UINT32 count) const
    {
        EXPECT_EQ(Sink->Counts().Times, FrameTimes(count, 333'333));
        EXPECT_EQ(Sink->Counts().Unrequested, 0u);
        EXPECT_TRUE(Events->Failures().empty()) << Events->Text();
    }

    ComPtr<CountingSource> Doubles;
    ComPtr<RequestingSink> Sink;
};

using MediaSessionTest = PlatformTest;
} // namespace

// The pipeline's way through a run (as the driver's): ended -> Stop, stopped -> Close. The
// encoder's sequence header reaches the sink as a format change; Shutdown shuts the transform and
// the sink down and leaves the source to its owner.
TEST_F(MediaSessionTest, ARunOfTheRealObjectsReportsTheWholeSequence)
{
    RealRun run(10 * 10'000'000 / 30);
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
    EXPECT_TRUE(run.Events->Failures().empty()) << run.Events->Text();
    EXPECT_EQ(run.Times(), FrameTimes(10));
    ComPtr<IMFMediaType> type;
    UINT32 header = 0;
    ASSERT_EQ(run.Sink->GetStream()->GetCurrentMediaType(type.GetAddressOf()), S_OK);
    EXPECT_EQ(type->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &header), S_OK);
    EXPECT_GT(header, 0u);

    ASSERT_EQ(run.Session->Shutdown(), S_OK);
    EXPECT_EQ(run.Transform->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0), MF_E_SHUTDOWN);
    EXPECT_EQ(run.Sink->GetStream()->Flush(), MF_E_SHUTDOWN);
    ComPtr<IMFPresentationDescriptor> descriptor;
    EXPECT_EQ(run.Source->CreatePresentationDescriptor(descriptor.GetAddressOf()), S_OK);
}

// Stop while frames flow, then play again from the start of the stream.
TEST_F(MediaSessionTest, StopDuringStreamingAndStartAgain)
{
    RealRun run(std::nullopt);
    run.Play();
    ASSERT_TRUE(WaitUntil([&] { return run.Times().size() >= 3; }));
    ASSERT_EQ(run.Session->Stop(), S_OK);
    run.Await(MESessionStopped);
    EXPECT_TRUE(run.Events->Of(MESessionEnded).empty());
    ComPtr<IMFClock> clock;
    MFCLOCK_STATE state = MFCLOCK_STATE_INVALID;
    ASSERT_EQ(run.Session->GetClock(clock.GetAddressOf()), S_OK);
    EXPECT_EQ(clock->GetState(0, &state), S_OK);
    EXPECT_EQ(state, MFCLOCK_STATE_STOPPED);

    const size_t before = run.Times().size();
    ASSERT_EQ(run.Start(), S_OK);
    run.Await(MESessionStarted, 2);
    ASSERT_TRUE(WaitUntil([&] { return run.Times().size() >= before + 3; }));
    run.StopAndClose();
    // Each start's frames begin again at 0 and follow each other.
    const auto times = run.Times();
    EXPECT_EQ(std::vector<LONGLONG>(times.begin(), times.begin() + before), FrameTimes(before));
    EXPECT_EQ(std::vector<LONGLONG>(times.begin() + before, times.end()), FrameTimes(times.size() - before));
    EXPECT_TRUE(run.Events->Failures().empty()) << run.Events->Text();
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
    std::vector<std::unique_ptr<RealRun>> runs;
    for (int i = 0; i < 16; ++i)
    {
        runs.push_back(std::make_unique<RealRun>(5 * 10'000'000 / 30));
        runs.back()->Events->SetReaction(blockOnce);
    }
    for (auto& run : runs)
        ASSERT_EQ(run->SetTopology(), S_OK);
    for (auto& run : runs)
        run->Await(MESessionTopologyStatus);
    for (auto& run : runs)
        ASSERT_EQ(run->Start(), S_OK);
    for (auto& run : runs)
    {
        run->Await(MESessionEnded);
        run->StopAndClose();
        EXPECT_EQ(run->Times(), FrameTimes(5));
        EXPECT_TRUE(run->Events->Failures().empty()) << run->Events->Text();
    }
}

// Every call refused after Close and after Shutdown; Close stops what runs.
TEST_F(MediaSessionTest, CallsAfterCloseAndAfterShutdown)
{
    FaultyRun run({ .SampleCount = 1000000 });
    run.Play();
    run.Await(MESessionStarted);
    ASSERT_EQ(run.Session->Close(), S_OK);
    for (HRESULT hr : { run.Session->Close(), run.Start(), run.Session->Stop(), run.SetTopology() })
        EXPECT_EQ(hr, MF_E_INVALIDREQUEST);
    run.Await(MESessionClosed);
    EXPECT_EQ(run.Doubles->Counts().Stops, 1u);

    ASSERT_EQ(run.Session->Shutdown(), S_OK);
    ComPtr<IMFMediaEvent> event;
    for (HRESULT hr : { run.Session->Shutdown(), run.Start(), run.Session->Close(), run.SetTopology(),
                        run.Session->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()) })
        EXPECT_EQ(hr, MF_E_SHUTDOWN);
}

TEST_F(MediaSessionTest, ArgumentsAndRequestsOutOfOrder)
{
    FaultyRun run;
    PROPVARIANT position { .vt = VT_R8 };
    EXPECT_EQ(run.Session->Start(&GUID_NULL, &position), MF_E_UNSUPPORTED_TIME_FORMAT);
    position.vt = VT_EMPTY;
    ComPtr<IMFTopology> topology;

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
    const auto node = [](FaultyRun& run, WORD index) {
        ComPtr<IMFTopologyNode> node;
        EXPECT_EQ(run.Topology->GetNode(index, node.GetAddressOf()), S_OK);
        return node;
    };
    const std::pair<HRESULT, std::function<void(FaultyRun&)>> cases[] = {
        { MF_E_TOPO_MISSING_SOURCE, [&](FaultyRun& run) { node(run, 0)->DeleteItem(MF_TOPONODE_SOURCE); } },
        { MF_E_TOPO_MISSING_PRESENTATION_DESCRIPTOR, [&](FaultyRun& run) { node(run, 0)->DeleteItem(MF_TOPONODE_PRESENTATION_DESCRIPTOR); } },
        { MF_E_TOPO_MISSING_STREAM_DESCRIPTOR, [&](FaultyRun& run) { node(run, 0)->DeleteItem(MF_TOPONODE_STREAM_DESCRIPTOR); } },
        { MF_E_TOPO_STREAM_DESCRIPTOR_NOT_SELECTED,
          [&](FaultyRun& run) {
              ComPtr<IMFPresentationDescriptor> descriptor;
              node(run, 0)->GetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, IidOf<IMFPresentationDescriptor>, reinterpret_cast<void**>(descriptor.GetAddressOf()));
              descriptor->DeselectStream(0);
          } },
        { MF_E_TOPO_UNSUPPORTED, [&](FaultyRun& run) { node(run, 1)->DisconnectOutput(0); } },
        { MF_E_TOPO_UNSUPPORTED, [&](FaultyRun& run) { node(run, 1)->SetObject(nullptr); } },
        { MF_E_TOPO_UNSUPPORTED, // a synchronous transform
          [](FaultyRun& run) {
              ComPtr<IMFAttributes> attributes;
              run.Transform->GetAttributes(attributes.GetAddressOf());
              attributes->SetUINT32(MF_TRANSFORM_ASYNC, 0);
          } },
        { MF_E_TOPO_UNSUPPORTED, [&](FaultyRun& run) { node(run, 2)->SetObject(VideoType(MFVideoFormat_NV12).Get()); } },
        { MF_E_TOPO_UNSUPPORTED, // a tee node
          [](FaultyRun& run) {
              ComPtr<IMFTopologyNode> tee;
              MFCreateTopologyNode(MF_TOPOLOGY_TEE_NODE, tee.GetAddressOf());
              run.Topology->AddNode(tee.Get());
          } },
    };
    for (size_t i = 0; i < std::size(cases); ++i)
    {
        SCOPED_TRACE(i);
        FaultyRun run;
        cases[i].second(run);
        ASSERT_EQ(run.SetTopology(), S_OK);
        run.Await(MESessionTopologySet);
        EXPECT_EQ(run.Events->Of(MESessionTopologySet)[0].Status, cases[i].first);
        EXPECT_TRUE(run.Events->Of(MESessionTopologySet)[0].HasValue);

        FaultyRun good;
        ASSERT_EQ(run.Session->SetTopology(0, good.Topology.Get()), S_OK);
        run.Await(MESessionTopologyStatus);
        EXPECT_EQ(run.Events->Of(MESessionTopologyStatus).size(), 1u);
        ASSERT_EQ(run.Session->Shutdown(), S_OK);
    }
}

// A sink that stops asking holds the source back: the session keeps a few outputs for it, not all
// the transform can make meanwhile, and hands them over, in order, as the sink asks. The end comes
// only after the last sample went (for a sink without finalization, as soon as its marker is back).
TEST_F(MediaSessionTest, AStalledSinkHoldsTheSourceBack)
{
    FaultyRun run({ .SampleCount = 40, .Manual = true, .Finalizable = false });
    run.Play();
    run.Sink->Grant(1);
    ASSERT_TRUE(run.AwaitSamples(1));
    // An unbounded queue passes all forty requests within this look.
    EXPECT_FALSE(run.Doubles->Wait([](const SourceStats& stats) { return stats.Requests > 16; }, 500));
    run.Sink->Grant(20);
    ASSERT_TRUE(run.AwaitSamples(21));
    EXPECT_TRUE(run.Events->Of(MESessionEnded).empty());
    EXPECT_EQ(run.Sink->Counts().Markers, 0u);
    run.Sink->Grant(19);
    run.Await(MESessionEnded);
    run.ExpectAllSamples(40);
    EXPECT_EQ(run.Sink->Counts().Markers, 1u);
    EXPECT_EQ(run.Sink->Counts().Finalized, 0u);
    run.StopAndClose();
}

// A failure of any object at any stage is reported once (as the status of the event of the
// command waiting, else as MEError), and the session can still be stopped, closed and shut down
// without waiting for the object that failed; shut down, it lets go of every object.
TEST_F(MediaSessionTest, EachFailureIsReportedOnceAndNothingHangs)
{
    constexpr HRESULT Failure = MakeHResult(0x80AB0001);
    const struct
    {
        Fail Failure;
        MediaEventType Reported;
        HRESULT Result = MakeHResult(0x80AB0001);
    } cases[] = {
        { Fail::SourceStart, MESessionStarted },      { Fail::SourceStartStatus, MESessionStarted }, { Fail::RequestSample, MEError },
        { Fail::SourceError, MEError },               { Fail::StreamError, MEError },                { Fail::SourceStop, MESessionStopped },
        { Fail::SourceStopStatus, MESessionStopped }, { Fail::SinkClock, MESessionStarted },         { Fail::SinkClockStart, MESessionStarted },
        { Fail::SinkClockStop, MESessionStopped },    { Fail::ProcessSample, MEError },              { Fail::SinkError, MEError },
        { Fail::PlaceMarker, MEError },               { Fail::MarkerStatus, MEError },               { Fail::BeginFinalize, MEError },
        { Fail::EndFinalize, MEError },               { Fail::ShortFrame, MEError, MF_E_BUFFERTOOSMALL }, // the encoder refuses it
        { Fail::None, MESessionStarted, E_NOTIMPL }, // an encoder that cannot start its stream
        { Fail::None, MEUnknown },
    };
    for (const auto& row : cases)
    {
        SCOPED_TRACE(static_cast<int>(row.Failure));
        FaultyRun run({ .Failure = row.Failure, .FailAt = 2, .FailResult = Failure });
        if (row.Result == E_NOTIMPL)
        {
            PROPVARIANT mode { .vt = VT_UI4, .ulVal = 0 };
            ASSERT_EQ(run.Transform->SetValue(&CODECAPI_AVEncCommonRateControlMode, &mode), S_OK);
        }
        run.Play();
        // A run that fails at its stop first ends normally, and its failure comes with MESessionStopped.
        const bool ends = row.Reported == MESessionStopped || row.Reported == MEUnknown;
        run.Await(ends ? MESessionEnded : row.Reported);
        run.StopAndClose();
        const auto failures = run.Events->Failures();
        if (row.Reported == MEUnknown)
            run.ExpectAllSamples(10);
        else
        {
            ASSERT_EQ(failures.size(), 1u) << run.Events->Text();
            EXPECT_EQ(failures[0].Type, row.Reported);
            EXPECT_EQ(failures[0].Status, row.Result);
        }
        EXPECT_EQ(run.Events->Of(MESessionEnded).size(), ends ? 1u : 0u);
        EXPECT_EQ(run.Events->Of(MESessionStopped).size(), 1u);
        EXPECT_EQ(run.Session->Shutdown(), S_OK);
        EXPECT_TRUE(run.TransformIsShutDown());
        EXPECT_TRUE(run.Sink->IsShutDown());
        run.Topology = nullptr;
        run.Session = nullptr;
        run.Events->Detach();
        ASSERT_EQ(run.Source->Shutdown(), S_OK); // the source keeps its stream until its owner shuts it down
        run.Source = nullptr;
        for (IUnknown* object : { run.Doubles->AsUnknown(), run.Transform->AsUnknown(), run.Sink->AsUnknown() })
            EXPECT_TRUE(WaitUntil([&] { return RefCount(object) == 1; }));
    }
}

// An object that never answers holds up only the command waiting for it: Stop does not wait for a
// marker that never comes back, a stop that never completes is cut by Shutdown.
TEST_F(MediaSessionTest, SilentObjectsDoNotHoldUpStopOrShutdown)
{
    {
        FaultyRun run({ .SampleCount = 6, .Failure = Fail::MarkerSilent });
        run.Play();
        ASSERT_TRUE(run.Sink->Wait([](const SinkStats& stats) { return stats.Markers == 1; }, PatienceMilliseconds));
        run.StopAndClose();
        EXPECT_TRUE(run.Events->Of(MESessionEnded).empty());
        EXPECT_TRUE(run.Events->Failures().empty());
    }
    FaultyRun run({ .SampleCount = 6, .Failure = Fail::SourceStopSilent });
    run.Play();
    run.Await(MESessionEnded);
    ASSERT_EQ(run.Session->Stop(), S_OK);
    ASSERT_EQ(run.Session->Close(), S_OK);
    EXPECT_TRUE(run.Doubles->Wait([](const SourceStats& stats) { return stats.Stops == 1; }, PatienceMilliseconds));
    EXPECT_EQ(run.Session->Shutdown(), S_OK);
    EXPECT_TRUE(run.TransformIsShutDown());
    EXPECT_TRUE(run.Sink->IsShutDown());
    EXPECT_TRUE(run.Events->Of(MESessionClosed).empty());
}

// The last MFShutdown shuts down the sessions left open.
TEST_F(MediaSessionTest, MFShutdownShutsOpenSessionsDown)
{
    auto run = std::make_unique<FaultyRun>(Options { .SampleCount = 1000000 });
    run->Play();
    ASSERT_TRUE(run->AwaitSamples(3));
    ASSERT_EQ(MFShutdown(), S_OK);
    EXPECT_TRUE(run->TransformIsShutDown());
    EXPECT_TRUE(run->Sink->IsShutDown());
    EXPECT_EQ(run->Session->Stop(), MF_E_SHUTDOWN);
    run.reset();
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK); // for the fixture's own MFShutdown
}

