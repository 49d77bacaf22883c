#pragma once
// MF::AsyncCallback: an IMFAsyncCallback whose Invoke runs a function object, with an optional
// work queue that GetParameters names.
//
// The function runs with no lock held, so it may replace the callback's own function or queue;
// a function replaced while it runs finishes as it started. A function that throws sets the async
// result's status to its HRESULT, which Invoke then returns.
//
// Threads: any. The work queue threads call Invoke concurrently; SetFunction and SetQueue may
// be called at any time.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <functional>
#include <memory>
#include <shared_mutex>

namespace MF
{
class AsyncCallback final : public ComObject<IMFAsyncCallback>
{
public:
    using Function = std::function<void(AsyncCallback* callback, IMFAsyncResult* result)>;

    AsyncCallback() = default;

    // IMFAsyncCallback (no trace lines)
    // E_NOTIMPL while no queue is set, so that the platform uses its default queue.
    HRESULT GetParameters(DWORD* flags, DWORD* queue) override;
    // S_FALSE without a function (the result is not touched).
    HRESULT Invoke(IMFAsyncResult* result) override;

    // An empty function makes Invoke a no-op. The function replaced is destroyed after the lock
    // is let go (it may hold the last reference to an object that holds this callback).
    void SetFunction(Function function);
    void SetFunction(Function function, DWORD queue);
    // Flags become 0.
    void SetQueue(DWORD queue);
    // MFCreateAsyncResult(object, this callback, state); a failure throws.
    ComPtr<IMFAsyncResult> CreateAsyncResult(IUnknown* object, IUnknown* state);

private:
    void Replace(Function function, const DWORD* queue);

    mutable std::shared_mutex m_Lock;           // guards the three fields below
    // Shared so that Invoke runs a copy without allocating; null when empty.
    std::shared_ptr<const Function> m_Function;
    DWORD m_Flags = 0;                          // callback flags reported by GetParameters
    DWORD m_Queue = 0;                          // work queue reported by GetParameters; 0 for none
};
} // namespace MF
