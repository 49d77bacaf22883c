#pragma once
// The media type handler of a stream descriptor: the stream's offered media types and its
// current one.
//
// Threads: any thread; one mutex guards the current type. The offered types are fixed at
// creation. No call goes out to another object while the mutex is held.

#include "platform/mf/Interfaces.h"

namespace MFPlatform
{
// Makes a handler offering `types` (count >= 1, none null; each held, not copied).
// E_INVALIDARG for an empty list or a null type.
HRESULT CreateMediaTypeHandler(DWORD count, IMFMediaType* const* types, IMFMediaTypeHandler** handler);
} // namespace MFPlatform
