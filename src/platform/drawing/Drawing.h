#pragma once
// The drawing layer: what the video source draws its frames with, the stand-in for the 2D and
// text factories of the platform. Surfaces are 32-bit BGRx pixels (B, G, R, unused) in memory the
// caller owns; text is shaped and rendered with pango and cairo, fonts found through fontconfig
// (a family that is missing is replaced by the nearest installed face).
//
// Coordinates are pixels with (0, 0) at the top-left corner of the picture; a pixel (x, y)
// covers [x, x + 1) x [y, y + 1). Fills are anti-aliased by exact area coverage.
//
// Threads: none of these objects is shared between threads at the same time. Objects made from
// one TextFactory must be used one at a time (the video source uses them on its serial queue);
// different factories may be used concurrently.

#include "platform/com/Types.h"
#include "platform/d3d/D3D11.h"

#include <cstddef>
#include <memory>
#include <string_view>

namespace Drawing
{
struct Color
{
    float Red = 0, Green = 0, Blue = 0, Alpha = 1;
};
struct Rect
{
    float Left = 0, Top = 0, Right = 0, Bottom = 0;
};
struct Point
{
    float X = 0, Y = 0;
};

// Font stretch as the platform numbers it: 1 ultra-condensed .. 5 normal .. 9 ultra-expanded.
constexpr int StretchSemiCondensed = 4;
constexpr int StretchNormal = 5;

enum class TextAlignment
{
    Leading,
    Center,
};

// Font discovery and text shaping state; one per user that draws on its own thread.
class TextFactory
{
public:
    TextFactory();
    ~TextFactory();
    TextFactory(const TextFactory&) = delete;
    TextFactory& operator=(const TextFactory&) = delete;

    struct Impl;
    Impl& Get() const noexcept { return *m_Impl; }

private:
    std::unique_ptr<Impl> m_Impl;
};

// A font (family, weight 100..900, stretch 1..9, size in pixels) and a paragraph alignment.
class TextFormat
{
public:
    TextFormat(std::string_view family, int weight, int stretch, float size);
    ~TextFormat();
    TextFormat(const TextFormat&) = delete;
    TextFormat& operator=(const TextFormat&) = delete;

    void SetTextAlignment(TextAlignment alignment) noexcept { m_Alignment = alignment; }
    TextAlignment GetTextAlignment() const noexcept { return m_Alignment; }

    struct Impl;
    Impl& Get() const noexcept { return *m_Impl; }

private:
    std::unique_ptr<Impl> m_Impl;
    TextAlignment m_Alignment = TextAlignment::Leading;
};

// Extent of laid-out text relative to the layout box: Left is where the text starts (an offset
// within the box, as centring gives), Width and Height its size.
struct TextMetrics
{
    float Left = 0, Width = 0, Height = 0;
};

// Text laid out in a box of the given width (lines wrap at words) with a format. A layout may be
// given new text and a new box again and again; it keeps its shaping state between uses.
class TextLayout
{
public:
    TextLayout(const TextFactory& factory, const TextFormat& format);
    ~TextLayout();
    TextLayout(const TextLayout&) = delete;
    TextLayout& operator=(const TextLayout&) = delete;

    // UTF-8 text. The height is kept for the caller; text is not clipped to it.
    void SetText(std::string_view text, float maxWidth, float maxHeight);
    TextMetrics GetMetrics() const;

    struct Impl;
    Impl& Get() const noexcept { return *m_Impl; }

private:
    std::unique_ptr<Impl> m_Impl;
};

// Draws into 32-bit BGRx memory of a fixed size. Bind the memory with BeginDraw (rows run
// bottom-up in memory when the pitch is negative: pass the address of the picture's top row,
// which is then the last row of the block), draw, and EndDraw before the memory is used.
class RenderTarget
{
public:
    RenderTarget(UINT32 width, UINT32 height);
    ~RenderTarget();
    RenderTarget(const RenderTarget&) = delete;
    RenderTarget& operator=(const RenderTarget&) = delete;

    UINT32 Width() const noexcept { return m_Width; }
    UINT32 Height() const noexcept { return m_Height; }

    // E_INVALIDARG for a null pointer or a pitch shorter than a row.
    HRESULT BeginDraw(BYTE* topRow, std::ptrdiff_t pitch);
    // Draws into subresource 0 of a B8G8R8A8 texture of this size (after the copies the device
    // was given for it have completed).
    HRESULT BeginDraw(ID3D11Texture2D* texture);
    // Opaque colours replace what is covered (blended at partly covered edge pixels); the
    // rectangle is clipped to the surface.
    void FillRectangle(const Rect& rect, const Color& color);
    // The same over pixels known to be of the colour `under` (all that the rectangle touches):
    // partly covered pixels are mixed with it instead of being read, so every pixel is written
    // once and none is read.
    void FillRectangle(const Rect& rect, const Color& color, const Color& under);
    // The layout's box has its top-left corner at `origin`.
    void DrawTextLayout(Point origin, const TextLayout& layout, const Color& color);
    // A failure of the text renderer during the draw is reported here.
    HRESULT EndDraw();

private:
    struct Surface;
    Surface* BindSurface();
    void Fill(const Rect& rect, const Color& color, const Color* under);

    const UINT32 m_Width;
    const UINT32 m_Height;
    BYTE* m_TopRow = nullptr;
    std::ptrdiff_t m_Pitch = 0;
    // Text needs a renderer surface over the bound memory; surfaces are kept for the few blocks
    // that come back again and again, so that drawing into recycled memory makes none.
    std::unique_ptr<Surface[]> m_Surfaces;
    UINT32 m_NextSurface = 0;
    Surface* m_Current = nullptr; // the bound memory's surface, once text needed it
};
} // namespace Drawing
