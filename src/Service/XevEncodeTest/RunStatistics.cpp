#include "RunStatistics.h"

#include "BuildVersion.h"

#include "media/XevEncodeTransform/XevApi.h"
#include "media/XevEncodeTransform/XevEncodeTransform.h"
#include "platform/com/Error.h"
#include "platform/system/Files.h"
#include "platform/system/Process.h"
#include "platform/system/SystemInfo.h"

#include <algorithm>
#include <cmath>

namespace Application
{
namespace
{
// The status a driver that caps concurrent sessions refuses the next one with.
const HRESULT SessionRefusedResult = MakeHResult(static_cast<uint32_t>(Xev::StatusFacility) | NV_ENC_ERR_OUT_OF_MEMORY);

void RaiseTo(std::atomic<int64_t>& maximum, int64_t value) noexcept
{
    int64_t current = maximum.load(std::memory_order_relaxed);
    while (value > current && !maximum.compare_exchange_weak(current, value, std::memory_order_relaxed))
    {
    }
}

double Milliseconds(double hundredNanoseconds)
{
    return hundredNanoseconds / 10'000.0;
}

nlohmann::ordered_json TaskJson(const Task& task)
{
    return { { "SizeW", task.SizeW }, { "SizeH", task.SizeH }, { "RateN", task.RateN }, { "RateD", task.RateD } };
}

// value with `digits` decimals, as the nearest double (which prints as such)
double Rounded(double value, int digits)
{
    const double scale = std::pow(10.0, digits);
    return std::round(value * scale) / scale;
}
} // namespace

void DeliveryCounters::Record(IMFSample* sample, MFTIME now, MFTIME frameInterval) noexcept
{
    m_Frames.fetch_add(1, std::memory_order_relaxed);
    DWORD length = 0;
    if (SUCCEEDED(sample->GetTotalLength(&length)))
        m_Bytes.fetch_add(length, std::memory_order_relaxed);
    UINT64 accepted = 0;
    LONGLONG time = 0;
    if (FAILED(sample->GetUINT64(XevSampleExtension_InputAcceptedTime, &accepted)) || FAILED(sample->GetSampleTime(&time)))
        return;
    const int64_t latency = std::max<int64_t>(now - static_cast<int64_t>(accepted), 0);
    m_LatencySum.fetch_add(latency, std::memory_order_relaxed);
    RaiseTo(m_LatencyMax, latency);
    m_Histogram[std::min<size_t>(static_cast<size_t>(latency / BucketWidth), LatencyBuckets - 1)].fetch_add(1, std::memory_order_relaxed);
    // One thread records: the first timed frame sets the origin before any other frame is looked at.
    if (m_Timed.fetch_add(1, std::memory_order_relaxed) == 0)
        m_Origin.store(static_cast<int64_t>(accepted) - time, std::memory_order_relaxed);
    if (now - (m_Origin.load(std::memory_order_relaxed) + time) > frameInterval)
        m_Late.fetch_add(1, std::memory_order_relaxed);
}

DeliveryCounters::Latency DeliveryCounters::LatencySummary() const noexcept
{
    const uint64_t count = m_Timed.load(std::memory_order_relaxed);
    if (count == 0)
        return {};
    Latency latency;
    latency.Mean = Milliseconds(static_cast<double>(m_LatencySum.load(std::memory_order_relaxed)) / static_cast<double>(count));
    latency.Max = Milliseconds(static_cast<double>(m_LatencyMax.load(std::memory_order_relaxed)));
    // The upper edge of the bucket that holds the 99th percentile, no more than the maximum.
    const uint64_t rank = (count * 99 + 99) / 100;
    uint64_t seen = 0;
    for (size_t bucket = 0; bucket < LatencyBuckets; ++bucket)
    {
        seen += m_Histogram[bucket].load(std::memory_order_relaxed);
        if (seen >= rank)
        {
            latency.P99 = std::min(Milliseconds(static_cast<double>((bucket + 1) * BucketWidth)), latency.Max);
            break;
        }
    }
    return latency;
}

uint64_t ExpectedFrames(const Task& task, int64_t duration) noexcept
{
    return task.RateD == 0 ? 0 : static_cast<uint64_t>(std::max<int64_t>(duration, 0)) * task.RateN / task.RateD;
}

bool IsRealTime(const IterationOutcome& outcome) noexcept
{
    if (outcome.Stopped || outcome.Pipelines.empty() || outcome.ElapsedSeconds > static_cast<double>(outcome.Duration) * 1.03)
        return false;
    return std::ranges::all_of(outcome.Pipelines, [&](const PipelineOutcome& pipeline) {
        return !pipeline.Result && pipeline.Frames >= ExpectedFrames(pipeline.Work, outcome.Duration);
    });
}

double SlowestFrameRate(const IterationOutcome& outcome) noexcept
{
    if (outcome.Pipelines.empty() || outcome.ElapsedSeconds <= 0)
        return 0;
    uint64_t fewest = UINT64_MAX;
    for (const PipelineOutcome& pipeline : outcome.Pipelines)
        fewest = std::min(fewest, pipeline.Frames);
    return static_cast<double>(fewest) / std::max(outcome.ElapsedSeconds, static_cast<double>(outcome.Duration));
}

std::string CapacityTrialLine(const IterationOutcome& outcome)
{
    uint64_t late = 0;
    for (const PipelineOutcome& pipeline : outcome.Pipelines)
        late += pipeline.LateFrames;
    return Console::Format("Capacity trial: %zu pipelines, %.2f fps slowest, %llu late frames, CPU %.0f%%: %s", outcome.Pipelines.size(),
        SlowestFrameRate(outcome), static_cast<unsigned long long>(late), double(outcome.Cpu.Kernel + outcome.Cpu.User) * 100.0,
        IsRealTime(outcome) ? "real time" : "not real time");
}

nlohmann::ordered_json ResultsDocument(const Configuration& settings, const std::string& adapter, const std::string& encoder,
    const std::vector<IterationOutcome>& iterations, std::optional<UINT32> capacity)
{
    nlohmann::ordered_json tasks = nlohmann::ordered_json::array();
    for (const Task& task : settings.Tasks)
        tasks.push_back(TaskJson(task));
    nlohmann::ordered_json document = {
        { "Version", BuildVersion::GitDescribe },
        { "Machine",
            { { "Processor", HostSystem::ProcessorBrandText() }, { "LogicalProcessors", Process::ProcessorCount() }, { "Adapter", adapter },
                { "Encoder", encoder } } },
        { "Configuration",
            { { "Tasks", tasks }, { "Duration", settings.Duration }, { "IterationCount", settings.IterationCount },
                { "IterationCooldownTime", settings.IterationCooldownTime }, { "SoftwareEncoder", settings.SoftwareEncoder },
                { "Capacity", settings.Capacity } } },
        { "Iterations", nlohmann::ordered_json::array() },
    };
    for (const IterationOutcome& iteration : iterations)
    {
        nlohmann::ordered_json pipelines = nlohmann::ordered_json::array();
        for (const PipelineOutcome& p : iteration.Pipelines)
        {
            // The sources' frames span the duration; a shorter elapsed time is the last frame interval missing.
            const double seconds = std::max({ iteration.ElapsedSeconds, static_cast<double>(iteration.Duration), 1e-3 });
            pipelines.push_back({ { "Index", p.Index }, { "Task", TaskJson(p.Work) }, { "Frames", p.Frames }, { "Bytes", p.Bytes },
                { "FrameRate", Rounded(static_cast<double>(p.Frames) / seconds, 2) },
                { "LatencyMilliseconds", { { "Mean", Rounded(p.Latency.Mean, 3) }, { "P99", Rounded(p.Latency.P99, 3) }, { "Max", Rounded(p.Latency.Max, 3) } } },
                { "LateFrames", p.LateFrames }, { "Result", Console::Format("0x%08X", static_cast<unsigned>(p.Result.value_or(S_OK))) } });
        }
        document["Iterations"].push_back({ { "ElapsedSeconds", Rounded(iteration.ElapsedSeconds, 3) },
            { "KernelCpu", Rounded(iteration.Cpu.Kernel, 4) }, { "UserCpu", Rounded(iteration.Cpu.User, 4) },
            { "RealTime", IsRealTime(iteration) }, { "Pipelines", pipelines } });
    }
    if (capacity && !settings.Tasks.empty())
        document["Capacity"] = { { "Pipelines", *capacity }, { "Task", TaskJson(settings.Tasks.front()) } };
    return document;
}

void WriteResultsFile(const std::string& path, const nlohmann::ordered_json& document)
{
    const std::string text = document.dump(2) + "\n";
    HostFiles::WriteFileReplacing(path, std::span(reinterpret_cast<const BYTE*>(text.data()), text.size()));
}

void DiagnoseSessionRefusal(HRESULT failure, const Console::Writer& console)
{
    if (failure != SessionRefusedResult)
        return;
    if (const size_t open = Xev::SessionsOpenAtLastRefusal(); open != 0)
        console(Console::Format("The encoder refused a new session while %zu sessions of this process were open: "
                                "the driver limits concurrent encode sessions on this adapter", open));
}

StatusLine::StatusLine(std::vector<Pipeline> pipelines, int64_t duration)
    : m_Pipelines(std::move(pipelines)), m_LastFrames(m_Pipelines.size()), m_Duration(duration), m_Start(MFGetSystemTime()), m_Last(m_Start)
{
    m_Meter.Start();
    for (size_t i = 0; i < m_Pipelines.size(); ++i)
        m_LastFrames[i] = m_Pipelines[i].Counters->Frames();
}

void StatusLine::Update()
{
    const MFTIME now = MFGetSystemTime();
    const double interval = static_cast<double>(now - m_Last) / 1e7;
    if (interval <= 0)
        return;
    uint64_t frames = 0, late = 0;
    double slowest = -1, rate = 0;
    for (size_t i = 0; i < m_Pipelines.size(); ++i)
    {
        const uint64_t count = m_Pipelines[i].Counters->Frames();
        frames += count;
        late += m_Pipelines[i].Counters->LateFrames();
        const double achieved = static_cast<double>(count - std::exchange(m_LastFrames[i], count)) / interval;
        // The slowest relative to its own configured rate.
        if (slowest < 0 || achieved * rate < slowest * m_Pipelines[i].Rate)
            slowest = achieved, rate = m_Pipelines[i].Rate;
    }
    const CpuFractions cpu = m_Meter.Measure();
    m_Last = now;
    Console::Status(Text(static_cast<double>(now - m_Start) / 1e7, m_Duration, frames, std::max(slowest, 0.0), rate, late,
        double(cpu.Kernel + cpu.User) * 100.0));
}

StatusLine::~StatusLine()
{
    Console::Status({});
}

std::string StatusLine::Text(double elapsed, int64_t duration, uint64_t frames, double slowest, double rate, uint64_t late, double cpu)
{
    return Console::Format("Elapsed %.0f/%lld s, %llu frames, slowest %.1f/%g fps, %llu late, CPU %.0f%%", std::floor(elapsed),
        static_cast<long long>(duration), static_cast<unsigned long long>(frames), slowest, rate, static_cast<unsigned long long>(late), cpu);
}
} // namespace Application
