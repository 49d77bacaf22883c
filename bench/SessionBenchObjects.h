#pragma once
// The session benchmark's transform: an asynchronous transform that takes no time. Each input is
// at once announced as an output, unchanged and in order; Buffers bounds the samples it holds.
// Its first METransformNeedInput comes from the clock's start. With the tests' counting source and
// requesting sink it makes a pipeline whose cost is the session's own.

#include "fakes/SessionDoubles.h"

#include <deque>

class PassThroughTransform final
    : public ComObject<IMFTransform, SessionDoubles::EventGenerator<IMFMediaEventGenerator>, IMFShutdown, IMFClockConsumer, IMFClockStateSink>
{
public:
    explicit PassThroughTransform(UINT32 buffers);

    // IMFTransform
    HRESULT GetStreamLimits(DWORD*, DWORD*, DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetStreamCount(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetInputStreamInfo(DWORD, MFT_INPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    HRESULT GetOutputStreamInfo(DWORD, MFT_OUTPUT_STREAM_INFO*) override { return E_NOTIMPL; }
    HRESULT GetAttributes(IMFAttributes** attributes) override { return m_Attributes.CopyTo(attributes), S_OK; }
    HRESULT GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
    HRESULT DeleteInputStream(DWORD) override { return E_NOTIMPL; }
    HRESULT AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetInputAvailableType(DWORD, DWORD, IMFMediaType**) override { return E_NOTIMPL; }
    HRESULT GetOutputAvailableType(DWORD outputStreamID, DWORD typeIndex, IMFMediaType** type) override;
    HRESULT SetInputType(DWORD, IMFMediaType* type, DWORD flags) override { return SetType(m_InputType, type, flags); }
    HRESULT SetOutputType(DWORD, IMFMediaType* type, DWORD flags) override { return SetType(m_OutputType, type, flags); }
    HRESULT GetInputCurrentType(DWORD, IMFMediaType** type) override { return CurrentType(m_InputType, type); }
    HRESULT GetOutputCurrentType(DWORD, IMFMediaType** type) override { return CurrentType(m_OutputType, type); }
    HRESULT GetInputStatus(DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT GetOutputStatus(DWORD*) override { return E_NOTIMPL; }
    HRESULT SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
    HRESULT ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }
    HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR parameter) override;
    HRESULT ProcessInput(DWORD inputStreamID, IMFSample* sample, DWORD flags) override;
    HRESULT ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status) override;
    // IMFShutdown
    HRESULT Shutdown() override;
    HRESULT GetShutdownStatus(MFSHUTDOWN_STATUS*) override { return E_NOTIMPL; }
    // IMFClockConsumer
    HRESULT SetPresentationClock(IMFPresentationClock* clock) override;
    HRESULT GetPresentationClock(IMFPresentationClock**) override { return E_NOTIMPL; }
    // IMFClockStateSink
    HRESULT OnClockStart(MFTIME, LONGLONG) override;
    HRESULT OnClockStop(MFTIME) override { return S_OK; }
    HRESULT OnClockPause(MFTIME) override { return S_OK; }
    HRESULT OnClockRestart(MFTIME) override { return S_OK; }
    HRESULT OnClockSetRate(MFTIME, float) override { return S_OK; }

private:
    HRESULT SetType(ComPtr<IMFMediaType>& held, IMFMediaType* type, DWORD flags);
    HRESULT CurrentType(const ComPtr<IMFMediaType>& held, IMFMediaType** type) const;
    void StopStreamingLocked();
    void CheckDrainedLocked();

    const UINT32 m_Buffers;
    ComPtr<IMFAttributes> m_Attributes;
    mutable std::mutex m_Lock; // guards the fields below
    bool m_ShutDown = false;
    ComPtr<IMFPresentationClock> m_Clock;
    ComPtr<IMFMediaType> m_InputType, m_OutputType;
    int m_NeedInput = -1;   // -1 not streaming, -2 draining
    int m_HaveOutput = -1;
    UINT32 m_Free = 0;      // buffers not holding a sample
    std::deque<ComPtr<IMFSample>> m_Outputs;
};
