// CPU per frame of the video source's software path: DrawFrame alone (into a fixed frame), and
// the whole composition (sample, frame-size memory buffer, drawing straight into it bottom-up,
// attributes), at 1280x720 and 1920x1080.

#include "media/VideoMediaSource/VideoMediaSource.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace
{
using Stream = VideoMediaSource::Stream;

struct Frame
{
    Frame(UINT32 width, UINT32 height) : Format { width, height, 30, 1, UINT64(0) }, Set(Make<Stream::ResourceSet>())
    {
        Set->Prepare(nullptr, { width, height }, std::make_shared<Drawing::TextFactory>(), 0x00008B);
    }
    VideoFrameFormat Format;
    ComPtr<Stream::ResourceSet> Set;
};

void DrawFrame(benchmark::State& state)
{
    Frame frame(UINT32(state.range(0)), UINT32(state.range(1)));
    std::vector<UINT32> pixels(size_t(frame.Format.Width) * frame.Format.Height);
    UINT32 index = 0;
    for (auto _ : state)
    {
        Stream::DrawFrame(frame.Format, *frame.Set, index, Stream::SampleTime(index, 30, 1), reinterpret_cast<BYTE*>(pixels.data()),
            frame.Format.Width * 4);
        benchmark::DoNotOptimize(pixels.data());
        ++index;
    }
}
BENCHMARK(DrawFrame)->Args({ 1280, 720 })->Args({ 1920, 1080 })->Unit(benchmark::kMicrosecond);

void ComposeSoftwareSample(benchmark::State& state)
{
    MFStartup(MF_VERSION);
    {
        Frame frame(UINT32(state.range(0)), UINT32(state.range(1)));
        UINT32 index = 0;
        for (auto _ : state)
        {
            const LONGLONG time = Stream::SampleTime(index, 30, 1);
            auto sample = Stream::ComposeSoftwareSample(frame.Format, *frame.Set, index, time, 333'333, nullptr);
            benchmark::DoNotOptimize(sample.Get());
            ++index;
        }
    }
    MFShutdown();
}
BENCHMARK(ComposeSoftwareSample)->Args({ 1280, 720 })->Args({ 1920, 1080 })->Unit(benchmark::kMicrosecond);
} // namespace
