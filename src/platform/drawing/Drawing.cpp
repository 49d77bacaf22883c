#include "Drawing.h"

#include "platform/d3d/Texture.h"

#include <algorithm>
#include <cairo.h>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <mutex>
#include <pango/pangocairo.h>
#include <string>

namespace Drawing
{
namespace
{
constexpr UINT32 SurfaceCacheSize = 16;

// Pango and fontconfig keep process-wide caches (fonts, coverage, shaping) that their objects
// share even across font maps; their use is serialised here, whichever factory it comes from.
// Held only for the text work itself (layout, metrics, glyph rendering), never across a call out.
std::mutex& TextLock()
{
    static std::mutex lock;
    return lock;
}

UINT32 ToByte(float value) noexcept
{
    return static_cast<UINT32>(std::lround(std::clamp(value, 0.0f, 1.0f) * 255.0f));
}

// Writes `count` pixels of one colour, 16 bytes a store where the host has vector registers.
void FillPixels(UINT32* pixels, int count, UINT32 value) noexcept
{
#if defined(__SSE2__)
    const __m128i block = _mm_set1_epi32(static_cast<int>(value));
    for (; count >= 16; count -= 16, pixels += 16)
    {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels), block);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 4), block);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 8), block);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + 12), block);
    }
#endif
    std::fill(pixels, pixels + count, value);
}

// Covered part of pixel `index` by the span [from, to).
float Coverage(int index, float from, float to) noexcept
{
    return std::max(0.0f, std::min(float(index + 1), to) - std::max(float(index), from));
}

// Source-over of an opaque colour with partial coverage.
inline UINT32 Blend(UINT32 destination, const float (&source)[3], float coverage) noexcept
{
    const float keep = 1.0f - coverage;
    const auto channel = [&](int shift, float value) {
        return static_cast<UINT32>(value * coverage + float((destination >> shift) & 0xFF) * keep + 0.5f) << shift;
    };
    return 0xFF000000u | channel(16, source[0]) | channel(8, source[1]) | channel(0, source[2]);
}
} // namespace

struct TextFactory::Impl
{
    PangoFontMap* FontMap = nullptr;
    PangoContext* Context = nullptr;
};

TextFactory::TextFactory() : m_Impl(std::make_unique<Impl>())
{
    std::lock_guard lock(TextLock());
    m_Impl->FontMap = pango_cairo_font_map_new();
    m_Impl->Context = pango_font_map_create_context(m_Impl->FontMap);
    // The same pixels on every machine: grey anti-aliasing, outlines unhinted, metrics unrounded.
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_NONE);
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(m_Impl->Context, options);
    cairo_font_options_destroy(options);
    pango_context_set_round_glyph_positions(m_Impl->Context, FALSE);
}

TextFactory::~TextFactory()
{
    std::lock_guard lock(TextLock());
    g_object_unref(m_Impl->Context);
    g_object_unref(m_Impl->FontMap);
}

struct TextFormat::Impl
{
    PangoFontDescription* Description = nullptr;
};

TextFormat::TextFormat(std::string_view family, int weight, int stretch, float size) : m_Impl(std::make_unique<Impl>())
{
    std::lock_guard lock(TextLock());
    m_Impl->Description = pango_font_description_new();
    const std::string familyText(family);
    pango_font_description_set_family(m_Impl->Description, familyText.c_str());
    pango_font_description_set_weight(m_Impl->Description, static_cast<PangoWeight>(std::clamp(weight, 100, 1000)));
    pango_font_description_set_stretch(m_Impl->Description, static_cast<PangoStretch>(std::clamp(stretch, 1, 9) - 1));
    pango_font_description_set_style(m_Impl->Description, PANGO_STYLE_NORMAL);
    pango_font_description_set_absolute_size(m_Impl->Description, double(size) * PANGO_SCALE);
}

TextFormat::~TextFormat()
{
    std::lock_guard lock(TextLock());
    pango_font_description_free(m_Impl->Description);
}

struct TextLayout::Impl
{
    PangoLayout* Layout = nullptr;
    std::string Text;  // the text laid out now; the same text in the same box is not laid out again
    int Width = -1;    // the box width laid out for, in pango units
};

TextLayout::TextLayout(const TextFactory& factory, const TextFormat& format) : m_Impl(std::make_unique<Impl>())
{
    std::lock_guard lock(TextLock());
    m_Impl->Layout = pango_layout_new(factory.Get().Context);
    pango_layout_set_font_description(m_Impl->Layout, format.Get().Description);
    pango_layout_set_wrap(m_Impl->Layout, PANGO_WRAP_WORD);
    pango_layout_set_alignment(m_Impl->Layout,
        format.GetTextAlignment() == TextAlignment::Center ? PANGO_ALIGN_CENTER : PANGO_ALIGN_LEFT);
}

TextLayout::~TextLayout()
{
    std::lock_guard lock(TextLock());
    g_object_unref(m_Impl->Layout);
}

void TextLayout::SetText(std::string_view text, float maxWidth, float maxHeight)
{
    const int width = static_cast<int>(std::max(0.0f, maxWidth) * PANGO_SCALE);
    if (width == m_Impl->Width && text == m_Impl->Text)
        return;
    m_Impl->Width = width;
    m_Impl->Text.assign(text);
    std::lock_guard lock(TextLock());
    pango_layout_set_width(m_Impl->Layout, width);
    pango_layout_set_text(m_Impl->Layout, text.data(), static_cast<int>(text.size()));
}

TextMetrics TextLayout::GetMetrics() const
{
    PangoRectangle logical {};
    std::lock_guard lock(TextLock());
    pango_layout_get_extents(m_Impl->Layout, nullptr, &logical);
    return { float(logical.x) / PANGO_SCALE, float(logical.width) / PANGO_SCALE, float(logical.height) / PANGO_SCALE };
}

struct RenderTarget::Surface
{
    BYTE* TopRow = nullptr;
    std::ptrdiff_t Pitch = 0;
    cairo_surface_t* Image = nullptr;
    cairo_t* Context = nullptr;

    void Release() noexcept
    {
        if (Context)
            cairo_destroy(Context);
        if (Image)
            cairo_surface_destroy(Image);
        *this = {};
    }
};

RenderTarget::RenderTarget(UINT32 width, UINT32 height)
    : m_Width(width), m_Height(height), m_Surfaces(std::make_unique<Surface[]>(SurfaceCacheSize))
{
}

RenderTarget::~RenderTarget()
{
    for (UINT32 index = 0; index < SurfaceCacheSize; ++index)
        m_Surfaces[index].Release();
}

HRESULT RenderTarget::BeginDraw(BYTE* topRow, std::ptrdiff_t pitch)
{
    if (!topRow || std::abs(pitch) < std::ptrdiff_t(m_Width) * 4 || (pitch & 3) != 0)
        return E_INVALIDARG;
    m_TopRow = topRow;
    m_Pitch = pitch;
    m_Current = nullptr;
    return S_OK;
}

HRESULT RenderTarget::BeginDraw(ID3D11Texture2D* texture)
{
    D3D11Host::TextureMemory memory;
    const HRESULT hr = D3D11Host::GetTextureMemory(texture, 0, &memory);
    if (FAILED(hr))
        return hr;
    if (memory.Format != DXGI_FORMAT_B8G8R8A8_UNORM || memory.Width != m_Width || memory.Height != m_Height)
        return E_INVALIDARG;
    return BeginDraw(memory.Data, std::ptrdiff_t(memory.RowPitch));
}

void RenderTarget::FillRectangle(const Rect& rect, const Color& color) { Fill(rect, color, nullptr); }

void RenderTarget::FillRectangle(const Rect& rect, const Color& color, const Color& under) { Fill(rect, color, &under); }

void RenderTarget::Fill(const Rect& rect, const Color& color, const Color* under)
{
    if (!m_TopRow)
        return;
    const float left = std::max(rect.Left, 0.0f), right = std::min(rect.Right, float(m_Width));
    const float top = std::max(rect.Top, 0.0f), bottom = std::min(rect.Bottom, float(m_Height));
    if (!(left < right && top < bottom))
        return;
    const float source[3] = { float(ToByte(color.Red)), float(ToByte(color.Green)), float(ToByte(color.Blue)) };
    const UINT32 solid = 0xFF000000u | ToByte(color.Red) << 16 | ToByte(color.Green) << 8 | ToByte(color.Blue);
    const UINT32 known = under ? 0xFF000000u | ToByte(under->Red) << 16 | ToByte(under->Green) << 8 | ToByte(under->Blue) : 0;
    // A partly covered pixel: blended over what it holds, or over the known colour without a read.
    const auto edge = [&](UINT32& pixel, float coverage) { pixel = Blend(under ? known : pixel, source, coverage); };
    const int x0 = int(std::floor(left)), x1 = int(std::ceil(right));
    const int y0 = int(std::floor(top)), y1 = int(std::ceil(bottom));
    // Whole pixels between the partly covered edge columns.
    const int inner0 = int(std::ceil(left)), inner1 = std::max(inner0, int(std::floor(right)));
    for (int y = y0; y < y1; ++y)
    {
        UINT32* row = reinterpret_cast<UINT32*>(m_TopRow + m_Pitch * y);
        const float rowCoverage = Coverage(y, top, bottom);
        if (rowCoverage >= 1.0f)
        {
            FillPixels(row + inner0, inner1 - inner0, solid);
            if (x0 < inner0)
                edge(row[x0], Coverage(x0, left, right));
            if (inner1 < x1)
                edge(row[inner1], Coverage(inner1, left, right));
        }
        else
        {
            for (int x = x0; x < x1; ++x)
                edge(row[x], rowCoverage * Coverage(x, left, right));
        }
    }
}

RenderTarget::Surface* RenderTarget::BindSurface()
{
    if (m_Current)
        return m_Current;
    for (UINT32 index = 0; index < SurfaceCacheSize; ++index)
    {
        Surface& surface = m_Surfaces[index];
        if (surface.Image && surface.TopRow == m_TopRow && surface.Pitch == m_Pitch)
            return m_Current = &surface;
    }
    Surface& surface = m_Surfaces[m_NextSurface];
    m_NextSurface = (m_NextSurface + 1) % SurfaceCacheSize;
    surface.Release();
    surface.Image = cairo_image_surface_create_for_data(
        m_TopRow, CAIRO_FORMAT_RGB24, int(m_Width), int(m_Height), int(m_Pitch));
    surface.Context = cairo_create(surface.Image);
    surface.TopRow = m_TopRow;
    surface.Pitch = m_Pitch;
    return m_Current = &surface;
}

void RenderTarget::DrawTextLayout(Point origin, const TextLayout& layout, const Color& color)
{
    if (!m_TopRow)
        return;
    Surface* surface = BindSurface();
    cairo_t* context = surface->Context;
    cairo_set_source_rgba(context, color.Red, color.Green, color.Blue, color.Alpha);
    cairo_move_to(context, origin.X, origin.Y);
    std::lock_guard lock(TextLock());
    pango_cairo_show_layout(context, layout.Get().Layout);
}

HRESULT RenderTarget::EndDraw()
{
    HRESULT result = S_OK;
    if (m_Current)
    {
        cairo_surface_flush(m_Current->Image);
        if (cairo_status(m_Current->Context) != CAIRO_STATUS_SUCCESS || cairo_surface_status(m_Current->Image) != CAIRO_STATUS_SUCCESS)
        {
            result = E_FAIL;
            m_Current->Release();
        }
    }
    m_TopRow = nullptr;
    m_Current = nullptr;
    return result;
}
} // namespace Drawing
