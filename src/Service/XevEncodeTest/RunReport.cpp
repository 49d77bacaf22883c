#include "RunReport.h"

#include "TaskPipeline.h"

#include "platform/com/Error.h"
#include "platform/system/Process.h"

#include <chrono>
#include <filesystem>
#include <fstream>

namespace Application
{
namespace
{
int64_t SystemTime()
{
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
    return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch()).count();
}
} // namespace

CpuMeter::CpuMeter() : m_ProcessorCount(Process::ProcessorCount()) {}

void CpuMeter::Start()
{
    m_StartTime = m_LastTime = SystemTime();
    const Process::Times times = Process::GetTimes();
    m_LastKernelTime = times.Kernel * 100;
    m_LastUserTime = times.User * 100;
}

CpuMeter::Fractions CpuMeter::Measure()
{
    const int64_t now = SystemTime();
    const Process::Times times = Process::GetTimes();
    const float elapsed = static_cast<float>((now - m_LastTime) * 100);
    if (elapsed <= 0)
        return {};
    const float capacity = static_cast<float>(m_ProcessorCount) * elapsed;
    const Fractions fractions { static_cast<float>(times.Kernel * 100 - m_LastKernelTime) / capacity,
        static_cast<float>(times.User * 100 - m_LastUserTime) / capacity };
    m_EndTime = m_LastTime = now;
    m_LastKernelTime = times.Kernel * 100;
    m_LastUserTime = times.User * 100;
    return fractions;
}

double CpuMeter::ElapsedSeconds() const
{
    return static_cast<double>((m_EndTime - m_StartTime) / 10'000) / 1000.0;
}

std::string StreamFileName(UINT32 iteration, UINT32 iterationCount, UINT32 index)
{
    std::string name = "Stream";
    if (iterationCount > 1)
        name += Console::Format("-%03u", iteration);
    return name + Console::Format("-%02u.h264", index);
}

void WriteStreamFile(const TaskPipeline& pipeline, UINT32 iteration, UINT32 iterationCount, const std::string& directory,
    const Console::Writer& console)
{
    const std::string name = StreamFileName(iteration, iterationCount, pipeline.m_Index);
    const std::vector<BYTE>& data = pipeline.Data();
    console(Console::Format("Writing %zu bytes to %s", data.size(), name.c_str()));
    const std::filesystem::path path = std::filesystem::path(directory) / name;
    std::filesystem::path temporary = path;
    temporary += ".partial";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        XEV_CHECK(file, E_ACCESSDENIED);
        file.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        file.flush();
        if (!file)
        {
            file.close();
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            XEV_FAIL(E_FAIL);
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    XEV_CHECK(!error, E_ACCESSDENIED);
}
} // namespace Application
