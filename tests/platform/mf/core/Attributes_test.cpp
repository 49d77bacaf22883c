#include "DataTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <vector>

using namespace DataTest;

namespace
{
constexpr GUID KeyA = Guid::Parse("11111111-0000-0000-0000-000000000001");
constexpr GUID KeyB = Guid::Parse("11111111-0000-0000-0000-000000000002");
constexpr GUID KeyC = Guid::Parse("11111111-0000-0000-0000-000000000003");
constexpr GUID KeyD = Guid::Parse("11111111-0000-0000-0000-000000000004");

ComPtr<IMFAttributes> NewStore()
{
    ComPtr<IMFAttributes> store;
    EXPECT_HR(S_OK, MFCreateAttributes(store.GetAddressOf(), 4));
    return store;
}

// One item of each attribute type.
struct TypedItem
{
    MF_ATTRIBUTE_TYPE Type;
    HRESULT (*Set)(IMFAttributes*, REFGUID);
};
const TypedItem TypedItems[] = {
    { MF_ATTRIBUTE_UINT32, [](IMFAttributes* a, REFGUID k) { return a->SetUINT32(k, 7); } },
    { MF_ATTRIBUTE_UINT64, [](IMFAttributes* a, REFGUID k) { return a->SetUINT64(k, 7); } },
    { MF_ATTRIBUTE_DOUBLE, [](IMFAttributes* a, REFGUID k) { return a->SetDouble(k, 7.5); } },
    { MF_ATTRIBUTE_GUID, [](IMFAttributes* a, REFGUID k) { return a->SetGUID(k, KeyD); } },
    { MF_ATTRIBUTE_STRING, [](IMFAttributes* a, REFGUID k) { return a->SetString(k, "seven"); } },
    { MF_ATTRIBUTE_BLOB, [](IMFAttributes* a, REFGUID k) { const UINT8 b[] = { 7, 7 }; return a->SetBlob(k, b, 2); } },
    { MF_ATTRIBUTE_IUNKNOWN, [](IMFAttributes* a, REFGUID k) { return a->SetUnknown(k, Make<Probe>().Get()); } },
};

// Every typed getter run against one key, with the type each reads.
std::vector<std::pair<MF_ATTRIBUTE_TYPE, HRESULT>> AllGetters(IMFAttributes* a, REFGUID key)
{
    UINT32 u32 = 0, length = 0;
    UINT64 u64 = 0;
    double d = 0;
    GUID g {};
    char text[32], *allocatedText = nullptr;
    UINT8 blob[32], *allocatedBlob = nullptr;
    ComPtr<IUnknown> unknown;
    std::vector<std::pair<MF_ATTRIBUTE_TYPE, HRESULT>> results = {
        { MF_ATTRIBUTE_UINT32, a->GetUINT32(key, &u32) },
        { MF_ATTRIBUTE_UINT64, a->GetUINT64(key, &u64) },
        { MF_ATTRIBUTE_DOUBLE, a->GetDouble(key, &d) },
        { MF_ATTRIBUTE_GUID, a->GetGUID(key, &g) },
        { MF_ATTRIBUTE_STRING, a->GetStringLength(key, &length) },
        { MF_ATTRIBUTE_STRING, a->GetString(key, text, sizeof text, &length) },
        { MF_ATTRIBUTE_STRING, a->GetAllocatedString(key, &allocatedText, &length) },
        { MF_ATTRIBUTE_BLOB, a->GetBlobSize(key, &length) },
        { MF_ATTRIBUTE_BLOB, a->GetBlob(key, blob, sizeof blob, &length) },
        { MF_ATTRIBUTE_BLOB, a->GetAllocatedBlob(key, &allocatedBlob, &length) },
        { MF_ATTRIBUTE_IUNKNOWN, a->GetUnknown(key, IidOf<IUnknown>, reinterpret_cast<void**>(unknown.GetAddressOf())) },
    };
    CoTaskMemFree(allocatedText);
    CoTaskMemFree(allocatedBlob);
    return results;
}

std::vector<GUID> KeysInOrder(IMFAttributes* a)
{
    UINT32 count = 0;
    EXPECT_HR(S_OK, a->GetCount(&count));
    std::vector<GUID> keys(count);
    for (UINT32 i = 0; i < count; ++i)
        EXPECT_HR(S_OK, a->GetItemByIndex(i, &keys[i], nullptr));
    return keys;
}
} // namespace

TEST(Attributes, EachGetterReadsItsOwnTypeOnly)
{
    for (const TypedItem& item : TypedItems)
    {
        SCOPED_TRACE(item.Type);
        ComPtr<IMFAttributes> store = NewStore();
        ASSERT_HR(S_OK, item.Set(store.Get(), KeyA));
        MF_ATTRIBUTE_TYPE type {};
        EXPECT_HR(S_OK, store->GetItemType(KeyA, &type));
        EXPECT_EQ(item.Type, type);
        for (const auto& [getterType, hr] : AllGetters(store.Get(), KeyA))
            EXPECT_HR(getterType == item.Type ? S_OK : MF_E_INVALIDTYPE, hr) << getterType;
    }
    for (const auto& [getterType, hr] : AllGetters(NewStore().Get(), KeyA))
        EXPECT_HR(MF_E_ATTRIBUTENOTFOUND, hr) << getterType;
}

TEST(Attributes, FailureTable)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetString(KeyA, "text"));
    GUID key {};
    BOOL result = 0;
    MF_ATTRIBUTE_TYPE type {};
    PROPVARIANT value = VariantOfType(VT_EMPTY);
    ExpectCalls({
        CALL(S_OK, Query<IMFAttributes>(store.Get())),
        CALL(E_NOINTERFACE, Query<IMFMediaType>(store.Get())),
        CALL(E_NOINTERFACE, Query<IMFSample>(store.Get())),
        CALL(E_POINTER, store->QueryInterface(IidOf<IMFAttributes>, nullptr)),
        CALL(E_POINTER, MFCreateAttributes(nullptr, 0)),
        CALL(E_POINTER, store->GetUINT32(KeyA, nullptr)),
        CALL(E_POINTER, store->SetItem(KeyB, VariantOfType(VT_CLSID))), // without its GUID
        CALL(E_POINTER, store->SetItem(KeyB, VariantOfType(VT_LPWSTR))),
        CALL(MF_E_INVALIDTYPE, store->SetItem(KeyB, VariantOfType(VT_I4))),
        CALL(MF_E_INVALIDTYPE, store->SetItem(KeyB, VariantOfType(VT_EMPTY))),
        CALL(E_INVALIDARG, store->GetItemByIndex(1, &key, nullptr)),
        CALL(E_INVALIDARG, store->Compare(store.Get(), static_cast<MF_ATTRIBUTES_MATCH_TYPE>(0), &result)),
        CALL(MF_E_ATTRIBUTENOTFOUND, store->GetItemType(KeyB, &type)),
        CALL(MF_E_ATTRIBUTENOTFOUND, store->GetItem(KeyB, &value)),
        CALL(S_OK, store->GetItem(KeyA, nullptr)), // existence only
        CALL(S_OK, store->DeleteItem(KeyB)),       // deleting what is not there is no failure
        CALL(S_OK, store->SetBlob(KeyB, nullptr, 0)), // an empty blob
    });
    EXPECT_EQ(VT_EMPTY, value.vt);
    EXPECT_EQ((std::vector<GUID> { KeyA, KeyB }), KeysInOrder(store.Get()));
}

TEST(Attributes, StringsAndBlobsNeedRoomAndComeBackWhole)
{
    ComPtr<IMFAttributes> store = NewStore();
    const UINT8 bytes[] = { 1, 2, 3, 4, 5 };
    ASSERT_HR(S_OK, store->SetString(KeyA, "Grüße")); // 7 bytes of UTF-8
    ASSERT_HR(S_OK, store->SetBlob(KeyB, bytes, sizeof bytes));
    ASSERT_HR(S_OK, store->SetBlob(KeyC, nullptr, 0));
    UINT32 length = 0, textLength = 0, blobLength = 0;
    char text[8];
    UINT8 out[5] = {};
    EXPECT_HR(S_OK, store->GetStringLength(KeyA, &length));
    EXPECT_HR(E_NOT_SUFFICIENT_BUFFER, store->GetString(KeyA, text, 7, &textLength)); // no room for the terminator
    EXPECT_HR(E_NOT_SUFFICIENT_BUFFER, store->GetBlob(KeyB, out, 4, &blobLength));
    EXPECT_EQ((std::vector<UINT32> { 7, 7, 5 }), (std::vector<UINT32> { length, textLength, blobLength }));
    EXPECT_HR(S_OK, store->GetString(KeyA, text, 8, nullptr));
    EXPECT_STREQ("Grüße", text);
    EXPECT_HR(S_OK, store->GetBlob(KeyB, out, 5, &length));
    EXPECT_EQ(0, std::memcmp(bytes, out, 5));

    char* allocatedText = nullptr;
    UINT8 *allocatedBlob = nullptr, *empty = nullptr;
    EXPECT_HR(S_OK, store->GetAllocatedString(KeyA, &allocatedText, &length));
    EXPECT_HR(S_OK, store->GetAllocatedBlob(KeyB, &allocatedBlob, &length));
    EXPECT_EQ(5u, length);
    EXPECT_HR(S_OK, store->GetAllocatedBlob(KeyC, &empty, &length));
    EXPECT_EQ(0u, length);
    ASSERT_TRUE(allocatedText && allocatedBlob && empty); // memory to free even when empty
    EXPECT_STREQ("Grüße", allocatedText);
    EXPECT_EQ(0, std::memcmp(bytes, allocatedBlob, 5));
    CoTaskMemFree(allocatedText);
    CoTaskMemFree(allocatedBlob);
    CoTaskMemFree(empty);
}

TEST(Attributes, OrderIsKeptAcrossOverwriteDeleteAndDeepCopy)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->SetUINT32(KeyC, 0xFFFFFFFFu));
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 2));
    ASSERT_HR(S_OK, store->SetUINT32(KeyB, 3));
    ASSERT_HR(S_OK, store->SetString(KeyA, "a")); // keeps its place, changes its type
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyA, KeyB }), KeysInOrder(store.Get()));
    PROPVARIANT value = VariantOfType(VT_EMPTY);
    GUID key {};
    EXPECT_HR(S_OK, store->GetItemByIndex(0, &key, &value));
    EXPECT_EQ(VT_UI4, value.vt);
    EXPECT_EQ(0xFFFFFFFFu, value.ulVal);

    // A copy replaces what the destination held, in the source's order, and is deep.
    ComPtr<IMFAttributes> copy = NewStore();
    ASSERT_HR(S_OK, copy->SetUINT32(KeyD, 9));
    ASSERT_HR(S_OK, copy->SetUINT32(KeyA, 9));
    ASSERT_HR(S_OK, store->CopyAllItems(copy.Get()));
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyA, KeyB }), KeysInOrder(copy.Get()));
    ASSERT_HR(S_OK, store->SetString(KeyA, "changed"));
    char text[8];
    EXPECT_HR(S_OK, copy->GetString(KeyA, text, sizeof text, nullptr));
    EXPECT_STREQ("a", text);
    ASSERT_HR(S_OK, store->CopyAllItems(store.Get())); // onto itself: nothing changes

    ASSERT_HR(S_OK, store->DeleteItem(KeyA));
    ASSERT_HR(S_OK, store->SetUINT32(KeyD, 4));
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyB, KeyD }), KeysInOrder(store.Get()));
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
        PROPVARIANT value = VariantOfType(VT_EMPTY);
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
        ASSERT_HR(S_OK, store->DeleteItem(KeyA));
        EXPECT_EQ(2u, probe->Count());
        ASSERT_HR(S_OK, store->DeleteAllItems());
        EXPECT_EQ(1u, probe->Count());

        ASSERT_HR(S_OK, store->SetUnknown(KeyC, probe.Get()));
        ComPtr<IMFAttributes> copy = NewStore();
        ASSERT_HR(S_OK, store->CopyAllItems(copy.Get()));
        BOOL same = 0;
        EXPECT_HR(S_OK, store->Compare(copy.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same));
        EXPECT_TRUE(same);
        EXPECT_EQ(3u, probe->Count()); // one per store; comparing leaves none behind
    }
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
// Calls the store that held it when it dies: the store must have let go of its own lock by
// then (releasing under the lock would deadlock here).
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
}

TEST(Attributes, ComparisonsFollowTypeAndValue)
{
    ComPtr<IMFAttributes> ours = NewStore();
    ASSERT_HR(S_OK, ours->SetUINT32(KeyA, 1));
    ASSERT_HR(S_OK, ours->SetUINT32(KeyB, 2));
    auto compareItem = [&](REFGUID key, PROPVARIANT value) {
        BOOL equal = 7;
        EXPECT_HR(S_OK, ours->CompareItem(key, value, &equal));
        PropVariantClear(&value);
        return equal;
    };
    PROPVARIANT value;
    InitPropVariantFromUInt32(1, &value);
    EXPECT_TRUE(compareItem(KeyA, value));
    EXPECT_FALSE(compareItem(KeyB, value));
    EXPECT_FALSE(compareItem(KeyC, value)); // no such item
    InitPropVariantFromUInt64(1, &value);
    EXPECT_FALSE(compareItem(KeyA, value)); // same number, other type

    // Ours is {A=1, B=2}: only the same keys with equal values match.
    const std::pair<const char*, std::vector<std::pair<GUID, UINT32>>> cases[] = {
        { "equal", { { KeyB, 2 }, { KeyA, 1 } } },
        { "superset", { { KeyA, 1 }, { KeyB, 2 }, { KeyC, 3 } } },
        { "subset", { { KeyA, 1 } } },
        { "conflict", { { KeyA, 1 }, { KeyB, 9 } } },
        { "empty", {} },
    };
    for (const auto& [name, items] : cases)
    {
        ComPtr<IMFAttributes> theirs = NewStore();
        for (const auto& [key, number] : items)
            ASSERT_HR(S_OK, theirs->SetUINT32(key, number));
        BOOL result = 7;
        EXPECT_HR(S_OK, ours->Compare(theirs.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &result));
        EXPECT_EQ(std::string(name) == "equal", result != 0) << name;
    }
}

TEST(Attributes, LockStoreKeepsOtherThreadsOutUntilUnlocked)
{
    ComPtr<IMFAttributes> store = NewStore();
    ASSERT_HR(S_OK, store->LockStore());
    ASSERT_HR(S_OK, store->LockStore()); // nests
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 1)); // the owner keeps using the store
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
    ASSERT_EQ(std::future_status::ready, writer.wait_for(TestSupport::Patience));
    EXPECT_HR(S_OK, writer.get());
    EXPECT_HR(E_UNEXPECTED, store->UnlockStore()); // nothing left to unlock
    EXPECT_EQ((std::vector<GUID> { KeyA, KeyB }), KeysInOrder(store.Get()));
}

TEST(Attributes, ConcurrentWritersReadersAndCopiesStayConsistent)
{
    ComPtr<IMFAttributes> store = NewStore();
    constexpr int Threads = 4, Rounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([&, t] {
            GUID own = KeyA;
            own.Data4[7] = static_cast<uint8_t>(0x40 + t);
            ComPtr<IMFAttributes> copy = NewStore();
            for (int round = 0; round < Rounds; ++round)
            {
                ASSERT_HR(S_OK, store->SetUINT32(own, round));
                ASSERT_EQ(UINT32(round), MFGetAttributeUINT32(store.Get(), own, ~0u)); // nobody else writes this key
                // A shared key flips between types; readers see one or the other, never garbage.
                ASSERT_HR(S_OK, round % 2 ? store->SetString(KeyB, "shared text") : store->SetUnknown(KeyB, Make<Probe>().Get()));
                PROPVARIANT shared = VariantOfType(VT_EMPTY);
                ASSERT_HR(S_OK, store->GetItem(KeyB, &shared));
                ASSERT_TRUE(shared.vt == VT_UNKNOWN || (shared.vt == VT_LPWSTR && std::strcmp("shared text", shared.pwszVal) == 0));
                PropVariantClear(&shared);
                if (round % 64 == 0)
                {
                    ASSERT_HR(S_OK, store->CopyAllItems(copy.Get()));
                    BOOL result = 0;
                    ASSERT_HR(S_OK, copy->Compare(store.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &result));
                    ASSERT_HR(S_OK, store->DeleteItem(KeyC));
                    ASSERT_HR(S_OK, store->SetDouble(KeyC, round));
                }
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(size_t(Threads + 2), KeysInOrder(store.Get()).size()); // the own keys, the shared key and KeyC
}
