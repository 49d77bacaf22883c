#pragma once
// Names of platform values for trace lines: event types, attribute keys, services, interfaces,
// markers, transform messages, topology states, variant types; and formatters for values.
//
// Lookups never fail: an unknown number prints as "0x%X", an unknown GUID in registry form.
// Lookups return a ShortText on the stack (no allocation); formatters return std::string.

#include "platform/mf/Interfaces.h"

#include <string>

namespace MF
{
struct ShortText
{
    char Text[96];
    const char* c_str() const noexcept { return Text; }
    operator const char*() const noexcept { return Text; }
};

// GUID tables.
ShortText MediaTypeAttributeName(REFGUID key) noexcept;
ShortText ServiceName(REFGUID service) noexcept;
ShortText InterfaceName(REFIID riid) noexcept;
ShortText TopologyAttributeName(REFGUID key) noexcept;
// Number tables.
ShortText MediaEventTypeName(MediaEventType type) noexcept;
ShortText TopologyStatusName(UINT32 status) noexcept;
ShortText StreamSinkMarkerTypeName(UINT32 type) noexcept;
ShortText TransformMessageName(UINT32 message) noexcept;

// Flag tables.
enum class FlagTable
{
    SetTypeFlags,
    VariantTypeModifiers,
};
std::string FormatFlags(FlagTable table, UINT32 flags);

std::string VarTypeName(VARTYPE vt);
std::string FormatPropVariant(const PROPVARIANT& value);
// "01:01:01.000 0000"; negative times get a leading "-".
std::string FormatTime(LONGLONG time);
std::string DescribeMediaEvent(IMFMediaEvent* event);
// Each byte as "%02X", one blank between; past a non-zero limit, "..." follows the last byte written.
std::string FormatBytes(const BYTE* bytes, size_t count, size_t limit);

// Writes one trace line "<name>, <value>\n" per attribute under "MF::TraceAttribute".
// A failure to read the store throws.
using AttributeNameLookup = ShortText (*)(REFGUID key) noexcept;
void TraceAttributes(IMFAttributes* attributes, AttributeNameLookup lookup);
// Value text for items that FormatPropVariant would not show well: sets `text` and returns true
// when it takes the item, false to leave it to FormatPropVariant.
using AttributeValueOverride = bool (*)(REFGUID key, const PROPVARIANT& value, std::string& text);
void TraceAttributes(IMFAttributes* attributes, AttributeNameLookup lookup, AttributeValueOverride valueOverride);
// The media type override: the three aperture attributes as "OffsetX %.3f, OffsetY %.3f,
// Area.cx %d, Area.cy %d" when they hold an MFVideoArea (a 16-byte VT_VECTOR | VT_UI1).
bool FormatMediaTypeValue(REFGUID key, const PROPVARIANT& value, std::string& text);
// As TraceAttributes with the media type names and the aperture override.
void TraceMediaType(IMFMediaType* mediaType);
} // namespace MF
