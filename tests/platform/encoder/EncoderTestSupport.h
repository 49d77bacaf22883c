#pragma once
// Helpers of the encoder tests: drawn test frames, a software session driven through the function
// list the way the encoder transform drives it, a real decoder (ffmpeg) and an Annex B reader.

#include "platform/d3d/D3D11.h"
#include "platform/encoder/NvEncodeApi.h"
#include "platform/encoder/SoftwareRuntime.h"
#include "platform/system/Event.h"

#include "fakes/Platform.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace EncoderTest
{
constexpr uint64_t FrameTime = 333333;

// A parameter structure, zeroed, with its version set.
template <class P>
P Versioned(uint32_t version)
{
    P params {};
    params.version = version;
    return params;
}

inline ComPtr<ID3D11Device> WarpDevice()
{
    ComPtr<ID3D11Device> device;
    EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr, nullptr), S_OK);
    return device;
}

// Draws `frame` at `pitch`: packed B, G, R, A bytes, or NV12 (luma rows, then the interleaved
// chroma rows right after `height` luma rows) in BT.601 limited range, as ffmpeg converts. The
// picture: black, a dark-blue rectangle that moves with the index and white squares that spell
// the index in binary.
inline void Draw(uint32_t frame, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format, uint8_t* data, uint32_t pitch)
{
    const uint32_t square = std::max(width / 32, 4u) & ~1u, left = (frame * 8) % (width - width / 4), top = height / 2;
    uint8_t* chroma = data + std::size_t(pitch) * height;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
        {
            const uint32_t bit = (x - square) / square;
            const bool white = y >= square && y < 2 * square && x >= square && x < square * 17 && (frame >> (bit / 2)) & 1u && bit % 2 == 0;
            const bool blue = x >= left && x < left + width / 4 && y >= top && y < top + height / 4;
            const int r = white ? 235 : 0, g = r, b = white ? 235 : blue ? 139 : 0;
            if (format == NV_ENC_BUFFER_FORMAT_ARGB)
            {
                uint8_t* p = data + std::size_t(y) * pitch + std::size_t(x) * 4;
                p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r), p[3] = 255;
                continue;
            }
            data[std::size_t(y) * pitch + x] = uint8_t(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
            if (y % 2 == 0 && x % 2 == 0)
            {
                chroma[std::size_t(y / 2) * pitch + x] = uint8_t(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
                chroma[std::size_t(y / 2) * pitch + x + 1] = uint8_t(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
            }
        }
}

// One frame, tightly packed, as ffmpeg reads raw video.
inline std::vector<uint8_t> RawFrame(uint32_t frame, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format)
{
    const bool argb = format == NV_ENC_BUFFER_FORMAT_ARGB;
    std::vector<uint8_t> pixels(argb ? std::size_t(width) * height * 4 : std::size_t(width) * height * 3 / 2);
    Draw(frame, width, height, format, pixels.data(), argb ? width * 4 : width);
    return pixels;
}

struct Output
{
    std::vector<uint8_t> Bytes;
    uint64_t TimeStamp = 0;
    NV_ENC_PIC_TYPE PictureType = NV_ENC_PIC_TYPE_UNKNOWN;
    uint32_t AverageQp = 0;
};

// An asynchronous NV12 session set up as the encoder transform sets it up (QP 24, `Slots` slots of
// a bitstream buffer, an input buffer and a registered completion event each).
class Session
{
public:
    static constexpr uint32_t Slots = 4;

    Session(uint32_t width, uint32_t height, uint32_t gop = 4, void* device = nullptr) : Width(width), Height(height)
    {
        F.version = NV_ENCODE_API_FUNCTION_LIST_VER;
        auto open = Versioned<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER);
        open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX, open.device = device, open.apiVersion = NVENCAPI_VERSION;
        EXPECT_EQ(SoftwareEncoder::CreateInstance(&F), NV_ENC_SUCCESS);
        EXPECT_EQ(F.nvEncOpenEncodeSessionEx(&open, &E), NV_ENC_SUCCESS);
        Config.version = NV_ENC_CONFIG_VER, Config.profileGUID = NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID, Config.gopLength = gop, Config.frameIntervalP = 1;
        Config.rcParams.version = NV_ENC_RC_PARAMS_VER, Config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP, Config.rcParams.constQP = { 24, 24, 24 };
        NV_ENC_CONFIG_H264& h = Config.encodeCodecConfig.h264Config;
        h.outputAUD = 1, h.repeatSPSPPS = 1, h.idrPeriod = gop, h.chromaFormatIDC = 1;
        Init.version = NV_ENC_INITIALIZE_PARAMS_VER, Init.encodeGUID = NV_ENC_CODEC_H264_GUID, Init.presetGUID = NvEncPresets::LowLatencyDefault;
        Init.encodeWidth = Init.darWidth = width, Init.encodeHeight = Init.darHeight = height, Init.frameRateNum = 30, Init.frameRateDen = 1;
        Init.enableEncodeAsync = 1, Init.enablePTD = 1, Init.encodeConfig = &Config;
    }
    ~Session() { Destroy(); }

    void Destroy() { EXPECT_EQ(E ? F.nvEncDestroyEncoder(std::exchange(E, nullptr)) : NV_ENC_SUCCESS, NV_ENC_SUCCESS); }

    // Initializes and creates the slots and the registered end-of-stream event.
    void Start()
    {
        ASSERT_EQ(F.nvEncInitializeEncoder(E, &Init), NV_ENC_SUCCESS);
        for (uint32_t i = 0; i < Slots; ++i)
        {
            auto create = Versioned<NV_ENC_CREATE_BITSTREAM_BUFFER>(NV_ENC_CREATE_BITSTREAM_BUFFER_VER);
            auto input = Versioned<NV_ENC_CREATE_INPUT_BUFFER>(NV_ENC_CREATE_INPUT_BUFFER_VER);
            input.width = Width, input.height = Height, input.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
            ASSERT_EQ(F.nvEncCreateBitstreamBuffer(E, &create) | F.nvEncCreateInputBuffer(E, &input), NV_ENC_SUCCESS);
            Bitstreams.push_back(create.bitstreamBuffer);
            Inputs.push_back(input.inputBuffer);
            ASSERT_EQ(RegisterEvent(Events.emplace_back(std::make_unique<Sync::Event>(Sync::Event::ResetMode::Manual)).get()), NV_ENC_SUCCESS);
        }
        ASSERT_EQ(RegisterEvent(&EndOfStream), NV_ENC_SUCCESS);
    }

    NVENCSTATUS RegisterEvent(Sync::Event* event, bool registering = true)
    {
        auto params = Versioned<NV_ENC_EVENT_PARAMS>(NV_ENC_EVENT_PARAMS_VER);
        params.completionEvent = event;
        return registering ? F.nvEncRegisterAsyncEvent(E, &params) : F.nvEncUnregisterAsyncEvent(E, &params);
    }

    // A picture of frame `frame` from `input` (slot's input buffer by default) into slot's bitstream.
    NV_ENC_PIC_PARAMS Picture(uint32_t slot, uint32_t frame, void* input = nullptr)
    {
        auto p = Versioned<NV_ENC_PIC_PARAMS>(NV_ENC_PIC_PARAMS_VER);
        p.inputWidth = Width, p.inputHeight = Height, p.inputPitch = InputPitch, p.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
        p.inputBuffer = input ? input : Inputs[slot], p.outputBitstream = Bitstreams[slot], p.completionEvent = Events[slot].get();
        p.pictureStruct = NV_ENC_PIC_STRUCT_FRAME, p.inputTimeStamp = frame * FrameTime, p.inputDuration = FrameTime;
        return p;
    }

    // Draws frame `frame` into slot's input buffer and submits it.
    NVENCSTATUS Submit(uint32_t slot, uint32_t frame)
    {
        auto lock = Versioned<NV_ENC_LOCK_INPUT_BUFFER>(NV_ENC_LOCK_INPUT_BUFFER_VER);
        lock.inputBuffer = Inputs[slot];
        EXPECT_EQ(F.nvEncLockInputBuffer(E, &lock), NV_ENC_SUCCESS);
        Draw(frame, Width, Height, NV_ENC_BUFFER_FORMAT_NV12, static_cast<uint8_t*>(lock.bufferDataPtr), InputPitch = lock.pitch);
        EXPECT_EQ(F.nvEncUnlockInputBuffer(E, Inputs[slot]), NV_ENC_SUCCESS);
        Events[slot]->Reset();
        NV_ENC_PIC_PARAMS picture = Picture(slot, frame);
        return F.nvEncEncodePicture(E, &picture);
    }

    // Waits for slot's event, then locks its bitstream and copies the picture out.
    Output Collect(uint32_t slot, bool wait = true)
    {
        EXPECT_TRUE(!wait || Events[slot]->Wait(TestSupport::PatienceMilliseconds)) << "slot " << slot;
        auto lock = Versioned<NV_ENC_LOCK_BITSTREAM>(NV_ENC_LOCK_BITSTREAM_VER);
        lock.outputBitstream = Bitstreams[slot];
        EXPECT_EQ(F.nvEncLockBitstream(E, &lock), NV_ENC_SUCCESS);
        Output output { {}, lock.outputTimeStamp, lock.pictureType, lock.frameAvgQP };
        if (const auto* bytes = static_cast<const uint8_t*>(lock.bitstreamBufferPtr))
        {
            output.Bytes.assign(bytes, bytes + lock.bitstreamSizeInBytes);
            EXPECT_EQ(F.nvEncUnlockBitstream(E, Bitstreams[slot]), NV_ENC_SUCCESS);
        }
        return output;
    }

    // Encodes `count` frames one at a time, then ends the stream; the outputs in order.
    std::vector<Output> EncodeFrames(uint32_t count)
    {
        std::vector<Output> outputs;
        for (uint32_t frame = 0; frame < count; ++frame)
        {
            EXPECT_EQ(Submit(0, frame), NV_ENC_SUCCESS);
            outputs.push_back(Collect(0));
        }
        auto end = Versioned<NV_ENC_PIC_PARAMS>(NV_ENC_PIC_PARAMS_VER);
        end.encodePicFlags = NV_ENC_PIC_FLAG_EOS, end.completionEvent = &EndOfStream;
        EXPECT_EQ(F.nvEncEncodePicture(E, &end), NV_ENC_SUCCESS);
        EXPECT_TRUE(EndOfStream.Wait(TestSupport::PatienceMilliseconds));
        return outputs;
    }

    const uint32_t Width, Height;
    NV_ENC_CONFIG Config {};
    NV_ENC_INITIALIZE_PARAMS Init {};
    NV_ENCODE_API_FUNCTION_LIST F {};
    void* E = nullptr;
    std::vector<NV_ENC_OUTPUT_PTR> Bitstreams;
    std::vector<NV_ENC_INPUT_PTR> Inputs;
    std::vector<std::unique_ptr<Sync::Event>> Events;
    Sync::Event EndOfStream { Sync::Event::ResetMode::Manual };
    uint32_t InputPitch = 0;
};

struct DecodedSlice { char Type = '?'; bool Idr = false; int Qp = -1; }; // Type: I, P, B

struct Decoded
{
    std::vector<DecodedSlice> Slices; // each slice header as the decoder reads it, in decoding order
    double Psnr = 0;                  // average dB against the drawn frames; 1000 for identical
};

// Decodes the concatenated `outputs` with ffmpeg and compares the pictures, by index, with the
// drawn frames 0 to the output count - 1 (converted to NV12 as the encoder converts ARGB). A
// decoded size other than `width` x `height` fails the comparison.
inline Decoded Decode(const std::vector<Output>& outputs, uint32_t width, uint32_t height)
{
    const TestSupport::TempFolder folder;
    const std::string stream = folder.Path("stream.h264"), raw = folder.Path("frames.nv12");
    {
        std::ofstream streamFile(stream, std::ios::binary), rawFile(raw, std::ios::binary);
        for (uint32_t frame = 0; frame < outputs.size(); ++frame)
        {
            const auto pixels = RawFrame(frame, width, height, NV_ENC_BUFFER_FORMAT_NV12);
            rawFile.write(reinterpret_cast<const char*>(pixels.data()), std::streamsize(pixels.size()));
            streamFile.write(reinterpret_cast<const char*>(outputs[frame].Bytes.data()), std::streamsize(outputs[frame].Bytes.size()));
        }
    }
    const auto result = TestSupport::RunProcess({ "/usr/bin/ffmpeg", "-nostdin", "-v", "debug", "-f", "rawvideo", "-pix_fmt", "nv12", "-s",
        std::to_string(width) + "x" + std::to_string(height), "-i", raw, "-debug", "pict", "-threads", "1", "-f", "h264", "-i", stream, "-lavfi",
        "[0:v]format=yuv420p,setpts=N/TB/30[reference];[1:v]format=yuv420p,setpts=N/TB/30[decoded];[decoded][reference]psnr", "-f", "null", "-" });
    const std::string& out = result.Output;
    EXPECT_EQ(result.ExitStatus, 0) << out.substr(out.size() > 3000 ? out.size() - 3000 : 0);
    Decoded decoded;
    if (const std::size_t average = out.rfind("average:"); average != std::string::npos)
        decoded.Psnr = out.compare(average + 8, 3, "inf") == 0 ? 1000 : std::atof(out.c_str() + average + 8);
    // ffmpeg probes the stream with a decoder of its own first: only the lines of the decoder
    // that decodes the whole stream (the last one to print; one thread, so one context) count.
    const std::size_t last = out.rfind("] slice:");
    if (last == std::string::npos)
        return decoded;
    const std::size_t prefix = out.rfind("[h264 @ ", last);
    const std::string decoder = out.substr(prefix, last - prefix) + "] slice:";
    for (std::size_t position = 0; (position = out.find(decoder, position)) != std::string::npos; ++position)
    {
        const std::string line = out.substr(position, out.find('\n', position) - position);
        DecodedSlice& slice = decoded.Slices.emplace_back();
        if (const std::size_t mb = line.find(" mb:"), qp = line.find(" qp:"); mb != std::string::npos && qp != std::string::npos)
            std::sscanf(line.c_str() + mb, " mb:%*d %c", &slice.Type), slice.Qp = std::atoi(line.c_str() + qp + 4);
        slice.Idr = line.find(" IDR") != std::string::npos;
    }
    return decoded;
}

struct Nal { int Type = 0; std::size_t Offset = 0; }; // Offset: of the start code

// The NAL units of an Annex B stream, in order.
inline std::vector<Nal> ParseNals(const std::vector<uint8_t>& stream)
{
    std::vector<Nal> nals;
    for (std::size_t i = 0; i + 3 < stream.size(); ++i)
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1)
        {
            nals.push_back({ stream[i + 3] & 0x1F, (i > 0 && stream[i - 1] == 0) ? i - 1 : i });
            i += 3;
        }
    return nals;
}

// Whether the access unit `bytes` holds a NAL unit of type `type`.
inline bool HasNal(const std::vector<uint8_t>& bytes, int type)
{
    return std::ranges::any_of(ParseNals(bytes), [type](const Nal& nal) { return nal.Type == type; });
}
} // namespace EncoderTest
