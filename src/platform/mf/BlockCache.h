#pragma once
// Recycled frame-size memory blocks, shared by the process: media buffers and the software
// encoder's staging areas take their frame-size blocks here, so that a warm pipeline reuses
// blocks instead of faulting fresh pages in on every frame.

#include <cstddef>
#include <memory>

namespace MFPlatform
{
struct RecycledBlockDelete
{
    std::size_t Size = 0;
    void operator()(unsigned char* block) const noexcept; // back to the cache, or to the heap
};
using RecycledBlock = std::unique_ptr<unsigned char[], RecycledBlockDelete>;

// A block of `size` bytes aligned for vector code, left uninitialised: a kept block of that size
// when there is one (blocks of 64 KiB and more), otherwise a new one. Throws std::bad_alloc.
RecycledBlock TakeRecycledBlock(std::size_t size);
} // namespace MFPlatform
