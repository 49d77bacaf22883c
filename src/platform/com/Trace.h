#pragma once
// Trace lines: "<file>(<line>): <function>: <message>" written whole to the debug-output channel.
//
// Trace never fails, never throws and never allocates: both buffers live on the caller's stack.
// Messages follow printf rules and end with "\n" themselves; the first item of a method's
// message is "this 0x%p" of the object. "%p" prints a pointer as 16 upper-case hexadecimal
// digits (the format supplies the "0x").

#include <cstdarg>
#include <cstdint>

struct TraceSite
{
    const char* File;     // source path as the build gives it; the prefix prints the part after the last '/'
    int Line;
    const char* Function; // __PRETTY_FUNCTION__ text; the prefix prints its qualified name
};

constexpr int TraceLineCapacity = 8192;

void Trace(const TraceSite& site, const char* format, ...) noexcept __attribute__((format(printf, 2, 3)));

namespace TraceDetail
{
// Writes the qualified function name found in a __PRETTY_FUNCTION__ text, with template
// parameters substituted ("MF::MediaEventGenerator<NullMediaSink::Stream,MF::MediaSinkStreamTraits>::QueueEvent").
// Returns the number of characters written (always terminated, cut to fit).
int QualifiedName(const char* prettyFunction, char* out, int capacity) noexcept;
// The part of a path after its last '/' (the whole path when there is none).
const char* FileName(const char* path) noexcept;
} // namespace TraceDetail

#define XEV_TRACE_SITE (::TraceSite { __FILE__, __LINE__, __PRETTY_FUNCTION__ })
// XEV_TRACE("this 0x%p, Index %u\n", this, index)
#define XEV_TRACE(...) ::Trace(XEV_TRACE_SITE, __VA_ARGS__)

// Formats like vsnprintf except that %p prints 16 upper-case hexadecimal digits without a prefix.
// Returns the length written (cut to fit; the output is always terminated when capacity > 0).
int FormatV(char* out, int capacity, const char* format, va_list arguments) noexcept;
int Format(char* out, int capacity, const char* format, ...) noexcept __attribute__((format(printf, 3, 4)));
