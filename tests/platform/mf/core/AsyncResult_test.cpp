#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

using namespace WorkTest;

namespace
{
// An asynchronous result the platform did not make.
class ForeignResult final : public ComObject<IMFAsyncResult>
{
public:
    HRESULT GetState(IUnknown**) override { return E_NOTIMPL; }
    HRESULT GetStatus() override { return S_OK; }
    HRESULT SetStatus(HRESULT) override { return S_OK; }
    HRESULT GetObject(IUnknown**) override { return E_NOTIMPL; }
    IUnknown* GetStateNoAddRef() override { return nullptr; }
};

using AsyncResult = PlatformTest;
} // namespace

TEST(AsyncResultObject, HoldsObjectCallbackAndStateAndHandsThemOut)
{
    auto object = Make<Probe>();
    auto state = Make<Probe>();
    auto callback = MakeCallback([](IMFAsyncResult*) {});
    ComPtr<IMFAsyncResult> result;
    ASSERT_HR(S_OK, MFCreateAsyncResult(object.Get(), callback.Get(), state.Get(), result.GetAddressOf()));
    ComPtr<IUnknown> got;
    EXPECT_HR(S_OK, result->GetObject(got.GetAddressOf()));
    EXPECT_EQ(got.Get(), static_cast<IUnknown*>(object.Get()));
    EXPECT_HR(S_OK, result->GetState(got.ReleaseAndGetAddressOf()));
    EXPECT_EQ(got.Get(), static_cast<IUnknown*>(state.Get()));
    got = nullptr;
    EXPECT_EQ(result->GetStateNoAddRef(), static_cast<IUnknown*>(state.Get()));
    EXPECT_EQ(RefCount(state.Get()), 2u);
    EXPECT_HR(S_OK, result->SetStatus(MF_E_SHUTDOWN));
    EXPECT_HR(MF_E_SHUTDOWN, result->GetStatus());
    result = nullptr;
    EXPECT_EQ(RefCount(object.Get()), 1u);
    EXPECT_EQ(RefCount(state.Get()), 1u);
    EXPECT_EQ(RefCount(callback.Get()), 1u);

    // Without object or state the getters answer E_POINTER and clear their out-pointers.
    ASSERT_HR(S_OK, MFCreateAsyncResult(nullptr, nullptr, nullptr, result.GetAddressOf()));
    IUnknown* out = reinterpret_cast<IUnknown*>(1);
    EXPECT_HR(E_POINTER, result->GetObject(&out));
    EXPECT_EQ(out, nullptr);
}

TEST_F(AsyncResult, InvokeCallbackRunsOnTheQueueTheCallbackNames)
{
    // Named queue: behind what that serial queue already holds.
    const DWORD serial = SerialQueue();
    std::vector<char> order; // written by the serial queue's items only
    Sync::Event gate(Sync::Event::ResetMode::Manual);
    auto blocker = MakeCallback([&](IMFAsyncResult*) {
        gate.Wait(PatienceMilliseconds);
        order.push_back('B');
    });
    ASSERT_HR(S_OK, Put(serial, blocker.Get()));
    auto named = MakeCallback([&](IMFAsyncResult*) { order.push_back('I'); }, serial);
    ComPtr<IMFAsyncResult> result;
    ASSERT_HR(S_OK, MFCreateAsyncResult(nullptr, named.Get(), nullptr, result.GetAddressOf()));
    ASSERT_HR(S_OK, MFInvokeCallback(result.Get()));
    gate.Set();
    ASSERT_TRUE(Fence(serial));
    EXPECT_EQ(order, (std::vector<char> { 'B', 'I' }));

    // No queue named (E_NOTIMPL): a worker thread runs it.
    Latch ran;
    std::thread::id runner;
    auto unnamed = MakeCallback([&](IMFAsyncResult*) {
        runner = std::this_thread::get_id();
        ran.CountDown();
    });
    ASSERT_HR(S_OK, MFCreateAsyncResult(nullptr, unnamed.Get(), nullptr, result.ReleaseAndGetAddressOf()));
    ASSERT_HR(S_OK, MFInvokeCallback(result.Get()));
    ASSERT_TRUE(ran.Wait());
    EXPECT_NE(runner, std::this_thread::get_id());

    ASSERT_HR(S_OK, MFCreateAsyncResult(nullptr, nullptr, nullptr, result.ReleaseAndGetAddressOf()));
    EXPECT_HR(E_INVALIDARG, MFInvokeCallback(Make<ForeignResult>().Get()));
    EXPECT_HR(E_INVALIDARG, MFInvokeCallback(result.Get())); // no callback
}
