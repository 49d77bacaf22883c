#pragma once
// MF::OperationQueue<T> with MF::OperationQueueImplementation<T, Q>: a media object's own serial
// work queue, on which the owner T puts operation objects that run one after the other.
//
// An operation implements MF::OperationQueueBase::Operation; concrete ones derive from
// BaseOperation, which holds the owner and turns a failed Run into an MEError event of the owner
// (T derives from MF::MediaEventGenerator). A failing operation never fails the work queue: the
// next one runs.
//
// Order of calls (the owner holds its own lock exclusive around each, as its design says):
//   CreateCallback()       once, before anything is put; the callback's function holds the owner
//   AllocateWorkQueue()    when the owner first needs its queue (start, begin of streaming)
//   Put / Schedule / PutWaiting   false when the queue is shut down (the operation is dropped)
//   MFCancelWorkItem(key)  for outstanding waiting and scheduled items
//   UnlockWorkQueue()      when streaming ends or at shutdown; later puts answer false
//   ReleaseCallback()      at shutdown: breaks the owner -> callback -> owner cycle
//
// Threads: operations run on the work queue's threads, one at a time per serial queue; the
// runner takes no lock (each Run takes the owner's lock as it needs).

#include "media/Common/AsyncCallback.h"
#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <utility>

namespace MF
{
struct OperationQueueBase
{
    struct Operation : IUnknown
    {
        XEV_INTERFACE(Operation, IUnknown, "301EA55B-FB3F-4F84-BD28-1D6760748B6D");
        // Told the HRESULT when Run failed. May throw.
        virtual void OnFailure(HRESULT result) = 0;
        // The operation's work. Throws on failure.
        virtual void Run() = 0;
    };

    // The function every owner's callback runs: the result's state is the operation. A failing
    // Run goes to the operation's OnFailure and ends here.
    static void RunOperation(IMFAsyncResult* result);
};

// The queue's members, kept by OperationQueueImplementation.
template <class T>
class OperationQueue
{
protected:
    OperationQueue() = default;
    ~OperationQueue() = default;

    DWORD m_WorkQueue = 0;              // the owner's serial work queue; 0 until allocated
    ComPtr<AsyncCallback> m_Callback;   // runs the operations; empty until created
};

template <class T, class Q = OperationQueue<T>>
class OperationQueueImplementation : public Q
{
public:
    using Operation = OperationQueueBase::Operation;

    // The base of T's operations: holds T, and reports a failed run as T's MEError event.
    class BaseOperation : public ComObject<Operation>
    {
    public:
        void OnFailure(HRESULT result) override
        {
            if (m_Owner)
                m_Owner->QueueEvent(MEError, result);
        }

        const ComPtr<T>& GetOwner() const noexcept { return m_Owner; }
        // Pooled operations get their owner when they are handed out.
        void SetOwner(ComPtr<T> owner) noexcept { m_Owner = std::move(owner); }

    protected:
        BaseOperation() = default;
        explicit BaseOperation(ComPtr<T> owner) noexcept : m_Owner(std::move(owner)) {}

        ComPtr<T> m_Owner;
    };

    // Makes the callback that runs the operations; it keeps a counted reference to the owner.
    void CreateCallback()
    {
        auto callback = Make<AsyncCallback>();
        ComPtr<T> owner(static_cast<T*>(this));
        callback->SetFunction(
            [owner](AsyncCallback*, IMFAsyncResult* result) { OperationQueueBase::RunOperation(result); },
            this->m_WorkQueue);
        this->m_Callback = std::move(callback);
    }

    // Drops the callback after emptying its function, so that items still pending on some queue
    // run nothing and hold the owner no longer.
    void ReleaseCallback()
    {
        if (auto callback = std::exchange(this->m_Callback, nullptr))
            callback->SetFunction(nullptr);
    }

    // A serial queue over the multithreaded queue; waiting and scheduled items run on it too.
    void AllocateWorkQueue()
    {
        XEV_CHECK_HR(MFAllocateSerialWorkQueue(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &this->m_WorkQueue));
        if (this->m_Callback)
            this->m_Callback->SetQueue(this->m_WorkQueue);
    }
    // Gives the queue back (once). The identifier stays: later puts answer false. A queue that
    // is already gone (the platform shut down) is no failure.
    void UnlockWorkQueue()
    {
        if (this->m_WorkQueue == 0)
            return;
        const HRESULT hr = MFUnlockWorkQueue(this->m_WorkQueue);
        if (hr != MF_E_SHUTDOWN)
            XEV_CHECK_HR(hr);
    }

    // True when the operation was put on the queue; false when the queue is shut down (or the
    // callback already released) and the operation is dropped. Other failures throw.
    bool Put(Operation* operation)
    {
        XEV_CHECK_POINTER(operation);
        if (!this->m_Callback)
            return false;
        return Accepted(MFPutWorkItem2(this->m_WorkQueue, 0, this->m_Callback.Get(), operation));
    }
    // Runs the operation after -timeout milliseconds (timeout is negative).
    bool Schedule(Operation* operation, INT64 timeout, MFWORKITEM_KEY* key)
    {
        XEV_CHECK_POINTER(operation);
        XEV_CHECK_POINTER(key);
        if (!this->m_Callback)
            return false;
        return Accepted(MFScheduleWorkItem(this->m_Callback.Get(), operation, timeout, key));
    }
    // Runs the operation once, when `event` is signalled.
    bool PutWaiting(Sync::Event* event, Operation* operation, MFWORKITEM_KEY* key)
    {
        XEV_CHECK_POINTER(event);
        XEV_CHECK_POINTER(operation);
        XEV_CHECK_POINTER(key);
        if (!this->m_Callback)
            return false;
        const ComPtr<IMFAsyncResult> result = this->m_Callback->CreateAsyncResult(static_cast<T*>(this)->AsUnknown(), operation);
        return Accepted(MFPutWaitingWorkItem(event, 0, result.Get(), key));
    }

protected:
    OperationQueueImplementation() = default;
    ~OperationQueueImplementation() = default;

private:
    static bool Accepted(HRESULT hr)
    {
        if (hr == MF_E_SHUTDOWN)
            return false;
        XEV_CHECK_HR(hr);
        return true;
    }
};
} // namespace MF
