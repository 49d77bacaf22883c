// Media types: an attribute store with the major-type and equality queries.

#include "platform/mf/AttributesImpl.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

namespace MFPlatform
{
namespace
{
// Keys that describe the stream's pacing rather than its format; equality of format data
// leaves them out, as the platform does.
bool IsFormatDataKey(REFGUID key) noexcept
{
    return key != MF_MT_USER_DATA && key != MF_MT_FRAME_RATE_RANGE_MIN && key != MF_MT_FRAME_RATE_RANGE_MAX;
}

const AttributeItem* Find(const AttributeSnapshot& items, REFGUID key) noexcept
{
    for (const AttributeItem& item : items)
        if (item.Key() == key)
            return &item;
    return nullptr;
}

// True when every format-data item of `subset` is in `superset` with an equal value.
bool ContainsFormatData(const AttributeSnapshot& superset, const AttributeSnapshot& subset) noexcept
{
    for (const AttributeItem& item : subset)
    {
        if (!IsFormatDataKey(item.Key()))
            continue;
        const AttributeItem* other = Find(superset, item.Key());
        if (!other || !AttributeValuesEqual(item.Value(), other->Value()))
            return false;
    }
    return true;
}

// Both lack the item, or both have it with equal values.
bool SameItem(const AttributeSnapshot& ours, const AttributeSnapshot& theirs, REFGUID key) noexcept
{
    const AttributeItem* a = Find(ours, key);
    const AttributeItem* b = Find(theirs, key);
    if (!a || !b)
        return !a && !b;
    return AttributeValuesEqual(a->Value(), b->Value());
}

// Threads: any; all state is the attribute store.
class MediaType final : public ComObject<AttributesImpl<IMFMediaType>>
{
public:
    MediaType() = default;

    // IMFMediaType
    HRESULT GetMajorType(GUID* majorType) override { return Attributes().GetGUID(MF_MT_MAJOR_TYPE, majorType); }

    HRESULT IsCompressedFormat(BOOL*) override { return E_NOTIMPL; }

    HRESULT IsEqual(IMFMediaType* other, DWORD* flags) override
    {
        if (!flags)
            return E_POINTER;
        *flags = 0;
        if (!other)
            return E_INVALIDARG;
        return Error::Guard([&]() -> HRESULT {
            const AttributeSnapshot ours = Attributes().Snapshot();
            AttributeSnapshot theirs;
            XEV_CHECK_HR(SnapshotAttributes(other, &theirs));

            // Without a major type on both sides there is nothing to compare.
            const AttributeItem* ourMajor = Find(ours, MF_MT_MAJOR_TYPE);
            const AttributeItem* theirMajor = Find(theirs, MF_MT_MAJOR_TYPE);
            if (!ourMajor || ourMajor->Value().vt != VT_CLSID || !theirMajor || theirMajor->Value().vt != VT_CLSID)
                return E_INVALIDARG;

            DWORD result = 0;
            if (AttributeValuesEqual(ourMajor->Value(), theirMajor->Value()))
                result |= MF_MEDIATYPE_EQUAL_MAJOR_TYPES;
            if (SameItem(ours, theirs, MF_MT_SUBTYPE))
                result |= MF_MEDIATYPE_EQUAL_FORMAT_TYPES;
            // The type with fewer items must be found in the other.
            const bool sameData = theirs.size() < ours.size() ? ContainsFormatData(ours, theirs) : ContainsFormatData(theirs, ours);
            if (sameData)
                result |= MF_MEDIATYPE_EQUAL_FORMAT_DATA;
            if (SameItem(ours, theirs, MF_MT_USER_DATA))
                result |= MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;

            *flags = result;
            constexpr DWORD all = MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_DATA
                | MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA;
            return result == all ? S_OK : S_FALSE;
        });
    }
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreateMediaType(IMFMediaType** mediaType)
{
    if (!mediaType)
        return E_POINTER;
    *mediaType = nullptr;
    return Error::Guard([&] { *mediaType = Make<MFPlatform::MediaType>().Detach(); });
}
