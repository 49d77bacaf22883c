// The media session's own cost per sample: whole runs through a session over objects that take
// no time (the tests' counting source and requesting sink, a pass-through asynchronous
// transform), one session and sixteen at once, and the cost of setting a session up and down. The
// one-session run reports the heap allocations of all threads per sample ("allocations"), the
// objects' own (sample, buffer, events) included.

#include "SessionBenchObjects.h"

#include "fakes/Events.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>

using namespace SessionDoubles;
using TestSupport::EventRecorder;

namespace
{
std::atomic<std::size_t> g_Allocations { 0 }; // operator new calls of every thread
}

// The default operator delete frees with free(), so these stay paired with it.
void* operator new(std::size_t size)
{
    g_Allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }

namespace
{
struct Pipeline
{
    explicit Pipeline(UINT32 samples, UINT32 buffers = 4)
    {
        Source = Make<CountingSource>(Options { .SampleCount = samples });
        Transform = Make<PassThroughTransform>(buffers);
        Sink = Make<RequestingSink>(Options {});
        Topology = TestSupport::BuildTopology(Source.Get(), Source->m_Descriptor.Get(), Source->m_StreamDescriptor.Get(), Transform.Get(), Sink->StreamSink());
        XEV_CHECK_HR(MFCreateMediaSession(nullptr, Session.GetAddressOf()));
        Events = EventRecorder::Start(Session.Get());
    }
    ~Pipeline()
    {
        (void)Session->Shutdown();
        (void)Source->Shutdown();
        (void)Transform->Shutdown();
        (void)Sink->Shutdown();
        Events->Detach();
    }
    void Ready()
    {
        XEV_CHECK_HR(Session->SetTopology(0, Topology.Get()));
        XEV_CHECK(Events->WaitFor(MESessionTopologyStatus), E_UNEXPECTED);
    }
    void Start()
    {
        PROPVARIANT position;
        PropVariantInit(&position);
        position.vt = VT_I8;
        XEV_CHECK_HR(Session->Start(&GUID_NULL, &position));
    }
    void Finish()
    {
        XEV_CHECK(Events->WaitFor(MESessionEnded), E_UNEXPECTED);
        XEV_CHECK_HR(Session->Stop());
        XEV_CHECK(Events->WaitFor(MESessionStopped), E_UNEXPECTED);
        XEV_CHECK_HR(Session->Close());
        XEV_CHECK(Events->WaitFor(MESessionClosed), E_UNEXPECTED);
    }

    ComPtr<CountingSource> Source;
    ComPtr<PassThroughTransform> Transform;
    ComPtr<RequestingSink> Sink;
    ComPtr<IMFTopology> Topology;
    ComPtr<IMFMediaSession> Session;
    ComPtr<EventRecorder> Events;
};

struct Platform
{
    Platform() { XEV_CHECK_HR(MFStartup(MF_VERSION)); }
    ~Platform() { (void)MFShutdown(); }
};

// Samples through one session, from Start to MESessionEnded.
void BM_SessionSamples(benchmark::State& state)
{
    Platform platform;
    const auto samples = static_cast<UINT32>(state.range(0));
    std::size_t allocations = 0;
    for (auto _ : state)
    {
        state.PauseTiming();
        auto pipeline = std::make_unique<Pipeline>(samples);
        pipeline->Ready();
        state.ResumeTiming();
        const std::size_t before = g_Allocations.load();
        pipeline->Start();
        XEV_CHECK(pipeline->Events->WaitFor(MESessionEnded), E_UNEXPECTED);
        allocations += g_Allocations.load() - before;
        state.PauseTiming();
        pipeline->Finish();
        pipeline.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * samples);
    state.counters["allocations"] = double(allocations) / double(state.iterations() * samples);
}
BENCHMARK(BM_SessionSamples)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Sixteen sessions started together, each with its samples, until all have ended.
void BM_SixteenSessions(benchmark::State& state)
{
    Platform platform;
    const auto samples = static_cast<UINT32>(state.range(0));
    for (auto _ : state)
    {
        state.PauseTiming();
        std::vector<std::unique_ptr<Pipeline>> pipelines;
        for (int i = 0; i < 16; ++i)
        {
            pipelines.push_back(std::make_unique<Pipeline>(samples));
            pipelines.back()->Ready();
        }
        state.ResumeTiming();
        for (auto& pipeline : pipelines)
            pipeline->Start();
        for (auto& pipeline : pipelines)
            XEV_CHECK(pipeline->Events->WaitFor(MESessionEnded), E_UNEXPECTED);
        state.PauseTiming();
        for (auto& pipeline : pipelines)
            pipeline->Finish();
        pipelines.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * samples * 16);
}
BENCHMARK(BM_SixteenSessions)->Arg(300)->Unit(benchmark::kMillisecond)->UseRealTime();

// A session created, given its topology, made ready and shut down again.
void BM_SessionSetUpAndDown(benchmark::State& state)
{
    Platform platform;
    for (auto _ : state)
    {
        Pipeline pipeline(1);
        pipeline.Ready();
    }
}
BENCHMARK(BM_SessionSetUpAndDown)->Unit(benchmark::kMicrosecond)->UseRealTime();
} // namespace
