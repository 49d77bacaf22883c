// CPU a frame of the encoder transform around the software runtime, next to the runtime alone on
// the same frames and settings (the pipeline's: constant QP 24, GOP 4, no B-pictures, AUD,
// SPS/PPS on every IDR).
//
// Frames: 30 distinct ARGB32 frames drawn by the tool's video source (the swinging rectangle with
// its texts), bottom-up in memory as the source delivers them, used in turn.
//
//   Transform/W/H           XevEncodeTransform driven as the session drives it: an input for
//                           each METransformNeedInput, ProcessOutput for each METransformHaveOutput
//   RuntimeAlone/W/H/copy/paced  the runtime through its function list with 4 buffers in flight;
//                           copy 0: the frames sit in 30 input buffers filled once; copy 1: each
//                           frame is copied into one of 4 input buffers first, as any client of
//                           memory frames (the transform too) must; paced 1: a frame every 1/30 s,
//                           as a pipeline delivers them (its caches go cold between frames), so
//                           that a whole run's CPU a frame compares like with like
//
// Counters, milliseconds a frame: CpuPerFrame the process CPU time (encoding thread included),
// CallerCpu the calling thread's, EncoderCpu the busiest other thread's (libx264's encoding
// thread), OtherCpu the remaining threads' (work queues: the transform's completions and events).
// The transform's own share is its CallerCpu minus RuntimeAlone/copy 1's, plus its OtherCpu.

#include "BenchSupport.h"
#include "media/XevEncodeTransform/XevDefaultDeviceManager.h"
#include "media/VideoMediaSource/VideoMediaSource.h"
#include "media/XevEncodeTransform/XevEncodeTransform.h"
#include "platform/mf/Api.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace
{
constexpr uint32_t DistinctFrames = 30;
constexpr uint32_t Buffers = 4;
constexpr LONGLONG FrameTime = 333333;

using Bench::ProcessCpuSeconds;
using Bench::ThreadCpuSeconds;
using Platform = Bench::MediaPlatform;

// CPU nanoseconds of each thread of the process, by thread id.
std::map<int, uint64_t> ThreadCpu()
{
    std::map<int, uint64_t> threads;
    DIR* tasks = opendir("/proc/self/task");
    while (dirent* entry = tasks ? readdir(tasks) : nullptr)
    {
        uint64_t ns = 0;
        if (entry->d_name[0] != '.' && (std::ifstream(std::string("/proc/self/task/") + entry->d_name + "/schedstat") >> ns))
            threads[std::atoi(entry->d_name)] = ns;
    }
    if (tasks)
        closedir(tasks);
    return threads;
}

// Sets the counters from the process, thread and per-thread CPU spent since the starts.
void SetCounters(benchmark::State& state, uint64_t frames, uint64_t bytes, double processStart, double callerStart,
                 const std::map<int, uint64_t>& threadsStart)
{
    const double process = ProcessCpuSeconds() - processStart, caller = ThreadCpuSeconds() - callerStart;
    std::vector<double> others;
    for (const auto& [tid, ns] : ThreadCpu())
        if (tid != gettid())
            others.push_back(double(ns - (threadsStart.count(tid) ? threadsStart.at(tid) : 0)) * 1e-9);
    std::sort(others.begin(), others.end());
    const double encoder = others.empty() ? 0 : others.back();
    double rest = 0;
    for (std::size_t i = 0; i + 1 < others.size(); ++i)
        rest += others[i];
    const double perFrame = 1000 / double(frames);
    state.counters["CpuPerFrame"] = benchmark::Counter(process * perFrame);
    state.counters["CallerCpu"] = benchmark::Counter(caller * perFrame);
    state.counters["EncoderCpu"] = benchmark::Counter(encoder * perFrame);
    state.counters["OtherCpu"] = benchmark::Counter(rest * perFrame);
    state.counters["BytesPerFrame"] = benchmark::Counter(double(bytes) / double(frames));
}

// Frame `index` exactly as the tool's video source draws it (its software path: bottom-up rows,
// 4 bytes a pixel B, G, R, A), so the encoder here sees the pictures a pipeline gives it.
std::vector<BYTE> SourceFrame(uint32_t index, uint32_t width, uint32_t height)
{
    using Stream = VideoMediaSource::Stream;
    static std::map<std::pair<uint32_t, uint32_t>, ComPtr<Stream::ResourceSet>> sets;
    auto& set = sets[{ width, height }];
    if (!set)
    {
        set = Make<Stream::ResourceSet>();
        set->Prepare(nullptr, { width, height }, std::make_shared<Drawing::TextFactory>(), 0x00008B);
    }
    const VideoFrameFormat format { width, height, 30, 1, UINT64(0) };
    std::vector<BYTE> pixels(std::size_t(width) * height * 4);
    const std::ptrdiff_t row = std::ptrdiff_t(width) * 4;
    Stream::DrawFrame(format, *set, index, Stream::SampleTime(index, 30, 1), pixels.data() + (height - 1) * row, -row);
    return pixels;
}

ComPtr<IMFMediaType> Type(REFGUID subtype, uint32_t width, uint32_t height)
{
    ComPtr<IMFMediaType> type;
    MFCreateMediaType(type.GetAddressOf());
    type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    type->SetGUID(MF_MT_SUBTYPE, subtype);
    MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height);
    MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1);
    return type;
}

// The pipeline's encoder settings, as the session sets them through the codec interface.
const std::pair<GUID, UINT32> TaskSettings[] = { { CODECAPI_AVEncCommonRateControlMode, 3 }, { CODECAPI_AVEncCommonQuality, 70 },
    { CODECAPI_AVEncMPVGOPSize, 4 }, { CODECAPI_AVEncMPVDefaultBPictureCount, 0 } };

void ApplySettings(ICodecAPI* codec)
{
    for (const auto& [key, value] : TaskSettings)
    {
        PROPVARIANT variant { .vt = VT_UI4, .ulVal = value };
        codec->SetValue(&key, &variant);
    }
}

void Transform(benchmark::State& state)
{
    const auto width = static_cast<uint32_t>(state.range(0)), height = static_cast<uint32_t>(state.range(1));
    Platform platform;
    auto manager = XevDefaultDeviceManager::Create(true);
    auto transform = Make<XevEncodeTransform>();
    ComPtr<IMFAttributes> attributes;
    transform->GetAttributes(attributes.GetAddressOf());
    attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1);
    transform->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager.Get()));
    ApplySettings(transform.Get());
    transform->SetOutputType(0, Type(MFVideoFormat_H264, width, height).Get(), 0);
    transform->SetInputType(0, Type(MFVideoFormat_ARGB32, width, height).Get(), 0);
    std::vector<ComPtr<IMFSample>> samples;
    for (uint32_t index = 0; index < DistinctFrames; ++index)
    {
        const auto pixels = SourceFrame(index, width, height);
        ComPtr<IMFMediaBuffer> buffer;
        MFCreateMemoryBuffer(static_cast<DWORD>(pixels.size()), buffer.GetAddressOf());
        BYTE* data = nullptr;
        buffer->Lock(&data, nullptr, nullptr);
        std::memcpy(data, pixels.data(), pixels.size());
        buffer->Unlock();
        buffer->SetCurrentLength(static_cast<DWORD>(pixels.size()));
        auto& sample = samples.emplace_back();
        MFCreateSample(sample.GetAddressOf());
        sample->AddBuffer(buffer.Get());
        sample->SetSampleDuration(FrameTime);
    }
    if (transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0) != S_OK || transform->OnClockStart(0, 0) != S_OK)
    {
        state.SkipWithError("the stream did not start");
        return;
    }
    uint64_t sent = 0, received = 0, bytes = 0;
    // Handles one event; true when it was a request for input.
    const auto handle = [&](bool mayFeed) {
        ComPtr<IMFMediaEvent> event;
        if (FAILED(transform->GetEvent(0, event.GetAddressOf())))
            return false;
        MediaEventType type = MEUnknown;
        event->GetType(&type);
        if (type == METransformHaveOutput)
        {
            MFT_OUTPUT_DATA_BUFFER output {};
            DWORD status = 0;
            HRESULT hr = transform->ProcessOutput(0, 1, &output, &status);
            if (hr == MF_E_TRANSFORM_STREAM_CHANGE)
            {
                ComPtr<IMFMediaType> changed;
                transform->GetOutputAvailableType(0, 0, changed.GetAddressOf());
                transform->SetOutputType(0, changed.Get(), 0);
            }
            else if (output.pSample)
            {
                DWORD length = 0;
                output.pSample->GetTotalLength(&length);
                bytes += length;
                ++received;
                output.pSample->Release();
            }
            return false;
        }
        return type == METransformNeedInput;
    };
    const auto threadsStart = ThreadCpu();
    const double callerStart = ThreadCpuSeconds(), cpuStart = ProcessCpuSeconds();
    for (auto _ : state)
    {
        while (!handle(true))
        {
        }
        IMFSample* sample = samples[sent % DistinctFrames].Get();
        sample->SetSampleTime(LONGLONG(sent) * FrameTime);
        transform->ProcessInput(0, sample, 0);
        ++sent;
    }
    transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0);
    while (received < sent)
        handle(false);
    SetCounters(state, sent, bytes, cpuStart, callerStart, threadsStart);
    transform->Shutdown();
}

void RuntimeAlone(benchmark::State& state)
{
    const auto width = static_cast<uint32_t>(state.range(0)), height = static_cast<uint32_t>(state.range(1));
    const bool copy = state.range(2) != 0, paced = state.range(3) != 0;
    Platform platform;
    // The transform's own initialization for these settings.
    Xev::SettingsStore settings;
    for (const auto& [key, value] : TaskSettings)
        settings.Set(key, PROPVARIANT { .vt = VT_UI4, .ulVal = value });
    auto init = Xev::BuildConfiguration(settings, Type(MFVideoFormat_H264, width, height).Get(), NV_ENC_CODEC_H264_GUID);
    NV_ENCODE_API_FUNCTION_LIST F {};
    void* encoder = Bench::OpenSoftwareSession(state, F, init.Params);
    if (!encoder)
        return;
    std::vector<std::vector<BYTE>> frames;
    for (uint32_t index = 0; index < DistinctFrames; ++index)
        frames.push_back(SourceFrame(index, width, height));
    const auto fill = [&](NV_ENC_INPUT_PTR input, uint32_t index) {
        NV_ENC_LOCK_INPUT_BUFFER lock {};
        lock.version = NV_ENC_LOCK_INPUT_BUFFER_VER;
        lock.inputBuffer = input;
        F.nvEncLockInputBuffer(encoder, &lock);
        const std::size_t row = std::size_t(width) * 4;
        for (uint32_t y = 0; y < height; ++y)
            std::memcpy(static_cast<BYTE*>(lock.bufferDataPtr) + std::size_t(y) * lock.pitch, frames[index].data() + (height - 1 - y) * row, row);
        F.nvEncUnlockInputBuffer(encoder, input);
        return lock.pitch;
    };
    std::vector<NV_ENC_INPUT_PTR> inputs;
    uint32_t pitch = 0;
    for (uint32_t i = 0; i < (copy ? Buffers : DistinctFrames); ++i)
    {
        inputs.push_back(Bench::CreateInputBuffer(F, encoder, width, height, NV_ENC_BUFFER_FORMAT_ARGB));
        pitch = fill(inputs.back(), i);
    }
    Bench::BitstreamRing ring(F, encoder, Buffers);
    uint64_t frame = 0;
    const auto threadsStart = ThreadCpu();
    const double callerStart = ThreadCpuSeconds(), cpuStart = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
    {
        if (paced)
            std::this_thread::sleep_until(start + std::chrono::nanoseconds(frame * FrameTime * 100));
        const auto slot = ring.Slot(frame);
        NV_ENC_PIC_PARAMS picture {};
        ring.Prepare(frame, picture);
        if (copy)
            fill(inputs[slot], static_cast<uint32_t>(frame % DistinctFrames));
        picture.version = NV_ENC_PIC_PARAMS_VER;
        picture.inputWidth = width;
        picture.inputHeight = height;
        picture.inputPitch = pitch;
        picture.inputTimeStamp = frame * FrameTime;
        picture.inputDuration = FrameTime;
        picture.inputBuffer = copy ? inputs[slot] : inputs[frame % DistinctFrames];
        picture.bufferFmt = NV_ENC_BUFFER_FORMAT_ARGB;
        picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        F.nvEncEncodePicture(encoder, &picture);
        ++frame;
    }
    ring.Drain(frame);
    SetCounters(state, frame, ring.Bytes(), cpuStart, callerStart, threadsStart);
    F.nvEncDestroyEncoder(encoder);
}
} // namespace

BENCHMARK(Transform)->Args({ 1280, 720 })->Args({ 1920, 1080 })->Unit(benchmark::kMillisecond)->MinTime(2)->UseRealTime();
BENCHMARK(RuntimeAlone)
    ->Args({ 1280, 720, 0, 0 })
    ->Args({ 1280, 720, 1, 0 })
    ->Args({ 1920, 1080, 0, 0 })
    ->Args({ 1920, 1080, 1, 0 })
    ->Args({ 1920, 1080, 1, 1 })
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2)
    ->UseRealTime();
