#pragma once
// MF::ShutdownState<T>: whether a media object has been shut down, with its small run-state
// number, in one word. MF::ShutdownImplementation<T>: IMFShutdown built on it.
//
// The word (m_ShutdownResult):
//   0 .. 0xFFFF   live; the owner's run-state number (0 after construction)
//   4095          shutdown has begun and the owner's shutdown work is running (still live);
//                 no run state replaces it
//   negative      shut down for good; the HRESULT refused calls report (MF_E_SHUTDOWN)
//
// The word has no lock of its own: the owner reads it under its reader/writer lock held shared
// and changes it under the lock held exclusive. The owner's lock is its member
// `std::shared_mutex m_Lock`, reachable from the framework's bases (public, or friend of them).
// Event generators of a stream read their parent's word through MF::ShutdownStateBase.

#include "platform/com/Error.h"
#include "platform/mf/Interfaces.h"

#include <mutex>
#include <shared_mutex>

namespace MF
{
class ShutdownStateBase
{
public:
    static constexpr INT32 ShuttingDown = 0xFFF;

    // Lock shared or exclusive.
    void ThrowIfShutdown() const
    {
        if (m_ShutdownResult < 0)
            ::Error::Throw(m_ShutdownResult, __FILE__, __LINE__);
    }
    bool IsShutdown() const noexcept { return m_ShutdownResult < 0; }
    // -1 once shut down, else the run-state number (4095 while shutting down).
    INT32 GetState() const noexcept { return m_ShutdownResult < 0 ? -1 : (m_ShutdownResult & 0xFFFF); }

    // Lock exclusive. A run-state number is 0 to 0xFFFF, ShuttingDown excepted. Refused with
    // MF_E_SHUTDOWN once shutdown has begun.
    void SetState(INT32 state)
    {
        ThrowIfShutdown();
        XEV_CHECK(state >= 0 && state <= 0xFFFF && state != ShuttingDown, E_INVALIDARG);
        XEV_CHECK(m_ShutdownResult != ShuttingDown, MF_E_SHUTDOWN);
        m_ShutdownResult = state;
    }
    // Lock exclusive. A shutdown that has already begun refuses a second one, so that the
    // owner's shutdown work never runs twice at once.
    void BeginShutdown()
    {
        ThrowIfShutdown();
        XEV_CHECK(m_ShutdownResult != ShuttingDown, MF_E_SHUTDOWN);
        m_ShutdownResult = ShuttingDown;
    }
    // Lock exclusive. Final.
    void CompleteShutdown()
    {
        ThrowIfShutdown();
        m_ShutdownResult = MF_E_SHUTDOWN;
    }

protected:
    ShutdownStateBase() = default;
    ~ShutdownStateBase() = default;

    INT32 m_ShutdownResult = 0; // guarded by the owner's lock
};

// A base of the owner T.
template <class T>
class ShutdownState : public ShutdownStateBase
{
};

// IMFShutdown for an owner T that derives from ShutdownState<T>, has the lock m_Lock and
// provides `void InternalShutdown()`, which releases what the object holds. InternalShutdown
// runs without the lock (it may wait for the owner's work, which takes the lock meanwhile).
template <class T>
class ShutdownImplementation : public IMFShutdown
{
public:
    // IMFShutdown
    HRESULT Shutdown() override
    {
        XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
        return ::Error::Guard([&] {
            T& owner = Owner();
            {
                std::unique_lock lock(owner.m_Lock);
                owner.BeginShutdown();
            }
            // A failure leaves the word at 4095.
            owner.InternalShutdown();
            {
                std::unique_lock lock(owner.m_Lock);
                owner.CompleteShutdown();
            }
        });
    }

    HRESULT GetShutdownStatus(MFSHUTDOWN_STATUS* status) override
    {
        XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
        return ::Error::Guard([&]() -> HRESULT {
            XEV_CHECK_POINTER(status);
            T& owner = Owner();
            std::unique_lock lock(owner.m_Lock);
            if (owner.IsShutdown())
                *status = MFSHUTDOWN_COMPLETED;
            else if (owner.GetState() == ShutdownStateBase::ShuttingDown)
                *status = MFSHUTDOWN_INITIATED;
            else
            {
                lock.unlock();
                ::Error::ReportFailure(MF_E_INVALIDREQUEST, __FILE__, __LINE__);
                return MF_E_INVALIDREQUEST;
            }
            return S_OK;
        });
    }

protected:
    ShutdownImplementation() = default;
    ~ShutdownImplementation() = default;

private:
    T& Owner() noexcept { return static_cast<T&>(*this); }
};
} // namespace MF
