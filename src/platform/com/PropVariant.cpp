#include "PropVariant.h"

#include "Unknown.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

void PropVariantInit(PROPVARIANT* value) noexcept
{
    std::memset(value, 0, sizeof(*value));
}

HRESULT PropVariantClear(PROPVARIANT* value) noexcept
{
    if (!value)
        return S_OK;
    switch (value->vt)
    {
    case VT_UNKNOWN:
        if (value->punkVal)
            value->punkVal->Release();
        break;
    case VT_CLSID:
        std::free(value->puuid);
        break;
    case VT_LPWSTR:
    case VT_LPSTR:
        std::free(value->pwszVal);
        break;
    case VT_VECTOR | VT_UI1:
        std::free(value->caub.pElems);
        break;
    case VT_EMPTY: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_I8: case VT_UI8:
        break;
    default:
        return E_INVALIDARG;
    }
    PropVariantInit(value);
    return S_OK;
}

HRESULT PropVariantCopy(PROPVARIANT* destination, const PROPVARIANT* source) noexcept
{
    if (!destination || !source)
        return E_POINTER;
    PROPVARIANT copy = *source;
    switch (source->vt)
    {
    case VT_UNKNOWN:
        if (copy.punkVal)
            copy.punkVal->AddRef();
        break;
    case VT_CLSID:
        if (source->puuid)
        {
            copy.puuid = static_cast<CLSID*>(std::malloc(sizeof(CLSID)));
            if (!copy.puuid) return E_OUTOFMEMORY;
            *copy.puuid = *source->puuid;
        }
        break;
    case VT_LPWSTR:
    case VT_LPSTR:
        if (source->pwszVal)
        {
            copy.pwszVal = strdup(source->pwszVal);
            if (!copy.pwszVal) return E_OUTOFMEMORY;
        }
        break;
    case VT_VECTOR | VT_UI1:
        copy.caub.pElems = nullptr;
        if (source->caub.cElems)
        {
            copy.caub.pElems = static_cast<BYTE*>(std::malloc(source->caub.cElems));
            if (!copy.caub.pElems) return E_OUTOFMEMORY;
            std::memcpy(copy.caub.pElems, source->caub.pElems, source->caub.cElems);
        }
        break;
    case VT_EMPTY: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_BOOL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4:
    case VT_I8: case VT_UI8:
        break;
    default:
        return E_INVALIDARG;
    }
    *destination = copy;
    return S_OK;
}

namespace
{
// Initialises `out` to a value of type `type` held in the member `Field`.
template <auto Field, class T>
HRESULT InitPropVariantFrom(VARTYPE type, T value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    PropVariantInit(out);
    out->vt = type;
    out->*Field = value;
    return S_OK;
}

// Initialises `out` to a deep copy of a value of type `type` that borrows the caller's data.
template <auto Field, class T>
HRESULT InitPropVariantFromCopy(VARTYPE type, T borrowed, PROPVARIANT* out) noexcept
{
    PROPVARIANT source;
    PropVariantInit(&source);
    source.vt = type;
    source.*Field = borrowed;
    return PropVariantCopy(out, &source);
}
} // namespace

HRESULT InitPropVariantFromUInt32(uint32_t value, PROPVARIANT* out) noexcept { return InitPropVariantFrom<&PROPVARIANT::ulVal>(VT_UI4, value, out); }
HRESULT InitPropVariantFromUInt64(uint64_t value, PROPVARIANT* out) noexcept { return InitPropVariantFrom<&PROPVARIANT::uhVal>(VT_UI8, value, out); }
HRESULT InitPropVariantFromInt64(int64_t value, PROPVARIANT* out) noexcept { return InitPropVariantFrom<&PROPVARIANT::hVal>(VT_I8, value, out); }
HRESULT InitPropVariantFromDouble(double value, PROPVARIANT* out) noexcept { return InitPropVariantFrom<&PROPVARIANT::dblVal>(VT_R8, value, out); }

HRESULT InitPropVariantFromCLSID(REFCLSID value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    return InitPropVariantFromCopy<&PROPVARIANT::puuid>(VT_CLSID, const_cast<CLSID*>(&value), out);
}

HRESULT InitPropVariantFromString(const char* value, PROPVARIANT* out) noexcept
{
    if (!out || !value) return E_POINTER;
    return InitPropVariantFromCopy<&PROPVARIANT::pwszVal>(VT_LPWSTR, const_cast<char*>(value), out);
}

HRESULT InitPropVariantFromBuffer(const void* data, uint32_t size, PROPVARIANT* out) noexcept
{
    if (!out || (!data && size)) return E_POINTER;
    return InitPropVariantFromCopy<&PROPVARIANT::caub>(VT_VECTOR | VT_UI1, CAUB { size, static_cast<BYTE*>(const_cast<void*>(data)) }, out);
}

HRESULT InitPropVariantFromUnknown(IUnknown* value, PROPVARIANT* out) noexcept
{
    const HRESULT hr = InitPropVariantFrom<&PROPVARIANT::punkVal>(VT_UNKNOWN, value, out);
    if (SUCCEEDED(hr) && value)
        value->AddRef();
    return hr;
}

HRESULT VariantCopy(PROPVARIANT* destination, const PROPVARIANT* source) noexcept
{
    if (!destination || !source)
        return E_POINTER;
    if (destination == source)
        return S_OK;
    PROPVARIANT copy;
    if (const HRESULT hr = PropVariantCopy(&copy, source); FAILED(hr))
        return hr;
    if (const HRESULT hr = PropVariantClear(destination); FAILED(hr))
    {
        (void)PropVariantClear(&copy);
        return hr;
    }
    *destination = copy;
    return S_OK;
}

namespace
{
HRESULT ToUInt32(const PROPVARIANT& source, uint32_t* value) noexcept
{
    const auto fromSigned = [value](int64_t v) { return v < 0 || v > 0xFFFFFFFFll ? DISP_E_OVERFLOW : (*value = uint32_t(v), S_OK); };
    const auto fromReal = [value](double v) {
        const double rounded = std::nearbyint(v);
        return !(rounded >= 0 && rounded <= 4294967295.0) ? DISP_E_OVERFLOW : (*value = uint32_t(rounded), S_OK);
    };
    switch (source.vt)
    {
    case VT_I1: return fromSigned(static_cast<int8_t>(source.iVal & 0xFF));
    case VT_UI1: return fromSigned(source.uiVal & 0xFF);
    case VT_I2: return fromSigned(source.iVal);
    case VT_UI2: return fromSigned(source.uiVal);
    case VT_I4: return fromSigned(source.lVal);
    case VT_UI4: return *value = source.ulVal, S_OK;
    case VT_I8: return fromSigned(source.hVal);
    case VT_UI8: return source.uhVal > 0xFFFFFFFFull ? DISP_E_OVERFLOW : (*value = uint32_t(source.uhVal), S_OK);
    case VT_R4: return fromReal(source.fltVal);
    case VT_R8: return fromReal(source.dblVal);
    case VT_BOOL: return *value = source.boolVal ? 0xFFFFFFFFu : 0u, S_OK;
    case VT_LPWSTR:
    case VT_LPSTR:
    {
        const char* text = source.pwszVal;
        if (!text || *text < '0' || *text > '9')
            return DISP_E_TYPEMISMATCH;
        char* end = nullptr;
        errno = 0;
        const unsigned long long parsed = std::strtoull(text, &end, 10);
        if (*end != '\0')
            return DISP_E_TYPEMISMATCH;
        return errno == ERANGE || parsed > 0xFFFFFFFFull ? DISP_E_OVERFLOW : (*value = uint32_t(parsed), S_OK);
    }
    default:
        return DISP_E_TYPEMISMATCH;
    }
}
} // namespace

HRESULT VariantChangeType(PROPVARIANT* destination, const PROPVARIANT* source, uint16_t flags, VARTYPE type) noexcept
{
    if (!destination || !source)
        return E_POINTER;
    if (type != VT_UI4)
        return E_NOTIMPL;
    uint32_t value = 0;
    if (const HRESULT hr = ToUInt32(*source, &value); FAILED(hr))
        return hr;
    if (const HRESULT hr = PropVariantClear(destination); FAILED(hr))
        return hr;
    return InitPropVariantFromUInt32(value, destination);
}
