#pragma once

// Pieces shared by the benchmarks that drive the software runtime through its function list.

#include "platform/encoder/SoftwareRuntime.h"
#include "platform/mf/Api.h"
#include "platform/system/Event.h"

#include <benchmark/benchmark.h>

#include <ctime>
#include <memory>
#include <vector>

namespace Bench
{
// The media platform started for one benchmark and shut down after it.
struct MediaPlatform
{
    MediaPlatform() { MFStartup(MF_VERSION); }
    ~MediaPlatform() { MFShutdown(); }
};

inline double CpuSeconds(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

inline double ProcessCpuSeconds() { return CpuSeconds(CLOCK_PROCESS_CPUTIME_ID); }
inline double ThreadCpuSeconds() { return CpuSeconds(CLOCK_THREAD_CPUTIME_ID); }

// Fills `F` with the software runtime's entries and opens and initializes a session with `params`;
// null, with the benchmark marked as skipped, when that fails.
inline void* OpenSoftwareSession(benchmark::State& state, NV_ENCODE_API_FUNCTION_LIST& F, NV_ENC_INITIALIZE_PARAMS& params)
{
    F = {};
    F.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    SoftwareEncoder::CreateInstance(&F);
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS open {};
    open.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX;
    open.apiVersion = NVENCAPI_VERSION;
    void* encoder = nullptr;
    if (F.nvEncOpenEncodeSessionEx(&open, &encoder) != NV_ENC_SUCCESS || F.nvEncInitializeEncoder(encoder, &params) != NV_ENC_SUCCESS)
    {
        state.SkipWithError("the session did not start");
        return nullptr;
    }
    return encoder;
}

// A new input buffer of the session (null when the session refuses one).
inline NV_ENC_INPUT_PTR CreateInputBuffer(const NV_ENCODE_API_FUNCTION_LIST& F, void* encoder, uint32_t width, uint32_t height,
                                          NV_ENC_BUFFER_FORMAT format)
{
    NV_ENC_CREATE_INPUT_BUFFER create {};
    create.version = NV_ENC_CREATE_INPUT_BUFFER_VER;
    create.width = width;
    create.height = height;
    create.bufferFmt = format;
    return F.nvEncCreateInputBuffer(encoder, &create) == NV_ENC_SUCCESS ? create.inputBuffer : nullptr;
}

// Bitstream buffers in flight, one completion event each, used in turn by frame number.
class BitstreamRing
{
public:
    BitstreamRing(const NV_ENCODE_API_FUNCTION_LIST& F, void* encoder, uint32_t count) : F(F), encoder(encoder)
    {
        for (uint32_t i = 0; i < count; ++i)
        {
            NV_ENC_CREATE_BITSTREAM_BUFFER create {};
            create.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
            create.size = 0x200000;
            F.nvEncCreateBitstreamBuffer(encoder, &create);
            outputs.push_back(create.bitstreamBuffer);
            events.push_back(std::make_unique<Sync::Event>(Sync::Event::ResetMode::Manual));
            NV_ENC_EVENT_PARAMS event {};
            event.version = NV_ENC_EVENT_PARAMS_VER;
            event.completionEvent = events.back().get();
            F.nvEncRegisterAsyncEvent(encoder, &event);
        }
    }

    uint32_t Slot(uint64_t frame) const { return static_cast<uint32_t>(frame % outputs.size()); }

    // Frame `frame`'s slot made ready for it: the frame that used it before collected, its event reset.
    void Prepare(uint64_t frame, NV_ENC_PIC_PARAMS& picture)
    {
        const uint32_t slot = Slot(frame);
        if (frame >= outputs.size())
            Collect(slot);
        events[slot]->Reset();
        picture.outputBitstream = outputs[slot];
        picture.completionEvent = events[slot].get();
    }

    // Waits for the frames still in flight after `frames` were sent.
    void Drain(uint64_t frames)
    {
        for (uint64_t last = frames > outputs.size() ? frames - outputs.size() : 0; last < frames; ++last)
            Collect(Slot(last));
    }

    uint64_t Bytes() const { return bytes; }

private:
    void Collect(uint32_t slot)
    {
        events[slot]->Wait();
        NV_ENC_LOCK_BITSTREAM lock {};
        lock.version = NV_ENC_LOCK_BITSTREAM_VER;
        lock.outputBitstream = outputs[slot];
        if (F.nvEncLockBitstream(encoder, &lock) == NV_ENC_SUCCESS)
        {
            bytes += lock.bitstreamSizeInBytes;
            F.nvEncUnlockBitstream(encoder, outputs[slot]);
        }
    }

    const NV_ENCODE_API_FUNCTION_LIST& F;
    void* encoder;
    std::vector<NV_ENC_OUTPUT_PTR> outputs;
    std::vector<std::unique_ptr<Sync::Event>> events;
    uint64_t bytes = 0;
};
} // namespace Bench
