// The video source and its stream: event sequences of start, restart, pause, stop and shutdown,
// the refused calls, sample arithmetic, end of stream, pacing against the system clock, and a
// whole run through the media session.

#include "media/VideoMediaSource/VideoMediaSource.h"

#include "fakes/SessionDoubles.h"
#include "platform/d3d/Texture.h"
#include "platform/mf/Platform.h"

#include <cairo.h>

#include <gtest/gtest.h>

#include <limits>

using namespace SessionDoubles;
using Stream = VideoMediaSource::Stream;

namespace
{
constexpr int Patience = 20000;

ComPtr<IMFMediaType> VideoType(UINT32 numerator, UINT32 denominator, UINT32 width = 64, UINT32 height = 48)
{
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(MFCreateMediaType(type.GetAddressOf()), S_OK);
    EXPECT_EQ(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), S_OK);
    EXPECT_EQ(type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_ARGB32), S_OK);
    EXPECT_EQ(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, width, height), S_OK);
    EXPECT_EQ(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, numerator, denominator), S_OK);
    EXPECT_EQ(type->SetUINT32(MF_MT_INTERLACE_MODE, 2), S_OK);
    return type;
}

PROPVARIANT Position(std::optional<LONGLONG> position)
{
    PROPVARIANT value {};
    if (position)
        value.vt = VT_I8, value.hVal = *position;
    return value;
}

// A source set up as the pipeline sets it up, with recorders on the source and (once started) the stream.
class SourceTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(MFStartup(MF_VERSION), S_OK); }
    void TearDown() override
    {
        if (Source)
            (void)Source->Shutdown();
        for (auto* recorder : { SourceEvents.Get(), StreamEvents.Get() })
        {
            if (recorder)
                recorder->Detach();
        }
        Source = nullptr;
        EXPECT_EQ(MFShutdown(), S_OK);
    }

    void Create(UINT32 numerator = 30, UINT32 denominator = 1, std::optional<LONGLONG> duration = 10'000'000, bool clock = false,
        bool record = true, IMFDXGIDeviceManager* manager = nullptr, UINT32 width = 64, UINT32 height = 48)
    {
        Source = Make<VideoMediaSource>();
        Source->Initialize(manager, VideoType(numerator, denominator, width, height).Get());
        Source->SetBaseTime(FILETIME {});
        if (clock)
            Source->EnableSystemClock();
        ASSERT_EQ(Source->CreatePresentationDescriptor(Descriptor.GetAddressOf()), S_OK);
        if (duration)
        {
            ASSERT_EQ(Descriptor->SetUINT64(MF_PD_DURATION, UINT64(*duration)), S_OK);
        }
        if (record) // the session reads the source's events itself
            SourceEvents = EventRecorder::Start(Source.Get(), true);
    }
    // Starts and waits for the source's MESourceStarted (the `occurrence`-th); takes the stream.
    void Start(std::optional<LONGLONG> position = std::nullopt, size_t occurrence = 1)
    {
        const PROPVARIANT value = Position(position);
        ASSERT_EQ(Source->Start(Descriptor.Get(), &GUID_NULL, &value), S_OK);
        ASSERT_TRUE(SourceEvents->WaitFor(MESourceStarted, Patience, occurrence)) << SourceEvents->Text();
        if (!StreamEvents)
        {
            ASSERT_EQ(SourceEvents->Records().front().Type, MENewStream);
            ASSERT_EQ(SourceEvents->Records().front().Value.As(&MediaStream), S_OK);
            StreamEvents = EventRecorder::Start(MediaStream.Get(), true);
        }
    }
    std::vector<LONGLONG> SampleTimes() const
    {
        std::vector<LONGLONG> times;
        for (const auto& record : StreamEvents->Of(MEMediaSample))
        {
            ComPtr<IMFSample> sample;
            EXPECT_EQ(record.Value.As(&sample), S_OK);
            times.push_back(-1);
            EXPECT_EQ(sample->GetSampleTime(&times.back()), S_OK);
        }
        return times;
    }
    std::vector<LONGLONG> ExpectedTimes(UINT32 first, UINT32 count, UINT32 numerator, UINT32 denominator) const
    {
        std::vector<LONGLONG> times;
        for (UINT32 index = first; index < first + count; ++index)
            times.push_back(Stream::SampleTime(index, numerator, denominator));
        return times;
    }

    ComPtr<VideoMediaSource> Source;
    ComPtr<IMFPresentationDescriptor> Descriptor;
    ComPtr<IMFMediaStream> MediaStream;
    ComPtr<EventRecorder> SourceEvents, StreamEvents;
};
} // namespace

TEST(VideoSourceArithmetic, SampleTimesDurationsAndStartIndex)
{
    const struct
    {
        UINT32 Numerator, Denominator;
        LONGLONG Times[4];
    } cases[] = { { 30, 1, { 0, 333'333, 666'666, 1'000'000 } }, { 30000, 1001, { 0, 333'666, 667'333, 1'001'000 } } };
    for (const auto& c : cases)
        for (UINT32 index = 0; index < 4; ++index)
            EXPECT_EQ(Stream::SampleTime(index, c.Numerator, c.Denominator), c.Times[index]);
    EXPECT_EQ(Stream::SampleIndex(10'000'000, 30000, 1001), 30u);
    EXPECT_EQ(Stream::SampleTime(30, 30000, 1001), 10'010'000);
    EXPECT_EQ(Stream::SampleIndex(10'000'000, 30, 1), 30u);
}

// One second at 30/1: samples 0 to 29 in order, then the end of stream and of the presentation;
// nothing more is accepted.
TEST_F(SourceTest, StartDeliversEverySampleThenTheEnd)
{
    Create();
    DWORD characteristics = 0;
    ASSERT_EQ(Source->GetCharacteristics(&characteristics), S_OK);
    EXPECT_EQ(characteristics, 0x81u);
    Start();
    EXPECT_EQ(SourceEvents->Types(), (std::vector<MediaEventType> { MENewStream, MESourceStarted }));
    ASSERT_EQ(Source->GetCharacteristics(&characteristics), S_OK);
    EXPECT_EQ(characteristics, 0x86u);
    for (int request = 0; request < 31; ++request)
        ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
    ASSERT_TRUE(SourceEvents->WaitFor(MEEndOfPresentation)) << SourceEvents->Text();
    ASSERT_TRUE(StreamEvents->WaitFor(MEEndOfStream));
    EXPECT_EQ(SampleTimes(), ExpectedTimes(0, 30, 30, 1));
    EXPECT_EQ(StreamEvents->Types().front(), MEStreamStarted);
    EXPECT_EQ(StreamEvents->Types().back(), MEEndOfStream);
    EXPECT_EQ(MediaStream->RequestSample(nullptr), MF_E_END_OF_STREAM);
    EXPECT_TRUE(SourceEvents->Failures().empty() && StreamEvents->Failures().empty());
}

// A second start without a stop updates the stream and restarts the indices at the position;
// pause still takes requests, stop refuses them; shutdown refuses everything after it.
TEST_F(SourceTest, RestartPauseStopAndShutdownSequences)
{
    Create(30000, 1001, std::nullopt);
    Start();
    Start(10'000'000, 2);
    EXPECT_EQ(SourceEvents->Types(), (std::vector<MediaEventType> { MENewStream, MESourceStarted, MEUpdatedStream, MESourceStarted }));
    ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
    ASSERT_TRUE(StreamEvents->WaitFor(MEMediaSample));
    EXPECT_EQ(SampleTimes(), ExpectedTimes(30, 1, 30000, 1001));
    EXPECT_THROW(Source->SetBaseTime(FILETIME {}), HResultException);

    ASSERT_EQ(Source->Pause(), S_OK);
    ASSERT_TRUE(SourceEvents->WaitFor(MESourcePaused));
    EXPECT_EQ(MediaStream->RequestSample(nullptr), S_OK);
    ASSERT_TRUE(StreamEvents->WaitFor(MEMediaSample, Patience, 2));
    ASSERT_EQ(Source->Stop(), S_OK);
    ASSERT_TRUE(SourceEvents->WaitFor(MESourceStopped));
    ASSERT_TRUE(StreamEvents->WaitFor(MEStreamStopped));
    EXPECT_EQ(MediaStream->RequestSample(nullptr), MF_E_MEDIA_SOURCE_WRONGSTATE);
    EXPECT_EQ(StreamEvents->Types(), (std::vector<MediaEventType> { MEStreamStarted, MEStreamStarted, MEMediaSample, MEStreamPaused,
                                          MEMediaSample, MEStreamStopped }));

    ASSERT_EQ(Source->Shutdown(), S_OK);
    const PROPVARIANT empty {};
    for (HRESULT hr : { Source->Shutdown(), Source->Start(Descriptor.Get(), &GUID_NULL, &empty), Source->Stop(), Source->Pause(),
             MediaStream->RequestSample(nullptr) })
        EXPECT_EQ(hr, MF_E_SHUTDOWN);
}

TEST_F(SourceTest, RefusedCallsAndRateAnswers)
{
    Create();
    PROPVARIANT empty {}, real { .vt = VT_R8 };
    float rate = 0;
    BOOL thin = 1;
    ComPtr<IUnknown> service;
    ComPtr<IMFAttributes> attributes;
    ComPtr<IMFPresentationClock> clock;
    const HRESULT results[][2] = {
        { Source->Start(nullptr, &GUID_NULL, &empty), E_INVALIDARG },
        { Source->Start(Descriptor.Get(), &GUID_NULL, nullptr), E_INVALIDARG },
        { Source->Start(Descriptor.Get(), nullptr, &empty), MF_E_UNSUPPORTED_TIME_FORMAT },
        { Source->Start(Descriptor.Get(), &MFMediaType_Video, &empty), MF_E_UNSUPPORTED_TIME_FORMAT },
        { Source->Start(Descriptor.Get(), &GUID_NULL, &real), MF_E_UNSUPPORTED_TIME_FORMAT },
        { Source->SetRate(0, -1.0f), MF_E_REVERSE_UNSUPPORTED },
        { Source->SetRate(1, 1.0f), MF_E_THINNING_UNSUPPORTED },
        { Source->IsRateSupported(0, -1.0f, nullptr), MF_E_UNSUPPORTED_RATE },
        { Source->GetSlowestRate(MFRATE_REVERSE, 0, &rate), MF_E_REVERSE_UNSUPPORTED },
        { Source->GetFastestRate(MFRATE_FORWARD, 1, &rate), MF_E_THINNING_UNSUPPORTED },
        { Source->GetService(MF_RATE_CONTROL_SERVICE, IMFRateControl::IID, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())), S_OK },
        { Source->GetService(MF_PD_DURATION, IMFRateControl::IID, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())), MF_E_UNSUPPORTED_SERVICE },
        { Source->GetStreamAttributes(1, attributes.GetAddressOf()), MF_E_INVALIDSTREAMNUMBER },
        { Source->GetPresentationClock(clock.GetAddressOf()), MF_E_NO_CLOCK },
        { Source->SetD3DManager(nullptr), E_INVALIDARG },
        { Source->SetRate(0, 2.0f), S_OK },
        { Source->GetRate(&thin, &rate), S_OK },
    };
    for (size_t row = 0; row < std::size(results); ++row)
        EXPECT_EQ(results[row][0], results[row][1]) << "row " << row;
    EXPECT_EQ(rate, 2.0f);
    EXPECT_FALSE(thin);
    ASSERT_EQ(Source->GetFastestRate(MFRATE_FORWARD, 0, &rate), S_OK);
    EXPECT_EQ(rate, std::numeric_limits<float>::max());
    ASSERT_TRUE(SourceEvents->WaitFor(MESourceRateChanged));

    for (const IID& iid : { IMFMediaEventGenerator::IID, IMFMediaSourceEx::IID, IMFMediaSource::IID, IMFClockConsumer::IID,
             IMFClockStateSink::IID, IMFGetService::IID, IMFRateSupport::IID, IMFRateControl::IID, IMFShutdown::IID })
        EXPECT_EQ(Source->QueryInterface(iid, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())),
            iid == IMFShutdown::IID ? E_NOINTERFACE : S_OK);
    // A start whose stream is deselected fails in its event, with a line-coded failure.
    ASSERT_EQ(Descriptor->DeselectStream(0), S_OK);
    ASSERT_EQ(Source->Start(Descriptor.Get(), &GUID_NULL, &empty), S_OK);
    ASSERT_TRUE(SourceEvents->WaitFor(MESourceStarted));
    EXPECT_EQ(UINT32(SourceEvents->Of(MESourceStarted).front().Status) & 0xFFFF0000u, 0x80FF0000u);
}

// With the system clock a sample is not delivered more than a third of its duration before
// its time is due (measured from before the start, so that a slow machine cannot fail it).
TEST_F(SourceTest, SamplesArePacedAgainstTheSystemClock)
{
    Create(30, 1, 5'000'000, true);
    std::mutex lock;
    std::vector<LONGLONG> arrivals;
    const LONGLONG started = MFGetSystemTime();
    Start();
    StreamEvents->SetReaction([&](const EventRecorder::Record& record) {
        if (record.Type == MEMediaSample)
        {
            std::lock_guard guard(lock);
            arrivals.push_back(MFGetSystemTime() - started);
        }
    });
    for (int request = 0; request < 16; ++request)
        ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
    ASSERT_TRUE(StreamEvents->WaitFor(MEEndOfStream));
    std::lock_guard guard(lock);
    ASSERT_EQ(arrivals.size(), 15u);
    for (UINT32 index = 0; index < 15; ++index)
        EXPECT_GE(arrivals[index], Stream::SampleTime(index, 30, 1) - 333'333 / 3) << index;
}

// The pipeline's use: through the media session to a sink, exactly duration x rate samples in order.
// The hardware path: frames drawn into render textures and copied into the allocator's texture
// samples, which carry the same picture (one written as a PNG).
TEST_F(SourceTest, HardwarePathDeliversTextureSamples)
{
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(),
                  nullptr, nullptr), S_OK);
    UINT32 token = 0;
    ComPtr<IMFDXGIDeviceManager> manager;
    ASSERT_EQ(MFCreateDXGIDeviceManager(&token, manager.GetAddressOf()), S_OK);
    ASSERT_EQ(manager->ResetDevice(device.Get(), token), S_OK);
    Create(30, 1, 10'000'000, false, true, manager.Get(), 640, 480);
    Start();
    for (int request = 0; request < 6; ++request)
        ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
    ASSERT_TRUE(StreamEvents->WaitFor(MEMediaSample, Patience, 6)) << StreamEvents->Text();
    EXPECT_EQ(SampleTimes(), ExpectedTimes(0, 6, 30, 1));
    ComPtr<IMFSample> sample;
    ASSERT_EQ(StreamEvents->Of(MEMediaSample).front().Value.As(&sample), S_OK);
    ComPtr<IMFMediaBuffer> buffer;
    ComPtr<IMFDXGIBuffer> surface;
    ComPtr<ID3D11Texture2D> texture;
    ASSERT_EQ(sample->GetBufferByIndex(0, buffer.GetAddressOf()), S_OK);
    ASSERT_EQ(buffer.As(&surface), S_OK);
    ASSERT_EQ(surface->GetResource(IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(texture.GetAddressOf())), S_OK);
    D3D11Host::TextureMemory memory;
    ASSERT_EQ(D3D11Host::GetTextureMemory(texture.Get(), 0, &memory), S_OK);
    const auto pixel = [&](UINT32 x, UINT32 y) { return reinterpret_cast<const UINT32*>(memory.Data + y * memory.RowPitch)[x] & 0xFFFFFF; };
    EXPECT_EQ(pixel(0, 0), 0u);
    EXPECT_EQ(pixel(130, 70), 0x00008Bu);
    EXPECT_EQ(pixel(127, 70), 0u);
    cairo_surface_t* image = cairo_image_surface_create_for_data(memory.Data, CAIRO_FORMAT_RGB24, 640, 480, int(memory.RowPitch));
    EXPECT_EQ(cairo_surface_write_to_png(image, XEV_TEST_BIN_DIR "/VideoFrame-Hardware-640x480-0.png"), CAIRO_STATUS_SUCCESS);
    cairo_surface_destroy(image);
}

// Stop and shutdown while operations wait for their time and for drawing sets: nothing is
// delivered between the stop and the next start, and nothing keeps the source alive after the
// shutdown (the sanitizer builds check for leaks).
TEST_F(SourceTest, StopAndShutdownWhileOperationsWait)
{
    Create(30, 1, std::nullopt, true);
    for (size_t run = 1; run <= 2; ++run)
    {
        Start(std::nullopt, run);
        for (int request = 0; request < 12; ++request)
            ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
        ASSERT_TRUE(StreamEvents->WaitFor(MEMediaSample, Patience, run == 1 ? 1 : 3));
    }
    ASSERT_EQ(Source->Stop(), S_OK);
    ASSERT_TRUE(StreamEvents->WaitFor(MEStreamStopped));
    Start(std::nullopt, 3);
    ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
    ASSERT_EQ(Source->Shutdown(), S_OK);
    const auto types = StreamEvents->Types();
    const auto stopped = std::find(types.begin(), types.end(), MEStreamStopped);
    EXPECT_EQ(std::find(stopped, std::find(stopped, types.end(), MEStreamStarted), MEMediaSample), std::find(stopped, types.end(), MEStreamStarted));
}
