// The drawn picture checked as a picture: the swinging rectangle's edges, black around it, text
// pixels in the text colour, the texts themselves, and the software sample laid out bottom-up.

#include "media/VideoMediaSource/VideoMediaSource.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using Stream = VideoMediaSource::Stream;

namespace
{
constexpr UINT32 Background = 0xFF00008B, Black = 0xFF000000, Text = 0xFFF0E68C;

struct Frame
{
    explicit Frame(UINT32 width, UINT32 height, UINT32 rate = 60, UINT32 scale = 1)
        : Format { width, height, rate, scale, std::nullopt }, Pixels(size_t(width) * height), Set(Make<Stream::ResourceSet>())
    {
        Set->Prepare(nullptr, { width, height }, std::make_shared<Drawing::TextFactory>(), 0x00008B);
    }
    void Draw(UINT32 index, LONGLONG time = 0)
    {
        Stream::DrawFrame(Format, *Set, index, time, reinterpret_cast<BYTE*>(Pixels.data()), Format.Width * 4);
    }
    UINT32 At(UINT32 x, UINT32 y) const { return Pixels[size_t(y) * Format.Width + x] | 0xFF000000; }
    // The first and one past the last column of the rectangle's colour on row y.
    std::pair<int, int> Span(UINT32 y) const
    {
        int first = -1, last = -1;
        for (UINT32 x = 0; x < Format.Width; ++x)
            if (At(x, y) == Background)
                (first < 0 ? first : last) = int(x), last = int(x);
        return { first, last + 1 };
    }
    size_t Count(UINT32 color, UINT32 top, UINT32 bottom) const
    {
        size_t count = 0;
        for (UINT32 y = top; y < bottom; ++y)
            for (UINT32 x = 0; x < Format.Width; ++x)
                count += At(x, y) == color;
        return count;
    }

    VideoFrameFormat Format;
    std::vector<UINT32> Pixels;
    ComPtr<Stream::ResourceSet> Set;
};

} // namespace

// At 1920x1080, 60/1: at rest (384..1536 wide, 135..945 high) at index 0, W/6 = 320
// to the right at a quarter period, to the left at three quarters.
TEST(FrameComposition, TheRectangleSwingsAndIsBlackAround)
{
    Frame frame(1920, 1080);
    const struct
    {
        UINT32 Index;
        int Shift;
    } cases[] = { { 0, 0 }, { 60, 320 }, { 180, -320 } };
    for (const auto& c : cases)
    {
        frame.Draw(c.Index);
        SCOPED_TRACE(c.Index);
        EXPECT_EQ(frame.Span(540), std::make_pair(384 + c.Shift, 1536 + c.Shift));
        for (UINT32 y : { 135u, 944u })
            EXPECT_EQ(frame.At(384 + c.Shift, y), Background);
        for (UINT32 y : { 0u, 134u, 945u, 1079u })
            EXPECT_EQ(frame.Count(Black, y, y + 1), 1920u);
        EXPECT_EQ(frame.At(383 + c.Shift, 540), Black);
        EXPECT_EQ(frame.At(1536 + c.Shift, 540), Black);
        // Text only inside the rectangle: the index above the middle, clock and caption below.
        EXPECT_GT(frame.Count(Text, 300, 540), 1000u);
        EXPECT_GT(frame.Count(Text, 540, 945), 1000u);
        EXPECT_EQ(frame.Count(Text, 0, 135) + frame.Count(Text, 945, 1080), 0u);
    }
}

// The software sample: 640x480x4 bytes, the picture's last row first, the flags of the first sample.
TEST(FrameComposition, SoftwareSampleIsBottomUp)
{
    Frame frame(640, 480, 30000, 1001);
    frame.Draw(1, 333667);
    const auto token = Make<Stream::ResourceSet>();
    for (UINT32 index : { 0u, 1u })
    {
        const auto sample = Stream::ComposeSoftwareSample(frame.Format, *frame.Set, index, 333667, 333667, token.Get());
        ComPtr<IMFMediaBuffer> buffer;
        ASSERT_EQ(sample->GetBufferByIndex(0, buffer.GetAddressOf()), S_OK);
        BYTE* data = nullptr;
        DWORD length = 0;
        ASSERT_EQ(buffer->Lock(&data, nullptr, &length), S_OK);
        ASSERT_EQ(length, 1228800u);
        for (UINT32 row = 0; index == 1 && row < 480; row += 7)
            ASSERT_EQ(std::memcmp(data + row * 2560, frame.Pixels.data() + (479 - row) * 640, 2560), 0) << row;
        (void)buffer->Unlock();
        LONGLONG time = 0;
        EXPECT_EQ(sample->GetSampleTime(&time), S_OK);
        EXPECT_EQ(time, 333667);
        EXPECT_EQ(MFGetAttributeUINT32(sample.Get(), MFSampleExtension_Discontinuity, 0), index == 0 ? 1u : 0u);
        EXPECT_EQ(MFGetAttributeUINT32(sample.Get(), MFSampleExtension_CleanPoint, 0), 1u);
        ComPtr<IUnknown> held;
        EXPECT_EQ(sample->GetUnknown(MFSampleExtension_Token, IUnknown::IID, reinterpret_cast<void**>(held.GetAddressOf())), S_OK);
    }
}

TEST(FrameComposition, ClockAndCaptionTexts)
{
    FILETIME base {};
    ASSERT_TRUE(LocalFileTimeToFileTime(&base, &base));
    const struct
    {
        UINT32 Width, Height, Numerator, Denominator;
        std::optional<UINT64> Base;
        LONGLONG Time;
        const char *Clock, *Caption;
    } cases[] = {
        { 1920, 1080, 60, 1, SystemTime::ToUInt64(base), 0, "00:00:00.000", "(1920x1080@60)" },
        { 1280, 720, 30000, 1001, SystemTime::ToUInt64(base), 36'612'345'678, "01:01:01.234", "(1280x720@29.97)" },
        { 640, 480, 25, 1, std::nullopt, 12'345'678, "00:00:01.234 5678", "(640x480@25)" },
        { 640, 480, 1, 1, std::nullopt, -5'000'000, "-00:00:00.500 0000", "(640x480@1)" },
    };
    for (const auto& c : cases)
    {
        char clock[48], caption[96];
        const VideoFrameFormat format { c.Width, c.Height, c.Numerator, c.Denominator, c.Base };
        Stream::FormatClockText(format, c.Time, clock, sizeof(clock));
        Stream::FormatCaptionText(format, caption, sizeof(caption));
        EXPECT_STREQ(clock, c.Clock);
        EXPECT_STREQ(caption, c.Caption);
    }
}
