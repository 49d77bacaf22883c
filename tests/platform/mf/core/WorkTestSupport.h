#pragma once
// Helpers for the work-queue, event-queue and async-result tests: a callback that runs a
// function, a latch with a time-out, and a platform started for each test.

#include "DataTestSupport.h"

#include "fakes/Platform.h"
#include "platform/mf/Platform.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <type_traits>

namespace WorkTest
{
using namespace DataTest;

using namespace TestSupport;

class Latch
{
public:
    explicit Latch(int count = 1) : m_Count(count) {}
    void CountDown()
    {
        std::lock_guard lock(m_Lock);
        if (m_Count > 0 && --m_Count == 0)
            m_Zero.notify_all();
    }
    // False when the count did not reach zero within the patience.
    bool Wait()
    {
        std::unique_lock lock(m_Lock);
        return m_Zero.wait_for(lock, Patience, [&] { return m_Count == 0; });
    }

private:
    std::mutex m_Lock; // guards m_Count
    std::condition_variable m_Zero;
    int m_Count;
};

// Invoke runs the function; GetParameters names `queue`, or answers E_NOTIMPL when it is 0.
class Callback final : public ComObject<IMFAsyncCallback>
{
public:
    using Function = std::function<HRESULT(IMFAsyncResult*)>;
    explicit Callback(Function function, DWORD queue = 0) : m_Function(std::move(function)), m_Queue(queue) {}

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
        m_Invocations.fetch_add(1);
        return m_Function(result);
    }
    int Invocations() const { return m_Invocations.load(); }

private:
    Function m_Function;
    DWORD m_Queue;
    std::atomic<int> m_Invocations { 0 };
};

template <class F>
ComPtr<Callback> MakeCallback(F&& function, DWORD queue = 0)
{
    return Make<Callback>(
        [function = std::forward<F>(function)](IMFAsyncResult* result) mutable -> HRESULT {
            if constexpr (std::is_void_v<decltype(function(result))>)
            {
                function(result);
                return S_OK;
            }
            else
            {
                return function(result);
            }
        },
        queue);
}

inline DWORD SerialQueue()
{
    DWORD queue = 0;
    EXPECT_HR(S_OK, MFAllocateSerialWorkQueue(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &queue));
    return queue;
}

// Waits until an item put on `queue` now has run: on a serial queue, every earlier item has then
// run and been released.
inline bool Fence(DWORD queue)
{
    Latch ran;
    auto callback = MakeCallback([&](IMFAsyncResult*) { ran.CountDown(); });
    return MFPutWorkItem(queue, callback.Get(), nullptr) == S_OK && ran.Wait();
}

// Puts an item that holds `queue` until `gate` is set.
inline void Block(DWORD queue, Sync::Event& gate)
{
    auto callback = MakeCallback([&gate](IMFAsyncResult*) { gate.Wait(PatienceMilliseconds); });
    EXPECT_HR(S_OK, MFPutWorkItem(queue, callback.Get(), nullptr));
}

} // namespace WorkTest
