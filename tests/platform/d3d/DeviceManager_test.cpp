#include "DeviceTestSupport.h"

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace D3DTest;

namespace
{
struct Manager
{
    ComPtr<IMFDXGIDeviceManager> Object;
    UINT32 Token = 0;
};

Manager MakeManager()
{
    Manager m;
    EXPECT_EQ(MFCreateDXGIDeviceManager(&m.Token, m.Object.GetAddressOf()), S_OK);
    return m;
}

HANDLE Open(IMFDXGIDeviceManager* manager)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(manager->OpenDeviceHandle(&handle), S_OK);
    EXPECT_NE(handle, nullptr);
    return handle;
}
} // namespace

TEST(DxgiDeviceManager, CreationAndResetCheckTheirArguments)
{
    UINT32 token = 0;
    ComPtr<IMFDXGIDeviceManager> manager;
    EXPECT_EQ(MFCreateDXGIDeviceManager(nullptr, manager.GetAddressOf()), E_POINTER);
    EXPECT_EQ(MFCreateDXGIDeviceManager(&token, nullptr), E_POINTER);

    auto m = MakeManager();
    auto other = MakeManager();
    EXPECT_NE(m.Token, other.Token);
    EXPECT_TRUE(Answers<IMFDXGIDeviceManager>(m.Object.Get()));

    auto d = MakeDevice();
    EXPECT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token + 1), E_INVALIDARG);
    EXPECT_EQ(m.Object->ResetDevice(nullptr, m.Token), E_INVALIDARG);
    EXPECT_EQ(m.Object->ResetDevice(d.Context.Get(), m.Token), E_INVALIDARG) << "not a device";

    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(m.Object->OpenDeviceHandle(&handle), MF_E_DXGI_DEVICE_NOT_INITIALIZED);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(m.Object->OpenDeviceHandle(nullptr), E_POINTER);

    const ULONG before = CountOf(d.Device.Get());
    ASSERT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token), S_OK);
    EXPECT_EQ(CountOf(d.Device.Get()), before + 1) << "the manager holds the device";
    auto replacement = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(replacement.Device.Get(), m.Token), S_OK);
    EXPECT_EQ(CountOf(d.Device.Get()), before) << "a reset releases the previous device";
    m.Object = nullptr;
    EXPECT_EQ(CountOf(replacement.Device.Get()), 2u) << "the manager's release releases its device"; // ours + context's count
}

TEST(DxgiDeviceManager, HandlesGiveTheDeviceUntilAResetMakesThemStale)
{
    auto m = MakeManager();
    auto d = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token), S_OK);
    HANDLE first = Open(m.Object.Get());
    HANDLE second = Open(m.Object.Get());
    EXPECT_NE(first, second);

    ComPtr<ID3D11Device> service;
    ASSERT_EQ(m.Object->GetVideoService(first, IidOf<ID3D11Device>, reinterpret_cast<void**>(service.GetAddressOf())), S_OK);
    EXPECT_EQ(service.Get(), d.Device.Get());
    ComPtr<ID3D11Texture2D> wrong;
    EXPECT_EQ(m.Object->GetVideoService(first, IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(wrong.GetAddressOf())), E_NOINTERFACE);
    EXPECT_EQ(m.Object->GetVideoService(first, IidOf<ID3D11Device>, nullptr), E_POINTER);
    EXPECT_EQ(m.Object->TestDevice(first), S_OK);

    HANDLE bogus = reinterpret_cast<HANDLE>(0xBAD0);
    EXPECT_EQ(m.Object->TestDevice(bogus), E_HANDLE);
    EXPECT_EQ(m.Object->TestDevice(nullptr), E_HANDLE);
    EXPECT_EQ(m.Object->GetVideoService(bogus, IidOf<ID3D11Device>, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())), E_HANDLE);
    EXPECT_EQ(m.Object->CloseDeviceHandle(bogus), E_HANDLE);

    auto next = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(next.Device.Get(), m.Token), S_OK);
    EXPECT_EQ(m.Object->TestDevice(first), MF_E_DXGI_NEW_VIDEO_DEVICE);
    EXPECT_EQ(m.Object->GetVideoService(first, IidOf<ID3D11Device>, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())),
              MF_E_DXGI_NEW_VIDEO_DEVICE);
    ComPtr<ID3D11Device> locked;
    EXPECT_EQ(m.Object->LockDevice(second, IidOf<ID3D11Device>, reinterpret_cast<void**>(locked.GetAddressOf()), 0),
              MF_E_DXGI_NEW_VIDEO_DEVICE);
    EXPECT_EQ(m.Object->CloseDeviceHandle(first), S_OK) << "a stale handle is closed as usual";
    EXPECT_EQ(m.Object->CloseDeviceHandle(first), E_HANDLE);
    EXPECT_EQ(m.Object->CloseDeviceHandle(second), S_OK);

    HANDLE fresh = Open(m.Object.Get());
    ASSERT_EQ(m.Object->GetVideoService(fresh, IidOf<ID3D11Device>, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(service.Get(), next.Device.Get());
    EXPECT_EQ(m.Object->CloseDeviceHandle(fresh), S_OK);
}

TEST(DxgiDeviceManager, LockIsExclusiveAcrossHandles)
{
    auto m = MakeManager();
    auto d = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token), S_OK);
    HANDLE owner = Open(m.Object.Get());
    HANDLE other = Open(m.Object.Get());

    ComPtr<ID3D11Device> device;
    EXPECT_EQ(m.Object->LockDevice(owner, IidOf<ID3D11Device>, nullptr, 1), E_POINTER);
    EXPECT_EQ(m.Object->UnlockDevice(owner, 0), E_INVALIDARG) << "not locked";
    ASSERT_EQ(m.Object->LockDevice(owner, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf()), 1), S_OK);
    EXPECT_EQ(device.Get(), d.Device.Get());
    ComPtr<ID3D11Device> second;
    EXPECT_EQ(m.Object->LockDevice(other, IidOf<ID3D11Device>, reinterpret_cast<void**>(second.GetAddressOf()), 0),
              MF_E_DXGI_VIDEO_DEVICE_LOCKED);
    EXPECT_EQ(m.Object->LockDevice(owner, IidOf<ID3D11Device>, reinterpret_cast<void**>(second.GetAddressOf()), 1),
              MF_E_DXGI_VIDEO_DEVICE_LOCKED)
        << "the same handle twice would never return";
    EXPECT_EQ(m.Object->UnlockDevice(other, 0), E_INVALIDARG) << "not the owner";

    // A blocking lock on the other handle waits for the unlock.
    std::atomic<bool> locked { false };
    HRESULT waited = E_FAIL;
    std::thread waiter([&] {
        ComPtr<ID3D11Device> device;
        waited = m.Object->LockDevice(other, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf()), 1);
        locked = true;
        m.Object->UnlockDevice(other, 0);
    });
    EXPECT_FALSE(locked.load());
    EXPECT_EQ(m.Object->UnlockDevice(owner, 0), S_OK);
    waiter.join();
    EXPECT_EQ(waited, S_OK);

    // A failed query gives the lock back.
    ComPtr<ID3D11Texture2D> notDevice;
    EXPECT_EQ(m.Object->LockDevice(owner, IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(notDevice.GetAddressOf()), 0), E_NOINTERFACE);
    ASSERT_EQ(m.Object->LockDevice(other, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.ReleaseAndGetAddressOf()), 0), S_OK);
    // Closing the owning handle releases the lock.
    EXPECT_EQ(m.Object->CloseDeviceHandle(other), S_OK);
    ASSERT_EQ(m.Object->LockDevice(owner, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.ReleaseAndGetAddressOf()), 0), S_OK);
    EXPECT_EQ(m.Object->UnlockDevice(owner, 1), S_OK);
    EXPECT_EQ(m.Object->CloseDeviceHandle(owner), S_OK);
}

TEST(DxgiDeviceManager, ResetWakesABlockedLockWithTheNewDeviceResult)
{
    auto m = MakeManager();
    auto d = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token), S_OK);
    HANDLE owner = Open(m.Object.Get());
    HANDLE other = Open(m.Object.Get());
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(m.Object->LockDevice(owner, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf()), 1), S_OK);

    HRESULT waited = S_OK;
    std::thread waiter([&] {
        ComPtr<ID3D11Device> blocked;
        waited = m.Object->LockDevice(other, IidOf<ID3D11Device>, reinterpret_cast<void**>(blocked.GetAddressOf()), 1);
    });
    auto next = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(next.Device.Get(), m.Token), S_OK);
    waiter.join();
    EXPECT_EQ(waited, MF_E_DXGI_NEW_VIDEO_DEVICE);
    EXPECT_EQ(m.Object->UnlockDevice(owner, 0), MF_E_DXGI_NEW_VIDEO_DEVICE);
}
