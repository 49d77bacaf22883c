#pragma once
// Application::TaskPipeline: one encoding pipeline for one configured task: a drawn video source,
// the H.264 encoder transform and a null sink in a topology played by one media session. It turns
// the session's events into two notifications for the run loop (ready, completed), keeps its
// failure code and, when asked, collects the encoded bytes that reach the sink.
//
// Order of calls (run loop): Make<TaskPipeline>(index), BuildTopology, optionally
// SetStreamCollector, Start (session created, topology set, events listened to), then the run loop
// starts the session (StartSession) once every pipeline is ready, and calls Stop after completion,
// after a stop request or when a bound passes. Stop shuts the session and the source down and lets
// go of the media objects; m_Result and m_Data survive it.
//
// Threads: AsyncCallbackInvoke runs on the platform's work-queue threads, one session event at a
// time, under m_Lock; the ready handler is called with m_Lock held, the completion handler after it
// is let go. The sink's sample callback runs on the thread that delivers samples to the sink, under
// the sink's lock held shared: it counts every sample in m_Counters (no lock, no allocation) and,
// with the stream collector installed, is the only writer of m_Data, which the run loop reads
// after Stop.

#include "Configuration.h"
#include "RunStatistics.h"

#include "media/Common/AsyncCallback.h"
#include "media/Common/PropVariantT.h"
#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

class VideoMediaSource;
class XevEncodeTransform;
class NullMediaSink;

namespace Application
{
class TaskPipeline final : public ComObject<IUnknown>
{
public:
    using Handler = std::function<void(TaskPipeline* pipeline)>;
    // Test programs may put another transform in front of the encoder (fault injection); the
    // tool itself never sets it. Called by BuildTopology with the pipeline's index.
    using TransformInterposer = std::function<ComPtr<IMFTransform>(UINT32 index, IMFTransform* transform)>;
    static void SetTransformInterposer(TransformInterposer interposer);

    // Builds the three branches: the source of the task's size and rate lasting `duration`
    // seconds, the encoder with its settings on the shared device, the sink. Failures throw.
    void BuildTopology(const Task& task, int64_t duration, IMFDXGIDeviceManager* deviceManager);
    // Collects the encoded bytes that reach the sink from now on (before Start).
    void SetStreamCollector();
    // Stores the handlers, creates the session, gives it the topology and asks for its first event.
    void Start(Handler readyHandler, Handler completionHandler);
    // The session's Start from the beginning.
    void StartSession();
    // Shuts the session and the source down and lets go of the media objects. Safe to call more
    // than once and while an event is being handled.
    void Stop();

    // Written by the session's events; read by the run loop after the pipeline completed or stopped.
    std::optional<HRESULT> Result() const;
    // The collected bytes; read after Stop.
    const std::vector<BYTE>& Data() const noexcept { return m_Data; }
    // Counted as samples reach the sink; readable at any time.
    const DeliveryCounters& Counters() const noexcept { return m_Counters; }
    // The task BuildTopology was given.
    const Task& GetTask() const noexcept { return m_Task; }

    const UINT32 m_Index;

private:
    template <class T, class... Args>
    friend ComPtr<T>(::Make)(Args&&... args);
    explicit TaskPipeline(UINT32 index);
    ~TaskPipeline() override;

    void AsyncCallbackInvoke(IMFAsyncResult* result);
    void OnSample(IMFSample* sample);

    ComPtr<IMFTopology> m_Topology;
    ComPtr<MF::AsyncCallback> m_AsyncCallback;
    ComPtr<VideoMediaSource> m_MediaSource;
    ComPtr<XevEncodeTransform> m_Transform;
    ComPtr<NullMediaSink> m_MediaSink;
    Handler m_ReadyHandler;
    Handler m_CompletionHandler;
    ComPtr<IMFMediaSession> m_MediaSession;
    MF::PropVariantT<> m_StartPosition; // VT_I8 0

    // Held while one session event is handled and while Stop takes the objects; guards the media
    // object members above (once Start has run), m_Result and m_Stopped.
    mutable std::mutex m_Lock;
    std::optional<HRESULT> m_Result;
    bool m_Stopped = false;
    std::vector<BYTE> m_Data; // written only by the sample callback
    Task m_Task;              // set by BuildTopology
    MFTIME m_FrameInterval = 0;
    std::atomic<bool> m_Collect { false };
    DeliveryCounters m_Counters;
};
} // namespace Application
