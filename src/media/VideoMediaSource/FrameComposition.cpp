// The picture of every frame and how it becomes a sample.

#include "VideoMediaSource.h"

#include "media/Common/MediaBufferLock.h"
#include "media/Common/Names.h"
#include "media/VideoSampleAllocator/VideoSampleAllocator.h"

#include <cmath>
#include <cstdio>
#include <cstring>

using Stream = VideoMediaSource::Stream;

namespace
{
constexpr char FontFamily[] = "Trebuchet MS";

Drawing::Color ColorOf(UINT32 rgb)
{
    return { float((rgb >> 16) & 0xFF) / 255.0f, float((rgb >> 8) & 0xFF) / 255.0f, float(rgb & 0xFF) / 255.0f, 1.0f };
}

void CheckDraw(HRESULT hr) { XEV_CHECK_HR(hr); }
} // namespace

void Stream::FormatClockText(const VideoFrameFormat& format, LONGLONG time, char* text, size_t capacity)
{
    if (format.BaseTime)
    {
        const FILETIME utc = SystemTime::FromUInt64(*format.BaseTime + static_cast<UINT64>(time));
        FILETIME local {};
        SYSTEMTIME fields {};
        XEV_CHECK(FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &fields), E_INVALIDARG);
        std::snprintf(text, capacity, "%02u:%02u:%02u.%03u", unsigned(fields.wHour), unsigned(fields.wMinute),
            unsigned(fields.wSecond), unsigned(fields.wMilliseconds));
    }
    else
    {
        std::snprintf(text, capacity, "%s", MF::FormatTime(time).c_str());
    }
}

void Stream::FormatCaptionText(const VideoFrameFormat& format, char* text, size_t capacity)
{
    char inner[64];
    const int length = std::snprintf(inner, sizeof(inner), "%ux%u@%.2f", format.Width, format.Height,
        double(format.RateNumerator) / double(format.RateDenominator));
    if (length >= 4 && length < int(sizeof(inner)) && std::strcmp(inner + length - 3, ".00") == 0)
        inner[length - 3] = 0;
    std::snprintf(text, capacity, "(%s)", inner);
}

namespace
{
void SetSampleAttributes(IMFSample* sample, UINT32 index, LONGLONG time, LONGLONG duration, IUnknown* token)
{
    XEV_CHECK_HR(sample->SetSampleTime(time));
    XEV_CHECK_HR(sample->SetSampleDuration(duration));
    if (index == 0)
        XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_Discontinuity, 1));
    XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_CleanPoint, 1));
    if (token)
        XEV_CHECK_HR(sample->SetUnknown(MFSampleExtension_Token, token));
}
} // namespace

void Stream::ResourceSet::Prepare(ID3D11Device* device, const D3D11_TEXTURE2D_DESC& renderTextureDescription,
    std::shared_ptr<Drawing::TextFactory> factory, UINT32 backgroundColor)
{
    const UINT32 width = renderTextureDescription.Width, height = renderTextureDescription.Height;
    if (device)
    {
        ComPtr<ID3D11DeviceContext> context;
        device->GetImmediateContext(context.GetAddressOf());
        XEV_CHECK_POINTER(context.Get());
        XEV_CHECK_HR(context.As(&m_DeviceContext));
        XEV_CHECK_HR(device->CreateTexture2D(&renderTextureDescription, nullptr, m_RenderTexture.GetAddressOf()));
    }
    m_RenderTarget = std::make_unique<Drawing::RenderTarget>(width, height);
    m_BlackBrush = { 0, 0, 0, 1 };
    m_BackgroundBrush = ColorOf(backgroundColor);
    m_TextBrush = { 240.0f / 255.0f, 230.0f / 255.0f, 140.0f / 255.0f, 1.0f };
    const float h = float(height);
    m_LargeFormat = std::make_unique<Drawing::TextFormat>(FontFamily, 600, Drawing::StretchNormal, h / 6);
    m_MediumFormat = std::make_unique<Drawing::TextFormat>(FontFamily, 500, Drawing::StretchSemiCondensed, h / 12);
    m_SmallFormat = std::make_unique<Drawing::TextFormat>(FontFamily, 500, Drawing::StretchSemiCondensed, h / 32);
    m_SmallFormat->SetTextAlignment(Drawing::TextAlignment::Center);
    m_IndexLayout = std::make_unique<Drawing::TextLayout>(*factory, *m_LargeFormat);
    m_ClockLayout = std::make_unique<Drawing::TextLayout>(*factory, *m_MediumFormat);
    m_CaptionLayout = std::make_unique<Drawing::TextLayout>(*factory, *m_SmallFormat);
    m_TextFactory = std::move(factory);
    if (device)
        m_CompletionEvent = std::make_unique<Sync::Event>(Sync::Event::ResetMode::Auto);
}

void Stream::DrawFrame(const VideoFrameFormat& format, ResourceSet& set, UINT32 index, LONGLONG time, BYTE* topRow, std::ptrdiff_t pitch)
{
    Drawing::RenderTarget& target = *set.m_RenderTarget;
    CheckDraw(topRow ? target.BeginDraw(topRow, pitch) : target.BeginDraw(set.m_RenderTexture.Get()));
    const float W = float(format.Width), H = float(format.Height);
    const float s = std::sin(float(index) * 6.2831855f / ((float(format.RateNumerator) * 4.0f) / float(format.RateDenominator))) * (W / 6.0f);
    const Drawing::Rect rect { W / 5 + s, H * 0.125f, (W - W / 5) + s, H - H * 0.125f };

    // Black where the rectangle leaves the frame uncovered, then the rectangle with its partly
    // covered edge pixels mixed over black: the picture of a black frame with the rectangle
    // filled over it, with every pixel written once.
    const float top = std::floor(rect.Top), bottom = std::ceil(rect.Bottom);
    target.FillRectangle({ 0, 0, W, top }, set.m_BlackBrush);
    target.FillRectangle({ 0, bottom, W, H }, set.m_BlackBrush);
    target.FillRectangle({ 0, top, std::floor(rect.Left), bottom }, set.m_BlackBrush);
    target.FillRectangle({ std::ceil(rect.Right), top, W, bottom }, set.m_BlackBrush);
    target.FillRectangle(rect, set.m_BackgroundBrush, set.m_BlackBrush);

    char indexText[16], clockText[48], captionText[96];
    std::snprintf(indexText, sizeof(indexText), "%u", index);
    FormatClockText(format, time, clockText, sizeof(clockText));
    FormatCaptionText(format, captionText, sizeof(captionText));
    const float boxWidth = rect.Right - rect.Left, boxHeight = rect.Bottom - rect.Top;
    set.m_IndexLayout->SetText(indexText, boxWidth, boxHeight);
    set.m_ClockLayout->SetText(clockText, boxWidth, boxHeight);
    set.m_CaptionLayout->SetText(captionText, boxWidth, boxHeight);
    const Drawing::TextMetrics metrics[] = { set.m_IndexLayout->GetMetrics(), set.m_ClockLayout->GetMetrics(),
        set.m_CaptionLayout->GetMetrics() };
    // The index and the clock are centred as a pair; the caption sits right under the clock.
    const float y1 = (rect.Top + rect.Bottom - (metrics[0].Height + metrics[1].Height)) / 2;
    const float y[] = { y1, y1 + metrics[0].Height, y1 + metrics[0].Height + metrics[1].Height };
    const Drawing::TextLayout* layouts[] = { set.m_IndexLayout.get(), set.m_ClockLayout.get(), set.m_CaptionLayout.get() };
    for (int k = 0; k < 3; ++k)
    {
        const float x = (rect.Left + rect.Right - metrics[k].Width) / 2 - metrics[k].Left;
        target.DrawTextLayout({ x, y[k] }, *layouts[k], set.m_TextBrush);
    }
    CheckDraw(target.EndDraw());
}

ComPtr<IMFSample> Stream::ComposeSoftwareSample(const VideoFrameFormat& format, ResourceSet& set, UINT32 index, LONGLONG time,
    LONGLONG duration, IUnknown* token)
{
    ComPtr<IMFSample> sample;
    XEV_CHECK_HR(MFCreateSample(sample.GetAddressOf()));
    ComPtr<IMFMediaBuffer> buffer;
    XEV_CHECK_HR(MFCreateMemoryBuffer(format.Width * format.Height * 4, buffer.GetAddressOf()));
    {
        MF::MediaBufferLock lock(buffer.Get());
        const DWORD pitch = lock.DataCapacity() / format.Height;
        // Drawn straight into the buffer with the rows laid out bottom-up: the buffer's first row
        // is the picture's last.
        DrawFrame(format, set, index, time, lock.Data() + std::ptrdiff_t(pitch) * (format.Height - 1), -std::ptrdiff_t(pitch));
        XEV_CHECK_HR(buffer->SetCurrentLength(pitch * format.Height));
        lock.Unlock();
    }
    XEV_CHECK_HR(sample->AddBuffer(buffer.Get()));
    SetSampleAttributes(sample.Get(), index, time, duration, token);
    return sample;
}

bool Stream::ComposeSample(ComposeSampleOperation* operation)
{
    ResourceSet& set = *operation->m_ResourceSet;
    if (!m_SampleAllocator)
    {
        operation->m_Sample = ComposeSoftwareSample(m_Format, set, operation->m_SampleIndex, operation->m_SampleTime,
            operation->m_SampleDuration, operation->m_Token.Get());
        return true;
    }

    ComPtr<IMFSample> sample;
    const HRESULT allocated = m_SampleAllocator->AllocateSample(sample.GetAddressOf());
    if (allocated == MF_E_SAMPLEALLOCATOR_EMPTY)
    {
        WaitingLocked(operation, m_Source->PutWaiting(m_SampleAllocator->GetSampleAvailableEvent(), operation, &operation->m_WaitingKey));
        return false;
    }
    XEV_CHECK_HR(allocated);
    ComPtr<IMFMediaBuffer> buffer;
    XEV_CHECK_HR(sample->GetBufferByIndex(0, buffer.GetAddressOf()));
    ComPtr<IMFDXGIBuffer> dxgiBuffer;
    XEV_CHECK_HR(buffer.As(&dxgiBuffer));
    ComPtr<ID3D11Texture2D> texture;
    XEV_CHECK_HR(dxgiBuffer->GetResource(IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(texture.GetAddressOf())));
    UINT32 subresource = 0;
    XEV_CHECK_HR(dxgiBuffer->GetSubresourceIndex(&subresource));

    DrawFrame(m_Format, set, operation->m_SampleIndex, operation->m_SampleTime);

    ComPtr<IDXGIKeyedMutex> keyedMutex;
    if (SUCCEEDED(QueryTo(texture.Get(), keyedMutex.GetAddressOf())))
        XEV_CHECK_HR(keyedMutex->AcquireSync(0, INFINITE));
    {
        // Released on every path, the copy's failure included.
        struct Release
        {
            IDXGIKeyedMutex* Mutex;
            ~Release()
            {
                if (Mutex)
                    (void)Mutex->ReleaseSync(0);
            }
        } release { keyedMutex.Get() };
        const D3D11_BOX box { 0, 0, 0, m_Format.Width, m_Format.Height, 1 };
        set.m_DeviceContext->CopySubresourceRegion(texture.Get(), subresource, 0, 0, 0, set.m_RenderTexture.Get(), 0, &box);
    }
    SetSampleAttributes(sample.Get(), operation->m_SampleIndex, operation->m_SampleTime, operation->m_SampleDuration,
        operation->m_Token.Get());
    operation->m_Sample = std::move(sample);
    set.m_DeviceContext->Flush1(D3D11_CONTEXT_TYPE_COPY, set.m_CompletionEvent.get());
    WaitingLocked(operation, m_Source->PutWaiting(set.m_CompletionEvent.get(), operation, &operation->m_WaitingKey));
    return false;
}
