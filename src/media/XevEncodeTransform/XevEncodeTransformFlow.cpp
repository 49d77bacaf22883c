// XevEncodeTransform: the encoding flow. Opening and closing the encoder, the start and end of a
// stream, frames in (ProcessInput), their completions on the serial work queue, samples out
// (ProcessOutput), and the messages of the media session.

#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include "media/Common/MediaBufferLock.h"
#include "media/Common/Names.h"
#include "platform/com/Error.h"
#include "platform/com/Trace.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#define XEV_THIS static_cast<void*>(this)

namespace
{
constexpr uint32_t EndOfStreamWaitMilliseconds = 2000;

// Copies `rows` rows of `rowBytes` from `source` (rows `stride` apart, negative for bottom-up)
// to `destination` (rows `pitch` apart).
void CopyRows(BYTE* destination, uint32_t pitch, const BYTE* source, INT64 stride, uint32_t rowBytes, uint32_t rows)
{
    if (stride == static_cast<INT64>(pitch) && rows > 0)
    {
        std::memcpy(destination, source, std::size_t(pitch) * (rows - 1) + rowBytes);
        return;
    }
    for (uint32_t row = 0; row < rows; ++row, destination += pitch, source += stride)
        std::memcpy(destination, source, rowBytes);
}
} // namespace

XevEncodeTransform::Buffer::Buffer()
{
    const std::size_t count = ++g_InstanceCount;
    XEV_TRACE("this 0x%p, InstanceCount %zu\n", XEV_THIS, count);
}

XevEncodeTransform::Buffer::~Buffer()
{
    const std::size_t count = --g_InstanceCount;
    XEV_TRACE("this 0x%p, InstanceCount %zu\n", XEV_THIS, count);
}

void XevEncodeTransform::OutputBuffer::RegisterEvent(Xev::EncodeSession& session)
{
    session.RegisterAsyncEvent(&m_Event);
    m_Registered = true;
}

void XevEncodeTransform::OutputBuffer::UnregisterEvent(Xev::EncodeSession& session) noexcept
{
    if (!std::exchange(m_Registered, false))
        return;
    if (const auto status = session.UnregisterAsyncEvent(&m_Event))
        XEV_TRACE("Result %s\n", Xev::StatusName(*status).data());
}

void XevEncodeTransform::OpenEncoderLocked()
{
    if (m_Session.IsOpen())
        return;
    try
    {
        // Without a device manager there is no device to choose the runtime by.
        XEV_CHECK(m_DeviceManager, MF_E_NOT_INITIALIZED);
        XEV_CHECK_HR(m_DeviceManager->OpenDeviceHandle(&m_DeviceHandle));
        XEV_CHECK_HR(m_DeviceManager->GetVideoService(m_DeviceHandle, IidOf<ID3D11Device>, reinterpret_cast<void**>(m_Device.ReleaseAndGetAddressOf())));
        const auto api = Make<Xev::Api>();
        XEV_CHECK_LINE(api->LoadForDevice(m_Device.Get()));
        m_Session.Open(api.Get(), m_Device.Get());
        m_Initialization.Config.version = 0;
    }
    catch (...)
    {
        CloseEncoderLocked();
        throw;
    }
}

void XevEncodeTransform::CloseEncoderLocked()
{
    (void)Error::Continue([&] { m_Session.Close(); });
    m_Device = nullptr;
    if (m_DeviceHandle && m_DeviceManager)
        (void)Error::LogIfFailed(m_DeviceManager->CloseDeviceHandle(m_DeviceHandle));
    m_DeviceHandle = nullptr;
}

void XevEncodeTransform::InitializeEncoderLocked()
{
    const auto format = m_InputType ? Xev::FindInputFormat(m_InputType.Get()) : std::nullopt;
    XEV_CHECK(format, MF_E_INVALIDMEDIATYPE);
    m_InputFormat = *format;
    Xev::EncoderConfiguration configuration = Xev::BuildConfiguration(m_Settings, m_OutputType.Get(), m_Codec);

    NV_ENC_PRESET_CONFIG preset {};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    XEV_CHECK_NVENC(m_Session.GetEncodePresetConfig(m_Codec, NvEncPresets::LowLatencyDefault, &preset));

    if (m_Initialization.Config.version != 0)
    {
        // This session was initialized before: a new one takes the new initialization.
        ComPtr<Xev::Api> api(m_Session.GetApi());
        m_Session.Open(api.Get(), m_Device.Get());
        m_Initialization.Config.version = 0;
    }
    XEV_CHECK_NVENC(m_Session.InitializeEncoder(&configuration.Params));
    m_Initialization = configuration;
}

ComPtr<IMFMediaType> XevEncodeTransform::UpdateOutputMediaTypeExtraDataLocked()
{
    std::array<BYTE, Xev::SequenceParamsCapacity> parameters {};
    const UINT32 size = m_Session.GetSequenceParams(parameters);
    XEV_CHECK_LINE(size <= parameters.size());
    std::vector<BYTE> current;
    UINT32 currentSize = 0;
    if (SUCCEEDED(m_OutputType->GetBlobSize(MF_MT_MPEG_SEQUENCE_HEADER, &currentSize)))
    {
        current.resize(currentSize);
        XEV_CHECK_HR(m_OutputType->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, current.data(), currentSize, &currentSize));
    }
    if (current.size() == size && std::memcmp(current.data(), parameters.data(), size) == 0)
        return nullptr;
    XEV_TRACE("%s, %s\n", Guid::ToText(MF_MT_MPEG_SEQUENCE_HEADER).data(), MF::FormatBytes(parameters.data(), size, 0).c_str());
    ComPtr<IMFMediaType> type;
    XEV_CHECK_HR(MFCreateMediaType(type.GetAddressOf()));
    XEV_CHECK_HR(m_OutputType->CopyAllItems(type.Get()));
    XEV_CHECK_HR(type->SetBlob(MF_MT_MPEG_SEQUENCE_HEADER, parameters.data(), size));
    return type;
}

void XevEncodeTransform::StartOfStreamLocked()
{
    UINT32 unlocked = 0;
    XEV_CHECK_HR(m_Attributes->GetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, &unlocked));
    XEV_CHECK(unlocked != 0, MF_E_TRANSFORM_ASYNC_LOCKED);
    XEV_CHECK(m_OutputType, MF_E_TRANSFORM_TYPE_NOT_SET);
    // A stream that was not ended first ends now, so that nothing of it is lost track of.
    if (StreamingLocked())
        EndOfStreamLocked();

    m_NeedInputCounter = 0;
    m_HaveOutputCounter = 0;
    OpenEncoderLocked();
    AllocateWorkQueue();
    InitializeEncoderLocked();

    const NV_ENC_INITIALIZE_PARAMS& params = m_Initialization.Params;
    const UINT32 count = Xev::BufferCount(m_Initialization.Config, params.encodeWidth, params.encodeHeight);
    m_FreeBuffers.reserve(count);
    m_BusyBuffers.reserve(count);
    m_OutputQueue.reserve(count + 1);
    m_NaluLengths.reserve(64);
    for (UINT32 i = 0; i < count; ++i)
    {
        auto buffer = Make<Buffer>();
        m_FreeBuffers.push_back(buffer);
        buffer->m_Bitstream = m_Session.CreateBitstreamBuffer();
        buffer->m_Output.RegisterEvent(m_Session);
        buffer->m_Callback = Make<MF::AsyncCallback>();
        // The result holds the transform, so a completion never runs on a dead one; the cycle
        // through the buffer ends with the stream (EndOfStream drops the buffers).
        buffer->m_Callback->SetFunction(
            [self = this](MF::AsyncCallback* callback, IMFAsyncResult* result) { self->BufferInvoke(callback, result); }, m_WorkQueue);
        buffer->m_Result = buffer->m_Callback->CreateAsyncResult(AsUnknown(), nullptr);
    }

    m_EosBuffer = std::make_unique<OutputBuffer>();
    m_EosBuffer->RegisterEvent(m_Session);
    m_EosCallback = Make<MF::AsyncCallback>();
    m_EosCallback->SetFunction(
        [self = this](MF::AsyncCallback* callback, IMFAsyncResult* result) { self->EosOutputBufferEventInvoke(callback, result); },
        m_WorkQueue);
    m_EosResult = m_EosCallback->CreateAsyncResult(AsUnknown(), nullptr);
    PutWaitingLocked(m_EosBuffer->m_Event, m_EosResult.Get(), m_EosWorkItemKey);

    if (auto type = UpdateOutputMediaTypeExtraDataLocked())
    {
        m_OutputQueue.push_back({ std::move(type), nullptr });
        ++m_HaveOutputCounter;
        QueueTransformEvent(METransformHaveOutput);
    }
}

void XevEncodeTransform::PutWaitingLocked(Sync::Event& event, IMFAsyncResult* result, MFWORKITEM_KEY& key)
{
    XEV_CHECK_HR(MFPutWaitingWorkItem(&event, 0, result, &key));
}

void XevEncodeTransform::CancelWaitingLocked(MFWORKITEM_KEY& key)
{
    // An item that has started runs its completion, which finds nothing left to do.
    if (key != 0)
        (void)MFCancelWorkItem(std::exchange(key, 0));
}

void XevEncodeTransform::DestroyBufferLocked(Buffer& buffer) noexcept
{
    buffer.m_Output.UnregisterEvent(m_Session);
    (void)Error::Continue([&] { m_KeyedMutexSet.Release(buffer.m_KeyedMutexItem); });
    buffer.m_KeyedMutexItem = nullptr;
    if (buffer.m_MappedResource)
        (void)Error::Continue([&] { m_Session.UnmapInputResource(std::exchange(buffer.m_MappedResource, nullptr)); });
    if (buffer.m_Bitstream)
        (void)Error::Continue([&] { m_Session.DestroyBitstreamBuffer(std::exchange(buffer.m_Bitstream, nullptr)); });
    if (buffer.m_InputBuffer)
        (void)Error::Continue([&] { m_Session.DestroyInputBuffer(std::exchange(buffer.m_InputBuffer, nullptr)); });
    // The callback keeps its function: a completion that has started still runs and finds no
    // buffer in flight.
    buffer.m_Sample = nullptr;
    buffer.m_Token = nullptr;
}

void XevEncodeTransform::EndOfStreamLocked()
{
    XEV_TRACE("this 0x%p\n", XEV_THIS);
    m_NeedInputCounter = -1;
    m_HaveOutputCounter = -1;
    if (StreamingLocked())
    {
        // Lets the encoder finish what it has before its buffers go. After a drain it has
        // nothing left (the usual end of a stream), and the caller's thread does not wait.
        const bool idle = m_BusyBuffers.empty() && (!m_EndOfStreamSubmitted || m_EosBuffer->m_Event.IsSignalled());
        if (m_EosBuffer && !idle)
        {
            m_EosBuffer->m_Event.Reset();
            if (!m_Session.EncodeEndOfStream(&m_EosBuffer->m_Event))
                (void)m_EosBuffer->m_Event.Wait(EndOfStreamWaitMilliseconds);
        }
        m_EndOfStreamSubmitted = false;
        CancelWaitingLocked(m_EosWorkItemKey);
        for (const auto& buffer : m_BusyBuffers)
            CancelWaitingLocked(buffer->m_WorkItemKey);
        (void)Error::Continue([&] { UnlockWorkQueue(); });
        m_WorkQueue = 0;
    }
    if (m_EosBuffer)
        m_EosBuffer->UnregisterEvent(m_Session);
    for (const auto& buffer : m_BusyBuffers)
        DestroyBufferLocked(*buffer);
    for (const auto& buffer : m_FreeBuffers)
        DestroyBufferLocked(*buffer);
    m_KeyedMutexSet.Clear();
    m_OutputQueue.clear();
    for (auto& [texture, registration] : m_Registrations)
        (void)Error::Continue([&] { m_Session.UnregisterResource(registration.Registered); });
    m_Registrations.clear();
    CloseEncoderLocked();
    // The event objects go only after the encoder that knew them.
    m_BusyBuffers.clear();
    m_FreeBuffers.clear();
    m_EosBuffer.reset();
    m_EosCallback = nullptr;
    m_EosResult = nullptr;
}

HRESULT XevEncodeTransform::ProcessInput(DWORD inputStreamID, IMFSample* sample, DWORD flags)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK(inputStreamID == 0, MF_E_INVALIDSTREAMNUMBER);
        XEV_CHECK(sample, E_INVALIDARG);
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        if (m_NeedInputCounter <= 0)
            return MF_E_NOTACCEPTING;
        --m_NeedInputCounter;
        ProcessInputLocked(sample);
        return S_OK;
    });
}

void XevEncodeTransform::ProcessInputLocked(IMFSample* sample)
{
    XEV_CHECK_LINE(!m_FreeBuffers.empty());
    Buffer& buffer = *m_FreeBuffers.front();

    ComPtr<ID3D11Texture2D> texture;
    DWORD bufferCount = 0;
    XEV_CHECK_HR(sample->GetBufferCount(&bufferCount));
    if (bufferCount == 1)
    {
        ComPtr<IMFMediaBuffer> mediaBuffer;
        XEV_CHECK_HR(sample->GetBufferByIndex(0, mediaBuffer.GetAddressOf()));
        UINT32 subresource = 0;
        if (auto dxgiBuffer = mediaBuffer.TryAs<IMFDXGIBuffer>(); dxgiBuffer && SUCCEEDED(dxgiBuffer->GetSubresourceIndex(&subresource)) && subresource == 0)
            XEV_CHECK_HR(dxgiBuffer->GetResource(IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(texture.GetAddressOf())));
    }

    LONGLONG time = 0, duration = 0;
    XEV_CHECK_HR(sample->GetSampleTime(&time));
    if (FAILED(sample->GetSampleDuration(&duration)))
        duration = 0;

    NV_ENC_PIC_PARAMS picture {};
    picture.version = NV_ENC_PIC_PARAMS_VER;
    picture.inputWidth = m_Initialization.Params.encodeWidth;
    picture.inputHeight = m_Initialization.Params.encodeHeight;
    picture.inputTimeStamp = static_cast<uint64_t>(time);
    picture.inputDuration = static_cast<uint64_t>(duration);
    picture.outputBitstream = buffer.m_Bitstream;
    picture.completionEvent = &buffer.m_Output.m_Event;
    picture.bufferFmt = m_InputFormat.BufferFormat;
    picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    try
    {
        if (texture)
            MapTextureLocked(buffer, texture.Get(), picture);
        else
            CopyMemoryFrameLocked(buffer, sample, picture);
        SubmitLocked(buffer, sample, picture, time);
    }
    catch (...)
    {
        // The buffer stays free: it must not keep the texture's mutex or mapping of a frame that
        // never went in.
        (void)Error::Continue([&] { m_KeyedMutexSet.Release(buffer.m_KeyedMutexItem); });
        if (buffer.m_MappedResource)
            (void)Error::Continue([&] { m_Session.UnmapInputResource(std::exchange(buffer.m_MappedResource, nullptr)); });
        throw;
    }

    m_BusyBuffers.push_back(std::move(m_FreeBuffers.front()));
    m_FreeBuffers.erase(m_FreeBuffers.begin());
    if (!m_FreeBuffers.empty())
    {
        ++m_NeedInputCounter;
        QueueTransformEvent(METransformNeedInput);
    }
}

void XevEncodeTransform::SubmitLocked(Buffer& buffer, IMFSample* sample, NV_ENC_PIC_PARAMS& picture, LONGLONG time)
{
    buffer.m_Discontinuity = MFGetAttributeUINT32(sample, MFSampleExtension_Discontinuity, 0) != 0;
    buffer.m_SampleTime = time;
    buffer.m_Token = nullptr;
    (void)sample->GetUnknown(MFSampleExtension_Token, IidOf<IUnknown>, reinterpret_cast<void**>(buffer.m_Token.GetAddressOf()));
    if (const auto forceKeyFrame = m_Settings.ReadUInt32(CODECAPI_AVEncVideoForceKeyFrame))
    {
        if (*forceKeyFrame != 0)
            picture.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR;
        m_Settings.Remove(CODECAPI_AVEncVideoForceKeyFrame);
    }

    buffer.m_Output.m_Event.Reset();
    const NVENCSTATUS status = m_Session.EncodePicture(&picture);
    if (status != NV_ENC_ERR_NEED_MORE_INPUT)
        XEV_CHECK_NVENC(status);
    PutWaitingLocked(buffer.m_Output.m_Event, buffer.m_Result.Get(), buffer.m_WorkItemKey);
}

void XevEncodeTransform::MapTextureLocked(Buffer& buffer, ID3D11Texture2D* texture, NV_ENC_PIC_PARAMS& picture)
{
    D3D11_TEXTURE2D_DESC desc {};
    texture->GetDesc(&desc);
    if (desc.MiscFlags & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX)
    {
        ComPtr<IDXGIKeyedMutex> keyedMutex;
        XEV_CHECK_HR(texture->QueryInterface(IidOf<IDXGIKeyedMutex>, reinterpret_cast<void**>(keyedMutex.GetAddressOf())));
        // The one blocking wait of the transform: the texture's producer releases it with key 0.
        m_KeyedMutexSet.Acquire(keyedMutex.Get(), buffer.m_KeyedMutexItem);
    }
    auto found = m_Registrations.find(texture);
    if (found == m_Registrations.end())
    {
        Registration registration;
        NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_UNDEFINED;
        if (desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM)
            registration.Pitch = desc.Width * 4, format = NV_ENC_BUFFER_FORMAT_ARGB;
        else if (desc.Format == DXGI_FORMAT_NV12)
            registration.Pitch = desc.Width, format = NV_ENC_BUFFER_FORMAT_NV12;
        else
            XEV_FAIL(MF_E_INVALIDMEDIATYPE);
        registration.Registered = m_Session.RegisterResource(texture, registration.Pitch, format);
        registration.Texture = texture;
        found = m_Registrations.emplace(texture, std::move(registration)).first;
    }
    buffer.m_MappedResource = m_Session.MapInputResource(found->second.Registered);
    picture.inputPitch = found->second.Pitch;
    picture.inputBuffer = buffer.m_MappedResource;
}

void XevEncodeTransform::CopyMemoryFrameLocked(Buffer& buffer, IMFSample* sample, NV_ENC_PIC_PARAMS& picture)
{
    const UINT32 encodeWidth = m_Initialization.Params.encodeWidth, encodeHeight = m_Initialization.Params.encodeHeight;
    if (!buffer.m_InputBuffer)
        buffer.m_InputBuffer = m_Session.CreateInputBuffer(encodeWidth, encodeHeight, m_InputFormat.BufferFormat);
    Xev::InputBufferLock input(m_Session);
    XEV_CHECK_NVENC(input.Lock(buffer.m_InputBuffer));

    GUID subtype {};
    UINT32 width = 0, height = 0;
    XEV_CHECK_HR(m_InputType->GetGUID(MF_MT_SUBTYPE, &subtype));
    XEV_CHECK_HR(MFGetAttributeSize(m_InputType.Get(), MF_MT_FRAME_SIZE, &width, &height));
    // The encoder's input buffer has the encode size: a larger frame would overrun it.
    XEV_CHECK(width <= encodeWidth && height <= encodeHeight, MF_E_INVALIDMEDIATYPE);
    ComPtr<IMFMediaBuffer> contiguous;
    XEV_CHECK_HR(sample->ConvertToContiguousBuffer(contiguous.GetAddressOf()));
    MF::MediaBufferLock frame(contiguous.Get());

    UINT32 strideValue = 0;
    const bool hasStride = SUCCEEDED(m_InputType->GetUINT32(MF_MT_DEFAULT_STRIDE, &strideValue));
    INT64 stride = static_cast<INT32>(strideValue);
    uint32_t rows = 0, rowBytes = 0;
    const BYTE* first = frame.Data();
    if (subtype == MFVideoFormat_NV12)
    {
        if (!hasStride)
            stride = width;
        XEV_CHECK_LINE(stride >= 1 && stride >= static_cast<INT64>(width));
        rows = height * 3 / 2;
        rowBytes = width;
    }
    else if (subtype == MFVideoFormat_RGB32 || subtype == MFVideoFormat_ARGB32)
    {
        if (!hasStride)
            stride = -static_cast<INT64>(width) * 4; // bottom-up
        XEV_CHECK_LINE(std::abs(stride) >= static_cast<INT64>(width) * 4);
        rows = height;
        rowBytes = width * 4;
        if (stride < 0)
            first += -stride * (rows - 1);
    }
    else
        XEV_CHECK_LINE(false);
    // The frame must hold every row it claims.
    const UINT64 needed = rows == 0 ? 0 : UINT64(std::abs(stride)) * (rows - 1) + rowBytes;
    XEV_CHECK(frame.DataSize() >= needed, MF_E_BUFFERTOOSMALL);
    XEV_CHECK_LINE(input.Pitch() >= rowBytes);
    CopyRows(input.Data(), input.Pitch(), first, stride, rowBytes, rows);
    frame.Unlock();
    XEV_CHECK_NVENC(input.Unlock());
    picture.inputPitch = input.Pitch();
    picture.inputBuffer = buffer.m_InputBuffer;
}

void XevEncodeTransform::BufferInvoke(MF::AsyncCallback* callback, IMFAsyncResult* result)
{
    std::unique_lock lock(m_Lock);
    const auto found = std::ranges::find_if(m_BusyBuffers, [callback](const ComPtr<Buffer>& b) { return b->m_Callback.Get() == callback; });
    if (found == m_BusyBuffers.end())
    {
        // A completion that started before its stream ended; nothing is left to do.
        (void)result->SetStatus(S_OK);
        return;
    }
    const HRESULT hr = Error::Guard([&] { CompleteBufferLocked(**found); });
    if (FAILED(hr))
    {
        // The session learns of the lost frame; the stream cannot go on without it.
        MF::MediaEventGenerator<XevEncodeTransform, MF::MediaPrimitiveTraits>::QueueEvent(MEError, hr);
    }
    XEV_CHECK_HR(result->SetStatus(hr));
}

void XevEncodeTransform::CompleteBufferLocked(Buffer& buffer)
{
    buffer.m_WorkItemKey = 0;
    m_KeyedMutexSet.Release(buffer.m_KeyedMutexItem);
    if (buffer.m_MappedResource)
        m_Session.UnmapInputResource(std::exchange(buffer.m_MappedResource, nullptr));

    Xev::BitstreamLock bitstream(m_Session);
    XEV_CHECK_NVENC(bitstream.Lock(buffer.m_Bitstream));
    ComPtr<IMFSample> sample;
    XEV_CHECK_HR(MFCreateSample(sample.GetAddressOf()));
    if (buffer.m_Discontinuity)
        XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_Discontinuity, 1));
    if (buffer.m_Token)
        XEV_CHECK_HR(sample->SetUnknown(MFSampleExtension_Token, buffer.m_Token.Get()));
    buffer.m_Token = nullptr;
    if (bitstream->pictureType == NV_ENC_PIC_TYPE_IDR)
        XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_CleanPoint, 1));
    XEV_CHECK_HR(sample->SetUINT64(MFSampleExtension_DecodeTimestamp, static_cast<UINT64>(buffer.m_SampleTime)));
    XEV_CHECK_HR(sample->SetSampleTime(static_cast<LONGLONG>(bitstream->outputTimeStamp)));
    XEV_CHECK_HR(sample->SetSampleDuration(static_cast<LONGLONG>(bitstream->outputDuration)));
    const auto* bytes = static_cast<const BYTE*>(bitstream->bitstreamBufferPtr);
    const DWORD size = bitstream->bitstreamSizeInBytes;
    {
        ComPtr<IMFMediaBuffer> mediaBuffer;
        XEV_CHECK_HR(MFCreateMemoryBuffer(size, mediaBuffer.GetAddressOf()));
        {
            MF::MediaBufferLock data(mediaBuffer.Get());
            if (size)
                std::memcpy(data.Data(), bytes, size);
        }
        XEV_CHECK_HR(mediaBuffer->SetCurrentLength(size));
        XEV_CHECK_HR(sample->AddBuffer(mediaBuffer.Get()));
    }
    if (m_OutputType && MFGetAttributeUINT32(m_OutputType.Get(), MF_NALU_LENGTH_SET, 0) != 0)
    {
        Xev::SplitNalUnits(std::span<const BYTE>(bytes, size), m_NaluLengths);
        XEV_CHECK_HR(sample->SetBlob(MF_NALU_LENGTH_INFORMATION, reinterpret_cast<const UINT8*>(m_NaluLengths.data()),
            static_cast<UINT32>(m_NaluLengths.size() * sizeof(UINT32))));
    }
    UINT32 pictureType = eAVEncH264PictureType_IDR;
    if (bitstream->pictureType == NV_ENC_PIC_TYPE_P)
        pictureType = eAVEncH264PictureType_P;
    else if (bitstream->pictureType == NV_ENC_PIC_TYPE_B || bitstream->pictureType == NV_ENC_PIC_TYPE_BI)
        pictureType = eAVEncH264PictureType_B;
    XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_VideoEncodePictureType, pictureType));
    XEV_CHECK_HR(sample->SetUINT64(MFSampleExtension_VideoEncodeQP, bitstream->frameAvgQP));
    buffer.m_Sample = std::move(sample);
    XEV_CHECK_NVENC(bitstream.Unlock());

    if (m_HaveOutputCounter < 0 || m_BusyBuffers.front().Get() != &buffer)
        return;
    const bool noneFree = m_FreeBuffers.empty();
    while (!m_BusyBuffers.empty() && m_BusyBuffers.front()->m_Sample)
    {
        ComPtr<Buffer> head = std::move(m_BusyBuffers.front());
        m_BusyBuffers.erase(m_BusyBuffers.begin());
        m_OutputQueue.push_back({ nullptr, std::move(head->m_Sample) });
        ++m_HaveOutputCounter;
        QueueTransformEvent(METransformHaveOutput);
        m_FreeBuffers.push_back(std::move(head));
    }
    if (noneFree && !m_FreeBuffers.empty() && m_NeedInputCounter == 0)
    {
        m_NeedInputCounter = 1;
        QueueTransformEvent(METransformNeedInput);
    }
}

void XevEncodeTransform::EosOutputBufferEventInvoke(MF::AsyncCallback* callback, IMFAsyncResult* result)
{
    XEV_TRACE("this 0x%p, AsyncCallback 0x%p, AsyncResult 0x%p\n", XEV_THIS, static_cast<void*>(callback), static_cast<void*>(result));
    std::unique_lock lock(m_Lock);
    if (callback == m_EosCallback.Get())
    {
        m_EosWorkItemKey = 0;
        if (m_NeedInputCounter == -2 && m_BusyBuffers.empty() && m_HaveOutputCounter == 0)
        {
            m_NeedInputCounter = -1;
            QueueTransformEvent(METransformDrainComplete);
        }
    }
    XEV_CHECK_HR(result->SetStatus(S_OK));
}

HRESULT XevEncodeTransform::ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK(!(flags & MFT_PROCESS_OUTPUT_REGENERATE_LAST_OUTPUT), E_NOTIMPL);
        XEV_CHECK(outputBufferCount == 1 && outputSamples, E_INVALIDARG);
        XEV_CHECK(outputSamples[0].dwStreamID == 0, MF_E_INVALIDSTREAMNUMBER);
        XEV_CHECK_POINTER(status);
        *status = 0;
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        MFT_OUTPUT_DATA_BUFFER& output = outputSamples[0];
        if (FormatChangePendingLocked())
        {
            XEV_TRACE("this 0x%p, m_HaveOutputCounter %d\n", XEV_THIS, m_HaveOutputCounter);
            output.dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
            return MF_E_TRANSFORM_STREAM_CHANGE;
        }
        if (m_HaveOutputCounter <= 0 || m_OutputQueue.empty())
            return E_UNEXPECTED;
        --m_HaveOutputCounter;
        output.pSample = m_OutputQueue.front().Sample.Detach();
        m_OutputQueue.erase(m_OutputQueue.begin());
        output.dwStatus = 0;
        if (m_HaveOutputCounter > 0)
            output.dwStatus = MFT_OUTPUT_DATA_BUFFER_INCOMPLETE;
        else if (m_NeedInputCounter == -2 && m_BusyBuffers.empty())
        {
            m_NeedInputCounter = -1;
            QueueTransformEvent(METransformDrainComplete);
        }
        return S_OK;
    });
}

HRESULT XevEncodeTransform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR parameter)
{
    XEV_TRACE("this 0x%p, Message %s, Parameter 0x%p\n", XEV_THIS, MF::TransformMessageName(message).c_str(), reinterpret_cast<void*>(parameter));
    return Error::Guard([&]() -> HRESULT {
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        switch (message)
        {
        case MFT_MESSAGE_COMMAND_FLUSH:
            m_NeedInputCounter = -1;
            m_HaveOutputCounter = -1;
            m_OutputQueue.clear();
            break;
        case MFT_MESSAGE_COMMAND_DRAIN:
            if (m_BusyBuffers.empty() && m_HaveOutputCounter == 0)
            {
                m_NeedInputCounter = -1;
                QueueTransformEvent(METransformDrainComplete);
            }
            else
            {
                m_NeedInputCounter = -2;
                if (m_EosBuffer)
                {
                    m_EosBuffer->m_Event.Reset();
                    m_EndOfStreamSubmitted = !m_Session.EncodeEndOfStream(&m_EosBuffer->m_Event);
                }
            }
            break;
        case MFT_MESSAGE_SET_D3D_MANAGER:
        {
            ComPtr<IMFDXGIDeviceManager> manager;
            if (parameter)
                XEV_CHECK_HR(reinterpret_cast<IUnknown*>(parameter)->QueryInterface(IidOf<IMFDXGIDeviceManager>,
                    reinterpret_cast<void**>(manager.GetAddressOf())));
            m_DeviceManager = std::move(manager);
            XEV_CHECK_LINE(!StreamingLocked() && !m_Device);
            break;
        }
        case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
        {
            const HRESULT hr = Error::Guard([&] { StartOfStreamLocked(); });
            if (FAILED(hr))
            {
                MF::MediaEventGenerator<XevEncodeTransform, MF::MediaPrimitiveTraits>::QueueEvent(MEError, hr);
                EndOfStreamLocked();
                return hr;
            }
            break;
        }
        case MFT_MESSAGE_NOTIFY_END_STREAMING:
        case MFT_MESSAGE_NOTIFY_END_OF_STREAM:
            EndOfStreamLocked();
            break;
        default:
            break;
        }
        return S_OK;
    });
}
