#pragma once
// CpuDevice::Texture: a 2D texture in host memory with its keyed mutex.

#include "DeviceObjects.h"

namespace CpuDevice
{
struct FreeMemory
{
    void operator()(BYTE* memory) const noexcept { std::free(memory); }
};

// A 2D texture in host memory: ArraySize subresources of RowPitch × rows bytes each, zeroed.
// Answers IDXGISurface always and IDXGIKeyedMutex when made with the keyed-mutex flag.
class Texture : public ComObject<ID3D11Texture2D, IDXGISurface, IDXGIKeyedMutex>
{
public:
    Texture(ComPtr<Device> device, const D3D11_TEXTURE2D_DESC& desc, UINT rowPitch, std::size_t subresourceSize, BYTE* memory)
        : m_Device(std::move(device)), m_Desc(desc), m_RowPitch(rowPitch), m_SubresourceSize(subresourceSize), m_Memory(memory)
    {
    }

    const D3D11_TEXTURE2D_DESC& Desc() const noexcept { return m_Desc; }
    Device* Owner() const noexcept { return m_Device.Get(); }
    UINT RowPitch() const noexcept { return m_RowPitch; }
    BYTE* Subresource(UINT index) const noexcept { return m_Memory.get() + m_SubresourceSize * index; }
    std::size_t SubresourceSize() const noexcept { return m_SubresourceSize; }
    bool HasKeyedMutex() const noexcept { return (m_Desc.MiscFlags & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX) != 0; }

    // The fence of the last device command that uses this texture (set under the engine's lock).
    void SetLastFence(uint64_t fence) noexcept { m_LastFence.store(fence, std::memory_order_relaxed); }
    bool WaitForDevice(const Deadline& deadline) { return m_Device->Engine().WaitFor(m_LastFence.load(std::memory_order_relaxed), deadline); }

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        if (riid == IDXGIKeyedMutex::IID && !HasKeyedMutex())
        {
            if (!object)
                return E_POINTER;
            *object = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(riid, object);
    }

    // ID3D11DeviceChild
    void GetDevice(ID3D11Device** device) override
    {
        if (device)
            *device = ComPtr<ID3D11Device>(m_Device.Get()).Detach();
    }
    // ID3D11Resource
    void GetType(D3D11_RESOURCE_DIMENSION* dimension) override
    {
        if (dimension)
            *dimension = D3D11_RESOURCE_DIMENSION_TEXTURE2D;
    }
    // ID3D11Texture2D
    void GetDesc(D3D11_TEXTURE2D_DESC* desc) override
    {
        if (desc)
            *desc = m_Desc;
    }

    // IDXGIObject
    HRESULT GetParent(REFIID riid, void** parent) override { return GetDevice(riid, parent); }
    // IDXGIDeviceSubObject
    HRESULT GetDevice(REFIID riid, void** device) override
    {
        if (!device)
            return E_POINTER;
        return m_Device->QueryInterface(riid, device);
    }

    // IDXGISurface
    HRESULT GetDesc(DXGI_SURFACE_DESC* desc) override
    {
        if (!desc)
            return E_INVALIDARG;
        *desc = { m_Desc.Width, m_Desc.Height, m_Desc.Format, m_Desc.SampleDesc };
        return S_OK;
    }
    HRESULT Map(DXGI_MAPPED_RECT* lockedRect, UINT mapFlags) override
    {
        if (!lockedRect)
            return E_INVALIDARG;
        *lockedRect = {};
        if (m_Desc.ArraySize != 1 || (mapFlags & ~(DXGI_MAP_READ | DXGI_MAP_WRITE | DXGI_MAP_DISCARD)) != 0)
            return DXGI_ERROR_INVALID_CALL;
        WaitForDevice(std::nullopt);
        m_MapCount.fetch_add(1, std::memory_order_relaxed);
        lockedRect->Pitch = static_cast<INT>(m_RowPitch);
        lockedRect->pBits = Subresource(0);
        return S_OK;
    }
    HRESULT Unmap() override
    {
        UINT count = m_MapCount.load(std::memory_order_relaxed);
        do
        {
            if (count == 0)
                return DXGI_ERROR_INVALID_CALL;
        } while (!m_MapCount.compare_exchange_weak(count, count - 1, std::memory_order_relaxed));
        return S_OK;
    }

    // IDXGIKeyedMutex
    HRESULT AcquireSync(UINT64 key, DWORD milliseconds) override
    {
        const Deadline deadline = DeadlineAfter(milliseconds);
        {
            std::unique_lock lock(m_SyncLock);
            const auto available = [&] { return !m_SyncAcquired && m_SyncKey == key; };
            if (!available())
            {
                const Sync::BlockingRegion blocking;
                if (!deadline)
                    m_SyncChanged.wait(lock, available);
                else if (!m_SyncChanged.wait_until(lock, *deadline, available))
                    return WAIT_TIMEOUT;
            }
            m_SyncAcquired = true;
        }
        // The releasing side's copies come first, as the device orders them on the platform.
        if (WaitForDevice(deadline))
            return S_OK;
        {
            std::lock_guard lock(m_SyncLock);
            m_SyncAcquired = false;
        }
        m_SyncChanged.notify_all();
        return WAIT_TIMEOUT;
    }
    HRESULT ReleaseSync(UINT64 key) override
    {
        {
            std::lock_guard lock(m_SyncLock);
            if (!m_SyncAcquired)
                return E_FAIL;
            m_SyncAcquired = false;
            m_SyncKey = key;
        }
        m_SyncChanged.notify_all();
        return S_OK;
    }

private:
    const ComPtr<Device> m_Device; // a resource keeps its device alive
    const D3D11_TEXTURE2D_DESC m_Desc;
    const UINT m_RowPitch;
    const std::size_t m_SubresourceSize;
    const std::unique_ptr<BYTE, FreeMemory> m_Memory;
    std::atomic<uint64_t> m_LastFence { 0 };
    std::atomic<UINT> m_MapCount { 0 };

    std::mutex m_SyncLock; // guards the keyed mutex: the two fields below
    std::condition_variable m_SyncChanged;
    bool m_SyncAcquired = false;
    UINT64 m_SyncKey = 0; // the key of the last release
};
} // namespace CpuDevice
