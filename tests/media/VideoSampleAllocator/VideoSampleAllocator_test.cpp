// The texture sample allocator over a software device: sample counts, the rotating search, the
// empty pool with its event and notification, texture descriptions, and refused calls.

#include "media/VideoSampleAllocator/VideoSampleAllocator.h"

#include <gtest/gtest.h>

#include <atomic>

namespace
{
class Notify final : public ComObject<IMFVideoSampleAllocatorNotify>
{
public:
    HRESULT NotifyRelease() override { return ++Count, Released.Set(), S_OK; }
    std::atomic<int> Count { 0 };
    Sync::Event Released { Sync::Event::ResetMode::Manual };
};

class AllocatorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(MFStartup(MF_VERSION), S_OK);
        ComPtr<ID3D11Device> device;
        ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(),
                      nullptr, nullptr), S_OK);
        UINT32 token = 0;
        ASSERT_EQ(MFCreateDXGIDeviceManager(&token, Manager.GetAddressOf()), S_OK);
        ASSERT_EQ(Manager->ResetDevice(device.Get(), token), S_OK);
        ASSERT_EQ(Allocator->SetDirectXManager(Manager.Get()), S_OK);
    }
    void TearDown() override
    {
        Allocator = nullptr;
        Manager = nullptr;
        EXPECT_EQ(MFShutdown(), S_OK);
    }
    ComPtr<IMFMediaType> Type(REFGUID subtype = MFVideoFormat_ARGB32)
    {
        ComPtr<IMFMediaType> type;
        EXPECT_EQ(MFCreateMediaType(type.GetAddressOf()), S_OK);
        EXPECT_EQ(type->SetGUID(MF_MT_SUBTYPE, subtype), S_OK);
        EXPECT_EQ(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 64, 48), S_OK);
        return type;
    }
    LONG FreeCount()
    {
        LONG count = -1;
        EXPECT_EQ(Allocator->GetFreeSampleCount(&count), S_OK);
        return count;
    }

    ComPtr<IMFDXGIDeviceManager> Manager;
    ComPtr<VideoSampleAllocator> Allocator = Make<VideoSampleAllocator>();
};

bool IsLineCoded(HRESULT hr) { return (UINT32(hr) & 0xFFFF0000u) == 0x80FF0000u; }
} // namespace

// Entries 1 .. 7, 0 in turn; the ninth request finds none; a return signals the event once and
// notifies once.
TEST_F(AllocatorTest, HandsOutInTurnAndSignalsAReturn)
{
    Allocator->EnableSampleAvailableEvent();
    const auto notify = Make<Notify>();
    ASSERT_EQ(Allocator->SetCallback(notify.Get()), S_OK);
    ASSERT_EQ(Allocator->InitializeSampleAllocator(8, Type().Get()), S_OK);
    EXPECT_EQ(FreeCount(), 8);
    std::vector<ComPtr<IMFSample>> samples(8);
    for (UINT32 k = 0; k < 8; ++k)
    {
        ASSERT_EQ(Allocator->AllocateSample(samples[k].GetAddressOf()), S_OK);
        EXPECT_EQ(MFGetAttributeUINT32(samples[k].Get(), VSA_SAMPLE_INDEX, 99), (k + 1) % 8);
    }
    ComPtr<IMFSample> none;
    EXPECT_EQ(Allocator->AllocateSample(none.GetAddressOf()), MF_E_SAMPLEALLOCATOR_EMPTY);
    EXPECT_FALSE(Allocator->GetSampleAvailableEvent()->IsSignalled());
    samples[3] = nullptr;
    EXPECT_TRUE(Allocator->GetSampleAvailableEvent()->Wait(20000));
    EXPECT_EQ(FreeCount(), 1);
    EXPECT_TRUE(notify->Released.Wait(20000));
    EXPECT_EQ(notify->Count.load(), 1);
    // A sample out while the allocator is uninitialized is dropped when it comes back.
    EXPECT_EQ(Allocator->UninitializeSampleAllocator(), S_OK);
    EXPECT_EQ(FreeCount(), 0);
    EXPECT_EQ(Allocator->AllocateSample(none.GetAddressOf()), MF_E_NOT_INITIALIZED);
}

TEST_F(AllocatorTest, CountsDescriptionsAndRefusals)
{
    ComPtr<IMFAttributes> attributes;
    ASSERT_EQ(MFCreateAttributes(attributes.GetAddressOf(), 3), S_OK);
    ASSERT_EQ(attributes->SetUINT32(MF_SA_MINIMUM_OUTPUT_SAMPLE_COUNT, 5), S_OK);
    ASSERT_EQ(attributes->SetUINT32(MF_SA_D3D11_SHARED, 1), S_OK);
    ASSERT_EQ(attributes->SetUINT32(VSA_D3D11_SHARED_NTHANDLE, 1), S_OK);
    ASSERT_EQ(Allocator->InitializeSampleAllocatorEx(2, 0, attributes.Get(), Type().Get()), S_OK);
    EXPECT_EQ(FreeCount(), 5);
    EXPECT_EQ(Allocator->GetTextureDescription().MiscFlags, 0x900u);
    EXPECT_EQ(Allocator->GetTextureDescription().BindFlags, UINT(D3D11_BIND_SHADER_RESOURCE));
    EXPECT_TRUE(IsLineCoded(Allocator->InitializeSampleAllocatorEx(1, 1, nullptr, Type().Get())));

    const auto fresh = Make<VideoSampleAllocator>();
    ComPtr<IMFSample> sample;
    LONG count = 0;
    EXPECT_EQ(fresh->AllocateSample(sample.GetAddressOf()), MF_E_NOT_INITIALIZED);
    EXPECT_TRUE(IsLineCoded(fresh->InitializeSampleAllocatorEx(1, 1, nullptr, Type().Get()))) << "no device manager";
    EXPECT_TRUE(IsLineCoded(Make<VideoSampleAllocator>()->InitializeSampleAllocatorEx(0, 0, nullptr, Type().Get())));
    const HRESULT results[][2] = {
        { fresh->InitializeSampleAllocator(0, Type().Get()), E_INVALIDARG },
        { fresh->InitializeSampleAllocator(1, nullptr), E_INVALIDARG },
        { fresh->SetDirectXManager(nullptr), E_INVALIDARG },
        { fresh->AllocateSample(nullptr), E_POINTER },
        { fresh->Invoke(nullptr), E_INVALIDARG },
        { fresh->GetFreeSampleCount(&count), S_OK },
    };
    for (size_t row = 0; row < std::size(results); ++row)
        EXPECT_EQ(results[row][0], results[row][1]) << "row " << row;
}
