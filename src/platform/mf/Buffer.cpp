// System-memory media buffers.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/mf/BlockCache.h"
#include "platform/mf/BufferLocks.h"

#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace MFPlatform
{
namespace
{
// Unlock without a matching Lock (HRESULT_FROM_WIN32(ERROR_NOT_LOCKED)).
constexpr HRESULT NotLocked = HResultFromWin32(158);

// Bytes are aligned for vector code (and for the encoder's row copies).
constexpr std::align_val_t DataAlignment { 64 };

// Freed blocks of frame size are kept for the next buffer of the same size: a source makes one
// frame buffer per sample, and fresh megabytes from the system cost a page fault per page on
// first touch, which would show up in the CPU use this tool measures. Small blocks go straight
// back to the heap, which recycles them cheaply itself.
class BlockCache
{
public:
    static constexpr size_t MinimumSize = 64 * 1024;
    static constexpr size_t BlocksPerSize = 16;
    static constexpr size_t MaximumBytes = size_t(512) << 20;

    static BlockCache& Instance()
    {
        // Never destroyed: buffers may be freed by static destructors of other units.
        static BlockCache* cache = new BlockCache;
        return *cache;
    }

    BYTE* Take(size_t size)
    {
        if (size >= MinimumSize)
        {
            std::lock_guard lock(m_Lock);
            if (Bin* bin = FindLocked(size); bin && !bin->Blocks.empty())
            {
                BYTE* block = bin->Blocks.back();
                bin->Blocks.pop_back();
                m_Bytes -= size;
                return block;
            }
        }
        return static_cast<BYTE*>(::operator new[](size ? size : 1, DataAlignment));
    }

    void Give(BYTE* block, size_t size) noexcept
    {
        if (size >= MinimumSize)
        {
            std::lock_guard lock(m_Lock);
            if (m_Bytes + size <= MaximumBytes)
            {
                Bin* target = FindLocked(size);
                try
                {
                    if (!target)
                        target = &m_Bins.emplace_back(Bin { size, {} });
                    if (target->Blocks.size() < BlocksPerSize)
                    {
                        target->Blocks.push_back(block);
                        m_Bytes += size;
                        return;
                    }
                }
                catch (const std::bad_alloc&)
                {
                    // Not kept: freed below.
                }
            }
        }
        ::operator delete[](block, DataAlignment);
    }

private:
    struct Bin
    {
        size_t Size;
        std::vector<BYTE*> Blocks;
    };

    Bin* FindLocked(size_t size) noexcept
    {
        for (auto& bin : m_Bins)
        {
            if (bin.Size == size)
                return &bin;
        }
        return nullptr;
    }

    std::mutex m_Lock;         // guards the two fields below
    std::vector<Bin> m_Bins;   // one per block size seen; few sizes per run
    size_t m_Bytes = 0;        // bytes held in all bins
};

} // namespace

void RecycledBlockDelete::operator()(unsigned char* block) const noexcept
{
    BlockCache::Instance().Give(block, Size);
}

RecycledBlock TakeRecycledBlock(size_t size)
{
    // At least one byte, so that a zero-length buffer still hands out a valid pointer.
    return RecycledBlock(BlockCache::Instance().Take(size), RecycledBlockDelete { size });
}

namespace
{
// A block of system memory with a maximal and a current length.
// Threads: any. Locks are counted so that an unmatched Unlock is reported.
class MemoryBuffer final : public ComObject<IMFMediaBuffer>
{
public:
    // The bytes are left uninitialised, as on the platform: a frame buffer is written whole by its
    // producer, and clearing megabytes per sample would show up in the CPU use this tool measures.
    explicit MemoryBuffer(DWORD maxLength) : m_Data(TakeRecycledBlock(maxLength)), m_Locks(maxLength, NotLocked) {}

    // IMFMediaBuffer
    HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override
    {
        if (!buffer)
            return E_POINTER;
        return m_Locks.Lock([&](bool) { *buffer = m_Data.get(); }, maxLength, currentLength);
    }
    HRESULT Unlock() override { return m_Locks.Unlock([](bool) {}); }
    HRESULT GetCurrentLength(DWORD* currentLength) override { return m_Locks.GetCurrentLength(currentLength); }
    HRESULT SetCurrentLength(DWORD currentLength) override { return m_Locks.SetCurrentLength(currentLength); }
    HRESULT GetMaxLength(DWORD* maxLength) override { return m_Locks.GetMaxLength(maxLength); }

private:
    const RecycledBlock m_Data;
    BufferLocks m_Locks;
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer)
{
    if (!buffer)
        return E_POINTER;
    *buffer = nullptr;
    return Error::Guard([&] { *buffer = Make<MFPlatform::MemoryBuffer>(maxLength).Detach(); });
}
