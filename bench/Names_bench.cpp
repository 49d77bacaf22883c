// Cost of the names and formatters that trace lines use on the media objects' paths.

#include "media/Common/Names.h"

#include "platform/mf/Api.h"

#include <benchmark/benchmark.h>

namespace
{
void EventTypeName(benchmark::State& state)
{
    MediaEventType type = METransformHaveOutput;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(type);
        MF::ShortText text = MF::MediaEventTypeName(type);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(EventTypeName);

// The last row of the largest GUID table, and a key that is in no row (registry form).
void MediaTypeAttributeName(benchmark::State& state)
{
    const GUID key = state.range(0) ? MF_MT_FRAME_RATE_RANGE_MAX : Guid::Parse("0badf00d-1234-5678-9abc-def012345678");
    for (auto _ : state)
    {
        MF::ShortText text = MF::MediaTypeAttributeName(key);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(MediaTypeAttributeName)->Arg(1)->Arg(0);

void FormatTime(benchmark::State& state)
{
    LONGLONG time = 36'610'000'000;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(time);
        std::string text = MF::FormatTime(time);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(FormatTime);

void FormatPackedSize(benchmark::State& state)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_UI8;
    value.uhVal = Pack2UINT32AsUINT64(1920, 1080);
    for (auto _ : state)
    {
        std::string text = MF::FormatPropVariant(value);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(FormatPackedSize);

void FormatBlob(benchmark::State& state)
{
    std::vector<BYTE> bytes(static_cast<size_t>(state.range(0)), 0x5A);
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_VECTOR | VT_UI1;
    value.caub.cElems = static_cast<ULONG>(bytes.size());
    value.caub.pElems = bytes.data();
    for (auto _ : state)
    {
        std::string text = MF::FormatPropVariant(value);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(FormatBlob)->Arg(16)->Arg(4096);
} // namespace
