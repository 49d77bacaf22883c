#pragma once
// GUID with the Windows layout, registry-form text and compile-time parsing.

#include "Types.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

struct GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];

    friend constexpr bool operator==(const GUID& a, const GUID& b) noexcept
    {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3)
            return false;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return false;
        return true;
    }
    friend constexpr bool operator<(const GUID& a, const GUID& b) noexcept
    {
        if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
        if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
        if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
        for (int i = 0; i < 8; ++i)
            if (a.Data4[i] != b.Data4[i])
                return a.Data4[i] < b.Data4[i];
        return false;
    }
};

using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline constexpr GUID GUID_NULL {};

namespace Guid
{
namespace Detail
{
constexpr int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

constexpr std::optional<GUID> TryParse(std::string_view text)
{
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return std::nullopt;
    uint8_t bytes[16] {};
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();)
    {
        if (text[i] == '-') { ++i; continue; }
        int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
        i += 2;
    }
    GUID g {};
    g.Data1 = (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
    g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    g.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = bytes[8 + i];
    return g;
}
} // namespace Detail

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", with or without braces. Ill-formed text
// fails to compile where the call is constant-evaluated.
consteval GUID Parse(std::string_view text)
{
    auto g = Detail::TryParse(text);
    if (!g)
        throw "ill-formed GUID text";
    return *g;
}

// Registry form with braces: 38 characters, upper-case hexadecimal.
using Text = std::array<char, 39>;
Text ToText(const GUID& g) noexcept;
} // namespace Guid

template <>
struct std::hash<GUID>
{
    std::size_t operator()(const GUID& g) const noexcept
    {
        uint64_t a, b;
        std::memcpy(&a, &g, 8);
        std::memcpy(&b, reinterpret_cast<const char*>(&g) + 8, 8);
        return std::hash<uint64_t> {}(a * 0x9E3779B97F4A7C15ull ^ b);
    }
};

// Declares a GUID constant from its text: XEV_GUID(MF_MT_SUBTYPE, "f7e34c9a-42e8-4714-b74b-cb29d72c35e5")
#define XEV_GUID(name, text) inline constexpr GUID name = ::Guid::Parse(text)
