#pragma once
// PROPVARIANT: the platform's tagged value, with the types the media objects use.
// VT_LPWSTR holds UTF-8 text; strings, CLSIDs and blobs are owned copies freed by PropVariantClear.

#include "Guid.h"

struct IUnknown;

using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;

enum : VARTYPE
{
    VT_EMPTY = 0,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_CLSID = 72,
    VT_VECTOR = 0x1000,
};

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct CAUB
{
    ULONG cElems;
    BYTE* pElems;
};

struct PROPVARIANT
{
    VARTYPE vt;
    uint16_t wReserved1, wReserved2, wReserved3;
    union
    {
        int16_t iVal;
        uint16_t uiVal;
        int32_t lVal;
        uint32_t ulVal;
        int64_t hVal;
        uint64_t uhVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        IUnknown* punkVal;
        CLSID* puuid;
        char* pwszVal;
        CAUB caub;
    };
};

void PropVariantInit(PROPVARIANT* value) noexcept;
// Frees what the value owns (text, CLSID, blob; releases an IUnknown) and leaves it VT_EMPTY.
HRESULT PropVariantClear(PROPVARIANT* value) noexcept;
// Deep copy into an uninitialised or cleared destination. Unsupported types give E_INVALIDARG.
HRESULT PropVariantCopy(PROPVARIANT* destination, const PROPVARIANT* source) noexcept;

// Initialise an uninitialised value (no clear of what it held).
HRESULT InitPropVariantFromUInt32(uint32_t value, PROPVARIANT* out) noexcept;
HRESULT InitPropVariantFromUInt64(uint64_t value, PROPVARIANT* out) noexcept;
HRESULT InitPropVariantFromInt64(int64_t value, PROPVARIANT* out) noexcept;
HRESULT InitPropVariantFromDouble(double value, PROPVARIANT* out) noexcept;
HRESULT InitPropVariantFromCLSID(REFCLSID value, PROPVARIANT* out) noexcept;
HRESULT InitPropVariantFromString(const char* value, PROPVARIANT* out) noexcept;
HRESULT InitPropVariantFromBuffer(const void* data, uint32_t size, PROPVARIANT* out) noexcept;
// Takes an added reference.
HRESULT InitPropVariantFromUnknown(IUnknown* value, PROPVARIANT* out) noexcept;

// Codec settings take VARIANTs (here the same tagged value).
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005);
constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000A);
// Clears the destination, then copies the source into it (deep copy, as PropVariantCopy).
HRESULT VariantCopy(PROPVARIANT* destination, const PROPVARIANT* source) noexcept;
// Converts `source` to `type` into `destination` (cleared first; may be `source` itself). Only
// VT_UI4 is a supported target: integers in range, VT_BOOL (0 or 0xFFFFFFFF), reals rounded to
// nearest, decimal text. Out of range: DISP_E_OVERFLOW; text or types that do not convert:
// DISP_E_TYPEMISMATCH; another target: E_NOTIMPL.
HRESULT VariantChangeType(PROPVARIANT* destination, const PROPVARIANT* source, uint16_t flags, VARTYPE type) noexcept;
