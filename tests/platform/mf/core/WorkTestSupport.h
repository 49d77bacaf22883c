#pragma once
// What the platform's core tests share beyond fakes/Platform.h: HRESULTs printed in hexadecimal,
// an object that counts its deaths, a count to wait for, a callback that runs a function, and
// serial queues to fence and block.

#include "fakes/Platform.h"
#include "platform/mf/Platform.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

namespace WorkTest
{
using namespace TestSupport;

inline std::string Hr(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}
#define EXPECT_HR(expected, actual) EXPECT_EQ(::WorkTest::Hr(expected), ::WorkTest::Hr(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(::WorkTest::Hr(expected), ::WorkTest::Hr(actual))

// Counts its destruction in `destroyed` when given one.
class Probe final : public ComObject<IUnknown>
{
public:
    explicit Probe(std::atomic<int>* destroyed = nullptr) : m_Destroyed(destroyed) {}
    ~Probe() override { m_Destroyed ? void(m_Destroyed->fetch_add(1)) : void(); }

private:
    std::atomic<int>* m_Destroyed;
};

// A count to wait for, on the shared wait-until helper.
struct Latch
{
    explicit Latch(int count = 1) : Count(count) {}
    void CountDown() { Count.fetch_sub(1); }
    bool Wait() { return WaitUntil([&] { return Count.load() <= 0; }); }
    std::atomic<int> Count;
};

// Invoke runs the function; GetParameters names `queue`, or answers E_NOTIMPL when it is 0.
class Callback final : public ComObject<IMFAsyncCallback>
{
public:
    using Function = std::function<HRESULT(IMFAsyncResult*)>;
    Callback(Function function, DWORD queue) : m_Function(std::move(function)), m_Queue(queue) {}
    HRESULT GetParameters(DWORD* flags, DWORD* queue) override
    {
        *flags = 0, *queue = m_Queue;
        return m_Queue ? S_OK : E_NOTIMPL;
    }
    HRESULT Invoke(IMFAsyncResult* result) override { return m_Invocations.fetch_add(1), m_Function(result); }
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
                return function(result), S_OK;
            else
                return function(result);
        },
        queue);
}

inline HRESULT Put(DWORD queue, IMFAsyncCallback* callback, IUnknown* state = nullptr)
{
    return MFPutWorkItem2(queue, 0, callback, state);
}

inline DWORD SerialQueue()
{
    DWORD queue = 0;
    EXPECT_HR(S_OK, MFAllocateSerialWorkQueue(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &queue));
    return queue;
}

inline ComPtr<IMFAsyncResult> Result(IMFAsyncCallback* callback, IUnknown* state = nullptr)
{
    ComPtr<IMFAsyncResult> result;
    EXPECT_HR(S_OK, MFCreateAsyncResult(nullptr, callback, state, result.GetAddressOf()));
    return result;
}

// Waits until an item put on `queue` now has run: on a serial queue, every earlier item has then
// run and been released.
inline bool Fence(DWORD queue)
{
    Latch ran;
    auto callback = MakeCallback([&](IMFAsyncResult*) { ran.CountDown(); });
    return Put(queue, callback.Get()) == S_OK && ran.Wait();
}

// Puts an item that holds `queue` until `gate` is set, then runs `then`; returns once the item
// runs. The caller keeps `gate` until the item is done (after `then`, or a fence of `queue`).
inline void Block(DWORD queue, Sync::Event& gate, std::function<void()> then = [] {})
{
    auto started = std::make_shared<Latch>();
    auto callback = MakeCallback([&gate, then, started](IMFAsyncResult*) { started->CountDown(), gate.Wait(PatienceMilliseconds), then(); });
    EXPECT_HR(S_OK, Put(queue, callback.Get()));
    EXPECT_TRUE(started->Wait());
}
} // namespace WorkTest
