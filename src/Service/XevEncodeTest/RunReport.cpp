#include "RunReport.h"

#include "ChatMessage.h"

#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/mf/Api.h"
#include "platform/system/Files.h"
#include "platform/system/SystemInfo.h"

#include <chrono>
#include <filesystem>

namespace Application
{
CpuMeter::Source CpuMeter::HostSource()
{
    // The media clock: intervals measured on it do not move when the wall clock is set.
    return { []() -> int64_t { return MFGetSystemTime(); }, &Process::GetTimes, Process::ProcessorCount() };
}

CpuMeter::CpuMeter(const Source& source) : m_Source(source) {}

void CpuMeter::Start()
{
    const int64_t now = m_Source.Now();
    const Process::Times times = m_Source.ProcessTimes();
    std::lock_guard lock(m_Lock);
    m_StartTime = m_LastTime = now;
    m_LastKernelTime = times.Kernel * 100;
    m_LastUserTime = times.User * 100;
}

CpuFractions CpuMeter::Measure()
{
    const int64_t now = m_Source.Now();
    const Process::Times times = m_Source.ProcessTimes();
    const int64_t kernel = times.Kernel * 100, user = times.User * 100; // ns
    std::lock_guard lock(m_Lock);
    const float elapsed = static_cast<float>((now - m_LastTime) * 100); // ns
    if (elapsed <= 0)
        return {};
    const float capacity = static_cast<float>(m_Source.ProcessorCount) * elapsed;
    const CpuFractions fractions { static_cast<float>(kernel - m_LastKernelTime) / capacity, static_cast<float>(user - m_LastUserTime) / capacity };
    m_EndTime = m_LastTime = now;
    m_LastKernelTime = kernel;
    m_LastUserTime = user;
    return fractions;
}

double CpuMeter::ElapsedSeconds() const
{
    std::lock_guard lock(m_Lock);
    return static_cast<double>((m_EndTime - m_StartTime) / 10000) / 1000.0;
}

CpuFractions RecordCpuConsumption(CpuMeter& meter, UINT32 iteration, std::string& results, const Console::Writer& console)
{
    const CpuFractions cpu = meter.Measure();
    XEV_TRACE("KernelTime %.2f%%, UserTime %.2f%%\n", cpu.Kernel * 100, cpu.User * 100);
    console(Console::Format("CPU consumption: %.2f%% kernel time, %.2f%% user time", cpu.Kernel * 100, cpu.User * 100));
    if (iteration != 0)
        return cpu;
    results += Console::Format("Elapsed Time: %.1f seconds\n", meter.ElapsedSeconds());
    results += Console::Format("CPU Consumption Time: %.2f%% kernel, %.2f%% user\n", double(cpu.Kernel) * 100.0, double(cpu.User) * 100.0);
    return cpu;
}

std::string TaskText(const Task& task)
{
    std::string text = Console::Format("%ux%u@%.2f", task.SizeW, task.SizeH, static_cast<double>(task.RateN) / task.RateD);
    if (text.size() > 3 && text.ends_with(".00"))
        text.resize(text.size() - 3);
    return text;
}

std::string StreamFileName(UINT32 iteration, UINT32 iterationCount, UINT32 pipelineIndex)
{
    std::string name = "Stream";
    if (iterationCount > 1)
        name += Console::Format("-%03u", iteration);
    return name + Console::Format("-%02u.h264", pipelineIndex);
}

void WriteStreamFile(const StreamRecord& stream, UINT32 iteration, UINT32 iterationCount, const std::string& directory,
    const Console::Writer& console)
{
    const std::string name = StreamFileName(iteration, iterationCount, stream.Index);
    console(Console::Format("Writing %zu bytes to %s", stream.Data.size(), name.c_str()));
    HostFiles::WriteFileReplacing((std::filesystem::path(directory) / name).string(), stream.Data);
}

void AppendSystemInformation(std::string& text)
{
    text += "Computer: " + HostSystem::ComputerName() + "\n";
    const auto now = std::chrono::system_clock::now();
    text += "Local Time: " + HostSystem::FormatDateTime(now, false) + "\n";
    text += "UTC Time: " + HostSystem::FormatDateTime(now, true) + "\n";
}

std::string ComposeReport(const Configuration& settings, const std::string& adapterDescription, const std::string& results)
{
    std::string text = Console::Format("Processor: %s (%u)\n", HostSystem::ProcessorBrandText().c_str(), Process::ProcessorCount());
    text += "Adapter: " + adapterDescription + "\n";
    text += Console::Format("Duration: %lld seconds\n", static_cast<long long>(settings.Duration));
    text += Console::Format("Iterations: %u\n", settings.IterationCount);
    text += "\n";
    for (size_t index = 0; index < settings.Tasks.size(); ++index)
        text += (index ? ", " : "") + TaskText(settings.Tasks[index]);
    text += "\n\n";
    text += results + "\n";
    AppendSystemInformation(text);
    text += "#" + std::filesystem::path(settings.Name).stem().string() + "\n";
    return text;
}

void PrintReport(const std::string& report, const Console::Writer& console)
{
    const std::string dashes(64, '-');
    console(dashes);
    for (size_t start = 0; start < report.size();)
    {
        const size_t end = std::min(report.find('\n', start), report.size());
        console(std::string_view(report).substr(start, end - start));
        start = end + 1;
    }
    console(dashes);
}

void ReportRun(const Configuration& settings, const std::string& adapterDescription, const std::string& results,
    const Console::Writer& console, const Net::HttpLimits& limits)
{
    const std::string report = ComposeReport(settings, adapterDescription, results);
    PrintReport(report, console);
    PostChatMessage(report, false, settings.ChatBaseAddress, ChatIdentifier(), console, limits);
}
} // namespace Application
