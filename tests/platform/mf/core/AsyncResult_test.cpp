#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <vector>

using namespace WorkTest;

namespace
{
// An asynchronous result the platform did not make.
struct ForeignResult final : ComObject<IMFAsyncResult>
{
    HRESULT GetState(IUnknown**) override { return E_NOTIMPL; }
    HRESULT GetStatus() override { return S_OK; }
    HRESULT SetStatus(HRESULT) override { return S_OK; }
    HRESULT GetObject(IUnknown**) override { return E_NOTIMPL; }
    IUnknown* GetStateNoAddRef() override { return nullptr; }
};
using AsyncResult = PlatformTest;
} // namespace

TEST_F(AsyncResult, InvokeCallbackRunsBehindWhatTheNamedQueueHolds)
{
    const DWORD serial = SerialQueue();
    std::vector<char> order; // written by the serial queue's items only
    Sync::Event gate(Sync::Event::ResetMode::Manual);
    Block(serial, gate, [&] { order.push_back('B'); });
    auto named = MakeCallback([&](IMFAsyncResult*) { order.push_back('I'); }, serial);
    ASSERT_HR(S_OK, MFInvokeCallback(Result(named.Get()).Get()));
    gate.Set();
    ASSERT_TRUE(Fence(serial));
    EXPECT_EQ(order, (std::vector<char> { 'B', 'I' }));
    EXPECT_HR(E_INVALIDARG, MFInvokeCallback(Make<ForeignResult>().Get()));
    EXPECT_HR(E_INVALIDARG, MFInvokeCallback(Result(nullptr).Get())); // no callback
    IUnknown* out = reinterpret_cast<IUnknown*>(1); // no object: E_POINTER and a cleared out-pointer
    EXPECT_HR(E_POINTER, Result(nullptr)->GetObject(&out));
    EXPECT_EQ(out, nullptr);
}
