#include "media/Common/MediaBufferLock.h"

#include "fakes/Support.h"
#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <functional>

namespace
{
// A buffer whose Lock and Unlock answer what the test says, and which counts them.
class ScriptedBuffer final : public ComObject<IMFMediaBuffer>
{
public:
    HRESULT LockResult = S_OK;
    HRESULT UnlockResult = S_OK;
    int Locks = 0;
    int Unlocks = 0;
    BYTE Bytes[8] = {};

    HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) override
    {
        if (FAILED(LockResult))
            return LockResult;
        ++Locks;
        *buffer = Bytes;
        *maxLength = sizeof Bytes;
        *currentLength = 3;
        return S_OK;
    }
    HRESULT Unlock() override
    {
        if (FAILED(UnlockResult))
            return UnlockResult;
        ++Unlocks;
        return S_OK;
    }
    HRESULT GetCurrentLength(DWORD*) override { return E_NOTIMPL; }
    HRESULT SetCurrentLength(DWORD) override { return E_NOTIMPL; }
    HRESULT GetMaxLength(DWORD*) override { return E_NOTIMPL; }
    ULONG Count() const { return ReferenceCount(); }
};

HRESULT ResultOf(const std::function<void()>& body)
{
    try
    {
        body();
        return S_OK;
    }
    catch (const HResultException& e)
    {
        return e.Result();
    }
}
} // namespace

TEST(MediaBufferLock, LocksAtOnceAndUnlocksOnceWithOneReference)
{
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_EQ(S_OK, MFCreateMemoryBuffer(32, buffer.GetAddressOf()));
    ASSERT_EQ(S_OK, buffer->SetCurrentLength(5));
    {
        MF::MediaBufferLock lock(buffer.Get());
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_NE(nullptr, lock.m_Data);
        EXPECT_EQ(32u, lock.m_DataCapacity);
        EXPECT_EQ(5u, lock.m_DataSize);
        EXPECT_EQ(buffer.Get(), lock.m_MediaBuffer.Get());
        buffer->AddRef();
        EXPECT_EQ(2u, buffer->Release()); // ours and the lock's

        lock.Lock(buffer.Get()); // the same buffer again: no second reference
        buffer->AddRef();
        EXPECT_EQ(2u, buffer->Release());

        lock.Unlock();
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_EQ(nullptr, lock.m_Data);
        lock.Unlock(); // nothing locked: nothing happens
        buffer->AddRef();
        EXPECT_EQ(1u, buffer->Release());
        // One Lock is still open (the second call above); the platform buffer takes the unlock.
        EXPECT_EQ(S_OK, buffer->Unlock());
        EXPECT_NE(S_OK, buffer->Unlock());

        lock.Lock(buffer.Get());
    } // destruction unlocks
    EXPECT_NE(S_OK, buffer->Unlock());
    buffer->AddRef();
    EXPECT_EQ(1u, buffer->Release());
}

TEST(MediaBufferLock, MovingToAnotherBufferUnlocksTheFirst)
{
    ComPtr<ScriptedBuffer> first = Make<ScriptedBuffer>(), second = Make<ScriptedBuffer>();
    MF::MediaBufferLock lock(first.Get());
    lock.Lock(second.Get());
    EXPECT_EQ(1, first->Unlocks);
    EXPECT_EQ(1u, first->Count());
    EXPECT_EQ(second.Get(), lock.m_MediaBuffer.Get());
    EXPECT_EQ(second->Bytes, lock.m_Data);
}

TEST(MediaBufferLock, FailedLockIsTracedWithTheCallAndThrown)
{
    TestSupport::TraceCapture trace;
    ComPtr<ScriptedBuffer> buffer = Make<ScriptedBuffer>();
    buffer->LockResult = MF_E_SHUTDOWN;
    MF::MediaBufferLock lock;
    EXPECT_EQ(MF_E_SHUTDOWN, ResultOf([&] { lock.Lock(buffer.Get()); }));
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_EQ(1u, buffer->Count());
    const auto lines = trace.LinesContaining("MF::MediaBufferLock::Lock: ");
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos,
        lines[0].find("MF::MediaBufferLock::Lock: Exception, 0xC00D3E85, expression MediaBuffer->Lock(&m_Data, &m_DataCapacity, &m_DataSize)\n"))
        << lines[0];
    EXPECT_EQ(0u, lines[0].find("MediaBufferLock.cpp(")) << lines[0];

    EXPECT_EQ(E_POINTER, ResultOf([&] { lock.Lock(nullptr); }));
}

TEST(MediaBufferLock, FailedUnlockKeepsTheBufferAndDestructionDoesNotThrow)
{
    TestSupport::TraceCapture trace;
    ComPtr<ScriptedBuffer> buffer = Make<ScriptedBuffer>();
    {
        MF::MediaBufferLock lock(buffer.Get());
        buffer->UnlockResult = E_UNEXPECTED;
        EXPECT_EQ(E_UNEXPECTED, ResultOf([&] { lock.Unlock(); }));
        EXPECT_TRUE(lock.IsLocked()); // kept after a failed unlock
        EXPECT_EQ(2u, buffer->Count());
        const auto lines = trace.LinesContaining("MF::MediaBufferLock::Unlock: Exception, 0x8000FFFF, expression m_MediaBuffer->Unlock()\n");
        EXPECT_EQ(1u, lines.size());
    } // the failing unlock in the destructor is traced, not thrown
    EXPECT_EQ(2u, trace.LinesContaining("expression m_MediaBuffer->Unlock()").size());
    EXPECT_EQ(1u, buffer->Count()); // the reference went with the lock
    EXPECT_EQ(0, buffer->Unlocks);
}
