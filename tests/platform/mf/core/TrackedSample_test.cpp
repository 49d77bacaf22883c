#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

using namespace DataTest;
using namespace WorkTest;

namespace
{
constexpr GUID ProbeKey = Guid::Parse("44444444-0000-0000-0000-000000000001");

ComPtr<IMFTrackedSample> NewTrackedSample()
{
    ComPtr<IMFTrackedSample> tracked;
    EXPECT_HR(S_OK, MFCreateTrackedSample(tracked.GetAddressOf()));
    return tracked;
}

ComPtr<IMFSample> SampleOf(const ComPtr<IMFTrackedSample>& tracked)
{
    ComPtr<IMFSample> sample;
    EXPECT_HR(S_OK, tracked.As(&sample));
    return sample;
}

// An allocator: Invoke takes the returned sample (the result's object) into its free list.
// GetParameters names `queue` when it is not 0.
class TestAllocator final : public ComObject<IMFAsyncCallback>
{
public:
    explicit TestAllocator(DWORD queue = 0) : m_Queue(queue) {}

    HRESULT GetParameters(DWORD* flags, DWORD* queue) override
    {
        if (!m_Queue)
            return E_NOTIMPL;
        *flags = 0;
        *queue = m_Queue;
        return S_OK;
    }
    HRESULT Invoke(IMFAsyncResult* result) override
    {
        ComPtr<IUnknown> object;
        ComPtr<IMFSample> sample;
        HRESULT hr = result->GetObject(object.GetAddressOf());
        if (SUCCEEDED(hr))
            hr = object.As(&sample);
        std::lock_guard lock(m_Lock);
        m_LastState = result->GetStateNoAddRef();
        m_InvokeThread = std::this_thread::get_id();
        if (FAILED(hr))
        {
            m_Failures++;
        }
        else
        {
            ++m_Returns;
            if (m_Keep)
                m_Free.push_back(std::move(sample));
        }
        m_Changed.notify_all();
        return S_OK;
    }

    // Takes a free sample (waiting for one to come back) and arms it with this allocator.
    ComPtr<IMFSample> Take()
    {
        ComPtr<IMFSample> sample;
        {
            std::unique_lock lock(m_Lock);
            if (!m_Changed.wait_for(lock, Patience, [&] { return !m_Free.empty(); }))
                return nullptr;
            sample = std::move(m_Free.front());
            m_Free.pop_front();
        }
        ComPtr<IMFTrackedSample> tracked;
        EXPECT_HR(S_OK, sample.As(&tracked));
        EXPECT_HR(S_OK, tracked->SetAllocator(this, nullptr));
        return sample;
    }
    void Put(ComPtr<IMFSample> sample)
    {
        std::lock_guard lock(m_Lock);
        m_Free.push_back(std::move(sample));
    }
    // Waits until `count` samples in all have come back.
    bool WaitForReturns(int count)
    {
        std::unique_lock lock(m_Lock);
        return m_Changed.wait_for(lock, Patience, [&] { return m_Returns >= count; });
    }
    void KeepReturnedSamples(bool keep)
    {
        std::lock_guard lock(m_Lock);
        m_Keep = keep;
    }
    std::deque<ComPtr<IMFSample>> TakeAll()
    {
        std::lock_guard lock(m_Lock);
        return std::move(m_Free);
    }
    int Returns()
    {
        std::lock_guard lock(m_Lock);
        return m_Returns;
    }
    int Failures()
    {
        std::lock_guard lock(m_Lock);
        return m_Failures;
    }
    IUnknown* LastState()
    {
        std::lock_guard lock(m_Lock);
        return m_LastState;
    }
    std::thread::id InvokeThread()
    {
        std::lock_guard lock(m_Lock);
        return m_InvokeThread;
    }

private:
    const DWORD m_Queue;
    std::mutex m_Lock; // guards the fields below
    std::condition_variable m_Changed;
    std::deque<ComPtr<IMFSample>> m_Free;
    bool m_Keep = true;
    int m_Returns = 0;
    int m_Failures = 0;
    IUnknown* m_LastState = nullptr; // compared only, never called
    std::thread::id m_InvokeThread;
};

// Counts a latch down when it dies.
class LatchProbe final : public ComObject<ITestProbe>
{
public:
    explicit LatchProbe(Latch* died) : m_Died(died) {}
    ~LatchProbe() override { m_Died->CountDown(); }
    ULONG Count() override { return ReferenceCount(); }

private:
    Latch* m_Died; // non-owning: the test's latch outlives the probe
};

class TrackedSample : public PlatformTest
{
};
} // namespace

TEST_F(TrackedSample, AnswersTrackedSampleSampleAndAttributesWithOneIdentity)
{
    ComPtr<IMFTrackedSample> tracked = NewTrackedSample();
    ComPtr<IMFSample> sample = SampleOf(tracked);
    ComPtr<IMFAttributes> attributes;
    ComPtr<IUnknown> fromTracked, fromSample;
    ComPtr<IMFMediaType> type;
    EXPECT_HR(S_OK, tracked.As(&attributes));
    EXPECT_HR(S_OK, tracked.As(&fromTracked));
    EXPECT_HR(S_OK, sample.As(&fromSample));
    EXPECT_EQ(fromTracked.Get(), fromSample.Get());
    EXPECT_HR(E_NOINTERFACE, tracked.As(&type));
    ComPtr<IMFTrackedSample> back;
    EXPECT_HR(S_OK, sample.As(&back));
    EXPECT_EQ(tracked.Get(), back.Get());
    EXPECT_EQ(6u, CountOf(sample.Get()));
    EXPECT_HR(E_POINTER, MFCreateTrackedSample(nullptr));
}

TEST_F(TrackedSample, WithoutAnAllocatorTheLastReleaseDestroys)
{
    std::atomic<int> destroyed { 0 };
    ComPtr<IMFTrackedSample> tracked = NewTrackedSample();
    ASSERT_HR(S_OK, SampleOf(tracked)->SetUnknown(ProbeKey, Make<Probe>(&destroyed).Get()));
    tracked = nullptr;
    EXPECT_EQ(1, destroyed.load());
}

TEST_F(TrackedSample, SetAllocatorArgumentsAndSecondAllocator)
{
    ComPtr<IMFTrackedSample> tracked = NewTrackedSample();
    ComPtr<TestAllocator> allocator = Make<TestAllocator>();
    EXPECT_HR(E_POINTER, tracked->SetAllocator(nullptr, nullptr));
    ASSERT_HR(S_OK, tracked->SetAllocator(allocator.Get(), nullptr));
    EXPECT_HR(MF_E_NOTACCEPTING, tracked->SetAllocator(allocator.Get(), nullptr));
    EXPECT_EQ(2u, CountOf(allocator.Get())); // the armed sample holds the allocator once
    allocator->KeepReturnedSamples(false);
    tracked = nullptr;
    ASSERT_TRUE(allocator->WaitForReturns(1));
}

TEST_F(TrackedSample, LastReleaseHandsTheSampleToItsAllocatorOnAWorkQueue)
{
    const DWORD queue = SerialQueue();
    ComPtr<TestAllocator> allocator = Make<TestAllocator>(queue);
    std::atomic<int> destroyed { 0 };
    ComPtr<Probe> state = Make<Probe>();

    ComPtr<IMFTrackedSample> tracked = NewTrackedSample();
    ComPtr<IMFSample> sample = SampleOf(tracked);
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_HR(S_OK, MFCreateMemoryBuffer(16, buffer.GetAddressOf()));
    ASSERT_HR(S_OK, sample->AddBuffer(buffer.Get()));
    ASSERT_HR(S_OK, sample->SetSampleTime(1234));
    ASSERT_HR(S_OK, sample->SetUnknown(ProbeKey, Make<Probe>(&destroyed).Get()));
    IMFSample* const identity = sample.Get();
    ASSERT_HR(S_OK, tracked->SetAllocator(allocator.Get(), state.Get()));
    EXPECT_EQ(2u, state->Count());

    tracked = nullptr;
    EXPECT_EQ(0, allocator->Returns()); // an outside reference is left
    sample = nullptr;
    ASSERT_TRUE(allocator->WaitForReturns(1));
    ASSERT_TRUE(Fence(queue)); // the callback's result has been released too
    EXPECT_EQ(0, destroyed.load());
    EXPECT_EQ(0, allocator->Failures());
    EXPECT_EQ(static_cast<IUnknown*>(state.Get()), allocator->LastState());
    EXPECT_NE(std::this_thread::get_id(), allocator->InvokeThread());
    EXPECT_EQ(1u, state->Count()); // the state went with the result
    EXPECT_EQ(1u, CountOf(allocator.Get())); // the fired allocator is no longer held

    // The allocator now holds the only reference, to the same sample with its buffer and time.
    std::deque<ComPtr<IMFSample>> home = allocator->TakeAll();
    ASSERT_EQ(1u, home.size());
    sample = home.front();
    home.clear();
    EXPECT_EQ(identity, sample.Get());
    EXPECT_EQ(1u, CountOf(sample.Get()));
    ComPtr<IMFMediaBuffer> same;
    ASSERT_HR(S_OK, sample->GetBufferByIndex(0, same.GetAddressOf()));
    EXPECT_EQ(buffer.Get(), same.Get());
    LONGLONG time = 0;
    EXPECT_HR(S_OK, sample->GetSampleTime(&time));
    EXPECT_EQ(1234, time);

    // Not armed again: the last release now destroys it.
    same = nullptr;
    sample = nullptr;
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(1, allocator->Returns());
    EXPECT_HR(S_OK, MFUnlockWorkQueue(queue));
}

TEST_F(TrackedSample, AllocatorThatDropsTheSampleDestroysIt)
{
    ComPtr<TestAllocator> allocator = Make<TestAllocator>();
    allocator->KeepReturnedSamples(false);
    Latch died;
    ComPtr<IMFTrackedSample> tracked = NewTrackedSample();
    ASSERT_HR(S_OK, SampleOf(tracked)->SetUnknown(ProbeKey, Make<LatchProbe>(&died).Get()));
    ASSERT_HR(S_OK, tracked->SetAllocator(allocator.Get(), nullptr));
    tracked = nullptr;
    ASSERT_TRUE(allocator->WaitForReturns(1));
    EXPECT_TRUE(died.Wait()); // when the result that carried it goes
}

TEST_F(TrackedSample, WhenTheCallbackCannotBeQueuedTheSampleIsDestroyed)
{
    ComPtr<TestAllocator> allocator = Make<TestAllocator>();
    std::atomic<int> destroyed { 0 };
    ComPtr<IMFTrackedSample> tracked = NewTrackedSample();
    ASSERT_HR(S_OK, SampleOf(tracked)->SetUnknown(ProbeKey, Make<Probe>(&destroyed).Get()));
    ASSERT_HR(S_OK, tracked->SetAllocator(allocator.Get(), nullptr));
    ASSERT_HR(S_OK, MFShutdown()); // no work queue to run the callback
    tracked = nullptr;
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(0, allocator->Returns());
    EXPECT_EQ(1u, CountOf(allocator.Get())); // no reference left behind
    ASSERT_HR(S_OK, MFStartup(MF_VERSION)); // for the fixture's MFShutdown
}

TEST_F(TrackedSample, ManyThreadsTakeAndReturnAPoolOfSamples)
{
    // Four threads take samples from a pool of three, use them and let them go (the last
    // reference often on yet another thread); the allocator gets each back on its queue.
    // Every hand-out comes back exactly once and nothing leaks.
    constexpr int Samples = 3;
    constexpr int Threads = 4;
    constexpr int PerThread = 300;
    const DWORD queue = SerialQueue();
    ComPtr<TestAllocator> allocator = Make<TestAllocator>(queue);
    Latch died(Samples);
    for (int i = 0; i < Samples; ++i)
    {
        ComPtr<IMFTrackedSample> tracked = NewTrackedSample();
        ComPtr<IMFSample> sample = SampleOf(tracked);
        EXPECT_HR(S_OK, sample->SetUnknown(ProbeKey, Make<LatchProbe>(&died).Get()));
        ComPtr<IMFMediaBuffer> buffer;
        EXPECT_HR(S_OK, MFCreateMemoryBuffer(4, buffer.GetAddressOf()));
        EXPECT_HR(S_OK, sample->AddBuffer(buffer.Get()));
        allocator->Put(sample);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < PerThread; ++i)
            {
                ComPtr<IMFSample> sample = allocator->Take();
                ASSERT_NE(nullptr, sample.Get()) << "no sample came back within the patience";
                ASSERT_HR(S_OK, sample->SetSampleTime(t * PerThread + i));
                if (i % 2)
                {
                    // A second holder that lets go on a thread of its own.
                    std::thread([extra = sample]() mutable { extra = nullptr; }).join();
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_TRUE(allocator->WaitForReturns(Threads * PerThread));
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(Threads * PerThread, allocator->Returns());
    EXPECT_EQ(0, allocator->Failures());

    // All samples are home; arm them once more and drop them when they return.
    std::deque<ComPtr<IMFSample>> home = allocator->TakeAll();
    ASSERT_EQ(size_t(Samples), home.size());
    for (const ComPtr<IMFSample>& sample : home)
        EXPECT_EQ(1u, CountOf(sample.Get()));
    allocator->KeepReturnedSamples(false);
    for (const ComPtr<IMFSample>& sample : home)
    {
        ComPtr<IMFTrackedSample> tracked;
        ASSERT_HR(S_OK, sample.As(&tracked));
        ASSERT_HR(S_OK, tracked->SetAllocator(allocator.Get(), nullptr));
    }
    home.clear();
    EXPECT_TRUE(died.Wait());
    ASSERT_TRUE(Fence(queue));
    EXPECT_EQ(Threads * PerThread + Samples, allocator->Returns());
    EXPECT_EQ(1u, CountOf(allocator.Get()));
    EXPECT_HR(S_OK, MFUnlockWorkQueue(queue));
}
