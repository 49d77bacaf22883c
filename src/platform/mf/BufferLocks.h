#pragma once
// The lock and length bookkeeping every media buffer shares (memory buffers here, texture
// buffers in src/platform/d3d): Lock calls nest and each needs its Unlock, an Unlock without a
// Lock gets the buffer's own error, and the current length stays within the maximal length.
//
// Threads: any; one mutex over the lock count and the current length. The functions handed to
// Lock and Unlock run under that mutex and must not call out to another object.

#include "platform/mf/Api.h"

#include <mutex>

namespace MFPlatform
{
class BufferLocks
{
public:
    // `notLocked` answers an Unlock without a Lock.
    BufferLocks(DWORD maxLength, HRESULT notLocked) noexcept : m_MaxLength(maxLength), m_NotLocked(notLocked) {}

    // Counts a lock and runs first(bool firstLock) under the mutex; the lengths go to the
    // optional out-pointers (IMFMediaBuffer::Lock's).
    template <class First>
    HRESULT Lock(First&& first, DWORD* maxLength, DWORD* currentLength)
    {
        std::lock_guard lock(m_Mutex);
        first(m_LockCount == 0);
        ++m_LockCount;
        if (maxLength)
            *maxLength = m_MaxLength;
        if (currentLength)
            *currentLength = m_CurrentLength;
        return S_OK;
    }
    // Counts an unlock and runs last(bool lastUnlock) under the mutex.
    template <class Last>
    HRESULT Unlock(Last&& last)
    {
        std::lock_guard lock(m_Mutex);
        if (m_LockCount == 0)
            return m_NotLocked;
        last(--m_LockCount == 0);
        return S_OK;
    }

    // IMFMediaBuffer's length methods.
    HRESULT GetCurrentLength(DWORD* currentLength)
    {
        if (!currentLength)
            return E_POINTER;
        std::lock_guard lock(m_Mutex);
        *currentLength = m_CurrentLength;
        return S_OK;
    }
    HRESULT SetCurrentLength(DWORD currentLength)
    {
        if (currentLength > m_MaxLength)
            return E_INVALIDARG;
        std::lock_guard lock(m_Mutex);
        m_CurrentLength = currentLength;
        return S_OK;
    }
    HRESULT GetMaxLength(DWORD* maxLength) const
    {
        if (!maxLength)
            return E_POINTER;
        *maxLength = m_MaxLength;
        return S_OK;
    }

private:
    const DWORD m_MaxLength;
    const HRESULT m_NotLocked;
    std::mutex m_Mutex; // guards the two fields below
    DWORD m_CurrentLength = 0;
    UINT m_LockCount = 0; // Lock calls not yet unlocked
};
} // namespace MFPlatform
