#pragma once
// Helpers of the encoder runtime tests: drawn test frames, a session driven through the function
// list the way the encoder transform drives it, and readers of real decoder output (ffprobe,
// ffmpeg) and of Annex B streams.

#include "platform/encoder/NvEncodeApi.h"
#include "platform/encoder/SoftwareRuntime.h"
#include "platform/system/Event.h"

#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace EncoderTest
{
constexpr uint32_t WaitMilliseconds = 30000; // generous: tests never depend on speed

inline NV_ENCODE_API_FUNCTION_LIST SoftwareFunctions()
{
    NV_ENCODE_API_FUNCTION_LIST list {};
    list.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    EXPECT_EQ(SoftwareEncoder::CreateInstance(&list), NV_ENC_SUCCESS);
    return list;
}

// ---- Test frames ---------------------------------------------------------------------------

// A black picture with a dark-blue rectangle that moves with the frame index and a row of white
// squares that spell the index in binary: simple content with motion, as the source draws it.
struct Rgb
{
    uint8_t R, G, B;
};

inline Rgb PixelAt(uint32_t frame, uint32_t x, uint32_t y, uint32_t width, uint32_t height)
{
    const uint32_t square = std::max(width / 32, 4u) & ~1u;
    if (y >= square && y < 2 * square && x >= square && x < square * 17)
    {
        const uint32_t bit = (x - square) / square;
        if ((frame >> (bit / 2)) & 1u && bit % 2 == 0)
            return { 235, 235, 235 };
    }
    const uint32_t rectangleWidth = width / 4, rectangleHeight = height / 4;
    const uint32_t left = (frame * 8) % (width - rectangleWidth), top = height / 2;
    if (x >= left && x < left + rectangleWidth && y >= top && y < top + rectangleHeight)
        return { 0, 0, 139 };
    return { 0, 0, 0 };
}

// BT.601 limited range, as the encoder's ARGB conversion and ffmpeg use.
inline void ToYuv(Rgb c, uint8_t* y, uint8_t* u, uint8_t* v)
{
    *y = static_cast<uint8_t>(((66 * c.R + 129 * c.G + 25 * c.B + 128) >> 8) + 16);
    *u = static_cast<uint8_t>(((-38 * c.R - 74 * c.G + 112 * c.B + 128) >> 8) + 128);
    *v = static_cast<uint8_t>(((112 * c.R - 94 * c.G - 18 * c.B + 128) >> 8) + 128);
}

// NV12 at `pitch`: luma rows, then interleaved chroma rows right after `height` luma rows.
inline void DrawNv12(uint32_t frame, uint32_t width, uint32_t height, uint8_t* luma, uint8_t* chroma, uint32_t pitch)
{
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
        {
            uint8_t Y, U, V;
            ToYuv(PixelAt(frame, x, y, width, height), &Y, &U, &V);
            luma[std::size_t(y) * pitch + x] = Y;
            if (y % 2 == 0 && x % 2 == 0)
            {
                chroma[std::size_t(y / 2) * pitch + x] = U;
                chroma[std::size_t(y / 2) * pitch + x + 1] = V;
            }
        }
}

// Packed B, G, R, A bytes at `pitch`.
inline void DrawArgb(uint32_t frame, uint32_t width, uint32_t height, uint8_t* pixels, uint32_t pitch)
{
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
        {
            const Rgb c = PixelAt(frame, x, y, width, height);
            uint8_t* p = pixels + std::size_t(y) * pitch + std::size_t(x) * 4;
            p[0] = c.B;
            p[1] = c.G;
            p[2] = c.R;
            p[3] = 255;
        }
}

// One frame, tightly packed, as ffmpeg reads raw video.
inline std::vector<uint8_t> RawFrame(uint32_t frame, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format)
{
    if (format == NV_ENC_BUFFER_FORMAT_ARGB)
    {
        std::vector<uint8_t> pixels(std::size_t(width) * height * 4);
        DrawArgb(frame, width, height, pixels.data(), width * 4);
        return pixels;
    }
    std::vector<uint8_t> pixels(std::size_t(width) * height * 3 / 2);
    DrawNv12(frame, width, height, pixels.data(), pixels.data() + std::size_t(width) * height, width);
    return pixels;
}

// ---- Configuration -------------------------------------------------------------------------

// What the encoder transform sets, with the values the tests vary.
struct Options
{
    uint32_t Width = 640;
    uint32_t Height = 360;
    uint32_t RateNumerator = 30;
    uint32_t RateDenominator = 1;
    uint32_t GopLength = 4;
    uint32_t IdrPeriod = 0; // 0: the GOP length
    int32_t FrameIntervalP = 1;
    uint32_t Qp = 24;
    bool OutputAud = true;
    bool RepeatSpsPps = true;
    bool Asynchronous = true;
    NV_ENC_BUFFER_FORMAT Format = NV_ENC_BUFFER_FORMAT_NV12;
    uint32_t BitstreamBuffers = 4;
};

struct Initialization
{
    NV_ENC_CONFIG Config {};
    NV_ENC_INITIALIZE_PARAMS Params {};
};

inline std::unique_ptr<Initialization> MakeInitialization(const Options& o)
{
    auto init = std::make_unique<Initialization>();
    NV_ENC_CONFIG& c = init->Config;
    c.version = NV_ENC_CONFIG_VER;
    c.profileGUID = NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID;
    c.gopLength = o.GopLength;
    c.frameIntervalP = o.FrameIntervalP;
    c.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    c.mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;
    c.rcParams.version = NV_ENC_RC_PARAMS_VER;
    c.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    c.rcParams.constQP = NV_ENC_QP { o.Qp, o.Qp, o.Qp };
    NV_ENC_CONFIG_H264& h264 = c.encodeCodecConfig.h264Config;
    h264.outputAUD = o.OutputAud;
    h264.repeatSPSPPS = o.RepeatSpsPps;
    h264.idrPeriod = o.IdrPeriod ? o.IdrPeriod : o.GopLength;
    h264.chromaFormatIDC = 1;
    NV_ENC_INITIALIZE_PARAMS& p = init->Params;
    p.version = NV_ENC_INITIALIZE_PARAMS_VER;
    p.encodeGUID = NV_ENC_CODEC_H264_GUID;
    p.presetGUID = NvEncPresets::LowLatencyDefault;
    p.encodeWidth = p.darWidth = o.Width;
    p.encodeHeight = p.darHeight = o.Height;
    p.frameRateNum = o.RateNumerator;
    p.frameRateDen = o.RateDenominator;
    p.enableEncodeAsync = o.Asynchronous;
    p.enablePTD = 1;
    p.encodeConfig = &init->Config;
    return init;
}

// ---- A session driven like the encoder transform drives it ---------------------------------

struct Output
{
    std::vector<uint8_t> Bytes;
    uint64_t TimeStamp = 0;
    uint64_t Duration = 0;
    NV_ENC_PIC_TYPE PictureType = NV_ENC_PIC_TYPE_UNKNOWN;
    uint32_t AverageQp = 0;
};

class Session
{
public:
    explicit Session(const Options& options, void* device = nullptr) : m_Options(options), F(SoftwareFunctions())
    {
        NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS open {};
        open.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
        open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX;
        open.device = device;
        open.apiVersion = NVENCAPI_VERSION;
        EXPECT_EQ(F.nvEncOpenEncodeSessionEx(&open, &E), NV_ENC_SUCCESS);
    }
    ~Session() { Destroy(); }

    void Destroy()
    {
        if (E)
        {
            EXPECT_EQ(F.nvEncDestroyEncoder(E), NV_ENC_SUCCESS);
        }
        E = nullptr;
    }

    NVENCSTATUS Initialize()
    {
        auto init = MakeInitialization(m_Options);
        return F.nvEncInitializeEncoder(E, &init->Params);
    }

    // Initializes and creates the buffers, the events (registered) and one input buffer a slot.
    void Start()
    {
        ASSERT_EQ(Initialize(), NV_ENC_SUCCESS);
        for (uint32_t i = 0; i < m_Options.BitstreamBuffers; ++i)
        {
            NV_ENC_CREATE_BITSTREAM_BUFFER create {};
            create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
            create.size = 0x200000;
            ASSERT_EQ(F.nvEncCreateBitstreamBuffer(E, &create), NV_ENC_SUCCESS);
            Bitstreams.push_back(create.bitstreamBuffer);
            NV_ENC_CREATE_INPUT_BUFFER input {};
            input.version = NV_ENC_CREATE_INPUT_BUFFER_VER;
            input.width = m_Options.Width;
            input.height = m_Options.Height;
            input.bufferFmt = m_Options.Format;
            ASSERT_EQ(F.nvEncCreateInputBuffer(E, &input), NV_ENC_SUCCESS);
            Inputs.push_back(input.inputBuffer);
            Events.push_back(std::make_unique<Sync::Event>(Sync::Event::ResetMode::Manual));
            if (m_Options.Asynchronous)
            {
                ASSERT_EQ(RegisterEvent(Events.back().get()), NV_ENC_SUCCESS);
            }
        }
        if (m_Options.Asynchronous)
        {
            ASSERT_EQ(RegisterEvent(&EndOfStream), NV_ENC_SUCCESS);
        }
    }

    NVENCSTATUS RegisterEvent(Sync::Event* event)
    {
        NV_ENC_EVENT_PARAMS params {};
        params.version = NV_ENC_EVENT_PARAMS_VER;
        params.completionEvent = event;
        return F.nvEncRegisterAsyncEvent(E, &params);
    }

    NVENCSTATUS UnregisterEvent(Sync::Event* event)
    {
        NV_ENC_EVENT_PARAMS params {};
        params.version = NV_ENC_EVENT_PARAMS_VER;
        params.completionEvent = event;
        return F.nvEncUnregisterAsyncEvent(E, &params);
    }

    // Draws frame `frame` into slot `slot`'s input buffer.
    void Fill(uint32_t slot, uint32_t frame)
    {
        NV_ENC_LOCK_INPUT_BUFFER lock {};
        lock.version = NV_ENC_LOCK_INPUT_BUFFER_VER;
        lock.inputBuffer = Inputs[slot];
        ASSERT_EQ(F.nvEncLockInputBuffer(E, &lock), NV_ENC_SUCCESS);
        auto* data = static_cast<uint8_t*>(lock.bufferDataPtr);
        if (m_Options.Format == NV_ENC_BUFFER_FORMAT_ARGB)
            DrawArgb(frame, m_Options.Width, m_Options.Height, data, lock.pitch);
        else
            DrawNv12(frame, m_Options.Width, m_Options.Height, data, data + std::size_t(lock.pitch) * m_Options.Height, lock.pitch);
        InputPitch = lock.pitch;
        ASSERT_EQ(F.nvEncUnlockInputBuffer(E, Inputs[slot]), NV_ENC_SUCCESS);
    }

    NV_ENC_PIC_PARAMS Picture(uint32_t slot, uint32_t frame, uint32_t flags = 0, void* input = nullptr)
    {
        NV_ENC_PIC_PARAMS picture {};
        picture.version = NV_ENC_PIC_PARAMS_VER;
        picture.inputWidth = m_Options.Width;
        picture.inputHeight = m_Options.Height;
        picture.inputPitch = InputPitch;
        picture.encodePicFlags = flags;
        picture.inputTimeStamp = uint64_t(frame) * 333333;
        picture.inputDuration = 333333;
        picture.inputBuffer = input ? input : Inputs[slot];
        picture.outputBitstream = Bitstreams[slot];
        picture.completionEvent = Events[slot].get();
        picture.bufferFmt = m_Options.Format;
        picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        return picture;
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
        NV_ENC_PIC_PARAMS picture {};
        picture.version = NV_ENC_PIC_PARAMS_VER;
        picture.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
        picture.completionEvent = &EndOfStream;
        return F.nvEncEncodePicture(E, &picture);
    }

    // Waits for slot's event (asynchronous mode) and takes its picture out.
    Output Collect(uint32_t slot)
    {
        Output output;
        if (m_Options.Asynchronous)
        {
            EXPECT_TRUE(Events[slot]->Wait(WaitMilliseconds)) << "slot " << slot;
        }
        NV_ENC_LOCK_BITSTREAM lock {};
        lock.version = NV_ENC_LOCK_BITSTREAM_VER;
        lock.outputBitstream = Bitstreams[slot];
        EXPECT_EQ(F.nvEncLockBitstream(E, &lock), NV_ENC_SUCCESS);
        if (lock.bitstreamBufferPtr)
        {
            auto* bytes = static_cast<const uint8_t*>(lock.bitstreamBufferPtr);
            output.Bytes.assign(bytes, bytes + lock.bitstreamSizeInBytes);
            EXPECT_EQ(F.nvEncUnlockBitstream(E, Bitstreams[slot]), NV_ENC_SUCCESS);
        }
        output.TimeStamp = lock.outputTimeStamp;
        output.Duration = lock.outputDuration;
        output.PictureType = lock.pictureType;
        output.AverageQp = lock.frameAvgQP;
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
        if (m_Options.Asynchronous)
        {
            EXPECT_TRUE(EndOfStream.Wait(WaitMilliseconds));
        }
        return outputs;
    }

    const Options m_Options;
    NV_ENCODE_API_FUNCTION_LIST F;
    void* E = nullptr;
    std::vector<NV_ENC_OUTPUT_PTR> Bitstreams;
    std::vector<NV_ENC_INPUT_PTR> Inputs;
    std::vector<std::unique_ptr<Sync::Event>> Events;
    Sync::Event EndOfStream { Sync::Event::ResetMode::Manual };
    uint32_t InputPitch = 0;
};

// ---- Files and decoders --------------------------------------------------------------------

// A temporary directory for one test, removed with it.
class TempDirectory
{
public:
    TempDirectory()
    {
        char pattern[] = "/tmp/xev-encoder-XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        m_Path = made ? made : "/tmp";
    }
    ~TempDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_Path, ignored);
    }
    std::string File(const std::string& name) const { return m_Path + "/" + name; }

private:
    std::string m_Path;
};

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> Concatenate(const std::vector<Output>& outputs)
{
    std::vector<uint8_t> stream;
    for (auto& output : outputs)
        stream.insert(stream.end(), output.Bytes.begin(), output.Bytes.end());
    return stream;
}

// The raw frames 0..count-1 the way ffmpeg reads them (ARGB input is compared with its NV12
// conversion: the same pixels in BT.601 limited range).
inline void WriteRawFrames(const std::string& path, uint32_t count, uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format)
{
    std::ofstream file(path, std::ios::binary);
    for (uint32_t frame = 0; frame < count; ++frame)
    {
        auto raw = RawFrame(frame, width, height, format);
        file.write(reinterpret_cast<const char*>(raw.data()), static_cast<std::streamsize>(raw.size()));
    }
}

struct DecodedFrame
{
    bool KeyFrame = false;
    std::string PictureType;
    uint32_t Width = 0;
    uint32_t Height = 0;
};

// Every frame ffprobe decodes from an H.264 elementary stream, in output order.
inline std::vector<DecodedFrame> ProbeFrames(const std::string& path)
{
    auto result = TestSupport::RunProcess({ "/usr/bin/ffprobe", "-v", "error", "-f", "h264", "-show_entries",
        "frame=key_frame,pict_type,width,height", "-of", "flat", path });
    EXPECT_EQ(result.ExitStatus, 0) << result.Output;
    std::vector<DecodedFrame> frames;
    std::size_t position = 0;
    while (position < result.Output.size())
    {
        std::size_t end = result.Output.find('\n', position);
        if (end == std::string::npos)
            end = result.Output.size();
        const std::string line = result.Output.substr(position, end - position);
        position = end + 1;
        unsigned index = 0;
        char key[32] = {}, value[32] = {};
        if (std::sscanf(line.c_str(), "frames.frame.%u.%31[^=]=%31s", &index, key, value) != 3)
            continue;
        if (frames.size() <= index)
            frames.resize(index + 1);
        DecodedFrame& frame = frames[index];
        const std::string k = key, v = value;
        if (k == "key_frame")
            frame.KeyFrame = v == "1";
        else if (k == "pict_type")
            frame.PictureType = v.substr(1, v.size() - 2);
        else if (k == "width")
            frame.Width = static_cast<uint32_t>(std::stoul(v));
        else if (k == "height")
            frame.Height = static_cast<uint32_t>(std::stoul(v));
    }
    return frames;
}

struct DecodedSlice
{
    char Type = '?'; // I, P, B
    bool Idr = false;
    int Qp = -1;
};

// Each slice header as the decoder reads it (ffmpeg's picture debug lines), in decoding order.
inline std::vector<DecodedSlice> DecodeSlices(const std::string& path)
{
    auto result = TestSupport::RunProcess({ "/usr/bin/ffmpeg", "-nostdin", "-v", "debug", "-debug", "pict", "-threads", "1", "-f", "h264", "-i", path, "-f",
        "null", "-" });
    EXPECT_EQ(result.ExitStatus, 0) << result.Output.substr(0, 2000);
    // ffmpeg probes the stream with a decoder of its own first: only the lines of the decoder
    // that decodes the whole stream (the last one to print; one thread, so one context) count.
    const std::size_t last = result.Output.rfind("] slice:");
    if (last == std::string::npos)
        return {};
    const std::size_t prefix = result.Output.rfind("[h264 @ ", last);
    const std::string decoder = result.Output.substr(prefix, last - prefix);
    std::vector<DecodedSlice> slices;
    std::size_t position = 0;
    while ((position = result.Output.find(decoder + "] slice:", position)) != std::string::npos)
    {
        const std::size_t end = result.Output.find('\n', position);
        const std::string line = result.Output.substr(position, end - position);
        position = end;
        DecodedSlice slice;
        const std::size_t mb = line.find(" mb:");
        if (mb != std::string::npos)
        {
            const std::size_t type = line.find(' ', mb + 1);
            if (type != std::string::npos && type + 1 < line.size())
                slice.Type = line[type + 1];
        }
        slice.Idr = line.find(" IDR") != std::string::npos;
        const std::size_t qp = line.find(" qp:");
        if (qp != std::string::npos)
            slice.Qp = std::atoi(line.c_str() + qp + 4);
        slices.push_back(slice);
    }
    return slices;
}

// The average PSNR (dB) of the decoded stream against the raw frames; 1000 for identical.
inline double Psnr(const std::string& raw, const char* pixelFormat, uint32_t width, uint32_t height, const std::string& encoded)
{
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    // Frames pair by their index, whatever time stamps the demuxers make up.
    auto result = TestSupport::RunProcess({ "/usr/bin/ffmpeg", "-nostdin", "-v", "info", "-f", "rawvideo", "-pix_fmt", pixelFormat, "-s",
        size, "-i", raw, "-f", "h264", "-i", encoded, "-lavfi",
        "[0:v]format=yuv420p,setpts=N/TB/30[reference];[1:v]format=yuv420p,setpts=N/TB/30[decoded];[decoded][reference]psnr",
        "-f", "null", "-" });
    EXPECT_EQ(result.ExitStatus, 0) << result.Output.substr(0, 2000);
    const std::size_t average = result.Output.rfind("average:");
    if (average == std::string::npos)
        return 0;
    if (result.Output.compare(average + 8, 3, "inf") == 0)
        return 1000;
    return std::atof(result.Output.c_str() + average + 8);
}

struct Nal
{
    int Type = 0;
    std::size_t Offset = 0; // of the start code
};

// The NAL units of an Annex B stream, in order.
inline std::vector<Nal> ParseNals(const std::vector<uint8_t>& stream)
{
    std::vector<Nal> nals;
    for (std::size_t i = 0; i + 3 < stream.size(); ++i)
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1)
        {
            const std::size_t start = (i > 0 && stream[i - 1] == 0) ? i - 1 : i;
            nals.push_back({ stream[i + 3] & 0x1F, start });
            i += 3;
        }
    return nals;
}
} // namespace EncoderTest
