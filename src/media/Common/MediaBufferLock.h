#pragma once
// MF::MediaBufferLock: a scoped Lock of a media buffer.
//
// Construction locks at once; Unlock (or destruction) unlocks. The lock keeps a counted
// reference to the buffer while it holds it. Failures go through TracedCheck, so the HRESULT
// and the exact call stand in the trace even when a caller swallows the exception.
// Threads: one holder; the object itself is not shared.

#include "platform/com/Error.h"
#include "platform/mf/Interfaces.h"

namespace MF
{
class MediaBufferLock
{
public:
    MediaBufferLock() = default;
    explicit MediaBufferLock(IMFMediaBuffer* MediaBuffer) { Lock(MediaBuffer); }
    MediaBufferLock(const MediaBufferLock&) = delete;
    MediaBufferLock& operator=(const MediaBufferLock&) = delete;
    ~MediaBufferLock();

    // Locks `MediaBuffer` (throws its HRESULT on failure). A lock that already refers to that
    // very buffer takes no second reference; one that holds another buffer unlocks it first.
    void Lock(IMFMediaBuffer* MediaBuffer);
    // Unlocks the held buffer (throws on failure and then keeps it); nothing locked: no-op.
    void Unlock();

    bool IsLocked() const noexcept { return static_cast<bool>(m_MediaBuffer); }
    BYTE* Data() const noexcept { return m_Data; }
    DWORD DataCapacity() const noexcept { return m_DataCapacity; }
    DWORD DataSize() const noexcept { return m_DataSize; }

    ComPtr<IMFMediaBuffer> m_MediaBuffer; // the locked buffer; empty while nothing is locked
    BYTE* m_Data = nullptr;               // the buffer's bytes while locked
    DWORD m_DataCapacity = 0;             // the buffer's maximal length
    DWORD m_DataSize = 0;                 // the buffer's current length
};
} // namespace MF
