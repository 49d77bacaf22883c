// System-memory media buffers: the plain memory buffer and the 2D (video frame) buffer.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <cstring>
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

struct AlignedDelete
{
    size_t Size = 0;
    void operator()(BYTE* data) const noexcept { BlockCache::Instance().Give(data, Size); }
};
using AlignedBytes = std::unique_ptr<BYTE[], AlignedDelete>;

// Left uninitialised, as on the platform: a frame buffer is written whole by its producer, and
// clearing megabytes per sample would show up in the CPU use this tool measures.
AlignedBytes AllocateBytes(size_t size)
{
    // At least one byte, so that a zero-length buffer still hands out a valid pointer.
    return AlignedBytes(BlockCache::Instance().Take(size), AlignedDelete { size });
}

// A block of system memory with a maximal and a current length: the IMFMediaBuffer part of
// every system-memory buffer; Bases are the interfaces the concrete buffer answers.
// Threads: any. Locks do not exclude each other (as on the platform); they are counted so
// that an unmatched Unlock is reported.
template <class... Bases>
class HostMemoryBuffer : public ComObject<IMFMediaBuffer, Bases...>
{
public:
    // IMFMediaBuffer
    HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override
    {
        if (!buffer)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        ++m_LockCount;
        *buffer = m_Data.get();
        if (maxLength)
            *maxLength = m_MaxLength;
        if (currentLength)
            *currentLength = m_CurrentLength;
        return S_OK;
    }
    HRESULT Unlock() override
    {
        std::lock_guard lock(m_Lock);
        if (m_LockCount == 0)
            return NotLocked;
        --m_LockCount;
        return S_OK;
    }
    HRESULT GetCurrentLength(DWORD* currentLength) override
    {
        if (!currentLength)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *currentLength = m_CurrentLength;
        return S_OK;
    }
    HRESULT SetCurrentLength(DWORD currentLength) override
    {
        if (currentLength > m_MaxLength)
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        m_CurrentLength = currentLength;
        return S_OK;
    }
    HRESULT GetMaxLength(DWORD* maxLength) override
    {
        if (!maxLength)
            return E_POINTER;
        *maxLength = m_MaxLength;
        return S_OK;
    }

protected:
    HostMemoryBuffer(DWORD maxLength, DWORD currentLength)
        : m_Data(AllocateBytes(maxLength)), m_MaxLength(maxLength), m_CurrentLength(currentLength)
    {
    }

    const AlignedBytes m_Data;
    const DWORD m_MaxLength;
    std::mutex m_Lock;          // guards the lengths and lock counts of this class and the derived one
    DWORD m_CurrentLength;
    DWORD m_LockCount = 0;
};

class MemoryBuffer final : public HostMemoryBuffer<>
{
public:
    explicit MemoryBuffer(DWORD maxLength) : HostMemoryBuffer(maxLength, 0) {}
};

// Layout of one video frame in memory: rows of `Pitch` bytes, `Rows` of them in all planes.
struct FrameLayout
{
    DWORD Pitch = 0;      // bytes per row (positive)
    DWORD LumaRows = 0;   // rows of the first plane (the picture height)
    DWORD Rows = 0;       // rows of all planes together
    bool Planar = false;  // a second (chroma) plane follows the first
};

// The layout of a frame of `format` (FourCC or D3DFMT value), or E_INVALIDARG/MF_E_INVALIDMEDIATYPE.
HRESULT LayoutOf(DWORD width, DWORD height, DWORD format, FrameLayout* layout)
{
    if (width == 0 || height == 0)
        return E_INVALIDARG;
    uint64_t pitch = 0;
    FrameLayout result;
    result.LumaRows = height;
    result.Rows = height;
    if (format == MFVideoFormat_ARGB32.Data1 || format == MFVideoFormat_RGB32.Data1)
    {
        pitch = uint64_t(width) * 4;
    }
    else if (format == MFVideoFormat_YUY2.Data1)
    {
        pitch = (uint64_t(width) + 1) / 2 * 4;
    }
    else if (format == MFVideoFormat_NV12.Data1)
    {
        // Interleaved chroma pairs need an even row; an odd height still gets its last chroma row.
        pitch = (uint64_t(width) + 1) & ~uint64_t(1);
        result.Rows = height + (height + 1) / 2;
        result.Planar = true;
    }
    else
    {
        return MF_E_INVALIDMEDIATYPE;
    }
    if (pitch * result.Rows > 0x7FFFFFFF)
        return E_INVALIDARG;
    result.Pitch = static_cast<DWORD>(pitch);
    *layout = result;
    return S_OK;
}

// A video frame in system memory with both views: IMFMediaBuffer gives the bytes as they lie
// (bottom-up rows: the last picture row first), IMF2DBuffer gives scanline 0 and the pitch,
// negative for bottom-up rows. Rows carry no padding, so the contiguous form is the memory itself.
// Threads: any; one mutex over the lengths and lock counts.
class Buffer2D final : public HostMemoryBuffer<IMF2DBuffer>
{
public:
    Buffer2D(const FrameLayout& layout, bool bottomUp)
        : HostMemoryBuffer(layout.Pitch * layout.Rows, layout.Pitch * layout.Rows), m_Layout(layout),
          m_BottomUp(bottomUp && !layout.Planar)
    {
    }

    // IMF2DBuffer
    HRESULT Lock2D(BYTE** scanline0, LONG* pitch) override
    {
        if (!scanline0 || !pitch)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        ++m_Lock2DCount;
        Scanline0AndPitchLocked(scanline0, pitch);
        return S_OK;
    }
    HRESULT Unlock2D() override
    {
        std::lock_guard lock(m_Lock);
        if (m_Lock2DCount == 0)
            return NotLocked;
        --m_Lock2DCount;
        return S_OK;
    }
    HRESULT GetScanline0AndPitch(BYTE** scanline0, LONG* pitch) override
    {
        if (!scanline0 || !pitch)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        // Only meaningful while the caller holds a 2D lock.
        if (m_Lock2DCount == 0)
            return NotLocked;
        Scanline0AndPitchLocked(scanline0, pitch);
        return S_OK;
    }
    HRESULT IsContiguousFormat(BOOL* contiguous) override
    {
        if (!contiguous)
            return E_POINTER;
        *contiguous = 1;
        return S_OK;
    }
    HRESULT GetContiguousLength(DWORD* length) override
    {
        if (!length)
            return E_POINTER;
        *length = m_MaxLength;
        return S_OK;
    }
    HRESULT ContiguousCopyTo(BYTE* destination, DWORD destinationLength) override
    {
        if (!destination)
            return E_POINTER;
        if (destinationLength < m_MaxLength)
            return E_INVALIDARG;
        std::memcpy(destination, m_Data.get(), m_MaxLength);
        return S_OK;
    }
    HRESULT ContiguousCopyFrom(const BYTE* source, DWORD sourceLength) override
    {
        if (!source)
            return E_POINTER;
        if (sourceLength < m_MaxLength)
            return E_INVALIDARG;
        std::memcpy(m_Data.get(), source, m_MaxLength);
        return S_OK;
    }

private:
    void Scanline0AndPitchLocked(BYTE** scanline0, LONG* pitch) const noexcept
    {
        const auto rowPitch = static_cast<LONG>(m_Layout.Pitch);
        if (m_BottomUp)
        {
            *scanline0 = m_Data.get() + size_t(m_Layout.Pitch) * (m_Layout.LumaRows - 1);
            *pitch = -rowPitch;
        }
        else
        {
            *scanline0 = m_Data.get();
            *pitch = rowPitch;
        }
    }

    const FrameLayout m_Layout;
    const bool m_BottomUp;  // rows lie bottom-up (single-plane formats only)
    DWORD m_Lock2DCount = 0; // guarded by m_Lock
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

HRESULT MFCreate2DMediaBuffer(DWORD width, DWORD height, DWORD fourCC, BOOL bottomUp, IMFMediaBuffer** buffer)
{
    if (!buffer)
        return E_POINTER;
    *buffer = nullptr;
    MFPlatform::FrameLayout layout;
    const HRESULT hr = MFPlatform::LayoutOf(width, height, fourCC, &layout);
    if (FAILED(hr))
        return hr;
    return Error::Guard([&] {
        ComPtr<MFPlatform::Buffer2D> object = Make<MFPlatform::Buffer2D>(layout, bottomUp != 0);
        *buffer = static_cast<IMFMediaBuffer*>(object.Detach());
    });
}
