#include "XevApi.h"

#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/d3d/D3D11.h"

#include <atomic>
#include <cstdio>
#include <utility>

namespace Xev
{
namespace
{
constexpr const char* StatusNames[] = {
    "NV_ENC_SUCCESS",
    "NV_ENC_ERR_NO_ENCODE_DEVICE",
    "NV_ENC_ERR_UNSUPPORTED_DEVICE",
    "NV_ENC_ERR_INVALID_ENCODERDEVICE",
    "NV_ENC_ERR_INVALID_DEVICE",
    "NV_ENC_ERR_DEVICE_NOT_EXIST",
    "NV_ENC_ERR_INVALID_PTR",
    "NV_ENC_ERR_INVALID_EVENT",
    "NV_ENC_ERR_INVALID_PARAM",
    "NV_ENC_ERR_INVALID_CALL",
    "NV_ENC_ERR_OUT_OF_MEMORY",
    "NV_ENC_ERR_ENCODER_NOT_INITIALIZED",
    "NV_ENC_ERR_UNSUPPORTED_PARAM",
    "NV_ENC_ERR_LOCK_BUSY",
    "NV_ENC_ERR_NOT_ENOUGH_BUFFER",
    "NV_ENC_ERR_INVALID_VERSION",
    "NV_ENC_ERR_MAP_FAILED",
    "NV_ENC_ERR_NEED_MORE_INPUT",
    "NV_ENC_ERR_ENCODER_BUSY",
    "NV_ENC_ERR_EVENT_NOT_REGISTERD",
    "NV_ENC_ERR_GENERIC",
    "NV_ENC_ERR_INCOMPATIBLE_CLIENT_KEY",
    "NV_ENC_ERR_UNIMPLEMENTED",
    "NV_ENC_ERR_RESOURCE_REGISTER_FAILED",
    "NV_ENC_ERR_RESOURCE_NOT_REGISTERED",
    "NV_ENC_ERR_RESOURCE_NOT_MAPPED",
};
std::atomic<std::size_t> g_OpenSessions { 0 };
std::atomic<std::size_t> g_OpenAtRefusal { 0 };
} // namespace

std::size_t OpenSessionCount() noexcept
{
    return g_OpenSessions.load();
}

std::size_t SessionsOpenAtLastRefusal() noexcept
{
    return g_OpenAtRefusal.load();
}

StatusText StatusName(NVENCSTATUS status) noexcept
{
    StatusText text {};
    const auto value = static_cast<uint32_t>(status);
    if (value < std::size(StatusNames))
        std::snprintf(text.data(), text.size(), "%s", StatusNames[value]);
    else
        std::snprintf(text.data(), text.size(), "0x%X", value);
    return text;
}

HRESULT FromNvEncStatus(NVENCSTATUS status) noexcept
{
    if (status == NV_ENC_SUCCESS)
        return S_OK;
    const HRESULT result = MakeHResult(static_cast<uint32_t>(StatusFacility) | (static_cast<uint32_t>(status) & 0xFFFFu));
    XEV_TRACE("Value %s, Result 0x%08X\n", StatusName(status).data(), static_cast<unsigned>(result));
    return result;
}

void Check(NVENCSTATUS status, const char* file, int line)
{
    if (status == NV_ENC_SUCCESS)
        return;
    XEV_TRACE("Value %s at %s(%d)\n", StatusName(status).data(), TraceDetail::FileName(file), line);
    Error::Throw(FromNvEncStatus(status), file, line);
}

Api::~Api()
{
    Unload();
}

void Api::Unload() noexcept
{
    EncoderRuntime::Free(std::exchange(m_Module, nullptr));
    m_Loaded = false;
    m_Functions = NV_ENCODE_API_FUNCTION_LIST {};
}

// Steps 2 to 4 of a load: the entry point fills the function list, or the load fails.
bool Api::Fill(NvEncodeApiCreateInstanceFunction createInstance)
{
    try
    {
        XEV_CHECK_LINE(createInstance != nullptr);
        NV_ENCODE_API_FUNCTION_LIST functions {};
        functions.version = NV_ENCODE_API_FUNCTION_LIST_VER;
        XEV_CHECK_NVENC(createInstance(&functions));
        m_Functions = functions;
        m_Loaded = true;
        XEV_TRACE("this 0x%p, Runtime %s\n", static_cast<void*>(this), RuntimeName());
        return true;
    }
    catch (const HResultException&)
    {
        // Traced where it arose; the caller turns false into its own failure.
        Unload();
        return false;
    }
}

bool Api::LoadModule(EncoderRuntime::Module* module)
{
    Unload();
    m_Module = module;
    if (!m_Module)
    {
        XEV_TRACE("this 0x%p, no runtime library\n", static_cast<void*>(this));
        return false;
    }
    return Fill(EncoderRuntime::FindCreateInstance(m_Module));
}

bool Api::LoadEntryPoint(NvEncodeApiCreateInstanceFunction createInstance)
{
    Unload();
    return Fill(createInstance);
}

bool Api::Load(const EncoderRuntime::NvidiaLibraries& libraries)
{
    return LoadModule(EncoderRuntime::LoadNvidia(libraries));
}

bool Api::LoadSoftware()
{
    return LoadModule(EncoderRuntime::LoadSoftware());
}

bool Api::LoadForDevice(ID3D11Device* device)
{
    return LoadModule(EncoderRuntime::LoadForDevice(device));
}

const char* Api::RuntimeName() const noexcept
{
    if (m_Loaded && !m_Module)
        return "In-process";
    return EncoderRuntime::Name(m_Module);
}

EncodeSession::~EncodeSession()
{
    if (!IsOpen())
        return;
    const NVENCSTATUS status = Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncDestroyEncoder);
    g_OpenSessions.fetch_sub(1);
    if (status != NV_ENC_SUCCESS)
        XEV_TRACE("Encoder 0x%p, Result %s\n", m_Encoder, StatusName(status).data());
}

void EncodeSession::Open(Api* api, ID3D11Device* device)
{
    XEV_CHECK_POINTER(api);
    XEV_CHECK_LINE(api->IsLoaded());
    // Opening over an open session would lose its encoder.
    Close();
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params {};
    params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    params.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX;
    params.device = device;
    params.apiVersion = NVENCAPI_VERSION;
    const auto open = api->Functions().nvEncOpenEncodeSessionEx;
    void* encoder = nullptr;
    const NVENCSTATUS status = open ? open(&params, &encoder) : NV_ENC_ERR_UNIMPLEMENTED;
    if (status == NV_ENC_ERR_OUT_OF_MEMORY)
        g_OpenAtRefusal.store(g_OpenSessions.load());
    XEV_CHECK_NVENC(status);
    m_Api = api;
    m_Encoder = encoder;
    g_OpenSessions.fetch_add(1);
}

void EncodeSession::Close()
{
    if (!m_Api || !m_Encoder)
        return;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncDestroyEncoder));
    m_Encoder = nullptr;
    m_Api = nullptr;
    g_OpenSessions.fetch_sub(1);
}

NV_ENC_OUTPUT_PTR EncodeSession::CreateBitstreamBuffer()
{
    NV_ENC_CREATE_BITSTREAM_BUFFER params {};
    params.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
    params.size = BitstreamBufferSize;
    params.memoryHeap = NV_ENC_MEMORY_HEAP_SYSMEM_CACHED;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncCreateBitstreamBuffer, &params));
    return params.bitstreamBuffer;
}

void EncodeSession::DestroyBitstreamBuffer(NV_ENC_OUTPUT_PTR buffer)
{
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncDestroyBitstreamBuffer, buffer));
}

NV_ENC_INPUT_PTR EncodeSession::CreateInputBuffer(uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format)
{
    NV_ENC_CREATE_INPUT_BUFFER params {};
    params.version = NV_ENC_CREATE_INPUT_BUFFER_VER;
    params.width = width;
    params.height = height;
    params.memoryHeap = NV_ENC_MEMORY_HEAP_SYSMEM_CACHED;
    params.bufferFmt = format;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncCreateInputBuffer, &params));
    return params.inputBuffer;
}

void EncodeSession::DestroyInputBuffer(NV_ENC_INPUT_PTR buffer)
{
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncDestroyInputBuffer, buffer));
}

std::optional<NVENCSTATUS> EncodeSession::EncodeEndOfStream(Sync::Event* event) noexcept
{
    NV_ENC_PIC_PARAMS params {};
    params.version = NV_ENC_PIC_PARAMS_VER;
    params.encodePicFlags = NV_ENC_PIC_FLAG_EOS;
    params.completionEvent = event;
    const NVENCSTATUS status = Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncEncodePicture, &params);
    if (status == NV_ENC_SUCCESS)
        return std::nullopt;
    return status;
}

uint32_t EncodeSession::GetSequenceParams(std::span<BYTE, SequenceParamsCapacity> buffer)
{
    uint32_t size = 0;
    NV_ENC_SEQUENCE_PARAM_PAYLOAD params {};
    params.version = NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER;
    params.inBufferSize = SequenceParamsCapacity;
    params.spsppsBuffer = buffer.data();
    params.outSPSPPSPayloadSize = &size;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncGetSequenceParams, &params));
    return size;
}

void EncodeSession::RegisterAsyncEvent(Sync::Event* event)
{
    NV_ENC_EVENT_PARAMS params {};
    params.version = NV_ENC_EVENT_PARAMS_VER;
    params.completionEvent = event;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncRegisterAsyncEvent, &params));
}

std::optional<NVENCSTATUS> EncodeSession::UnregisterAsyncEvent(Sync::Event* event) noexcept
{
    NV_ENC_EVENT_PARAMS params {};
    params.version = NV_ENC_EVENT_PARAMS_VER;
    params.completionEvent = event;
    const NVENCSTATUS status = Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncUnregisterAsyncEvent, &params);
    if (status == NV_ENC_SUCCESS)
        return std::nullopt;
    return status;
}

NV_ENC_INPUT_PTR EncodeSession::MapInputResource(NV_ENC_REGISTERED_PTR registered)
{
    NV_ENC_MAP_INPUT_RESOURCE params {};
    params.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    params.registeredResource = registered;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncMapInputResource, &params));
    return params.mappedResource;
}

void EncodeSession::UnmapInputResource(NV_ENC_INPUT_PTR mapped)
{
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncUnmapInputResource, mapped));
}

NV_ENC_REGISTERED_PTR EncodeSession::RegisterResource(ID3D11Texture2D* texture, uint32_t pitch, NV_ENC_BUFFER_FORMAT format)
{
    XEV_CHECK_POINTER(texture);
    D3D11_TEXTURE2D_DESC desc {};
    texture->GetDesc(&desc);
    NV_ENC_REGISTER_RESOURCE params {};
    params.version = NV_ENC_REGISTER_RESOURCE_VER;
    params.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX;
    params.width = desc.Width;
    params.height = desc.Height;
    params.pitch = pitch;
    params.subResourceIndex = 0;
    params.resourceToRegister = texture;
    params.bufferFormat = format;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncRegisterResource, &params));
    return params.registeredResource;
}

void EncodeSession::UnregisterResource(NV_ENC_REGISTERED_PTR registered)
{
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncUnregisterResource, registered));
}

uint32_t EncodeSession::GetInputFormatCount(const GUID& codec)
{
    uint32_t count = 0;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncGetInputFormatCount, codec, &count));
    return count;
}

uint32_t EncodeSession::GetInputFormats(const GUID& codec, std::span<NV_ENC_BUFFER_FORMAT> formats)
{
    uint32_t count = 0;
    XEV_CHECK_NVENC(Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncGetInputFormats, codec, formats.data(),
        static_cast<uint32_t>(formats.size()), &count));
    return count;
}

NVENCSTATUS EncodeSession::GetEncodePresetConfig(const GUID& codec, const GUID& preset, NV_ENC_PRESET_CONFIG* config) noexcept
{
    return Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncGetEncodePresetConfig, codec, preset, config);
}

NVENCSTATUS EncodeSession::InitializeEncoder(NV_ENC_INITIALIZE_PARAMS* params) noexcept
{
    return Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncInitializeEncoder, params);
}

NVENCSTATUS EncodeSession::EncodePicture(NV_ENC_PIC_PARAMS* params) noexcept
{
    return Invoke(&NV_ENCODE_API_FUNCTION_LIST::nvEncEncodePicture, params);
}
} // namespace Xev
