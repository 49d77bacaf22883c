#pragma once
// Helpers of the encoder runtime tests: drawn test frames, a session driven through the function
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
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace EncoderTest
{
constexpr uint32_t WaitMilliseconds = TestSupport::PatienceMilliseconds;
constexpr uint64_t FrameTime = 333333;

// A parameter structure, zeroed, with its version set.
template <class P>
P Versioned(uint32_t version)
{
    P params {};
    params.version = version;
    return params;
}

inline NV_ENC_REGISTER_RESOURCE TextureRegistration(void* texture, uint32_t width, uint32_t height, uint32_t pitch, NV_ENC_BUFFER_FORMAT format)
{
    auto r = Versioned<NV_ENC_REGISTER_RESOURCE>(NV_ENC_REGISTER_RESOURCE_VER);
    r.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX, r.width = width, r.height = height, r.pitch = pitch;
    r.resourceToRegister = texture, r.bufferFormat = format;
    return r;
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

// What the encoder transform sets, with the values the tests vary.
struct Options
{
    uint32_t Width = 160, Height = 96, GopLength = 4, Qp = 24;
    bool Asynchronous = true;
    NV_ENC_BUFFER_FORMAT Format = NV_ENC_BUFFER_FORMAT_NV12;
    uint32_t BitstreamBuffers = 4;
};

struct Initialization { NV_ENC_CONFIG Config {}; NV_ENC_INITIALIZE_PARAMS Params {}; };

inline std::unique_ptr<Initialization> MakeInitialization(const Options& o)
{
    auto init = std::make_unique<Initialization>();
    NV_ENC_CONFIG& c = init->Config;
    c.version = NV_ENC_CONFIG_VER, c.profileGUID = NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID, c.gopLength = o.GopLength, c.frameIntervalP = 1;
    c.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME, c.mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;
    c.rcParams.version = NV_ENC_RC_PARAMS_VER, c.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP, c.rcParams.constQP = NV_ENC_QP { o.Qp, o.Qp, o.Qp };
    NV_ENC_CONFIG_H264& h = c.encodeCodecConfig.h264Config;
    h.outputAUD = 1, h.repeatSPSPPS = 1, h.idrPeriod = o.GopLength, h.chromaFormatIDC = 1;
    NV_ENC_INITIALIZE_PARAMS& p = init->Params;
    p.version = NV_ENC_INITIALIZE_PARAMS_VER, p.encodeGUID = NV_ENC_CODEC_H264_GUID, p.presetGUID = NvEncPresets::LowLatencyDefault;
    p.encodeWidth = p.darWidth = o.Width, p.encodeHeight = p.darHeight = o.Height, p.frameRateNum = 30, p.frameRateDen = 1;
    p.enableEncodeAsync = o.Asynchronous, p.enablePTD = 1, p.encodeConfig = &init->Config;
    return init;
}

struct Output
{
    std::vector<uint8_t> Bytes;
    uint64_t TimeStamp = 0, Duration = 0;
    NV_ENC_PIC_TYPE PictureType = NV_ENC_PIC_TYPE_UNKNOWN;
    uint32_t AverageQp = 0;
};

// A session driven like the encoder transform drives it: one bitstream buffer, input buffer and
// completion event a slot.
class Session
{
public:
    explicit Session(const Options& options, void* device = nullptr) : m_Options(options)
    {
        F.version = NV_ENCODE_API_FUNCTION_LIST_VER;
        EXPECT_EQ(SoftwareEncoder::CreateInstance(&F), NV_ENC_SUCCESS);
        auto open = Versioned<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER);
        open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX, open.device = device, open.apiVersion = NVENCAPI_VERSION;
        EXPECT_EQ(F.nvEncOpenEncodeSessionEx(&open, &E), NV_ENC_SUCCESS);
    }
    ~Session() { Destroy(); }

    void Destroy() { EXPECT_EQ(E ? F.nvEncDestroyEncoder(std::exchange(E, nullptr)) : NV_ENC_SUCCESS, NV_ENC_SUCCESS); }

    NVENCSTATUS Initialize() { return F.nvEncInitializeEncoder(E, &MakeInitialization(m_Options)->Params); }

    // Initializes and creates the buffers, the events (registered) and one input buffer a slot.
    void Start()
    {
        ASSERT_EQ(Initialize(), NV_ENC_SUCCESS);
        for (uint32_t i = 0; i < m_Options.BitstreamBuffers; ++i)
        {
            auto create = Versioned<NV_ENC_CREATE_BITSTREAM_BUFFER>(NV_ENC_CREATE_BITSTREAM_BUFFER_VER);
            auto input = Versioned<NV_ENC_CREATE_INPUT_BUFFER>(NV_ENC_CREATE_INPUT_BUFFER_VER);
            input.width = m_Options.Width, input.height = m_Options.Height, input.bufferFmt = m_Options.Format;
            ASSERT_EQ(F.nvEncCreateBitstreamBuffer(E, &create) | F.nvEncCreateInputBuffer(E, &input), NV_ENC_SUCCESS);
            Bitstreams.push_back(create.bitstreamBuffer);
            Inputs.push_back(input.inputBuffer);
            Events.push_back(std::make_unique<Sync::Event>(Sync::Event::ResetMode::Manual));
            ASSERT_EQ(m_Options.Asynchronous ? RegisterEvent(Events.back().get()) : NV_ENC_SUCCESS, NV_ENC_SUCCESS);
        }
        ASSERT_EQ(m_Options.Asynchronous ? RegisterEvent(&EndOfStream) : NV_ENC_SUCCESS, NV_ENC_SUCCESS);
    }

    NVENCSTATUS RegisterEvent(Sync::Event* event, bool registering = true)
    {
        auto params = Versioned<NV_ENC_EVENT_PARAMS>(NV_ENC_EVENT_PARAMS_VER);
        params.completionEvent = event;
        return registering ? F.nvEncRegisterAsyncEvent(E, &params) : F.nvEncUnregisterAsyncEvent(E, &params);
    }

    // Draws frame `frame` into slot `slot`'s input buffer.
    void Fill(uint32_t slot, uint32_t frame)
    {
        auto lock = Versioned<NV_ENC_LOCK_INPUT_BUFFER>(NV_ENC_LOCK_INPUT_BUFFER_VER);
        lock.inputBuffer = Inputs[slot];
        ASSERT_EQ(F.nvEncLockInputBuffer(E, &lock), NV_ENC_SUCCESS);
        Draw(frame, m_Options.Width, m_Options.Height, m_Options.Format, static_cast<uint8_t*>(lock.bufferDataPtr), lock.pitch);
        InputPitch = lock.pitch;
        ASSERT_EQ(F.nvEncUnlockInputBuffer(E, Inputs[slot]), NV_ENC_SUCCESS);
    }

    // A progressive picture of frame `frame` from `input` (slot's input buffer by default) into slot's bitstream.
    NV_ENC_PIC_PARAMS Picture(uint32_t slot, uint32_t frame, uint32_t flags = 0, void* input = nullptr)
    {
        auto p = Versioned<NV_ENC_PIC_PARAMS>(NV_ENC_PIC_PARAMS_VER);
        p.inputWidth = m_Options.Width, p.inputHeight = m_Options.Height, p.inputPitch = InputPitch, p.bufferFmt = m_Options.Format;
        p.inputBuffer = input ? input : Inputs[slot], p.outputBitstream = Bitstreams[slot];
        p.completionEvent = m_Options.Asynchronous ? Events[slot].get() : nullptr;
        p.pictureStruct = NV_ENC_PIC_STRUCT_FRAME, p.encodePicFlags = flags, p.inputTimeStamp = frame * FrameTime, p.inputDuration = FrameTime;
        return p;
    }

    NVENCSTATUS Submit(uint32_t slot, uint32_t frame, uint32_t flags = 0)
    {
        Events[slot]->Reset();
        NV_ENC_PIC_PARAMS picture = Picture(slot, frame, flags);
        return F.nvEncEncodePicture(E, &picture);
    }

    NVENCSTATUS SubmitEndOfStream()
    {
        EndOfStream.Reset();
        auto picture = Versioned<NV_ENC_PIC_PARAMS>(NV_ENC_PIC_PARAMS_VER);
        picture.encodePicFlags = NV_ENC_PIC_FLAG_EOS, picture.completionEvent = m_Options.Asynchronous ? &EndOfStream : nullptr;
        return F.nvEncEncodePicture(E, &picture);
    }

    // Holds the encoding and submits frames 0 to count - 1, one a slot.
    void SubmitHeld(uint32_t count)
    {
        ASSERT_EQ(SoftwareEncoder::HoldEncoding(E, true), NV_ENC_SUCCESS);
        for (uint32_t slot = 0; slot < count; ++slot)
        {
            Fill(slot, slot);
            ASSERT_EQ(Submit(slot, slot), NV_ENC_SUCCESS);
        }
    }

    // Waits for slot's event (asynchronous mode) and takes its picture out.
    Output Collect(uint32_t slot)
    {
        EXPECT_TRUE(!m_Options.Asynchronous || Events[slot]->Wait(WaitMilliseconds)) << "slot " << slot;
        return Take(slot);
    }

    // Locks slot's bitstream (waiting for its picture) and copies the picture out.
    Output Take(uint32_t slot)
    {
        auto lock = Versioned<NV_ENC_LOCK_BITSTREAM>(NV_ENC_LOCK_BITSTREAM_VER);
        lock.outputBitstream = Bitstreams[slot];
        EXPECT_EQ(F.nvEncLockBitstream(E, &lock), NV_ENC_SUCCESS);
        Output output { {}, lock.outputTimeStamp, lock.outputDuration, lock.pictureType, lock.frameAvgQP };
        if (const auto* bytes = static_cast<const uint8_t*>(lock.bitstreamBufferPtr))
        {
            output.Bytes.assign(bytes, bytes + lock.bitstreamSizeInBytes);
            EXPECT_EQ(F.nvEncUnlockBitstream(E, Bitstreams[slot]), NV_ENC_SUCCESS);
        }
        return output;
    }

    // Encodes `count` frames through the slots in turn (at most one picture in flight per slot),
    // flagging the frames in `forcedIdr`, then ends the stream. The outputs in submission order.
    std::vector<Output> EncodeFrames(uint32_t count, const std::set<uint32_t>& forcedIdr = {})
    {
        std::vector<Output> outputs;
        const uint32_t slots = static_cast<uint32_t>(Bitstreams.size());
        for (uint32_t frame = 0; frame < count; ++frame)
        {
            const uint32_t slot = frame % slots;
            if (frame >= slots)
                outputs.push_back(Collect(slot));
            Fill(slot, frame);
            EXPECT_EQ(Submit(slot, frame, forcedIdr.count(frame) ? NV_ENC_PIC_FLAG_FORCEIDR : 0), NV_ENC_SUCCESS);
        }
        EXPECT_EQ(SubmitEndOfStream(), NV_ENC_SUCCESS);
        for (uint32_t frame = count > slots ? count - slots : 0; frame < count; ++frame)
            outputs.push_back(Collect(frame % slots));
        EXPECT_TRUE(!m_Options.Asynchronous || EndOfStream.Wait(WaitMilliseconds));
        return outputs;
    }

    const Options m_Options;
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
    char folder[] = "/tmp/xev-encoder-XXXXXX";
    if (!mkdtemp(folder))
        return ADD_FAILURE() << "mkdtemp", Decoded {};
    const std::string stream = std::string(folder) + "/stream.h264", raw = std::string(folder) + "/frames.nv12";
    {
        std::ofstream streamFile(stream, std::ios::binary), rawFile(raw, std::ios::binary);
        for (const Output& output : outputs)
            streamFile.write(reinterpret_cast<const char*>(output.Bytes.data()), std::streamsize(output.Bytes.size()));
        for (uint32_t frame = 0; frame < outputs.size(); ++frame)
        {
            const auto pixels = RawFrame(frame, width, height, NV_ENC_BUFFER_FORMAT_NV12);
            rawFile.write(reinterpret_cast<const char*>(pixels.data()), std::streamsize(pixels.size()));
        }
    }
    const auto result = TestSupport::RunProcess({ "/usr/bin/ffmpeg", "-nostdin", "-v", "debug", "-f", "rawvideo", "-pix_fmt", "nv12", "-s",
        std::to_string(width) + "x" + std::to_string(height), "-i", raw, "-debug", "pict", "-threads", "1", "-f", "h264", "-i", stream, "-lavfi",
        "[0:v]format=yuv420p,setpts=N/TB/30[reference];[1:v]format=yuv420p,setpts=N/TB/30[decoded];[decoded][reference]psnr", "-f", "null", "-" });
    std::filesystem::remove_all(folder);
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
        if (const std::size_t mb = line.find(" mb:"); mb != std::string::npos)
            std::sscanf(line.c_str() + mb, " mb:%*d %c", &slice.Type);
        slice.Idr = line.find(" IDR") != std::string::npos;
        if (const std::size_t qp = line.find(" qp:"); qp != std::string::npos)
            slice.Qp = std::atoi(line.c_str() + qp + 4);
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
