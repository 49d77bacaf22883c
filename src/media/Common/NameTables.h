#pragma once
// The tables behind the name lookups of Names.h: rows of (value, platform name) in lookup order.
// Lookups take the first matching row, so where two names share a value the first one wins
// (MENonFatalError before MEGenericV1Anchor, MF_MT_VIDEO_PROFILE before MF_MT_MPEG2_PROFILE).
//
// All tables are constant data (no run-time initialisation), shared by every thread.

#include "platform/com/Guid.h"

#include <cstdint>
#include <span>

namespace MF::NameTables
{
struct GuidName
{
    GUID Guid;
    const char* Name;
};

struct NumberName
{
    uint32_t Value;
    const char* Name;
};

// GUID tables.
std::span<const GuidName> MediaTypeAttributes() noexcept;
std::span<const GuidName> Services() noexcept;
std::span<const GuidName> Interfaces() noexcept;
std::span<const GuidName> TopologyAttributes() noexcept;
// Number tables.
std::span<const NumberName> MediaEventTypes() noexcept;
std::span<const NumberName> TopologyStatus() noexcept;
std::span<const NumberName> StreamSinkMarkerTypes() noexcept;
std::span<const NumberName> TransformMessages() noexcept;
std::span<const NumberName> VariantBaseTypes() noexcept;
// Flag tables.
std::span<const NumberName> SetTypeFlags() noexcept;
std::span<const NumberName> VariantTypeModifiers() noexcept;
} // namespace MF::NameTables
