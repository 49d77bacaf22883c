#pragma once
// Platform-wide services beyond the published functions of Api.h.

#include <functional>

namespace MFPlatform
{
// Registers a function that the last MFShutdown runs before it stops the work queues, in
// registration order, on the thread of MFShutdown. Work queues, waiting and scheduled items and
// event queues keep working meanwhile, so a hook may shut objects down asynchronously and wait
// for them. A hook must not call MFStartup or MFShutdown (they wait for it). Hooks stay
// registered across start-ups.
void RegisterShutdownHook(std::function<void()> hook);

// True between the first MFStartup and the last MFShutdown.
bool IsStarted() noexcept;
} // namespace MFPlatform
