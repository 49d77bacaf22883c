#include "media/Common/MediaBufferLock.h"

#include "fakes/Platform.h"
#include "fakes/Support.h"
#include "platform/com/Error.h"

#include <tuple>

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
};
} // namespace

// Reading and writing through the lock is covered by the tool's runs (Run_test); here: relocking,
// moving to another buffer and the one reference.
TEST(MediaBufferLock, LocksAtOnceUnlocksOnceAndHoldsOneReference)
{
    ComPtr<ScriptedBuffer> first = Make<ScriptedBuffer>(), second = Make<ScriptedBuffer>();
    const auto counts = [](ScriptedBuffer* b) { return std::tuple(b->Locks, b->Unlocks, TestSupport::RefCount(b)); };
    {
        MF::MediaBufferLock lock(first.Get());
        EXPECT_EQ(std::tuple(first->Bytes, 8u, 3u), std::tuple(lock.Data(), lock.DataCapacity(), lock.DataSize()));
        lock.Lock(first.Get()); // the same buffer again: locked again, no second reference
        EXPECT_EQ(counts(first.Get()), std::tuple(2, 0, 2u));
        lock.Unlock();
        lock.Unlock(); // nothing locked: nothing happens
        EXPECT_EQ(counts(first.Get()), std::tuple(2, 1, 1u));
        EXPECT_FALSE(lock.IsLocked() || lock.Data());
        lock.Lock(first.Get());
        lock.Lock(second.Get()); // moving to another buffer unlocks the first
        EXPECT_EQ(counts(first.Get()), std::tuple(3, 2, 1u));
    } // destruction unlocks
    EXPECT_EQ(counts(second.Get()), std::tuple(1, 1, 1u));
}

TEST(MediaBufferLock, FailuresAreTracedWithTheCallAndThrownExceptFromTheDestructor)
{
    TestSupport::TraceCapture trace;
    ComPtr<ScriptedBuffer> buffer = Make<ScriptedBuffer>();
    buffer->LockResult = MF_E_SHUTDOWN;
    MF::MediaBufferLock lock;
    EXPECT_EQ(MF_E_SHUTDOWN, Error::Guard([&] { lock.Lock(buffer.Get()); }));
    EXPECT_EQ(E_POINTER, Error::Guard([&] { lock.Lock(nullptr); }));
    EXPECT_FALSE(lock.IsLocked());
    EXPECT_EQ(1u, TestSupport::RefCount(buffer.Get()));
    EXPECT_EQ(1u, trace.LinesContaining("MF::MediaBufferLock::Lock: Exception, 0xC00D3E85, expression MediaBuffer->Lock(").size());

    buffer->LockResult = S_OK;
    buffer->UnlockResult = E_UNEXPECTED;
    {
        MF::MediaBufferLock held(buffer.Get());
        EXPECT_EQ(E_UNEXPECTED, Error::Guard([&] { held.Unlock(); }));
        EXPECT_TRUE(held.IsLocked()); // kept after a failed unlock
        EXPECT_EQ(2u, TestSupport::RefCount(buffer.Get()));
    } // the failing unlock in the destructor is traced, not thrown
    EXPECT_EQ(2u, trace.LinesContaining("expression m_MediaBuffer->Unlock()").size());
    EXPECT_EQ(1u, TestSupport::RefCount(buffer.Get())); // the reference went with the lock
}
