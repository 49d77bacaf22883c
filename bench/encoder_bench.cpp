// Encode cost per frame of the software runtime, next to libx264 alone on the same frames.
//
// Frames: a black picture with a moving dark-blue rectangle and a row of white squares (the
// source's kind of content), 30 distinct frames drawn once and used in turn. Settings as the
// tool's tasks give them: constant QP 24, GOP 4 (IDR every 4th picture), AUD, SPS/PPS on IDR.
//
//   RuntimeEncode/W/H      through the function list as the encoder transform drives it: 4
//                          bitstream buffers in flight, completion events, lock and unlock
//   X264Alone/W/H/preset   x264_encoder_encode on the same frames, same parameters; preset 0 is
//                          the runtime's, 1 ultrafast, 2 veryfast, 3 ultrafast with CABAC and
//                          deblocking switched back on
//
// Counters: CpuPerFrame is the process CPU time a frame (milliseconds), BytesPerFrame the encoded
// size; the time column is real time a frame. Both run one encoding thread.

#include "BenchSupport.h"
#include "platform/encoder/X264Settings.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

namespace
{
constexpr uint32_t DistinctFrames = 30;
constexpr uint32_t Buffers = 4;

using Bench::ProcessCpuSeconds;

void DrawFrame(uint32_t frame, uint32_t width, uint32_t height, uint8_t* luma, uint8_t* chroma, uint32_t pitch)
{
    for (uint32_t y = 0; y < height; ++y)
        std::fill_n(luma + std::size_t(y) * pitch, width, uint8_t(16));
    for (uint32_t y = 0; y < height / 2; ++y)
        std::fill_n(chroma + std::size_t(y) * pitch, width, uint8_t(128));
    const uint32_t rectangleWidth = width / 4, rectangleHeight = height / 4;
    const uint32_t left = ((frame * 8) % (width - rectangleWidth)) & ~1u, top = height / 2;
    for (uint32_t y = top; y < top + rectangleHeight; ++y)
    {
        std::fill_n(luma + std::size_t(y) * pitch + left, rectangleWidth, uint8_t(29));
        if (y % 2 == 0)
            for (uint32_t x = left; x < left + rectangleWidth; x += 2)
            {
                chroma[std::size_t(y / 2) * pitch + x] = 189;
                chroma[std::size_t(y / 2) * pitch + x + 1] = 118;
            }
    }
    const uint32_t square = std::max(width / 32, 4u) & ~1u;
    for (uint32_t bit = 0; bit < 8; ++bit)
        if ((frame >> bit) & 1u)
            for (uint32_t y = square; y < 2 * square; ++y)
                std::fill_n(luma + std::size_t(y) * pitch + square * (1 + 2 * bit), square, uint8_t(235));
}

struct Initialization
{
    NV_ENC_CONFIG Config {};
    NV_ENC_INITIALIZE_PARAMS Params {};
};

std::unique_ptr<Initialization> TaskInitialization(uint32_t width, uint32_t height)
{
    auto init = std::make_unique<Initialization>();
    NV_ENC_CONFIG& c = init->Config;
    c.version = NV_ENC_CONFIG_VER;
    c.profileGUID = NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID;
    c.gopLength = 4;
    c.frameIntervalP = 1;
    c.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    c.mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;
    c.rcParams.version = NV_ENC_RC_PARAMS_VER;
    c.rcParams.constQP = NV_ENC_QP { 24, 24, 24 };
    c.encodeCodecConfig.h264Config.outputAUD = 1;
    c.encodeCodecConfig.h264Config.repeatSPSPPS = 1;
    c.encodeCodecConfig.h264Config.idrPeriod = 4;
    c.encodeCodecConfig.h264Config.chromaFormatIDC = 1;
    NV_ENC_INITIALIZE_PARAMS& p = init->Params;
    p.version = NV_ENC_INITIALIZE_PARAMS_VER;
    p.encodeGUID = NV_ENC_CODEC_H264_GUID;
    p.presetGUID = NvEncPresets::LowLatencyDefault;
    p.encodeWidth = p.darWidth = width;
    p.encodeHeight = p.darHeight = height;
    p.frameRateNum = 30;
    p.frameRateDen = 1;
    p.enableEncodeAsync = 1;
    p.enablePTD = 1;
    p.encodeConfig = &c;
    return init;
}

void RuntimeEncode(benchmark::State& state)
{
    const auto width = static_cast<uint32_t>(state.range(0)), height = static_cast<uint32_t>(state.range(1));
    NV_ENCODE_API_FUNCTION_LIST F {};
    auto init = TaskInitialization(width, height);
    void* encoder = Bench::OpenSoftwareSession(state, F, init->Params);
    if (!encoder)
        return;
    std::vector<NV_ENC_INPUT_PTR> inputs;
    for (uint32_t frame = 0; frame < DistinctFrames; ++frame)
    {
        NV_ENC_LOCK_INPUT_BUFFER lock {};
        lock.version = NV_ENC_LOCK_INPUT_BUFFER_VER;
        lock.inputBuffer = Bench::CreateInputBuffer(F, encoder, width, height, NV_ENC_BUFFER_FORMAT_NV12);
        F.nvEncLockInputBuffer(encoder, &lock);
        auto* data = static_cast<uint8_t*>(lock.bufferDataPtr);
        DrawFrame(frame, width, height, data, data + std::size_t(lock.pitch) * height, lock.pitch);
        F.nvEncUnlockInputBuffer(encoder, lock.inputBuffer);
        inputs.push_back(lock.inputBuffer);
    }
    Bench::BitstreamRing ring(F, encoder, Buffers);
    uint64_t frame = 0;
    const double cpuStart = ProcessCpuSeconds();
    for (auto _ : state)
    {
        NV_ENC_PIC_PARAMS picture {};
        picture.version = NV_ENC_PIC_PARAMS_VER;
        picture.inputWidth = width;
        picture.inputHeight = height;
        picture.inputTimeStamp = frame * 333333;
        picture.inputDuration = 333333;
        picture.inputBuffer = inputs[frame % DistinctFrames];
        ring.Prepare(frame, picture);
        picture.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
        picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        F.nvEncEncodePicture(encoder, &picture);
        ++frame;
    }
    ring.Drain(frame);
    const double cpu = ProcessCpuSeconds() - cpuStart;
    state.counters["CpuPerFrame"] = benchmark::Counter(cpu * 1000 / double(frame));
    state.counters["BytesPerFrame"] = benchmark::Counter(double(ring.Bytes()) / double(frame));
    F.nvEncDestroyEncoder(encoder);
}

void X264Alone(benchmark::State& state)
{
    const auto width = static_cast<uint32_t>(state.range(0)), height = static_cast<uint32_t>(state.range(1));
    const char* presets[] = { SoftwareEncoder::X264Preset, "ultrafast", "veryfast", "ultrafast" };
    const auto preset = static_cast<std::size_t>(state.range(2));
    state.SetLabel(preset == 3 ? "ultrafast+cabac+deblock" : presets[preset]);
    auto init = TaskInitialization(width, height);
    SoftwareEncoder::EncoderSettings settings;
    x264_param_t params {};
    if (SoftwareEncoder::ReadInitializeParams(init->Params, &settings) != NV_ENC_SUCCESS ||
        SoftwareEncoder::MakeX264Params(settings, &params, presets[preset]) != NV_ENC_SUCCESS)
    {
        state.SkipWithError("no parameters");
        return;
    }
    if (preset == 3)
    {
        params.b_cabac = 1;
        params.b_deblocking_filter = 1;
    }
    params.i_keyint_max = params.i_keyint_min = 4;
    x264_t* encoder = x264_encoder_open(&params);
    if (!encoder)
    {
        state.SkipWithError("x264_encoder_open failed");
        return;
    }
    const std::size_t frameSize = std::size_t(width) * height * 3 / 2;
    std::vector<uint8_t> frames(frameSize * DistinctFrames);
    for (uint32_t frame = 0; frame < DistinctFrames; ++frame)
    {
        uint8_t* luma = frames.data() + frameSize * frame;
        DrawFrame(frame, width, height, luma, luma + std::size_t(width) * height, width);
    }
    x264_picture_t picture, output;
    x264_picture_init(&picture);
    picture.img.i_csp = X264_CSP_NV12;
    picture.img.i_plane = 2;
    picture.img.i_stride[0] = picture.img.i_stride[1] = static_cast<int>(width);
    int64_t frame = 0;
    uint64_t bytes = 0;
    const double cpuStart = ProcessCpuSeconds();
    for (auto _ : state)
    {
        uint8_t* luma = frames.data() + frameSize * static_cast<std::size_t>(frame % DistinctFrames);
        picture.img.plane[0] = luma;
        picture.img.plane[1] = luma + std::size_t(width) * height;
        picture.i_pts = frame++;
        x264_nal_t* nals = nullptr;
        int count = 0;
        const int size = x264_encoder_encode(encoder, &nals, &count, &picture, &output);
        bytes += size > 0 ? uint64_t(size) : 0;
    }
    const double cpu = ProcessCpuSeconds() - cpuStart;
    state.counters["CpuPerFrame"] = benchmark::Counter(cpu * 1000 / double(frame));
    state.counters["BytesPerFrame"] = benchmark::Counter(double(bytes) / double(frame));
    x264_encoder_close(encoder);
}
} // namespace

BENCHMARK(RuntimeEncode)->Args({ 1280, 720 })->Args({ 1920, 1080 })->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(X264Alone)
    ->ArgsProduct({ { 1280 }, { 720 }, { 0, 1, 2, 3 } })
    ->ArgsProduct({ { 1920 }, { 1080 }, { 0, 1, 2, 3 } })
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
