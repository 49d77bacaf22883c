#include "DeviceTestSupport.h"

#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace D3DTest;

namespace
{
struct Manager
{
    Manager() { EXPECT_EQ(MFCreateDXGIDeviceManager(&Token, Object.GetAddressOf()), S_OK); }
    HANDLE Open()
    {
        HANDLE handle = nullptr;
        EXPECT_EQ(Object->OpenDeviceHandle(&handle), S_OK);
        return handle;
    }
    HRESULT Lock(HANDLE handle, BOOL block)
    {
        ComPtr<ID3D11Device> device;
        return Object->LockDevice(handle, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf()), block);
    }
    ComPtr<IMFDXGIDeviceManager> Object;
    UINT32 Token = 0;
};
} // namespace

TEST(DxgiDeviceManager, ResetChecksTokenAndDeviceAndHoldsTheDevice)
{
    UINT32 token = 0;
    EXPECT_EQ(MFCreateDXGIDeviceManager(&token, nullptr), E_POINTER);
    Manager m;
    auto d = MakeDevice();
    EXPECT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token + 1), E_INVALIDARG);
    EXPECT_EQ(m.Object->ResetDevice(nullptr, m.Token), E_INVALIDARG);
    EXPECT_EQ(m.Object->ResetDevice(d.Context.Get(), m.Token), E_INVALIDARG) << "not a device";
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(m.Object->OpenDeviceHandle(&handle), MF_E_DXGI_DEVICE_NOT_INITIALIZED);
    EXPECT_EQ(handle, nullptr);

    const ULONG before = CountOf(d.Device.Get());
    ASSERT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token), S_OK);
    EXPECT_EQ(CountOf(d.Device.Get()), before + 1);
    auto next = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(next.Device.Get(), m.Token), S_OK);
    EXPECT_EQ(CountOf(d.Device.Get()), before) << "a reset releases the previous device";
    const ULONG held = CountOf(next.Device.Get());
    m.Object = nullptr;
    EXPECT_EQ(CountOf(next.Device.Get()), held - 1);
}

TEST(DxgiDeviceManager, HandlesGiveTheDeviceUntilAResetMakesThemStale)
{
    Manager m;
    auto d = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token), S_OK);
    HANDLE first = m.Open(), second = m.Open();
    EXPECT_NE(first, second);
    ComPtr<ID3D11Device> service;
    ASSERT_EQ(m.Object->GetVideoService(first, IidOf<ID3D11Device>, reinterpret_cast<void**>(service.GetAddressOf())), S_OK);
    EXPECT_EQ(service.Get(), d.Device.Get());
    EXPECT_EQ(m.Object->TestDevice(first), S_OK);
    HANDLE bogus = reinterpret_cast<HANDLE>(0xBAD0);
    EXPECT_EQ(m.Object->TestDevice(bogus), E_HANDLE);
    EXPECT_EQ(m.Object->CloseDeviceHandle(bogus), E_HANDLE);

    auto next = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(next.Device.Get(), m.Token), S_OK);
    EXPECT_EQ(m.Object->TestDevice(first), MF_E_DXGI_NEW_VIDEO_DEVICE);
    EXPECT_EQ(m.Object->GetVideoService(first, IidOf<ID3D11Device>, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())),
              MF_E_DXGI_NEW_VIDEO_DEVICE);
    EXPECT_EQ(m.Lock(second, 0), MF_E_DXGI_NEW_VIDEO_DEVICE);
    EXPECT_EQ(m.Object->CloseDeviceHandle(first), S_OK) << "a stale handle is closed as usual";
    EXPECT_EQ(m.Object->CloseDeviceHandle(first), E_HANDLE);
    HANDLE fresh = m.Open();
    ASSERT_EQ(m.Object->GetVideoService(fresh, IidOf<ID3D11Device>, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())), S_OK);
    EXPECT_EQ(service.Get(), next.Device.Get());
}

TEST(DxgiDeviceManager, LockIsExclusiveAcrossHandles)
{
    Manager m;
    auto d = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token), S_OK);
    HANDLE owner = m.Open(), other = m.Open();
    EXPECT_EQ(m.Object->UnlockDevice(owner, 0), E_INVALIDARG) << "not locked";
    ASSERT_EQ(m.Lock(owner, 1), S_OK);
    EXPECT_EQ(m.Lock(other, 0), MF_E_DXGI_VIDEO_DEVICE_LOCKED);
    EXPECT_EQ(m.Lock(owner, 1), MF_E_DXGI_VIDEO_DEVICE_LOCKED) << "the same handle twice would never return";
    EXPECT_EQ(m.Object->UnlockDevice(other, 0), E_INVALIDARG) << "not the owner";

    std::atomic<bool> locked { false };
    HRESULT waited = E_FAIL;
    std::thread waiter([&] {
        waited = m.Lock(other, 1);
        locked = true;
    });
    EXPECT_FALSE(locked.load());
    EXPECT_EQ(m.Object->UnlockDevice(owner, 0), S_OK);
    waiter.join();
    EXPECT_EQ(waited, S_OK);
    EXPECT_EQ(m.Object->CloseDeviceHandle(other), S_OK) << "closing the owning handle ends its lock";
    EXPECT_EQ(m.Lock(owner, 0), S_OK);
    EXPECT_EQ(m.Object->UnlockDevice(owner, 0), S_OK);

    // A failed query gives the lock back.
    ComPtr<ID3D11Texture2D> notDevice;
    EXPECT_EQ(m.Object->LockDevice(owner, IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(notDevice.GetAddressOf()), 0), E_NOINTERFACE);
    EXPECT_EQ(m.Lock(owner, 0), S_OK);
}

TEST(DxgiDeviceManager, ResetWakesABlockedLockWithTheNewDeviceResult)
{
    Manager m;
    auto d = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(d.Device.Get(), m.Token), S_OK);
    HANDLE owner = m.Open(), other = m.Open();
    ASSERT_EQ(m.Lock(owner, 1), S_OK);
    HRESULT waited = S_OK;
    std::thread waiter([&] { waited = m.Lock(other, 1); });
    auto next = MakeDevice();
    ASSERT_EQ(m.Object->ResetDevice(next.Device.Get(), m.Token), S_OK);
    waiter.join();
    EXPECT_EQ(waited, MF_E_DXGI_NEW_VIDEO_DEVICE);
    EXPECT_EQ(m.Object->UnlockDevice(owner, 0), MF_E_DXGI_NEW_VIDEO_DEVICE);
}
