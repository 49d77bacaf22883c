// The media session's event readers (see EventReader.h).

#include "platform/mf/session/EventReader.h"

#include "platform/com/Error.h"
#include "platform/mf/PropVariantT.h"

namespace MFPlatform
{
namespace
{
// Extended type of the session's fence events (MEUnknown); the value is the fence's number.
XEV_GUID(SessionFenceEvent, "b7f6a7d2-52c4-4a1e-9b0e-3f5c8d21a6e4");
} // namespace

const char* RoleName(Role role) noexcept
{
    switch (role)
    {
    case Role::Source: return "Source";
    case Role::Stream: return "Stream";
    case Role::Transform: return "Transform";
    case Role::StreamSink: return "StreamSink";
    }
    return "?";
}


HRESULT EventReader::Begin()
{
    ComPtr<IMFMediaEventGenerator> generator;
    {
        std::lock_guard lock(m_Lock);
        generator = m_Generator;
    }
    return generator ? generator->BeginGetEvent(this, nullptr) : MF_E_SHUTDOWN;
}

HRESULT EventReader::Invoke(IMFAsyncResult* result)
{
    ComPtr<IUnknown> keepAlive;
    EventReaderOwner* owner;
    ComPtr<IMFMediaEventGenerator> generator;
    {
        std::lock_guard lock(m_Lock);
        keepAlive = m_KeepAlive;
        owner = m_Owner;
        generator = m_Generator;
    }
    if (!owner || !generator)
        return S_OK; // detached: the owner no longer listens
    ComPtr<IMFMediaEvent> event;
    HRESULT hr = generator->EndGetEvent(result, event.GetAddressOf());
    if (SUCCEEDED(hr))
    {
        hr = owner->PostEvent(this, m_Role, event.Get(), S_OK);
        if (SUCCEEDED(hr))
            hr = generator->BeginGetEvent(this, nullptr);
    }
    if (FAILED(hr))
        (void)owner->PostEvent(this, m_Role, nullptr, hr);
    return S_OK;
}

void EventReader::Fence(UINT64 number)
{
    ComPtr<IMFMediaEventGenerator> generator;
    {
        std::lock_guard lock(m_Lock);
        generator = m_Generator;
    }
    if (!generator)
        return;
    MF::PropVariantT<> value;
    value.vt = VT_UI8;
    value.uhVal = number;
    // An object that cannot take the fence (shut down) sends nothing stale either.
    if (SUCCEEDED(generator->QueueEvent(MEUnknown, SessionFenceEvent, S_OK, &value)))
        m_AwaitedFence = number;
}

bool EventReader::IsFence(IMFMediaEvent* event)
{
    GUID extendedType = GUID_NULL;
    if (FAILED(event->GetExtendedType(&extendedType)) || extendedType != SessionFenceEvent)
        return false;
    MF::PropVariantT<> value;
    if (SUCCEEDED(event->GetValue(&value)) && value.vt == VT_UI8 && value.uhVal == m_AwaitedFence)
        m_AwaitedFence = 0;
    return true;
}
} // namespace MFPlatform
