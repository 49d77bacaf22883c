#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <thread>
#include <vector>

using namespace WorkTest;

namespace
{
constexpr GUID ProbeKey = Guid::Parse("44444444-0000-0000-0000-000000000001");

// A new tracked sample holding `probe` under ProbeKey, seen through IMFSample.
ComPtr<IMFSample> NewTrackedSample(IUnknown* probe)
{
    ComPtr<IMFTrackedSample> tracked;
    ComPtr<IMFSample> sample;
    EXPECT_HR(S_OK, MFCreateTrackedSample(tracked.GetAddressOf()));
    EXPECT_HR(S_OK, tracked.As(&sample));
    EXPECT_HR(S_OK, sample->SetUnknown(ProbeKey, probe));
    return sample;
}

HRESULT Arm(IMFSample* sample, IMFAsyncCallback* allocator, IUnknown* state = nullptr)
{
    ComPtr<IMFTrackedSample> tracked;
    const HRESULT hr = sample->QueryInterface(IidOf<IMFTrackedSample>, reinterpret_cast<void**>(tracked.GetAddressOf()));
    return FAILED(hr) ? hr : tracked->SetAllocator(allocator, state);
}

// An allocator: Invoke takes the returned sample (the result's object) into its free list, or
// drops it when Keep is false. GetParameters names `queue` when it is not 0.
class TestAllocator final : public ComObject<IMFAsyncCallback>
{
public:
    std::atomic<bool> Keep { true };
    std::atomic<int> Returns { 0 };
    std::atomic<IUnknown*> LastState { nullptr }; // compared only, never called

    explicit TestAllocator(DWORD queue = 0) : m_Queue(queue) {}
    HRESULT GetParameters(DWORD* flags, DWORD* queue) override
    {
        *flags = 0;
        *queue = m_Queue;
        return m_Queue ? S_OK : E_NOTIMPL;
    }
    HRESULT Invoke(IMFAsyncResult* result) override
    {
        ComPtr<IUnknown> object;
        ComPtr<IMFSample> sample;
        EXPECT_TRUE(SUCCEEDED(result->GetObject(object.GetAddressOf())) && SUCCEEDED(object.As(&sample)));
        LastState = result->GetStateNoAddRef();
        if (Keep)
            Put(std::move(sample));
        Returns.fetch_add(1);
        return S_OK;
    }

    // Takes a free sample (waiting for one to come back) and arms it with this allocator.
    ComPtr<IMFSample> Take()
    {
        ComPtr<IMFSample> sample;
        WaitUntil([&] {
            std::lock_guard lock(m_Lock);
            if (!m_Free.empty())
                sample = std::move(m_Free.front()), m_Free.pop_front();
            return sample != nullptr;
        });
        EXPECT_HR(S_OK, sample ? Arm(sample.Get(), this) : S_OK);
        return sample;
    }
    void Put(ComPtr<IMFSample> sample)
    {
        std::lock_guard lock(m_Lock);
        m_Free.push_back(std::move(sample));
    }
    std::deque<ComPtr<IMFSample>> TakeAll()
    {
        std::lock_guard lock(m_Lock);
        return std::move(m_Free);
    }

private:
    const DWORD m_Queue;
    std::mutex m_Lock; // guards m_Free
    std::deque<ComPtr<IMFSample>> m_Free;
};

using TrackedSample = PlatformTest;
} // namespace

TEST_F(TrackedSample, LastReleaseHandsTheSampleToItsOneAllocatorOnAWorkQueue)
{
    const DWORD queue = SerialQueue();
    ComPtr<TestAllocator> allocator = Make<TestAllocator>(queue);
    std::atomic<int> destroyed { 0 };
    ComPtr<Probe> state = Make<Probe>();
    ComPtr<IMFSample> sample = NewTrackedSample(Make<Probe>(&destroyed).Get());
    ASSERT_HR(S_OK, sample->SetSampleTime(1234));
    IMFSample* const identity = sample.Get();
    EXPECT_HR(E_POINTER, Arm(sample.Get(), nullptr));
    ASSERT_HR(S_OK, Arm(sample.Get(), allocator.Get(), state.Get()));
    EXPECT_HR(MF_E_NOTACCEPTING, Arm(sample.Get(), allocator.Get())); // a second allocator
    EXPECT_EQ(2u, RefCount(state.Get()));
    EXPECT_EQ(2u, RefCount(allocator.Get())); // the armed sample holds the allocator once

    ComPtr<IMFSample> outside = sample;
    sample = nullptr;
    EXPECT_EQ(0, allocator->Returns.load()); // an outside reference is left
    outside = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return allocator->Returns.load() == 1; }));
    ASSERT_TRUE(Fence(queue)); // the callback's result has been released too
    EXPECT_EQ(0, destroyed.load());
    EXPECT_EQ(static_cast<IUnknown*>(state.Get()), allocator->LastState.load());
    EXPECT_EQ(1u, RefCount(state.Get())); // the state went with the result
    EXPECT_EQ(1u, RefCount(allocator.Get())); // the fired allocator is no longer held

    // The allocator now holds the only reference, to the same sample with its time.
    std::deque<ComPtr<IMFSample>> home = allocator->TakeAll();
    ASSERT_EQ(1u, home.size());
    sample = std::move(home.front());
    home.clear();
    EXPECT_EQ(identity, sample.Get());
    EXPECT_EQ(1u, RefCount(sample.Get()));
    LONGLONG time = 0;
    EXPECT_HR(S_OK, sample->GetSampleTime(&time));
    EXPECT_EQ(1234, time);

    // Not armed again: the last release now destroys it.
    sample = nullptr;
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(1, allocator->Returns.load());
    EXPECT_HR(S_OK, MFUnlockWorkQueue(queue));
}

TEST_F(TrackedSample, WhenTheCallbackCannotBeQueuedTheSampleIsDestroyed)
{
    ComPtr<TestAllocator> allocator = Make<TestAllocator>();
    std::atomic<int> destroyed { 0 };
    ComPtr<IMFSample> sample = NewTrackedSample(Make<Probe>(&destroyed).Get());
    ASSERT_HR(S_OK, Arm(sample.Get(), allocator.Get()));
    ASSERT_HR(S_OK, MFShutdown()); // no work queue to run the callback
    sample = nullptr;
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(0, allocator->Returns.load());
    EXPECT_EQ(1u, RefCount(allocator.Get())); // no reference left behind
    ASSERT_HR(S_OK, MFStartup(MF_VERSION)); // for the fixture's MFShutdown
}

TEST_F(TrackedSample, ManyThreadsTakeAndReturnAPoolOfSamples)
{
    // Four threads take samples from a pool of three, use them and let them go (the last
    // reference often on yet another thread); the allocator gets each back on its queue.
    // Every hand-out comes back exactly once and nothing leaks.
    constexpr int Samples = 3, Threads = 4, PerThread = 300;
    const DWORD queue = SerialQueue();
    ComPtr<TestAllocator> allocator = Make<TestAllocator>(queue);
    std::atomic<int> destroyed { 0 };
    for (int i = 0; i < Samples; ++i)
        allocator->Put(NewTrackedSample(Make<Probe>(&destroyed).Get()));
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i)
            {
                ComPtr<IMFSample> sample = allocator->Take();
                ASSERT_NE(nullptr, sample.Get()) << "no sample came back within the patience";
                ASSERT_HR(S_OK, sample->SetSampleTime(t * PerThread + i));
                if (i % 2) // a second holder that lets go on a thread of its own
                    std::thread([extra = sample]() mutable { extra = nullptr; }).join();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_TRUE(WaitUntil([&] { return allocator->Returns.load() == Threads * PerThread; }));
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(Threads * PerThread, allocator->Returns.load());

    // All samples are home; arm them once more and let the allocator drop them: the result
    // that carried each is the last holder, and its release destroys the sample.
    std::deque<ComPtr<IMFSample>> home = allocator->TakeAll();
    ASSERT_EQ(size_t(Samples), home.size());
    allocator->Keep = false;
    for (const ComPtr<IMFSample>& sample : home)
        ASSERT_HR(S_OK, Arm(sample.Get(), allocator.Get()));
    home.clear();
    EXPECT_TRUE(WaitUntil([&] { return destroyed.load() == Samples; }));
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(1u, RefCount(allocator.Get()));
    EXPECT_HR(S_OK, MFUnlockWorkQueue(queue));
}
