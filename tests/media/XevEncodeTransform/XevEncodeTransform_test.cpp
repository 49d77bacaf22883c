// The encoder transform over the software runtime: whole runs in a media session decoded by
// ffmpeg, the event protocol driven the way the session drives it, drain, flush, shutdown with
// frames in flight, the type methods and the settings.

#include "media/XevEncodeTransform/DeviceManager.h"
#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include "fakes/SessionDoubles.h"
#include "platform/encoder/EncoderTestSupport.h"
#include "platform/mf/session/SessionTestSupport.h"

#include <numeric>

using namespace SessionTest;

namespace
{
constexpr UINT32 Width = 160, Height = 96;

struct InputCase
{
    GUID Subtype;
    std::optional<INT32> Stride; // MF_MT_DEFAULT_STRIDE; none: bottom-up RGB, packed NV12
};

ComPtr<IMFMediaType> InputType(const InputCase& input)
{
    auto type = VideoType(input.Subtype, Width, Height);
    EXPECT_EQ(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1), S_OK);
    if (input.Stride)
    {
        EXPECT_EQ(type->SetUINT32(MF_MT_DEFAULT_STRIDE, static_cast<UINT32>(*input.Stride)), S_OK);
    }
    return type;
}

// Frame `index` as the source delivers it: drawn top-down, stored with the case's stride.
ComPtr<IMFSample> Frame(const InputCase& input, UINT32 index)
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
    EXPECT_EQ(buffer->Unlock(), S_OK);
    EXPECT_EQ(buffer->SetCurrentLength(std::abs(stride) * rows), S_OK);
    ComPtr<IMFSample> sample;
    EXPECT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    EXPECT_EQ(sample->AddBuffer(buffer.Get()), S_OK);
    EXPECT_EQ(sample->SetSampleTime(index * EncoderTest::FrameTime), S_OK);
    EXPECT_EQ(sample->SetSampleDuration(EncoderTest::FrameTime), S_OK);
    return sample;
}

// A transform set up the way the pipeline sets it up; its input type from `input`.
ComPtr<XevEncodeTransform> PipelineTransform(IMFDXGIDeviceManager* manager, const InputCase* input = nullptr)
{
    auto transform = Make<XevEncodeTransform>();
    ComPtr<IMFAttributes> attributes;
    EXPECT_EQ(transform->GetAttributes(attributes.GetAddressOf()), S_OK);
    EXPECT_EQ(MFGetAttributeUINT32(attributes.Get(), MF_TRANSFORM_ASYNC, 0), 1u);
    EXPECT_EQ(attributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1), S_OK);
    EXPECT_EQ(transform->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(manager)), S_OK);
    const std::pair<GUID, PROPVARIANT> settings[] = { { CODECAPI_AVEncCommonRateControlMode, { .vt = VT_UI4, .ulVal = 3 } },
        { CODECAPI_AVEncCommonQuality, { .vt = VT_UI4, .ulVal = 70 } }, { CODECAPI_AVEncMPVGOPSize, { .vt = VT_UI4, .ulVal = 4 } },
        { CODECAPI_AVEncMPVDefaultBPictureCount, { .vt = VT_UI4, .ulVal = 0 } },
        { CODECAPI_AVEncCommonLowLatency, { .vt = VT_BOOL, .boolVal = VARIANT_TRUE } } };
    for (auto [key, value] : settings)
        EXPECT_EQ(transform->SetValue(&key, &value), S_OK);
    auto output = VideoType(MFVideoFormat_H264, Width, Height);
    EXPECT_EQ(output->SetUINT32(MF_MT_AVG_BITRATE, 10000000), S_OK);
    EXPECT_EQ(MFSetAttributeRatio(output.Get(), MF_MT_FRAME_RATE, 30, 1), S_OK);
    EXPECT_EQ(output->SetUINT32(MF_MT_INTERLACE_MODE, 2), S_OK);
    EXPECT_EQ(output->SetUINT32(MF_NALU_LENGTH_SET, 1), S_OK);
    EXPECT_EQ(transform->SetOutputType(0, output.Get(), 0), S_OK);
    if (input)
    {
        EXPECT_EQ(transform->SetInputType(0, InputType(*input).Get(), 0), S_OK);
    }
    return transform;
}

class XevEncodeTransformTest : public PlatformTest
{
protected:
    ComPtr<XevDefaultDeviceManager> m_Manager = XevDefaultDeviceManager::Create(true);
};

std::vector<BYTE> Bytes(IMFSample* sample)
{
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(sample->ConvertToContiguousBuffer(buffer.GetAddressOf()), S_OK);
    BYTE* data = nullptr;
    DWORD length = 0;
    EXPECT_EQ(buffer->Lock(&data, nullptr, &length), S_OK);
    std::vector<BYTE> bytes(data, data + length);
    EXPECT_EQ(buffer->Unlock(), S_OK);
    return bytes;
}
} // namespace

// A media session plays source -> transform -> sink: exactly the frames sent, upright, QP 24, an
// IDR picture every 4 with SPS and PPS, AUD first, NAL unit lengths, the sequence header as a
// format change, and no failure.
class XevEncodeTransformSession : public XevEncodeTransformTest, public ::testing::WithParamInterface<InputCase>
{
};

TEST_P(XevEncodeTransformSession, PlaysToAValidStream)
{
    constexpr UINT32 Count = 13;
    const InputCase input = GetParam();
    std::vector<EncoderTest::Output> outputs;
    SessionDoubles::Options options { .SampleCount = Count };
    options.DescribeType = [&](IMFMediaType* type) { EXPECT_EQ(InputType(input)->CopyAllItems(type), S_OK); };
    options.FillSample = [&](IMFSample* sample, UINT32 index) {
        ComPtr<IMFMediaBuffer> buffer;
        EXPECT_EQ(Frame(input, index)->GetBufferByIndex(0, buffer.GetAddressOf()), S_OK);
        EXPECT_EQ(sample->AddBuffer(buffer.Get()), S_OK);
    };
    options.OnSample = [&](IMFSample* sample) {
        auto& output = outputs.emplace_back();
        output.Bytes = Bytes(sample);
        std::vector<UINT32> lengths(64);
        UINT32 size = 0;
        EXPECT_EQ(sample->GetBlob(MF_NALU_LENGTH_INFORMATION, reinterpret_cast<UINT8*>(lengths.data()), 256, &size), S_OK);
        EXPECT_EQ(std::accumulate(lengths.begin(), lengths.begin() + size / 4, size_t(0)), output.Bytes.size());
        EXPECT_EQ(MFGetAttributeUINT32(sample, MFSampleExtension_CleanPoint, 0), outputs.size() % 4 == 1 ? 1u : 0u);
        EXPECT_EQ(MFGetAttributeUINT64(sample, MFSampleExtension_VideoEncodeQP, 0), 24u);
    };
    auto source = SessionDoubles::CountingSource::Create(options);
    auto sink = SessionDoubles::RequestingSink::Create(options);
    auto transform = PipelineTransform(m_Manager.Get());
    ComPtr<IMFMediaSession> session;
    ASSERT_EQ(MFCreateMediaSession(nullptr, session.GetAddressOf()), S_OK);
    auto events = SessionDoubles::EventRecorder::Start(session.Get());
    ASSERT_EQ(session->SetTopology(0, SessionDoubles::BuildTopology(source.Get(), transform.Get(), sink->StreamSink().Get()).Get()), S_OK);
    PROPVARIANT start { .vt = VT_EMPTY };
    ASSERT_TRUE(events->WaitFor(MESessionTopologyStatus));
    ASSERT_EQ(session->Start(&GUID_NULL, &start), S_OK);
    ASSERT_TRUE(events->WaitFor(MESessionEnded)) << events->Text();
    EXPECT_TRUE(events->Failures().empty()) << events->Text();
    EXPECT_EQ(session->Shutdown(), S_OK);
    EXPECT_EQ(source->Shutdown(), S_OK);
    events->Detach();

    ASSERT_EQ(outputs.size(), Count);
    const auto decoded = EncoderTest::Decode(outputs, EncoderTest::Range(Count), Width, Height);
    ASSERT_EQ(decoded.Slices.size(), Count);
    for (UINT32 i = 0; i < Count; ++i)
    {
        EXPECT_EQ(decoded.Slices[i].Idr, i % 4 == 0) << i;
        EXPECT_EQ(decoded.Slices[i].Qp, 24) << i;
        const auto nals = EncoderTest::ParseNals(outputs[i].Bytes);
        ASSERT_FALSE(nals.empty());
        EXPECT_EQ(nals[0].Type, 9) << i; // access unit delimiter
        EXPECT_EQ(EncoderTest::HasNal(outputs[i].Bytes, 7) && EncoderTest::HasNal(outputs[i].Bytes, 8), i % 4 == 0) << i;
    }
    EXPECT_GT(decoded.Psnr, 30.0); // upright: a flipped picture compares far worse
    // The sink got the sequence header as the stream carries it: the first picture's SPS and PPS.
    const auto type = sink->Counts().CurrentType;
    ASSERT_TRUE(type);
    std::vector<UINT8> header(4096);
    UINT32 size = 0;
    ASSERT_EQ(type->GetBlob(MF_MT_MPEG_SEQUENCE_HEADER, header.data(), 4096, &size), S_OK);
    const auto nals = EncoderTest::ParseNals(outputs[0].Bytes);
    ASSERT_GE(nals.size(), 3u);
    EXPECT_EQ(std::vector<BYTE>(header.begin(), header.begin() + size),
              std::vector<BYTE>(outputs[0].Bytes.begin() + nals[1].Offset, outputs[0].Bytes.begin() + nals[3].Offset));
}

INSTANTIATE_TEST_SUITE_P(Inputs, XevEncodeTransformSession,
    ::testing::Values(InputCase { MFVideoFormat_ARGB32, std::nullopt }, InputCase { MFVideoFormat_RGB32, INT32(Width * 4) },
        InputCase { MFVideoFormat_NV12, std::nullopt }, InputCase { MFVideoFormat_NV12, INT32(Width + 32) }));
