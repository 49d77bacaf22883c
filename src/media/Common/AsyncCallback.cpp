#include "AsyncCallback.h"

#include "platform/com/Error.h"

#include <mutex>
#include <utility>

namespace MF
{
HRESULT AsyncCallback::GetParameters(DWORD* flags, DWORD* queue)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(flags);
        XEV_CHECK_POINTER(queue);
        std::shared_lock lock(m_Lock);
        if (m_Queue == 0)
            return E_NOTIMPL;
        *flags = m_Flags;
        *queue = m_Queue;
        return S_OK;
    });
}

HRESULT AsyncCallback::Invoke(IMFAsyncResult* result)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK(result, E_INVALIDARG);
        std::shared_ptr<const Function> function;
        {
            std::shared_lock lock(m_Lock);
            function = m_Function;
        }
        if (!function)
            return S_FALSE;
        try
        {
            (*function)(this, result);
        }
        catch (...)
        {
            (void)result->SetStatus(Error::CurrentExceptionResult());
            throw;
        }
        return S_OK;
    });
}

void AsyncCallback::SetFunction(Function function) { Replace(std::move(function), nullptr); }

void AsyncCallback::SetFunction(Function function, DWORD queue) { Replace(std::move(function), &queue); }

void AsyncCallback::SetQueue(DWORD queue)
{
    std::unique_lock lock(m_Lock);
    m_Flags = 0;
    m_Queue = queue;
}

ComPtr<IMFAsyncResult> AsyncCallback::CreateAsyncResult(IUnknown* object, IUnknown* state)
{
    ComPtr<IMFAsyncResult> result;
    XEV_CHECK_HR(MFCreateAsyncResult(object, this, state, result.GetAddressOf()));
    return result;
}

void AsyncCallback::Replace(Function function, const DWORD* queue)
{
    std::shared_ptr<const Function> replacement;
    if (function)
        replacement = std::make_shared<const Function>(std::move(function));
    std::shared_ptr<const Function> replaced;
    {
        std::unique_lock lock(m_Lock);
        replaced = std::exchange(m_Function, std::move(replacement));
        if (queue)
            m_Queue = *queue;
    }
    // `replaced` goes here, outside the lock.
}
} // namespace MF
