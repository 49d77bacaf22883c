#pragma once
// What every platform and framework test shares: the patience, the platform started for each
// test, an object's reference count, a wait for what no event announces, a software device
// manager, and a time source base.

#include "platform/com/ComObject.h"
#include "platform/d3d/D3D11.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <thread>

namespace TestSupport
{
// Far beyond any healthy wait: reaching it means a lost wake-up, a lost event or a deadlock.
constexpr std::chrono::milliseconds Patience { 30'000 };
constexpr uint32_t PatienceMilliseconds = static_cast<uint32_t>(Patience.count());

// The platform started for each test and shut down after it.
class PlatformTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION), S_OK); }
    void TearDown() override { EXPECT_EQ(MFShutdown(), S_OK); }
};

// The count of any object: one AddRef/Release pair around it.
inline ULONG RefCount(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// Checks `condition` until it holds (for what no event announces, such as a reference count
// falling when a worker lets go), yielding the processor between checks; false after the patience.
template <class Condition>
bool WaitUntil(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + Patience;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// A device manager over a new software (WARP) device.
inline ComPtr<IMFDXGIDeviceManager> SoftwareDeviceManager()
{
    ComPtr<ID3D11Device> device;
    ComPtr<IMFDXGIDeviceManager> manager;
    UINT32 token = 0;
    EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr, nullptr), S_OK);
    EXPECT_EQ(MFCreateDXGIDeviceManager(&token, manager.GetAddressOf()), S_OK);
    EXPECT_EQ(manager->ResetDevice(device.Get(), token), S_OK);
    return manager;
}

// A time source of a test's own: the derived class gives the time; the rest is not implemented.
class TimeSourceStub : public IMFPresentationTimeSource
{
public:
    HRESULT GetClockCharacteristics(DWORD*) override { return E_NOTIMPL; }
    HRESULT GetContinuityKey(DWORD*) override { return E_NOTIMPL; }
    HRESULT GetState(DWORD, MFCLOCK_STATE*) override { return E_NOTIMPL; }
    HRESULT GetProperties(MFCLOCK_PROPERTIES*) override { return E_NOTIMPL; }
    HRESULT GetUnderlyingClock(IMFClock**) override { return E_NOTIMPL; }
};
} // namespace TestSupport
