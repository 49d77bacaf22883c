// Task memory, image sizes, 64-bit arithmetic and the packed attribute helpers.

#include "platform/mf/Api.h"

#include <cstdlib>
#include <limits>

namespace
{
// What the platform's safe-integer helpers answer for a result that does not fit.
constexpr HRESULT ArithmeticOverflow = HResultFromWin32(534); // ERROR_ARITHMETIC_OVERFLOW
} // namespace

void* CoTaskMemAlloc(size_t size) noexcept
{
    return std::malloc(size);
}

void CoTaskMemFree(void* memory) noexcept
{
    std::free(memory);
}

HRESULT MFCalculateImageSize(REFGUID subtype, UINT32 width, UINT32 height, UINT32* size)
{
    if (!size)
        return E_POINTER;
    *size = 0;
    uint64_t bytes = 0;
    if (subtype == MFVideoFormat_ARGB32 || subtype == MFVideoFormat_RGB32)
        bytes = uint64_t(width) * 4 * height;
    else if (subtype == MFVideoFormat_NV12)
        // Luma rows of an even width, then half as many interleaved chroma rows (the platform
        // truncates the half for an odd height).
        bytes = ((uint64_t(width) + 1) & ~uint64_t(1)) * height * 3 / 2;
    else if (subtype == MFVideoFormat_YUY2)
        // Four bytes per pair of pixels; an odd width still needs its whole last pair.
        bytes = (uint64_t(width) + 1) / 2 * 4 * height;
    else
        return E_INVALIDARG;
    if (bytes > std::numeric_limits<UINT32>::max())
        return ArithmeticOverflow;
    *size = static_cast<UINT32>(bytes);
    return S_OK;
}

LONGLONG MFllMulDiv(LONGLONG a, LONGLONG b, LONGLONG c, LONGLONG d)
{
    const __int128 numerator = static_cast<__int128>(a) * b + d;
    constexpr LONGLONG maximum = std::numeric_limits<LONGLONG>::max();
    constexpr LONGLONG minimum = std::numeric_limits<LONGLONG>::min();
    if (c == 0)
        return numerator < 0 ? minimum : maximum;
    const __int128 quotient = numerator / c; // truncates toward zero
    if (quotient > maximum)
        return maximum;
    if (quotient < minimum)
        return minimum;
    return static_cast<LONGLONG>(quotient);
}

HRESULT MFSetAttributeSize(IMFAttributes* attributes, REFGUID key, UINT32 width, UINT32 height)
{
    if (!attributes)
        return E_POINTER;
    return attributes->SetUINT64(key, Pack2UINT32AsUINT64(width, height));
}

HRESULT MFGetAttributeSize(IMFAttributes* attributes, REFGUID key, UINT32* width, UINT32* height)
{
    if (!attributes || !width || !height)
        return E_POINTER;
    UINT64 packed = 0;
    const HRESULT hr = attributes->GetUINT64(key, &packed);
    if (SUCCEEDED(hr))
        Unpack2UINT32AsUINT64(packed, width, height);
    return hr;
}

HRESULT MFSetAttributeRatio(IMFAttributes* attributes, REFGUID key, UINT32 numerator, UINT32 denominator)
{
    return MFSetAttributeSize(attributes, key, numerator, denominator);
}

HRESULT MFGetAttributeRatio(IMFAttributes* attributes, REFGUID key, UINT32* numerator, UINT32* denominator)
{
    return MFGetAttributeSize(attributes, key, numerator, denominator);
}

UINT32 MFGetAttributeUINT32(IMFAttributes* attributes, REFGUID key, UINT32 defaultValue)
{
    UINT32 value = 0;
    return attributes && SUCCEEDED(attributes->GetUINT32(key, &value)) ? value : defaultValue;
}

UINT64 MFGetAttributeUINT64(IMFAttributes* attributes, REFGUID key, UINT64 defaultValue)
{
    UINT64 value = 0;
    return attributes && SUCCEEDED(attributes->GetUINT64(key, &value)) ? value : defaultValue;
}
