#pragma once
// The media session's reader of one object's events.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <mutex>

namespace MFPlatform
{
// The objects whose events the session reads.
enum class Role
{
    Source,
    Stream,
    Transform,
    StreamSink,
};
const char* RoleName(Role role) noexcept;

class EventReader;

// What a reader hands the events to: an owner that runs them one at a time on its own queue.
class EventReaderOwner
{
public:
    // Any thread: puts the reader's event on the owner's queue, to be handed to OnEvent, or with a
    // null event its failure `hr` to OnReaderFailure (MF_E_SHUTDOWN once the queue is closed).
    // Keeps the owner alive until it has run; allocates nothing once warm (events come per frame).
    virtual HRESULT PostEvent(EventReader* reader, Role role, IMFMediaEvent* event, HRESULT hr) = 0;
    // The owner's queue only.
    virtual void OnEvent(EventReader* reader, Role role, IMFMediaEvent* event) = 0;
    virtual void OnReaderFailure(EventReader* reader, Role role, HRESULT hr) = 0;

protected:
    ~EventReaderOwner() = default;
};

// Reads one object's events: one request outstanding at a time; each event is posted to the
// owner's queue before the next one is asked for, so they are handled in order. Detach drops both
// references, so that a request left pending in an object's queue keeps neither the owner nor the
// object alive.
class EventReader final : public ComObject<IMFAsyncCallback>
{
public:
    // `keepAlive` is the owner's COM identity: held (with the non-owning `owner`) until Detach.
    EventReader(EventReaderOwner* owner, ComPtr<IUnknown> keepAlive, Role role, IMFMediaEventGenerator* generator)
        : m_Role(role), m_KeepAlive(std::move(keepAlive)), m_Owner(owner), m_Generator(generator) {}

    HRESULT Begin();
    void Detach()
    {
        ComPtr<IUnknown> keepAlive;
        ComPtr<IMFMediaEventGenerator> generator;
        std::lock_guard lock(m_Lock); // the two go after the lock (declared before the guard)
        keepAlive = std::move(m_KeepAlive);
        generator = std::move(m_Generator);
        m_Owner = nullptr;
    }
    bool Reads(IUnknown* object) const { return m_Identity.Get() == object; }
    void SetIdentity(ComPtr<IUnknown> identity) { m_Identity = std::move(identity); }
    // Queues fence `number` on the object; its events count as stale until it comes back.
    void Fence(UINT64 number);
    // True for a fence of the session's; the awaited one makes the reader current again.
    bool IsFence(IMFMediaEvent* event);
    bool IsStale() const noexcept { return m_AwaitedFence != 0; }

    // IMFAsyncCallback
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override;

private:
    const Role m_Role;
    ComPtr<IUnknown> m_Identity; // the object's IUnknown, set before Begin (owner's queue only)
    UINT64 m_AwaitedFence = 0;   // owner's queue only: the fence not back yet, 0 when none
    std::mutex m_Lock;           // guards the three fields below
    ComPtr<IUnknown> m_KeepAlive;
    EventReaderOwner* m_Owner; // non-owning: kept alive by m_KeepAlive
    ComPtr<IMFMediaEventGenerator> m_Generator;
};
} // namespace MFPlatform
