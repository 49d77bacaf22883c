// The encoder transform across streams and completions: a new stream (after an end, or over a
// running one) encodes with the settings of its start; completions that run out of submission
// order still give their outputs in submission order.

#include "media/XevEncodeTransform/XevDefaultDeviceManager.h"
#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include "platform/encoder/SoftwareRuntime.h"
#include "platform/mf/session/SessionTestSupport.h"

#include <algorithm>

using namespace SessionTest;

// Completions of the frames in flight taken off the work queue, to be run by the test.
struct XevEncodeTransformTestAccess
{
    static std::vector<ComPtr<XevEncodeTransform::Buffer>> Hold(XevEncodeTransform* transform, bool hold)
    {
        std::unique_lock lock(transform->m_Lock);
        // Held, nothing has completed: no waiting item has started yet.
        for (const auto& buffer : transform->m_BusyBuffers)
            transform->CancelWaitingLocked(buffer->m_WorkItemKey);
        EXPECT_EQ(SoftwareEncoder::HoldEncoding(transform->m_Session.Encoder(), hold), NV_ENC_SUCCESS);
        return transform->m_BusyBuffers;
    }
    static void Complete(XevEncodeTransform* transform, XevEncodeTransform::Buffer* buffer)
    {
        transform->BufferInvoke(buffer->m_Callback.Get(), buffer->m_Result.Get());
    }
};

namespace
{
constexpr UINT32 Width = 160, Height = 96;

ComPtr<IMFSample> Frame(UINT32 index)
{
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(MFCreateMemoryBuffer(Width * Height * 3 / 2, buffer.GetAddressOf()), S_OK);
    BYTE* data = nullptr;
    EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    for (UINT32 i = 0; i < Width * Height * 3 / 2; ++i)
        data[i] = BYTE(i % Width + index * 8);
    EXPECT_EQ(buffer->Unlock() | buffer->SetCurrentLength(Width * Height * 3 / 2), S_OK);
    ComPtr<IMFSample> sample;
    EXPECT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    EXPECT_EQ(sample->AddBuffer(buffer.Get()) | sample->SetSampleTime(index * 333'333) | sample->SetSampleDuration(333'333), S_OK);
    return sample;
}

void SetValue(XevEncodeTransform* transform, const GUID& key, UINT32 value)
{
    VARIANT variant { .vt = VT_UI4, .ulVal = value };
    EXPECT_EQ(transform->SetValue(&key, &variant), S_OK);
}

// Set up as the pipeline sets it up (quality 70, GOP 4), NV12 input.
ComPtr<XevEncodeTransform> NewTransform(IMFDXGIDeviceManager* manager)
{
    auto transform = Make<XevEncodeTransform>();
    ComPtr<IMFAttributes> attributes;
    EXPECT_EQ(transform->GetAttributes(attributes.GetAddressOf()), S_OK);
    EXPECT_EQ(attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1), S_OK);
    EXPECT_EQ(transform->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager)), S_OK);
    SetValue(transform.Get(), CODECAPI_AVEncCommonRateControlMode, 3);
    SetValue(transform.Get(), CODECAPI_AVEncCommonQuality, 70);
    SetValue(transform.Get(), CODECAPI_AVEncMPVGOPSize, 4);
    auto output = VideoType(MFVideoFormat_H264, Width, Height), input = VideoType(MFVideoFormat_NV12, Width, Height);
    for (IMFMediaType* type : { output.Get(), input.Get() })
        EXPECT_EQ(MFSetAttributeRatio(type, MF_MT_FRAME_RATE, 30, 1), S_OK);
    EXPECT_EQ(output->SetUINT32(MF_MT_AVG_BITRATE, 10000000) | transform->SetOutputType(0, output.Get(), 0) | transform->SetInputType(0, input.Get(), 0), S_OK);
    return transform;
}

MediaEventType NextEvent(IMFMediaEventGenerator* generator)
{
    ComPtr<IMFMediaEvent> event;
    MediaEventType type = MEUnknown;
    const bool came = WaitUntil([&] { return generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()) == S_OK; });
    return came && SUCCEEDED(event->GetType(&type)) ? type : MEUnknown;
}

// An output: a sample, or a format change taken as the session takes it (null).
ComPtr<IMFSample> Output(XevEncodeTransform* transform)
{
    MFT_OUTPUT_DATA_BUFFER buffer {};
    DWORD status = 0;
    const HRESULT hr = transform->ProcessOutput(0, 1, &buffer, &status);
    ComPtr<IMFSample> sample;
    sample.Attach(buffer.pSample);
    ComPtr<IMFMediaType> type;
    if (hr == MF_E_TRANSFORM_STREAM_CHANGE)
        EXPECT_EQ(transform->GetOutputAvailableType(0, 0, type.GetAddressOf()) | transform->SetOutputType(0, type.Get(), 0), S_OK);
    else
        EXPECT_EQ(hr, S_OK);
    return sample;
}

// Starts a stream, encodes `count` frames as the session drives them and drains; the QP and
// clean-point flag of each output.
std::vector<std::pair<UINT64, UINT32>> Encode(XevEncodeTransform* transform, UINT32 count)
{
    EXPECT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0) | transform->OnClockStart(0, 0), S_OK);
    std::vector<std::pair<UINT64, UINT32>> outputs;
    UINT32 sent = 0;
    for (MediaEventType type; (type = NextEvent(transform)) != METransformDrainComplete;)
    {
        EXPECT_NE(type, MEUnknown);
        if (type == MEUnknown)
            break;
        if (type == METransformNeedInput && sent < count)
        {
            EXPECT_EQ(transform->ProcessInput(0, Frame(sent++).Get(), 0), S_OK) << sent;
            EXPECT_EQ(sent == count ? transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0) : S_OK, S_OK); // after the last
        }
        if (type != METransformHaveOutput)
            continue;
        if (const auto sample = Output(transform))
            outputs.emplace_back(MFGetAttributeUINT64(sample.Get(), MFSampleExtension_VideoEncodeQP, 0),
                MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0));
    }
    return outputs;
}

class ReinitializationTest : public PlatformTest
{
protected:
    ComPtr<XevDefaultDeviceManager> Manager = XevDefaultDeviceManager::Create(true);
};
} // namespace

// Rows: the stream before ended or not before the next start, the next stream's settings. Each
// new stream is encoded with its start's quality (QP) and GOP size (IDR pictures), also after a
// start that failed.
TEST_F(ReinitializationTest, NewStreamTakesTheSettingsOfItsStart)
{
    auto transform = NewTransform(Manager.Get());
    using Outputs = std::vector<std::pair<UINT64, UINT32>>;
    EXPECT_EQ(Encode(transform.Get(), 5), (Outputs { { 24, 1 }, { 24, 0 }, { 24, 0 }, { 24, 0 }, { 24, 1 } }));
    // A start that fails in the initialization (over the running stream) leaves nothing behind.
    SetValue(transform.Get(), CODECAPI_AVEncCommonRateControlMode, 0);
    EXPECT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), E_NOTIMPL);
    MediaEventType type;
    while ((type = NextEvent(transform.Get())) != MEError && type != MEUnknown)
        ;
    EXPECT_EQ(type, MEError);
    SetValue(transform.Get(), CODECAPI_AVEncCommonRateControlMode, 3);
    const struct { bool EndFirst; UINT32 Quality, Gop; UINT64 Qp; } rows[] = { { true, 50, 2, 31 }, { false, 100, 3, 16 } };
    for (const auto& row : rows)
    {
        EXPECT_EQ(row.EndFirst ? transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0) : S_OK, S_OK);
        SetValue(transform.Get(), CODECAPI_AVEncCommonQuality, row.Quality);
        SetValue(transform.Get(), CODECAPI_AVEncMPVGOPSize, row.Gop);
        const auto outputs = Encode(transform.Get(), 5);
        ASSERT_EQ(outputs.size(), 5u) << row.Quality;
        for (UINT32 i = 0; i < 5; ++i)
            EXPECT_EQ(outputs[i], std::make_pair(row.Qp, i % row.Gop == 0 ? 1u : 0u)) << row.Quality << " frame " << i;
        EXPECT_EQ(transform->GetEncoderConfiguration().Config.gopLength, row.Gop);
    }
    EXPECT_EQ(transform->Shutdown(), S_OK);
}

// Frames 0, 1, 2 in flight; their completions run in the order 2, 1, 0: nothing is announced
// before 0 completes, then three outputs in submission order.
TEST_F(ReinitializationTest, CompletionsOutOfOrderGiveOutputsInSubmissionOrder)
{
    auto transform = NewTransform(Manager.Get());
    ASSERT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), S_OK);
    ASSERT_EQ(NextEvent(transform.Get()), METransformHaveOutput);
    EXPECT_EQ(Output(transform.Get()), nullptr); // the sequence header
    ASSERT_EQ(transform->OnClockStart(0, 0), S_OK);
    XevEncodeTransformTestAccess::Hold(transform.Get(), true);
    for (UINT32 i = 0; i < 3; ++i)
        ASSERT_EQ(transform->ProcessInput(0, Frame(i).Get(), 0), S_OK);
    const auto buffers = XevEncodeTransformTestAccess::Hold(transform.Get(), false);
    ASSERT_EQ(buffers.size(), 3u);
    ASSERT_TRUE(WaitUntil([&] { return std::ranges::all_of(buffers, [](const auto& b) { return b->m_Output.m_Event.IsSignalled(); }); }));
    std::vector<MediaEventType> events;
    for (UINT32 i : { 2, 1, 0 })
    {
        XevEncodeTransformTestAccess::Complete(transform.Get(), buffers[i].Get());
        for (ComPtr<IMFMediaEvent> event; transform->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()) == S_OK;)
            EXPECT_EQ(event->GetType(&events.emplace_back()), S_OK);
        EXPECT_EQ(std::ranges::count(events, METransformHaveOutput), i == 0 ? 3 : 0) << i;
    }
    for (UINT32 i = 0; i < 3; ++i)
    {
        const auto sample = Output(transform.Get());
        LONGLONG time = -1;
        EXPECT_EQ(sample ? sample->GetSampleTime(&time) : E_POINTER, S_OK);
        EXPECT_EQ(time, i * 333'333) << i;
    }
    EXPECT_EQ(transform->Shutdown(), S_OK);
}
