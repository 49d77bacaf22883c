// What the run's measurements cost: counting one encoded sample at the sink (per frame), next to
// building such a sample as the encoder does (what every frame pays anyway), and one status line
// update (once a second, whatever the frame rate). Run with 2>/dev/null: the status goes to
// standard error.

#include "Service/XevEncodeTest/RunStatistics.h"

#include "media/XevEncodeTransform/XevEncodeTransform.h"
#include "platform/com/Error.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

namespace
{
// An output sample as the encoder makes it: a 4 KiB buffer and its attributes.
ComPtr<IMFSample> EncodedSample(LONGLONG time)
{
    ComPtr<IMFSample> sample;
    XEV_CHECK_HR(MFCreateSample(sample.GetAddressOf()));
    ComPtr<IMFMediaBuffer> buffer;
    XEV_CHECK_HR(MFCreateMemoryBuffer(4096, buffer.GetAddressOf()));
    XEV_CHECK_HR(buffer->SetCurrentLength(4096));
    XEV_CHECK_HR(sample->AddBuffer(buffer.Get()));
    XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_CleanPoint, 1));
    XEV_CHECK_HR(sample->SetUINT64(MFSampleExtension_DecodeTimestamp, static_cast<UINT64>(time)));
    XEV_CHECK_HR(sample->SetUINT64(XevSampleExtension_InputAcceptedTime, static_cast<UINT64>(MFGetSystemTime())));
    XEV_CHECK_HR(sample->SetSampleTime(time));
    XEV_CHECK_HR(sample->SetSampleDuration(333'333));
    XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_VideoEncodePictureType, 2));
    XEV_CHECK_HR(sample->SetUINT64(MFSampleExtension_VideoEncodeQP, 24));
    return sample;
}

void BuildEncodedSample(benchmark::State& state)
{
    LONGLONG time = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(EncodedSample(time += 333'333));
}
BENCHMARK(BuildEncodedSample);

void RecordAtTheSink(benchmark::State& state)
{
    const auto counters = std::make_unique<Application::DeliveryCounters>();
    const ComPtr<IMFSample> sample = EncodedSample(0);
    for (auto _ : state)
        counters->Record(sample.Get(), MFGetSystemTime(), 333'333);
    benchmark::DoNotOptimize(counters->Frames());
}
BENCHMARK(RecordAtTheSink);

void StatusLineUpdate(benchmark::State& state)
{
    std::vector<std::unique_ptr<Application::DeliveryCounters>> counters;
    std::vector<Application::StatusLine::Pipeline> pipelines;
    for (int64_t i = 0; i < state.range(0); ++i)
        pipelines.push_back({ counters.emplace_back(std::make_unique<Application::DeliveryCounters>()).get(), 30.0 });
    Application::StatusLine status(pipelines, 10);
    for (auto _ : state)
        status.Update();
}
BENCHMARK(StatusLineUpdate)->Arg(2)->Arg(16);
} // namespace
