#pragma once
// The completion events a client registered with an encode session. Not thread-safe: guarded by
// the session's lock. Registering an event twice keeps one entry.

#include <algorithm>
#include <vector>

namespace Sync
{
class Event;
}

namespace EncoderRuntime
{
class EventRegistry
{
public:
    void Register(Sync::Event* event)
    {
        if (!Contains(event))
            m_Events.push_back(event);
    }

    // False for null or an event that is not registered.
    bool Unregister(Sync::Event* event)
    {
        const auto found = std::find(m_Events.begin(), m_Events.end(), event);
        if (!event || found == m_Events.end())
            return false;
        m_Events.erase(found);
        return true;
    }

    bool Contains(Sync::Event* event) const
    {
        return event && std::find(m_Events.begin(), m_Events.end(), event) != m_Events.end();
    }

    void Clear() noexcept { m_Events.clear(); }

private:
    std::vector<Sync::Event*> m_Events;
};
} // namespace EncoderRuntime
