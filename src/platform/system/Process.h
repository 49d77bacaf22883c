#pragma once
// The running process and its machine: processors, processor affinity and CPU times.
// Nothing here fails loudly: the callers print what is available and go on.

#include <cstdint>
#include <optional>

namespace Process
{
// Logical processors online.
unsigned ProcessorCount() noexcept;

// True when standard error is a terminal (a place for a line rewritten in place).
bool StandardErrorIsTerminal() noexcept;

// Bit i stands for processor i (the first 64 processors).
struct AffinityMasks
{
    uint64_t Process = 0; // where this process may run
    uint64_t System = 0;  // the processors online
};
// Empty when the process's mask cannot be read.
std::optional<AffinityMasks> GetAffinityMasks() noexcept;
// Restricts the process (each of its threads) to the processors of `mask`; false when refused.
bool SetAffinityMask(uint64_t mask) noexcept;

// CPU time the whole process has used, in 100 ns units.
struct Times
{
    int64_t Kernel = 0;
    int64_t User = 0;
};
Times GetTimes() noexcept;
} // namespace Process
