#include "media/XevEncodeTransform/KeyedMutexSet.h"

#include "platform/com/Error.h"
#include "platform/d3d/D3D11.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{
using Item = KeyedMutexSet::Item;

ULONG CountOf(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

// Counts the calls and answers what the test sets.
class CountingKeyedMutex : public ComObject<IDXGIKeyedMutex>
{
public:
    HRESULT GetParent(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT GetDevice(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT AcquireSync(UINT64 key, DWORD milliseconds) override
    {
        ++Acquires;
        LastAcquireKey = key;
        LastTimeout = milliseconds;
        return AcquireResult;
    }
    HRESULT ReleaseSync(UINT64 key) override
    {
        ++Releases;
        LastReleaseKey = key;
        return ReleaseResult;
    }

    int Acquires = 0, Releases = 0;
    UINT64 LastAcquireKey = ~0ull, LastReleaseKey = ~0ull;
    DWORD LastTimeout = 0;
    HRESULT AcquireResult = S_OK, ReleaseResult = S_OK;
};

// A real device's texture with a keyed mutex, as the allocator makes them.
struct SharedTexture
{
    SharedTexture()
    {
        ComPtr<ID3D11Device> device;
        EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr, nullptr),
                  S_OK);
        const D3D11_TEXTURE2D_DESC desc { 64, 64, 1, 1, DXGI_FORMAT_NV12, { 1, 0 }, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0,
                                          D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE };
        EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, Texture.GetAddressOf()), S_OK);
        EXPECT_EQ(Texture.As(&Mutex), S_OK);
    }
    // Whether the texture's producer could take the mutex with key 0 now (and gives it back).
    bool ProducerCanAcquire() const
    {
        const HRESULT hr = Mutex->AcquireSync(0, 0);
        if (hr != S_OK)
            return false;
        EXPECT_EQ(Mutex->ReleaseSync(0), S_OK);
        return true;
    }
    ComPtr<ID3D11Texture2D> Texture;
    ComPtr<IDXGIKeyedMutex> Mutex;
};

HRESULT ResultOf(auto&& call)
{
    return Error::Guard([&] { call(); });
}
} // namespace

TEST(KeyedMutexSet, TwoFramesOnOneTextureAcquireOnceAndReleaseWithTheSecond)
{
    KeyedMutexSet set;
    SharedTexture texture;
    ComPtr<Item> first, second;
    set.Acquire(texture.Mutex.Get(), first);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->IsAcquired());
    EXPECT_EQ(first->Key(), 0u);
    EXPECT_FALSE(texture.ProducerCanAcquire());
    set.Acquire(texture.Mutex.Get(), second);
    EXPECT_EQ(second.Get(), first.Get()) << "one item per texture";
    EXPECT_EQ(second->UseCount(), 2u);
    EXPECT_EQ(set.InUseCount(), 1u);

    set.Release(first);
    EXPECT_FALSE(first);
    EXPECT_EQ(second->UseCount(), 1u);
    EXPECT_TRUE(second->IsAcquired());
    EXPECT_FALSE(texture.ProducerCanAcquire()) << "still held for the second frame";

    Item* raw = second.Get();
    set.Release(second);
    EXPECT_FALSE(second);
    EXPECT_EQ(set.InUseCount(), 0u);
    EXPECT_TRUE(texture.ProducerCanAcquire());
    EXPECT_FALSE(raw->IsAcquired());
    EXPECT_EQ(raw->KeyedMutex(), nullptr) << "the item went back to the pool and dropped the mutex";
}

TEST(KeyedMutexSet, OneItemPerTextureFromAPoolThatGrowsPastItsFirst32)
{
    KeyedMutexSet set;
    EXPECT_EQ(set.GetPool().GetElementCount(), 32u);
    std::vector<ComPtr<CountingKeyedMutex>> mutexes;
    std::vector<ComPtr<Item>> items(33);
    for (auto& item : items)
    {
        mutexes.push_back(Make<CountingKeyedMutex>());
        set.Acquire(mutexes.back().Get(), item);
    }
    EXPECT_EQ(set.GetPool().GetElementCount(), 33u);
    const ULONG baseline = CountOf(mutexes[3].Get());
    EXPECT_EQ(mutexes[0]->LastAcquireKey, 0u);
    EXPECT_EQ(mutexes[0]->LastTimeout, INFINITE);
    set.Release(items[1]);
    EXPECT_EQ(set.InUseCount(), 32u);
    // A new frame on texture 2 finds its item (not a new one), texture 1 gets an item again.
    ComPtr<Item> more, back;
    set.Acquire(mutexes[2].Get(), more);
    EXPECT_EQ(more.Get(), items[2].Get());
    EXPECT_EQ(mutexes[2]->Acquires, 1);
    set.Acquire(mutexes[1].Get(), back);
    EXPECT_EQ(mutexes[1]->Acquires, 2);
    set.Release(more);
    set.Release(back);
    for (auto& item : items)
        set.Release(item);
    EXPECT_EQ(set.InUseCount(), 0u);
    EXPECT_EQ(set.GetPool().GetElementCount(), 33u);
    for (auto& mutex : mutexes)
    {
        EXPECT_EQ(mutex->Acquires, mutex->Releases);
        EXPECT_EQ(mutex->LastReleaseKey, 0u);
    }
    EXPECT_EQ(CountOf(mutexes[3].Get()), baseline - 1) << "a returned item holds no reference";
}

TEST(KeyedMutexSet, ClearLeavesHeldItemsToTheirHoldersAndTheReturnReleases)
{
    KeyedMutexSet set;
    SharedTexture texture;
    ComPtr<Item> frame;
    set.Acquire(texture.Mutex.Get(), frame);
    set.Clear();
    EXPECT_EQ(set.InUseCount(), 0u);
    EXPECT_TRUE(frame->IsAcquired()) << "the frame still holds its item";
    EXPECT_FALSE(texture.ProducerCanAcquire());
    frame = nullptr; // the last reference: back to the pool, which releases the mutex
    EXPECT_TRUE(texture.ProducerCanAcquire());

    // Items only the set held go back at once.
    set.Acquire(texture.Mutex.Get(), frame);
    Item* raw = frame.Get();
    frame.Reset();
    ASSERT_TRUE(raw->IsAcquired());
    set.Clear();
    EXPECT_TRUE(texture.ProducerCanAcquire());
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
        EXPECT_EQ(ResultOf([&] { set.Acquire(mutex.Get(), frame); }), thrown);
        EXPECT_FALSE(frame);
    }
    EXPECT_EQ(ResultOf([&] { set.Acquire(nullptr, frame); }), E_POINTER);
    EXPECT_EQ(set.InUseCount(), 0u);
    EXPECT_EQ(mutex->Releases, 0);

    // A failed release keeps the item as it was.
    mutex->AcquireResult = S_OK;
    set.Acquire(mutex.Get(), frame);
    mutex->ReleaseResult = E_FAIL;
    EXPECT_EQ(ResultOf([&] { set.Release(frame); }), E_FAIL);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->UseCount(), 1u);
    EXPECT_TRUE(frame->IsAcquired());
    EXPECT_EQ(set.InUseCount(), 1u);
    mutex->ReleaseResult = S_OK;
    keep = frame;
    set.Release(frame);
    EXPECT_EQ(set.InUseCount(), 0u);
    EXPECT_EQ(mutex->Releases, 2);

    // Releasing an idle item or nothing changes nothing.
    ComPtr<Item> again = keep;
    set.Release(again);
    set.Release(none);
    EXPECT_EQ(keep->UseCount(), 0u);
    EXPECT_EQ(mutex->Releases, 2);
}
