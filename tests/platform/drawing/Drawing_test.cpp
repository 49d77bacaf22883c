// The drawing layer: fills covered by area at fractional edges, rows laid out bottom-up with a
// negative pitch, and text metrics of leading and centred layouts.

#include "platform/drawing/Drawing.h"

#include <gtest/gtest.h>

#include <vector>

using namespace Drawing;

TEST(Drawing, FillsCoverPixelsByAreaInEitherRowOrder)
{
    for (const int direction : { 1, -1 })
    {
        std::vector<UINT32> pixels(8 * 4, 0xFF000000);
        RenderTarget target(8, 4);
        BYTE* top = reinterpret_cast<BYTE*>(pixels.data()) + (direction < 0 ? 3 * 32 : 0);
        ASSERT_EQ(target.BeginDraw(top, 32 * direction), S_OK);
        target.FillRectangle({ 1.5f, 1, 3.25f, 2 }, { 1, 1, 1, 1 });
        target.FillRectangle({ 0, 2.5f, 1, 3 }, { 0, 0, 1, 1 });
        target.FillRectangle({ -5, -5, 0.5f, 0.5f }, { 1, 0, 0, 1 }); // clipped to the quarter of pixel (0, 0)
        ASSERT_EQ(target.EndDraw(), S_OK);
        const auto at = [&](int x, int y) { return pixels[size_t(direction < 0 ? 3 - y : y) * 8 + x]; };
        const UINT32 row1[] = { 0xFF000000, 0xFF808080, 0xFFFFFFFF, 0xFF404040, 0xFF000000 };
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(at(x, 1), row1[x]) << x << " " << direction;
        EXPECT_EQ(at(0, 2), 0xFF000080u);
        EXPECT_EQ(at(0, 0), 0xFF400000u);
        EXPECT_EQ(at(1, 0), 0xFF000000u);
    }
    RenderTarget target(8, 4);
    UINT32 pixel = 0;
    EXPECT_EQ(target.BeginDraw(nullptr, 32), E_INVALIDARG);
    EXPECT_EQ(target.BeginDraw(reinterpret_cast<BYTE*>(&pixel), 16), E_INVALIDARG);
}

TEST(Drawing, LeadingAndCentredLayoutMetrics)
{
    TextFactory factory;
    TextFormat leading("Trebuchet MS", 600, StretchNormal, 20), centred("Trebuchet MS", 500, StretchSemiCondensed, 20);
    centred.SetTextAlignment(TextAlignment::Center);
    TextLayout left(factory, leading), middle(factory, centred);
    left.SetText("0123", 200, 50);
    middle.SetText("0123", 200, 50);
    const TextMetrics a = left.GetMetrics(), b = middle.GetMetrics();
    EXPECT_EQ(a.Left, 0.0f);
    EXPECT_GT(a.Width, 20.0f);
    EXPECT_GT(a.Height, 20.0f);
    EXPECT_NEAR(b.Left + b.Width / 2, 100.0f, 1.0f);
    middle.SetText("0123 4567 89ab", 60, 50); // wraps at words
    EXPECT_GT(middle.GetMetrics().Height, 2 * a.Height);
}
