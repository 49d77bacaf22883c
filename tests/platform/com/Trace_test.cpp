#include "platform/com/Trace.h"

#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <string>
#include <vector>

// Trace sites in a namespace, a class template, a template argument and an operator; each
// returns the line of its trace.
namespace TraceProbe
{
struct Traits;
struct Stream;
int FreeFunction(const void* object, unsigned index) { XEV_TRACE("this 0x%p, Index %u\n", object, index); return __LINE__; }
template <class T, class U>
struct Generator
{
    int QueueEvent() const { XEV_TRACE("this 0x%p\n", this); return __LINE__; }
};
template <int N>
struct Holder
{
    static int Clear() { XEV_TRACE("Clear\n"); return __LINE__; }
};
struct Callable
{
    int operator()(int) const { XEV_TRACE("call\n"); return __LINE__; }
};
} // namespace TraceProbe

namespace
{
std::string Formatted(const char* format, auto... arguments)
{
    char buffer[256];
    const int length = Format(buffer, sizeof(buffer), format, arguments...);
    EXPECT_EQ(length, static_cast<int>(std::string(buffer).size())) << format;
    return buffer;
}

TEST(Trace, PrefixNamesFileLineAndQualifiedFunction)
{
    TestSupport::TraceCapture capture;
    const TraceProbe::Generator<TraceProbe::Stream, TraceProbe::Traits> generator;
    const int at[] = { TraceProbe::FreeFunction(reinterpret_cast<const void*>(uintptr_t { 0xDEADBEEF }), 5), generator.QueueEvent(),
        TraceProbe::Holder<1>::Clear(), TraceProbe::Callable()(0) };
    Trace(TraceSite { "NoFolder.cpp", 42, "void Fn()" }, "x\n");
    Trace(TraceSite { "/a/b.c/Deep.h", -1, "static HRESULT A::B::C(int, char*)" }, "y\n");
    Trace(TraceSite { "trailing/", 0, "Plain" }, "z\n");
    const auto here = [&](int i) { return "Trace_test.cpp(" + std::to_string(at[i]) + "): "; };
    // A whole line, or (without its newline) the start of one.
    const std::string expected[] = {
        here(0) + "TraceProbe::FreeFunction: this 0x00000000DEADBEEF, Index 5\n",
        here(1) + "TraceProbe::Generator<TraceProbe::Stream,TraceProbe::Traits>::QueueEvent: this 0x",
        here(2) + "TraceProbe::Holder<1>::Clear: Clear\n",
        here(3) + "TraceProbe::Callable::operator(): call\n",
        "NoFolder.cpp(42): Fn: x\n",
        "Deep.h(-1): A::B::C: y\n",
        "(0): Plain: z\n",
    };
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), std::size(expected));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(expected[i].back() == '\n' ? lines[i] : lines[i].substr(0, expected[i].size()), expected[i]);
}

TEST(Trace, LongLinesAreCutWithinTheBoundAndStillEndTheLine)
{
    TestSupport::TraceCapture capture;
    const std::string prefix = "F.cpp(1): F: ";
    const std::string fitting(TraceLineCapacity - 1 - prefix.size() - 1, 'k');
    const std::string function = "void " + std::string(5000, 'N') + "()";
    Trace(TraceSite { "F.cpp", 1, "F" }, "%s\n", std::string(3 * TraceLineCapacity, 'm').c_str());
    Trace(TraceSite { "F.cpp", 1, "F" }, "%s\n", fitting.c_str());
    Trace(TraceSite { "F.cpp", 2, function.c_str() }, "tail\n");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    ASSERT_EQ(lines[0].size(), static_cast<size_t>(TraceLineCapacity - 1));
    EXPECT_EQ(lines[0].rfind(prefix + "mmm", 0), 0u);
    EXPECT_EQ(lines[0].back(), '\n');
    EXPECT_EQ(lines[1], prefix + fitting + "\n"); // a line that just fits is not touched
    // An oversized function name is cut instead of overrunning.
    EXPECT_LT(lines[2].size(), static_cast<size_t>(TraceLineCapacity));
    EXPECT_TRUE(lines[2].ends_with(": tail\n")) << lines[2];
}

TEST(Format, FollowsPrintfExceptForPointers)
{
    EXPECT_EQ(Formatted("0x%p", static_cast<const void*>(nullptr)), "0x0000000000000000");
    EXPECT_EQ(Formatted("0x%p", reinterpret_cast<const void*>(uintptr_t { 0xABCDEF0123456789 })), "0xABCDEF0123456789");
    EXPECT_EQ(Formatted("0x%08X", 0xC00D3E85u), "0xC00D3E85");
    EXPECT_EQ(Formatted("%lld %llu", LLONG_MIN, ULLONG_MAX), "-9223372036854775808 18446744073709551615");
    EXPECT_EQ(Formatted("%zu %zd", SIZE_MAX, ptrdiff_t { -2 }), "18446744073709551615 -2");
    EXPECT_EQ(Formatted("%hhu %hd %ld", 300, 70000, -5L), "44 4464 -5");
    EXPECT_EQ(Formatted("[%5d|%-5s|%.3f|%c|%%]", 42, "ab", 3.14159, 'Z'), "[   42|ab   |3.142|Z|%]");
    EXPECT_EQ(Formatted("[%*d|%.*s|%*.*f]", 4, 7, 2, "abcdef", 6, 1, 2.25), "[   7|ab|   2.2]");
    EXPECT_EQ(Formatted("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(Formatted("%#x %o", 255u, 8u), "0xff 10");
    EXPECT_EQ(Formatted("end %"), "end ");
}

TEST(Format, StaysWithinItsCapacity)
{
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(Format(buffer, 4, "abcdef"), 3);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(buffer[4], '#');
    EXPECT_EQ(Format(buffer, 1, "abc"), 0);
    EXPECT_STREQ(buffer, "");
    buffer[0] = '#';
    EXPECT_EQ(Format(buffer, 0, "abc"), 0);
    EXPECT_EQ(buffer[0], '#');
    EXPECT_EQ(Format(buffer, 5, "%s%d", "xy", 12345), 4);
    EXPECT_STREQ(buffer, "xy12");

    // Wide conversions and long strings are cut, not overrun.
    std::vector<char> big(20000, '#');
    const std::string text(15000, 't');
    EXPECT_EQ(Format(big.data(), 10000, "%s|%700d|%-600s", text.c_str(), 1, "x"), 9999);
    EXPECT_EQ(big[9999], '\0');
    EXPECT_EQ(big[10000], '#');
}
} // namespace
