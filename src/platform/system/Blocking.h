#pragma once
// Blocking regions: a wait that may hold its thread for long tells the thread's observer when it
// begins and ends. The work queues' worker pool observes its workers, so that it can let another
// thread run queued work while one of them is blocked.
//
// Every wait of the platform layers that may block for long (an event, an event queue's
// GetEvent, a device's keyed mutex) opens a region around the part that blocks; short waits for
// a lock do not.

namespace Sync
{
class BlockingObserver
{
public:
    // Called on the blocking thread, which holds whatever locks its wait holds: the observer must
    // not wait for anything itself.
    virtual void OnBlocking() noexcept = 0;
    virtual void OnUnblocked() noexcept = 0;

protected:
    ~BlockingObserver() = default;
};

// The calling thread's observer; null removes it.
void SetBlockingObserver(BlockingObserver* observer) noexcept;

// A wait that may block the calling thread, for as long as the region lives. Regions nest: only
// the outermost one is reported.
class BlockingRegion
{
public:
    BlockingRegion() noexcept;
    ~BlockingRegion();
    BlockingRegion(const BlockingRegion&) = delete;
    BlockingRegion& operator=(const BlockingRegion&) = delete;

private:
    BlockingObserver* const m_Observer; // Non-owning: outlives the threads it observes
};
} // namespace Sync
