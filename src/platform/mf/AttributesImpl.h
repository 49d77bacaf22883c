#pragma once
// The platform's attribute store and the mix-in that gives any IMFAttributes-derived interface
// its attribute methods: ComObject<MFPlatform::AttributesImpl<IMFMediaType>, ...>.
//
// Threads: every method may be called from any thread. One mutex per store guards the items.
// Methods nothing in the tool calls (LockStore/UnlockStore, strings, doubles, item types,
// CompareItem, the allocated getters) answer E_NOTIMPL. The store never calls out to another
// object while its mutex is held: values it drops (an IUnknown released) are cleared after the
// mutex is let go, and Compare/CopyAllItems work on a snapshot.
//
// Expected outcomes (a missing item, a wrong type, a small buffer) are returned quietly, not traced.

#include "platform/mf/Interfaces.h"

#include <mutex>
#include <type_traits>
#include <vector>

namespace MFPlatform
{
// One keyed value; owns what its PROPVARIANT points to.
class AttributeItem
{
public:
    AttributeItem(REFGUID key) noexcept : m_Key(key) { PropVariantInit(&m_Value); }
    AttributeItem(AttributeItem&& other) noexcept : m_Key(other.m_Key), m_Value(other.m_Value) { PropVariantInit(&other.m_Value); }
    AttributeItem& operator=(AttributeItem&& other) noexcept
    {
        if (this != &other)
        {
            PropVariantClear(&m_Value);
            m_Key = other.m_Key;
            m_Value = other.m_Value;
            PropVariantInit(&other.m_Value);
        }
        return *this;
    }
    AttributeItem(const AttributeItem&) = delete;
    AttributeItem& operator=(const AttributeItem&) = delete;
    ~AttributeItem() { PropVariantClear(&m_Value); }

    const GUID& Key() const noexcept { return m_Key; }
    const PROPVARIANT& Value() const noexcept { return m_Value; }
    PROPVARIANT& Value() noexcept { return m_Value; }

private:
    GUID m_Key;
    PROPVARIANT m_Value;
};

using AttributeSnapshot = std::vector<AttributeItem>;

// True when the value's type is one an attribute store holds (MF_ATTRIBUTE_TYPE).
bool IsAttributeType(VARTYPE type) noexcept;
// Equality of two attribute values: same type and same content (IUnknown: same object pointer).
bool AttributeValuesEqual(const PROPVARIANT& a, const PROPVARIANT& b) noexcept;
// Copies every item of any attribute store into `snapshot`, in order: one of ours in one step
// under its mutex, a foreign one item by item.
HRESULT SnapshotAttributes(IMFAttributes* attributes, AttributeSnapshot* snapshot);
// True when both hold the same keys with equal values (MF_ATTRIBUTES_MATCH_ALL_ITEMS).
bool SnapshotsEqual(const AttributeSnapshot& ours, const AttributeSnapshot& theirs) noexcept;

// The items and their lock, with the IMFAttributes operations as plain (non-virtual) methods.
class AttributeStore
{
public:
    AttributeStore() = default;
    AttributeStore(const AttributeStore&) = delete;
    AttributeStore& operator=(const AttributeStore&) = delete;

    HRESULT GetItem(REFGUID key, PROPVARIANT* value) const;
    HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) const;
    HRESULT GetUINT32(REFGUID key, UINT32* value) const;
    HRESULT GetUINT64(REFGUID key, UINT64* value) const;
    HRESULT GetGUID(REFGUID key, GUID* value) const;
    HRESULT GetBlobSize(REFGUID key, UINT32* size) const;
    HRESULT GetBlob(REFGUID key, UINT8* buffer, UINT32 size, UINT32* blobSize) const;
    HRESULT GetUnknown(REFGUID key, REFIID riid, void** object) const;
    HRESULT SetItem(REFGUID key, const PROPVARIANT& value);
    HRESULT DeleteItem(REFGUID key);
    HRESULT DeleteAllItems();
    HRESULT SetUINT32(REFGUID key, UINT32 value);
    HRESULT SetUINT64(REFGUID key, UINT64 value);
    HRESULT SetGUID(REFGUID key, REFGUID value);
    HRESULT SetBlob(REFGUID key, const UINT8* buffer, UINT32 size);
    HRESULT SetUnknown(REFGUID key, IUnknown* object);
    HRESULT GetCount(UINT32* count) const;
    HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) const;
    HRESULT CopyAllItems(IMFAttributes* destination) const;

    // A copy of every item, in insertion order (throws HResultException or std::bad_alloc).
    AttributeSnapshot Snapshot() const;
    // Replaces every item with copies of `items` (one step: no reader sees a partial store).
    HRESULT Assign(const AttributeSnapshot& items);
    // Room for `count` items without reallocation.
    void Reserve(UINT32 count);

    // The store behind an IMFAttributes of ours (an AttributesImpl); null for a foreign one.
    static AttributeStore* Of(IMFAttributes* attributes) noexcept;

private:
    // Requires m_Mutex held.
    const AttributeItem* FindLocked(REFGUID key) const noexcept;
    AttributeItem* FindLocked(REFGUID key) noexcept;
    // Stores `value` (already owned: moved in) and hands back what it replaced for clearing
    // once the mutex is let go.
    void PutLocked(REFGUID key, PROPVARIANT& value, AttributeItem& replaced);
    // Shared path of the typed setters: `value` is owned by the call and cleared afterwards.
    HRESULT Put(REFGUID key, PROPVARIANT& value);
    template <class Read>
    HRESULT ReadItem(REFGUID key, VARTYPE type, Read&& read) const;

    mutable std::mutex m_Mutex;
    std::vector<AttributeItem> m_Items; // guarded by m_Mutex, insertion order
};

// The store every AttributesImpl holds, reachable from its IMFAttributes by AttributeStore::Of.
class AttributeStoreHolder
{
protected:
    AttributeStoreHolder() = default;
    ~AttributeStoreHolder() = default;

    AttributeStore m_Attributes;

    friend class AttributeStore;
};

// Implements every IMFAttributes method of I over one AttributeStore.
template <class I>
class AttributesImpl : public I, public AttributeStoreHolder
{
    static_assert(std::is_base_of_v<IMFAttributes, I>, "AttributesImpl implements an IMFAttributes-derived interface");

public:
    // IMFAttributes
    HRESULT GetItem(REFGUID key, PROPVARIANT* value) override { return m_Attributes.GetItem(key, value); }
    HRESULT GetItemType(REFGUID, MF_ATTRIBUTE_TYPE*) override { return E_NOTIMPL; }
    HRESULT CompareItem(REFGUID, const PROPVARIANT&, BOOL*) override { return E_NOTIMPL; }
    HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) override
    {
        return m_Attributes.Compare(theirs, matchType, result);
    }
    HRESULT GetUINT32(REFGUID key, UINT32* value) override { return m_Attributes.GetUINT32(key, value); }
    HRESULT GetUINT64(REFGUID key, UINT64* value) override { return m_Attributes.GetUINT64(key, value); }
    HRESULT GetDouble(REFGUID, double*) override { return E_NOTIMPL; }
    HRESULT GetGUID(REFGUID key, GUID* value) override { return m_Attributes.GetGUID(key, value); }
    HRESULT GetStringLength(REFGUID, UINT32*) override { return E_NOTIMPL; }
    HRESULT GetString(REFGUID, LPWSTR, UINT32, UINT32*) override { return E_NOTIMPL; }
    HRESULT GetAllocatedString(REFGUID, LPWSTR*, UINT32*) override { return E_NOTIMPL; }
    HRESULT GetBlobSize(REFGUID key, UINT32* size) override { return m_Attributes.GetBlobSize(key, size); }
    HRESULT GetBlob(REFGUID key, UINT8* buffer, UINT32 size, UINT32* blobSize) override { return m_Attributes.GetBlob(key, buffer, size, blobSize); }
    HRESULT GetAllocatedBlob(REFGUID, UINT8**, UINT32*) override { return E_NOTIMPL; }
    HRESULT GetUnknown(REFGUID key, REFIID riid, void** object) override { return m_Attributes.GetUnknown(key, riid, object); }
    HRESULT SetItem(REFGUID key, const PROPVARIANT& value) override { return m_Attributes.SetItem(key, value); }
    HRESULT DeleteItem(REFGUID key) override { return m_Attributes.DeleteItem(key); }
    HRESULT DeleteAllItems() override { return m_Attributes.DeleteAllItems(); }
    HRESULT SetUINT32(REFGUID key, UINT32 value) override { return m_Attributes.SetUINT32(key, value); }
    HRESULT SetUINT64(REFGUID key, UINT64 value) override { return m_Attributes.SetUINT64(key, value); }
    HRESULT SetDouble(REFGUID, double) override { return E_NOTIMPL; }
    HRESULT SetGUID(REFGUID key, REFGUID value) override { return m_Attributes.SetGUID(key, value); }
    HRESULT SetString(REFGUID, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) override { return m_Attributes.SetBlob(key, buffer, size); }
    HRESULT SetUnknown(REFGUID key, IUnknown* object) override { return m_Attributes.SetUnknown(key, object); }
    HRESULT LockStore() override { return E_NOTIMPL; }
    HRESULT UnlockStore() override { return E_NOTIMPL; }
    HRESULT GetCount(UINT32* count) override { return m_Attributes.GetCount(count); }
    HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override { return m_Attributes.GetItemByIndex(index, key, value); }
    HRESULT CopyAllItems(IMFAttributes* destination) override { return m_Attributes.CopyAllItems(destination); }

protected:
    AttributesImpl() = default;
    ~AttributesImpl() = default;

    // The store itself, for the implementing class (no virtual dispatch).
    AttributeStore& Attributes() noexcept { return m_Attributes; }
    const AttributeStore& Attributes() const noexcept { return m_Attributes; }
};
} // namespace MFPlatform
