#pragma once
// XevDefaultDeviceManager: the one Direct3D 11 device a run shares, offered through a DXGI
// device manager.
//
// It picks the first NVIDIA adapter (vendor 0x10DE); where the machine has none, or when asked
// to, the software adapter (whose encoder is the software runtime). The device is multithread
// protected, so the source's drawing and the encoder use it from their own threads.
//
// Order of calls: Create (which initializes), then any thread may call the forwarded
// IMFDXGIDeviceManager methods and GetAdapterDescription. Initialize replaces what an earlier one
// made and runs before the manager is shared. Releasing it releases the inner manager, the
// context, the device, the adapter and the factory, in that order.

#include "platform/com/ComObject.h"
#include "platform/d3d/D3D11.h"
#include "platform/mf/Interfaces.h"

class XevDefaultDeviceManager : public ComObject<IMFDXGIDeviceManager>
{
public:
    static constexpr UINT NvidiaVendorId = 0x10DE;

    // Makes and initializes a manager; throws the line-coded failure when no adapter is usable.
    // `factory` (tests) replaces the machine's adapters.
    static ComPtr<XevDefaultDeviceManager> Create(bool softwareAdapter = false, IDXGIFactory2* factory = nullptr);

    // True when a device manager was made: on the first NVIDIA adapter, else (or when
    // `softwareAdapter`) on the software adapter; false when neither exists. Failures throw.
    bool Initialize(bool softwareAdapter = false, IDXGIFactory2* factory = nullptr);

    // GetDesc1 of the chosen adapter (zeroed first); MF_E_NOT_INITIALIZED before Initialize.
    DXGI_ADAPTER_DESC1 GetAdapterDescription();

    // IMFDXGIDeviceManager: passed to the inner manager, with its results
    // (MF_E_DXGI_DEVICE_NOT_INITIALIZED before Initialize).
    HRESULT CloseDeviceHandle(HANDLE device) override;
    HRESULT GetVideoService(HANDLE device, REFIID riid, void** service) override;
    HRESULT LockDevice(HANDLE device, REFIID riid, void** unknownDevice, BOOL block) override;
    HRESULT OpenDeviceHandle(HANDLE* device) override;
    HRESULT ResetDevice(IUnknown* unknownDevice, UINT32 resetToken) override;
    HRESULT TestDevice(HANDLE device) override;
    HRESULT UnlockDevice(HANDLE device, BOOL saveState) override;

private:
    template <class T, class... Args>
    friend ComPtr<T> Make(Args&&... args);
    XevDefaultDeviceManager() = default;

    // Members in this order, so that destruction releases them in the reverse one.
    ComPtr<IDXGIFactory2> m_Factory;
    ComPtr<IDXGIAdapter1> m_Adapter;
    ComPtr<ID3D11Device> m_Device;
    ComPtr<ID3D11DeviceContext> m_DeviceContext;
    ComPtr<IMFDXGIDeviceManager> m_DeviceManager; // does the real work
    UINT32 m_ResetToken = 0;
};
