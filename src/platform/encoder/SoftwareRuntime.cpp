#include "SoftwareRuntime.h"

#include "SoftwareSession.h"
#include "X264Settings.h"

#include "platform/encoder/SessionTable.h"

#include "platform/com/Trace.h"
#include "platform/d3d/D3D11.h"

#include <atomic>
#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace SoftwareEncoder
{
namespace
{
EncoderRuntime::SessionTable<Session> g_Sessions;
std::atomic<std::size_t> g_SessionLimit { 0 }; // the most sessions open at once (tests); 0: none

constexpr NV_ENC_BUFFER_FORMAT InputFormats[] = { NV_ENC_BUFFER_FORMAT_NV12, NV_ENC_BUFFER_FORMAT_ARGB };

// Accepts clients of this interface version and older ones.
bool IsSupportedApiVersion(uint32_t version) noexcept
{
    const uint32_t major = version & 0x00FFFFFFu, minor = version >> 24;
    return major < NVENCAPI_MAJOR_VERSION || (major == NVENCAPI_MAJOR_VERSION && minor <= NVENCAPI_MINOR_VERSION);
}

template <class Method, class... Args>
NVENCSTATUS Call(void* encoder, Method method, Args... args)
{
    return g_Sessions.Call(encoder, [&](Session& session) { return (session.*method)(args...); });
}

// An entry this runtime does not offer, for an open encoder handle.
NVENCSTATUS Unimplemented(void* encoder)
{
    return g_Sessions.Call(encoder, [](Session&) { return NV_ENC_ERR_UNIMPLEMENTED; });
}

NVENCSTATUS NVENCAPI OpenEncodeSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params, void** encoder)
{
    if (!params || !encoder)
        return NV_ENC_ERR_INVALID_PTR;
    *encoder = nullptr;
    if (params->version != NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER || !IsSupportedApiVersion(params->apiVersion))
        return NV_ENC_ERR_INVALID_VERSION;
    if (params->deviceType != NV_ENC_DEVICE_TYPE_DIRECTX)
        return NV_ENC_ERR_UNSUPPORTED_DEVICE;
    auto* device = static_cast<ID3D11Device*>(params->device);
    if (device)
    {
        // Only this port's devices: anything else is not a device the runtime can serve.
        ComPtr<ID3D11Device> checked;
        if (FAILED(QueryTo(static_cast<IUnknown*>(device), checked.GetAddressOf())))
            return NV_ENC_ERR_INVALID_DEVICE;
    }
    *encoder = g_Sessions.Add(std::make_shared<Session>(device), g_SessionLimit.load());
    if (!*encoder)
        return NV_ENC_ERR_OUT_OF_MEMORY;
    XEV_TRACE("Encoder 0x%p, Device 0x%p\n", *encoder, params->device);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI OpenEncodeSession(void* device, uint32_t deviceType, void** encoder)
{
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS params {};
    params.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    params.deviceType = static_cast<NV_ENC_DEVICE_TYPE>(deviceType);
    params.device = device;
    params.apiVersion = NVENCAPI_VERSION;
    return OpenEncodeSessionEx(&params, encoder);
}

NVENCSTATUS NVENCAPI DestroyEncoder(void* encoder)
{
    const auto session = g_Sessions.Remove(encoder);
    if (!session)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    session->Shutdown();
    XEV_TRACE("Encoder 0x%p\n", encoder);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI InitializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* params)
{
    return Call(encoder, &Session::Initialize, static_cast<const NV_ENC_INITIALIZE_PARAMS*>(params));
}

NVENCSTATUS NVENCAPI GetEncodeGUIDCount(void* encoder, uint32_t* count)
{
    if (!g_Sessions.Find(encoder))
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!count)
        return NV_ENC_ERR_INVALID_PTR;
    *count = 1;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetEncodeGUIDs(void* encoder, GUID* guids, uint32_t size, uint32_t* count)
{
    if (!g_Sessions.Find(encoder))
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!guids || !count)
        return NV_ENC_ERR_INVALID_PTR;
    if (size < 1)
        return NV_ENC_ERR_NOT_ENOUGH_BUFFER;
    guids[0] = NV_ENC_CODEC_H264_GUID;
    *count = 1;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS CopyGuids(void* encoder, const GUID& codec, std::span<const GUID> list, GUID* guids, uint32_t size, uint32_t* count)
{
    if (!g_Sessions.Find(encoder))
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!count || (size && !guids))
        return NV_ENC_ERR_INVALID_PTR;
    if (codec != NV_ENC_CODEC_H264_GUID)
        return NV_ENC_ERR_INVALID_PARAM;
    if (!guids)
    {
        *count = static_cast<uint32_t>(list.size());
        return NV_ENC_SUCCESS;
    }
    if (size < list.size())
        return NV_ENC_ERR_NOT_ENOUGH_BUFFER;
    std::copy(list.begin(), list.end(), guids);
    *count = static_cast<uint32_t>(list.size());
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetEncodeProfileGUIDCount(void* encoder, GUID codec, uint32_t* count)
{
    return CopyGuids(encoder, codec, Profiles(), nullptr, 0, count);
}

NVENCSTATUS NVENCAPI GetEncodeProfileGUIDs(void* encoder, GUID codec, GUID* guids, uint32_t size, uint32_t* count)
{
    if (!guids)
        return NV_ENC_ERR_INVALID_PTR;
    return CopyGuids(encoder, codec, Profiles(), guids, size, count);
}

NVENCSTATUS NVENCAPI GetEncodePresetCount(void* encoder, GUID codec, uint32_t* count)
{
    return CopyGuids(encoder, codec, Presets(), nullptr, 0, count);
}

NVENCSTATUS NVENCAPI GetEncodePresetGUIDs(void* encoder, GUID codec, GUID* guids, uint32_t size, uint32_t* count)
{
    if (!guids)
        return NV_ENC_ERR_INVALID_PTR;
    return CopyGuids(encoder, codec, Presets(), guids, size, count);
}

NVENCSTATUS NVENCAPI GetInputFormatCount(void* encoder, GUID codec, uint32_t* count)
{
    if (!g_Sessions.Find(encoder))
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!count)
        return NV_ENC_ERR_INVALID_PTR;
    if (codec != NV_ENC_CODEC_H264_GUID)
        return NV_ENC_ERR_INVALID_PARAM;
    *count = static_cast<uint32_t>(std::size(InputFormats));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetInputFormats(void* encoder, GUID codec, NV_ENC_BUFFER_FORMAT* formats, uint32_t size, uint32_t* count)
{
    if (!g_Sessions.Find(encoder))
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!formats || !count)
        return NV_ENC_ERR_INVALID_PTR;
    if (codec != NV_ENC_CODEC_H264_GUID)
        return NV_ENC_ERR_INVALID_PARAM;
    if (size < std::size(InputFormats))
        return NV_ENC_ERR_NOT_ENOUGH_BUFFER;
    std::copy(std::begin(InputFormats), std::end(InputFormats), formats);
    *count = static_cast<uint32_t>(std::size(InputFormats));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetEncodeCaps(void* encoder, GUID codec, NV_ENC_CAPS_PARAM* caps, int* value)
{
    if (!g_Sessions.Find(encoder))
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!caps || !value)
        return NV_ENC_ERR_INVALID_PTR;
    if (caps->version != NV_ENC_CAPS_PARAM_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    if (codec != NV_ENC_CODEC_H264_GUID)
        return NV_ENC_ERR_INVALID_PARAM;
    switch (caps->capsToQuery)
    {
    case NV_ENC_CAPS_NUM_MAX_BFRAMES: *value = static_cast<int>(MaximumBFrames); break;
    case NV_ENC_CAPS_SUPPORTED_RATECONTROL_MODES: *value = NV_ENC_PARAMS_RC_CONSTQP | NV_ENC_PARAMS_RC_VBR | NV_ENC_PARAMS_RC_CBR; break;
    case NV_ENC_CAPS_SUPPORT_QPELMV:
    case NV_ENC_CAPS_SUPPORT_CABAC:
    case NV_ENC_CAPS_SUPPORT_ADAPTIVE_TRANSFORM:
    case NV_ENC_CAPS_SUPPORT_CUSTOM_VBV_BUF_SIZE:
    case NV_ENC_CAPS_SUPPORT_LOSSLESS_ENCODE:
    case NV_ENC_CAPS_SUPPORT_MULTIPLE_REF_FRAMES:
    case NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT:
    case NV_ENC_CAPS_NUM_ENCODER_ENGINES: *value = 1; break;
    case NV_ENC_CAPS_LEVEL_MAX: *value = NV_ENC_LEVEL_H264_62; break;
    case NV_ENC_CAPS_LEVEL_MIN: *value = NV_ENC_LEVEL_H264_1; break;
    case NV_ENC_CAPS_WIDTH_MAX:
    case NV_ENC_CAPS_HEIGHT_MAX: *value = static_cast<int>(MaximumSize); break;
    case NV_ENC_CAPS_WIDTH_MIN:
    case NV_ENC_CAPS_HEIGHT_MIN: *value = static_cast<int>(MinimumSize); break;
    case NV_ENC_CAPS_MB_NUM_MAX: *value = static_cast<int>((MaximumSize / 16) * (MaximumSize / 16)); break;
    default:
        if (caps->capsToQuery < 0 || caps->capsToQuery >= NV_ENC_CAPS_EXPOSED_COUNT)
            return NV_ENC_ERR_INVALID_PARAM;
        *value = 0;
        break;
    }
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI GetEncodePresetConfigEx(void* encoder, GUID codec, GUID preset, NV_ENC_TUNING_INFO, NV_ENC_PRESET_CONFIG* config)
{
    if (!g_Sessions.Find(encoder))
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    if (!config)
        return NV_ENC_ERR_INVALID_PTR;
    if (config->version != NV_ENC_PRESET_CONFIG_VER || config->presetCfg.version != NV_ENC_CONFIG_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    return PresetConfig(codec, preset, &config->presetCfg);
}

NVENCSTATUS NVENCAPI GetEncodePresetConfig(void* encoder, GUID codec, GUID preset, NV_ENC_PRESET_CONFIG* config)
{
    return GetEncodePresetConfigEx(encoder, codec, preset, NV_ENC_TUNING_INFO_UNDEFINED, config);
}

NVENCSTATUS NVENCAPI CreateInputBuffer(void* encoder, NV_ENC_CREATE_INPUT_BUFFER* params)
{
    return Call(encoder, &Session::CreateInputBuffer, params);
}

NVENCSTATUS NVENCAPI DestroyInputBuffer(void* encoder, NV_ENC_INPUT_PTR buffer)
{
    return Call(encoder, &Session::DestroyInputBuffer, buffer);
}

NVENCSTATUS NVENCAPI LockInputBuffer(void* encoder, NV_ENC_LOCK_INPUT_BUFFER* params)
{
    return Call(encoder, &Session::LockInputBuffer, params);
}

NVENCSTATUS NVENCAPI UnlockInputBuffer(void* encoder, NV_ENC_INPUT_PTR buffer)
{
    return Call(encoder, &Session::UnlockInputBuffer, buffer);
}

NVENCSTATUS NVENCAPI CreateBitstreamBuffer(void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* params)
{
    return Call(encoder, &Session::CreateBitstreamBuffer, params);
}

NVENCSTATUS NVENCAPI DestroyBitstreamBuffer(void* encoder, NV_ENC_OUTPUT_PTR buffer)
{
    return Call(encoder, &Session::DestroyBitstreamBuffer, buffer);
}

NVENCSTATUS NVENCAPI LockBitstream(void* encoder, NV_ENC_LOCK_BITSTREAM* params)
{
    return Call(encoder, &Session::LockBitstream, params);
}

NVENCSTATUS NVENCAPI UnlockBitstream(void* encoder, NV_ENC_OUTPUT_PTR buffer)
{
    return Call(encoder, &Session::UnlockBitstream, buffer);
}

NVENCSTATUS NVENCAPI EncodePicture(void* encoder, NV_ENC_PIC_PARAMS* params)
{
    return Call(encoder, &Session::EncodePicture, params);
}

NVENCSTATUS NVENCAPI GetSequenceParams(void* encoder, NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload)
{
    return Call(encoder, &Session::GetSequenceParams, payload);
}

NVENCSTATUS NVENCAPI RegisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params)
{
    return Call(encoder, &Session::RegisterAsyncEvent, params);
}

NVENCSTATUS NVENCAPI UnregisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params)
{
    return Call(encoder, &Session::UnregisterAsyncEvent, params);
}

NVENCSTATUS NVENCAPI RegisterResource(void* encoder, NV_ENC_REGISTER_RESOURCE* params)
{
    return Call(encoder, &Session::RegisterResource, params);
}

NVENCSTATUS NVENCAPI UnregisterResource(void* encoder, NV_ENC_REGISTERED_PTR resource)
{
    return Call(encoder, &Session::UnregisterResource, resource);
}

NVENCSTATUS NVENCAPI MapInputResource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* params)
{
    return Call(encoder, &Session::MapInputResource, params);
}

NVENCSTATUS NVENCAPI UnmapInputResource(void* encoder, NV_ENC_INPUT_PTR mapped)
{
    return Call(encoder, &Session::UnmapInputResource, mapped);
}

const char* NVENCAPI GetLastErrorString(void* encoder)
{
    auto session = g_Sessions.Find(encoder);
    return session ? session->LastError() : "invalid encoder";
}

NVENCSTATUS NVENCAPI GetEncodeStats(void* encoder, NV_ENC_STAT*)
{
    return Unimplemented(encoder);
}

NVENCSTATUS NVENCAPI InvalidateRefFrames(void* encoder, uint64_t)
{
    return Unimplemented(encoder);
}

NVENCSTATUS NVENCAPI ReconfigureEncoder(void* encoder, NV_ENC_RECONFIGURE_PARAMS*)
{
    return Unimplemented(encoder);
}

NVENCSTATUS NVENCAPI CreateMVBuffer(void* encoder, NV_ENC_CREATE_MV_BUFFER*)
{
    return Unimplemented(encoder);
}

NVENCSTATUS NVENCAPI DestroyMVBuffer(void* encoder, NV_ENC_OUTPUT_PTR)
{
    return Unimplemented(encoder);
}

NVENCSTATUS NVENCAPI RunMotionEstimationOnly(void* encoder, NV_ENC_MEONLY_PARAMS*)
{
    return Unimplemented(encoder);
}

NVENCSTATUS NVENCAPI SetIOCudaStreams(void* encoder, NV_ENC_CUSTREAM_PTR, NV_ENC_CUSTREAM_PTR)
{
    return Unimplemented(encoder);
}

NVENCSTATUS NVENCAPI GetSequenceParamEx(void* encoder, NV_ENC_INITIALIZE_PARAMS*, NV_ENC_SEQUENCE_PARAM_PAYLOAD*)
{
    return Unimplemented(encoder);
}
} // namespace

NVENCSTATUS NVENCAPI CreateInstance(NV_ENCODE_API_FUNCTION_LIST* list)
{
    if (!list)
        return NV_ENC_ERR_INVALID_PTR;
    if (list->version != NV_ENCODE_API_FUNCTION_LIST_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    const uint32_t version = list->version;
    *list = NV_ENCODE_API_FUNCTION_LIST {};
    list->version = version;
    XEV_FILL_NVENC_FUNCTION_LIST(list);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS HoldEncoding(void* encoder, bool hold)
{
    auto session = g_Sessions.Find(encoder);
    if (!session)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    session->HoldEncoding(hold);
    return NV_ENC_SUCCESS;
}

std::size_t OpenSessionCount()
{
    return g_Sessions.Count();
}

void SetSessionLimit(std::size_t limit) noexcept
{
    g_SessionLimit = limit;
}

std::string Describe()
{
    return "Software (libx264 build " + std::to_string(X264_BUILD) + ", preset " + X264Preset + ", tune " + X264Tune + ")";
}
} // namespace SoftwareEncoder
