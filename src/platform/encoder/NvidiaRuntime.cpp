#include "NvidiaRuntime.h"

#include "platform/com/Trace.h"
#include "platform/d3d/Adapters.h"
#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"
#include "platform/encoder/EventRegistry.h"
#include "platform/encoder/SessionTable.h"
#include "platform/system/Event.h"

#include <ffnvcodec/dynlink_cuda.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <sstream>
#include <string>
#include <memory>
#include <mutex>
#include <vector>

namespace NvidiaEncoder
{
namespace
{
struct Library
{
    void* Encoder = nullptr; // dlopen handles
    void* Cuda = nullptr;
    int Loads = 0;
    NvEncodeApiCreateInstanceFunction CreateInstance = nullptr;
    tcuInit* Init = nullptr;
    tcuDeviceGetCount* DeviceGetCount = nullptr;
    tcuDeviceGet* DeviceGet = nullptr;
    tcuDeviceGetAttribute* DeviceGetAttribute = nullptr;
    tcuCtxCreate_v2* ContextCreate = nullptr;
    tcuCtxPopCurrent_v2* ContextPopCurrent = nullptr;
    tcuCtxDestroy_v2* ContextDestroy = nullptr;
};

std::mutex g_LibraryLock; // guards g_Library
Library g_Library;

template <class Function>
void Resolve(void* library, const char* name, Function** function)
{
    *function = reinterpret_cast<Function*>(dlsym(library, name));
}

// A registered texture: the driver's input buffer it is copied into when mapped.
struct TextureInput
{
    ComPtr<ID3D11Texture2D> Texture;
    UINT Subresource = 0;
    uint32_t Width = 0;
    uint32_t Height = 0;
    NV_ENC_BUFFER_FORMAT Format = NV_ENC_BUFFER_FORMAT_UNDEFINED;
    NV_ENC_INPUT_PTR Buffer = nullptr; // the driver's input buffer
    uint32_t Pitch = 0;                // its pitch, known once mapped
};

struct Session
{
    NV_ENCODE_API_FUNCTION_LIST Real {}; // the driver's functions
    void* Encoder = nullptr;             // the driver's encoder
    CUcontext Context = nullptr;         // ours when we made it for a Direct3D device
    tcuCtxDestroy_v2* ContextDestroy = nullptr;
    bool Asynchronous = false;           // the client asked for completion events

    std::mutex Lock;                     // guards the members below
    EncoderRuntime::EventRegistry Events;
    std::vector<Sync::Event*> Pending;   // events of pictures the driver has not released yet
    std::vector<std::unique_ptr<TextureInput>> Textures;

    TextureInput* FindTextureLocked(void* handle) const
    {
        for (auto& texture : Textures)
            if (handle && texture.get() == handle)
                return texture.get();
        return nullptr;
    }
    TextureInput* FindMappedLocked(void* handle) const
    {
        for (auto& texture : Textures)
            if (handle && texture->Buffer == handle)
                return texture.get();
        return nullptr;
    }
};

EncoderRuntime::SessionTable<Session> g_Sessions;
NV_ENCODE_API_FUNCTION_LIST g_Real {}; // the driver's list, filled by CreateInstance (guarded by g_LibraryLock)


// The CUDA device at the PCI address "dddd:bb:dd.f"; -1 when there is none.
CUdevice FindCudaDevice(const Library& library, const std::string& busId)
{
    unsigned domain = 0, bus = 0, device = 0, function = 0;
    if (std::sscanf(busId.c_str(), "%x:%x:%x.%x", &domain, &bus, &device, &function) != 4)
        return -1;
    int count = 0;
    if (library.DeviceGetCount(&count) != CUDA_SUCCESS)
        return -1;
    for (int ordinal = 0; ordinal < count; ++ordinal)
    {
        CUdevice candidate = 0;
        int candidateDomain = -1, candidateBus = -1, candidateDevice = -1;
        if (library.DeviceGet(&candidate, ordinal) != CUDA_SUCCESS ||
            library.DeviceGetAttribute(&candidateDomain, CU_DEVICE_ATTRIBUTE_PCI_DOMAIN_ID, candidate) != CUDA_SUCCESS ||
            library.DeviceGetAttribute(&candidateBus, CU_DEVICE_ATTRIBUTE_PCI_BUS_ID, candidate) != CUDA_SUCCESS ||
            library.DeviceGetAttribute(&candidateDevice, CU_DEVICE_ATTRIBUTE_PCI_DEVICE_ID, candidate) != CUDA_SUCCESS)
            continue;
        if (unsigned(candidateDomain) == domain && unsigned(candidateBus) == bus && unsigned(candidateDevice) == device)
            return candidate;
    }
    return -1;
}

// A CUDA context on the NVIDIA adapter of our Direct3D device; NV_ENC_SUCCESS or the status.
NVENCSTATUS CreateContext(ID3D11Device* device, CUcontext* context, tcuCtxDestroy_v2** destroy)
{
    ComPtr<IDXGIDevice> dxgiDevice;
    ComPtr<IDXGIAdapter> adapter;
    D3D11Host::AdapterRecord record;
    if (!device || FAILED(QueryTo(static_cast<IUnknown*>(device), dxgiDevice.GetAddressOf())) ||
        FAILED(dxgiDevice->GetAdapter(adapter.GetAddressOf())) || FAILED(D3D11Host::GetAdapterRecord(adapter.Get(), &record)))
        return NV_ENC_ERR_INVALID_DEVICE;
    if (record.VendorId != D3D11Host::NvidiaVendorId)
        return NV_ENC_ERR_UNSUPPORTED_DEVICE;
    std::lock_guard lock(g_LibraryLock);
    const Library& library = g_Library;
    if (!library.Cuda || library.Init(0) != CUDA_SUCCESS)
        return NV_ENC_ERR_NO_ENCODE_DEVICE;
    const CUdevice cudaDevice = FindCudaDevice(library, record.BusId);
    if (cudaDevice < 0)
        return NV_ENC_ERR_DEVICE_NOT_EXIST;
    if (library.ContextCreate(context, CU_CTX_SCHED_BLOCKING_SYNC, cudaDevice) != CUDA_SUCCESS)
        return NV_ENC_ERR_NO_ENCODE_DEVICE;
    // The encoder binds the context itself; this thread does not keep it current.
    CUcontext popped = nullptr;
    library.ContextPopCurrent(&popped);
    *destroy = library.ContextDestroy;
    return NV_ENC_SUCCESS;
}

void DestroySession(Session& session)
{
    std::vector<std::unique_ptr<TextureInput>> textures;
    {
        std::lock_guard lock(session.Lock);
        textures.swap(session.Textures);
        session.Pending.clear();
        session.Events.Clear();
    }
    for (auto& texture : textures)
        if (texture->Buffer)
            session.Real.nvEncDestroyInputBuffer(session.Encoder, texture->Buffer);
    if (session.Encoder)
        session.Real.nvEncDestroyEncoder(session.Encoder);
    session.Encoder = nullptr;
    if (session.Context && session.ContextDestroy)
        session.ContextDestroy(session.Context);
    session.Context = nullptr;
}

// Copies a texture into its input buffer (the driver's memory, locked for the copy).
NVENCSTATUS CopyTexture(Session& session, TextureInput& texture)
{
    D3D11Host::TextureMemory memory;
    if (FAILED(D3D11Host::GetTextureMemory(texture.Texture.Get(), texture.Subresource, &memory)))
        return NV_ENC_ERR_MAP_FAILED;
    NV_ENC_LOCK_INPUT_BUFFER lockParams {};
    lockParams.version = NV_ENC_LOCK_INPUT_BUFFER_VER;
    lockParams.inputBuffer = texture.Buffer;
    if (const NVENCSTATUS status = session.Real.nvEncLockInputBuffer(session.Encoder, &lockParams); status != NV_ENC_SUCCESS)
        return status;
    auto* destination = static_cast<uint8_t*>(lockParams.bufferDataPtr);
    const std::size_t rowBytes = texture.Format == NV_ENC_BUFFER_FORMAT_ARGB ? std::size_t(texture.Width) * 4 : texture.Width;
    for (uint32_t row = 0; row < texture.Height; ++row)
        std::memcpy(destination + std::size_t(row) * lockParams.pitch, memory.Data + std::size_t(row) * memory.RowPitch, rowBytes);
    if (texture.Format == NV_ENC_BUFFER_FORMAT_NV12)
    {
        uint8_t* chroma = destination + std::size_t(lockParams.pitch) * texture.Height;
        for (uint32_t row = 0; row < texture.Height / 2; ++row)
            std::memcpy(chroma + std::size_t(row) * lockParams.pitch, memory.ChromaPlane() + std::size_t(row) * memory.RowPitch, rowBytes);
    }
    texture.Pitch = lockParams.pitch;
    return session.Real.nvEncUnlockInputBuffer(session.Encoder, texture.Buffer);
}

NVENCSTATUS NVENCAPI OpenEncodeSessionEx(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params, void** encoder)
{
    if (!params || !encoder)
        return NV_ENC_ERR_INVALID_PTR;
    *encoder = nullptr;
    auto session = std::make_shared<Session>();
    {
        std::lock_guard lock(g_LibraryLock);
        session->Real = g_Real;
    }
    if (!session->Real.nvEncOpenEncodeSessionEx)
        return NV_ENC_ERR_INVALID_CALL;
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS real = *params;
    if (params->deviceType == NV_ENC_DEVICE_TYPE_DIRECTX)
    {
        if (const NVENCSTATUS status = CreateContext(static_cast<ID3D11Device*>(params->device), &session->Context, &session->ContextDestroy);
            status != NV_ENC_SUCCESS)
            return status;
        real.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
        real.device = session->Context;
    }
    const NVENCSTATUS status = session->Real.nvEncOpenEncodeSessionEx(&real, &session->Encoder);
    if (status != NV_ENC_SUCCESS)
    {
        session->Encoder = nullptr;
        DestroySession(*session);
        return status;
    }
    *encoder = g_Sessions.Add(session);
    XEV_TRACE("Encoder 0x%p, Driver encoder 0x%p, Context 0x%p\n", *encoder, session->Encoder, static_cast<void*>(session->Context));
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI DestroyEncoder(void* encoder)
{
    const auto session = g_Sessions.Remove(encoder);
    if (!session)
        return NV_ENC_ERR_INVALID_ENCODERDEVICE;
    DestroySession(*session);
    return NV_ENC_SUCCESS;
}

NVENCSTATUS NVENCAPI InitializeEncoder(void* encoder, NV_ENC_INITIALIZE_PARAMS* params)
{
    return g_Sessions.Call(encoder, [&](Session& session) -> NVENCSTATUS {
        if (!params)
            return NV_ENC_ERR_INVALID_PTR;
        // The Linux driver encodes synchronously; this layer signals the events.
        NV_ENC_INITIALIZE_PARAMS real = *params;
        real.enableEncodeAsync = 0;
        const NVENCSTATUS status = session.Real.nvEncInitializeEncoder(session.Encoder, &real);
        if (status == NV_ENC_SUCCESS)
            session.Asynchronous = params->enableEncodeAsync != 0;
        return status;
    });
}

NVENCSTATUS NVENCAPI RegisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params)
{
    return g_Sessions.Call(encoder, params, NV_ENC_EVENT_PARAMS_VER, [&](Session& session) {
        auto* event = static_cast<Sync::Event*>(params->completionEvent);
        if (!event)
            return NV_ENC_ERR_INVALID_EVENT;
        std::lock_guard lock(session.Lock);
        session.Events.Register(event);
        return NV_ENC_SUCCESS;
    });
}

NVENCSTATUS NVENCAPI UnregisterAsyncEvent(void* encoder, NV_ENC_EVENT_PARAMS* params)
{
    return g_Sessions.Call(encoder, params, NV_ENC_EVENT_PARAMS_VER, [&](Session& session) {
        auto* event = static_cast<Sync::Event*>(params->completionEvent);
        std::lock_guard lock(session.Lock);
        if (!session.Events.Unregister(event))
            return NV_ENC_ERR_EVENT_NOT_REGISTERD;
        std::erase(session.Pending, event);
        return NV_ENC_SUCCESS;
    });
}

NVENCSTATUS NVENCAPI EncodePicture(void* encoder, NV_ENC_PIC_PARAMS* params)
{
    return g_Sessions.Call(encoder, [&](Session& session) -> NVENCSTATUS {
        if (!params)
            return NV_ENC_ERR_INVALID_PTR;
        NV_ENC_PIC_PARAMS real = *params;
        real.completionEvent = nullptr;
        auto* event = static_cast<Sync::Event*>(params->completionEvent);
        {
            std::lock_guard lock(session.Lock);
            if (session.Asynchronous && !(params->encodePicFlags & NV_ENC_PIC_FLAG_EOS))
            {
                if (!event)
                    return NV_ENC_ERR_INVALID_EVENT;
                if (!session.Events.Contains(event))
                    return NV_ENC_ERR_EVENT_NOT_REGISTERD;
            }
            // A mapped texture is its input buffer, with that buffer's pitch.
            if (TextureInput* texture = session.FindMappedLocked(params->inputBuffer))
                real.inputPitch = texture->Pitch;
        }
        const NVENCSTATUS status = session.Real.nvEncEncodePicture(session.Encoder, &real);
        if (status != NV_ENC_SUCCESS && status != NV_ENC_ERR_NEED_MORE_INPUT)
            return status;
        // The driver has encoded this picture (and those it held back) unless it needs more input;
        // an end of stream releases everything.
        {
            std::lock_guard lock(session.Lock);
            if (event && session.Asynchronous)
                session.Pending.push_back(event);
            if (status == NV_ENC_SUCCESS)
            {
                for (Sync::Event* pending : session.Pending)
                    if (session.Events.Contains(pending))
                        pending->Set();
                session.Pending.clear();
            }
        }
        return status;
    });
}

NVENCSTATUS NVENCAPI RegisterResource(void* encoder, NV_ENC_REGISTER_RESOURCE* params)
{
    return g_Sessions.Call(encoder, [&](Session& session) -> NVENCSTATUS {
        if (!params)
            return NV_ENC_ERR_INVALID_PTR;
        if (params->resourceType != NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX)
            return session.Real.nvEncRegisterResource(session.Encoder, params);
        if (params->version != NV_ENC_REGISTER_RESOURCE_VER)
            return NV_ENC_ERR_INVALID_VERSION;
        if (!params->resourceToRegister)
            return NV_ENC_ERR_INVALID_PTR;
        if (params->bufferFormat != NV_ENC_BUFFER_FORMAT_NV12 && params->bufferFormat != NV_ENC_BUFFER_FORMAT_ARGB)
            return NV_ENC_ERR_INVALID_PARAM;
        auto texture = std::make_unique<TextureInput>();
        texture->Texture = static_cast<ID3D11Texture2D*>(params->resourceToRegister);
        texture->Subresource = params->subResourceIndex;
        texture->Width = params->width;
        texture->Height = params->height;
        texture->Format = params->bufferFormat;
        NV_ENC_CREATE_INPUT_BUFFER create {};
        create.version = NV_ENC_CREATE_INPUT_BUFFER_VER;
        create.width = params->width;
        create.height = params->height;
        create.bufferFmt = params->bufferFormat;
        if (const NVENCSTATUS status = session.Real.nvEncCreateInputBuffer(session.Encoder, &create); status != NV_ENC_SUCCESS)
            return status;
        texture->Buffer = create.inputBuffer;
        std::lock_guard lock(session.Lock);
        params->registeredResource = texture.get();
        session.Textures.push_back(std::move(texture));
        return NV_ENC_SUCCESS;
    });
}

NVENCSTATUS NVENCAPI UnregisterResource(void* encoder, NV_ENC_REGISTERED_PTR resource)
{
    return g_Sessions.Call(encoder, [&](Session& session) -> NVENCSTATUS {
        std::unique_ptr<TextureInput> texture;
        {
            std::lock_guard lock(session.Lock);
            auto found = std::find_if(session.Textures.begin(), session.Textures.end(), [&](auto& t) { return resource && t.get() == resource; });
            if (found != session.Textures.end())
            {
                texture = std::move(*found);
                session.Textures.erase(found);
            }
        }
        if (!texture)
            return session.Real.nvEncUnregisterResource(session.Encoder, resource);
        return session.Real.nvEncDestroyInputBuffer(session.Encoder, texture->Buffer);
    });
}

NVENCSTATUS NVENCAPI MapInputResource(void* encoder, NV_ENC_MAP_INPUT_RESOURCE* params)
{
    return g_Sessions.Call(encoder, [&](Session& session) -> NVENCSTATUS {
        if (!params)
            return NV_ENC_ERR_INVALID_PTR;
        TextureInput* texture = nullptr;
        {
            std::lock_guard lock(session.Lock);
            texture = session.FindTextureLocked(params->registeredResource);
        }
        if (!texture)
            return session.Real.nvEncMapInputResource(session.Encoder, params);
        if (params->version != NV_ENC_MAP_INPUT_RESOURCE_VER)
            return NV_ENC_ERR_INVALID_VERSION;
        if (const NVENCSTATUS status = CopyTexture(session, *texture); status != NV_ENC_SUCCESS)
            return status;
        params->mappedResource = texture->Buffer;
        params->mappedBufferFmt = texture->Format;
        return NV_ENC_SUCCESS;
    });
}

NVENCSTATUS NVENCAPI UnmapInputResource(void* encoder, NV_ENC_INPUT_PTR mapped)
{
    return g_Sessions.Call(encoder, [&](Session& session) -> NVENCSTATUS {
        {
            std::lock_guard lock(session.Lock);
            if (session.FindMappedLocked(mapped))
                return NV_ENC_SUCCESS; // the copy needs no unmapping
        }
        return session.Real.nvEncUnmapInputResource(session.Encoder, mapped);
    });
}

#define XEV_FORWARD(Name, Field, Parameters, Arguments)                                  \
    NVENCSTATUS NVENCAPI Name Parameters                                               \
    {                                                                                  \
        return g_Sessions.Call(encoder, [&](Session& session) {                        \
            return session.Real.Field ? session.Real.Field Arguments : NV_ENC_ERR_UNIMPLEMENTED; \
        });                                                                            \
    }

#define E session.Encoder
XEV_FORWARD(GetEncodeGUIDCount, nvEncGetEncodeGUIDCount, (void* encoder, uint32_t* count), (E, count))
XEV_FORWARD(GetEncodeGUIDs, nvEncGetEncodeGUIDs, (void* encoder, GUID* guids, uint32_t size, uint32_t* count), (E, guids, size, count))
XEV_FORWARD(GetEncodeProfileGUIDCount, nvEncGetEncodeProfileGUIDCount, (void* encoder, GUID codec, uint32_t* count), (E, codec, count))
XEV_FORWARD(GetEncodeProfileGUIDs, nvEncGetEncodeProfileGUIDs, (void* encoder, GUID codec, GUID* guids, uint32_t size, uint32_t* count),
    (E, codec, guids, size, count))
XEV_FORWARD(GetInputFormatCount, nvEncGetInputFormatCount, (void* encoder, GUID codec, uint32_t* count), (E, codec, count))
XEV_FORWARD(GetInputFormats, nvEncGetInputFormats, (void* encoder, GUID codec, NV_ENC_BUFFER_FORMAT* formats, uint32_t size, uint32_t* count),
    (E, codec, formats, size, count))
XEV_FORWARD(GetEncodeCaps, nvEncGetEncodeCaps, (void* encoder, GUID codec, NV_ENC_CAPS_PARAM* caps, int* value), (E, codec, caps, value))
XEV_FORWARD(GetEncodePresetCount, nvEncGetEncodePresetCount, (void* encoder, GUID codec, uint32_t* count), (E, codec, count))
XEV_FORWARD(GetEncodePresetGUIDs, nvEncGetEncodePresetGUIDs, (void* encoder, GUID codec, GUID* guids, uint32_t size, uint32_t* count),
    (E, codec, guids, size, count))
XEV_FORWARD(GetEncodePresetConfig, nvEncGetEncodePresetConfig, (void* encoder, GUID codec, GUID preset, NV_ENC_PRESET_CONFIG* config),
    (E, codec, preset, config))
XEV_FORWARD(GetEncodePresetConfigEx, nvEncGetEncodePresetConfigEx,
    (void* encoder, GUID codec, GUID preset, NV_ENC_TUNING_INFO tuning, NV_ENC_PRESET_CONFIG* config), (E, codec, preset, tuning, config))
XEV_FORWARD(CreateInputBuffer, nvEncCreateInputBuffer, (void* encoder, NV_ENC_CREATE_INPUT_BUFFER* params), (E, params))
XEV_FORWARD(DestroyInputBuffer, nvEncDestroyInputBuffer, (void* encoder, NV_ENC_INPUT_PTR buffer), (E, buffer))
XEV_FORWARD(CreateBitstreamBuffer, nvEncCreateBitstreamBuffer, (void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* params), (E, params))
XEV_FORWARD(DestroyBitstreamBuffer, nvEncDestroyBitstreamBuffer, (void* encoder, NV_ENC_OUTPUT_PTR buffer), (E, buffer))
XEV_FORWARD(LockBitstream, nvEncLockBitstream, (void* encoder, NV_ENC_LOCK_BITSTREAM* params), (E, params))
XEV_FORWARD(UnlockBitstream, nvEncUnlockBitstream, (void* encoder, NV_ENC_OUTPUT_PTR buffer), (E, buffer))
XEV_FORWARD(LockInputBuffer, nvEncLockInputBuffer, (void* encoder, NV_ENC_LOCK_INPUT_BUFFER* params), (E, params))
XEV_FORWARD(UnlockInputBuffer, nvEncUnlockInputBuffer, (void* encoder, NV_ENC_INPUT_PTR buffer), (E, buffer))
XEV_FORWARD(GetEncodeStats, nvEncGetEncodeStats, (void* encoder, NV_ENC_STAT* stats), (E, stats))
XEV_FORWARD(GetSequenceParams, nvEncGetSequenceParams, (void* encoder, NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload), (E, payload))
XEV_FORWARD(InvalidateRefFrames, nvEncInvalidateRefFrames, (void* encoder, uint64_t timeStamp), (E, timeStamp))
XEV_FORWARD(ReconfigureEncoder, nvEncReconfigureEncoder, (void* encoder, NV_ENC_RECONFIGURE_PARAMS* params), (E, params))
XEV_FORWARD(CreateMVBuffer, nvEncCreateMVBuffer, (void* encoder, NV_ENC_CREATE_MV_BUFFER* params), (E, params))
XEV_FORWARD(DestroyMVBuffer, nvEncDestroyMVBuffer, (void* encoder, NV_ENC_OUTPUT_PTR buffer), (E, buffer))
XEV_FORWARD(RunMotionEstimationOnly, nvEncRunMotionEstimationOnly, (void* encoder, NV_ENC_MEONLY_PARAMS* params), (E, params))
XEV_FORWARD(SetIOCudaStreams, nvEncSetIOCudaStreams, (void* encoder, NV_ENC_CUSTREAM_PTR input, NV_ENC_CUSTREAM_PTR output), (E, input, output))
XEV_FORWARD(GetSequenceParamEx, nvEncGetSequenceParamEx, (void* encoder, NV_ENC_INITIALIZE_PARAMS* params, NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload),
    (E, params, payload))
#undef E
#undef XEV_FORWARD

const char* NVENCAPI GetLastErrorString(void* encoder)
{
    auto session = g_Sessions.Find(encoder);
    if (!session)
        return "invalid encoder";
    return session->Real.nvEncGetLastErrorString ? session->Real.nvEncGetLastErrorString(session->Encoder) : "";
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
} // namespace

bool Load(const EncoderRuntime::NvidiaLibraries& libraries) noexcept
{
    std::lock_guard lock(g_LibraryLock);
    if (g_Library.Loads > 0)
    {
        ++g_Library.Loads;
        return true;
    }
    void* encoder = dlopen(libraries.Encoder, RTLD_NOW | RTLD_LOCAL);
    if (!encoder)
        return false;
    void* cuda = dlopen(libraries.Cuda, RTLD_NOW | RTLD_LOCAL);
    if (!cuda)
    {
        dlclose(encoder);
        return false;
    }
    Library library;
    library.Encoder = encoder;
    library.Cuda = cuda;
    library.Loads = 1;
    Resolve(encoder, "NvEncodeAPICreateInstance", &library.CreateInstance);
    Resolve(cuda, "cuInit", &library.Init);
    Resolve(cuda, "cuDeviceGetCount", &library.DeviceGetCount);
    Resolve(cuda, "cuDeviceGet", &library.DeviceGet);
    Resolve(cuda, "cuDeviceGetAttribute", &library.DeviceGetAttribute);
    Resolve(cuda, "cuCtxCreate_v2", &library.ContextCreate);
    Resolve(cuda, "cuCtxPopCurrent_v2", &library.ContextPopCurrent);
    Resolve(cuda, "cuCtxDestroy_v2", &library.ContextDestroy);
    g_Library = library;
    return true;
}

void Unload() noexcept
{
    std::lock_guard lock(g_LibraryLock);
    if (g_Library.Loads == 0 || --g_Library.Loads > 0)
        return;
    dlclose(g_Library.Cuda);
    dlclose(g_Library.Encoder);
    g_Library = Library {};
    g_Real = NV_ENCODE_API_FUNCTION_LIST {};
}

bool HasEntryPoints() noexcept
{
    std::lock_guard lock(g_LibraryLock);
    const Library& l = g_Library;
    return l.Loads > 0 && l.CreateInstance && l.Init && l.DeviceGetCount && l.DeviceGet && l.DeviceGetAttribute && l.ContextCreate &&
           l.ContextPopCurrent && l.ContextDestroy;
}

NVENCSTATUS NVENCAPI CreateInstance(NV_ENCODE_API_FUNCTION_LIST* list)
{
    if (!list)
        return NV_ENC_ERR_INVALID_PTR;
    if (list->version != NV_ENCODE_API_FUNCTION_LIST_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    {
        std::lock_guard lock(g_LibraryLock);
        if (!g_Library.CreateInstance)
            return NV_ENC_ERR_NO_ENCODE_DEVICE;
        NV_ENCODE_API_FUNCTION_LIST real {};
        real.version = NV_ENCODE_API_FUNCTION_LIST_VER;
        if (const NVENCSTATUS status = g_Library.CreateInstance(&real); status != NV_ENC_SUCCESS)
            return status;
        g_Real = real;
    }
    const uint32_t version = list->version;
    *list = NV_ENCODE_API_FUNCTION_LIST {};
    list->version = version;
    XEV_FILL_NVENC_FUNCTION_LIST(list);
    return NV_ENC_SUCCESS;
}
} // namespace NvidiaEncoder

namespace NvidiaEncoder
{
std::string Describe()
{
    std::string text = "NVIDIA (";
    // "NVRM version: NVIDIA UNIX x86_64 Kernel Module  550.54.14  <date>"
    std::ifstream file("/proc/driver/nvidia/version");
    std::string line, word, previous;
    if (std::getline(file, line))
        for (std::istringstream words(line); words >> word; previous = word)
            if (previous == "Module")
            {
                text += "driver " + word + ", ";
                break;
            }
    std::lock_guard lock(g_LibraryLock);
    int cudaVersion = 0;
    using DriverGetVersion = CUresult(int*);
    if (auto* get = g_Library.Cuda ? reinterpret_cast<DriverGetVersion*>(dlsym(g_Library.Cuda, "cuDriverGetVersion")) : nullptr;
        get && get(&cudaVersion) == CUDA_SUCCESS)
        text += "CUDA " + std::to_string(cudaVersion / 1000) + "." + std::to_string(cudaVersion % 1000 / 10) + ", ";
    uint32_t apiVersion = 0;
    using MaxSupportedVersion = NVENCSTATUS NVENCAPI(uint32_t*);
    if (auto* get = g_Library.Encoder ? reinterpret_cast<MaxSupportedVersion*>(dlsym(g_Library.Encoder, "NvEncodeAPIGetMaxSupportedVersion")) : nullptr;
        get && get(&apiVersion) == NV_ENC_SUCCESS)
        text += "encoder interface " + std::to_string(apiVersion >> 4) + "." + std::to_string(apiVersion & 0xF) + ", ";
    if (text.ends_with(", "))
        text.resize(text.size() - 2);
    else
        text += "versions unknown";
    return text + ")";
}
} // namespace NvidiaEncoder
