#pragma once
// KeyedMutexSet: keeps the keyed mutexes of the input textures the encoder is reading acquired,
// for exactly as long as at least one frame that uses the texture is in flight.
//
// Each texture in use has one pooled Item counting its frames: the first frame acquires the
// texture's mutex with key 0, the last one to be released releases it with key 0 (so the
// texture's producer, which acquires with key 0, gets it back). Invariant: an item is in the
// in-use list exactly while its use count is above zero.
//
// Threads: no lock of its own. The encoder transform calls Acquire, Release and Clear from its
// serialized processing. Items return to the pool (releasing a mutex still held) on whichever
// thread drops their last reference. AcquireSync waits without a time limit: the producer must
// release its side with key 0.

#include "media/Common/Pool.h"
#include "platform/com/ComObject.h"
#include "platform/d3d/D3D11.h"

#include <vector>

class KeyedMutexSet
{
public:
    // One texture's keyed mutex and the frames using it. A pooled element.
    class Item : public ComObject<IUnknown>
    {
    public:
        IDXGIKeyedMutex* KeyedMutex() const noexcept { return m_KeyedMutex.Get(); }
        bool IsAcquired() const noexcept { return m_Acquired; }
        UINT64 Key() const noexcept { return m_Key; }
        UINT32 UseCount() const noexcept { return m_UseCount; }

        // The pool's return step (called by the pool only): a mutex still held is released,
        // then dropped.
        void OnReturnToPool();

    protected:
        Item() = default;

    private:
        friend class KeyedMutexSet;
        void ReleaseAcquisition();

        ComPtr<IDXGIKeyedMutex> m_KeyedMutex;
        bool m_Acquired = false; // true while this item holds the mutex
        UINT64 m_Key = 0;        // the key it was acquired with (always 0 here)
        UINT32 m_UseCount = 0;   // in-flight frames that use the texture
    };

    using ItemPool = Pool::PoolT<Item, Pool::Strategy::DynamicStrategy>;
    static constexpr UINT32 InitialItemCount = 32;

    KeyedMutexSet();
    KeyedMutexSet(const KeyedMutexSet&) = delete;
    KeyedMutexSet& operator=(const KeyedMutexSet&) = delete;
    ~KeyedMutexSet();

    // One more frame uses the texture whose mutex this is (compared by pointer); the first
    // acquires it. `item` receives the texture's item (one reference), replacing what it held.
    // A failed AcquireSync throws (WAIT_TIMEOUT and WAIT_ABANDONED as their HRESULT_FROM_WIN32).
    void Acquire(IDXGIKeyedMutex* keyedMutex, ComPtr<Item>& item);

    // A frame is done with the texture; the last one releases the mutex. Nothing happens to an
    // item whose use count is 0 (or a null one). Afterwards `item` is null. A failed
    // ReleaseSync throws and leaves `item` as it was.
    void Release(ComPtr<Item>& item);

    // Drops every item in use; items no frame holds any more go back to the pool and release
    // their mutexes.
    void Clear();

    std::size_t InUseCount() const noexcept { return m_InUse.size(); }
    ItemPool& GetPool() noexcept { return *m_Pool; }

private:
    ComPtr<ItemPool> m_Pool;
    std::vector<ComPtr<Item>> m_InUse; // in order of first use
};
