// Samples that come back after the allocator was uninitialized (and perhaps initialized again for
// another frame size) never rejoin it: the allocator hands out only samples of its current size.

#include "media/VideoSampleAllocator/VideoSampleAllocator.h"

#include <gtest/gtest.h>

#include <atomic>

namespace
{
class CountingNotify final : public ComObject<IMFVideoSampleAllocatorNotify>
{
public:
    HRESULT NotifyRelease() override { return ++Count, Released.Set(), S_OK; }
    std::atomic<int> Count { 0 };
    Sync::Event Released { Sync::Event::ResetMode::Manual };
};

// Kept as an attribute of a sample: tells when the sample is destroyed.
class Probe final : public ComObject<IUnknown>
{
public:
    explicit Probe(Sync::Event* gone) : m_Gone(gone) {}
    ~Probe() override { m_Gone->Set(); }
    Sync::Event* const m_Gone;
};

ComPtr<IMFMediaType> ArgbType(UINT32 width, UINT32 height)
{
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(MFCreateMediaType(type.GetAddressOf()), S_OK);
    EXPECT_EQ(type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_ARGB32), S_OK);
    EXPECT_EQ(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height), S_OK);
    return type;
}

DWORD Length(IMFSample* sample)
{
    DWORD length = 0;
    EXPECT_EQ(sample->GetTotalLength(&length), S_OK);
    return length;
}
} // namespace

// Rows: re-initialized (at twice the size) before the late return or not. Either way the late
// sample is dropped without a notification, and the allocator's own samples all come home.
TEST(VideoSampleAllocatorLateReturn, SampleOfAnEarlierInitializationIsDropped)
{
    ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr, nullptr), S_OK);
    UINT32 token = 0;
    ComPtr<IMFDXGIDeviceManager> manager;
    ASSERT_EQ(MFCreateDXGIDeviceManager(&token, manager.GetAddressOf()), S_OK);
    ASSERT_EQ(manager->ResetDevice(device.Get(), token), S_OK);
    for (const bool reinitialize : { false, true })
    {
        const auto allocator = Make<VideoSampleAllocator>();
        const auto notify = Make<CountingNotify>();
        ASSERT_EQ(allocator->SetDirectXManager(manager.Get()), S_OK);
        ASSERT_EQ(allocator->SetCallback(notify.Get()), S_OK);
        ASSERT_EQ(allocator->InitializeSampleAllocator(2, ArgbType(64, 48).Get()), S_OK);
        ComPtr<IMFSample> late, current;
        ASSERT_EQ(allocator->AllocateSample(late.GetAddressOf()), S_OK);
        ASSERT_EQ(allocator->UninitializeSampleAllocator(), S_OK);
        if (reinitialize)
        {
            ASSERT_EQ(allocator->InitializeSampleAllocator(2, ArgbType(128, 96).Get()), S_OK);
            ASSERT_EQ(allocator->AllocateSample(current.GetAddressOf()), S_OK); // leaves an entry empty
        }
        Sync::Event lateGone { Sync::Event::ResetMode::Manual };
        ASSERT_EQ(late->SetUnknown(MFSampleExtension_Token, Make<Probe>(&lateGone).Get()), S_OK);
        late = nullptr;
        EXPECT_TRUE(lateGone.Wait(20000)) << "the late sample was kept, reinitialized " << reinitialize;
        current = nullptr;
        EXPECT_EQ(!reinitialize || notify->Released.Wait(20000), true);
        LONG free = -1;
        ASSERT_EQ(allocator->GetFreeSampleCount(&free), S_OK);
        EXPECT_EQ(free, reinitialize ? 2 : 0) << reinitialize;
        EXPECT_EQ(notify->Count.load(), reinitialize ? 1 : 0) << reinitialize; // the current sample's return only
        std::vector<ComPtr<IMFSample>> samples(2);
        for (auto& sample : samples)
        {
            const HRESULT hr = allocator->AllocateSample(sample.GetAddressOf());
            EXPECT_EQ(hr, reinitialize ? S_OK : MF_E_NOT_INITIALIZED);
            EXPECT_EQ(SUCCEEDED(hr) ? Length(sample.Get()) : 0u, reinitialize ? 128u * 96 * 4 : 0u) << reinitialize;
        }
    }
    EXPECT_EQ(MFShutdown(), S_OK);
}
