#include "SessionBenchObjects.h"

PassThroughTransform::PassThroughTransform(UINT32 buffers) : m_Buffers(buffers)
{
    XEV_CHECK_HR(MFCreateAttributes(m_Attributes.GetAddressOf(), 2));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_TRANSFORM_ASYNC, 1));
    XEV_CHECK_HR(m_Attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1));
}

HRESULT PassThroughTransform::CurrentType(const ComPtr<IMFMediaType>& held, IMFMediaType** type) const
{
    std::lock_guard lock(m_Lock);
    *type = ComPtr<IMFMediaType>(held).Detach();
    return held ? S_OK : MF_E_TRANSFORM_TYPE_NOT_SET;
}

// Offers a copy of the input type.
HRESULT PassThroughTransform::GetOutputAvailableType(DWORD, DWORD typeIndex, IMFMediaType** type)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        *type = nullptr;
        if (typeIndex != 0 || !m_InputType)
            return MF_E_NO_MORE_TYPES;
        ComPtr<IMFMediaType> offered;
        XEV_CHECK_HR(MFCreateMediaType(offered.GetAddressOf()));
        XEV_CHECK_HR(m_InputType->CopyAllItems(offered.Get()));
        *type = offered.Detach();
        return S_OK;
    });
}

HRESULT PassThroughTransform::SetType(ComPtr<IMFMediaType>& held, IMFMediaType* type, DWORD flags)
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    if (!(flags & MFT_SET_TYPE_TEST_ONLY))
        held = type;
    return S_OK;
}

HRESULT PassThroughTransform::ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR)
{
    return Error::Guard([&]() -> HRESULT {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        switch (message)
        {
        case MFT_MESSAGE_NOTIFY_START_OF_STREAM:
            m_NeedInput = m_HaveOutput = 0;
            m_Free = m_Buffers;
            m_Outputs.clear();
            break;
        case MFT_MESSAGE_COMMAND_DRAIN:
            m_NeedInput = -2;
            CheckDrainedLocked();
            break;
        case MFT_MESSAGE_COMMAND_FLUSH:
            StopStreamingLocked();
            m_Free = m_Buffers;
            break;
        case MFT_MESSAGE_NOTIFY_END_OF_STREAM:
        case MFT_MESSAGE_NOTIFY_END_STREAMING:
            StopStreamingLocked();
            break;
        default:
            break;
        }
        return S_OK;
    });
}

void PassThroughTransform::StopStreamingLocked()
{
    m_NeedInput = m_HaveOutput = -1;
    m_Outputs.clear();
}

// While draining: once nothing is held, the drain is complete.
void PassThroughTransform::CheckDrainedLocked()
{
    if (m_NeedInput != -2 || m_HaveOutput > 0)
        return;
    m_NeedInput = -1;
    Queue(METransformDrainComplete);
}

HRESULT PassThroughTransform::ProcessInput(DWORD, IMFSample* sample, DWORD)
{
    return Error::Guard([&]() -> HRESULT {
        if (!sample)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_NeedInput <= 0 || m_Free == 0)
            return MF_E_NOTACCEPTING;
        --m_NeedInput;
        --m_Free;
        m_Outputs.emplace_back(sample);
        ++m_HaveOutput;
        Queue(METransformHaveOutput);
        if (m_Free > 0)
        {
            ++m_NeedInput;
            Queue(METransformNeedInput);
        }
        return S_OK;
    });
}

HRESULT PassThroughTransform::ProcessOutput(DWORD, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status)
{
    return Error::Guard([&]() -> HRESULT {
        if (outputBufferCount != 1 || !outputSamples || !status)
            return E_INVALIDARG;
        *status = 0;
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_HaveOutput <= 0 || m_Outputs.empty())
            return E_UNEXPECTED;
        --m_HaveOutput;
        outputSamples[0].pSample = m_Outputs.front().Detach();
        m_Outputs.pop_front();
        if (m_Free++ == 0 && m_NeedInput == 0)
        {
            m_NeedInput = 1;
            Queue(METransformNeedInput);
        }
        CheckDrainedLocked();
        return S_OK;
    });
}

HRESULT PassThroughTransform::SetPresentationClock(IMFPresentationClock* clock)
{
    ComPtr<IMFPresentationClock> previous;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        previous = std::exchange(m_Clock, ComPtr<IMFPresentationClock>(clock));
    }
    if (previous)
        (void)previous->RemoveClockStateSink(this);
    return clock ? clock->AddClockStateSink(this) : S_OK;
}

HRESULT PassThroughTransform::Shutdown()
{
    ComPtr<IMFPresentationClock> clock;
    {
        std::lock_guard lock(m_Lock);
        if (std::exchange(m_ShutDown, true))
            return MF_E_SHUTDOWN;
        StopStreamingLocked();
        clock = std::move(m_Clock);
    }
    if (clock)
        (void)clock->RemoveClockStateSink(this);
    ShutdownQueue();
    return S_OK;
}

// The first request for input of a stream.
HRESULT PassThroughTransform::OnClockStart(MFTIME, LONGLONG)
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    if (m_NeedInput == 0)
    {
        m_NeedInput = 1;
        Queue(METransformNeedInput);
    }
    return S_OK;
}
