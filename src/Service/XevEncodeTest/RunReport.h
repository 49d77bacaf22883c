#pragma once
// What a run measures and writes out: the CPU meter of an iteration, the stream files, and the
// run report with the system information.
//
// The run loop sets up a CpuMeter per iteration, Starts it when every pipeline is ready and hands
// it to RecordCpuConsumption when the last one has completed (both on media work-queue threads).
// After stopping the pipelines it calls WriteStreamFile per completed pipeline; after the last
// iteration, ReportRun.

#include "Configuration.h"
#include "Console.h"

#include "platform/com/Types.h"
#include "platform/net/HttpClient.h"
#include "platform/system/Process.h"

#include <mutex>
#include <span>
#include <string>

namespace Application
{
// Kernel and user share of the machine's whole processor capacity over an interval
// (0.25: a quarter of all logical processors busy for the whole interval).
struct CpuFractions
{
    float Kernel = 0;
    float User = 0;
};

// Times an interval and takes the process's CPU use over it. Start and Measure may run on
// different threads.
class CpuMeter
{
public:
    // Where the meter reads its times; tests give their own.
    struct Source
    {
        int64_t (*Now)();                // a steady clock, 100 ns units
        Process::Times (*ProcessTimes)(); // the process's CPU times, 100 ns units
        UINT32 ProcessorCount;
    };
    static Source HostSource();

    explicit CpuMeter(const Source& source = HostSource());

    void Start();
    // The fractions since Start or the last Measure; an interval of no length gives zeros and
    // leaves the meter as it was.
    CpuFractions Measure();
    // From Start to the last Measure, in whole milliseconds, as seconds.
    double ElapsedSeconds() const;

private:
    const Source m_Source;
    mutable std::mutex m_Lock; // guards the fields below
    int64_t m_StartTime = 0;   // 100 ns
    int64_t m_LastTime = 0;
    int64_t m_EndTime = 0;
    int64_t m_LastKernelTime = 0; // ns
    int64_t m_LastUserTime = 0;
};

// Measures, writes the trace and the "CPU consumption" console line and, in iteration 0, appends
// the elapsed time and CPU consumption lines to results. Returns what it measured.
CpuFractions RecordCpuConsumption(CpuMeter& meter, UINT32 iteration, std::string& results, const Console::Writer& console = Console::WriteLine);

// "1280x720@60", "640x480@12.50".
std::string TaskText(const Task& task);

// "Stream[-<iteration %03u>]-<index %02u>.h264"; the iteration only when iterationCount > 1.
std::string StreamFileName(UINT32 iteration, UINT32 iterationCount, UINT32 pipelineIndex);

// One pipeline's encoded bytes, as the run loop hands them over.
struct StreamRecord
{
    UINT32 Index = 0;               // the pipeline's index (its task's position)
    std::span<const BYTE> Data;     // the encoded stream, byte for byte
};

// Writes "Writing <n> bytes to <name>" and the stream file into directory, replacing a file of that
// name only once the new one is complete. Throws the failure's HRESULT; files written before stay.
void WriteStreamFile(const StreamRecord& stream, UINT32 iteration, UINT32 iterationCount, const std::string& directory,
    const Console::Writer& console = Console::WriteLine);

// The report text, every line ending with '\n'. results: what RecordCpuConsumption collected.
std::string ComposeReport(const Configuration& settings, const std::string& adapterDescription, const std::string& results);

// "Computer: ", "Local Time: " and "UTC Time: " lines.
void AppendSystemInformation(std::string& text);

// The report's lines on the console between two lines of dashes.
void PrintReport(const std::string& report, const Console::Writer& console = Console::WriteLine);

// After the last iteration: composes the report, prints it and posts it to the chat (skipped
// without a bot address). Throws the post's failure.
void ReportRun(const Configuration& settings, const std::string& adapterDescription, const std::string& results,
    const Console::Writer& console = Console::WriteLine, const Net::HttpLimits& limits = {});
} // namespace Application
