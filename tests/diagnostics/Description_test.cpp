#include "diagnostics/Description.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace Diagnostics;

namespace
{
// The bytes 00 01 02 ...
std::vector<uint8_t> Counting(size_t size)
{
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), uint8_t { 0 });
    return bytes;
}
} // namespace

// Thrown integers, runtime errors, HResultExceptions and SIGSEGV are described by real worker
// processes (Supervisor_test); here the other shapes.
TEST(DescriptionTest, ThrowIsDescribedByItsType)
{
    struct Case { ThrownObject Thrown; const char* Line; const char* Code; };
    const Case cases[] = {
        { { "", "St13runtime_error", Counting(20), "bad thing" }, "Exception: bad thing, Type St13runtime_error", "0x00000005" },
        { { "Tool", "i", { 0x05, 0x40 }, {} }, "Exception: Module Tool, 2 bytes: 05 40 , Type i", "0x00000005" },
        { { "Tool", "3Foo", Counting(21), {} },
            "Exception: Module Tool, 21 bytes: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 ..., Type 3Foo", "0x00000005" },
        { { "Tool", "", {}, {} }, "Exception: Module Tool, 0 bytes: ", "0x00000005" },
    };
    for (const Case& c : cases)
    {
        const ExceptionDescription description = DescribeThrow(c.Thrown, 5);
        EXPECT_EQ(DescriptionLine(description), c.Line);
        EXPECT_EQ(description.CodeText, c.Code) << c.Line;
    }
}

TEST(DescriptionTest, SignalWithoutModuleTrimAndDumpName)
{
    EXPECT_EQ(DescriptionLine(DescribeSignal({ "", 6, -6, 0 })), "Exception: 0x00000006, SIGABRT, Address 0x0000000000000000, Code -6");
    const std::pair<const char*, const char*> trims[] = { { "\t. \r\n", "" }, { "a.b", "a.b" }, { "x \t", "x" }, { "", "" } };
    for (const auto& [text, trimmed] : trims)
        EXPECT_EQ(TrimDebugOutput(text), trimmed) << text;
    EXPECT_EQ(DumpFileName("/opt/x/Tool", 42, 0, ""), "/opt/x/Tool-42-DebugException-0.dmp");
}

TEST(DescriptionTest, DumpMemoryByType)
{
    const auto mapping = [](uint64_t start, uint64_t end, bool write, std::string path, uint64_t inode = 0) {
        Debug::Mapping m;
        m.Start = start, m.End = end, m.Read = true, m.Write = write, m.Path = std::move(path), m.Inode = inode;
        return m;
    };
    const std::vector<Debug::Mapping> mappings = { mapping(0x10000, 0x20000, true, "[stack]"), mapping(0x30000, 0x40000, true, ""),
        mapping(0x50000, 0x51000, true, "/lib/x", 1), mapping(0x60000, 0x62000, false, "/lib/x", 1), mapping(0x70000, 0x71000, false, "[vvar]"),
        mapping(0x71000, 0x72000, false, "[vdso]"), mapping(0x100000000, 0x2000000000000, true, "") };
    Debug::ThreadState thread;
    thread.StackPointer = 0x18100;
    thread.Registers[0] = 0x30010;
    thread.Registers[1] = 0x70000;
    thread.Registers[2] = 5;
    using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
    EXPECT_EQ(DumpMemory(0, mappings, { thread }, { { 0x3F000, 0x40000 } }),
        (Ranges { { 0x18000, 0x20000 }, { 0x30000, 0x31000 }, { 0x3F000, 0x40000 }, { 0x71000, 0x72000 } }));
    EXPECT_EQ(DumpMemory(1, mappings, { thread }),
        (Ranges { { 0x18000, 0x20000 }, { 0x30000, 0x31000 }, { 0x50000, 0x51000 }, { 0x71000, 0x72000 } }));
    EXPECT_EQ(DumpMemory(0x1826, mappings, { thread }),
        (Ranges { { 0x10000, 0x20000 }, { 0x30000, 0x40000 }, { 0x50000, 0x51000 }, { 0x60000, 0x62000 }, { 0x71000, 0x72000 } }));
}
