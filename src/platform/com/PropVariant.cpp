#include "PropVariant.h"

#include "Unknown.h"

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

HRESULT InitPropVariantFromUInt32(uint32_t value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    PropVariantInit(out);
    out->vt = VT_UI4;
    out->ulVal = value;
    return S_OK;
}

HRESULT InitPropVariantFromUInt64(uint64_t value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    PropVariantInit(out);
    out->vt = VT_UI8;
    out->uhVal = value;
    return S_OK;
}

HRESULT InitPropVariantFromInt64(int64_t value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    PropVariantInit(out);
    out->vt = VT_I8;
    out->hVal = value;
    return S_OK;
}

HRESULT InitPropVariantFromDouble(double value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    PropVariantInit(out);
    out->vt = VT_R8;
    out->dblVal = value;
    return S_OK;
}

HRESULT InitPropVariantFromBoolean(bool value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    PropVariantInit(out);
    out->vt = VT_BOOL;
    out->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT InitPropVariantFromCLSID(REFCLSID value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    PROPVARIANT source;
    PropVariantInit(&source);
    source.vt = VT_CLSID;
    source.puuid = const_cast<CLSID*>(&value);
    return PropVariantCopy(out, &source);
}

HRESULT InitPropVariantFromString(const char* value, PROPVARIANT* out) noexcept
{
    if (!out || !value) return E_POINTER;
    PROPVARIANT source;
    PropVariantInit(&source);
    source.vt = VT_LPWSTR;
    source.pwszVal = const_cast<char*>(value);
    return PropVariantCopy(out, &source);
}

HRESULT InitPropVariantFromBuffer(const void* data, uint32_t size, PROPVARIANT* out) noexcept
{
    if (!out || (!data && size)) return E_POINTER;
    PROPVARIANT source;
    PropVariantInit(&source);
    source.vt = VT_VECTOR | VT_UI1;
    source.caub.cElems = size;
    source.caub.pElems = static_cast<BYTE*>(const_cast<void*>(data));
    return PropVariantCopy(out, &source);
}

HRESULT InitPropVariantFromUnknown(IUnknown* value, PROPVARIANT* out) noexcept
{
    if (!out) return E_POINTER;
    PropVariantInit(out);
    out->vt = VT_UNKNOWN;
    out->punkVal = value;
    if (value)
        value->AddRef();
    return S_OK;
}
