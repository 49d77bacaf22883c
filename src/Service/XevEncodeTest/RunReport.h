#pragma once
// What a run measures and writes out: the CPU meter of an iteration and the stream files.
//
// CpuMeter: set up with the iteration, started by the ready callback when the last pipeline is
// ready, measured by the completion callback when the last pipeline has completed (platform
// threads; the run loop's events order the calls, so the meter needs no lock of its own).

#include "Configuration.h"
#include "Console.h"

#include <cstdint>
#include <string>

namespace Application
{
class TaskPipeline;

class CpuMeter
{
public:
    // Shares of the machine's whole processor capacity over an interval (0.25: a quarter of all
    // logical processors busy for the whole interval).
    struct Fractions
    {
        float Kernel = 0;
        float User = 0;
    };

    CpuMeter();
    void Start();
    // Over the time since Start or the last measurement; zeros (and nothing changes) for an
    // interval of no length.
    Fractions Measure();
    // From Start to the last measurement.
    double ElapsedSeconds() const;

private:
    unsigned m_ProcessorCount;
    int64_t m_StartTime = 0, m_LastTime = 0, m_EndTime = 0; // system clock, 100 ns
    int64_t m_LastKernelTime = 0, m_LastUserTime = 0;       // process CPU, ns
};

// "Stream[-<iteration>]-<index>.h264"; the iteration only when the run has more than one.
std::string StreamFileName(UINT32 iteration, UINT32 iterationCount, UINT32 index);
// Writes the pipeline's collected bytes to its stream file in `directory`, through a temporary
// file renamed into place, so that a failure never leaves a part-written file or destroys the
// previous one. Prints "Writing %zu bytes to %s". Failures throw.
void WriteStreamFile(const TaskPipeline& pipeline, UINT32 iteration, UINT32 iterationCount, const std::string& directory,
    const Console::Writer& console);
} // namespace Application
