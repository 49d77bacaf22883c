#pragma once
// What a run measures beyond the CPU figure: per-pipeline delivery counters (frames, bytes, late
// frames, encode latency), the results document, the session-limit diagnosis and the live status
// line.
//
// DeliveryCounters::Record runs on the thread that delivers samples to a pipeline's sink, one
// sample at a time; it takes no lock and allocates nothing (relaxed atomics and a fixed latency
// histogram), so the status line may read the counters while frames flow. The summary is read
// after the pipeline stopped.

#include "Configuration.h"
#include "Console.h"
#include "RunReport.h"

#include "platform/mf/Api.h"

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace Application
{
class DeliveryCounters
{
public:
    // 0.25 ms per bucket up to 500 ms; slower frames fall in the last bucket (the maximum is kept
    // exactly).
    static constexpr size_t LatencyBuckets = 2000;
    static constexpr MFTIME BucketWidth = 2'500; // 100 ns

    // One encoded sample reaching the sink at `now` (MFGetSystemTime). frameInterval: the task's,
    // in 100 ns; a frame is late when delivered more than one interval after its due time (the
    // first frame's acceptance by the encoder plus its sample time).
    void Record(IMFSample* sample, MFTIME now, MFTIME frameInterval) noexcept;

    uint64_t Frames() const noexcept { return m_Frames.load(std::memory_order_relaxed); }
    uint64_t Bytes() const noexcept { return m_Bytes.load(std::memory_order_relaxed); }
    uint64_t LateFrames() const noexcept { return m_Late.load(std::memory_order_relaxed); }

    // Input accepted to output delivered, in milliseconds; zeros before any timed frame.
    struct Latency
    {
        double Mean = 0;
        double P99 = 0;
        double Max = 0;
    };
    Latency LatencySummary() const noexcept;

private:
    std::atomic<uint64_t> m_Frames { 0 };
    std::atomic<uint64_t> m_Bytes { 0 };
    std::atomic<uint64_t> m_Late { 0 };
    std::atomic<uint64_t> m_Timed { 0 };      // frames with a latency
    std::atomic<int64_t> m_LatencySum { 0 };  // 100 ns
    std::atomic<int64_t> m_LatencyMax { 0 };
    std::atomic<int64_t> m_Origin { 0 };      // due time of sample time 0 (set by the first timed frame)
    std::array<std::atomic<uint32_t>, LatencyBuckets> m_Histogram {};
};

// One pipeline of an iteration, as the results document and the capacity search see it.
struct PipelineOutcome
{
    UINT32 Index = 0;
    Task Work;
    uint64_t Frames = 0;
    uint64_t Bytes = 0;
    uint64_t LateFrames = 0;
    DeliveryCounters::Latency Latency;
    std::optional<HRESULT> Result;
};

struct IterationOutcome
{
    double ElapsedSeconds = 0;
    CpuFractions Cpu;
    int64_t Duration = 0; // seconds
    std::vector<PipelineOutcome> Pipelines;
    bool Stopped = false; // a stop request ended it
};

// The frames a task's source delivers in `duration` seconds.
uint64_t ExpectedFrames(const Task& task, int64_t duration) noexcept;

// Real time: every pipeline delivered all its frames, none failed, and the elapsed time stayed
// within 3% of the duration.
bool IsRealTime(const IterationOutcome& outcome) noexcept;

// The slowest pipeline's achieved rate, frames per second of elapsed time.
double SlowestFrameRate(const IterationOutcome& outcome) noexcept;

// "Capacity trial: 8 pipelines, 29.98 fps slowest, 0 late frames, CPU 71%: real time"
std::string CapacityTrialLine(const IterationOutcome& outcome);

// The results document: the tool's version, the machine, the configuration and the iterations
// (capacity: the trials and the result).
nlohmann::ordered_json ResultsDocument(const Configuration& settings, const std::string& adapter, const std::string& encoder,
    const std::vector<IterationOutcome>& iterations, std::optional<UINT32> capacity);

// Writes the document to path, replacing the file only once the new one is complete.
void WriteResultsFile(const std::string& path, const nlohmann::ordered_json& document);

// After a failure line: when the failure is an encode session refused as out of memory while other
// sessions of this process were open, one line saying that the driver limits concurrent sessions.
void DiagnoseSessionRefusal(HRESULT failure, const Console::Writer& console = Console::WriteLine);

// The live status line while pipelines run, rewritten once a second on a terminal (standard error).
class StatusLine
{
public:
    struct Pipeline
    {
        const DeliveryCounters* Counters; // non-owning: the pipeline outlives the status line
        double Rate;                      // configured frames per second
    };
    StatusLine(std::vector<Pipeline> pipelines, int64_t duration);
    // Shows the line for now (the first call only takes the counters' starting values).
    void Update();
    // Clears the line.
    ~StatusLine();

    // "Elapsed 3/10 s, 271 frames, slowest 29.9/30 fps, 0 late, CPU 45%"
    static std::string Text(double elapsed, int64_t duration, uint64_t frames, double slowest, double rate, uint64_t late, double cpu);

private:
    std::vector<Pipeline> m_Pipelines;
    std::vector<uint64_t> m_LastFrames;
    const int64_t m_Duration;
    const MFTIME m_Start;
    MFTIME m_Last;
    CpuMeter m_Meter;
};
} // namespace Application
