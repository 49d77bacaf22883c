#include "SoftwareSession.h"

#include "platform/com/Trace.h"
#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"
#include "platform/system/Blocking.h"
#include "platform/system/Event.h"

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cstring>

namespace SoftwareEncoder
{
namespace
{
constexpr uint32_t PitchAlignment = 64;
// Pictures inside libx264 at once: its delay (B-pictures) plus the one being encoded.
constexpr std::size_t PictureSlots = 64;
static_assert(PictureSlots > MaximumBFrames + 2);

uint32_t AlignUp(uint32_t value, uint32_t alignment) noexcept
{
    return (value + alignment - 1) / alignment * alignment;
}

bool IsInputFormat(NV_ENC_BUFFER_FORMAT format) noexcept
{
    return format == NV_ENC_BUFFER_FORMAT_NV12 || format == NV_ENC_BUFFER_FORMAT_ARGB;
}

NV_ENC_PIC_TYPE PictureTypeOf(int x264Type) noexcept
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

template <class Table>
auto FindIn(const Table& table, const void* handle) -> typename Table::value_type
{
    for (const auto& entry : table)
        if (entry.get() == handle)
            return entry;
    return {};
}
} // namespace

// What a picture reads: the host memory of an input buffer or of a registered texture.
class Session::Surface
{
public:
    struct Image
    {
        const uint8_t* Luma = nullptr;   // first row (ARGB: the only plane)
        const uint8_t* Chroma = nullptr; // NV12: interleaved chroma rows
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

class Session::InputBuffer final : public Session::Surface
{
public:
    InputBuffer(NV_ENC_BUFFER_FORMAT format, uint32_t width, uint32_t height)
        : Surface(format, width, height)
        , Pitch(AlignUp(format == NV_ENC_BUFFER_FORMAT_ARGB ? width * 4 : width, PitchAlignment))
        , Size(std::size_t(Pitch) * (format == NV_ENC_BUFFER_FORMAT_NV12 ? height + height / 2 : height))
        , Memory(new uint8_t[Size]())
    {
    }

    bool Read(Image* image) override
    {
        image->Luma = Memory.get();
        image->Chroma = Format == NV_ENC_BUFFER_FORMAT_NV12 ? Memory.get() + std::size_t(Pitch) * Height : nullptr;
        image->Pitch = Pitch;
        return true;
    }

    const uint32_t Pitch;
    const std::size_t Size;
    const std::unique_ptr<uint8_t[]> Memory;
    // Guarded by the session's lock.
    bool Locked = false;
    uint32_t Queued = 0; // pictures submitted that the encoding thread has not read yet
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

Session::Session(ID3D11Device* device) : m_Device(static_cast<IUnknown*>(device)), m_Pictures(PictureSlots) {}

Session::~Session()
{
    Shutdown();
}

void Session::Shutdown()
{
    std::thread thread;
    MFPlatform::Ring<Submission> dropped;
    {
        std::lock_guard lock(m_Lock);
        if (m_Stopping)
            return;
        m_Stopping = true;
        std::swap(dropped, m_Submissions);
        m_Awaiting.Clear();
        thread = std::move(m_Thread);
    }
    m_Changed.notify_all();
    if (thread.joinable())
        thread.join();
    CloseEncoder();
    // What the dropped pictures held (buffers, textures) goes now, outside the lock.
    dropped.Clear();
    std::lock_guard lock(m_Lock);
    m_InputBuffers.clear();
    m_BitstreamBuffers.clear();
    m_Registrations.clear();
    m_Mappings.clear();
    m_Events.clear();
}

const char* Session::LastError() const noexcept
{
    std::lock_guard lock(m_Lock);
    return m_LastError;
}

void Session::HoldEncoding(bool hold)
{
    {
        std::lock_guard lock(m_Lock);
        m_HoldEncoding = hold;
    }
    m_Changed.notify_all();
}

namespace
{
// The first checks of every entry point that takes a versioned structure: present, and of the
// version this interface defines.
template <class Structure>
NVENCSTATUS CheckStructure(const Structure* structure, uint32_t version) noexcept
{
    if (!structure)
        return NV_ENC_ERR_INVALID_PTR;
    return structure->version == version ? NV_ENC_SUCCESS : NV_ENC_ERR_INVALID_VERSION;
}
} // namespace

NVENCSTATUS Session::FailLocked(NVENCSTATUS status, const char* text)
{
    m_LastError = text;
    XEV_TRACE("this 0x%p, Status %d, %s\n", static_cast<void*>(this), static_cast<int>(status), text);
    return status;
}

// ---- Initialisation ------------------------------------------------------------------------

NVENCSTATUS Session::Initialize(const NV_ENC_INITIALIZE_PARAMS* params)
{
    if (!params)
        return NV_ENC_ERR_INVALID_PTR;
    std::unique_lock lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (m_Initialized)
        return FailLocked(NV_ENC_ERR_INVALID_CALL, "the encoder is initialized already");
    EncoderSettings settings;
    if (const NVENCSTATUS status = ReadInitializeParams(*params, &settings); status != NV_ENC_SUCCESS)
        return FailLocked(status, "NV_ENC_INITIALIZE_PARAMS refused");
    if (const NVENCSTATUS status = MakeX264Params(settings, &m_X264Params); status != NV_ENC_SUCCESS)
        return FailLocked(status, "libx264 refused the settings");
    m_Settings = settings;
    if (!OpenEncoder())
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "libx264 could not open an encoder");

    // The parameter sets are fixed for the session: SPS and PPS, without libx264's own SEI.
    x264_nal_t* nals = nullptr;
    int count = 0;
    if (x264_encoder_headers(m_Encoder, &nals, &count) < 0)
    {
        CloseEncoder();
        return FailLocked(NV_ENC_ERR_GENERIC, "libx264 gave no headers");
    }
    m_SequenceHeaders.clear();
    for (int i = 0; i < count; ++i)
        if (nals[i].i_type == NAL_SPS || nals[i].i_type == NAL_PPS)
            m_SequenceHeaders.insert(m_SequenceHeaders.end(), nals[i].p_payload, nals[i].p_payload + nals[i].i_payload);
    m_Initialized = true;
    m_Thread = std::thread([this] { EncodingThread(); });
    XEV_TRACE("this 0x%p, Size %ux%u, Rate %u/%u, GopLength %u, IdrPeriod %u, BFrames %u, QP %u/%u/%u, Async %d\n", static_cast<void*>(this),
        settings.Width, settings.Height, settings.FrameRateNumerator, settings.FrameRateDenominator, settings.GopLength,
        settings.IdrPeriod, settings.BFrames, settings.QpIntra, settings.QpInterP, settings.QpInterB, settings.Asynchronous ? 1 : 0);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::GetSequenceParams(NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload)
{
    if (const NVENCSTATUS status = CheckStructure(payload, NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER); status != NV_ENC_SUCCESS)
        return status;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!m_Initialized)
        return FailLocked(NV_ENC_ERR_ENCODER_NOT_INITIALIZED, "sequence parameters before initialization");
    if (!payload->spsppsBuffer || !payload->outSPSPPSPayloadSize)
        return FailLocked(NV_ENC_ERR_INVALID_PTR, "no buffer for the sequence parameters");
    if (payload->inBufferSize < m_SequenceHeaders.size())
        return FailLocked(NV_ENC_ERR_NOT_ENOUGH_BUFFER, "the sequence parameter buffer is too small");
    std::memcpy(payload->spsppsBuffer, m_SequenceHeaders.data(), m_SequenceHeaders.size());
    *payload->outSPSPPSPayloadSize = static_cast<uint32_t>(m_SequenceHeaders.size());
    return NV_ENC_SUCCESS;
}

// ---- Input buffers -------------------------------------------------------------------------

std::shared_ptr<Session::InputBuffer> Session::FindInputBufferLocked(void* handle) const
{
    return handle ? FindIn(m_InputBuffers, handle) : nullptr;
}

NVENCSTATUS Session::CreateInputBuffer(NV_ENC_CREATE_INPUT_BUFFER* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_CREATE_INPUT_BUFFER_VER); status != NV_ENC_SUCCESS)
        return status;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!m_Initialized)
        return FailLocked(NV_ENC_ERR_ENCODER_NOT_INITIALIZED, "input buffer before initialization");
    if (params->pSysMemBuffer)
        return FailLocked(NV_ENC_ERR_UNSUPPORTED_PARAM, "client memory for an input buffer");
    const uint32_t width = params->width, height = params->height;
    if (!IsInputFormat(params->bufferFmt) || width == 0 || height == 0 || width > MaximumSize || height > MaximumSize ||
        (params->bufferFmt == NV_ENC_BUFFER_FORMAT_NV12 && (width % 2 || height % 2)))
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "input buffer format or size");
    auto buffer = std::make_shared<InputBuffer>(params->bufferFmt, width, height);
    m_InputBuffers.push_back(buffer);
    params->inputBuffer = buffer.get();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::DestroyInputBuffer(NV_ENC_INPUT_PTR handle)
{
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto found = std::find_if(m_InputBuffers.begin(), m_InputBuffers.end(), [&](auto& b) { return handle && b.get() == handle; });
    if (found == m_InputBuffers.end())
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown input buffer");
    // A picture still queued keeps the memory until the encoding thread has read it.
    m_InputBuffers.erase(found);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::LockInputBuffer(NV_ENC_LOCK_INPUT_BUFFER* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_LOCK_INPUT_BUFFER_VER); status != NV_ENC_SUCCESS)
        return status;
    std::unique_lock lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto buffer = FindInputBufferLocked(params->inputBuffer);
    if (!buffer)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown input buffer");
    if (buffer->Locked)
        return FailLocked(NV_ENC_ERR_LOCK_BUSY, "the input buffer is locked already");
    if (buffer->Queued)
    {
        if (params->doNotWait)
            return NV_ENC_ERR_ENCODER_BUSY;
        const Sync::BlockingRegion blocking;
        m_Changed.wait(lock, [&] { return m_Stopping || buffer->Queued == 0 || buffer->Locked; });
        if (m_Stopping)
            return NV_ENC_ERR_INVALID_ENCODERDEVICE;
        if (buffer->Locked)
            return FailLocked(NV_ENC_ERR_LOCK_BUSY, "the input buffer is locked already");
    }
    buffer->Locked = true;
    params->bufferDataPtr = buffer->Memory.get();
    params->pitch = buffer->Pitch;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::UnlockInputBuffer(NV_ENC_INPUT_PTR handle)
{
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto buffer = FindInputBufferLocked(handle);
    if (!buffer)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown input buffer");
    if (!buffer->Locked)
        return FailLocked(NV_ENC_ERR_INVALID_CALL, "the input buffer is not locked");
    buffer->Locked = false;
    m_Changed.notify_all();
    return NV_ENC_SUCCESS;
}

// ---- Bitstream buffers ---------------------------------------------------------------------

std::shared_ptr<Session::BitstreamBuffer> Session::FindBitstreamBufferLocked(void* handle) const
{
    return handle ? FindIn(m_BitstreamBuffers, handle) : nullptr;
}

NVENCSTATUS Session::CreateBitstreamBuffer(NV_ENC_CREATE_BITSTREAM_BUFFER* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_CREATE_BITSTREAM_BUFFER_VER); status != NV_ENC_SUCCESS)
        return status;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!m_Initialized)
        return FailLocked(NV_ENC_ERR_ENCODER_NOT_INITIALIZED, "bitstream buffer before initialization");
    // Without a size the buffer holds twice a raw picture and the parameter sets.
    uint32_t capacity = params->size;
    if (capacity == 0)
        capacity = m_Settings.Width * m_Settings.Height * 3 + (64u << 10);
    auto buffer = std::make_shared<BitstreamBuffer>(capacity);
    if (m_Settings.ReportSliceOffsets)
        buffer->SliceOffsets.reserve(((m_Settings.Width + 15) / 16) * ((m_Settings.Height + 15) / 16));
    m_BitstreamBuffers.push_back(buffer);
    // Room to queue every buffer (and ends of streams) without growing while pictures flow.
    m_Submissions.Reserve(m_BitstreamBuffers.size() + 4);
    m_Awaiting.Reserve(m_BitstreamBuffers.size() + 4);
    params->bitstreamBuffer = buffer.get();
    params->bitstreamBufferPtr = nullptr;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::DestroyBitstreamBuffer(NV_ENC_OUTPUT_PTR handle)
{
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto found = std::find_if(m_BitstreamBuffers.begin(), m_BitstreamBuffers.end(), [&](auto& b) { return handle && b.get() == handle; });
    if (found == m_BitstreamBuffers.end())
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown bitstream buffer");
    // A picture in flight still gets encoded; its output is dropped and its event not signalled.
    (*found)->Destroyed = true;
    m_BitstreamBuffers.erase(found);
    m_Changed.notify_all();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::LockBitstream(NV_ENC_LOCK_BITSTREAM* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_LOCK_BITSTREAM_VER); status != NV_ENC_SUCCESS)
        return status;
    std::unique_lock lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto buffer = FindBitstreamBufferLocked(params->outputBitstream);
    if (!buffer)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown bitstream buffer");
    using State = BitstreamBuffer::State;
    if (buffer->Current == State::Idle)
        return FailLocked(NV_ENC_ERR_INVALID_CALL, "the bitstream buffer holds no picture");
    if (buffer->Current == State::Locked)
        return FailLocked(NV_ENC_ERR_INVALID_CALL, "the bitstream buffer is locked already");
    if (buffer->Current == State::Pending)
    {
        if (params->doNotWait)
            return NV_ENC_ERR_LOCK_BUSY;
        // Waits for this buffer's picture only.
        const Sync::BlockingRegion blocking;
        m_Changed.wait(lock, [&] { return m_Stopping || buffer->Destroyed || buffer->Current != State::Pending; });
        if (m_Stopping)
            return NV_ENC_ERR_INVALID_ENCODERDEVICE;
        if (buffer->Destroyed)
            return NV_ENC_ERR_INVALID_PARAM;
        if (buffer->Current != State::Ready)
            return FailLocked(NV_ENC_ERR_INVALID_CALL, "the bitstream buffer was locked meanwhile");
    }
    params->hwEncodeStatus = static_cast<uint32_t>(buffer->Status);
    if (buffer->Status != NV_ENC_SUCCESS)
    {
        // A failed picture leaves nothing to unlock.
        buffer->Current = State::Idle;
        return FailLocked(buffer->Status, "the picture could not be encoded");
    }
    buffer->Current = State::Locked;
    params->bitstreamBufferPtr = buffer->Memory.get();
    params->bitstreamSizeInBytes = buffer->Size;
    params->outputTimeStamp = buffer->TimeStamp;
    params->outputDuration = buffer->Duration;
    params->frameIdx = buffer->FrameIdx;
    params->pictureType = buffer->PictureType;
    params->pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    params->frameAvgQP = buffer->AverageQp;
    params->numSlices = buffer->SliceCount;
    params->ltrFrame = 0;
    if (params->sliceOffsets && m_Settings.ReportSliceOffsets)
        std::copy(buffer->SliceOffsets.begin(), buffer->SliceOffsets.end(), params->sliceOffsets);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::UnlockBitstream(NV_ENC_OUTPUT_PTR handle)
{
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto buffer = FindBitstreamBufferLocked(handle);
    if (!buffer)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown bitstream buffer");
    if (buffer->Current != BitstreamBuffer::State::Locked)
        return FailLocked(NV_ENC_ERR_INVALID_CALL, "the bitstream buffer is not locked");
    buffer->Current = BitstreamBuffer::State::Idle;
    return NV_ENC_SUCCESS;
}

// ---- Completion events ---------------------------------------------------------------------

bool Session::IsRegisteredEventLocked(Sync::Event* event) const
{
    return event && std::find(m_Events.begin(), m_Events.end(), event) != m_Events.end();
}

NVENCSTATUS Session::RegisterAsyncEvent(NV_ENC_EVENT_PARAMS* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_EVENT_PARAMS_VER); status != NV_ENC_SUCCESS)
        return status;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto* event = static_cast<Sync::Event*>(params->completionEvent);
    if (!event)
        return FailLocked(NV_ENC_ERR_INVALID_EVENT, "no event to register");
    if (!IsRegisteredEventLocked(event))
        m_Events.push_back(event);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::UnregisterAsyncEvent(NV_ENC_EVENT_PARAMS* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_EVENT_PARAMS_VER); status != NV_ENC_SUCCESS)
        return status;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto found = std::find(m_Events.begin(), m_Events.end(), static_cast<Sync::Event*>(params->completionEvent));
    if (!params->completionEvent || found == m_Events.end())
        return FailLocked(NV_ENC_ERR_EVENT_NOT_REGISTERD, "the event is not registered");
    // From here on the event is never signalled: pictures in flight with it complete silently.
    m_Events.erase(found);
    return NV_ENC_SUCCESS;
}

bool Session::CheckEventLocked(Sync::Event* event, NVENCSTATUS* status)
{
    if (!m_Settings.Asynchronous)
        return true;
    if (!event)
    {
        *status = FailLocked(NV_ENC_ERR_INVALID_EVENT, "no completion event in asynchronous mode");
        return false;
    }
    if (!IsRegisteredEventLocked(event))
    {
        *status = FailLocked(NV_ENC_ERR_EVENT_NOT_REGISTERD, "the completion event is not registered");
        return false;
    }
    return true;
}

// Runs the event's registered waits on this thread; they only hand work on (Sync::Event's rule),
// so signalling under the lock cannot come back into the session.
void Session::SignalLocked(Sync::Event* event)
{
    if (m_Settings.Asynchronous && IsRegisteredEventLocked(event))
        event->Set();
}

// ---- Registered resources ------------------------------------------------------------------

std::shared_ptr<Session::Registration> Session::FindRegistrationLocked(void* handle) const
{
    return handle ? FindIn(m_Registrations, handle) : nullptr;
}

Session::Mapping* Session::FindMappingLocked(void* handle) const
{
    for (const auto& mapping : m_Mappings)
        if (handle && mapping.get() == handle && mapping->Resource)
            return mapping.get();
    return nullptr;
}

NVENCSTATUS Session::RegisterResource(NV_ENC_REGISTER_RESOURCE* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_REGISTER_RESOURCE_VER); status != NV_ENC_SUCCESS)
        return status;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (params->resourceType != NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "only Direct3D textures can be registered");
    if (params->bufferUsage != NV_ENC_INPUT_IMAGE)
        return FailLocked(NV_ENC_ERR_UNSUPPORTED_PARAM, "only input images can be registered");
    if (!params->resourceToRegister)
        return FailLocked(NV_ENC_ERR_INVALID_PTR, "no resource to register");
    auto* texture = static_cast<ID3D11Texture2D*>(params->resourceToRegister);
    D3D11_TEXTURE2D_DESC desc {};
    texture->GetDesc(&desc);
    NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_UNDEFINED;
    if (desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM)
        format = NV_ENC_BUFFER_FORMAT_ARGB;
    else if (desc.Format == DXGI_FORMAT_NV12)
        format = NV_ENC_BUFFER_FORMAT_NV12;
    else
        return FailLocked(NV_ENC_ERR_RESOURCE_REGISTER_FAILED, "the texture format cannot be encoded");
    if (params->bufferFormat != format)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "the buffer format does not match the texture");
    if (params->width == 0 || params->height == 0 || params->width > desc.Width || params->height > desc.Height ||
        params->subResourceIndex >= std::max(desc.ArraySize, 1u))
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "the size or subresource does not fit the texture");
    auto registration = std::make_shared<Registration>(texture, params->subResourceIndex, format, params->width, params->height);
    m_Registrations.push_back(registration);
    params->registeredResource = registration.get();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::UnregisterResource(NV_ENC_REGISTERED_PTR handle)
{
    std::shared_ptr<Registration> released;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto found = std::find_if(m_Registrations.begin(), m_Registrations.end(), [&](auto& r) { return handle && r.get() == handle; });
    if (found == m_Registrations.end())
        return FailLocked(NV_ENC_ERR_RESOURCE_NOT_REGISTERED, "unknown registered resource");
    released = std::move(*found);
    m_Registrations.erase(found);
    // Its mappings end with it; pictures in flight keep the texture until they are encoded.
    for (auto& mapping : m_Mappings)
        if (mapping->Resource == released)
            mapping->Resource.reset();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::MapInputResource(NV_ENC_MAP_INPUT_RESOURCE* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_MAP_INPUT_RESOURCE_VER); status != NV_ENC_SUCCESS)
        return status;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    auto registration = FindRegistrationLocked(params->registeredResource);
    if (!registration)
        return FailLocked(NV_ENC_ERR_RESOURCE_NOT_REGISTERED, "mapping an unknown registered resource");
    Mapping* slot = nullptr;
    for (auto& mapping : m_Mappings)
        if (!mapping->Resource)
        {
            slot = mapping.get();
            break;
        }
    if (!slot)
        slot = m_Mappings.emplace_back(std::make_unique<Mapping>()).get();
    slot->Resource = std::move(registration);
    params->mappedResource = slot;
    params->mappedBufferFmt = slot->Resource->Format;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::UnmapInputResource(NV_ENC_INPUT_PTR handle)
{
    std::shared_ptr<Registration> released;
    std::lock_guard lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    Mapping* mapping = FindMappingLocked(handle);
    if (!mapping)
        return FailLocked(NV_ENC_ERR_RESOURCE_NOT_MAPPED, "unknown mapped resource");
    released = std::move(mapping->Resource);
    return NV_ENC_SUCCESS;
}

// ---- Pictures ------------------------------------------------------------------------------

NVENCSTATUS Session::EncodePicture(NV_ENC_PIC_PARAMS* params)
{
    if (const NVENCSTATUS status = CheckStructure(params, NV_ENC_PIC_PARAMS_VER); status != NV_ENC_SUCCESS)
        return status;
    std::unique_lock lock(m_Lock);
    if (m_Stopping)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!m_Initialized)
        return FailLocked(NV_ENC_ERR_ENCODER_NOT_INITIALIZED, "picture before initialization");
    NVENCSTATUS status = NV_ENC_SUCCESS;
    auto* event = static_cast<Sync::Event*>(params->completionEvent);

    if (params->encodePicFlags & NV_ENC_PIC_FLAG_EOS)
    {
        if (!CheckEventLocked(event, &status))
            return status;
        Submission submission;
        submission.EndOfStream = true;
        submission.Event = event;
        m_Submissions.PushBack(std::move(submission));
        lock.unlock();
        m_Changed.notify_all();
        return NV_ENC_SUCCESS;
    }

    std::shared_ptr<Surface> input;
    auto inputBuffer = FindInputBufferLocked(params->inputBuffer);
    if (inputBuffer)
    {
        if (inputBuffer->Locked)
            return FailLocked(NV_ENC_ERR_INVALID_CALL, "the input buffer is still locked");
        input = inputBuffer;
    }
    else if (Mapping* mapping = FindMappingLocked(params->inputBuffer))
        input = mapping->Resource;
    else
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown input buffer or mapped resource");
    auto output = FindBitstreamBufferLocked(params->outputBitstream);
    if (!output)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown bitstream buffer");
    if (output->Current != BitstreamBuffer::State::Idle)
        return FailLocked(NV_ENC_ERR_INVALID_CALL, "the bitstream buffer is still in use");
    if (params->inputWidth != m_Settings.Width || params->inputHeight != m_Settings.Height || input->Width < m_Settings.Width ||
        input->Height < m_Settings.Height)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "the input size differs from the encode size");
    if (params->bufferFmt != input->Format)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "the buffer format differs from the input's");
    if (params->pictureStruct != NV_ENC_PIC_STRUCT_FRAME)
        return FailLocked(NV_ENC_ERR_UNSUPPORTED_PARAM, "only progressive frames can be encoded");
    if (!CheckEventLocked(event, &status))
        return status;

    Submission submission;
    submission.Input = std::move(input);
    submission.Buffer = inputBuffer;
    submission.TimeStamp = params->inputTimeStamp;
    submission.Duration = params->inputDuration;
    submission.FrameIdx = params->frameIdx;
    submission.Flags = params->encodePicFlags;
    submission.PictureType = params->pictureType;
    if (inputBuffer)
        ++inputBuffer->Queued;
    output->Current = BitstreamBuffer::State::Pending;
    output->Status = NV_ENC_SUCCESS;
    output->Size = 0;
    m_Awaiting.PushBack(Awaiting { std::move(output), event });
    m_Submissions.PushBack(std::move(submission));
    lock.unlock();
    m_Changed.notify_all();
    return NV_ENC_SUCCESS;
}

// ---- The encoding thread -------------------------------------------------------------------

bool Session::OpenEncoder()
{
    x264_param_t params = m_X264Params;
    m_Encoder = x264_encoder_open(&params);
    m_EncoderFlushed = false;
    m_HeadersPending = true;
    m_PicturesSinceIdr = 0;
    return m_Encoder != nullptr;
}

void Session::CloseEncoder()
{
    if (m_Encoder)
        x264_encoder_close(m_Encoder);
    m_Encoder = nullptr;
}

void Session::EncodingThread()
{
    std::unique_lock lock(m_Lock);
    for (;;)
    {
        m_Changed.wait(lock, [&] { return m_Stopping || (!m_HoldEncoding && !m_Submissions.Empty()); });
        if (m_Stopping)
            return;
        Submission submission = m_Submissions.PopFront();
        if (submission.EndOfStream)
        {
            FlushEncoder(lock);
            // Every picture before the end has its output now; any left could not be encoded.
            FailAwaitingLocked(NV_ENC_ERR_GENERIC);
            SignalLocked(submission.Event);
        }
        else
        {
            EncodeSubmission(submission, lock);
            if (submission.Buffer)
                --submission.Buffer->Queued;
        }
        m_Changed.notify_all();
        // What the picture held (a destroyed buffer, a texture) is released outside the lock.
        lock.unlock();
        submission = Submission {};
        lock.lock();
    }
}

int Session::ForcedPictureType(const Submission& submission)
{
    const EncoderSettings& s = m_Settings;
    bool idr = (submission.Flags & NV_ENC_PIC_FLAG_FORCEIDR) != 0;
    int type = X264_TYPE_AUTO;
    if (!s.PictureTypeDecision)
    {
        switch (submission.PictureType)
        {
        case NV_ENC_PIC_TYPE_IDR: idr = true; break;
        case NV_ENC_PIC_TYPE_I: type = X264_TYPE_I; break;
        case NV_ENC_PIC_TYPE_P: type = X264_TYPE_P; break;
        case NV_ENC_PIC_TYPE_B: type = s.BFrames ? X264_TYPE_B : X264_TYPE_P; break;
        default: break;
        }
    }
    if (submission.Flags & NV_ENC_PIC_FLAG_FORCEINTRA)
        type = X264_TYPE_I;
    // The picture's place in the pattern: 0 for an IDR picture, counting up to the next.
    uint64_t position = m_PicturesSinceIdr;
    if (idr || (s.IdrPeriod != InfiniteGop && position >= s.IdrPeriod))
        position = 0;
    m_PicturesSinceIdr = position + 1;
    if (position == 0)
        return X264_TYPE_IDR;
    if (type == X264_TYPE_AUTO && (s.IntraOnly || (s.GopLength != InfiniteGop && position % s.GopLength == 0)))
        type = X264_TYPE_I;
    return type;
}

void Session::EncodeSubmission(Submission& submission, std::unique_lock<std::mutex>& lock)
{
    ++m_InsideEncoder;
    lock.unlock();
    bool failed = false;
    int size = 0;
    x264_nal_t* nals = nullptr;
    int nalCount = 0;
    x264_picture_t output;
    x264_picture_init(&output);
    if (m_EncoderFlushed || !m_Encoder)
    {
        CloseEncoder();
        failed = !OpenEncoder();
    }
    Surface::Image image;
    if (!failed && submission.Input->Read(&image))
    {
        x264_picture_t picture;
        x264_picture_init(&picture);
        picture.img.i_csp = X264_CSP_NV12;
        picture.img.i_plane = 2;
        const uint32_t width = m_Settings.Width, height = m_Settings.Height;
        if (submission.Input->Format == NV_ENC_BUFFER_FORMAT_ARGB)
        {
            // Packed B, G, R, A bytes to 4:2:0 into the session's one conversion picture.
            if (!m_Conversion)
                m_Conversion.reset(new uint8_t[std::size_t(width) * height * 3 / 2]);
            uint8_t* luma = m_Conversion.get();
            uint8_t* chroma = luma + std::size_t(width) * height;
            libyuv::ARGBToNV12(image.Luma, static_cast<int>(image.Pitch), luma, static_cast<int>(width), chroma,
                static_cast<int>(width), static_cast<int>(width), static_cast<int>(height));
            picture.img.plane[0] = luma;
            picture.img.plane[1] = chroma;
            picture.img.i_stride[0] = picture.img.i_stride[1] = static_cast<int>(width);
        }
        else
        {
            // NV12 is libx264's own layout: it reads the client's memory directly.
            picture.img.plane[0] = const_cast<uint8_t*>(image.Luma);
            picture.img.plane[1] = const_cast<uint8_t*>(image.Chroma);
            picture.img.i_stride[0] = picture.img.i_stride[1] = static_cast<int>(image.Pitch);
        }
        picture.i_type = ForcedPictureType(submission);
        picture.i_pts = m_PictureCounter++;
        m_Pictures[static_cast<std::size_t>(picture.i_pts) % m_Pictures.size()] =
            PictureInfo { submission.TimeStamp, submission.Duration, submission.FrameIdx,
                (submission.Flags & NV_ENC_PIC_FLAG_OUTPUT_SPSPPS) != 0 };
        size = x264_encoder_encode(m_Encoder, &nals, &nalCount, &picture, &output);
        failed = size < 0;
    }
    else
        failed = true;
    lock.lock();
    if (failed)
    {
        // The pictures inside libx264 are lost with it: fail their buffers (this picture's
        // included) and start a new stream with the next picture.
        XEV_TRACE("this 0x%p, the picture could not be encoded\n", static_cast<void*>(this));
        FailAwaitingLocked(NV_ENC_ERR_GENERIC);
        m_EncoderFlushed = true;
    }
    else if (size > 0)
        DeliverLocked(nals, nalCount, size, output);
}

void Session::FlushEncoder(std::unique_lock<std::mutex>& lock)
{
    if (!m_Encoder || x264_encoder_delayed_frames(m_Encoder) == 0)
        return;
    lock.unlock();
    // libx264 cannot take pictures after a flush: the next picture reopens it.
    m_EncoderFlushed = true;
    while (x264_encoder_delayed_frames(m_Encoder) > 0)
    {
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        x264_picture_t output;
        x264_picture_init(&output);
        const int size = x264_encoder_encode(m_Encoder, &nals, &nalCount, nullptr, &output);
        if (size < 0)
            break;
        if (size > 0)
        {
            lock.lock();
            DeliverLocked(nals, nalCount, size, output);
            lock.unlock();
        }
    }
    lock.lock();
}

void Session::DeliverLocked(x264_nal_t* nals, int nalCount, int size, const x264_picture_t& output)
{
    if (m_Awaiting.Empty() || m_InsideEncoder == 0)
        return;
    Awaiting awaiting = m_Awaiting.PopFront();
    BitstreamBuffer& buffer = *awaiting.Buffer;
    if (buffer.Destroyed)
    {
        --m_InsideEncoder;
        return;
    }
    const PictureInfo& info = m_Pictures[static_cast<std::size_t>(output.i_pts) % m_Pictures.size()];
    const bool idr = output.i_type == X264_TYPE_IDR;
    // Without repeated headers the stream still starts with them (after the AUD), as the
    // hardware writes them with its first IDR picture; OUTPUT_SPSPPS asks for them on any picture.
    const bool headers = !m_Settings.DisableSpsPps && (info.WriteHeaders || (idr && !m_Settings.RepeatSpsPps && m_HeadersPending));
    if (idr)
        m_HeadersPending = false;
    --m_InsideEncoder;
    const std::size_t headerSize = headers ? m_SequenceHeaders.size() : 0;
    buffer.SliceCount = 0;
    buffer.SliceOffsets.clear();
    if (std::size_t(size) + headerSize > buffer.Capacity)
    {
        buffer.Status = NV_ENC_ERR_NOT_ENOUGH_BUFFER;
        buffer.Size = 0;
    }
    else
    {
        uint8_t* out = buffer.Memory.get();
        std::size_t used = 0;
        for (int i = 0; i < nalCount; ++i)
        {
            if (headers && i == (nals[0].i_type == NAL_AUD ? 1 : 0))
            {
                std::memcpy(out + used, m_SequenceHeaders.data(), headerSize);
                used += headerSize;
            }
            if (nals[i].i_type == NAL_SLICE || nals[i].i_type == NAL_SLICE_IDR)
            {
                if (buffer.SliceOffsets.size() < buffer.SliceOffsets.capacity())
                    buffer.SliceOffsets.push_back(static_cast<uint32_t>(used));
                ++buffer.SliceCount;
            }
            std::memcpy(out + used, nals[i].p_payload, static_cast<std::size_t>(nals[i].i_payload));
            used += static_cast<std::size_t>(nals[i].i_payload);
        }
        buffer.Status = NV_ENC_SUCCESS;
        buffer.Size = static_cast<uint32_t>(used);
    }
    buffer.TimeStamp = info.TimeStamp;
    buffer.Duration = info.Duration;
    buffer.FrameIdx = info.FrameIdx;
    buffer.PictureType = PictureTypeOf(output.i_type);
    buffer.AverageQp = static_cast<uint32_t>(std::max(output.i_qpplus1 - 1, 0));
    buffer.Current = BitstreamBuffer::State::Ready;
    SignalLocked(awaiting.Event);
}

void Session::FailAwaitingLocked(NVENCSTATUS status)
{
    for (; m_InsideEncoder > 0 && !m_Awaiting.Empty(); --m_InsideEncoder)
    {
        Awaiting awaiting = m_Awaiting.PopFront();
        if (awaiting.Buffer->Destroyed)
            continue;
        awaiting.Buffer->Status = status;
        awaiting.Buffer->Size = 0;
        awaiting.Buffer->Current = BitstreamBuffer::State::Ready;
        SignalLocked(awaiting.Event);
    }
    m_InsideEncoder = 0;
}
} // namespace SoftwareEncoder
