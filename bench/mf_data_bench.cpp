// Cost of the platform's data objects on the per-sample paths: attribute reads and writes, a
// fresh sample with a frame buffer against a tracked sample that comes back to its allocator.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>

namespace
{
constexpr GUID ExtraKey = Guid::Parse("55555555-0000-0000-0000-000000000001");

// A media type as the pipelines build them (about ten items), the key read last in the list.
ComPtr<IMFMediaType> TypicalType()
{
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(type.GetAddressOf());
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 1920, 1080);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30000, 1001);
    MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
    type->SetUINT32(MF_MT_INTERLACE_MODE, 2);
    type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
    type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, 1);
    type->SetUINT32(MF_MT_DEFAULT_STRIDE, 1920);
    type->SetUINT32(ExtraKey, 7);
    return type;
}

void AttributeGetUINT32(benchmark::State& state)
{
    ComPtr<IMFMediaType> type = TypicalType();
    UINT32 value = 0;
    for (auto _ : state)
    {
        type->GetUINT32(ExtraKey, &value);
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(AttributeGetUINT32);

void AttributeSetUINT32(benchmark::State& state)
{
    ComPtr<IMFMediaType> type = TypicalType();
    UINT32 value = 0;
    for (auto _ : state)
        type->SetUINT32(ExtraKey, ++value);
}
BENCHMARK(AttributeSetUINT32);

// One store read and written from several threads at once.
void AttributeSetGetShared(benchmark::State& state)
{
    static ComPtr<IMFMediaType> type;
    if (state.thread_index() == 0)
        type = TypicalType();
    UINT64 value = 0;
    for (auto _ : state)
    {
        type->SetUINT64(MF_MT_FRAME_SIZE, value);
        type->GetUINT64(MF_MT_FRAME_SIZE, &value);
        benchmark::DoNotOptimize(value);
    }
    if (state.thread_index() == 0)
        type = nullptr;
}
BENCHMARK(AttributeSetGetShared)->Threads(1)->Threads(2);

void MediaTypeCopyAllItems(benchmark::State& state)
{
    ComPtr<IMFMediaType> type = TypicalType();
    for (auto _ : state)
    {
        ComPtr<IMFMediaType> copy;
        MFCreateMediaType(copy.GetAddressOf());
        type->CopyAllItems(copy.Get());
        benchmark::DoNotOptimize(copy.Get());
    }
}
BENCHMARK(MediaTypeCopyAllItems);

// What the source does per frame without an allocator: a new sample with a new 1080p frame
// buffer, its time and a clean-point attribute, then gone.
void SampleCreate(benchmark::State& state)
{
    const DWORD frameBytes = 1920 * 1080 * 4;
    for (auto _ : state)
    {
        ComPtr<IMFSample> sample;
        MFCreateSample(sample.GetAddressOf());
        ComPtr<IMFMediaBuffer> buffer;
        MFCreateMemoryBuffer(frameBytes, buffer.GetAddressOf());
        buffer->SetCurrentLength(frameBytes);
        sample->AddBuffer(buffer.Get());
        sample->SetSampleTime(333667);
        sample->SetUINT32(MFSampleExtension_CleanPoint, 1);
        benchmark::DoNotOptimize(sample.Get());
    }
}
BENCHMARK(SampleCreate);

// A one-sample pool: the allocator callback takes the sample back on a work queue.
class OneSamplePool final : public ComObject<IMFAsyncCallback>
{
public:
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override
    {
        ComPtr<IUnknown> object;
        result->GetObject(object.GetAddressOf());
        ComPtr<IMFSample> sample;
        object.As(&sample);
        std::lock_guard lock(m_Lock);
        m_Free = std::move(sample);
        m_Returned.notify_one();
        return S_OK;
    }
    void Put(ComPtr<IMFSample> sample) { m_Free = std::move(sample); }
    // Waits for the sample to be home and takes it out, not armed.
    ComPtr<IMFSample> Drain()
    {
        std::unique_lock lock(m_Lock);
        m_Returned.wait(lock, [&] { return static_cast<bool>(m_Free); });
        return std::move(m_Free);
    }
    ComPtr<IMFSample> Take()
    {
        ComPtr<IMFSample> sample = Drain();
        ComPtr<IMFTrackedSample> tracked;
        sample.As(&tracked);
        tracked->SetAllocator(this, nullptr);
        return sample;
    }

private:
    std::mutex m_Lock; // guards m_Free
    std::condition_variable m_Returned;
    ComPtr<IMFSample> m_Free;
};

// The same frame through a tracked sample that is handed out, released, and comes back (one
// round trip through the work queue per iteration).
void TrackedSampleReuse(benchmark::State& state)
{
    MFStartup(MF_VERSION);
    {
        ComPtr<OneSamplePool> pool = Make<OneSamplePool>();
        ComPtr<IMFTrackedSample> tracked;
        MFCreateTrackedSample(tracked.GetAddressOf());
        ComPtr<IMFSample> sample;
        tracked.As(&sample);
        tracked = nullptr;
        ComPtr<IMFMediaBuffer> buffer;
        MFCreateMemoryBuffer(1920 * 1080 * 4, buffer.GetAddressOf());
        sample->AddBuffer(buffer.Get());
        buffer = nullptr;
        pool->Put(std::move(sample));
        for (auto _ : state)
        {
            ComPtr<IMFSample> taken = pool->Take();
            taken->SetSampleTime(333667);
            taken->SetUINT32(MFSampleExtension_CleanPoint, 1);
            benchmark::DoNotOptimize(taken.Get());
        }
        pool->Drain(); // the last return; the sample dies here, not armed again
    }
    MFShutdown();
}
BENCHMARK(TrackedSampleReuse)->UseRealTime();
} // namespace
