// Application::Context::Run: processor affinity, the media platform, the shared device, then the
// iterations: build one pipeline per task, bring all to readiness, start them together, wait for
// every one to complete (or a stop request), stop them, write their streams, cool down; after the
// last iteration, write the results file when asked, print and post the run report. With
// -Capacity the iterations are the capacity search's trials (SearchCapacity).
//
// Stop requests (the stop event is never reset): before every pipeline is ready the iteration
// fails with 0x80FF0273; while pipelines run the completion wait ends, they are stopped and the
// streams of those that completed are written, and any later iteration fails at its readiness
// wait; during a cool-down the loop ends. After a stop request no report is made.
//
// Bounds: readiness is awaited at most 30 s and completion at most the duration plus
// max(30 s, the duration); when a bound passes one console line names the pipelines that did not
// report, every pipeline is stopped and the iteration fails with a line-coded failure.

#include "Module.h"
#include "RunReport.h"
#include "RunStatistics.h"
#include "TaskPipeline.h"

#include "media/XevEncodeTransform/XevDefaultDeviceManager.h"
#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/d3d/D3D11.h"
#include "platform/encoder/Runtime.h"
#include "platform/mf/Api.h"
#include "platform/system/Process.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <span>
#include <tuple>

namespace Application
{
namespace
{
constexpr HRESULT NoTasksResult = MakeHResult(0x80FF023F);
constexpr HRESULT NotReadyResult = MakeHResult(0x80FF0273);
constexpr uint32_t ReadinessBoundMilliseconds = 30'000;
// The capacity search stops doubling here.
constexpr UINT32 MaximumCapacity = 1024;
// Stream files of capacity trials carry the trial's number.
constexpr UINT32 CapacityTrialCount = 0xFFFFFFFF;

// What the pipelines' handlers share with the run loop for one iteration. The handlers hold it
// (a handler may still be running when the run loop has moved on).
class IterationState
{
public:
    IterationState(size_t pipelineCount, UINT32 iteration, Console::Writer console)
        : m_Settled(pipelineCount), m_Iteration(iteration), m_Console(std::move(console))
    {
    }

    // Ready callback: a pipeline's topology is ready.
    void OnReady(TaskPipeline* pipeline) { Settle(pipeline->m_Index); }

    // Completion callback: a pipeline finished, failed or was closed. A pipeline is counted once,
    // however often it reports.
    void OnCompleted(TaskPipeline* pipeline)
    {
        XEV_TRACE("Pipeline->m_Index %u\n", pipeline->m_Index);
        const std::optional<HRESULT> result = pipeline->Result();
        // A pipeline that fails before it is ready no longer holds up the others' start.
        Settle(pipeline->m_Index);
        std::lock_guard lock(m_Lock);
        if (std::ranges::find(m_Completed, pipeline, &ComPtr<TaskPipeline>::Get) != m_Completed.end())
            return;
        if (result)
        {
            m_Console(Console::Format("Pipeline %u failed with code 0x%08X", pipeline->m_Index, static_cast<unsigned>(*result)));
            DiagnoseSessionRefusal(*result, m_Console);
        }
        m_Completed.emplace_back(pipeline);
        if (m_Completed.size() != m_Settled.size())
            return;
        m_Cpu = RecordCpuConsumption(m_Meter, m_Iteration, m_Results, m_Console);
        m_Elapsed = m_Meter.ElapsedSeconds();
        CompletionEvent.Set();
    }

    bool HasCompleted(const TaskPipeline* pipeline) const
    {
        std::lock_guard lock(m_Lock);
        return std::ranges::find(m_Completed, pipeline, &ComPtr<TaskPipeline>::Get) != m_Completed.end();
    }
    std::vector<ComPtr<TaskPipeline>> Completed() const
    {
        std::lock_guard lock(m_Lock);
        return m_Completed;
    }
    std::string Results() const
    {
        std::lock_guard lock(m_Lock);
        return m_Results;
    }
    // The CPU shares and elapsed seconds measured when the last pipeline completed (zeros before).
    std::pair<CpuFractions, double> Measured() const
    {
        std::lock_guard lock(m_Lock);
        return { m_Cpu, m_Elapsed };
    }
    // "0, 2": the indices of the pipelines that have not reported readiness or completion.
    std::string Unreported(const std::vector<ComPtr<TaskPipeline>>& pipelines, bool completion) const
    {
        std::string list;
        for (const ComPtr<TaskPipeline>& pipeline : pipelines)
            if (completion ? !HasCompleted(pipeline.Get()) : !m_Settled[pipeline->m_Index].load())
                list += (list.empty() ? "" : ", ") + std::to_string(pipeline->m_Index);
        return list;
    }

    Sync::Event ReadyEvent { Sync::Event::ResetMode::Manual };
    Sync::Event CompletionEvent { Sync::Event::ResetMode::Manual };

private:
    void Settle(UINT32 index)
    {
        if (m_Settled[index].exchange(true))
            return;
        const size_t count = m_ReadyCount.fetch_add(1) + 1;
        if (count < m_Settled.size())
            return;
        XEV_TRACE("ReadyCount %zu\n", count);
        {
            std::lock_guard lock(m_Lock);
            m_Meter.Start();
        }
        ReadyEvent.Set();
    }

    std::vector<std::atomic<bool>> m_Settled; // per pipeline index: reported ready or completed
    std::atomic<size_t> m_ReadyCount { 0 };
    const UINT32 m_Iteration;
    const Console::Writer m_Console;
    mutable std::mutex m_Lock; // guards the five below
    std::vector<ComPtr<TaskPipeline>> m_Completed;
    CpuMeter m_Meter;
    std::string m_Results;
    CpuFractions m_Cpu;
    double m_Elapsed = 0;
};

// Stops every pipeline; the first failure is raised once all are stopped.
void StopPipelines(const std::vector<ComPtr<TaskPipeline>>& pipelines)
{
    HRESULT first = S_OK;
    for (const ComPtr<TaskPipeline>& pipeline : pipelines)
    {
        const HRESULT hr = Error::Guard([&] { pipeline->Stop(); });
        if (FAILED(hr) && SUCCEEDED(first))
            first = hr;
    }
    XEV_CHECK_HR(first);
}

// Stops the pipelines when a failure leaves the iteration early, so that no session keeps running.
struct StopOnFailure
{
    ~StopOnFailure()
    {
        if (std::uncaught_exceptions() > Exceptions)
            (void)Error::Guard([&] { StopPipelines(Pipelines); });
    }
    const std::vector<ComPtr<TaskPipeline>>& Pipelines;
    const int Exceptions = std::uncaught_exceptions();
};

// The encoder runtime that serves the shared device, with its versions.
std::string EncoderIdentity(IMFDXGIDeviceManager* deviceManager)
{
    HANDLE handle = nullptr;
    ComPtr<ID3D11Device> device;
    if (SUCCEEDED(deviceManager->OpenDeviceHandle(&handle)))
    {
        (void)deviceManager->GetVideoService(handle, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf()));
        (void)deviceManager->CloseDeviceHandle(handle);
    }
    EncoderRuntime::Module* const module = EncoderRuntime::LoadForDevice(device.Get());
    std::string identity = EncoderRuntime::Describe(module);
    EncoderRuntime::Free(module);
    return identity;
}

// Waits for the first of the events; on a terminal the status line is rewritten once a second meanwhile.
int WaitForCompletion(std::span<Sync::Event* const> events, uint32_t bound, const std::vector<ComPtr<TaskPipeline>>& pipelines, int64_t duration)
{
    if (!Process::StandardErrorIsTerminal())
        return Sync::Event::WaitAny(events, bound);
    std::vector<StatusLine::Pipeline> watched;
    for (const ComPtr<TaskPipeline>& pipeline : pipelines)
    {
        const Task& task = pipeline->GetTask();
        watched.push_back({ &pipeline->Counters(), task.RateD ? static_cast<double>(task.RateN) / task.RateD : 0.0 });
    }
    StatusLine status(std::move(watched), duration);
    const MFTIME deadline = MFGetSystemTime() + static_cast<MFTIME>(bound) * 10'000;
    for (;;)
    {
        const MFTIME left = deadline - MFGetSystemTime();
        if (left <= 0)
            return Sync::WaitTimeout;
        const int signalled = Sync::Event::WaitAny(events, static_cast<uint32_t>(std::min<MFTIME>(left / 10'000 + 1, 1'000)));
        if (signalled != Sync::WaitTimeout)
            return signalled;
        status.Update();
    }
}

uint32_t Milliseconds(int64_t seconds)
{
    return static_cast<uint32_t>(std::clamp<int64_t>(seconds * 1000, 0, Sync::Infinite - 1));
}
} // namespace

void Context::Run(Sync::Event& stopEvent, const Console::Writer& console)
{
    if (ProcessAffinityMask)
        (void)Process::SetAffinityMask(static_cast<uint64_t>(*ProcessAffinityMask));
    std::string processors = Console::Format("Processor Count %u", Process::ProcessorCount());
    if (const std::optional<Process::AffinityMasks> masks = Process::GetAffinityMasks())
        processors += Console::Format(", Affinity Mask 0x%08llX, System Affinity Mask 0x%08llX", static_cast<unsigned long long>(masks->Process),
            static_cast<unsigned long long>(masks->System));
    console(processors);

    XEV_CHECK_HR(MFStartup(MF_VERSION, MFSTARTUP_FULL));
    struct PlatformShutdown
    {
        ~PlatformShutdown() { (void)MFShutdown(); }
    } platformShutdown;

    const ComPtr<XevDefaultDeviceManager> deviceManager = XevDefaultDeviceManager::Create(SoftwareEncoder);
    const DXGI_ADAPTER_DESC1 adapter = deviceManager->GetAdapterDescription();
    console(Console::Format("Using adapter \"%s\"", adapter.Description));

    const std::string encoder = EncoderIdentity(deviceManager.Get());
    console("Using encoder " + encoder);

    std::string resultsText;
    std::vector<IterationOutcome> outcomes;
    std::optional<UINT32> capacity;
    const IterationRunner iterationRun = [&](const std::vector<Task>& tasks, UINT32 iteration, UINT32 iterationCount) {
        outcomes.push_back(RunIteration(tasks, iteration, iterationCount, deviceManager.Get(), stopEvent, console, resultsText));
        return outcomes.back();
    };
    if (Capacity)
        capacity = SearchCapacity(iterationRun, stopEvent, console);
    else
        for (UINT32 iteration = 0; iteration < IterationCount; ++iteration)
        {
            iterationRun(Tasks, iteration, IterationCount);
            if (iteration + 1 < IterationCount && IterationCooldownTime > 0 && !stopEvent.IsSignalled())
            {
                console("Cooling down between iterations");
                if (stopEvent.Wait(static_cast<uint32_t>(IterationCooldownTime * 1000)))
                    break;
            }
        }
    // The results file keeps what was measured, a stopped run's too.
    if (!ResultsFile.empty() && !outcomes.empty())
        WriteResultsFile(ResultsFile, ResultsDocument(*this, adapter.Description, encoder, outcomes, capacity));
    // A stopped run makes no report.
    if (!stopEvent.IsSignalled())
        ReportRun(*this, adapter.Description, resultsText, console);
}

std::optional<UINT32> Context::SearchCapacity(const IterationRunner& run, Sync::Event& stopEvent, const Console::Writer& console)
{
    if (Tasks.empty())
    {
        XEV_TRACE("No tasks defined\n");
        Error::Throw(NoTasksResult, __FILE__, __LINE__);
    }
    // Doubling until a trial misses real time, then bisecting between the largest count that made
    // it and the smallest that did not.
    UINT32 best = 0, failed = 0, count = 1;
    for (UINT32 trial = 0; !stopEvent.IsSignalled(); ++trial)
    {
        if (trial > 0 && IterationCooldownTime > 0)
        {
            console("Cooling down between iterations");
            if (stopEvent.Wait(static_cast<uint32_t>(IterationCooldownTime * 1000)))
                break;
        }
        bool realTime = false;
        const HRESULT hr = Error::Guard([&] {
            const IterationOutcome outcome = run(std::vector<Task>(count, Tasks.front()), trial, CapacityTrialCount);
            if (!outcome.Stopped)
                console(CapacityTrialLine(outcome));
            realTime = IsRealTime(outcome);
        });
        if (stopEvent.IsSignalled())
            break;
        if (FAILED(hr))
        {
            // A trial that cannot even start (sessions refused, say) is past the capacity.
            console(Console::Format("Capacity trial: %u pipelines failed with code 0x%08X", count, static_cast<unsigned>(hr)));
            DiagnoseSessionRefusal(hr, console);
        }
        (realTime ? best : failed) = count;
        if (failed == 0)
            count = count < MaximumCapacity ? count * 2 : count;
        else if (failed - best <= 1)
            break;
        else
            count = best + (failed - best) / 2;
        if (failed == 0 && best >= MaximumCapacity)
            break;
    }
    console(Console::Format("Capacity: %u pipelines of %s", best, TaskText(Tasks.front()).c_str()));
    return best;
}

IterationOutcome Context::RunIteration(const std::vector<Task>& tasks, UINT32 iteration, UINT32 iterationCount,
    IMFDXGIDeviceManager* deviceManager, Sync::Event& stopEvent, const Console::Writer& console, std::string& resultsText)
{
    std::vector<ComPtr<TaskPipeline>> pipelines;
    const StopOnFailure stopOnFailure { pipelines };
    for (UINT32 index = 0; index < tasks.size(); ++index)
    {
        pipelines.push_back(Make<TaskPipeline>(index));
        pipelines.back()->BuildTopology(tasks[index], Duration, deviceManager);
    }
    if (pipelines.empty())
    {
        XEV_TRACE("No tasks defined\n");
        Error::Throw(NoTasksResult, __FILE__, __LINE__);
    }

    const auto state = std::make_shared<IterationState>(pipelines.size(), iteration, console);
    for (const ComPtr<TaskPipeline>& pipeline : pipelines)
    {
        if (WriteStreams)
            pipeline->SetStreamCollector();
        pipeline->Start([state](TaskPipeline* p) { state->OnReady(p); }, [state](TaskPipeline* p) { state->OnCompleted(p); });
    }

    Sync::Event* const readyWait[] = { &stopEvent, &state->ReadyEvent };
    const int ready = Sync::Event::WaitAny(readyWait, ReadinessBoundMilliseconds);
    if (ready == Sync::WaitTimeout)
    {
        console(Console::Format("Pipelines not ready within %u seconds: %s", ReadinessBoundMilliseconds / 1000,
            state->Unreported(pipelines, false).c_str()));
        XEV_CHECK_LINE(false);
    }
    if (ready != 1)
        Error::Throw(NotReadyResult, __FILE__, __LINE__);
    for (const ComPtr<TaskPipeline>& pipeline : pipelines)
        if (!state->HasCompleted(pipeline.Get()))
            pipeline->StartSession();
    console(Console::Format("Started %zu pipelines, duration is %.0f seconds", pipelines.size(), static_cast<double>(Duration * 1000) / 1000.0));

    Sync::Event* const completionWait[] = { &stopEvent, &state->CompletionEvent };
    const int64_t bound = Duration + std::max<int64_t>(30, Duration);
    const int completed = WaitForCompletion(completionWait, Milliseconds(bound), pipelines, Duration);
    XEV_TRACE("WaitResult 0x%X\n", static_cast<unsigned>(completed));
    if (completed == Sync::WaitTimeout)
    {
        console(Console::Format("Pipelines not completed within %lld seconds: %s", static_cast<long long>(bound),
            state->Unreported(pipelines, true).c_str()));
        XEV_CHECK_LINE(false);
    }
    console("Stopping pipelines");
    StopPipelines(pipelines);
    if (iteration == 0)
        resultsText = state->Results();

    if (WriteStreams)
        for (const ComPtr<TaskPipeline>& pipeline : state->Completed())
            WriteStreamFile({ pipeline->m_Index, pipeline->Data() }, iteration, iterationCount, Directory, console);

    IterationOutcome outcome;
    std::tie(outcome.Cpu, outcome.ElapsedSeconds) = state->Measured();
    outcome.Duration = Duration;
    outcome.Stopped = completed == 0;
    for (const ComPtr<TaskPipeline>& pipeline : pipelines)
    {
        const DeliveryCounters& counters = pipeline->Counters();
        outcome.Pipelines.push_back({ pipeline->m_Index, pipeline->GetTask(), counters.Frames(), counters.Bytes(), counters.LateFrames(),
            counters.LatencySummary(), pipeline->Result() });
    }
    return outcome;
}
} // namespace Application
