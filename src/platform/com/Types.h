#pragma once
// Basic Windows-style scalar types and HRESULT helpers shared by every layer.

#include <cstdint>

using HRESULT = int32_t;
using BYTE = uint8_t;
using UINT8 = uint8_t;
using UINT = uint32_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using UINT32 = uint32_t;
using UINT64 = uint64_t;
using INT32 = int32_t;
using INT64 = int64_t;
using LONG = int32_t;
using ULONG = uint32_t;
using LONGLONG = int64_t;
using ULONGLONG = uint64_t;
using BOOL = int32_t;
using MFTIME = int64_t;

constexpr bool SUCCEEDED(HRESULT hr) noexcept { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) noexcept { return hr < 0; }

// Builds an HRESULT from its unsigned 32-bit spelling (0x8007000E and the like).
constexpr HRESULT MakeHResult(uint32_t value) noexcept { return static_cast<HRESULT>(value); }

// HRESULT of a failed check at a source line: severity error, facility 0xFF, the line as code.
constexpr HRESULT LineHResult(int line) noexcept { return MakeHResult(0x80FF0000u + (static_cast<uint32_t>(line) & 0xFFFFu)); }

// Win32 error codes wrapped the way HRESULT_FROM_WIN32 does.
constexpr HRESULT HResultFromWin32(uint32_t error) noexcept
{
    return error == 0 ? 0 : MakeHResult((error & 0x0000FFFFu) | (7u << 16) | 0x80000000u);
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002);
constexpr HRESULT E_POINTER = MakeHResult(0x80004003);
constexpr HRESULT E_ABORT = MakeHResult(0x80004004);
constexpr HRESULT E_FAIL = MakeHResult(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFF);
constexpr HRESULT E_ILLEGAL_METHOD_CALL = MakeHResult(0x8000000E);
constexpr HRESULT E_ACCESSDENIED = MakeHResult(0x80070005);
constexpr HRESULT E_HANDLE = MakeHResult(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057);
constexpr HRESULT E_NOT_SUFFICIENT_BUFFER = MakeHResult(0x8007007A);
constexpr HRESULT E_BOUNDS = MakeHResult(0x8000000B);
// What the boundary guard returns for an exception that carries no HRESULT
// (HRESULT_FROM_WIN32(ERROR_UNHANDLED_EXCEPTION)).
constexpr HRESULT E_UNHANDLED_EXCEPTION = MakeHResult(0x8007023E);
constexpr HRESULT HRESULT_WAIT_TIMEOUT = MakeHResult(0x80070102);
constexpr HRESULT E_FILE_NOT_FOUND = MakeHResult(0x80070002);
