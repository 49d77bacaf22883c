#include "media/Common/MediaBufferLock.h"

namespace MF
{
MediaBufferLock::~MediaBufferLock()
{
    try
    {
        Unlock();
    }
    catch (...)
    {
        // Already traced by Unlock's check; a destructor has no caller to tell. The buffer
        // reference goes with the object.
    }
}

void MediaBufferLock::Lock(IMFMediaBuffer* MediaBuffer)
{
    XEV_CHECK_POINTER(MediaBuffer);
    // Moving on to another buffer lets go of the one held, so it does not stay locked for good.
    if (m_MediaBuffer && m_MediaBuffer.Get() != MediaBuffer)
        Unlock();
    TracedCheck(MediaBuffer->Lock(&m_Data, &m_DataCapacity, &m_DataSize), "MediaBuffer->Lock(&m_Data, &m_DataCapacity, &m_DataSize)");
    if (m_MediaBuffer.Get() != MediaBuffer)
        m_MediaBuffer = MediaBuffer;
}

void MediaBufferLock::Unlock()
{
    if (!m_MediaBuffer)
        return;
    TracedCheck(m_MediaBuffer->Unlock(), "m_MediaBuffer->Unlock()");
    m_MediaBuffer.Reset();
    m_Data = nullptr;
    m_DataCapacity = 0;
    m_DataSize = 0;
}
} // namespace MF
