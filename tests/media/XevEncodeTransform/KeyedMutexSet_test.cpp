#include "media/XevEncodeTransform/KeyedMutexSet.h"

#include "platform/com/Error.h"
#include "fakes/Platform.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
using Item = KeyedMutexSet::Item;
using TestSupport::RefCount;

// Counts the calls and answers what the test sets; held while acquired more often than released.
class CountingKeyedMutex : public ComObject<IDXGIKeyedMutex>
{
public:
    HRESULT GetParent(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT GetDevice(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT AcquireSync(UINT64 key, DWORD milliseconds) override
    {
        Keys.push_back(key), Timeouts.push_back(milliseconds);
        Acquires += AcquireResult == S_OK;
        return AcquireResult;
    }
    HRESULT ReleaseSync(UINT64 key) override
    {
        Keys.push_back(key);
        Releases += ReleaseResult == S_OK;
        return ReleaseResult;
    }
    bool Held() const { return Acquires > Releases; }

    int Acquires = 0, Releases = 0;
    std::vector<UINT64> Keys;
    std::vector<DWORD> Timeouts;
    HRESULT AcquireResult = S_OK, ReleaseResult = S_OK;
};
} // namespace

// Two frames on one texture share its item: acquired once, released with the second; a returned
// item holds no reference; the pool grows past its first 32 items.
TEST(KeyedMutexSet, OneItemPerTextureAcquiredOnceAndReleasedWithTheLastFrame)
{
    KeyedMutexSet set;
    std::vector<ComPtr<CountingKeyedMutex>> mutexes;
    std::vector<ComPtr<Item>> items(33);
    for (auto& item : items)
        set.Acquire(mutexes.emplace_back(Make<CountingKeyedMutex>()).Get(), item);
    const ULONG baseline = RefCount(mutexes[1].Get());
    ComPtr<Item> second;
    set.Acquire(mutexes[1].Get(), second);
    EXPECT_EQ(second.Get(), items[1].Get());
    EXPECT_EQ(std::tuple(second->UseCount(), set.InUseCount(), mutexes[1]->Acquires, second->IsAcquired()), std::tuple(2u, 33ul, 1, true));
    set.Release(items[1]);
    EXPECT_FALSE(items[1]);
    EXPECT_EQ(std::tuple(second->UseCount(), mutexes[1]->Held()), std::tuple(1u, true)) << "still held for the second frame";
    Item* raw = second.Get();
    set.Release(second);
    EXPECT_EQ(std::tuple(bool(second), mutexes[1]->Held(), raw->IsAcquired(), raw->KeyedMutex(), set.InUseCount()),
              std::tuple(false, false, false, nullptr, 32ul)) << "the item went back to the pool and dropped the mutex";
    EXPECT_EQ(RefCount(mutexes[1].Get()), baseline - 1) << "a returned item holds no reference";
    for (auto& item : items)
        set.Release(item);
    EXPECT_EQ(set.InUseCount(), 0u);
    for (auto& mutex : mutexes)
    {
        EXPECT_EQ(std::pair(mutex->Acquires, mutex->Releases), std::pair(1, 1));
        EXPECT_EQ(mutex->Keys, (std::vector<UINT64> { 0, 0 }));
        EXPECT_EQ(mutex->Timeouts, std::vector<DWORD> { INFINITE });
    }
    EXPECT_EQ(set.GetPool().GetElementCount(), 33u);
}

TEST(KeyedMutexSet, ClearLeavesHeldItemsToTheirHoldersAndTheReturnReleases)
{
    KeyedMutexSet set;
    auto mutex = Make<CountingKeyedMutex>();
    ComPtr<Item> frame;
    set.Acquire(mutex.Get(), frame);
    set.Clear();
    EXPECT_EQ(std::tuple(set.InUseCount(), frame->IsAcquired(), mutex->Held()), std::tuple(0ul, true, true)) << "the frame still holds its item";
    frame = nullptr; // the last reference: back to the pool, which releases the mutex
    EXPECT_FALSE(mutex->Held());
    // Items only the set held go back at once.
    set.Acquire(mutex.Get(), frame);
    frame.Reset();
    ASSERT_TRUE(mutex->Held());
    set.Clear();
    EXPECT_FALSE(mutex->Held());
}

TEST(KeyedMutexSet, FailuresThrowAndChangeNothing)
{
    KeyedMutexSet set;
    auto mutex = Make<CountingKeyedMutex>();
    ComPtr<Item> frame, keep, none;
    // WAIT_TIMEOUT and WAIT_ABANDONED are success codes: they must still count as failures.
    for (const auto& [answer, thrown] : { std::pair { HRESULT(WAIT_TIMEOUT), HResultFromWin32(0x102) }, std::pair { HRESULT(WAIT_ABANDONED), HResultFromWin32(0x80) },
                                          std::pair { E_FAIL, E_FAIL } })
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
    EXPECT_EQ(std::pair(set.InUseCount(), mutex->Releases), std::pair(0ul, 1));

    // Releasing an idle item or nothing changes nothing.
    ComPtr<Item> again = keep;
    set.Release(again);
    set.Release(none);
    EXPECT_EQ(std::pair(keep->UseCount(), mutex->Releases), std::pair(0u, 1));
}
