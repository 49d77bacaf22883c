// The texture sample allocator over a software device: the rotating search, the empty pool with
// its event and notification, and samples that come back after the allocator was uninitialized
// (its texture descriptions are those the source's hardware path uses).

#include "media/VideoSampleAllocator/VideoSampleAllocator.h"

#include "fakes/Platform.h"
#include "platform/mf/session/SessionTestSupport.h"

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

// Kept as an attribute of a sample: tells when the sample is destroyed.
class Probe final : public ComObject<IUnknown>
{
public:
    explicit Probe(Sync::Event* gone) : m_Gone(gone) {}
    ~Probe() override { m_Gone->Set(); }
    Sync::Event* const m_Gone;
};

class AllocatorTest : public TestSupport::PlatformTest
{
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        Manager = TestSupport::SoftwareDeviceManager();
        ASSERT_EQ(Allocator->SetDirectXManager(Manager.Get()), S_OK);
    }
    void TearDown() override
    {
        Allocator = nullptr;
        Manager = nullptr;
        PlatformTest::TearDown();
    }
    static ComPtr<IMFMediaType> Type(UINT32 width = 64, UINT32 height = 48) { return SessionTest::VideoType(MFVideoFormat_ARGB32, width, height); }
    LONG FreeCount()
    {
        LONG count = -1;
        EXPECT_EQ(Allocator->GetFreeSampleCount(&count), S_OK);
        return count;
    }

    ComPtr<IMFDXGIDeviceManager> Manager;
    ComPtr<VideoSampleAllocator> Allocator = Make<VideoSampleAllocator>();
};
using VideoSampleAllocatorLateReturn = AllocatorTest;

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
    EXPECT_TRUE(Allocator->GetSampleAvailableEvent()->Wait(TestSupport::PatienceMilliseconds));
    EXPECT_EQ(FreeCount(), 1);
    EXPECT_TRUE(notify->Released.Wait(TestSupport::PatienceMilliseconds));
    EXPECT_EQ(notify->Count.load(), 1);
}

// A sample that comes back after the allocator was uninitialized (and perhaps initialized again
// for another frame size) never rejoins it: it is dropped without a notification, and the
// allocator hands out only samples of its current size. Rows: re-initialized at twice the size or not.
TEST_F(VideoSampleAllocatorLateReturn, SampleOfAnEarlierInitializationIsDropped)
{
    for (const bool reinitialize : { false, true })
    {
        const auto allocator = Make<VideoSampleAllocator>();
        const auto notify = Make<Notify>();
        ASSERT_EQ(allocator->SetDirectXManager(Manager.Get()), S_OK);
        ASSERT_EQ(allocator->SetCallback(notify.Get()), S_OK);
        ASSERT_EQ(allocator->InitializeSampleAllocator(2, Type(64, 48).Get()), S_OK);
        ComPtr<IMFSample> late, current;
        ASSERT_EQ(allocator->AllocateSample(late.GetAddressOf()), S_OK);
        ASSERT_EQ(allocator->UninitializeSampleAllocator(), S_OK);
        if (reinitialize)
        {
            ASSERT_EQ(allocator->InitializeSampleAllocator(2, Type(128, 96).Get()), S_OK);
            ASSERT_EQ(allocator->AllocateSample(current.GetAddressOf()), S_OK); // leaves an entry empty
        }
        Sync::Event lateGone { Sync::Event::ResetMode::Manual };
        ASSERT_EQ(late->SetUnknown(MFSampleExtension_Token, Make<Probe>(&lateGone).Get()), S_OK);
        late = nullptr;
        EXPECT_TRUE(lateGone.Wait(TestSupport::PatienceMilliseconds)) << "the late sample was kept, reinitialized " << reinitialize;
        current = nullptr;
        EXPECT_EQ(!reinitialize || notify->Released.Wait(TestSupport::PatienceMilliseconds), true);
        LONG free = -1;
        ASSERT_EQ(allocator->GetFreeSampleCount(&free), S_OK);
        EXPECT_EQ(free, reinitialize ? 2 : 0) << reinitialize;
        EXPECT_EQ(notify->Count.load(), reinitialize ? 1 : 0) << reinitialize; // the current sample's return only
        std::vector<ComPtr<IMFSample>> samples(2);
        for (auto& sample : samples)
        {
            const HRESULT hr = allocator->AllocateSample(sample.GetAddressOf());
            EXPECT_EQ(hr, reinitialize ? S_OK : MF_E_NOT_INITIALIZED);
            DWORD length = 0;
            EXPECT_EQ(SUCCEEDED(hr) ? (sample->GetTotalLength(&length), length) : 0u, reinitialize ? 128u * 96 * 4 : 0u) << reinitialize;
        }
    }
}
