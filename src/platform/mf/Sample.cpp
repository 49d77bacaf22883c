// Samples: an attribute store with a time, a duration and an ordered list of buffers (flags,
// buffer removal and CopyToBuffer answer E_NOTIMPL); and the tracked sample, which goes back to
// its allocator instead of dying.

#include "platform/mf/AttributesImpl.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace MFPlatform
{
namespace
{
using BufferList = std::vector<ComPtr<IMFMediaBuffer>>;

// Holds a buffer's Lock until it leaves scope.
class ScopedBufferLock
{
public:
    explicit ScopedBufferLock(IMFMediaBuffer* buffer) : m_Buffer(buffer)
    {
        XEV_CHECK_HR(m_Buffer->Lock(&m_Data, &m_MaxLength, &m_CurrentLength));
    }
    ~ScopedBufferLock() { (void)m_Buffer->Unlock(); }
    ScopedBufferLock(const ScopedBufferLock&) = delete;
    ScopedBufferLock& operator=(const ScopedBufferLock&) = delete;

    BYTE* Data() const noexcept { return m_Data; }
    DWORD MaxLength() const noexcept { return m_MaxLength; }
    DWORD CurrentLength() const noexcept { return m_CurrentLength; }

private:
    IMFMediaBuffer* m_Buffer; // non-owning: the caller keeps it alive
    BYTE* m_Data = nullptr;
    DWORD m_MaxLength = 0;
    DWORD m_CurrentLength = 0;
};

// Sum of the buffers' current lengths.
DWORD TotalLengthOf(std::span<const ComPtr<IMFMediaBuffer>> buffers)
{
    uint64_t total = 0;
    for (const ComPtr<IMFMediaBuffer>& buffer : buffers)
    {
        DWORD length = 0;
        XEV_CHECK_HR(buffer->GetCurrentLength(&length));
        total += length;
    }
    XEV_CHECK(total <= std::numeric_limits<DWORD>::max(), E_INVALIDARG);
    return static_cast<DWORD>(total);
}

// Copies the current bytes of every buffer, in order, to `destination` (which holds `capacity`
// bytes); returns the bytes written.
DWORD CopyBuffers(const BufferList& buffers, BYTE* destination, DWORD capacity)
{
    DWORD offset = 0;
    for (const ComPtr<IMFMediaBuffer>& buffer : buffers)
    {
        ScopedBufferLock source(buffer.Get());
        // A buffer that grew since the total was taken must not overrun the destination.
        XEV_CHECK(source.CurrentLength() <= capacity - offset, MF_E_BUFFERTOOSMALL);
        if (source.CurrentLength())
            std::memcpy(destination + offset, source.Data(), source.CurrentLength());
        offset += source.CurrentLength();
    }
    return offset;
}

// What plain and tracked samples share.
// Threads: any. m_Lock guards the sample's own fields; it is never held while a buffer is
// called (buffers are copied out of the list first and called afterwards).
class SampleImpl : public AttributesImpl<IMFSample>
{
public:
    // IMFSample
    HRESULT GetSampleFlags(DWORD*) override { return E_NOTIMPL; }
    HRESULT SetSampleFlags(DWORD) override { return E_NOTIMPL; }
    HRESULT GetSampleTime(LONGLONG* time) override
    {
        if (!time)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        if (!m_Time)
            return MF_E_NO_SAMPLE_TIMESTAMP;
        *time = *m_Time;
        return S_OK;
    }
    HRESULT SetSampleTime(LONGLONG time) override
    {
        std::lock_guard lock(m_Lock);
        m_Time = time;
        return S_OK;
    }
    HRESULT GetSampleDuration(LONGLONG* duration) override
    {
        if (!duration)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        if (!m_Duration)
            return MF_E_NO_SAMPLE_DURATION;
        *duration = *m_Duration;
        return S_OK;
    }
    HRESULT SetSampleDuration(LONGLONG duration) override
    {
        std::lock_guard lock(m_Lock);
        m_Duration = duration;
        return S_OK;
    }
    HRESULT GetBufferCount(DWORD* count) override
    {
        if (!count)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *count = static_cast<DWORD>(m_Buffers.size());
        return S_OK;
    }
    HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) override
    {
        if (!buffer)
            return E_POINTER;
        *buffer = nullptr;
        std::lock_guard lock(m_Lock);
        if (index >= m_Buffers.size())
            return E_INVALIDARG;
        m_Buffers[index].CopyTo(buffer);
        return S_OK;
    }
    HRESULT ConvertToContiguousBuffer(IMFMediaBuffer** buffer) override
    {
        if (!buffer)
            return E_POINTER;
        *buffer = nullptr;
        return Error::Guard([&]() -> HRESULT {
            for (;;)
            {
                BufferList current;
                if (ComPtr<IMFMediaBuffer> only = OnlyBuffer(&current))
                {
                    *buffer = only.Detach();
                    return S_OK;
                }
                if (current.empty())
                    return E_UNEXPECTED;
                // Join the buffers into a new one outside the lock ...
                const DWORD total = TotalLengthOf(current);
                ComPtr<IMFMediaBuffer> joined;
                XEV_CHECK_HR(MFCreateMemoryBuffer(total, joined.GetAddressOf()));
                DWORD written = 0;
                {
                    ScopedBufferLock destination(joined.Get());
                    written = CopyBuffers(current, destination.Data(), destination.MaxLength());
                }
                XEV_CHECK_HR(joined->SetCurrentLength(written));
                // ... and let it replace them unless the list changed meanwhile (then start over).
                BufferList replacement { joined };
                {
                    std::lock_guard lock(m_Lock);
                    if (m_Buffers != current)
                        continue;
                    m_Buffers.swap(replacement);
                }
                // `replacement` now holds the old buffers and releases them here, unlocked.
                *buffer = joined.Detach();
                return S_OK;
            }
        });
    }
    HRESULT AddBuffer(IMFMediaBuffer* buffer) override
    {
        if (!buffer)
            return E_POINTER;
        return Error::Guard([&] {
            ComPtr<IMFMediaBuffer> added(buffer);
            std::lock_guard lock(m_Lock);
            m_Buffers.push_back(std::move(added));
        });
    }
    HRESULT RemoveBufferByIndex(DWORD) override { return E_NOTIMPL; }
    HRESULT RemoveAllBuffers() override { return E_NOTIMPL; }
    HRESULT GetTotalLength(DWORD* totalLength) override
    {
        if (!totalLength)
            return E_POINTER;
        *totalLength = 0;
        return Error::Guard([&] {
            BufferList all;
            const ComPtr<IMFMediaBuffer> only = OnlyBuffer(&all);
            *totalLength = only ? TotalLengthOf({ &only, 1 }) : TotalLengthOf(all);
        });
    }
    HRESULT CopyToBuffer(IMFMediaBuffer*) override { return E_NOTIMPL; }

protected:
    SampleImpl() = default;
    ~SampleImpl() = default;

private:
    // The buffers, counted, to be called without holding m_Lock: the only one of a one-buffer
    // sample (every frame's; no list copied), otherwise null with a copy of the list in `all`.
    ComPtr<IMFMediaBuffer> OnlyBuffer(BufferList* all) const
    {
        std::lock_guard lock(m_Lock);
        if (m_Buffers.size() == 1)
            return m_Buffers.front();
        *all = m_Buffers;
        return nullptr;
    }

    mutable std::mutex m_Lock;          // guards the fields below
    std::optional<LONGLONG> m_Time;     // empty until set
    std::optional<LONGLONG> m_Duration; // empty until set
    BufferList m_Buffers;
};

class Sample final : public ComObject<SampleImpl>
{
public:
    Sample() = default;
};

// A sample that, when its last reference goes while an allocator is set, is handed to that
// allocator instead of being destroyed: the allocator's callback is invoked on a work queue with
// an asynchronous result whose object is the sample (the only reference left, now the
// allocator's). The allocator is cleared when it fires; SetAllocator again before the next
// hand-out arms it again. Without an allocator the sample is destroyed as usual.
// Threads: any; m_AllocatorLock guards the allocator and its state.
class TrackedSample final : public ComObject<SampleImpl, IMFTrackedSample>
{
public:
    TrackedSample() = default;

    ULONG AddRef() override { return m_References.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override
    {
        const ULONG count = m_References.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count != 0)
            return count;
        // No reference is left, so no other thread can reach the sample now.
        ComPtr<IMFAsyncCallback> allocator;
        ComPtr<IUnknown> state;
        {
            std::lock_guard lock(m_AllocatorLock);
            allocator = std::move(m_Allocator);
            state = std::move(m_AllocatorState);
        }
        if (!allocator)
        {
            delete this;
            return 0;
        }
        // Back to life with one reference, which goes over to the result below.
        m_References.store(1, std::memory_order_relaxed);
        ComPtr<IMFAsyncResult> result;
        HRESULT hr = MFCreateAsyncResult(static_cast<IMFSample*>(this), allocator.Get(), state.Get(), result.GetAddressOf());
        if (FAILED(hr))
        {
            XEV_TRACE("this 0x%p, the sample cannot go back to its allocator, 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(hr));
            delete this;
            return 0;
        }
        m_References.fetch_sub(1, std::memory_order_acq_rel); // the result holds the sample now
        hr = MFInvokeCallback(result.Get());
        if (FAILED(hr))
            XEV_TRACE("this 0x%p, the sample cannot go back to its allocator, 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(hr));
        // Releasing `result` here destroys the sample when the callback could not be queued.
        return 0;
    }

    // IMFTrackedSample
    HRESULT SetAllocator(IMFAsyncCallback* sampleAllocator, IUnknown* state) override
    {
        if (!sampleAllocator)
            return E_POINTER;
        std::lock_guard lock(m_AllocatorLock);
        if (m_Allocator)
            return MF_E_NOTACCEPTING;
        m_Allocator = sampleAllocator;
        m_AllocatorState = state;
        return S_OK;
    }

private:
    std::atomic<ULONG> m_References { 1 };
    std::mutex m_AllocatorLock;                 // guards the two fields below
    ComPtr<IMFAsyncCallback> m_Allocator;       // armed allocator, null when none
    ComPtr<IUnknown> m_AllocatorState;
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreateSample(IMFSample** sample)
{
    if (!sample)
        return E_POINTER;
    *sample = nullptr;
    return Error::Guard([&] { *sample = Make<MFPlatform::Sample>().Detach(); });
}

HRESULT MFCreateTrackedSample(IMFTrackedSample** sample)
{
    if (!sample)
        return E_POINTER;
    *sample = nullptr;
    return Error::Guard([&] {
        ComPtr<MFPlatform::TrackedSample> object = Make<MFPlatform::TrackedSample>();
        *sample = static_cast<IMFTrackedSample*>(object.Detach());
    });
}
