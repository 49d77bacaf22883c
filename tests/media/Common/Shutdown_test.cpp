#include "media/Common/Shutdown.h"

#include "fakes/Platform.h"
#include "fakes/Support.h"

#include <functional>
#include <future>
#include <shared_mutex>
#include <thread>
#include <tuple>

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

MFSHUTDOWN_STATUS StatusOf(Owner* owner)
{
    auto status = static_cast<MFSHUTDOWN_STATUS>(77);
    EXPECT_EQ(owner->GetShutdownStatus(&status), S_OK);
    return status;
}
} // namespace ShutdownTest

using ShutdownTest::Owner;

TEST(ShutdownState, StateWordTransitionsAndRefusals)
{
    auto owner = Make<Owner>();
    EXPECT_EQ(owner->GetState(), 0);
    owner->SetState(5);
    // A run state outside 0..0xFFFF is refused and changes nothing.
    for (int refused : { -2, 0xFFF, 0x10000 }) // 0xFFF would read as shutting down
        EXPECT_EQ(Error::Guard([&] { owner->SetState(refused); }), E_INVALIDARG) << refused;
    EXPECT_EQ(owner->GetState(), 5);
    owner->BeginShutdown();
    EXPECT_EQ(std::tuple(owner->GetState(), owner->IsShutdown(), Error::Guard([&] { owner->ThrowIfShutdown(); })), std::tuple(4095, false, S_OK));
    owner->CompleteShutdown();
    EXPECT_EQ(std::tuple(owner->GetState(), owner->IsShutdown()), std::tuple(-1, true));
    // Every change of a shut-down object throws and changes nothing.
    for (const auto& change : std::initializer_list<std::function<void()>> { [&] { owner->SetState(1); }, [&] { owner->BeginShutdown(); },
             [&] { owner->ThrowIfShutdown(); } })
        EXPECT_EQ(Error::Guard(change), MF_E_SHUTDOWN);
    EXPECT_EQ(owner->GetState(), -1);
}

TEST(ShutdownImplementation, ResultsOfShutdownAndStatus)
{
    TestSupport::TraceCapture capture;
    auto owner = Make<Owner>();
    // The status of an object never told is an invalid request, reported as a failure.
    auto status = static_cast<MFSHUTDOWN_STATUS>(77);
    EXPECT_EQ(owner->GetShutdownStatus(&status), MF_E_INVALIDREQUEST);
    EXPECT_EQ(static_cast<int>(status), 77);
    EXPECT_FALSE(capture.LinesContaining("Failure, 0xC00D36B2").empty());
    EXPECT_EQ(owner->GetShutdownStatus(nullptr), E_POINTER);

    EXPECT_EQ((std::tuple<HRESULT, HRESULT> { owner->Shutdown(), owner->Shutdown() }), std::tuple(S_OK, MF_E_SHUTDOWN)); // in order
    EXPECT_EQ(owner->m_InternalShutdowns, 1);
    EXPECT_EQ(ShutdownTest::StatusOf(owner.Get()), MFSHUTDOWN_COMPLETED);

    // Failing owner work leaves the shutdown begun.
    owner = Make<Owner>();
    owner->m_OnInternalShutdown = [] { XEV_FAIL(E_ACCESSDENIED); };
    EXPECT_EQ(owner->Shutdown(), E_ACCESSDENIED);
    EXPECT_EQ(owner->GetState(), 4095);
    EXPECT_EQ(ShutdownTest::StatusOf(owner.Get()), MFSHUTDOWN_INITIATED);
}

TEST(ShutdownImplementation, StatusAndSecondShutdownWhileTheOwnersWorkRuns)
{
    auto owner = Make<Owner>();
    std::promise<void> entered, proceed;
    auto proceedFuture = proceed.get_future().share();
    owner->m_OnInternalShutdown = [&] {
        entered.set_value();
        ASSERT_EQ(proceedFuture.wait_for(TestSupport::Patience), std::future_status::ready);
    };
    std::thread shutdownThread([&] { EXPECT_EQ(owner->Shutdown(), S_OK); });
    ASSERT_EQ(entered.get_future().wait_for(TestSupport::Patience), std::future_status::ready);

    // The lock is free while InternalShutdown runs, and the object counts as live.
    EXPECT_EQ(ShutdownTest::StatusOf(owner.Get()), MFSHUTDOWN_INITIATED);
    {
        std::shared_lock lock(owner->m_Lock);
        EXPECT_NO_THROW(owner->ThrowIfShutdown());
    }
    // A run state set meanwhile is refused: the shutdown stays begun and does not run twice.
    EXPECT_EQ(Error::Guard([&] {
        std::unique_lock lock(owner->m_Lock);
        owner->SetState(1);
    }), MF_E_SHUTDOWN);
    EXPECT_EQ(ShutdownTest::StatusOf(owner.Get()), MFSHUTDOWN_INITIATED);
    EXPECT_EQ(owner->Shutdown(), MF_E_SHUTDOWN);

    proceed.set_value();
    shutdownThread.join();
    EXPECT_EQ(owner->m_InternalShutdowns, 1);
    EXPECT_EQ(ShutdownTest::StatusOf(owner.Get()), MFSHUTDOWN_COMPLETED);
}
