#pragma once
// The graphics device interfaces the media objects call: DXGI factory and adapters, the Direct3D 11
// device, its immediate context, 2D textures, keyed mutexes and surfaces. Names, identifiers,
// argument order and values are the platform's; methods are limited to those the media objects,
// the drawing layer and the encoder runtimes use.
//
// This port's device works on host memory (any adapter, a CPU device): textures are rows of
// memory with a row pitch (src/platform/d3d/Texture.h gives the platform layers access to them),
// copies run in issue order on one device thread, and Flush1 signals a Sync::Event (in place of
// an event HANDLE) once every copy issued before it has completed.

#include "platform/com/ComPtr.h"
#include "platform/system/Event.h"

#include <cstddef>

using INT = int32_t;
using FLOAT = float;
using SIZE_T = std::size_t;
using HANDLE = void*;
using HMODULE = void*;

struct LUID
{
    DWORD LowPart;
    LONG HighPart;
};

constexpr HRESULT DXGI_ERROR_INVALID_CALL = MakeHResult(0x887A0001);
constexpr HRESULT DXGI_ERROR_NOT_FOUND = MakeHResult(0x887A0002);
constexpr HRESULT DXGI_ERROR_MORE_DATA = MakeHResult(0x887A0003);
constexpr HRESULT DXGI_ERROR_UNSUPPORTED = MakeHResult(0x887A0004);
constexpr HRESULT DXGI_ERROR_DEVICE_REMOVED = MakeHResult(0x887A0005);
constexpr HRESULT DXGI_ERROR_WAS_STILL_DRAWING = MakeHResult(0x887A000A);
constexpr HRESULT DXGI_ERROR_WAIT_TIMEOUT = MakeHResult(0x887A0027);
constexpr HRESULT DXGI_ERROR_SDK_COMPONENT_MISSING = MakeHResult(0x887A002D);

// IDXGIKeyedMutex::AcquireSync answers a time-out and an abandoned mutex with the kernel's wait
// codes as they are. Both pass SUCCEEDED: compare AcquireSync's result with S_OK.
constexpr HRESULT WAIT_ABANDONED = 0x00000080;
constexpr HRESULT WAIT_TIMEOUT = 0x00000102;
constexpr DWORD INFINITE = 0xFFFFFFFFu;

enum DXGI_FORMAT : uint32_t
{
    DXGI_FORMAT_UNKNOWN = 0,
    DXGI_FORMAT_B8G8R8A8_UNORM = 87,
    DXGI_FORMAT_NV12 = 103,
    DXGI_FORMAT_YUY2 = 107,
};

struct DXGI_SAMPLE_DESC
{
    UINT Count;
    UINT Quality;
};

enum D3D11_USAGE : uint32_t
{
    D3D11_USAGE_DEFAULT = 0,
    D3D11_USAGE_IMMUTABLE = 1,
    D3D11_USAGE_DYNAMIC = 2,
    D3D11_USAGE_STAGING = 3,
};

enum D3D11_BIND_FLAG : uint32_t
{
    D3D11_BIND_VERTEX_BUFFER = 0x1,
    D3D11_BIND_INDEX_BUFFER = 0x2,
    D3D11_BIND_CONSTANT_BUFFER = 0x4,
    D3D11_BIND_SHADER_RESOURCE = 0x8,
    D3D11_BIND_STREAM_OUTPUT = 0x10,
    D3D11_BIND_RENDER_TARGET = 0x20,
    D3D11_BIND_DEPTH_STENCIL = 0x40,
    D3D11_BIND_UNORDERED_ACCESS = 0x80,
    D3D11_BIND_DECODER = 0x200,
    D3D11_BIND_VIDEO_ENCODER = 0x400,
};

enum D3D11_CPU_ACCESS_FLAG : uint32_t
{
    D3D11_CPU_ACCESS_WRITE = 0x10000,
    D3D11_CPU_ACCESS_READ = 0x20000,
};

enum D3D11_RESOURCE_MISC_FLAG : uint32_t
{
    D3D11_RESOURCE_MISC_GENERATE_MIPS = 0x1,
    D3D11_RESOURCE_MISC_SHARED = 0x2,
    D3D11_RESOURCE_MISC_TEXTURECUBE = 0x4,
    D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX = 0x100,
    D3D11_RESOURCE_MISC_GDI_COMPATIBLE = 0x200,
    D3D11_RESOURCE_MISC_SHARED_NTHANDLE = 0x800,
};

enum D3D11_RESOURCE_DIMENSION : uint32_t
{
    D3D11_RESOURCE_DIMENSION_UNKNOWN = 0,
    D3D11_RESOURCE_DIMENSION_BUFFER = 1,
    D3D11_RESOURCE_DIMENSION_TEXTURE1D = 2,
    D3D11_RESOURCE_DIMENSION_TEXTURE2D = 3,
    D3D11_RESOURCE_DIMENSION_TEXTURE3D = 4,
};

struct D3D11_TEXTURE2D_DESC
{
    UINT Width;
    UINT Height;
    UINT MipLevels;
    UINT ArraySize;
    DXGI_FORMAT Format;
    DXGI_SAMPLE_DESC SampleDesc;
    D3D11_USAGE Usage;
    UINT BindFlags;
    UINT CPUAccessFlags;
    UINT MiscFlags;
};

struct D3D11_SUBRESOURCE_DATA
{
    const void* pSysMem;
    UINT SysMemPitch;
    UINT SysMemSlicePitch;
};

struct D3D11_BOX
{
    UINT left;
    UINT top;
    UINT front;
    UINT right;
    UINT bottom;
    UINT back;
};

struct DXGI_SURFACE_DESC
{
    UINT Width;
    UINT Height;
    DXGI_FORMAT Format;
    DXGI_SAMPLE_DESC SampleDesc;
};

constexpr UINT DXGI_MAP_READ = 0x1;
constexpr UINT DXGI_MAP_WRITE = 0x2;
constexpr UINT DXGI_MAP_DISCARD = 0x4;

struct DXGI_MAPPED_RECT
{
    INT Pitch;
    BYTE* pBits;
};

// Description texts are UTF-8 in this port.
struct DXGI_ADAPTER_DESC
{
    char Description[128];
    UINT VendorId;
    UINT DeviceId;
    UINT SubSysId;
    UINT Revision;
    SIZE_T DedicatedVideoMemory;
    SIZE_T DedicatedSystemMemory;
    SIZE_T SharedSystemMemory;
    LUID AdapterLuid;
};

enum DXGI_ADAPTER_FLAG : uint32_t
{
    DXGI_ADAPTER_FLAG_NONE = 0,
    DXGI_ADAPTER_FLAG_REMOTE = 1,
    DXGI_ADAPTER_FLAG_SOFTWARE = 2,
};

struct DXGI_ADAPTER_DESC1
{
    char Description[128];
    UINT VendorId;
    UINT DeviceId;
    UINT SubSysId;
    UINT Revision;
    SIZE_T DedicatedVideoMemory;
    SIZE_T DedicatedSystemMemory;
    SIZE_T SharedSystemMemory;
    LUID AdapterLuid;
    UINT Flags;
};

enum D3D_DRIVER_TYPE : uint32_t
{
    D3D_DRIVER_TYPE_UNKNOWN = 0,
    D3D_DRIVER_TYPE_HARDWARE = 1,
    D3D_DRIVER_TYPE_REFERENCE = 2,
    D3D_DRIVER_TYPE_NULL = 3,
    D3D_DRIVER_TYPE_SOFTWARE = 4,
    D3D_DRIVER_TYPE_WARP = 5,
};

enum D3D_FEATURE_LEVEL : uint32_t
{
    D3D_FEATURE_LEVEL_9_1 = 0x9100,
    D3D_FEATURE_LEVEL_9_2 = 0x9200,
    D3D_FEATURE_LEVEL_9_3 = 0x9300,
    D3D_FEATURE_LEVEL_10_0 = 0xA000,
    D3D_FEATURE_LEVEL_10_1 = 0xA100,
    D3D_FEATURE_LEVEL_11_0 = 0xB000,
    D3D_FEATURE_LEVEL_11_1 = 0xB100,
    D3D_FEATURE_LEVEL_12_0 = 0xC000,
    D3D_FEATURE_LEVEL_12_1 = 0xC100,
};

enum D3D11_CREATE_DEVICE_FLAG : uint32_t
{
    D3D11_CREATE_DEVICE_SINGLETHREADED = 0x1,
    D3D11_CREATE_DEVICE_DEBUG = 0x2,
    D3D11_CREATE_DEVICE_SWITCH_TO_REF = 0x4,
    D3D11_CREATE_DEVICE_PREVENT_INTERNAL_THREADING_OPTIMIZATIONS = 0x8,
    D3D11_CREATE_DEVICE_BGRA_SUPPORT = 0x20,
    D3D11_CREATE_DEVICE_DEBUGGABLE = 0x40,
    D3D11_CREATE_DEVICE_PREVENT_ALTERING_LAYER_SETTINGS_FROM_REGISTRY = 0x80,
    D3D11_CREATE_DEVICE_DISABLE_GPU_TIMEOUT = 0x100,
    D3D11_CREATE_DEVICE_VIDEO_SUPPORT = 0x800,
};

constexpr UINT D3D11_SDK_VERSION = 7;
constexpr UINT DXGI_CREATE_FACTORY_DEBUG = 0x1;

enum D3D11_CONTEXT_TYPE : uint32_t
{
    D3D11_CONTEXT_TYPE_ALL = 0,
    D3D11_CONTEXT_TYPE_3D = 1,
    D3D11_CONTEXT_TYPE_COMPUTE = 2,
    D3D11_CONTEXT_TYPE_COPY = 3,
    D3D11_CONTEXT_TYPE_VIDEO = 4,
};

struct IDXGIObject : IUnknown
{
    XEV_INTERFACE(IDXGIObject, IUnknown, "aec22fb8-76f3-4639-9be0-28eb43a67a2e");
    virtual HRESULT GetParent(REFIID riid, void** parent) = 0;
};

struct IDXGIAdapter : IDXGIObject
{
    XEV_INTERFACE(IDXGIAdapter, IDXGIObject, "2411e7e1-12ac-4ccf-bd14-9798e8534dc0");
    virtual HRESULT GetDesc(DXGI_ADAPTER_DESC* desc) = 0;
};

struct IDXGIAdapter1 : IDXGIAdapter
{
    XEV_INTERFACE(IDXGIAdapter1, IDXGIAdapter, "29038f61-3839-4626-91fd-086879011a05");
    virtual HRESULT GetDesc1(DXGI_ADAPTER_DESC1* desc) = 0;
};

struct IDXGIFactory : IDXGIObject
{
    XEV_INTERFACE(IDXGIFactory, IDXGIObject, "7b7166ec-21c7-44ae-b21a-c9ae321ae369");
    // DXGI_ERROR_NOT_FOUND past the last adapter.
    virtual HRESULT EnumAdapters(UINT adapter, IDXGIAdapter** result) = 0;
};

struct IDXGIFactory1 : IDXGIFactory
{
    XEV_INTERFACE(IDXGIFactory1, IDXGIFactory, "770aae78-f26f-4dba-a829-253c83d1b387");
    virtual HRESULT EnumAdapters1(UINT adapter, IDXGIAdapter1** result) = 0;
    // FALSE once the machine's adapters differ from those the factory enumerated.
    virtual BOOL IsCurrent() = 0;
};

struct IDXGIFactory2 : IDXGIFactory1
{
    XEV_INTERFACE(IDXGIFactory2, IDXGIFactory1, "50c83a1c-e072-4c48-87b0-3630fa36a6d0");
};

struct IDXGIDevice : IDXGIObject
{
    XEV_INTERFACE(IDXGIDevice, IDXGIObject, "54ec77fa-1377-44e6-8c32-88fd5f44c84c");
    virtual HRESULT GetAdapter(IDXGIAdapter** adapter) = 0;
};

struct IDXGIDeviceSubObject : IDXGIObject
{
    XEV_INTERFACE(IDXGIDeviceSubObject, IDXGIObject, "3d3e0379-f9de-4d58-bb6c-18d62992f1a6");
    // The device the resource belongs to (ID3D11Device and the interfaces it answers).
    virtual HRESULT GetDevice(REFIID riid, void** device) = 0;
};

// A texture's pixels for the drawing layer. Map waits for device work on the texture to finish
// and always grants access (the memory is the host's); Map and Unmap pair up.
struct IDXGISurface : IDXGIDeviceSubObject
{
    XEV_INTERFACE(IDXGISurface, IDXGIDeviceSubObject, "cafcb56c-6ac3-4889-bf47-9e23bbd260ec");
    virtual HRESULT GetDesc(DXGI_SURFACE_DESC* desc) = 0;
    virtual HRESULT Map(DXGI_MAPPED_RECT* lockedRect, UINT mapFlags) = 0;
    virtual HRESULT Unmap() = 0;
};

// Answered by textures made with D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX. A new texture's mutex is
// released with key 0. AcquireSync(key) waits until the mutex was last released with `key`
// (and until copies the device was given for the texture before that have completed): S_OK,
// or WAIT_TIMEOUT when the time-out passes first. ReleaseSync(key) by a caller that did not
// acquire it: E_FAIL. One acquisition at a time; AcquireSync does not nest.
struct IDXGIKeyedMutex : IDXGIDeviceSubObject
{
    XEV_INTERFACE(IDXGIKeyedMutex, IDXGIDeviceSubObject, "9d8e1289-d7b3-465f-8126-250e349af85d");
    virtual HRESULT AcquireSync(UINT64 key, DWORD milliseconds) = 0;
    virtual HRESULT ReleaseSync(UINT64 key) = 0;
};

struct ID3D11Device;

struct ID3D11DeviceChild : IUnknown
{
    XEV_INTERFACE(ID3D11DeviceChild, IUnknown, "1841e5c8-16b0-489b-bcc8-44cfb0d5deae");
    virtual void GetDevice(ID3D11Device** device) = 0;
};

struct ID3D11Resource : ID3D11DeviceChild
{
    XEV_INTERFACE(ID3D11Resource, ID3D11DeviceChild, "dc8e63f3-d12b-4952-b47b-5e45026a862d");
    virtual void GetType(D3D11_RESOURCE_DIMENSION* dimension) = 0;
};

// Subresource index = array slice (textures have one mip level).
struct ID3D11Texture2D : ID3D11Resource
{
    XEV_INTERFACE(ID3D11Texture2D, ID3D11Resource, "6f15aaf2-d208-4e89-9ab4-489535d34f9c");
    virtual void GetDesc(D3D11_TEXTURE2D_DESC* desc) = 0;
};

// The immediate context. Copies are queued to the device thread and run in issue order; an
// invalid copy is dropped with a trace line (the platform's methods return nothing).
struct ID3D11DeviceContext : ID3D11DeviceChild
{
    XEV_INTERFACE(ID3D11DeviceContext, ID3D11DeviceChild, "c0bfa96c-e089-44fb-8eaf-26f8796190da");
    // Copies `sourceBox` (null: the whole subresource) of the source subresource to position
    // (dstX, dstY) of the destination subresource. Formats must match; NV12 coordinates are
    // even, YUY2 x coordinates are even.
    virtual void CopySubresourceRegion(ID3D11Resource* destination, UINT destinationSubresource, UINT dstX, UINT dstY, UINT dstZ,
                                       ID3D11Resource* source, UINT sourceSubresource, const D3D11_BOX* sourceBox) = 0;
    virtual void CopyResource(ID3D11Resource* destination, ID3D11Resource* source) = 0;
    virtual void Flush() = 0;
};

struct ID3D11DeviceContext1 : ID3D11DeviceContext
{
    XEV_INTERFACE(ID3D11DeviceContext1, ID3D11DeviceContext, "bb2c6faa-b5fb-4082-8e6b-388b8cfa90e1");
};

struct ID3D11DeviceContext2 : ID3D11DeviceContext1
{
    XEV_INTERFACE(ID3D11DeviceContext2, ID3D11DeviceContext1, "420d5b32-b90c-4da4-bef0-359f6a24a83a");
};

struct ID3D11DeviceContext3 : ID3D11DeviceContext2
{
    XEV_INTERFACE(ID3D11DeviceContext3, ID3D11DeviceContext2, "b4e3c01d-e79e-4637-91b2-510e9f4c9b8f");
    // Signals `event` (when not null) once every copy issued before this call has completed.
    // The event must stay alive until then.
    virtual void Flush1(D3D11_CONTEXT_TYPE contextType, Sync::Event* event) = 0;
};

struct ID3D11Device : IUnknown
{
    XEV_INTERFACE(ID3D11Device, IUnknown, "db6f6ddb-ac77-4e88-8253-819df9bbf140");
    // B8G8R8A8 (any size), NV12 (even width and height), YUY2 (even width); 1 mip level; one
    // sample. `initialData` holds one entry per array slice (NV12: both planes at SysMemPitch).
    // A null `texture` validates the arguments only (S_FALSE).
    virtual HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initialData, ID3D11Texture2D** texture) = 0;
    virtual D3D_FEATURE_LEVEL GetFeatureLevel() = 0;
    virtual UINT GetCreationFlags() = 0;
    virtual void GetImmediateContext(ID3D11DeviceContext** context) = 0;
};

// Answered by the device. With protection on, the device's calls and Enter/Leave exclude each
// other; Enter nests on one thread as the platform's does.
struct ID3D10Multithread : IUnknown
{
    XEV_INTERFACE(ID3D10Multithread, IUnknown, "9b7e4e00-342c-4106-a19f-4f2704f689f0");
    virtual void Enter() = 0;
    virtual void Leave() = 0;
    virtual BOOL SetMultithreadProtected(BOOL protect) = 0;
    virtual BOOL GetMultithreadProtected() = 0;
};

// A factory over the machine's display adapters (PCI display controllers in bus order, then the
// software adapter, which is always present). Flags: 0 or DXGI_CREATE_FACTORY_DEBUG.
HRESULT CreateDXGIFactory1(REFIID riid, void** factory);
HRESULT CreateDXGIFactory2(UINT flags, REFIID riid, void** factory);

// A device on `adapter` (driver type D3D_DRIVER_TYPE_UNKNOWN), or without one on the first
// adapter (D3D_DRIVER_TYPE_HARDWARE) or the software adapter (D3D_DRIVER_TYPE_WARP, _SOFTWARE,
// _REFERENCE). The device gets the first of `featureLevels` it supports (up to 12_1).
HRESULT D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
                          const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount, UINT sdkVersion,
                          ID3D11Device** device, D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** immediateContext);
