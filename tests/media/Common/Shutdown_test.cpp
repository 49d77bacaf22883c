#include "media/Common/Shutdown.h"

#include "platform/com/ComObject.h"

#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <shared_mutex>
#include <thread>

namespace ShutdownTest
{
// An owner whose InternalShutdown runs a test's function.
class Owner : public ComObject<MF::ShutdownImplementation<Owner>>, public MF::ShutdownState<Owner>
{
public:
    void InternalShutdown()
    {
        ++m_InternalShutdowns;
        if (m_OnInternalShutdown)
            m_OnInternalShutdown();
    }

    mutable std::shared_mutex m_Lock; // guards the shutdown word
    std::function<void()> m_OnInternalShutdown;
    int m_InternalShutdowns = 0;
};

HRESULT CaptureResult(const std::function<void()>& body) { return Error::Guard(body); }
} // namespace ShutdownTest

using ShutdownTest::Owner;

TEST(ShutdownState, StateWordFollowsItsTransitions)
{
    auto owner = Make<Owner>();
    EXPECT_EQ(owner->GetState(), 0);
    EXPECT_FALSE(owner->IsShutdown());
    owner->SetState(2);
    EXPECT_EQ(owner->GetState(), 2);
    owner->BeginShutdown();
    EXPECT_EQ(owner->GetState(), 4095);
    EXPECT_FALSE(owner->IsShutdown());
    EXPECT_NO_THROW(owner->ThrowIfShutdown());
    owner->CompleteShutdown();
    EXPECT_EQ(owner->GetState(), -1);
    EXPECT_TRUE(owner->IsShutdown());
}

TEST(ShutdownState, EveryChangeOfAShutDownObjectThrowsAndChangesNothing)
{
    auto owner = Make<Owner>();
    owner->SetState(3);
    owner->CompleteShutdown();
    EXPECT_EQ(ShutdownTest::CaptureResult([&] { owner->SetState(1); }), MF_E_SHUTDOWN);
    EXPECT_EQ(ShutdownTest::CaptureResult([&] { owner->BeginShutdown(); }), MF_E_SHUTDOWN);
    EXPECT_EQ(ShutdownTest::CaptureResult([&] { owner->CompleteShutdown(); }), MF_E_SHUTDOWN);
    EXPECT_EQ(ShutdownTest::CaptureResult([&] { owner->ThrowIfShutdown(); }), MF_E_SHUTDOWN);
    EXPECT_EQ(owner->GetState(), -1);
}

TEST(ShutdownState, RunStateOutsideItsRangeIsRefused)
{
    auto owner = Make<Owner>();
    owner->SetState(5);
    EXPECT_EQ(ShutdownTest::CaptureResult([&] { owner->SetState(-2); }), E_INVALIDARG);
    EXPECT_EQ(ShutdownTest::CaptureResult([&] { owner->SetState(0x10000); }), E_INVALIDARG);
    EXPECT_EQ(owner->GetState(), 5);
    EXPECT_FALSE(owner->IsShutdown());
}

TEST(ShutdownImplementation, ShutdownRunsTheOwnersWorkOnceAndTracesEveryCall)
{
    TestSupport::TraceCapture capture;
    auto owner = Make<Owner>();
    ComPtr<IMFShutdown> shutdown;
    ASSERT_EQ(owner.As(&shutdown), S_OK);
    EXPECT_EQ(shutdown->Shutdown(), S_OK);
    EXPECT_EQ(shutdown->Shutdown(), MF_E_SHUTDOWN);
    EXPECT_EQ(owner->m_InternalShutdowns, 1);
    EXPECT_EQ(capture.LinesContaining("MF::ShutdownImplementation<ShutdownTest::Owner>::Shutdown: this 0x").size(), 2u);

    MFSHUTDOWN_STATUS status = MFSHUTDOWN_INITIATED;
    EXPECT_EQ(shutdown->GetShutdownStatus(&status), S_OK);
    EXPECT_EQ(status, MFSHUTDOWN_COMPLETED);
    EXPECT_EQ(capture.LinesContaining("MF::ShutdownImplementation<ShutdownTest::Owner>::GetShutdownStatus: this 0x").size(), 1u);
}

TEST(ShutdownImplementation, StatusOfAnObjectNeverToldIsAnInvalidRequest)
{
    TestSupport::TraceCapture capture;
    auto owner = Make<Owner>();
    auto status = static_cast<MFSHUTDOWN_STATUS>(77);
    EXPECT_EQ(owner->GetShutdownStatus(&status), MF_E_INVALIDREQUEST);
    EXPECT_EQ(static_cast<int>(status), 77);
    EXPECT_FALSE(capture.LinesContaining("Failure, 0xC00D36B2").empty());
    EXPECT_EQ(owner->GetShutdownStatus(nullptr), E_POINTER);
}

TEST(ShutdownImplementation, StatusAndSecondShutdownWhileTheOwnersWorkRuns)
{
    auto owner = Make<Owner>();
    std::promise<void> entered, proceed;
    auto proceedFuture = proceed.get_future().share();
    owner->m_OnInternalShutdown = [&] {
        entered.set_value();
        ASSERT_EQ(proceedFuture.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    };
    std::thread shutdownThread([&] { EXPECT_EQ(owner->Shutdown(), S_OK); });
    ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);

    // The lock is free while InternalShutdown runs, and the object counts as live.
    MFSHUTDOWN_STATUS status = MFSHUTDOWN_COMPLETED;
    EXPECT_EQ(owner->GetShutdownStatus(&status), S_OK);
    EXPECT_EQ(status, MFSHUTDOWN_INITIATED);
    {
        std::shared_lock lock(owner->m_Lock);
        EXPECT_NO_THROW(owner->ThrowIfShutdown());
    }
    // A second Shutdown meanwhile does not run the owner's work again.
    EXPECT_EQ(owner->Shutdown(), MF_E_SHUTDOWN);

    proceed.set_value();
    shutdownThread.join();
    EXPECT_EQ(owner->m_InternalShutdowns, 1);
    EXPECT_EQ(owner->GetShutdownStatus(&status), S_OK);
    EXPECT_EQ(status, MFSHUTDOWN_COMPLETED);
}

TEST(ShutdownImplementation, FailingOwnerWorkLeavesTheShutdownBegun)
{
    auto owner = Make<Owner>();
    owner->m_OnInternalShutdown = [] { XEV_FAIL(E_ACCESSDENIED); };
    EXPECT_EQ(owner->Shutdown(), E_ACCESSDENIED);
    EXPECT_EQ(owner->GetState(), 4095);
    MFSHUTDOWN_STATUS status = MFSHUTDOWN_COMPLETED;
    EXPECT_EQ(owner->GetShutdownStatus(&status), S_OK);
    EXPECT_EQ(status, MFSHUTDOWN_INITIATED);
    // An out-of-memory in the owner's work is reported as such.
    auto other = Make<Owner>();
    other->m_OnInternalShutdown = [] { throw std::bad_alloc(); };
    EXPECT_EQ(other->Shutdown(), E_OUTOFMEMORY);
}
