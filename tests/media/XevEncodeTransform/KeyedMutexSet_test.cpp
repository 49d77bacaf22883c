// The keyed mutex set against a counting mutex. (The encoder transform's texture tests acquire
// and give back real keyed mutexes with key 0.)

#include "media/XevEncodeTransform/KeyedMutexSet.h"

#include "platform/com/Error.h"
#include "fakes/Platform.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
using Item = KeyedMutexSet::Item;

// Counts the successful calls and answers what the test sets; held while acquired more often than released.
class CountingKeyedMutex : public ComObject<IDXGIKeyedMutex>
{
public:
    HRESULT GetParent(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT GetDevice(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT AcquireSync(UINT64, DWORD) override { return Acquires += AcquireResult == S_OK, AcquireResult; }
    HRESULT ReleaseSync(UINT64) override { return Releases += ReleaseResult == S_OK, ReleaseResult; }
    bool Held() const { return Acquires > Releases; }

    int Acquires = 0, Releases = 0;
    HRESULT AcquireResult = S_OK, ReleaseResult = S_OK;
};
} // namespace

// Two frames on one texture share its item: acquired once, released with the second; a returned
// item holds no reference; the pool grows past its first 32 items; Clear leaves held items to
// their holders, whose return releases.
TEST(KeyedMutexSet, OneItemPerTextureAcquiredOnceAndReleasedWithTheLastFrame)
{
    KeyedMutexSet set;
    std::vector<ComPtr<CountingKeyedMutex>> mutexes;
    std::vector<ComPtr<Item>> items(33);
    for (auto& item : items)
        set.Acquire(mutexes.emplace_back(Make<CountingKeyedMutex>()).Get(), item);
    const ULONG baseline = TestSupport::RefCount(mutexes[1].Get());
    ComPtr<Item> second;
    set.Acquire(mutexes[1].Get(), second);
    EXPECT_EQ(std::tuple(second.Get(), second->UseCount(), set.InUseCount(), mutexes[1]->Acquires), std::tuple(items[1].Get(), 2u, 33ul, 1));
    set.Release(items[1]);
    EXPECT_EQ(std::tuple(bool(items[1]), second->UseCount(), mutexes[1]->Held()), std::tuple(false, 1u, true)) << "still held for the second frame";
    Item* raw = second.Get();
    set.Release(second);
    EXPECT_EQ(std::tuple(bool(second), mutexes[1]->Held(), raw->IsAcquired(), raw->KeyedMutex(), set.InUseCount()), std::tuple(false, false, false, nullptr, 32ul));
    EXPECT_EQ(TestSupport::RefCount(mutexes[1].Get()), baseline - 1) << "a returned item holds no reference";
    items[0] = nullptr; // only the set holds it now
    ASSERT_TRUE(mutexes[0]->Held());
    set.Clear();
    EXPECT_EQ(std::tuple(set.InUseCount(), mutexes[0]->Held(), items[2]->IsAcquired(), mutexes[2]->Held()), std::tuple(0ul, false, true, true));
    items.clear(); // the last references: back to the pool, which releases the mutexes
    for (auto& mutex : mutexes)
        EXPECT_EQ(std::pair(mutex->Acquires, mutex->Releases), std::pair(1, 1));
    EXPECT_EQ(set.GetPool().GetElementCount(), 33u);
}

TEST(KeyedMutexSet, FailuresThrowAndChangeNothing)
{
    KeyedMutexSet set;
    auto mutex = Make<CountingKeyedMutex>();
    ComPtr<Item> frame, keep, none;
    // WAIT_TIMEOUT and WAIT_ABANDONED are success codes: they must still count as failures.
    for (const auto& [answer, thrown] : { std::pair { HRESULT(WAIT_TIMEOUT), HResultFromWin32(0x102) }, { HRESULT(WAIT_ABANDONED), HResultFromWin32(0x80) }, { E_FAIL, E_FAIL } })
    {
        mutex->AcquireResult = answer;
        EXPECT_EQ(Error::Guard([&] { set.Acquire(mutex.Get(), frame); }), thrown);
        EXPECT_FALSE(frame);
    }
    EXPECT_EQ(Error::Guard([&] { set.Acquire(nullptr, frame); }), E_POINTER);
    EXPECT_EQ(std::pair(set.InUseCount(), mutex->Releases), std::pair(0ul, 0));

    // A failed release keeps the item as it was.
    mutex->AcquireResult = S_OK;
    set.Acquire(mutex.Get(), frame);
    mutex->ReleaseResult = E_FAIL;
    EXPECT_EQ(Error::Guard([&] { set.Release(frame); }), E_FAIL);
    ASSERT_TRUE(frame);
    EXPECT_EQ(std::tuple(frame->UseCount(), frame->IsAcquired(), set.InUseCount()), std::tuple(1u, true, 1ul));
    mutex->ReleaseResult = S_OK;
    keep = frame;
    set.Release(frame);
    // Releasing an idle item or nothing changes nothing.
    ComPtr<Item> again = keep;
    set.Release(again);
    set.Release(none);
    EXPECT_EQ(std::tuple(set.InUseCount(), keep->UseCount(), mutex->Releases), std::tuple(0ul, 0u, 1));
}
