#include "SoftwareSessionParts.h"

#include "platform/com/Trace.h"
#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"
#include "platform/system/Blocking.h"
#include "platform/system/Event.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace SoftwareEncoder
{
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
        if (StoppedLocked())
            return;
        m_Lifecycle = Lifecycle::Stopped;
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
    m_Events.Clear();
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

NVENCSTATUS Session::Enter(std::unique_lock<std::mutex>& lock, const char* beforeInitialize)
{
    lock = std::unique_lock(m_Lock);
    if (StoppedLocked())
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (beforeInitialize && m_Lifecycle != Lifecycle::Initialized)
        return FailLocked(NV_ENC_ERR_ENCODER_NOT_INITIALIZED, beforeInitialize);
    return NV_ENC_SUCCESS;
}

template <class Structure>
NVENCSTATUS Session::Enter(std::unique_lock<std::mutex>& lock, const Structure* structure, uint32_t version, const char* beforeInitialize)
{
    if (!structure)
        return NV_ENC_ERR_INVALID_PTR;
    if (structure->version != version)
        return NV_ENC_ERR_INVALID_VERSION;
    return Enter(lock, beforeInitialize);
}

NVENCSTATUS Session::FailLocked(NVENCSTATUS status, const char* text)
{
    m_LastError = text;
    XEV_TRACE("this 0x%p, Status %d, %s\n", static_cast<void*>(this), static_cast<int>(status), text);
    return status;
}


NVENCSTATUS Session::Initialize(const NV_ENC_INITIALIZE_PARAMS* params)
{
    if (!params)
        return NV_ENC_ERR_INVALID_PTR;
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock); status != NV_ENC_SUCCESS)
        return status;
    if (m_Lifecycle == Lifecycle::Initialized)
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
    m_Lifecycle = Lifecycle::Initialized;
    m_Thread = std::thread([this] { EncodingThread(); });
    XEV_TRACE("this 0x%p, Size %ux%u, Rate %u/%u, GopLength %u, IdrPeriod %u, BFrames %u, QP %u/%u/%u, Async %d\n", static_cast<void*>(this),
        settings.Width, settings.Height, settings.FrameRateNumerator, settings.FrameRateDenominator, settings.GopLength,
        settings.IdrPeriod, settings.BFrames, settings.QpIntra, settings.QpInterP, settings.QpInterB, settings.Asynchronous ? 1 : 0);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::GetSequenceParams(NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, payload, NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER, "sequence parameters before initialization"); status != NV_ENC_SUCCESS)
        return status;
    if (!payload->spsppsBuffer || !payload->outSPSPPSPayloadSize)
        return FailLocked(NV_ENC_ERR_INVALID_PTR, "no buffer for the sequence parameters");
    if (payload->inBufferSize < m_SequenceHeaders.size())
        return FailLocked(NV_ENC_ERR_NOT_ENOUGH_BUFFER, "the sequence parameter buffer is too small");
    std::memcpy(payload->spsppsBuffer, m_SequenceHeaders.data(), m_SequenceHeaders.size());
    *payload->outSPSPPSPayloadSize = static_cast<uint32_t>(m_SequenceHeaders.size());
    return NV_ENC_SUCCESS;
}


std::shared_ptr<Session::InputBuffer> Session::FindInputBufferLocked(void* handle) const
{
    return FindIn(m_InputBuffers, handle);
}

NVENCSTATUS Session::CreateInputBuffer(NV_ENC_CREATE_INPUT_BUFFER* params)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_CREATE_INPUT_BUFFER_VER, "input buffer before initialization"); status != NV_ENC_SUCCESS)
        return status;
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
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock); status != NV_ENC_SUCCESS)
        return status;
    // A picture still queued keeps the memory until the encoding thread has read it.
    if (!TakeFrom(m_InputBuffers, handle))
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown input buffer");
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::LockInputBuffer(NV_ENC_LOCK_INPUT_BUFFER* params)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_LOCK_INPUT_BUFFER_VER); status != NV_ENC_SUCCESS)
        return status;
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
        m_Changed.wait(lock, [&] { return StoppedLocked() || buffer->Queued == 0 || buffer->Locked; });
        if (StoppedLocked())
            return NV_ENC_ERR_INVALID_ENCODERDEVICE;
        if (buffer->Locked)
            return FailLocked(NV_ENC_ERR_LOCK_BUSY, "the input buffer is locked already");
    }
    if (buffer->Format == NV_ENC_BUFFER_FORMAT_ARGB)
    {
        try
        {
            buffer->Staging = MFPlatform::TakeRecycledBlock(buffer->StagingSize()); // allocates only while sessions warm up
        }
        catch (const std::bad_alloc&)
        {
            return FailLocked(NV_ENC_ERR_OUT_OF_MEMORY, "no memory for the input buffer's staging area");
        }
    }
    buffer->Locked = true;
    params->bufferDataPtr = buffer->ClientMemory();
    params->pitch = buffer->StagingPitch;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::UnlockInputBuffer(NV_ENC_INPUT_PTR handle)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock); status != NV_ENC_SUCCESS)
        return status;
    auto buffer = FindInputBufferLocked(handle);
    if (!buffer)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown input buffer");
    if (!buffer->Locked || (buffer->Format == NV_ENC_BUFFER_FORMAT_ARGB && !buffer->Staging))
        return FailLocked(NV_ENC_ERR_INVALID_CALL, "the input buffer is not locked");
    if (MFPlatform::RecycledBlock staging = std::move(buffer->Staging))
    {
        // Converted outside the lock: the buffer stays locked (no picture reads it, no other lock
        // or unlock takes it) until its NV12 picture is complete.
        lock.unlock();
        buffer->ConvertFrom(staging.get());
        staging.reset();
        lock.lock();
    }
    buffer->Locked = false;
    lock.unlock();
    m_Changed.notify_all();
    return NV_ENC_SUCCESS;
}


std::shared_ptr<Session::BitstreamBuffer> Session::FindBitstreamBufferLocked(void* handle) const
{
    return FindIn(m_BitstreamBuffers, handle);
}

NVENCSTATUS Session::CreateBitstreamBuffer(NV_ENC_CREATE_BITSTREAM_BUFFER* params)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_CREATE_BITSTREAM_BUFFER_VER, "bitstream buffer before initialization"); status != NV_ENC_SUCCESS)
        return status;
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
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock); status != NV_ENC_SUCCESS)
        return status;
    const auto buffer = TakeFrom(m_BitstreamBuffers, handle);
    if (!buffer)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown bitstream buffer");
    // A picture in flight still gets encoded; its output is dropped and its event not signalled.
    buffer->Destroyed = true;
    m_Changed.notify_all();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::LockBitstream(NV_ENC_LOCK_BITSTREAM* params)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_LOCK_BITSTREAM_VER); status != NV_ENC_SUCCESS)
        return status;
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
        m_Changed.wait(lock, [&] { return StoppedLocked() || buffer->Destroyed || buffer->Current != State::Pending; });
        if (StoppedLocked())
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
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock); status != NV_ENC_SUCCESS)
        return status;
    auto buffer = FindBitstreamBufferLocked(handle);
    if (!buffer)
        return FailLocked(NV_ENC_ERR_INVALID_PARAM, "unknown bitstream buffer");
    if (buffer->Current != BitstreamBuffer::State::Locked)
        return FailLocked(NV_ENC_ERR_INVALID_CALL, "the bitstream buffer is not locked");
    buffer->Current = BitstreamBuffer::State::Idle;
    return NV_ENC_SUCCESS;
}


NVENCSTATUS Session::RegisterAsyncEvent(NV_ENC_EVENT_PARAMS* params)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_EVENT_PARAMS_VER); status != NV_ENC_SUCCESS)
        return status;
    auto* event = static_cast<Sync::Event*>(params->completionEvent);
    if (!event)
        return FailLocked(NV_ENC_ERR_INVALID_EVENT, "no event to register");
    m_Events.Register(event);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::UnregisterAsyncEvent(NV_ENC_EVENT_PARAMS* params)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_EVENT_PARAMS_VER); status != NV_ENC_SUCCESS)
        return status;
    // From here on the event is never signalled: pictures in flight with it complete silently.
    if (!m_Events.Unregister(static_cast<Sync::Event*>(params->completionEvent)))
        return FailLocked(NV_ENC_ERR_EVENT_NOT_REGISTERD, "the event is not registered");
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
    if (!m_Events.Contains(event))
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
    if (m_Settings.Asynchronous && m_Events.Contains(event))
        event->Set();
}


std::shared_ptr<Session::Registration> Session::FindRegistrationLocked(void* handle) const
{
    return FindIn(m_Registrations, handle);
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
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_REGISTER_RESOURCE_VER); status != NV_ENC_SUCCESS)
        return status;
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
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock); status != NV_ENC_SUCCESS)
        return status;
    released = TakeFrom(m_Registrations, handle);
    if (!released)
        return FailLocked(NV_ENC_ERR_RESOURCE_NOT_REGISTERED, "unknown registered resource");
    // Its mappings end with it; pictures in flight keep the texture until they are encoded.
    for (auto& mapping : m_Mappings)
        if (mapping->Resource == released)
            mapping->Resource.reset();
    return NV_ENC_SUCCESS;
}

NVENCSTATUS Session::MapInputResource(NV_ENC_MAP_INPUT_RESOURCE* params)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_MAP_INPUT_RESOURCE_VER); status != NV_ENC_SUCCESS)
        return status;
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
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock); status != NV_ENC_SUCCESS)
        return status;
    Mapping* mapping = FindMappingLocked(handle);
    if (!mapping)
        return FailLocked(NV_ENC_ERR_RESOURCE_NOT_MAPPED, "unknown mapped resource");
    released = std::move(mapping->Resource);
    return NV_ENC_SUCCESS;
}


NVENCSTATUS Session::EncodePicture(NV_ENC_PIC_PARAMS* params)
{
    std::unique_lock<std::mutex> lock;
    if (const NVENCSTATUS status = Enter(lock, params, NV_ENC_PIC_PARAMS_VER, "picture before initialization"); status != NV_ENC_SUCCESS)
        return status;
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
} // namespace SoftwareEncoder
