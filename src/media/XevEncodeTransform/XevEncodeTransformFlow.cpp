// XevEncodeTransform: the encoding flow. Opening and closing the encoder, the start and end of a
// stream and the messages of the media session; the frames themselves are in
// XevEncodeTransformFrames.cpp.

#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include "media/Common/Names.h"
#include "platform/com/Error.h"
#include "platform/com/Trace.h"

#include <algorithm>
#include <mutex>

#define XEV_THIS static_cast<void*>(this)

namespace
{
constexpr uint32_t EndOfStreamWaitMilliseconds = 2000;
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
