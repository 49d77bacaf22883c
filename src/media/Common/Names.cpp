#include "Names.h"

#include "NameTables.h"
#include "PropVariantT.h"

#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/mf/Guids.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <string_view>

namespace MF
{
namespace
{
using NameTables::GuidName;
using NameTables::NumberName;

// Copies `text` into a ShortText, cut to fit.
ShortText MakeShortText(const char* text) noexcept
{
    ShortText result;
    const size_t length = std::min(std::strlen(text), sizeof(result.Text) - 1);
    std::memcpy(result.Text, text, length);
    result.Text[length] = '\0';
    return result;
}

ShortText LookupGuid(std::span<const GuidName> table, REFGUID value) noexcept
{
    for (const GuidName& row : table)
        if (row.Guid == value)
            return MakeShortText(row.Name);
    return MakeShortText(Guid::ToText(value).data());
}

const NumberName* FindNumber(std::span<const NumberName> table, uint32_t value) noexcept
{
    for (const NumberName& row : table)
        if (row.Value == value)
            return &row;
    return nullptr;
}

ShortText LookupNumber(std::span<const NumberName> table, uint32_t value) noexcept
{
    if (const NumberName* row = FindNumber(table, value))
        return MakeShortText(row->Name);
    ShortText result;
    Format(result.Text, sizeof(result.Text), "0x%X", value);
    return result;
}

std::span<const NumberName> FlagRows(FlagTable table) noexcept
{
    switch (table)
    {
    case FlagTable::SetTypeFlags:
        return NameTables::SetTypeFlags();
    case FlagTable::VariantTypeModifiers:
        return NameTables::VariantTypeModifiers();
    }
    return {};
}

std::string FormatFlagRows(std::span<const NumberName> table, uint32_t flags)
{
    if (flags == 0)
    {
        const NumberName* zero = FindNumber(table, 0);
        return zero ? zero->Name : std::string();
    }
    std::string text;
    uint32_t remaining = flags;
    for (const NumberName& row : table)
    {
        if (row.Value == 0 || (row.Value & remaining) == 0)
            continue;
        if (!text.empty())
            text += " | ";
        text += row.Name;
        remaining &= ~row.Value;
    }
    if (remaining != 0)
    {
        char number[16];
        Format(number, sizeof(number), "0x%X", remaining);
        if (!text.empty())
            text += " | ";
        text += number;
    }
    return text;
}

// Printf-style text of one short item (numbers, pointers, GUIDs); "%p" follows the trace rule.
std::string FormatItem(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatItem(const char* format, ...)
{
    char buffer[256];
    va_list arguments;
    va_start(arguments, format);
    const int length = FormatV(buffer, sizeof(buffer), format, arguments);
    va_end(arguments);
    return std::string(buffer, static_cast<size_t>(length));
}

// Collects the items of a description and joins them with ", ".
class ItemList
{
public:
    void Add(std::string_view item)
    {
        if (!m_Text.empty())
            m_Text += ", ";
        m_Text += item;
    }
    std::string Take() { return std::move(m_Text); }

private:
    std::string m_Text;
};

// A 64-bit value that looks like two packed 32-bit numbers (a frame size, a frame rate): the high
// half is not 0 and the top byte of each half is 0.
bool LooksPacked(uint64_t value) noexcept
{
    const uint32_t high = static_cast<uint32_t>(value >> 32);
    const uint32_t low = static_cast<uint32_t>(value);
    return high != 0 && (high & 0xFF000000u) == 0 && (low & 0xFF000000u) == 0;
}

// Bytes 4 to 15 of every FourCC-based media subtype ({xxxxxxxx-0000-0010-8000-00AA00389B71}).
bool IsFourCCSubtype(const GUID& value) noexcept
{
    return std::memcmp(reinterpret_cast<const BYTE*>(&value) + 4, reinterpret_cast<const BYTE*>(&MFVideoFormat_Base) + 4, 12) == 0;
}

// The first four bytes of the GUID as characters, up to the first zero byte. Bytes that are not
// printable show as '.', so a subtype numbered by a format code cannot break the trace line.
std::string FourCCText(const GUID& value)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
    std::string text;
    for (int index = 0; index < 4 && bytes[index] != 0; ++index)
        text += (bytes[index] >= 0x20 && bytes[index] < 0x7F) ? static_cast<char>(bytes[index]) : '.';
    return text;
}

constexpr size_t BlobByteLimit = 192;
} // namespace

ShortText MediaTypeAttributeName(REFGUID key) noexcept { return LookupGuid(NameTables::MediaTypeAttributes(), key); }
ShortText ServiceName(REFGUID service) noexcept { return LookupGuid(NameTables::Services(), service); }
ShortText InterfaceName(REFIID riid) noexcept { return LookupGuid(NameTables::Interfaces(), riid); }
ShortText TopologyAttributeName(REFGUID key) noexcept { return LookupGuid(NameTables::TopologyAttributes(), key); }

ShortText MediaEventTypeName(MediaEventType type) noexcept { return LookupNumber(NameTables::MediaEventTypes(), type); }
ShortText TopologyStatusName(UINT32 status) noexcept { return LookupNumber(NameTables::TopologyStatus(), status); }
ShortText StreamSinkMarkerTypeName(UINT32 type) noexcept { return LookupNumber(NameTables::StreamSinkMarkerTypes(), type); }
ShortText TransformMessageName(UINT32 message) noexcept { return LookupNumber(NameTables::TransformMessages(), message); }

std::string FormatFlags(FlagTable table, UINT32 flags) { return FormatFlagRows(FlagRows(table), flags); }

std::string VarTypeName(VARTYPE vt)
{
    constexpr VARTYPE modifierBits = 0x7000;
    if ((vt & modifierBits) != 0)
        return FormatFlagRows(NameTables::VariantTypeModifiers(), vt & modifierBits) + " | "
            + LookupNumber(NameTables::VariantBaseTypes(), vt & 0x8FFFu).c_str();
    return LookupNumber(NameTables::VariantBaseTypes(), vt).c_str();
}

std::string FormatBytes(const BYTE* bytes, size_t count, size_t limit)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    if (!bytes)
        return {};
    const bool cut = limit != 0 && count > limit;
    const size_t written = cut ? limit : count;
    std::string text;
    text.reserve(written * 3 + 3);
    for (size_t index = 0; index < written; ++index)
    {
        if (index != 0)
            text += ' ';
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 0xF];
    }
    if (cut)
        text += "...";
    return text;
}

std::string FormatPropVariant(const PROPVARIANT& value)
{
    ItemList items;
    items.Add("Type " + VarTypeName(value.vt));
    switch (value.vt)
    {
    case VT_VECTOR | VT_UI1:
        items.Add(FormatItem("%u elements, ", value.caub.cElems) + FormatBytes(value.caub.pElems, value.caub.cElems, BlobByteLimit));
        break;
    case VT_I2:
        items.Add(FormatItem("%d", value.iVal));
        break;
    case VT_I4:
        items.Add(FormatItem("%d", value.lVal));
        break;
    case VT_R4:
        items.Add(FormatItem("%g", value.fltVal));
        break;
    case VT_R8:
        items.Add(FormatItem("%g", value.dblVal));
        break;
    case 9: // VT_DISPATCH: an interface pointer like VT_UNKNOWN
    case VT_UNKNOWN:
        items.Add(FormatItem("0x%p", static_cast<const void*>(value.punkVal)));
        break;
    case VT_UI2:
        items.Add(FormatItem("%u", value.uiVal));
        break;
    case VT_UI4:
        items.Add(FormatItem("%u", value.ulVal));
        break;
    case VT_I8:
        items.Add(FormatItem("%lld", static_cast<long long>(value.hVal)));
        break;
    case VT_UI8:
        items.Add(FormatItem("%llu", static_cast<unsigned long long>(value.uhVal)));
        if (LooksPacked(value.uhVal))
        {
            const uint32_t high = static_cast<uint32_t>(value.uhVal >> 32);
            const uint32_t low = static_cast<uint32_t>(value.uhVal);
            items.Add(FormatItem("0x%08X 0x%08X", high, low));
            items.Add(FormatItem("%u %u", high, low));
        }
        break;
    case VT_LPSTR: // both string types hold UTF-8 text in pwszVal
    case VT_LPWSTR:
        items.Add(value.pwszVal ? value.pwszVal : "(null)");
        break;
    case VT_CLSID:
        if (!value.puuid)
        {
            items.Add("(null)");
            break;
        }
        items.Add(Guid::ToText(*value.puuid).data());
        if (IsFourCCSubtype(*value.puuid))
            items.Add("FourCC " + FourCCText(*value.puuid));
        break;
    default:
        break;
    }
    return items.Take();
}

std::string FormatTime(LONGLONG time)
{
    // The magnitude in unsigned arithmetic, so that the most negative time has one too.
    const uint64_t magnitude = time < 0 ? 0 - static_cast<uint64_t>(time) : static_cast<uint64_t>(time);
    const uint64_t seconds = magnitude / 10'000'000;
    const uint64_t rest = magnitude % 10'000'000;
    char text[64];
    const int length = Format(text, sizeof(text), "%s%02llu:%02u:%02u.%03u %04u", time < 0 ? "-" : "",
        static_cast<unsigned long long>(seconds / 3600), static_cast<unsigned>(seconds / 60 % 60), static_cast<unsigned>(seconds % 60),
        static_cast<unsigned>(rest / 10'000), static_cast<unsigned>(rest % 10'000));
    return std::string(text, static_cast<size_t>(length));
}

std::string DescribeMediaEvent(IMFMediaEvent* event)
{
    ItemList items;
    if (!event)
        return items.Take();
    MediaEventType type = MEUnknown;
    if (SUCCEEDED(event->GetType(&type)))
    {
        items.Add(std::string("Type ") + MediaEventTypeName(type).c_str());
        GUID extendedType {};
        if (type == MEExtendedType && SUCCEEDED(event->GetExtendedType(&extendedType)))
            items.Add(std::string("ExtendedType ") + Guid::ToText(extendedType).data());
    }
    HRESULT status = S_OK;
    if (SUCCEEDED(event->GetStatus(&status)) && status != S_OK)
        items.Add(FormatItem("Status 0x%08X", static_cast<uint32_t>(status)));
    PropVariantT<1> value;
    if (SUCCEEDED(event->GetValue(&value)))
        items.Add("Value " + FormatPropVariant(value));
    return items.Take();
}

bool FormatMediaTypeValue(REFGUID key, const PROPVARIANT& value, std::string& text)
{
    if (key != MF_MT_GEOMETRIC_APERTURE && key != MF_MT_MINIMUM_DISPLAY_APERTURE && key != MF_MT_PAN_SCAN_APERTURE)
        return false;
    // MFVideoArea: OffsetX and OffsetY as MFOffset { WORD fract; SHORT value; }, then Area { LONG cx; LONG cy; }.
    constexpr ULONG videoAreaSize = 16;
    if (value.vt != (VT_VECTOR | VT_UI1) || value.caub.cElems != videoAreaSize || !value.caub.pElems)
        return false;
    const BYTE* bytes = value.caub.pElems;
    uint16_t fractionX, fractionY;
    int16_t wholeX, wholeY;
    int32_t width, height;
    std::memcpy(&fractionX, bytes + 0, 2);
    std::memcpy(&wholeX, bytes + 2, 2);
    std::memcpy(&fractionY, bytes + 4, 2);
    std::memcpy(&wholeY, bytes + 6, 2);
    std::memcpy(&width, bytes + 8, 4);
    std::memcpy(&height, bytes + 12, 4);
    text = FormatItem("OffsetX %.3f, OffsetY %.3f, Area.cx %d, Area.cy %d", wholeX + fractionX / 65536.0, wholeY + fractionY / 65536.0, width, height);
    return true;
}

void TraceAttributes(IMFAttributes* attributes, AttributeNameLookup lookup, AttributeValueOverride valueOverride)
{
    XEV_CHECK_POINTER(attributes);
    UINT32 count = 0;
    XEV_CHECK_HR(attributes->GetCount(&count));
    // The lines read as if written by this function under its own name.
    static constexpr TraceSite site { __FILE__, __LINE__, "MF::TraceAttribute" };
    for (UINT32 index = 0; index < count; ++index)
    {
        GUID key {};
        PropVariantT<1> value;
        XEV_CHECK_HR(attributes->GetItemByIndex(index, &key, &value));
        std::string text;
        if (!valueOverride || !valueOverride(key, value, text))
            text = FormatPropVariant(value);
        const ShortText name = lookup ? lookup(key) : MakeShortText(Guid::ToText(key).data());
        Trace(site, "%s, %s\n", name.c_str(), text.c_str());
    }
}

void TraceAttributes(IMFAttributes* attributes, AttributeNameLookup lookup) { TraceAttributes(attributes, lookup, nullptr); }

void TraceMediaType(IMFMediaType* mediaType) { TraceAttributes(mediaType, MediaTypeAttributeName, FormatMediaTypeValue); }
} // namespace MF
