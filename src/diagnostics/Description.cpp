#include "Description.h"

#include "Arguments.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace
{
constexpr uint64_t PageSize = 4096;
// Larger mappings are address-space reservations (sanitizer shadow memory and the like), not data.
constexpr uint64_t LargestFullMapping = uint64_t(64) << 30;

std::string Hex32(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}
} // namespace

std::optional<size_t> Diagnostics::FundamentalTypeSize(std::string_view typeName) noexcept
{
    if (typeName.size() == 1)
        switch (typeName.front())
        {
        case 'b':
        case 'c':
        case 'a':
        case 'h':
            return 1;
        case 's':
        case 't':
        case 'w':
        case 'D':
            return 2;
        case 'i':
        case 'j':
        case 'f':
            return 4;
        case 'l':
        case 'm':
        case 'x':
        case 'y':
        case 'd':
            return 8;
        default:
            return std::nullopt;
        }
    // Pointers, also to members.
    if (!typeName.empty() && (typeName.front() == 'P' || typeName.front() == 'M'))
        return 8;
    return std::nullopt;
}

Diagnostics::ExceptionDescription Diagnostics::DescribeThrow(const ThrownObject& thrown, int signal)
{
    ExceptionDescription description { Hex32(static_cast<uint32_t>(signal)), thrown.ModuleName, thrown.TypeName, {} };
    std::vector<std::string>& items = description.Items;
    if (!thrown.ModuleName.empty())
        items.push_back("Module " + thrown.ModuleName);
    const auto resultAt = [&](size_t offset) {
        uint32_t value = 0;
        std::memcpy(&value, thrown.Bytes.data() + offset, sizeof(value));
        description.CodeText = Hex32(value);
        items.push_back(description.CodeText);
    };
    if (thrown.TypeName == "i" && thrown.Bytes.size() >= 4)
    {
        items.push_back("HRESULT");
        resultAt(0);
    }
    else if (thrown.TypeName == HResultExceptionTypeName && thrown.Bytes.size() >= HResultExceptionResultOffset + 4)
    {
        items.push_back("HResultException");
        resultAt(HResultExceptionResultOffset);
        if (thrown.Message)
            items.push_back(*thrown.Message);
    }
    else if (thrown.Message)
        items.push_back(*thrown.Message);
    else
    {
        char text[64];
        std::snprintf(text, sizeof(text), "%zu bytes: ", thrown.Bytes.size());
        std::string bytes = text;
        for (size_t i = 0; i < thrown.Bytes.size() && i < 20; ++i)
        {
            std::snprintf(text, sizeof(text), "%02X ", thrown.Bytes[i]);
            bytes += text;
        }
        if (thrown.Bytes.size() > 20)
            bytes += "...";
        items.push_back(bytes);
    }
    if (!thrown.TypeName.empty())
        items.push_back("Type " + thrown.TypeName);
    return description;
}

Diagnostics::ExceptionDescription Diagnostics::DescribeSignal(const FaultSignal& fault)
{
    ExceptionDescription description { Hex32(static_cast<uint32_t>(fault.Signal)), fault.ModuleName, {}, {} };
    if (!fault.ModuleName.empty())
        description.Items.push_back("Module " + fault.ModuleName);
    char address[40];
    std::snprintf(address, sizeof(address), "Address 0x%016" PRIX64, fault.Address);
    description.Items.insert(description.Items.end(),
        { description.CodeText, Debug::SignalName(fault.Signal), address, "Code " + std::to_string(fault.Code) });
    return description;
}

std::string Diagnostics::DescriptionLine(const ExceptionDescription& description)
{
    std::string line = "Exception: ";
    for (size_t i = 0; i < description.Items.size(); ++i)
        line += (i == 0 ? "" : ", ") + description.Items[i];
    return line;
}

std::string Diagnostics::DumpFileName(const std::string& executablePath, uint32_t processIdentifier, uint32_t counter, const std::string& codeText)
{
    const std::filesystem::path executable(executablePath);
    std::string name = executable.filename().string() + "-" + std::to_string(processIdentifier) + "-DebugException-" + std::to_string(counter);
    if (!codeText.empty())
        name += "-" + codeText;
    return (executable.parent_path() / (name + ".dmp")).string();
}

std::string_view Diagnostics::TrimDebugOutput(std::string_view text) noexcept
{
    const size_t end = text.find_last_not_of("\t\n\r .");
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

std::vector<std::pair<uint64_t, uint64_t>> Diagnostics::DumpMemory(uint32_t dumpType, const std::vector<Debug::Mapping>& mappings,
    const std::vector<Debug::ThreadState>& threads, std::vector<std::pair<uint64_t, uint64_t>> always)
{
    std::vector<std::pair<uint64_t, uint64_t>> ranges = std::move(always);
    for (const Debug::Mapping& m : mappings)
    {
        // [vvar] cannot be read through the process's memory; [vsyscall] is the kernel's.
        if (!m.Read || m.Path == "[vvar]" || m.Path == "[vsyscall]")
            continue;
        if (((dumpType & DumpTypeFullMemory) != 0 && m.End - m.Start <= LargestFullMapping) || m.Path == "[vdso]" || ((dumpType & DumpTypeDataSegments) != 0 && m.Write && m.IsFile()))
            ranges.emplace_back(m.Start, m.End);
    }
    for (const Debug::ThreadState& thread : threads)
    {
        // The stack from just below its pointer (the red zone) to the end of its mapping.
        if (const Debug::Mapping* stack = Debug::FindMapping(mappings, thread.StackPointer))
            ranges.emplace_back(std::max(stack->Start, (thread.StackPointer - 128) / PageSize * PageSize), stack->End);
        for (const uint64_t value : thread.Registers)
            if (const Debug::Mapping* m = Debug::FindMapping(mappings, value); m != nullptr && m->Read && m->Path != "[vvar]")
                ranges.emplace_back(value / PageSize * PageSize, std::min(m->End, value / PageSize * PageSize + PageSize));
    }
    std::sort(ranges.begin(), ranges.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto& range : ranges)
        if (!merged.empty() && range.first <= merged.back().second)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    return merged;
}
