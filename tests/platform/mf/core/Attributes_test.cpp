#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

using namespace WorkTest;

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

std::vector<GUID> KeysInOrder(IMFAttributes* a)
{
    UINT32 count = 0;
    EXPECT_HR(S_OK, a->GetCount(&count));
    std::vector<GUID> keys(count);
    for (UINT32 i = 0; i < count; ++i)
        EXPECT_HR(S_OK, a->GetItemByIndex(i, &keys[i], nullptr));
    return keys;
}

PROPVARIANT Empty(VARTYPE type = VT_EMPTY)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = type;
    return value;
}
} // namespace

TEST(Attributes, GettersReadTheirOwnTypeOnlyAndBadCallsAreRefused)
{
    ComPtr<IMFAttributes> store = NewStore();
    const UINT8 bytes[] = { 1, 2, 3 };
    ASSERT_HR(S_OK, store->SetBlob(KeyA, bytes, sizeof bytes));
    ASSERT_HR(S_OK, store->SetUINT32(KeyB, 7));
    BOOL result = 0;
    UINT32 size = 0;
    UINT64 wide = 0;
    UINT8 out[3] = {};
    EXPECT_HR(MF_E_INVALIDTYPE, store->GetUINT64(KeyB, &wide));
    EXPECT_HR(MF_E_ATTRIBUTENOTFOUND, store->GetUINT32(KeyC, &size));
    EXPECT_HR(E_POINTER, store->SetItem(KeyC, Empty(VT_CLSID))); // without its GUID
    EXPECT_HR(MF_E_INVALIDTYPE, store->SetItem(KeyC, Empty(VT_I4)));
    EXPECT_HR(E_INVALIDARG, store->Compare(store.Get(), static_cast<MF_ATTRIBUTES_MATCH_TYPE>(0), &result));
    EXPECT_HR(E_NOT_SUFFICIENT_BUFFER, store->GetBlob(KeyA, out, 2, &size));
    EXPECT_HR(S_OK, store->GetBlob(KeyA, out, 3, &size));
    EXPECT_EQ(0, std::memcmp(bytes, out, 3));
}

TEST(Attributes, OrderIsKeptAcrossOverwriteDeleteAndDeepCopy)
{
    ComPtr<IMFAttributes> store = NewStore(), copy = NewStore();
    const UINT8 one[] = { 1 }, two[] = { 2 };
    ASSERT_HR(S_OK, store->SetUINT32(KeyC, 1));
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 2));
    ASSERT_HR(S_OK, store->SetUINT32(KeyB, 3));
    ASSERT_HR(S_OK, store->SetBlob(KeyA, one, 1)); // keeps its place, changes its type
    // A copy replaces what the destination held, in the source's order, and is deep.
    ASSERT_HR(S_OK, copy->SetUINT32(KeyD, 9));
    ASSERT_HR(S_OK, store->CopyAllItems(copy.Get()));
    ASSERT_HR(S_OK, store->SetBlob(KeyA, two, 1));
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyA, KeyB }), KeysInOrder(copy.Get()));
    UINT8 out = 0;
    EXPECT_HR(S_OK, copy->GetBlob(KeyA, &out, 1, nullptr));
    EXPECT_EQ(1, out);
    ASSERT_HR(S_OK, store->CopyAllItems(store.Get())); // onto itself: nothing changes
    ASSERT_HR(S_OK, store->DeleteItem(KeyA));
    ASSERT_HR(S_OK, store->SetUINT32(KeyD, 4));
    EXPECT_EQ((std::vector<GUID> { KeyC, KeyB, KeyD }), KeysInOrder(store.Get()));
}

TEST(Attributes, StoredObjectsAreCountedExactly)
{
    std::atomic<int> destroyed { 0 };
    ComPtr<Probe> probe = Make<Probe>(&destroyed);
    {
        ComPtr<IMFAttributes> store = NewStore(), copy = NewStore();
        PROPVARIANT value = Empty();
        ASSERT_HR(S_OK, store->SetUnknown(KeyA, probe.Get()));
        ASSERT_HR(S_OK, store->SetUnknown(KeyA, probe.Get())); // the same object again: one reference
        EXPECT_HR(S_OK, store->GetItem(KeyA, &value));
        EXPECT_EQ(3u, RefCount(probe.Get()));
        PropVariantClear(&value);
        ASSERT_HR(S_OK, store->SetUINT32(KeyA, 1)); // another value lets go
        EXPECT_EQ(1u, RefCount(probe.Get()));
        ASSERT_HR(S_OK, store->SetUnknown(KeyB, probe.Get()));
        ASSERT_HR(S_OK, store->CopyAllItems(copy.Get()));
        BOOL same = 0;
        EXPECT_HR(S_OK, store->Compare(copy.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same));
        EXPECT_TRUE(same);
        EXPECT_EQ(3u, RefCount(probe.Get())); // one per store; comparing leaves none behind
        ASSERT_HR(S_OK, copy->DeleteAllItems());
        EXPECT_EQ(2u, RefCount(probe.Get()));
    }
    probe = nullptr;
    EXPECT_EQ(1, destroyed.load());
}

namespace
{
// Calls the store that held it when it dies: the store must have let go of its own lock by
// then (releasing under the lock would deadlock here).
class ReentrantProbe final : public ComObject<IUnknown>
{
public:
    explicit ReentrantProbe(IMFAttributes* store) : m_Store(store) {}
    ~ReentrantProbe() override { m_Store->SetUINT32(KeyD, 1); }

private:
    IMFAttributes* m_Store; // non-owning: the store outlives the probe
};
} // namespace

TEST(Attributes, ObjectsAreReleasedOutsideTheStoreLock)
{
    ComPtr<IMFAttributes> store = NewStore(), other = NewStore();
    const auto setProbe = [&] { EXPECT_HR(S_OK, store->SetUnknown(KeyA, Make<ReentrantProbe>(store.Get()).Get())); };
    setProbe();
    ASSERT_HR(S_OK, store->DeleteItem(KeyA));
    setProbe();
    ASSERT_HR(S_OK, store->SetUINT32(KeyA, 5)); // overwrite
    setProbe();
    ASSERT_HR(S_OK, store->DeleteAllItems());
    setProbe();
    ASSERT_HR(S_OK, other->CopyAllItems(store.Get())); // a copy over the store drops its items
    EXPECT_HR(S_OK, store->GetItem(KeyD, nullptr)); // written by the dying probe
}

TEST(Attributes, CompareMatchesOnlyTheSameKeysWithEqualValuesAndTypes)
{
    ComPtr<IMFAttributes> ours = NewStore();
    ASSERT_HR(S_OK, ours->SetUINT32(KeyA, 1));
    ASSERT_HR(S_OK, ours->SetUINT32(KeyB, 2));
    const std::pair<const char*, std::vector<std::pair<GUID, UINT32>>> cases[] = {
        { "equal", { { KeyB, 2 }, { KeyA, 1 } } },
        { "superset", { { KeyA, 1 }, { KeyB, 2 }, { KeyC, 3 } } },
        { "subset", { { KeyA, 1 } } },
        { "conflict", { { KeyA, 1 }, { KeyB, 9 } } },
        { "other type", { { KeyB, 2 } } }, // KeyA added as a 64-bit number below
    };
    for (const auto& [name, items] : cases)
    {
        ComPtr<IMFAttributes> theirs = NewStore();
        for (const auto& [key, number] : items)
            ASSERT_HR(S_OK, theirs->SetUINT32(key, number));
        if (items.size() == 1 && items[0].first == KeyB)
        {
            ASSERT_HR(S_OK, theirs->SetUINT64(KeyA, 1));
        }
        BOOL result = 7;
        EXPECT_HR(S_OK, ours->Compare(theirs.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &result));
        EXPECT_EQ(std::string(name) == "equal", result != 0) << name;
    }
}

// A shared key flips between types while copies are taken: copies see one type or the other,
// never garbage, and each thread's own key holds what it wrote.
TEST(Attributes, ConcurrentWritersAndCopiesStayConsistent)
{
    ComPtr<IMFAttributes> store = NewStore();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            GUID own = KeyA;
            own.Data4[7] = static_cast<uint8_t>(0x40 + t);
            ComPtr<IMFAttributes> copy = NewStore();
            const UINT8 bytes[] = { 1, 2, 3, 4 };
            for (UINT32 round = 0; round < 1000; ++round)
            {
                ASSERT_HR(S_OK, store->SetUINT32(own, round));
                ASSERT_HR(S_OK, round % 2 ? store->SetBlob(KeyB, bytes, 4) : store->SetUnknown(KeyB, Make<Probe>().Get()));
                ASSERT_HR(S_OK, store->CopyAllItems(copy.Get()));
                ASSERT_EQ(round, MFGetAttributeUINT32(copy.Get(), own, ~0u)); // nobody else writes this key
                PROPVARIANT shared = Empty();
                ASSERT_HR(S_OK, copy->GetItem(KeyB, &shared));
                ASSERT_TRUE(shared.vt == VT_UNKNOWN || (shared.caub.cElems == 4 && shared.caub.pElems[3] == 4));
                PropVariantClear(&shared);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
}
