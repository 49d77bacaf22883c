// The video source and its stream: event sequences of start, restart, pause, stop and shutdown,
// the refused calls, sample arithmetic, end of stream, pacing against the system clock, and the
// hardware path.

#include "SourceFixture.h"

#include "platform/d3d/Texture.h"
#include "platform/mf/Platform.h"

using Stream = VideoMediaSource::Stream;
using SessionTest::PatienceMilliseconds;
using SourceTest = SourceFixture;

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
    ASSERT_TRUE(StreamEvents->WaitFor(MEMediaSample, PatienceMilliseconds, 2));
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

TEST_F(SourceTest, RefusedCallsAndRateChange)
{
    Create();
    PROPVARIANT empty {}, real { .vt = VT_R8 };
    ComPtr<IUnknown> service;
    ComPtr<IMFAttributes> attributes;
    const HRESULT results[][2] = {
        { Source->Start(nullptr, &GUID_NULL, &empty), E_INVALIDARG },
        { Source->Start(Descriptor.Get(), nullptr, &empty), MF_E_UNSUPPORTED_TIME_FORMAT },
        { Source->Start(Descriptor.Get(), &GUID_NULL, &real), MF_E_UNSUPPORTED_TIME_FORMAT },
        { Source->SetRate(0, -1.0f), MF_E_REVERSE_UNSUPPORTED },
        { Source->GetService(MF_RATE_CONTROL_SERVICE, IMFRateControl::IID, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())), S_OK },
        { Source->GetService(MF_PD_DURATION, IMFRateControl::IID, reinterpret_cast<void**>(service.ReleaseAndGetAddressOf())), MF_E_UNSUPPORTED_SERVICE },
        { Source->GetStreamAttributes(1, attributes.GetAddressOf()), MF_E_INVALIDSTREAMNUMBER },
        { Source->SetRate(0, 2.0f), S_OK },
    };
    for (size_t row = 0; row < std::size(results); ++row)
        EXPECT_EQ(results[row][0], results[row][1]) << "row " << row;
    ASSERT_TRUE(SourceEvents->WaitFor(MESourceRateChanged));

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

// The hardware path: frames drawn into render textures and copied into the allocator's texture
// samples, which carry the same picture.
TEST_F(SourceTest, HardwarePathDeliversTextureSamples)
{
    const ComPtr<IMFDXGIDeviceManager> manager = SessionTest::SoftwareDeviceManager();
    Create(30, 1, 10'000'000, false, manager.Get(), 640, 480);
    Start();
    for (int request = 0; request < 6; ++request)
        ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
    ASSERT_TRUE(StreamEvents->WaitFor(MEMediaSample, PatienceMilliseconds, 6)) << StreamEvents->Text();
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
        ASSERT_TRUE(StreamEvents->WaitFor(MEMediaSample, PatienceMilliseconds, run == 1 ? 1 : 3));
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
