// The video source and its stream: sample arithmetic, the hardware path, and stop and shutdown
// while operations wait (whole runs, stop and start again are the session's real runs).

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
    EXPECT_EQ(SampleTimes(), (std::vector<LONGLONG> { 0, 333'333, 666'666, 1'000'000, 1'333'333, 1'666'666 }));
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
