#include "DataTestSupport.h"

#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

using namespace DataTest;

namespace
{
constexpr GUID KeyA = Guid::Parse("11111111-0000-0000-0000-000000000001");
constexpr GUID KeyB = Guid::Parse("11111111-0000-0000-0000-000000000002");
constexpr GUID KeyC = Guid::Parse("11111111-0000-0000-0000-000000000003");
constexpr GUID KeyD = Guid::Parse("11111111-0000-0000-0000-000000000004");
constexpr GUID ValueGuid = Guid::Parse("22222222-3333-4444-5555-666666666666");

ComPtr<IMFAttributes> NewStore()
{
    ComPtr<IMFAttributes> store;
    EXPECT_HR(S_OK, MFCreateAttributes(store.GetAddressOf(), 4));
    return store;
}

// One item of every attribute type, under KeyA ... in a store of its own.
struct TypedItem
{
    const char* Name;
    MF_ATTRIBUTE_TYPE Type;
    HRESULT (*Set)(IMFAttributes*, REFGUID);
};

const TypedItem TypedItems[] = {
    { "UINT32", MF_ATTRIBUTE_UINT32, [](IMFAttributes* a, REFGUID k) { return a->SetUINT32(k, 7); } },
    { "UINT64", MF_ATTRIBUTE_UINT64, [](IMFAttributes* a, REFGUID k) { return a->SetUINT64(k, 7); } },
    { "double", MF_ATTRIBUTE_DOUBLE, [](IMFAttributes* a, REFGUID k) { return a->SetDouble(k, 7.5); } },
    { "GUID", MF_ATTRIBUTE_GUID, [](IMFAttributes* a, REFGUID k) { return a->SetGUID(k, ValueGuid); } },
    { "string", MF_ATTRIBUTE_STRING, [](IMFAttributes* a, REFGUID k) { return a->SetString(k, "seven"); } },
    { "blob", MF_ATTRIBUTE_BLOB, [](IMFAttributes* a, REFGUID k) { const UINT8 b[] = { 7, 7 }; return a->SetBlob(k, b, 2); } },
    { "IUnknown", MF_ATTRIBUTE_IUNKNOWN, [](IMFAttributes* a, REFGUID k) { return a->SetUnknown(k, Make<Probe>().Get()); } },
};

// Every typed getter, run against one key; the result of each in declaration order.
std::vector<HRESULT> AllGetters(IMFAttributes* a, REFGUID key)
{
    UINT32 u32 = 0;
    UINT64 u64 = 0;
    double d = 0;
    GUID g {};
    char text[32];
    UINT32 length = 0;
    char* allocatedText = nullptr;
    UINT8 blob[32];
    UINT8* allocatedBlob = nullptr;
    ComPtr<IUnknown> unknown;
    std::vector<HRESULT> results = {
        a->GetUINT32(key, &u32),
        a->GetUINT64(key, &u64),
        a->GetDouble(key, &d),
        a->GetGUID(key, &g),
        a->GetStringLength(key, &length),
        a->GetString(key, text, sizeof text, &length),
        a->GetAllocatedString(key, &allocatedText, &length),
        a->GetBlobSize(key, &length),
        a->GetBlob(key, blob, sizeof blob, &length),
        a->GetAllocatedBlob(key, &allocatedBlob, &length),
        a->GetUnknown(key, IidOf<IUnknown>, reinterpret_cast<void**>(unknown.GetAddressOf())),
    };
    CoTaskMemFree(allocatedText);
    CoTaskMemFree(allocatedBlob);
    return results;
}

// Which getter of AllGetters reads which type.
MF_ATTRIBUTE_TYPE GetterType(size_t index)
{
    static const MF_ATTRIBUTE_TYPE types[] = { MF_ATTRIBUTE_UINT32, MF_ATTRIBUTE_UINT64, MF_ATTRIBUTE_DOUBLE, MF_ATTRIBUTE_GUID,
        MF_ATTRIBUTE_STRING, MF_ATTRIBUTE_STRING, MF_ATTRIBUTE_STRING, MF_ATTRIBUTE_BLOB, MF_ATTRIBUTE_BLOB, MF_ATTRIBUTE_BLOB,
        MF_ATTRIBUTE_IUNKNOWN };
    return types[index];
}

std::vector<GUID> KeysInOrder(IMFAttributes* a)
{
    UINT32 count = 0;
    EXPECT_HR(S_OK, a->GetCount(&count));
    std::vector<GUID> keys;
    for (UINT32 i = 0; i < count; ++i)
    {
        GUID key {};
        EXPECT_HR(S_OK, a->GetItemByIndex(i, &key, nullptr));
        keys.push_back(key);
    }
    return keys;
}
} // namespace

TEST(Attributes, AnswersItsInterfacesOnly)
{
    ComPtr<IMFAttributes> store = NewStore();
    ComPtr<IUnknown> unknown;
    ComPtr<IMFAttributes> attributes;
    ComPtr<IMFMediaType> mediaType;
    ComPtr<IMFSample> sample;
    EXPECT_HR(S_OK, store.As(&unknown));
    EXPECT_HR(S_OK, store.As(&attributes));
    EXPECT_EQ(static_cast<IUnknown*>(store.Get()), unknown.Get());
    EXPECT_HR(E_NOINTERFACE, store.As(&mediaType));
    EXPECT_HR(E_NOINTERFACE, store.As(&sample));
    EXPECT_EQ(nullptr, mediaType.Get());
    EXPECT_HR(E_POINTER, store->QueryInterface(IidOf<IMFAttributes>, nullptr));
    EXPECT_EQ(3u, CountOf(store.Get())); // store, unknown, attributes
    EXPECT_HR(E_POINTER, MFCreateAttributes(nullptr, 0));
}

TEST(Attributes, EachTypeRoundTripsAndOtherGettersSayInvalidType)
{
    for (const TypedItem& item : TypedItems)
    {
        SCOPED_TRACE(item.Name);
        ComPtr<IMFAttributes> store = NewStore();
        ASSERT_HR(S_OK, item.Set(store.Get(), KeyA));
        MF_ATTRIBUTE_TYPE type {};
        EXPECT_HR(S_OK, store->GetItemType(KeyA, &type));
        EXPECT_EQ(item.Type, type);
        const std::vector<HRESULT> results = AllGetters(store.Get(), KeyA);
        for (size_t i = 0; i < results.size(); ++i)
        {
            SCOPED_TRACE(i);
            EXPECT_HR(GetterType(i) == item.Type ? S_OK : MF_E_INVALIDTYPE, results[i]);
        }
    }
}

TEST(Attributes, ValuesComeBackAsStored)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 0xFFFFFFFFu));
    ASSERT_HR(S_OK, store->SetUINT64(KeyB, 0x123456789ABCDEF0ull));
    ASSERT_HR(S_OK, store->SetDouble(KeyC, -2.25));
    ASSERT_HR(S_OK, store->SetGUID(KeyD, ValueGuid));
    UINT32 u32 = 0;
    UINT64 u64 = 0;
    double d = 0;
    GUID g {};
    EXPECT_HR(S_OK, store->GetUINT32(KeyA, &u32));
    EXPECT_HR(S_OK, store->GetUINT64(KeyB, &u64));
    EXPECT_HR(S_OK, store->GetDouble(KeyC, &d));
    EXPECT_HR(S_OK, store->GetGUID(KeyD, &g));
    EXPECT_EQ(0xFFFFFFFFu, u32);
    EXPECT_EQ(0x123456789ABCDEF0ull, u64);
    EXPECT_EQ(-2.25, d);
    EXPECT_EQ(ValueGuid, g);

    // GetItem hands out an owned copy.
    PROPVARIANT value;
    PropVariantInit(&value);
    EXPECT_HR(S_OK, store->GetItem(KeyD, &value));
    ASSERT_EQ(VT_CLSID, value.vt);
    EXPECT_EQ(ValueGuid, *value.puuid);
    PropVariantClear(&value);
    EXPECT_HR(S_OK, store->GetItem(KeyD, nullptr)); // existence only
}

TEST(Attributes, MissingItemsAreNotFoundByEveryGetter)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetUINT32(KeyB, 1));
    for (HRESULT hr : AllGetters(store.Get(), KeyA))
        EXPECT_HR(MF_E_ATTRIBUTENOTFOUND, hr);
    MF_ATTRIBUTE_TYPE type {};
    EXPECT_HR(MF_E_ATTRIBUTENOTFOUND, store->GetItemType(KeyA, &type));
    PROPVARIANT value;
    PropVariantInit(&value);
    EXPECT_HR(MF_E_ATTRIBUTENOTFOUND, store->GetItem(KeyA, &value));
    EXPECT_EQ(VT_EMPTY, value.vt);
    // Deleting what is not there is no failure.
    EXPECT_HR(S_OK, store->DeleteItem(KeyA));
}

TEST(Attributes, NullPointersAndBadArguments)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetString(KeyA, "text"));
    UINT32 length = 0;
    char* text = nullptr;
    UINT8* blob = nullptr;
    GUID key {};
    EXPECT_HR(E_POINTER, store->GetUINT32(KeyA, nullptr));
    EXPECT_HR(E_POINTER, store->GetUINT64(KeyA, nullptr));
    EXPECT_HR(E_POINTER, store->GetDouble(KeyA, nullptr));
    EXPECT_HR(E_POINTER, store->GetGUID(KeyA, nullptr));
    EXPECT_HR(E_POINTER, store->GetStringLength(KeyA, nullptr));
    EXPECT_HR(E_POINTER, store->GetString(KeyA, nullptr, 10, &length));
    EXPECT_HR(E_POINTER, store->GetAllocatedString(KeyA, nullptr, &length));
    EXPECT_HR(E_POINTER, store->GetAllocatedString(KeyA, &text, nullptr));
    EXPECT_HR(E_POINTER, store->GetBlobSize(KeyA, nullptr));
    EXPECT_HR(E_POINTER, store->GetBlob(KeyA, nullptr, 10, &length));
    EXPECT_HR(E_POINTER, store->GetAllocatedBlob(KeyA, nullptr, &length));
    EXPECT_HR(E_POINTER, store->GetAllocatedBlob(KeyA, &blob, nullptr));
    EXPECT_HR(E_POINTER, store->GetUnknown(KeyA, IidOf<IUnknown>, nullptr));
    EXPECT_HR(E_POINTER, store->GetItemType(KeyA, nullptr));
    EXPECT_HR(E_POINTER, store->CompareItem(KeyA, PROPVARIANT {}, nullptr));
    EXPECT_HR(E_POINTER, store->Compare(nullptr, MF_ATTRIBUTES_MATCH_ALL_ITEMS, nullptr));
    EXPECT_HR(E_POINTER, store->GetCount(nullptr));
    EXPECT_HR(E_POINTER, store->GetItemByIndex(0, nullptr, nullptr));
    EXPECT_HR(E_POINTER, store->CopyAllItems(nullptr));
    EXPECT_HR(E_POINTER, store->SetString(KeyB, nullptr));
    EXPECT_HR(E_POINTER, store->SetBlob(KeyB, nullptr, 4));
    EXPECT_HR(S_OK, store->SetBlob(KeyB, nullptr, 0)); // an empty blob

    EXPECT_HR(E_INVALIDARG, store->GetItemByIndex(2, &key, nullptr));
    BOOL result = 1;
    EXPECT_HR(E_INVALIDARG, store->Compare(store.Get(), static_cast<MF_ATTRIBUTES_MATCH_TYPE>(5), &result));

    // SetItem takes only the attribute types, with the pointers they need.
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_I4;
    EXPECT_HR(MF_E_INVALIDTYPE, store->SetItem(KeyC, value));
    value.vt = VT_EMPTY;
    EXPECT_HR(MF_E_INVALIDTYPE, store->SetItem(KeyC, value));
    value.vt = VT_CLSID;
    value.puuid = nullptr;
    EXPECT_HR(E_POINTER, store->SetItem(KeyC, value));
    value.vt = VT_LPWSTR;
    value.pwszVal = nullptr;
    EXPECT_HR(E_POINTER, store->SetItem(KeyC, value));
    UINT32 count = 0;
    EXPECT_HR(S_OK, store->GetCount(&count));
    EXPECT_EQ(2u, count);
}

TEST(Attributes, StringAndBlobBuffersMustBeLargeEnough)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetString(KeyA, "Grüße")); // 7 bytes of UTF-8
    UINT32 length = 0;
    EXPECT_HR(S_OK, store->GetStringLength(KeyA, &length));
    EXPECT_EQ(7u, length);
    char text[8];
    std::memset(text, 'x', sizeof text);
    length = 0;
    EXPECT_HR(E_NOT_SUFFICIENT_BUFFER, store->GetString(KeyA, text, 7, &length)); // no room for the terminator
    EXPECT_EQ(7u, length);
    EXPECT_HR(S_OK, store->GetString(KeyA, text, 8, nullptr));
    EXPECT_STREQ("Grüße", text);
    char* allocated = nullptr;
    EXPECT_HR(S_OK, store->GetAllocatedString(KeyA, &allocated, &length));
    EXPECT_STREQ("Grüße", allocated);
    CoTaskMemFree(allocated);

    const UINT8 bytes[] = { 1, 2, 3, 4, 5 };
    ASSERT_HR(S_OK, store->SetBlob(KeyB, bytes, sizeof bytes));
    UINT8 out[5] = {};
    UINT32 size = 0;
    EXPECT_HR(E_NOT_SUFFICIENT_BUFFER, store->GetBlob(KeyB, out, 4, &size));
    EXPECT_EQ(5u, size);
    EXPECT_HR(S_OK, store->GetBlob(KeyB, out, 5, &size));
    EXPECT_EQ(0, std::memcmp(bytes, out, 5));
    UINT8* allocatedBlob = nullptr;
    EXPECT_HR(S_OK, store->GetAllocatedBlob(KeyB, &allocatedBlob, &size));
    ASSERT_NE(nullptr, allocatedBlob);
    EXPECT_EQ(0, std::memcmp(bytes, allocatedBlob, 5));
    CoTaskMemFree(allocatedBlob);

    ASSERT_HR(S_OK, store->SetBlob(KeyC, nullptr, 0));
    EXPECT_HR(S_OK, store->GetBlobSize(KeyC, &size));
    EXPECT_EQ(0u, size);
    EXPECT_HR(S_OK, store->GetAllocatedBlob(KeyC, &allocatedBlob, &size));
    EXPECT_NE(nullptr, allocatedBlob); // memory to free even when empty
    CoTaskMemFree(allocatedBlob);
}

TEST(Attributes, InsertionOrderIsKeptAcrossOverwriteAndDelete)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetUINT32(KeyC, 1));
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 2));
    ASSERT_HR(S_OK, store->SetUINT32(KeyB, 3));
    ASSERT_HR(S_OK, store->SetString(KeyA, "now a string")); // keeps its place, changes its type
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyA, KeyB }), KeysInOrder(store.Get()));
    MF_ATTRIBUTE_TYPE type {};
    EXPECT_HR(S_OK, store->GetItemType(KeyA, &type));
    EXPECT_EQ(MF_ATTRIBUTE_STRING, type);
    ASSERT_HR(S_OK, store->DeleteItem(KeyA));
    ASSERT_HR(S_OK, store->SetUINT32(KeyD, 4));
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyB, KeyD }), KeysInOrder(store.Get()));
    PROPVARIANT value;
    PropVariantInit(&value);
    GUID key {};
    EXPECT_HR(S_OK, store->GetItemByIndex(1, &key, &value));
    EXPECT_EQ(KeyB, key);
    EXPECT_EQ(VT_UI4, value.vt);
    EXPECT_EQ(3u, value.ulVal);
    ASSERT_HR(S_OK, store->DeleteAllItems());
    EXPECT_TRUE(KeysInOrder(store.Get()).empty());
}

TEST(Attributes, StoredObjectsAreCountedExactly)
{
    std::atomic<int> destroyed { 0 };
    ComPtr<Probe> probe = Make<Probe>(&destroyed);
    {
        ComPtr<IMFAttributes> store = NewStore();
        ASSERT_HR(S_OK, store->SetUnknown(KeyA, probe.Get()));
        EXPECT_EQ(2u, probe->Count());

        ComPtr<ITestProbe> fetched;
        EXPECT_HR(S_OK, store->GetUnknown(KeyA, IidOf<ITestProbe>, reinterpret_cast<void**>(fetched.GetAddressOf())));
        EXPECT_EQ(probe.Get(), fetched.Get());
        EXPECT_EQ(3u, probe->Count());
        fetched = nullptr;

        ComPtr<IMFSample> wrong;
        EXPECT_HR(E_NOINTERFACE, store->GetUnknown(KeyA, IidOf<IMFSample>, reinterpret_cast<void**>(wrong.GetAddressOf())));
        EXPECT_EQ(nullptr, wrong.Get());
        EXPECT_EQ(2u, probe->Count());

        PROPVARIANT value;
        PropVariantInit(&value);
        EXPECT_HR(S_OK, store->GetItem(KeyA, &value));
        EXPECT_EQ(3u, probe->Count());
        PropVariantClear(&value);
        EXPECT_EQ(2u, probe->Count());

        // Overwriting with the same object keeps one reference; with another value lets go.
        ASSERT_HR(S_OK, store->SetUnknown(KeyA, probe.Get()));
        EXPECT_EQ(2u, probe->Count());
        ASSERT_HR(S_OK, store->SetUINT32(KeyA, 1));
        EXPECT_EQ(1u, probe->Count());

        ASSERT_HR(S_OK, store->SetUnknown(KeyA, probe.Get()));
        ASSERT_HR(S_OK, store->SetUnknown(KeyB, probe.Get()));
        EXPECT_EQ(3u, probe->Count());
        ASSERT_HR(S_OK, store->DeleteItem(KeyA));
        EXPECT_EQ(2u, probe->Count());
        ASSERT_HR(S_OK, store->DeleteAllItems());
        EXPECT_EQ(1u, probe->Count());

        ASSERT_HR(S_OK, store->SetUnknown(KeyC, probe.Get()));
        ComPtr<IMFAttributes> copy = NewStore();
        ASSERT_HR(S_OK, store->CopyAllItems(copy.Get()));
        EXPECT_EQ(3u, probe->Count());
        BOOL same = 0;
        EXPECT_HR(S_OK, store->Compare(copy.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same));
        EXPECT_TRUE(same);
        EXPECT_EQ(3u, probe->Count()); // comparing leaves no reference behind
    } // both stores die and let go
    EXPECT_EQ(1u, probe->Count());
    probe = nullptr;
    EXPECT_EQ(1, destroyed.load());

    // A null object is stored as such and asked for in vain.
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetUnknown(KeyA, nullptr));
    ComPtr<IUnknown> unknown;
    EXPECT_HR(E_NOINTERFACE, store->GetUnknown(KeyA, IidOf<IUnknown>, reinterpret_cast<void**>(unknown.GetAddressOf())));
}

namespace
{
// An object that, when it dies, calls the store that held it: the store must have let go of
// its own lock by then (releasing under the lock would deadlock here).
class ReentrantProbe final : public ComObject<ITestProbe>
{
public:
    explicit ReentrantProbe(IMFAttributes* store) : m_Store(store) {}
    ~ReentrantProbe() override
    {
        UINT32 count = 0;
        m_Store->GetCount(&count);
        m_Store->SetUINT32(KeyD, count);
    }
    ULONG Count() override { return ReferenceCount(); }

private:
    IMFAttributes* m_Store; // non-owning: the store outlives the probe
};
} // namespace

TEST(Attributes, ObjectsAreReleasedOutsideTheStoreLock)
{
    ComPtr<IMFAttributes> store = NewStore();
    auto setProbe = [&](REFGUID key) { ASSERT_HR(S_OK, store->SetUnknown(key, Make<ReentrantProbe>(store.Get()).Get())); };

    setProbe(KeyA);
    ASSERT_HR(S_OK, store->DeleteItem(KeyA));
    setProbe(KeyA);
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 5)); // overwrite
    setProbe(KeyB);
    ASSERT_HR(S_OK, store->DeleteAllItems());
    UINT32 value = 0;
    EXPECT_HR(S_OK, store->GetUINT32(KeyD, &value)); // written by the dying probe
    // A copy over a store drops the store's items while it holds the store (LockStore): the
    // dying probe calls that store from the same thread.
    setProbe(KeyA);
    ComPtr<IMFAttributes> other = NewStore();
    ASSERT_HR(S_OK, other->SetUINT32(KeyC, 1));
    ASSERT_HR(S_OK, other->CopyAllItems(store.Get()));
    EXPECT_HR(S_OK, store->GetUINT32(KeyC, &value));
    EXPECT_EQ(1u, value);
}

TEST(Attributes, CompareItemNeedsSameTypeAndValue)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 5));
    ASSERT_HR(S_OK, store->SetString(KeyB, "abc"));
    PROPVARIANT value;
    PropVariantInit(&value);
    BOOL result = 1;
    InitPropVariantFromUInt32(5, &value);
    EXPECT_HR(S_OK, store->CompareItem(KeyA, value, &result));
    EXPECT_TRUE(result);
    value.ulVal = 6;
    EXPECT_HR(S_OK, store->CompareItem(KeyA, value, &result));
    EXPECT_FALSE(result);
    PropVariantClear(&value);
    InitPropVariantFromUInt64(5, &value);
    EXPECT_HR(S_OK, store->CompareItem(KeyA, value, &result)); // same number, other type
    EXPECT_FALSE(result);
    EXPECT_HR(S_OK, store->CompareItem(KeyC, value, &result)); // no such item
    EXPECT_FALSE(result);
    PropVariantClear(&value);
    InitPropVariantFromString("abc", &value);
    EXPECT_HR(S_OK, store->CompareItem(KeyB, value, &result));
    EXPECT_TRUE(result);
    PropVariantClear(&value);
}

TEST(Attributes, CompareFollowsEachMatchType)
{
    // ours {A=1, B=2}; each case gives theirs and the expected answer per match type
    // (OUR_ITEMS, THEIR_ITEMS, ALL_ITEMS, INTERSECTION, SMALLER).
    struct Case
    {
        const char* Name;
        std::vector<std::pair<GUID, UINT32>> Theirs;
        bool Expected[5];
    };
    const Case cases[] = {
        { "equal", { { KeyB, 2 }, { KeyA, 1 } }, { true, true, true, true, true } },
        { "superset", { { KeyA, 1 }, { KeyB, 2 }, { KeyC, 3 } }, { true, false, false, true, true } },
        { "subset", { { KeyA, 1 } }, { false, true, false, true, true } },
        { "disjoint", { { KeyC, 3 } }, { false, false, false, true, false } },
        { "conflict", { { KeyA, 1 }, { KeyB, 9 } }, { false, false, false, false, false } },
        { "empty", {}, { false, true, false, true, true } },
        { "larger with conflict", { { KeyA, 1 }, { KeyB, 9 }, { KeyC, 3 } }, { false, false, false, false, false } },
    };
    ComPtr<IMFAttributes> ours = NewStore();
    ASSERT_HR(S_OK, ours->SetUINT32(KeyA, 1));
    ASSERT_HR(S_OK, ours->SetUINT32(KeyB, 2));
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        ComPtr<IMFAttributes> theirs = NewStore();
        for (const auto& [key, value] : c.Theirs)
            ASSERT_HR(S_OK, theirs->SetUINT32(key, value));
        for (int match = 0; match < 5; ++match)
        {
            SCOPED_TRACE(match);
            BOOL result = 7;
            EXPECT_HR(S_OK, ours->Compare(theirs.Get(), static_cast<MF_ATTRIBUTES_MATCH_TYPE>(match), &result));
            EXPECT_EQ(c.Expected[match], result != 0);
        }
    }
    BOOL result = 0;
    EXPECT_HR(S_OK, ours->Compare(ours.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &result)); // with itself
    EXPECT_TRUE(result);
}

TEST(Attributes, CopyAllItemsReplacesTheDestinationInOrder)
{
    ComPtr<IMFAttributes> source = NewStore();
    ASSERT_HR(S_OK, source->SetUINT32(KeyC, 1));
    ASSERT_HR(S_OK, source->SetString(KeyA, "a"));
    ASSERT_HR(S_OK, source->SetGUID(KeyB, ValueGuid));
    ComPtr<IMFAttributes> destination = NewStore();
    ASSERT_HR(S_OK, destination->SetUINT32(KeyD, 9));
    ASSERT_HR(S_OK, destination->SetUINT32(KeyA, 9));
    ASSERT_HR(S_OK, source->CopyAllItems(destination.Get()));
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyA, KeyB }), KeysInOrder(destination.Get()));
    BOOL same = 0;
    EXPECT_HR(S_OK, destination->Compare(source.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same));
    EXPECT_TRUE(same);
    // The copy is deep: changing the source leaves it alone.
    ASSERT_HR(S_OK, source->SetString(KeyA, "changed"));
    char text[8];
    EXPECT_HR(S_OK, destination->GetString(KeyA, text, sizeof text, nullptr));
    EXPECT_STREQ("a", text);
    // Onto itself: nothing changes.
    ASSERT_HR(S_OK, source->CopyAllItems(source.Get()));
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyA, KeyB }), KeysInOrder(source.Get()));
}

TEST(Attributes, LockStoreKeepsOtherThreadsOutUntilUnlocked)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->LockStore());
    ASSERT_HR(S_OK, store->LockStore()); // nests
    // The owner keeps using the store.
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 1));
    UINT32 count = 0;
    ASSERT_HR(S_OK, store->GetCount(&count));

    std::promise<void> started;
    auto writer = std::async(std::launch::async, [&] {
        started.set_value();
        EXPECT_HR(E_UNEXPECTED, store->UnlockStore()); // not its lock: answered without waiting
        return store->SetUINT32(KeyB, 2);
    });
    started.get_future().wait();
    // The writer waits (a wrong "still waiting" could only make this pass, never fail).
    EXPECT_EQ(std::future_status::timeout, writer.wait_for(std::chrono::milliseconds(50)));
    ASSERT_HR(S_OK, store->UnlockStore());
    EXPECT_EQ(std::future_status::timeout, writer.wait_for(std::chrono::milliseconds(20)));
    ASSERT_HR(S_OK, store->UnlockStore());
    ASSERT_EQ(std::future_status::ready, writer.wait_for(std::chrono::seconds(30)));
    EXPECT_HR(S_OK, writer.get());
    EXPECT_HR(E_UNEXPECTED, store->UnlockStore()); // nothing left to unlock
    EXPECT_EQ((std::vector<GUID> { KeyA, KeyB }), KeysInOrder(store.Get()));
}

TEST(Attributes, ConcurrentWritersReadersAndCopiesStayConsistent)
{
    ComPtr<IMFAttributes> store = NewStore();
    constexpr int Threads = 4;
    constexpr int Rounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
    {
        threads.emplace_back([&, t] {
            GUID own = KeyA;
            own.Data4[7] = static_cast<uint8_t>(0x40 + t);
            ComPtr<IMFAttributes> copy = NewStore();
            for (int round = 0; round < Rounds; ++round)
            {
                ASSERT_HR(S_OK, store->SetUINT32(own, round));
                UINT32 value = 0;
                ASSERT_HR(S_OK, store->GetUINT32(own, &value));
                ASSERT_EQ(UINT32(round), value); // nobody else writes this key
                // A shared key flips between types; readers see one or the other, never garbage.
                const HRESULT set = round % 2 ? store->SetString(KeyB, "shared text") : store->SetUnknown(KeyB, Make<Probe>().Get());
                ASSERT_HR(S_OK, set);
                PROPVARIANT shared;
                PropVariantInit(&shared);
                ASSERT_HR(S_OK, store->GetItem(KeyB, &shared));
                ASSERT_TRUE(shared.vt == VT_LPWSTR || shared.vt == VT_UNKNOWN);
                if (shared.vt == VT_LPWSTR)
                {
                    ASSERT_STREQ("shared text", shared.pwszVal);
                }
                PropVariantClear(&shared);
                if (round % 64 == 0)
                {
                    ASSERT_HR(S_OK, store->CopyAllItems(copy.Get()));
                    BOOL result = 0;
                    ASSERT_HR(S_OK, copy->Compare(store.Get(), MF_ATTRIBUTES_MATCH_INTERSECTION, &result));
                    ASSERT_HR(S_OK, store->DeleteItem(KeyC));
                    ASSERT_HR(S_OK, store->SetDouble(KeyC, round));
                }
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    UINT32 count = 0;
    ASSERT_HR(S_OK, store->GetCount(&count));
    EXPECT_EQ(UINT32(Threads + 2), count); // the own keys, the shared key and KeyC
}
