#include "Blocking.h"

#include <utility>

namespace Sync
{
namespace
{
thread_local BlockingObserver* t_Observer = nullptr; // null inside a region
} // namespace

void SetBlockingObserver(BlockingObserver* observer) noexcept
{
    t_Observer = observer;
}

BlockingRegion::BlockingRegion() noexcept : m_Observer(std::exchange(t_Observer, nullptr))
{
    if (m_Observer)
        m_Observer->OnBlocking();
}

BlockingRegion::~BlockingRegion()
{
    if (m_Observer)
    {
        m_Observer->OnUnblocked();
        t_Observer = m_Observer;
    }
}
} // namespace Sync
