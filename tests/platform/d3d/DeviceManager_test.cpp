#include "DeviceTestSupport.h"

#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <thread>

using namespace D3DTest;

namespace
{
class DxgiDeviceManager : public ::testing::Test
{
protected:
    DxgiDeviceManager() { EXPECT_EQ(MFCreateDXGIDeviceManager(&Token, Object.GetAddressOf()), S_OK); }
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
    void Reset(ID3D11Device* device) { ASSERT_EQ(Object->ResetDevice(device, Token), S_OK); }
    DeviceAndContext d = MakeDevice();
    ComPtr<IMFDXGIDeviceManager> Object;
    UINT32 Token = 0;
};
} // namespace

TEST_F(DxgiDeviceManager, ResetChecksTokenAndDeviceAndHoldsTheDevice)
{
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    for (const auto& [hr, expected] : { std::pair { Object->ResetDevice(d.Device.Get(), Token + 1), E_INVALIDARG }, { Object->ResetDevice(nullptr, Token), E_INVALIDARG },
             { Object->ResetDevice(d.Context.Get(), Token), E_INVALIDARG }, { Object->OpenDeviceHandle(&handle), MF_E_DXGI_DEVICE_NOT_INITIALIZED } })
        EXPECT_EQ(hr, expected);
    EXPECT_EQ(handle, nullptr);

    const ULONG before = CountOf(d.Device.Get());
    ASSERT_EQ(Object->ResetDevice(d.Device.Get(), Token), S_OK);
    EXPECT_EQ(CountOf(d.Device.Get()), before + 1);
    auto next = MakeDevice();
    Reset(next.Device.Get());
    EXPECT_EQ(CountOf(d.Device.Get()), before) << "a reset releases the previous device";
    const ULONG held = CountOf(next.Device.Get());
    Object = nullptr;
    EXPECT_EQ(CountOf(next.Device.Get()), held - 1);
}

// One handle holds the lock at a time; a blocked lock wakes when the owner unlocks, or with the
// new-device result when a reset makes every handle stale.
TEST_F(DxgiDeviceManager, LockIsExclusiveAcrossHandlesUntilUnlockOrReset)
{
    Reset(d.Device.Get());
    HANDLE owner = Open(), other = Open();
    EXPECT_EQ(Object->UnlockDevice(owner, 0), E_INVALIDARG) << "not locked";
    ASSERT_EQ(Lock(owner, 1), S_OK);
    EXPECT_EQ(Lock(other, 0), MF_E_DXGI_VIDEO_DEVICE_LOCKED);
    EXPECT_EQ(Lock(owner, 1), MF_E_DXGI_VIDEO_DEVICE_LOCKED) << "the same handle twice would never return";
    EXPECT_EQ(Object->UnlockDevice(other, 0), E_INVALIDARG) << "not the owner";
    HRESULT waited = E_FAIL;
    std::thread waiter([&] { waited = Lock(other, 1); });
    EXPECT_EQ(Object->UnlockDevice(owner, 0), S_OK);
    waiter.join();
    EXPECT_EQ(waited, S_OK);
    EXPECT_EQ(Object->CloseDeviceHandle(other), S_OK) << "closing the owning handle ends its lock";
    // A failed query gives the lock back.
    ComPtr<ID3D11Texture2D> notDevice;
    EXPECT_EQ(Object->LockDevice(owner, IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(notDevice.GetAddressOf()), 0), E_NOINTERFACE);
    ASSERT_EQ(Lock(owner, 0), S_OK);
    other = Open();
    std::thread blocked([&] { waited = Lock(other, 1); });
    auto next = MakeDevice();
    Reset(next.Device.Get());
    blocked.join();
    EXPECT_EQ(std::tuple(waited, Object->UnlockDevice(owner, 0), Object->TestDevice(owner)), std::tuple(MF_E_DXGI_NEW_VIDEO_DEVICE, MF_E_DXGI_NEW_VIDEO_DEVICE, MF_E_DXGI_NEW_VIDEO_DEVICE));
    ComPtr<ID3D11Device> service;
    ASSERT_EQ(Object->GetVideoService(Open(), IidOf<ID3D11Device>, reinterpret_cast<void**>(service.GetAddressOf())), S_OK);
    EXPECT_EQ(service.Get(), next.Device.Get());
}
