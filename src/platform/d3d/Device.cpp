// The CPU device: creates textures in host memory; D3D11CreateDevice and the host-memory access
// of its textures.

#include "DeviceTexture.h"

namespace CpuDevice
{

HRESULT Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initialData, ID3D11Texture2D** texture)
{
    return Error::Guard([&]() -> HRESULT {
        ProtectScope protect(*this);
        if (texture)
            *texture = nullptr;
        if (!desc)
            return E_INVALIDARG;
        const D3D11_TEXTURE2D_DESC& d = *desc;
        const UINT rowBytes = D3D11Host::RowBytes(d.Format, d.Width);
        if (rowBytes == 0 || d.Width == 0 || d.Height == 0 || d.Width > MaximumTextureDimension || d.Height > MaximumTextureDimension)
            return E_INVALIDARG;
        if (d.MipLevels != 1 || d.ArraySize == 0 || d.ArraySize > MaximumArraySize || d.SampleDesc.Count != 1 || d.SampleDesc.Quality != 0)
            return E_INVALIDARG;
        if (d.Format == DXGI_FORMAT_NV12 && ((d.Width | d.Height) & 1) != 0)
            return E_INVALIDARG;
        if (d.Format == DXGI_FORMAT_YUY2 && (d.Width & 1) != 0)
            return E_INVALIDARG;
        if (d.Usage > D3D11_USAGE_STAGING || (d.Usage == D3D11_USAGE_IMMUTABLE && !initialData))
            return E_INVALIDARG;
        const UINT sharing = d.MiscFlags & (D3D11_RESOURCE_MISC_SHARED | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX);
        if (sharing == (D3D11_RESOURCE_MISC_SHARED | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX))
            return E_INVALIDARG;
        if ((d.MiscFlags & D3D11_RESOURCE_MISC_SHARED_NTHANDLE) != 0 && sharing == 0)
            return E_INVALIDARG;
        if ((d.MiscFlags & (D3D11_RESOURCE_MISC_GENERATE_MIPS | D3D11_RESOURCE_MISC_TEXTURECUBE)) != 0)
            return E_INVALIDARG;
        const std::size_t rows = d.Format == DXGI_FORMAT_NV12 ? std::size_t(d.Height) * 3 / 2 : d.Height;
        if (initialData)
            for (UINT slice = 0; slice < d.ArraySize; ++slice)
                if (!initialData[slice].pSysMem || initialData[slice].SysMemPitch < rowBytes)
                    return E_INVALIDARG;
        if (!texture)
            return S_FALSE;

        const UINT rowPitch = static_cast<UINT>((rowBytes + RowAlignment - 1) / RowAlignment * RowAlignment);
        const std::size_t subresourceSize = std::size_t(rowPitch) * rows;
        const std::size_t total = subresourceSize * d.ArraySize;
        BYTE* memory = static_cast<BYTE*>(std::aligned_alloc(RowAlignment, total));
        if (!memory)
            return E_OUTOFMEMORY;
        std::memset(memory, 0, total);
        auto object = [&] {
            try
            {
                return Make<Texture>(ComPtr<Device>(this), d, rowPitch, subresourceSize, memory);
            }
            catch (...)
            {
                std::free(memory);
                throw;
            }
        }();
        if (initialData)
            for (UINT slice = 0; slice < d.ArraySize; ++slice)
            {
                const auto* from = static_cast<const BYTE*>(initialData[slice].pSysMem);
                BYTE* to = object->Subresource(slice);
                for (std::size_t row = 0; row < rows; ++row)
                    std::memcpy(to + row * rowPitch, from + row * initialData[slice].SysMemPitch, rowBytes);
            }
        *texture = object.Detach();
        return S_OK;
    });
}
} // namespace CpuDevice

namespace
{
using CpuDevice::Device;
using CpuDevice::Texture;

bool IsKnownFeatureLevel(D3D_FEATURE_LEVEL level)
{
    switch (level)
    {
    case D3D_FEATURE_LEVEL_9_1:
    case D3D_FEATURE_LEVEL_9_2:
    case D3D_FEATURE_LEVEL_9_3:
    case D3D_FEATURE_LEVEL_10_0:
    case D3D_FEATURE_LEVEL_10_1:
    case D3D_FEATURE_LEVEL_11_0:
    case D3D_FEATURE_LEVEL_11_1:
    case D3D_FEATURE_LEVEL_12_0:
    case D3D_FEATURE_LEVEL_12_1:
        return true;
    }
    return false;
}

constexpr UINT KnownCreateDeviceFlags = D3D11_CREATE_DEVICE_SINGLETHREADED | D3D11_CREATE_DEVICE_DEBUG | D3D11_CREATE_DEVICE_SWITCH_TO_REF |
                                        D3D11_CREATE_DEVICE_PREVENT_INTERNAL_THREADING_OPTIMIZATIONS | D3D11_CREATE_DEVICE_BGRA_SUPPORT |
                                        D3D11_CREATE_DEVICE_DEBUGGABLE |
                                        D3D11_CREATE_DEVICE_PREVENT_ALTERING_LAYER_SETTINGS_FROM_REGISTRY |
                                        D3D11_CREATE_DEVICE_DISABLE_GPU_TIMEOUT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;

// The adapter a device without an explicit one goes on: the first one, or the software one.
HRESULT DefaultAdapter(bool software, ComPtr<IDXGIAdapter>* adapter)
{
    ComPtr<IDXGIFactory1> factory;
    XEV_CHECK_HR(CreateDXGIFactory1(IidOf<IDXGIFactory1>, reinterpret_cast<void**>(factory.GetAddressOf())));
    for (UINT index = 0;; ++index)
    {
        ComPtr<IDXGIAdapter1> candidate;
        const HRESULT hr = factory->EnumAdapters1(index, candidate.GetAddressOf());
        if (hr == DXGI_ERROR_NOT_FOUND)
            return DXGI_ERROR_UNSUPPORTED;
        XEV_CHECK_HR(hr);
        DXGI_ADAPTER_DESC1 desc;
        XEV_CHECK_HR(candidate->GetDesc1(&desc));
        if (!software || (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0)
        {
            *adapter = std::move(candidate);
            return S_OK;
        }
    }
}
} // namespace

namespace D3D11Host
{
UINT RowBytes(DXGI_FORMAT format, UINT width) noexcept
{
    switch (format)
    {
    case DXGI_FORMAT_B8G8R8A8_UNORM:
        return width * 4;
    case DXGI_FORMAT_YUY2:
        return width * 2;
    case DXGI_FORMAT_NV12:
        return width;
    default:
        return 0;
    }
}

HRESULT GetTextureMemory(ID3D11Texture2D* texture, UINT subresource, TextureMemory* memory)
{
    if (!texture || !memory)
        return E_POINTER;
    auto* ours = dynamic_cast<Texture*>(texture);
    if (!ours || subresource >= ours->Desc().ArraySize)
        return E_INVALIDARG;
    ours->WaitForDevice(std::nullopt);
    memory->Data = ours->Subresource(subresource);
    memory->RowPitch = ours->RowPitch();
    memory->Width = ours->Desc().Width;
    memory->Height = ours->Desc().Height;
    memory->Format = ours->Desc().Format;
    memory->Size = ours->SubresourceSize();
    return S_OK;
}
} // namespace D3D11Host

HRESULT D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
                          const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount, UINT sdkVersion,
                          ID3D11Device** device, D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** immediateContext)
{
    return Error::Guard([&]() -> HRESULT {
        if (device)
            *device = nullptr;
        if (immediateContext)
            *immediateContext = nullptr;
        if (sdkVersion != D3D11_SDK_VERSION || (flags & ~KnownCreateDeviceFlags) != 0)
            return E_INVALIDARG;
        // No rasterizer modules exist here: a module is accepted with the software type only, and ignored.
        if (software && driverType != D3D_DRIVER_TYPE_SOFTWARE)
            return E_INVALIDARG;

        static constexpr D3D_FEATURE_LEVEL DefaultLevels[] = { D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                                               D3D_FEATURE_LEVEL_9_3, D3D_FEATURE_LEVEL_9_2, D3D_FEATURE_LEVEL_9_1 };
        if (featureLevels && featureLevelCount == 0)
            return E_INVALIDARG;
        const D3D_FEATURE_LEVEL* levels = featureLevels ? featureLevels : DefaultLevels;
        const UINT levelCount = featureLevels ? featureLevelCount : UINT(std::size(DefaultLevels));
        for (UINT i = 0; i < levelCount; ++i)
            if (!IsKnownFeatureLevel(levels[i]))
                return E_INVALIDARG;
        const D3D_FEATURE_LEVEL chosenLevel = levels[0]; // every level up to 12_1 is supported

        ComPtr<IDXGIAdapter> chosenAdapter;
        if (adapter)
        {
            if (driverType != D3D_DRIVER_TYPE_UNKNOWN)
                return E_INVALIDARG;
            D3D11Host::AdapterRecord record;
            if (FAILED(D3D11Host::GetAdapterRecord(adapter, &record)))
                return E_INVALIDARG;
            chosenAdapter = adapter;
        }
        else
        {
            switch (driverType)
            {
            case D3D_DRIVER_TYPE_HARDWARE:
                XEV_CHECK_HR(DefaultAdapter(false, &chosenAdapter));
                break;
            case D3D_DRIVER_TYPE_REFERENCE:
            case D3D_DRIVER_TYPE_SOFTWARE:
            case D3D_DRIVER_TYPE_WARP:
                XEV_CHECK_HR(DefaultAdapter(true, &chosenAdapter));
                break;
            default:
                return E_INVALIDARG;
            }
        }
        if (featureLevel)
            *featureLevel = chosenLevel;
        if (!device && !immediateContext)
            return S_FALSE;

        auto object = Make<Device>(std::move(chosenAdapter), chosenLevel, flags);
        if (immediateContext)
            object->GetImmediateContext(immediateContext);
        if (device)
            *device = object.Detach();
        return S_OK;
    });
}
