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

// The rows each take another branch of the formatter.
TEST(Format, FollowsPrintfExceptForPointersAndStaysWithinItsCapacity)
{
    EXPECT_EQ(Formatted("0x%p", reinterpret_cast<const void*>(uintptr_t { 0xABCDEF0123456789 })), "0xABCDEF0123456789");
    EXPECT_EQ(Formatted("%lld %zu %hhu %hd", LLONG_MIN, SIZE_MAX, 300, 70000), "-9223372036854775808 18446744073709551615 44 4464");
    EXPECT_EQ(Formatted("[%-5s|%.3f|%c|%%|%#x]", "ab", 3.14159, 'Z', 255u), "[ab   |3.142|Z|%|0xff]");
    EXPECT_EQ(Formatted("[%*d|%.*s]", 4, 7, 2, "abcdef"), "[   7|ab]");
    EXPECT_EQ(Formatted("%s", static_cast<const char*>(nullptr)), "(null)");
    EXPECT_EQ(Formatted("end %"), "end ");

    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(Format(buffer, 0, "abc"), 0);
    EXPECT_EQ(buffer[0], '#');
    // Wide conversions and long strings are cut, not overrun.
    std::vector<char> big(20000, '#');
    const std::string text(15000, 't');
    EXPECT_EQ(Format(big.data(), 10000, "%s|%700d|%-600s", text.c_str(), 1, "x"), 9999);
    EXPECT_EQ(big[9999], '\0');
    EXPECT_EQ(big[10000], '#');
}
} // namespace
