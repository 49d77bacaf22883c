// The tool with a fault injected: the encoder of pipeline 1 fails its third input with
// E_UNEXPECTED. Built only with the tests; the shipped tool has no way to do this.

#include "Service/XevEncodeTest/Module.h"
#include "Service/XevEncodeTest/TaskPipeline.h"

#include "platform/com/ComObject.h"

namespace
{
// Passes every call to the encoder but the third ProcessInput; other interfaces are the encoder's own.
class FailingTransform final : public ComObject<IMFTransform>
{
public:
    explicit FailingTransform(IMFTransform* inner) : m_Inner(inner) {}

    HRESULT ProcessInput(DWORD id, IMFSample* sample, DWORD flags) override
    {
        return ++m_Inputs == 3 ? E_UNEXPECTED : m_Inner->ProcessInput(id, sample, flags);
    }
    HRESULT GetStreamLimits(DWORD* a, DWORD* b, DWORD* c, DWORD* d) override { return m_Inner->GetStreamLimits(a, b, c, d); }
    HRESULT GetStreamCount(DWORD* a, DWORD* b) override { return m_Inner->GetStreamCount(a, b); }
    HRESULT GetStreamIDs(DWORD a, DWORD* b, DWORD c, DWORD* d) override { return m_Inner->GetStreamIDs(a, b, c, d); }
    HRESULT GetInputStreamInfo(DWORD a, MFT_INPUT_STREAM_INFO* b) override { return m_Inner->GetInputStreamInfo(a, b); }
    HRESULT GetOutputStreamInfo(DWORD a, MFT_OUTPUT_STREAM_INFO* b) override { return m_Inner->GetOutputStreamInfo(a, b); }
    HRESULT GetAttributes(IMFAttributes** a) override { return m_Inner->GetAttributes(a); }
    HRESULT GetInputStreamAttributes(DWORD a, IMFAttributes** b) override { return m_Inner->GetInputStreamAttributes(a, b); }
    HRESULT GetOutputStreamAttributes(DWORD a, IMFAttributes** b) override { return m_Inner->GetOutputStreamAttributes(a, b); }
    HRESULT DeleteInputStream(DWORD a) override { return m_Inner->DeleteInputStream(a); }
    HRESULT AddInputStreams(DWORD a, DWORD* b) override { return m_Inner->AddInputStreams(a, b); }
    HRESULT GetInputAvailableType(DWORD a, DWORD b, IMFMediaType** c) override { return m_Inner->GetInputAvailableType(a, b, c); }
    HRESULT GetOutputAvailableType(DWORD a, DWORD b, IMFMediaType** c) override { return m_Inner->GetOutputAvailableType(a, b, c); }
    HRESULT SetInputType(DWORD a, IMFMediaType* b, DWORD c) override { return m_Inner->SetInputType(a, b, c); }
    HRESULT SetOutputType(DWORD a, IMFMediaType* b, DWORD c) override { return m_Inner->SetOutputType(a, b, c); }
    HRESULT GetInputCurrentType(DWORD a, IMFMediaType** b) override { return m_Inner->GetInputCurrentType(a, b); }
    HRESULT GetOutputCurrentType(DWORD a, IMFMediaType** b) override { return m_Inner->GetOutputCurrentType(a, b); }
    HRESULT GetInputStatus(DWORD a, DWORD* b) override { return m_Inner->GetInputStatus(a, b); }
    HRESULT GetOutputStatus(DWORD* a) override { return m_Inner->GetOutputStatus(a); }
    HRESULT SetOutputBounds(LONGLONG a, LONGLONG b) override { return m_Inner->SetOutputBounds(a, b); }
    HRESULT ProcessEvent(DWORD a, IMFMediaEvent* b) override { return m_Inner->ProcessEvent(a, b); }
    HRESULT ProcessMessage(MFT_MESSAGE_TYPE a, ULONG_PTR b) override { return m_Inner->ProcessMessage(a, b); }
    HRESULT ProcessOutput(DWORD a, DWORD b, MFT_OUTPUT_DATA_BUFFER* c, DWORD* d) override { return m_Inner->ProcessOutput(a, b, c, d); }

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        const bool own = riid == IMFTransform::IID || riid == IUnknown::IID;
        return own ? ComObject::QueryInterface(riid, object) : m_Inner->QueryInterface(riid, object);
    }

private:
    const ComPtr<IMFTransform> m_Inner;
    int m_Inputs = 0; // the session calls ProcessInput one at a time
};
} // namespace

int main(int argc, char** argv)
{
    Application::TaskPipeline::SetTransformInterposer([](UINT32 index, IMFTransform* transform) {
        return index == 1 ? ComPtr<IMFTransform>(Make<FailingTransform>(transform)) : ComPtr<IMFTransform>(transform);
    });
    return Application::EntryPoint(std::vector<std::string>(argv, argv + argc));
}
