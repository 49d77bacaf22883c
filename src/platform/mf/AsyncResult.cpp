// Asynchronous results (MFCreateAsyncResult) and MFInvokeCallback.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/WorkQueueInternal.h"

#include <atomic>

namespace MFPlatform
{
namespace
{
// The object, callback and state are fixed at creation; only the status changes, so the result
// needs no lock: any thread may read it while another sets the status.
class AsyncResult final : public ComObject<IAsyncResultInternal>
{
public:
    AsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state) noexcept
        : m_Object(object), m_Callback(callback), m_State(state)
    {
    }

    // IMFAsyncResult
    HRESULT GetState(IUnknown** state) override
    {
        if (!state)
            return E_POINTER;
        // Without a state object the platform answers E_POINTER, with a null out-value.
        *state = nullptr;
        if (!m_State)
            return E_POINTER;
        m_State.CopyTo(state);
        return S_OK;
    }
    HRESULT GetStatus() override { return m_Status.load(std::memory_order_acquire); }
    HRESULT SetStatus(HRESULT status) override
    {
        m_Status.store(status, std::memory_order_release);
        return S_OK;
    }
    HRESULT GetObject(IUnknown** object) override
    {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (!m_Object)
            return E_POINTER;
        m_Object.CopyTo(object);
        return S_OK;
    }
    IUnknown* GetStateNoAddRef() override { return m_State.Get(); }

    // IAsyncResultInternal
    IMFAsyncCallback* CallbackNoAddRef() noexcept override { return m_Callback.Get(); }

private:
    const ComPtr<IUnknown> m_Object;
    const ComPtr<IMFAsyncCallback> m_Callback;
    const ComPtr<IUnknown> m_State;
    std::atomic<HRESULT> m_Status { S_OK };
};
} // namespace

ComPtr<IAsyncResultInternal> CreateAsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state)
{
    return Make<AsyncResult>(object, callback, state);
}

HRESULT QueryAsyncResult(IMFAsyncResult* result, ComPtr<IAsyncResultInternal>* out) noexcept
{
    if (!result)
        return E_POINTER;
    ComPtr<IAsyncResultInternal> ours;
    if (FAILED(result->QueryInterface(IidOf<IAsyncResultInternal>, reinterpret_cast<void**>(ours.GetAddressOf()))))
        return E_INVALIDARG;
    if (!ours->CallbackNoAddRef())
        return E_INVALIDARG;
    *out = std::move(ours);
    return S_OK;
}

DWORD CallbackQueue(IMFAsyncCallback* callback) noexcept
{
    DWORD flags = 0;
    DWORD queue = MFASYNC_CALLBACK_QUEUE_UNDEFINED;
    if (FAILED(callback->GetParameters(&flags, &queue)) || queue == MFASYNC_CALLBACK_QUEUE_UNDEFINED)
        return MFASYNC_CALLBACK_QUEUE_MULTITHREADED;
    return queue;
}
} // namespace MFPlatform

HRESULT MFCreateAsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state, IMFAsyncResult** result)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(result);
        *result = MFPlatform::CreateAsyncResult(object, callback, state).Detach();
    });
}

HRESULT MFInvokeCallback(IMFAsyncResult* result)
{
    return Error::Guard([&]() -> HRESULT {
        ComPtr<MFPlatform::IAsyncResultInternal> ours;
        XEV_CHECK_HR(MFPlatform::QueryAsyncResult(result, &ours));
        const DWORD queue = MFPlatform::CallbackQueue(ours->CallbackNoAddRef());
        return MFPlatform::ExpectedOutcome(MFPlatform::PutResult(queue, std::move(ours)), __FILE__, __LINE__);
    });
}
