#pragma once
// The private parts of SoftwareEncoder::Session, shared by its entry points (SoftwareSession.cpp)
// and its encoding thread (SoftwareEncodingThread.cpp).

#include "SoftwareSession.h"

#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"
#include "platform/mf/BlockCache.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace SoftwareEncoder
{
constexpr uint32_t PitchAlignment = 64;
// Pictures inside libx264 at once: its delay (B-pictures) plus the one being encoded.
constexpr std::size_t PictureSlots = 64;
static_assert(PictureSlots > MaximumBFrames + 2);

inline uint32_t AlignUp(uint32_t value, uint32_t alignment) noexcept
{
    return (value + alignment - 1) / alignment * alignment;
}

inline bool IsInputFormat(NV_ENC_BUFFER_FORMAT format) noexcept
{
    return format == NV_ENC_BUFFER_FORMAT_NV12 || format == NV_ENC_BUFFER_FORMAT_ARGB;
}

inline NV_ENC_PIC_TYPE PictureTypeOf(int x264Type) noexcept
{
    switch (x264Type)
    {
    case X264_TYPE_IDR: return NV_ENC_PIC_TYPE_IDR;
    case X264_TYPE_I: return NV_ENC_PIC_TYPE_I;
    case X264_TYPE_P: return NV_ENC_PIC_TYPE_P;
    case X264_TYPE_B:
    case X264_TYPE_BREF: return NV_ENC_PIC_TYPE_B;
    default: return NV_ENC_PIC_TYPE_UNKNOWN;
    }
}

// The entry of `handle`, or empty for null or an unknown handle.
template <class Table>
auto FindIn(const Table& table, const void* handle) -> typename Table::value_type
{
    for (const auto& entry : table)
        if (handle && entry.get() == handle)
            return entry;
    return {};
}

// Takes the entry of `handle` out of the table: the entry, or empty for null or an unknown handle.
template <class Table>
auto TakeFrom(Table& table, const void* handle) -> typename Table::value_type
{
    const auto found = std::find_if(table.begin(), table.end(), [&](const auto& entry) { return handle && entry.get() == handle; });
    if (found == table.end())
        return {};
    auto entry = std::move(*found);
    table.erase(found);
    return entry;
}

// What a picture reads: the host memory of an input buffer or of a registered texture.
class Session::Surface
{
public:
    struct Image
    {
        const uint8_t* Luma = nullptr;   // first row (packed ARGB: the only plane)
        const uint8_t* Chroma = nullptr; // NV12: interleaved chroma rows; null for packed ARGB
        uint32_t Pitch = 0;
    };

    Surface(NV_ENC_BUFFER_FORMAT format, uint32_t width, uint32_t height) : Format(format), Width(width), Height(height) {}
    virtual ~Surface() = default;
    // Called by the encoding thread without the session's lock.
    virtual bool Read(Image* image) = 0;

    const NV_ENC_BUFFER_FORMAT Format;
    const uint32_t Width;
    const uint32_t Height;
};

// An input buffer holds its picture as NV12, which libx264 reads in place. An ARGB buffer lends
// its client a staging area while it is locked and converts it into its NV12 picture when it is
// unlocked, on the client's thread, while the rows are still in its caches. Only buffers being
// written need one, so staging areas are recycled frame-size blocks of the process, shared with
// every session (and with the media buffers of the same size).
class Session::InputBuffer final : public Session::Surface
{
public:
    InputBuffer(NV_ENC_BUFFER_FORMAT format, uint32_t width, uint32_t height)
        : Surface(format, width, height)
        , Pitch(AlignUp(width + width % 2, PitchAlignment))
        , Size(std::size_t(Pitch) * (height + (height + 1) / 2))
        , Memory(new uint8_t[Size])
        , StagingPitch(format == NV_ENC_BUFFER_FORMAT_ARGB ? AlignUp(width * 4, PitchAlignment) : Pitch)
    {
        // Cleared as the client's memory always was: zeroed ARGB converts to black.
        const bool argb = format == NV_ENC_BUFFER_FORMAT_ARGB;
        std::memset(Memory.get(), argb ? 16 : 0, std::size_t(Pitch) * height);
        std::memset(Memory.get() + std::size_t(Pitch) * height, argb ? 128 : 0, Size - std::size_t(Pitch) * height);
    }

    bool Read(Image* image) override
    {
        image->Luma = Memory.get();
        image->Chroma = Memory.get() + std::size_t(Pitch) * Height;
        image->Pitch = Pitch;
        return true;
    }

    // What the client writes while the buffer is locked: the NV12 picture itself, or for ARGB a
    // staging area (taken by LockInputBuffer, converted and given back by UnlockInputBuffer).
    uint8_t* ClientMemory() const noexcept { return Staging ? Staging.get() : Memory.get(); }
    std::size_t StagingSize() const noexcept { return std::size_t(StagingPitch) * Height; }
    // ARGB rows at StagingPitch to the NV12 picture (BT.601 limited range).
    void ConvertFrom(const uint8_t* staging) noexcept;

    const uint32_t Pitch;  // of the NV12 picture, both planes
    const std::size_t Size;
    const std::unique_ptr<uint8_t[]> Memory;
    const uint32_t StagingPitch; // the pitch the client writes at
    // Guarded by the session's lock.
    bool Locked = false;
    uint32_t Queued = 0; // pictures submitted that the encoding thread has not read yet
    // ARGB buffers while locked; taken by the unlocking thread to convert (the buffer stays Locked).
    MFPlatform::RecycledBlock Staging;
};

class Session::Registration final : public Session::Surface
{
public:
    Registration(ID3D11Texture2D* texture, UINT subresource, NV_ENC_BUFFER_FORMAT format, uint32_t width, uint32_t height)
        : Surface(format, width, height), Texture(texture), Subresource(subresource)
    {
    }

    // The texture's memory once the device's copies into it have completed.
    bool Read(Image* image) override
    {
        D3D11Host::TextureMemory memory;
        if (FAILED(D3D11Host::GetTextureMemory(Texture.Get(), Subresource, &memory)) || memory.Width < Width || memory.Height < Height)
            return false;
        image->Luma = memory.Data;
        image->Chroma = memory.ChromaPlane();
        image->Pitch = memory.RowPitch;
        return image->Luma && (Format != NV_ENC_BUFFER_FORMAT_NV12 || image->Chroma);
    }

    const ComPtr<ID3D11Texture2D> Texture;
    const UINT Subresource;
};

// A mapped resource handle; a slot with no resource is free for the next mapping.
struct Session::Mapping
{
    std::shared_ptr<Registration> Resource;
};

struct Session::BitstreamBuffer
{
    enum class State
    {
        Idle,    // free for a picture
        Pending, // submitted, not encoded yet
        Ready,   // encoded (or failed), waiting for its lock
        Locked,  // locked by the client
    };

    explicit BitstreamBuffer(uint32_t capacity) : Capacity(capacity), Memory(new uint8_t[capacity]) {}

    const uint32_t Capacity;
    const std::unique_ptr<uint8_t[]> Memory; // not cleared: pages are touched only as pictures fill them
    // Guarded by the session's lock.
    State Current = State::Idle;
    bool Destroyed = false;
    NVENCSTATUS Status = NV_ENC_SUCCESS;
    uint32_t Size = 0;
    uint64_t TimeStamp = 0;
    uint64_t Duration = 0;
    uint32_t FrameIdx = 0;
    NV_ENC_PIC_TYPE PictureType = NV_ENC_PIC_TYPE_UNKNOWN;
    uint32_t AverageQp = 0;
    uint32_t SliceCount = 0;
    std::vector<uint32_t> SliceOffsets; // reserved up front when slice offsets are reported
};

struct Session::Submission
{
    std::shared_ptr<Surface> Input;        // null for the end of the stream
    std::shared_ptr<InputBuffer> Buffer;   // Input when it is an input buffer
    uint64_t TimeStamp = 0;
    uint64_t Duration = 0;
    uint32_t FrameIdx = 0;
    uint32_t Flags = 0;
    NV_ENC_PIC_TYPE PictureType = NV_ENC_PIC_TYPE_P;
    bool EndOfStream = false;
    Sync::Event* Event = nullptr;          // end of stream: its completion event
};

struct Session::Awaiting
{
    std::shared_ptr<BitstreamBuffer> Buffer;
    Sync::Event* Event = nullptr;
};

struct Session::PictureInfo
{
    uint64_t TimeStamp = 0;
    uint64_t Duration = 0;
    uint32_t FrameIdx = 0;
    bool WriteHeaders = false; // NV_ENC_PIC_FLAG_OUTPUT_SPSPPS
};
} // namespace SoftwareEncoder
