#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace
{
thread_local std::size_t* t_Counter = nullptr;
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The default operator delete frees with free(), so these stay paired with it.
void* operator new(std::size_t size)
{
    if (t_Counter)
        ++*t_Counter;
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
#define XEV_ALLOCATION_COUNTING 1
#endif

namespace TestSupport
{
AllocationCounter::AllocationCounter() noexcept : m_Previous(t_Counter) { t_Counter = &m_Count; }
AllocationCounter::~AllocationCounter() { t_Counter = m_Previous; }

bool AllocationCounter::Available() noexcept
{
#ifdef XEV_ALLOCATION_COUNTING
    return true;
#else
    return false;
#endif
}
} // namespace TestSupport
