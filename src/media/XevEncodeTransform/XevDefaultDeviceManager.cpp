#include "media/XevEncodeTransform/XevDefaultDeviceManager.h"

#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/mf/Api.h"

ComPtr<XevDefaultDeviceManager> XevDefaultDeviceManager::Create(bool softwareAdapter, IDXGIFactory2* factory)
{
    auto manager = Make<XevDefaultDeviceManager>();
    XEV_CHECK_LINE(manager->Initialize(softwareAdapter, factory));
    return manager;
}

bool XevDefaultDeviceManager::Initialize(bool softwareAdapter, IDXGIFactory2* factory)
{
    // 1-2. The factory, then the adapter: the first NVIDIA one unless the software adapter is
    // asked for; the software adapter where there is no NVIDIA one.
    ComPtr<IDXGIFactory2> newFactory(factory);
    if (!newFactory)
        XEV_CHECK_HR(CreateDXGIFactory2(0, IidOf<IDXGIFactory2>, reinterpret_cast<void**>(newFactory.GetAddressOf())));
    m_Factory = newFactory;

    ComPtr<IDXGIAdapter1> chosen, software;
    DXGI_ADAPTER_DESC1 chosenDesc {}, softwareDesc {};
    for (UINT index = 0;; ++index)
    {
        ComPtr<IDXGIAdapter1> adapter;
        if (FAILED(m_Factory->EnumAdapters1(index, adapter.GetAddressOf())))
            break; // the end of the list (DXGI_ERROR_NOT_FOUND) or an adapter that cannot be had
        DXGI_ADAPTER_DESC1 desc {};
        XEV_CHECK_HR(adapter->GetDesc1(&desc));
        const bool isSoftware = (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0;
        if (isSoftware && !software)
        {
            software = adapter;
            softwareDesc = desc;
        }
        if (!softwareAdapter && desc.VendorId == NvidiaVendorId && !isSoftware)
        {
            chosen = std::move(adapter);
            chosenDesc = desc;
            break;
        }
        if (softwareAdapter && software)
            break;
    }
    if (!chosen)
    {
        chosen = std::move(software);
        chosenDesc = softwareDesc;
    }
    if (!chosen)
        return false;
    XEV_TRACE("this 0x%p, Adapter \"%s\", VendorId 0x%04X, DeviceId 0x%04X, Software %d\n", static_cast<void*>(this), chosenDesc.Description,
              chosenDesc.VendorId, chosenDesc.DeviceId, (chosenDesc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0 ? 1 : 0);

    // 3. The device. There is no debug layer to ask for (nor a retry without it).
    static constexpr D3D_FEATURE_LEVEL FeatureLevels[] = { D3D_FEATURE_LEVEL_12_1, D3D_FEATURE_LEVEL_12_0, D3D_FEATURE_LEVEL_11_1,
                                                           D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0 };
    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    D3D_FEATURE_LEVEL featureLevel {};
    XEV_CHECK_HR(D3D11CreateDevice(chosen.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, FeatureLevels,
                                   UINT(std::size(FeatureLevels)), D3D11_SDK_VERSION, device.GetAddressOf(), &featureLevel,
                                   context.GetAddressOf()));

    // 4. Multithread protection.
    ComPtr<ID3D10Multithread> multithread;
    XEV_CHECK_HR(device.As(&multithread));
    multithread->SetMultithreadProtected(1);

    // 5. Store adapter, device and context.
    m_Adapter = std::move(chosen);
    m_Device = device;
    m_DeviceContext = std::move(context);

    // 6-7. The device manager, reset to the device.
    ComPtr<IMFDXGIDeviceManager> manager;
    UINT32 resetToken = 0;
    XEV_CHECK_HR(MFCreateDXGIDeviceManager(&resetToken, manager.GetAddressOf()));
    XEV_CHECK_HR(manager->ResetDevice(device.Get(), resetToken));
    m_DeviceManager = std::move(manager);
    m_ResetToken = resetToken;
    return m_DeviceManager != nullptr;
}

DXGI_ADAPTER_DESC1 XevDefaultDeviceManager::GetAdapterDescription()
{
    DXGI_ADAPTER_DESC1 desc {};
    XEV_CHECK(m_Adapter != nullptr, MF_E_NOT_INITIALIZED);
    XEV_CHECK_HR(m_Adapter->GetDesc1(&desc));
    return desc;
}

HRESULT XevDefaultDeviceManager::CloseDeviceHandle(HANDLE device)
{
    return m_DeviceManager ? m_DeviceManager->CloseDeviceHandle(device) : MF_E_DXGI_DEVICE_NOT_INITIALIZED;
}

HRESULT XevDefaultDeviceManager::GetVideoService(HANDLE device, REFIID riid, void** service)
{
    return m_DeviceManager ? m_DeviceManager->GetVideoService(device, riid, service) : MF_E_DXGI_DEVICE_NOT_INITIALIZED;
}

HRESULT XevDefaultDeviceManager::LockDevice(HANDLE device, REFIID riid, void** unknownDevice, BOOL block)
{
    return m_DeviceManager ? m_DeviceManager->LockDevice(device, riid, unknownDevice, block) : MF_E_DXGI_DEVICE_NOT_INITIALIZED;
}

HRESULT XevDefaultDeviceManager::OpenDeviceHandle(HANDLE* device)
{
    return m_DeviceManager ? m_DeviceManager->OpenDeviceHandle(device) : MF_E_DXGI_DEVICE_NOT_INITIALIZED;
}

HRESULT XevDefaultDeviceManager::ResetDevice(IUnknown* unknownDevice, UINT32 resetToken)
{
    return m_DeviceManager ? m_DeviceManager->ResetDevice(unknownDevice, resetToken) : MF_E_DXGI_DEVICE_NOT_INITIALIZED;
}

HRESULT XevDefaultDeviceManager::TestDevice(HANDLE device)
{
    return m_DeviceManager ? m_DeviceManager->TestDevice(device) : MF_E_DXGI_DEVICE_NOT_INITIALIZED;
}

HRESULT XevDefaultDeviceManager::UnlockDevice(HANDLE device, BOOL saveState)
{
    return m_DeviceManager ? m_DeviceManager->UnlockDevice(device, saveState) : MF_E_DXGI_DEVICE_NOT_INITIALIZED;
}
