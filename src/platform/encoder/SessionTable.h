#pragma once
// The open encoder sessions of one runtime. An encoder handle is its session's address; a call
// looks it up and holds the session for the call's length, so a session destroyed meanwhile is
// freed after the call. Thread-safe; the lock is never held across a call into a session.

#include "platform/encoder/NvEncodeApi.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace EncoderRuntime
{
template <class Session>
class SessionTable
{
public:
    // Adds the session; its address becomes its encoder handle. With a `limit` (not 0), a table
    // that already holds that many sessions refuses it: null.
    void* Add(std::shared_ptr<Session> session, std::size_t limit = 0)
    {
        void* const handle = session.get();
        std::lock_guard lock(m_Lock);
        if (limit != 0 && m_Sessions.size() >= limit)
            return nullptr;
        m_Sessions.push_back(std::move(session));
        return handle;
    }

    // The session of an encoder handle, or null.
    std::shared_ptr<Session> Find(void* encoder) const
    {
        std::lock_guard lock(m_Lock);
        const auto found = Position(m_Sessions, encoder);
        return found == m_Sessions.end() ? nullptr : *found;
    }

    // Takes the session out of the table (the caller shuts it down), or null for an unknown handle.
    std::shared_ptr<Session> Remove(void* encoder)
    {
        std::lock_guard lock(m_Lock);
        const auto found = Position(m_Sessions, encoder);
        if (found == m_Sessions.end())
            return nullptr;
        auto session = std::move(*found);
        m_Sessions.erase(found);
        return session;
    }

    std::size_t Count() const
    {
        std::lock_guard lock(m_Lock);
        return m_Sessions.size();
    }

    // Runs body(session) for an open encoder handle; NV_ENC_ERR_INVALID_ENCODERDEVICE otherwise.
    template <class Body>
    NVENCSTATUS Call(void* encoder, Body&& body) const
    {
        const auto session = Find(encoder);
        return session ? std::forward<Body>(body)(*session) : NV_ENC_ERR_INVALID_ENCODERDEVICE;
    }

    // The same for a call with a parameter structure: null gives NV_ENC_ERR_INVALID_PTR and a
    // structure of another version NV_ENC_ERR_INVALID_VERSION, in that order after the handle.
    template <class Params, class Body>
    NVENCSTATUS Call(void* encoder, Params* params, uint32_t version, Body&& body) const
    {
        return Call(encoder, [&](Session& session) -> NVENCSTATUS {
            if (!params)
                return NV_ENC_ERR_INVALID_PTR;
            if (params->version != version)
                return NV_ENC_ERR_INVALID_VERSION;
            return std::forward<Body>(body)(session);
        });
    }

private:
    template <class Sessions>
    static auto Position(Sessions& sessions, void* encoder)
    {
        return std::find_if(sessions.begin(), sessions.end(), [&](const auto& s) { return encoder && s.get() == encoder; });
    }

    mutable std::mutex m_Lock; // guards m_Sessions
    std::vector<std::shared_ptr<Session>> m_Sessions;
};
} // namespace EncoderRuntime
