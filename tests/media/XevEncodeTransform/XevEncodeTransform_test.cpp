// The encoder transform over the software runtime: whole runs driven the way the session drives
// them and decoded by ffmpeg, the event protocol, drain, flush, shutdown with
// frames in flight, frames that cannot go in, new streams with new settings, and completions
// run out of submission order.

#include "media/XevEncodeTransform/XevDefaultDeviceManager.h"
#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include "platform/encoder/EncoderTestSupport.h"
#include "platform/d3d/DeviceTestSupport.h"
#include "platform/d3d/Texture.h"
#include "platform/mf/session/SessionTestSupport.h"

#include <numeric>

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
    // Runs the completion of `buffer`, its bitstream buffer destroyed first when `broken`.
    static void Complete(XevEncodeTransform* transform, XevEncodeTransform::Buffer* buffer, bool broken = false)
    {
        if (broken)
            transform->m_Session.DestroyBitstreamBuffer(buffer->m_Bitstream);
        transform->BufferInvoke(buffer->m_Callback.Get(), buffer->m_Result.Get());
    }
};

namespace
{
constexpr UINT32 Width = 160, Height = 96;

// The first failure of calls made in order (a braced list evaluates left to right).
HRESULT All(std::initializer_list<HRESULT> results)
{
    const auto failed = std::ranges::find_if(results, [](HRESULT hr) { return FAILED(hr); });
    return failed == results.end() ? S_OK : *failed;
}

struct InputCase
{
    GUID Subtype;
    std::optional<INT32> Stride; // MF_MT_DEFAULT_STRIDE; none: bottom-up RGB, packed NV12
};
const InputCase Nv12 { MFVideoFormat_NV12, std::nullopt };

ComPtr<IMFMediaType> InputType(const InputCase& input, UINT32 width = Width, UINT32 height = Height)
{
    auto type = VideoType(input.Subtype, width, height);
    EXPECT_EQ(All({ MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1), input.Stride ? type->SetUINT32(MF_MT_DEFAULT_STRIDE, UINT32(*input.Stride)) : S_OK }), S_OK);
    return type;
}

// Frame `index` as the source delivers it: drawn top-down, stored with the case's stride, in a
// buffer `shortBy` bytes too short.
ComPtr<IMFSample> Frame(const InputCase& input, UINT32 index, UINT32 shortBy = 0)
{
    const bool nv12 = input.Subtype == MFVideoFormat_NV12;
    const auto pixels = EncoderTest::RawFrame(index, Width, Height, nv12 ? NV_ENC_BUFFER_FORMAT_NV12 : NV_ENC_BUFFER_FORMAT_ARGB);
    const UINT32 rowBytes = nv12 ? Width : Width * 4, rows = nv12 ? Height * 3 / 2 : Height;
    const INT32 stride = input.Stride.value_or(nv12 ? INT32(Width) : -INT32(rowBytes));
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(MFCreateMemoryBuffer(std::abs(stride) * rows, buffer.GetAddressOf()), S_OK);
    BYTE* data = nullptr;
    EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    for (UINT32 row = 0; row < rows; ++row)
        std::memcpy(data + (stride < 0 ? rows - 1 - row : row) * std::abs(stride), pixels.data() + row * rowBytes, rowBytes);
    EXPECT_EQ(All({ buffer->Unlock(), buffer->SetCurrentLength(std::abs(stride) * rows - shortBy) }), S_OK);
    ComPtr<IMFSample> sample;
    EXPECT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    EXPECT_EQ(All({ sample->AddBuffer(buffer.Get()), sample->SetSampleTime(index * EncoderTest::FrameTime), sample->SetSampleDuration(EncoderTest::FrameTime) }), S_OK);
    return sample;
}

void SetValue(XevEncodeTransform* transform, const GUID& key, UINT32 value)
{
    PROPVARIANT variant { .vt = VT_UI4, .ulVal = value };
    EXPECT_EQ(transform->SetValue(&key, &variant), S_OK);
}

// A transform set up the way the pipeline sets it up (quality 70, GOP 4); its input type from `input`.
ComPtr<XevEncodeTransform> PipelineTransform(IMFDXGIDeviceManager* manager, const InputCase* input = nullptr)
{
    auto transform = Make<XevEncodeTransform>();
    ComPtr<IMFAttributes> attributes;
    EXPECT_EQ(transform->GetAttributes(attributes.GetAddressOf()), S_OK);
    EXPECT_EQ(All({ attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1), transform->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager)) }), S_OK);
    for (const auto& [key, value] : { std::pair { CODECAPI_AVEncCommonRateControlMode, 3u }, { CODECAPI_AVEncCommonQuality, 70u }, { CODECAPI_AVEncMPVGOPSize, 4u },
             { CODECAPI_AVEncMPVDefaultBPictureCount, 0u } })
        SetValue(transform.Get(), key, value);
    PROPVARIANT lowLatency { .vt = VT_BOOL, .boolVal = VARIANT_TRUE };
    EXPECT_EQ(transform->SetValue(&CODECAPI_AVEncCommonLowLatency, &lowLatency), S_OK);
    auto output = VideoType(MFVideoFormat_H264, Width, Height);
    EXPECT_EQ(All({ output->SetUINT32(MF_MT_AVG_BITRATE, 10000000), MFSetAttributeRatio(output.Get(), MF_MT_FRAME_RATE, 30, 1), output->SetUINT32(MF_MT_INTERLACE_MODE, 2), output->SetUINT32(MF_NALU_LENGTH_SET, 1) }), S_OK);
    EXPECT_EQ(All({ transform->SetOutputType(0, output.Get(), 0), input ? transform->SetInputType(0, InputType(*input).Get(), 0) : S_OK }), S_OK);
    return transform;
}

ComPtr<IMFSample> TextureSample(ID3D11Texture2D* texture, UINT32 index)
{
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFSample> sample;
    EXPECT_EQ(All({ MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, texture, 0, 0, buffer.GetAddressOf()), MFCreateSample(sample.GetAddressOf()) }), S_OK);
    EXPECT_EQ(All({ sample->AddBuffer(buffer.Get()), sample->SetSampleTime(index * EncoderTest::FrameTime) }), S_OK);
    return sample;
}

std::vector<BYTE> Bytes(IMFSample* sample)
{
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* data = nullptr;
    DWORD length = 0;
    EXPECT_EQ(All({ sample->ConvertToContiguousBuffer(buffer.GetAddressOf()), buffer->Lock(&data, nullptr, &length) }), S_OK);
    std::vector<BYTE> bytes(data, data + length);
    EXPECT_EQ(buffer->Unlock(), S_OK);
    return bytes;
}

// The next event of the transform within the patience; MEUnknown when none came.
MediaEventType NextEvent(IMFMediaEventGenerator* generator)
{
    ComPtr<IMFMediaEvent> event;
    MediaEventType type = MEUnknown;
    const bool came = WaitUntil([&] { return generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()) == S_OK; });
    return came && SUCCEEDED(event->GetType(&type)) ? type : MEUnknown;
}

bool NoEventPending(IMFMediaEventGenerator* generator)
{
    ComPtr<IMFMediaEvent> event;
    return generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()) == MF_E_NO_EVENTS_AVAILABLE;
}

HRESULT Output(IMFTransform* transform, ComPtr<IMFSample>* sample)
{
    MFT_OUTPUT_DATA_BUFFER buffer {};
    DWORD status = 0;
    const HRESULT hr = transform->ProcessOutput(0, 1, &buffer, &status);
    sample->Attach(buffer.pSample);
    return hr;
}

// The next `count` outputs are samples with the times of frames 0 to count - 1.
void ExpectOutputTimes(IMFTransform* transform, UINT32 count)
{
    for (UINT32 index = 0; index < count; ++index)
    {
        ComPtr<IMFSample> sample;
        LONGLONG time = -1;
        EXPECT_EQ(All({ Output(transform, &sample), sample ? sample->GetSampleTime(&time) : E_POINTER }), S_OK);
        EXPECT_EQ(time, index * EncoderTest::FrameTime) << index;
    }
}

// Answers the transform's events as the session does (an input for each request while frames
// remain, an output for each announcement, a format change taken, a drain after the last input)
// until the drain completes; the outputs in order, IDR for a clean point, with their QP.
std::vector<EncoderTest::Output> Pump(XevEncodeTransform* transform, UINT32 count, const std::function<ComPtr<IMFSample>(UINT32)>& frame)
{
    std::vector<EncoderTest::Output> outputs;
    UINT32 sent = 0;
    for (MediaEventType type; (type = NextEvent(transform)) != METransformDrainComplete;)
    {
        if (type == MEUnknown)
        {
            ADD_FAILURE() << "sent " << sent << ", received " << outputs.size();
            break;
        }
        if (type == METransformHaveOutput)
        {
            ComPtr<IMFSample> sample;
            ComPtr<IMFMediaType> changed;
            if (Output(transform, &sample) == MF_E_TRANSFORM_STREAM_CHANGE)
            {
                EXPECT_EQ(All({ transform->GetOutputAvailableType(0, 0, changed.GetAddressOf()), transform->SetOutputType(0, changed.Get(), 0) }), S_OK);
                continue;
            }
            auto& output = outputs.emplace_back();
            output.Bytes = Bytes(sample.Get());
            std::vector<UINT32> lengths(64);
            UINT32 size = 0;
            EXPECT_EQ(sample->GetBlob(MF_NALU_LENGTH_INFORMATION, reinterpret_cast<UINT8*>(lengths.data()), 256, &size), S_OK);
            EXPECT_EQ(std::accumulate(lengths.begin(), lengths.begin() + size / 4, size_t(0)), output.Bytes.size());
            EXPECT_EQ(sample->GetSampleTime(reinterpret_cast<LONGLONG*>(&output.TimeStamp)), S_OK);
            output.AverageQp = UINT32(MFGetAttributeUINT64(sample.Get(), MFSampleExtension_VideoEncodeQP, 0));
            output.PictureType = MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0) ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P;
            continue;
        }
        EXPECT_EQ(type, METransformNeedInput);
        if (sent < count)
        {
            EXPECT_LE(sent + 1 - outputs.size(), 4u); // a request only for a free buffer
            EXPECT_EQ(transform->ProcessInput(0, frame(sent++).Get(), 0), S_OK);
        }
        if (sent == count)
        {
            ++sent; // drain with frames (possibly) in flight, once
            EXPECT_EQ(transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0), S_OK);
        }
    }
    return outputs;
}

class XevEncodeTransformTest : public PlatformTest
{
protected:
    // The manager's device (the software adapter's).
    ComPtr<ID3D11Device> Device()
    {
        ComPtr<ID3D11Device> device;
        HANDLE handle = nullptr;
        EXPECT_EQ(m_Manager->OpenDeviceHandle(&handle), S_OK);
        EXPECT_EQ(All({ m_Manager->GetVideoService(handle, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf())), m_Manager->CloseDeviceHandle(handle) }), S_OK);
        return device;
    }
    // A pipeline's transform with a stream started: the format change taken, the clock started.
    ComPtr<XevEncodeTransform> StartedTransform()
    {
        auto transform = PipelineTransform(m_Manager.Get(), &Nv12);
        ComPtr<IMFMediaType> changed;
        EXPECT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), S_OK);
        EXPECT_EQ(NextEvent(transform.Get()), METransformHaveOutput);
        EXPECT_EQ(All({ transform->GetOutputAvailableType(0, 0, changed.GetAddressOf()), transform->SetOutputType(0, changed.Get(), 0), transform->OnClockStart(0, 0) }), S_OK);
        return transform;
    }

    ComPtr<XevDefaultDeviceManager> m_Manager = XevDefaultDeviceManager::Create(true);
};
} // namespace

// Frames of each input layout played to a valid stream: exactly the frames sent, upright, QP 24,
// an IDR picture every 4 with SPS and PPS, AUD first, NAL unit lengths, and the sequence header
// of the format change equal to the first picture's SPS and PPS.
class XevEncodeTransformInputs : public XevEncodeTransformTest, public ::testing::WithParamInterface<InputCase>
{
};

TEST_P(XevEncodeTransformInputs, PlayToAValidStream)
{
    constexpr UINT32 Count = 13;
    const InputCase input = GetParam();
    auto transform = PipelineTransform(m_Manager.Get(), &input);
    ASSERT_EQ(All({ transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), transform->OnClockStart(0, 0) }), S_OK);
    const auto outputs = Pump(transform.Get(), Count, [&](UINT32 index) { return Frame(input, index); });
    ASSERT_EQ(outputs.size(), Count);
    const auto decoded = EncoderTest::Decode(outputs, Width, Height);
    ASSERT_EQ(decoded.Slices.size(), Count);
    for (UINT32 i = 0; i < Count; ++i)
    {
        const auto& bytes = outputs[i].Bytes;
        EXPECT_EQ(std::tuple(decoded.Slices[i].Idr, decoded.Slices[i].Qp, EncoderTest::ParseNals(bytes).at(0).Type), std::tuple(i % 4 == 0, 24, 9)) << i; // AUD first
        EXPECT_EQ(EncoderTest::HasNal(bytes, 7) && EncoderTest::HasNal(bytes, 8), i % 4 == 0) << i;
    }
    EXPECT_GT(decoded.Psnr, 30.0); // upright: a flipped picture compares far worse
    ComPtr<IMFMediaType> type;
    std::vector<UINT8> header(4096);
    UINT32 size = 0;
    ASSERT_EQ(All({ transform->GetOutputCurrentType(0, type.GetAddressOf()), type->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header.data(), 4096, &size) }), S_OK);
    const auto nals = EncoderTest::ParseNals(outputs[0].Bytes);
    EXPECT_EQ(std::vector<BYTE>(header.begin(), header.begin() + size),
              std::vector<BYTE>(outputs[0].Bytes.begin() + nals.at(1).Offset, outputs[0].Bytes.begin() + nals.at(3).Offset));
    EXPECT_EQ(transform->Shutdown(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(Layouts, XevEncodeTransformInputs,
    ::testing::Values(InputCase { MFVideoFormat_ARGB32, std::nullopt }, InputCase { MFVideoFormat_RGB32, INT32(Width * 4) },
        InputCase { MFVideoFormat_NV12, std::nullopt }, InputCase { MFVideoFormat_NV12, INT32(Width + 32) }));

// A frame that cannot go in is refused with its result and gives back what it took (the
// texture's keyed mutex). Rows: the frame, the result, the input type's size (a multiple of the output's).
TEST_F(XevEncodeTransformTest, FramesThatCannotGoInAreRefusedAndGiveBackWhatTheyTook)
{
    const auto bgra = D3DTest::MakeTexture(Device().Get(), D3DTest::TextureDesc(Width, Height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX));
    const auto mutex = bgra.TryAs<IDXGIKeyedMutex>();
    for (const auto& [sample, expected, scale] : { std::tuple { Frame(Nv12, 0, 1), MF_E_BUFFERTOOSMALL, 1u },
             { TextureSample(bgra.Get(), 0), HRESULT(0xCE560008), 1u },  // an RGB texture for an NV12 stream: NV_ENC_ERR_INVALID_PARAM
             { Frame(Nv12, 0), MF_E_INVALIDMEDIATYPE, 2u } })            // it would overrun the encoder's input buffer
    {
        auto transform = PipelineTransform(m_Manager.Get());
        ASSERT_EQ(All({ transform->SetInputType(0, InputType(Nv12, Width * scale, Height * scale).Get(), 0),
                      transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), transform->OnClockStart(0, 0) }), S_OK);
        EXPECT_EQ(transform->ProcessInput(0, sample.Get(), 0), expected);
        ASSERT_EQ(mutex->AcquireSync(0, 0), S_OK) << "the keyed mutex was kept";
        EXPECT_EQ(mutex->ReleaseSync(0), S_OK);
        EXPECT_EQ(transform->Shutdown(), S_OK);
    }
}

// Texture input through the device layer: two shared NV12 textures with keyed mutexes, written
// by the producer under key 0 in turn while the encoder holds the other; every frame decodes.
TEST_F(XevEncodeTransformTest, TextureInputWithKeyedMutexes)
{
    const auto device = Device();
    ComPtr<ID3D11Texture2D> textures[2];
    for (auto& texture : textures)
        texture = D3DTest::MakeTexture(device.Get(), D3DTest::TextureDesc(Width, Height, DXGI_FORMAT_NV12, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX));
    auto transform = StartedTransform();
    constexpr UINT32 Count = 6;
    const auto outputs = Pump(transform.Get(), Count, [&](UINT32 index) {
        ID3D11Texture2D* texture = textures[index % 2].Get();
        auto mutex = ComPtr<ID3D11Texture2D>(texture).TryAs<IDXGIKeyedMutex>();
        EXPECT_EQ(mutex->AcquireSync(0, PatienceMilliseconds), S_OK); // the encoder gives it back with key 0
        const auto memory = D3DTest::MemoryOf(texture);
        EncoderTest::Draw(index, Width, Height, NV_ENC_BUFFER_FORMAT_NV12, memory.Data, memory.RowPitch);
        EXPECT_EQ(mutex->ReleaseSync(0), S_OK);
        return TextureSample(texture, index);
    });
    const auto decoded = EncoderTest::Decode(outputs, Width, Height);
    EXPECT_EQ(decoded.Slices.size(), Count);
    EXPECT_GT(decoded.Psnr, 40.0);
    EXPECT_EQ(transform->Shutdown(), S_OK);
}

// Four frames held up in the encoder (their texture waits for a copy behind a closed device
// thread): no free buffer, no request, MF_E_NOTACCEPTING; then the head's completion brings
// exactly one request and the samples leave in order.
TEST_F(XevEncodeTransformTest, FullQueueAsksForInputOnceTheHeadCompletes)
{
    const auto device = Device();
    ComPtr<ID3D11DeviceContext> context;
    device->GetImmediateContext(context.GetAddressOf());
    const auto desc = D3DTest::TextureDesc(Width, Height, DXGI_FORMAT_NV12);
    const ComPtr<ID3D11Texture2D> texture = D3DTest::MakeTexture(device.Get(), desc), source = D3DTest::MakeTexture(device.Get(), desc);
    auto transform = StartedTransform();
    std::vector<ComPtr<IMFSample>> frames; // made before the gate: a new surface buffer waits for the device
    for (UINT32 index = 0; index < 5; ++index)
        frames.push_back(TextureSample(texture.Get(), index));
    {
        D3DTest::DeviceGate gate(context.TryAs<ID3D11DeviceContext3>().Get());
        context->CopyResource(texture.Get(), source.Get());
        for (UINT32 index = 0; index < 4; ++index)
        {
            ASSERT_EQ(NextEvent(transform.Get()), METransformNeedInput);
            ASSERT_EQ(transform->ProcessInput(0, frames[index].Get(), 0), S_OK);
        }
        EXPECT_TRUE(NoEventPending(transform.Get()));
        EXPECT_EQ(transform->ProcessInput(0, frames[4].Get(), 0), MF_E_NOTACCEPTING);
    }
    for (const MediaEventType expected : { METransformHaveOutput, METransformNeedInput, METransformHaveOutput, METransformHaveOutput, METransformHaveOutput })
        EXPECT_EQ(NextEvent(transform.Get()), expected);
    ExpectOutputTimes(transform.Get(), 4);
    EXPECT_TRUE(NoEventPending(transform.Get()));
    EXPECT_EQ(transform->Shutdown(), S_OK);
}

// Rows: the stream before ended or not before the next start, the next stream's settings. Each
// new stream is encoded with its start's quality (QP) and GOP size (IDR pictures), also after a
// start that failed in the initialization (over the running stream) and left nothing behind.
TEST_F(XevEncodeTransformTest, NewStreamTakesTheSettingsOfItsStart)
{
    auto transform = PipelineTransform(m_Manager.Get(), &Nv12);
    const auto encode = [&](UINT32 gop, UINT32 qp) {
        EXPECT_EQ(All({ transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), transform->OnClockStart(0, 0) }), S_OK);
        const auto outputs = Pump(transform.Get(), 5, [](UINT32 index) { return Frame(Nv12, index); });
        ASSERT_EQ(outputs.size(), 5u) << qp;
        for (UINT32 i = 0; i < 5; ++i)
            EXPECT_EQ(std::pair(outputs[i].AverageQp, outputs[i].PictureType), std::pair(qp, i % gop == 0 ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P)) << qp << " frame " << i;
    };
    encode(4, 24);
    SetValue(transform.Get(), CODECAPI_AVEncCommonRateControlMode, 0);
    EXPECT_EQ(transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0), E_NOTIMPL);
    MediaEventType type;
    while ((type = NextEvent(transform.Get())) != MEError && type != MEUnknown)
        ;
    EXPECT_EQ(type, MEError);
    SetValue(transform.Get(), CODECAPI_AVEncCommonRateControlMode, 3);
    const struct { bool EndFirst; UINT32 Quality, Gop, Qp; } rows[] = { { true, 50, 2, 31 }, { false, 100, 3, 16 } };
    for (const auto& row : rows)
    {
        EXPECT_EQ(row.EndFirst ? transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0) : S_OK, S_OK);
        SetValue(transform.Get(), CODECAPI_AVEncCommonQuality, row.Quality);
        SetValue(transform.Get(), CODECAPI_AVEncMPVGOPSize, row.Gop);
        encode(row.Gop, row.Qp);
    }
    EXPECT_EQ(transform->Shutdown(), S_OK);
}

// Frames 0, 1, 2 in flight; their completions run in the order 2, 1, 0: nothing is announced
// before 0 completes, then three outputs in submission order. A completion that fails reports
// MEError.
TEST_F(XevEncodeTransformTest, CompletionsOutOfOrderGiveOutputsInSubmissionOrder)
{
    auto transform = StartedTransform();
    XevEncodeTransformTestAccess::Hold(transform.Get(), true);
    for (UINT32 i = 0; i < 3; ++i)
        ASSERT_EQ(transform->ProcessInput(0, Frame(Nv12, i).Get(), 0), S_OK);
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
    ExpectOutputTimes(transform.Get(), 3);
    XevEncodeTransformTestAccess::Hold(transform.Get(), true);
    ASSERT_EQ(transform->ProcessInput(0, Frame(Nv12, 3).Get(), 0), S_OK);
    const auto failing = XevEncodeTransformTestAccess::Hold(transform.Get(), false);
    ASSERT_TRUE(WaitUntil([&] { return failing.at(0)->m_Output.m_Event.IsSignalled(); }));
    XevEncodeTransformTestAccess::Complete(transform.Get(), failing[0].Get(), true);
    MediaEventType type;
    while ((type = NextEvent(transform.Get())) == METransformNeedInput)
        ;
    EXPECT_EQ(type, MEError);
    EXPECT_EQ(transform->Shutdown(), S_OK);
}
