// MFCreateDXGIDeviceManager: the media platform's sharing point for one Direct3D 11 device.
//
// The owner sets the device with ResetDevice and the token it was given; users open handles,
// get the device through them and may lock it for exclusive use. ResetDevice makes every open
// handle stale (MF_E_DXGI_NEW_VIDEO_DEVICE until it is closed) and ends a lock in progress.

#include "platform/d3d/D3D11.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/system/Blocking.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

namespace
{
class DxgiDeviceManager : public ComObject<IMFDXGIDeviceManager>
{
public:
    explicit DxgiDeviceManager(UINT32 resetToken) : m_ResetToken(resetToken) {}

    HRESULT CloseDeviceHandle(HANDLE device) override
    {
        {
            std::lock_guard lock(m_Lock);
            const auto found = m_Handles.find(device);
            if (found == m_Handles.end())
                return E_HANDLE;
            m_Handles.erase(found);
            if (m_LockOwner != device)
                return S_OK;
            m_LockOwner = nullptr;
        }
        m_LockReleased.notify_all();
        return S_OK;
    }

    HRESULT GetVideoService(HANDLE device, REFIID riid, void** service) override
    {
        if (!service)
            return E_POINTER;
        *service = nullptr;
        ComPtr<ID3D11Device> current;
        {
            std::lock_guard lock(m_Lock);
            const HRESULT hr = CheckHandleLocked(device);
            if (FAILED(hr))
                return hr;
            current = m_Device;
        }
        return current->QueryInterface(riid, service);
    }

    HRESULT LockDevice(HANDLE device, REFIID riid, void** unknownDevice, BOOL block) override
    {
        if (!unknownDevice)
            return E_POINTER;
        *unknownDevice = nullptr;
        ComPtr<ID3D11Device> current;
        {
            std::unique_lock lock(m_Lock);
            for (;;)
            {
                const HRESULT hr = CheckHandleLocked(device);
                if (FAILED(hr))
                    return hr;
                if (m_LockOwner == nullptr)
                    break;
                // The same handle again can never succeed: answer instead of blocking forever.
                if (m_LockOwner == device || !block)
                    return MF_E_DXGI_VIDEO_DEVICE_LOCKED;
                const Sync::BlockingRegion blocking;
                m_LockReleased.wait(lock);
            }
            m_LockOwner = device;
            current = m_Device;
        }
        const HRESULT hr = current->QueryInterface(riid, unknownDevice);
        if (FAILED(hr))
            UnlockDevice(device, 0);
        return hr;
    }

    HRESULT OpenDeviceHandle(HANDLE* device) override
    {
        return Error::Guard([&]() -> HRESULT {
            if (!device)
                return E_POINTER;
            *device = nullptr;
            std::lock_guard lock(m_Lock);
            if (!m_Device)
                return MF_E_DXGI_DEVICE_NOT_INITIALIZED;
            HANDLE handle = reinterpret_cast<HANDLE>(++m_LastHandle);
            m_Handles.emplace(handle, m_Generation);
            *device = handle;
            return S_OK;
        });
    }

    HRESULT ResetDevice(IUnknown* unknownDevice, UINT32 resetToken) override
    {
        if (resetToken != m_ResetToken || !unknownDevice)
            return E_INVALIDARG;
        ComPtr<ID3D11Device> device;
        if (FAILED(QueryTo(unknownDevice, device.GetAddressOf())))
            return E_INVALIDARG;
        {
            std::lock_guard lock(m_Lock);
            std::swap(m_Device, device);
            ++m_Generation;
            m_LockOwner = nullptr;
        }
        m_LockReleased.notify_all();
        return S_OK; // the previous device is released here, outside the lock
    }

    HRESULT TestDevice(HANDLE device) override
    {
        std::lock_guard lock(m_Lock);
        return CheckHandleLocked(device);
    }

    HRESULT UnlockDevice(HANDLE device, BOOL saveState) override
    {
        {
            std::lock_guard lock(m_Lock);
            const HRESULT hr = CheckHandleLocked(device);
            if (FAILED(hr))
                return hr;
            if (m_LockOwner != device)
                return E_INVALIDARG;
            m_LockOwner = nullptr;
        }
        m_LockReleased.notify_all();
        return S_OK;
    }

private:
    HRESULT CheckHandleLocked(HANDLE device) const
    {
        const auto found = m_Handles.find(device);
        if (found == m_Handles.end())
            return E_HANDLE;
        if (found->second != m_Generation)
            return MF_E_DXGI_NEW_VIDEO_DEVICE;
        return m_Device ? S_OK : MF_E_DXGI_DEVICE_NOT_INITIALIZED;
    }

    const UINT32 m_ResetToken;
    std::mutex m_Lock; // guards the fields below
    std::condition_variable m_LockReleased;
    ComPtr<ID3D11Device> m_Device;
    uint64_t m_Generation = 0;                        // raised by every ResetDevice
    std::unordered_map<HANDLE, uint64_t> m_Handles;   // open handle -> generation it was opened in
    uintptr_t m_LastHandle = 0;
    HANDLE m_LockOwner = nullptr;                      // the handle that holds LockDevice
};

UINT32 NextResetToken()
{
    static std::atomic<UINT32> counter { 0 };
    UINT32 token;
    do
        token = (counter.fetch_add(1, std::memory_order_relaxed) + 1) * 0x9E3779B1u;
    while (token == 0);
    return token;
}
} // namespace

HRESULT MFCreateDXGIDeviceManager(UINT32* resetToken, IMFDXGIDeviceManager** deviceManager)
{
    return Error::Guard([&]() -> HRESULT {
        if (!resetToken || !deviceManager)
            return E_POINTER;
        *deviceManager = nullptr;
        const UINT32 token = NextResetToken();
        *deviceManager = Make<DxgiDeviceManager>(token).Detach();
        *resetToken = token;
        return S_OK;
    });
}
