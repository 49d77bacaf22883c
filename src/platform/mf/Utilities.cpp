// Task memory, image sizes, arithmetic and the packed attribute helpers.

#include "platform/mf/Api.h"

#include <cstdlib>

void* CoTaskMemAlloc(size_t size) noexcept
{
    return std::malloc(size);
}

void CoTaskMemFree(void* memory) noexcept
{
    std::free(memory);
}
