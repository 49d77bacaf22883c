// The attribute store (AttributeStore), its comparison helpers and MFCreateAttributes.

#include "platform/mf/AttributesImpl.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <algorithm>
#include <cstring>

namespace MFPlatform
{
namespace
{
// A PROPVARIANT owned by the current call, cleared when the call leaves (after any lock is gone).
struct OwnedValue
{
    OwnedValue() noexcept { PropVariantInit(&Value); }
    OwnedValue(const OwnedValue&) = delete;
    OwnedValue& operator=(const OwnedValue&) = delete;
    ~OwnedValue() { PropVariantClear(&Value); }

    PROPVARIANT Value;
};

const AttributeItem* FindIn(const AttributeSnapshot& items, REFGUID key) noexcept
{
    for (const AttributeItem& item : items)
        if (item.Key() == key)
            return &item;
    return nullptr;
}

// True when every item of `subset` is in `superset` with an equal value.
bool Contains(const AttributeSnapshot& superset, const AttributeSnapshot& subset) noexcept
{
    for (const AttributeItem& item : subset)
    {
        const AttributeItem* other = FindIn(superset, item.Key());
        if (!other || !AttributeValuesEqual(item.Value(), other->Value()))
            return false;
    }
    return true;
}

HRESULT CopyItem(const AttributeItem& source, AttributeSnapshot& to)
{
    to.emplace_back(source.Key());
    return PropVariantCopy(&to.back().Value(), &source.Value());
}

// Checks that a value handed to SetItem holds what its type promises.
HRESULT ValidateValue(const PROPVARIANT& value) noexcept
{
    if (!IsAttributeType(value.vt))
        return MF_E_INVALIDTYPE;
    switch (value.vt)
    {
    case VT_CLSID:
        return value.puuid ? S_OK : E_POINTER;
    case VT_LPWSTR:
        return value.pwszVal ? S_OK : E_POINTER;
    case VT_VECTOR | VT_UI1:
        return value.caub.pElems || value.caub.cElems == 0 ? S_OK : E_POINTER;
    default:
        return S_OK;
    }
}

class AttributeObject final : public ComObject<AttributesImpl<IMFAttributes>>
{
public:
    explicit AttributeObject(UINT32 initialSize) { Attributes().Reserve(initialSize); }
};
} // namespace

bool IsAttributeType(VARTYPE type) noexcept
{
    switch (type)
    {
    case VT_UI4:
    case VT_UI8:
    case VT_R8:
    case VT_CLSID:
    case VT_LPWSTR:
    case VT_VECTOR | VT_UI1:
    case VT_UNKNOWN:
        return true;
    default:
        return false;
    }
}

bool AttributeValuesEqual(const PROPVARIANT& a, const PROPVARIANT& b) noexcept
{
    if (a.vt != b.vt)
        return false;
    switch (a.vt)
    {
    case VT_EMPTY:
        return true;
    case VT_UI4:
        return a.ulVal == b.ulVal;
    case VT_UI8:
        return a.uhVal == b.uhVal;
    case VT_R8:
        return a.dblVal == b.dblVal;
    case VT_CLSID:
        if (!a.puuid || !b.puuid)
            return a.puuid == b.puuid;
        return *a.puuid == *b.puuid;
    case VT_LPWSTR:
        if (!a.pwszVal || !b.pwszVal)
            return a.pwszVal == b.pwszVal;
        return std::strcmp(a.pwszVal, b.pwszVal) == 0;
    case VT_VECTOR | VT_UI1:
        return a.caub.cElems == b.caub.cElems && (a.caub.cElems == 0 || std::memcmp(a.caub.pElems, b.caub.pElems, a.caub.cElems) == 0);
    case VT_UNKNOWN:
        return a.punkVal == b.punkVal;
    default:
        return false;
    }
}

HRESULT SnapshotAttributes(IMFAttributes* attributes, AttributeSnapshot* snapshot)
{
    if (!attributes || !snapshot)
        return E_POINTER;
    snapshot->clear();
    return Error::Guard([&]() -> HRESULT {
        if (const AttributeStore* store = AttributeStore::Of(attributes))
        {
            *snapshot = store->Snapshot();
            return S_OK;
        }
        UINT32 count = 0;
        HRESULT result = attributes->GetCount(&count);
        snapshot->reserve(count);
        for (UINT32 index = 0; SUCCEEDED(result) && index < count; ++index)
        {
            GUID key {};
            OwnedValue value;
            result = attributes->GetItemByIndex(index, &key, &value.Value);
            if (SUCCEEDED(result))
            {
                snapshot->emplace_back(key);
                std::swap(snapshot->back().Value(), value.Value);
            }
        }
        return result;
    });
}

bool SnapshotsEqual(const AttributeSnapshot& ours, const AttributeSnapshot& theirs) noexcept
{
    return ours.size() == theirs.size() && Contains(theirs, ours);
}

AttributeStore* AttributeStore::Of(IMFAttributes* attributes) noexcept
{
    auto* holder = dynamic_cast<AttributeStoreHolder*>(attributes);
    return holder ? &holder->m_Attributes : nullptr;
}

const AttributeItem* AttributeStore::FindLocked(REFGUID key) const noexcept
{
    for (const AttributeItem& item : m_Items)
        if (item.Key() == key)
            return &item;
    return nullptr;
}

AttributeItem* AttributeStore::FindLocked(REFGUID key) noexcept
{
    return const_cast<AttributeItem*>(std::as_const(*this).FindLocked(key));
}

void AttributeStore::PutLocked(REFGUID key, PROPVARIANT& value, AttributeItem& replaced)
{
    AttributeItem* item = FindLocked(key);
    if (!item)
        item = &m_Items.emplace_back(key);
    std::swap(item->Value(), replaced.Value());
    std::swap(item->Value(), value);
}

HRESULT AttributeStore::Put(REFGUID key, PROPVARIANT& value)
{
    // Declared before the lock so that the replaced value (perhaps an IUnknown's last
    // reference) is cleared after the mutex is let go.
    AttributeItem replaced(key);
    return Error::Guard([&] {
        std::lock_guard lock(m_Mutex);
        PutLocked(key, value, replaced);
    });
}

template <class Read>
HRESULT AttributeStore::ReadItem(REFGUID key, VARTYPE type, Read&& read) const
{
    std::lock_guard lock(m_Mutex);
    const AttributeItem* item = FindLocked(key);
    if (!item)
        return MF_E_ATTRIBUTENOTFOUND;
    if (item->Value().vt != type)
        return MF_E_INVALIDTYPE;
    return read(item->Value());
}

void AttributeStore::Reserve(UINT32 count)
{
    std::lock_guard lock(m_Mutex);
    m_Items.reserve(count);
}

HRESULT AttributeStore::GetItem(REFGUID key, PROPVARIANT* value) const
{
    std::lock_guard lock(m_Mutex);
    const AttributeItem* item = FindLocked(key);
    if (!item)
        return MF_E_ATTRIBUTENOTFOUND;
    // A null value asks only whether the item exists. Copying an IUnknown adds a reference
    // under the mutex: the one call out allowed here, so the object cannot go meanwhile.
    return value ? PropVariantCopy(value, &item->Value()) : S_OK;
}

HRESULT AttributeStore::Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) const
{
    if (!theirs || !result)
        return E_POINTER;
    if (matchType != MF_ATTRIBUTES_MATCH_ALL_ITEMS)
        return E_INVALIDARG; // the only match the system asks for
    return Error::Guard([&]() -> HRESULT {
        const AttributeSnapshot ours = Snapshot();
        AttributeSnapshot other;
        const HRESULT hr = SnapshotAttributes(theirs, &other);
        if (FAILED(hr))
            return hr;
        *result = SnapshotsEqual(ours, other) ? 1 : 0;
        return S_OK;
    });
}

HRESULT AttributeStore::GetUINT32(REFGUID key, UINT32* value) const
{
    if (!value)
        return E_POINTER;
    return ReadItem(key, VT_UI4, [&](const PROPVARIANT& item) {
        *value = item.ulVal;
        return S_OK;
    });
}

HRESULT AttributeStore::GetUINT64(REFGUID key, UINT64* value) const
{
    if (!value)
        return E_POINTER;
    return ReadItem(key, VT_UI8, [&](const PROPVARIANT& item) {
        *value = item.uhVal;
        return S_OK;
    });
}

HRESULT AttributeStore::GetGUID(REFGUID key, GUID* value) const
{
    if (!value)
        return E_POINTER;
    return ReadItem(key, VT_CLSID, [&](const PROPVARIANT& item) {
        *value = *item.puuid;
        return S_OK;
    });
}

HRESULT AttributeStore::GetBlobSize(REFGUID key, UINT32* size) const
{
    if (!size)
        return E_POINTER;
    return ReadItem(key, VT_VECTOR | VT_UI1, [&](const PROPVARIANT& item) {
        *size = item.caub.cElems;
        return S_OK;
    });
}

HRESULT AttributeStore::GetBlob(REFGUID key, UINT8* buffer, UINT32 size, UINT32* blobSize) const
{
    if (!buffer)
        return E_POINTER;
    return ReadItem(key, VT_VECTOR | VT_UI1, [&](const PROPVARIANT& item) {
        if (blobSize)
            *blobSize = item.caub.cElems;
        if (size < item.caub.cElems)
            return E_NOT_SUFFICIENT_BUFFER;
        if (item.caub.cElems)
            std::memcpy(buffer, item.caub.pElems, item.caub.cElems);
        return S_OK;
    });
}

HRESULT AttributeStore::GetUnknown(REFGUID key, REFIID riid, void** object) const
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    ComPtr<IUnknown> unknown;
    const HRESULT hr = ReadItem(key, VT_UNKNOWN, [&](const PROPVARIANT& item) {
        unknown = item.punkVal; // adds the reference under the mutex (see GetItem)
        return S_OK;
    });
    if (FAILED(hr))
        return hr;
    if (!unknown)
        return E_NOINTERFACE;
    // Asked for after the mutex is let go: QueryInterface is the stored object's own code.
    return unknown->QueryInterface(riid, object);
}

HRESULT AttributeStore::SetItem(REFGUID key, const PROPVARIANT& value)
{
    const HRESULT valid = ValidateValue(value);
    if (FAILED(valid))
        return valid;
    OwnedValue copy;
    const HRESULT hr = PropVariantCopy(&copy.Value, &value);
    if (FAILED(hr))
        return hr;
    return Put(key, copy.Value);
}

HRESULT AttributeStore::DeleteItem(REFGUID key)
{
    AttributeItem removed(key); // cleared after the mutex is let go
    std::lock_guard lock(m_Mutex);
    auto found = std::find_if(m_Items.begin(), m_Items.end(), [&](const AttributeItem& item) { return item.Key() == key; });
    if (found != m_Items.end())
    {
        removed = std::move(*found);
        m_Items.erase(found);
    }
    // Deleting an item that is not there is not a failure on this platform.
    return S_OK;
}

HRESULT AttributeStore::DeleteAllItems()
{
    std::vector<AttributeItem> removed; // cleared after the mutex is let go
    std::lock_guard lock(m_Mutex);
    removed.swap(m_Items);
    return S_OK;
}

HRESULT AttributeStore::SetUINT32(REFGUID key, UINT32 value)
{
    OwnedValue item;
    InitPropVariantFromUInt32(value, &item.Value);
    return Put(key, item.Value);
}

HRESULT AttributeStore::SetUINT64(REFGUID key, UINT64 value)
{
    OwnedValue item;
    InitPropVariantFromUInt64(value, &item.Value);
    return Put(key, item.Value);
}

HRESULT AttributeStore::SetGUID(REFGUID key, REFGUID value)
{
    OwnedValue item;
    const HRESULT hr = InitPropVariantFromCLSID(value, &item.Value);
    return FAILED(hr) ? hr : Put(key, item.Value);
}

HRESULT AttributeStore::SetBlob(REFGUID key, const UINT8* buffer, UINT32 size)
{
    if (!buffer && size)
        return E_POINTER;
    OwnedValue item;
    const HRESULT hr = InitPropVariantFromBuffer(buffer, size, &item.Value);
    return FAILED(hr) ? hr : Put(key, item.Value);
}

HRESULT AttributeStore::SetUnknown(REFGUID key, IUnknown* object)
{
    OwnedValue item;
    item.Value.vt = VT_UNKNOWN;
    item.Value.punkVal = object;
    if (object)
        object->AddRef();
    return Put(key, item.Value);
}

HRESULT AttributeStore::GetCount(UINT32* count) const
{
    if (!count)
        return E_POINTER;
    std::lock_guard lock(m_Mutex);
    *count = static_cast<UINT32>(m_Items.size());
    return S_OK;
}

HRESULT AttributeStore::GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) const
{
    if (!key)
        return E_POINTER;
    std::lock_guard lock(m_Mutex);
    if (index >= m_Items.size())
        return E_INVALIDARG;
    const AttributeItem& item = m_Items[index];
    if (value)
    {
        const HRESULT hr = PropVariantCopy(value, &item.Value());
        if (FAILED(hr))
            return hr;
    }
    *key = item.Key();
    return S_OK;
}

HRESULT AttributeStore::CopyAllItems(IMFAttributes* destination) const
{
    if (!destination)
        return E_POINTER;
    return Error::Guard([&]() -> HRESULT {
        const AttributeSnapshot items = Snapshot();
        if (AttributeStore* store = Of(destination))
            return store->Assign(items);
        HRESULT hr = destination->DeleteAllItems();
        for (size_t index = 0; SUCCEEDED(hr) && index < items.size(); ++index)
            hr = destination->SetItem(items[index].Key(), items[index].Value());
        return hr;
    });
}

AttributeSnapshot AttributeStore::Snapshot() const
{
    AttributeSnapshot items;
    std::lock_guard lock(m_Mutex);
    items.reserve(m_Items.size());
    for (const AttributeItem& item : m_Items)
        XEV_CHECK_HR(CopyItem(item, items));
    return items;
}

HRESULT AttributeStore::Assign(const AttributeSnapshot& items)
{
    return Error::Guard([&] {
        std::vector<AttributeItem> copies;
        copies.reserve(items.size());
        for (const AttributeItem& item : items)
            XEV_CHECK_HR(CopyItem(item, copies));
        {
            std::lock_guard lock(m_Mutex);
            copies.swap(m_Items);
        }
        // `copies` now holds the old items and clears them here, after the mutex is let go.
    });
}
} // namespace MFPlatform

HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32 initialSize)
{
    if (!attributes)
        return E_POINTER;
    *attributes = nullptr;
    return Error::Guard([&] { *attributes = Make<MFPlatform::AttributeObject>(initialSize).Detach(); });
}
