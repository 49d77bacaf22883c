#pragma once
// Counts the heap allocations (operator new) the calling thread makes while a counter lives, to
// check that a path allocates nothing once warm. Unavailable in sanitizer builds, whose runtimes
// own operator new: tests then skip.

#include <cstddef>

namespace TestSupport
{
class AllocationCounter
{
public:
    AllocationCounter() noexcept;
    ~AllocationCounter();
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t Count() const noexcept { return m_Count; }
    static bool Available() noexcept;

private:
    std::size_t m_Count = 0;
    std::size_t* m_Previous;
};
} // namespace TestSupport
