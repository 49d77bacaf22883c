#pragma once
// What the platform's start-up, work queues, waiting and scheduled items, asynchronous results
// and event queues share inside src/platform/mf. Not for media objects: they use Api.h.

#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include "platform/mf/Ring.h"

namespace MFPlatform
{
// The asynchronous result that MFCreateAsyncResult makes. The work queues need its callback,
// which IMFAsyncResult does not give out; QueryInterface for this interface tells a result of
// ours from a foreign one.
struct IAsyncResultInternal : IMFAsyncResult
{
    XEV_INTERFACE(IAsyncResultInternal, IMFAsyncResult, "afe4f3fb-466c-4437-bbd5-94d0b8809d72");
    // Non-owning: the result holds the callback for its whole life. May be null.
    virtual IMFAsyncCallback* CallbackNoAddRef() noexcept = 0;
};

// Makes a result; throws std::bad_alloc.
ComPtr<IAsyncResultInternal> CreateAsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state);
// Our own result behind `result`, with a callback: E_POINTER for null, E_INVALIDARG for a
// foreign result or one without a callback.
HRESULT QueryAsyncResult(IMFAsyncResult* result, ComPtr<IAsyncResultInternal>* out) noexcept;

// The queue a callback asks for through GetParameters; the multithreaded queue when it names
// none (E_NOTIMPL, another failure, or MFASYNC_CALLBACK_QUEUE_UNDEFINED).
DWORD CallbackQueue(IMFAsyncCallback* callback) noexcept;

// True for the platform's own queues (MFASYNC_CALLBACK_QUEUE_STANDARD .. LONG_FUNCTION): all of
// them run on the shared worker pool.
constexpr bool IsStandardQueue(DWORD queue) noexcept
{
    return queue >= MFASYNC_CALLBACK_QUEUE_STANDARD && queue <= MFASYNC_CALLBACK_QUEUE_LONG_FUNCTION;
}

// Puts a result on a standard or private queue; the queue invokes its callback once and then
// releases it. MF_E_SHUTDOWN when the platform or the queue is shut down, MF_E_INVALID_WORKQUEUE
// for an identifier never allocated.
HRESULT PutResult(DWORD queue, ComPtr<IAsyncResultInternal>&& result) noexcept;
// Passes on a success or MF_E_SHUTDOWN (an expected answer of a queue) and throws any other
// failure, so that the boundary guard returns it after the failure report.
inline HRESULT ExpectedOutcome(HRESULT hr, const char* file, int line)
{
    if (SUCCEEDED(hr) || hr == MF_E_SHUTDOWN)
        return hr;
    Error::Throw(hr, file, line);
}
// S_OK when puts to `queue` would currently be accepted; the failure PutResult would give otherwise.
HRESULT CheckQueue(DWORD queue) noexcept;

// Life cycle, driven by MFStartup and MFShutdown (serialised by their lock).
void StartWorkQueues(unsigned threadCount); // the worker pool
void StartPendingWork();                    // the timer thread; waiting and scheduled items accepted
void StopPendingWork();                     // waiting and scheduled items dropped, later ones refused
void StopWorkQueues();                      // new puts refused, queued items run, workers waited for (bounded), private queues closed
} // namespace MFPlatform
