#include "OperationQueue.h"

namespace MF
{
void OperationQueueBase::RunOperation(IMFAsyncResult* result)
{
    ComPtr<IUnknown> state;
    XEV_CHECK_HR(result->GetState(state.GetAddressOf()));
    XEV_CHECK_POINTER(state.Get());
    ComPtr<Operation> operation;
    XEV_CHECK_HR(state.As(&operation));
    try
    {
        operation->Run();
    }
    catch (...)
    {
        // The failure is the operation's (an MEError of its owner), not the work queue's.
        operation->OnFailure(Error::CurrentExceptionResult());
    }
}
} // namespace MF
