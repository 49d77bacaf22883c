#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace WorkTest;

namespace
{
// A new tracked sample holding `probe`, armed with `allocator` and `state`.
ComPtr<IMFSample> ArmedSample(IUnknown* probe, IMFAsyncCallback* allocator, IUnknown* state = nullptr)
{
    ComPtr<IMFTrackedSample> tracked;
    ComPtr<IMFSample> sample;
    EXPECT_HR(S_OK, MFCreateTrackedSample(tracked.GetAddressOf()));
    EXPECT_HR(S_OK, tracked.As(&sample));
    EXPECT_HR(S_OK, sample->SetUnknown(GUID_NULL, probe));
    EXPECT_HR(E_POINTER, tracked->SetAllocator(nullptr, nullptr));
    EXPECT_HR(S_OK, tracked->SetAllocator(allocator, state));
    EXPECT_HR(MF_E_NOTACCEPTING, tracked->SetAllocator(allocator, nullptr)); // a second allocator
    return sample;
}

// An allocator that keeps the returned sample (the result's object) and the result's state.
struct TestAllocator final : ComObject<IMFAsyncCallback>
{
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override
    {
        std::lock_guard lock(Lock);
        State = result->GetStateNoAddRef();
        return result->GetObject(Returned.GetAddressOf());
    }
    ComPtr<IUnknown> Take()
    {
        std::lock_guard lock(Lock);
        return std::move(Returned);
    }
    std::mutex Lock; // guards Returned and State
    ComPtr<IUnknown> Returned;
    IUnknown* State = nullptr; // compared only, never called
};
using TrackedSample = PlatformTest;
} // namespace

TEST_F(TrackedSample, LastReleaseHandsTheSampleToItsAllocatorOnAWorkQueue)
{
    auto allocator = Make<TestAllocator>();
    std::atomic<int> destroyed { 0 };
    auto state = Make<Probe>();
    ComPtr<IMFSample> sample = ArmedSample(Make<Probe>(&destroyed).Get(), allocator.Get(), state.Get());
    ASSERT_HR(S_OK, sample->SetSampleTime(1234));
    IMFSample* const identity = sample.Get();
    EXPECT_EQ(2u, RefCount(allocator.Get())); // the armed sample holds the allocator once
    sample = nullptr;
    ComPtr<IUnknown> returned;
    ASSERT_TRUE(WaitUntil([&] { return (returned = allocator->Take()) != nullptr; }));
    ASSERT_TRUE(WaitUntil([&] { return RefCount(state.Get()) == 1 && RefCount(allocator.Get()) == 1; })); // the result went
    EXPECT_EQ(static_cast<IUnknown*>(state.Get()), allocator->State);
    EXPECT_EQ(static_cast<IUnknown*>(identity), returned.Get());
    EXPECT_EQ(1u, RefCount(returned.Get()));
    LONGLONG time = 0;
    EXPECT_HR(S_OK, identity->GetSampleTime(&time));
    EXPECT_EQ(1234, time);
    EXPECT_EQ(0, destroyed.load());
    returned = nullptr; // not armed again: the last release now destroys it
    EXPECT_EQ(1, destroyed.load());
}

TEST_F(TrackedSample, WhenTheCallbackCannotBeQueuedTheSampleIsDestroyed)
{
    auto allocator = Make<TestAllocator>();
    std::atomic<int> destroyed { 0 };
    ComPtr<IMFSample> sample = ArmedSample(Make<Probe>(&destroyed).Get(), allocator.Get());
    ASSERT_HR(S_OK, MFShutdown()); // no work queue to run the callback
    sample = nullptr;
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(nullptr, allocator->Take().Get());
    EXPECT_EQ(1u, RefCount(allocator.Get())); // no reference left behind
    ASSERT_HR(S_OK, MFStartup(MF_VERSION)); // for the fixture's MFShutdown
}
