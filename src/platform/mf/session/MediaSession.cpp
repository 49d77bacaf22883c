// The media session: plays one topology of a source stream, an asynchronous transform and a
// stream sink, and reports what happens as session events.
//
// State machine (m_State; changed only by SetState, on the session's command queue):
//
//   Created --SetTopology--> Ready (a topology that cannot play leaves it Created)
//   Ready, Stopped --Start--> Starting --MESourceStarted, clock started--> Running
//   Running --MEEndOfStream, every delivered sample passed to the transform--> Draining (DRAIN sent)
//   Draining --METransformDrainComplete, every output passed to the sink--> Ending (marker placed)
//   Ending --MEEndOfPresentation and MEStreamSinkMarker back--> Finalizing --EndFinalize--> Ended
//          (a sink that does not finalize goes straight to Ended)
//   Running, Draining, Ending, Finalizing, Ended --Stop--> Stopping --MESourceStopped--> Stopped
//   Created, Ready, Stopped --Stop--> unchanged (MESessionStopped at once)
//   a failure: Starting -> Failed (MESessionStarted carries it); Stopping -> Stopped (MESessionStopped
//              carries it); Running, Draining, Ending, Finalizing -> Failed (MEError); elsewhere traced
//   Failed --Stop--> Stopped at once (nothing waited for)
//   any state --Close--> Closed (what streams is stopped without waiting; MESessionClosed)
//   Shutdown, any state and at once: transform and sink shut down, clock released, queues closed.
//
// Threads. Public calls check the shut-down and closing flags under m_Lock and post a command;
// the events of the source, its stream, the transform and the stream sink are read with
// BeginGetEvent (one EventReader each) and posted too. Everything posted runs one item at a time
// on the session's serial work queue ("the command queue"); the session's state beyond the
// m_Lock fields is touched only there. Commands (SetTopology, Start, Stop, Close) run one after
// the other: a command that waits for an object's event (Start, Stop) holds the next one back
// until it completes; object events are handled at once. No lock is held while another object
// is called.
//
// Shutdown tears the session down on the caller's thread, or, when a command-queue item is
// running, lets that item do it as it finishes and waits for it (bounded; not at all when called
// from that item). Items that run later find the session shut down and do nothing.
//
// Back-pressure. Each METransformNeedInput asks the source for one sample, while fewer than
// OutputQueueLimit outputs wait for the sink; the requests beyond are held back and made as the
// sink takes outputs, so a slow or stalled sink holds the source and the transform back.
//
// Stale events. An object's events queued before a stop may still be on their way when the
// session starts again. At each stop the session queues a fence (an event of its own extended
// type) on every object it reads and ignores an object's events until its fence comes back,
// the source's MESourceStopped excepted.
//
// Failures. A failed call to an object, an object's MEError or a failed status in an object's
// answer is reported once: as the status of the command's event while a command waits for it,
// else as MEError while the session drives the pipeline; after that the session drives nothing
// until it is stopped, and it never waits for the object that failed.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/mf/Platform.h"
#include "platform/mf/PropVariantT.h"
#include "platform/mf/Ring.h"
#include "platform/mf/session/EventReader.h"
#include "platform/mf/session/TopologyResolver.h"

#include "platform/system/Event.h"

#include <algorithm>
#include <deque>
#include <functional>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace MFPlatform
{
namespace
{
// How long Shutdown waits for a running command-queue item to tear the session down.
constexpr uint32_t TeardownPatienceMilliseconds = 10000;
// Outputs the sink has not asked for yet that the session keeps: at this many, the transform's
// requests for input are held back until the sink takes one.
constexpr size_t OutputQueueLimit = 4;

class SessionWork;
class EventWork;
class Dispatcher;

class MediaSession final : public ComObject<IMFMediaSession>, public EventReaderOwner
{
public:
    MediaSession() = default;
    ~MediaSession() override;

    // Makes the session's event queue, clock and command queue (throws).
    void Initialize();

    // IMFMediaEventGenerator
    HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) override;
    HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
    HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
    HRESULT QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) override;

    // IMFMediaSession
    HRESULT SetTopology(DWORD setTopologyFlags, IMFTopology* topology) override;
    HRESULT ClearTopologies() override;
    HRESULT Start(const GUID* timeFormat, const PROPVARIANT* startPosition) override;
    HRESULT Pause() override;
    HRESULT Stop() override;
    HRESULT Close() override;
    HRESULT Shutdown() override;
    HRESULT GetClock(IMFClock** clock) override;
    HRESULT GetSessionCapabilities(DWORD* capabilities) override;
    HRESULT GetFullTopology(DWORD getFullTopologyFlags, TOPOID topoId, IMFTopology** fullTopology) override;

    // Any thread: puts work on the command queue (dropped once the queue is closed).
    HRESULT Post(std::function<void()> work);
    HRESULT PostEvent(EventReader* reader, Role role, IMFMediaEvent* event, HRESULT hr) override;
    // Runs one item of the command queue (SessionWork::Run, EventWork::Run).
    template <class Work>
    void Dispatch(const Work& work);
    // Keeps a run event item for the next event.
    void Recycle(EventWork* item);

    // Command queue only.
    void OnEvent(EventReader* reader, Role role, IMFMediaEvent* event) override;
    void OnReaderFailure(EventReader* reader, Role role, HRESULT hr) override;
    void OnFinalized(IMFAsyncResult* result);

private:
    enum class State
    {
        Created,    // no topology
        Ready,      // topology resolved, not streaming
        Starting,   // objects told, source started; waiting for MESourceStarted
        Running,    // clock running, samples flowing
        Draining,   // the source stream ended; the transform drains
        Ending,     // drained; waiting for the sink's marker and the end of presentation
        Finalizing, // the sink finalizes
        Ended,      // MESessionEnded reported; nothing flows
        Stopping,   // waiting for MESourceStopped
        Stopped,
        Failed,     // an object failed: nothing is driven until Stop
        Closed,
    };
    static const char* StateName(State state) noexcept;
    // The edges of the state table at the top of the file.
    static bool IsAllowed(State from, State to) noexcept;
    // The one place m_State changes: an edge the table does not have is traced and refused.
    bool SetState(State next) noexcept;

    struct Output
    {
        ComPtr<IMFMediaType> Type; // a new output type (no sample), or
        ComPtr<IMFSample> Sample;  // a sample for the sink
    };

    // Public-call checks: MF_E_SHUTDOWN, or MF_E_INVALIDREQUEST once Close was called.
    HRESULT CheckCallable();
    // Shutdown's work: runs once, never beside a command-queue item.
    void Teardown() noexcept;

    // Command queue only, from here on.
    void EnqueueCommand(std::function<void()> command);
    void RunCommands();
    void CommandDone();
    void CompleteCommand(MediaEventType type, HRESULT status, IUnknown* value = nullptr);
    // Session events; a failure of the session's own queue can only be traced.
    void QueueSessionEvent(MediaEventType type, HRESULT status, IUnknown* value = nullptr) noexcept;
    void QueueTopologyStatus(UINT32 status) noexcept;
    void Fail(HRESULT hr);

    void SetTopologyCommand(const ComPtr<IMFTopology>& topology);
    void Resolve(IMFTopology* topology);
    void StartCommand(const PROPVARIANT& position);
    void CompleteStart();
    void StopCommand();
    void CompleteStop(HRESULT status);
    HRESULT StopObjects() noexcept;
    void CloseCommand();
    void ResetStreaming();
    void DetachReaders();
    void AddReader(Role role, IUnknown* object);
    void FenceReaders();

    void OnSourceEvent(MediaEventType type, HRESULT status, IMFMediaEvent* event);
    void OnStreamEvent(MediaEventType type, HRESULT status, IMFMediaEvent* event);
    void OnTransformEvent(MediaEventType type, HRESULT status);
    void OnStreamSinkEvent(MediaEventType type, HRESULT status);
    void OnNewStream(IMFMediaEvent* event);
    void RequestSamples();
    void FeedTransform();
    void ProcessOutput();
    void DeliverToSink();
    void TryPlaceMarker();
    void TryEnd();
    void FinishEnd();
    bool Driving() const noexcept;

    // Made by Initialize, then fixed until the session is destroyed.
    ComPtr<IMFMediaEventQueue> m_EventQueue;
    DWORD m_WorkQueue = 0;
    ComPtr<Dispatcher> m_Dispatcher;
    Sync::Event m_TornDown { Sync::Event::ResetMode::Manual }; // set when Teardown has run

    std::mutex m_FreeWorkLock;                 // guards m_FreeWork only; nothing is called under it
    std::vector<ComPtr<EventWork>> m_FreeWork; // event items run and parked for the next event

    std::mutex m_Lock; // guards the fields up to the next comment
    bool m_ShutDown = false;
    bool m_Closing = false;         // Close was called
    bool m_Dispatching = false;     // a command-queue item runs
    std::thread::id m_DispatchingThread;
    bool m_TeardownPending = false; // Shutdown came while an item ran: that item tears down
    bool m_Registered = false;
    ComPtr<IMFPresentationClock> m_Clock; // read without the lock on the command queue
    ComPtr<IMFTopology> m_Topology;       // the resolved topology

    // Command queue only (Teardown runs when no item does).
    State m_State = State::Created; // changed only by SetState
    std::deque<std::function<void()>> m_Commands;
    bool m_CommandActive = false;
    bool m_RunningCommands = false;
    std::vector<ComPtr<EventReader>> m_Readers;
    ResolvedTopology m_Objects;      // the resolved topology's objects
    ComPtr<IMFMediaStream> m_Stream; // from MENewStream / MEUpdatedStream
    MF::PropVariantT<> m_StartPosition; // of the current start
    UINT64 m_Fences = 0;     // fences queued so far
    // Streaming.
    Ring<ComPtr<IMFSample>> m_Input;       // delivered samples the transform has not taken yet
    Ring<Output> m_Output;                 // transform outputs the sink has not taken yet
    unsigned m_InputCredits = 0;           // METransformNeedInput not answered by ProcessInput yet
    unsigned m_DeferredRequests = 0;       // sample requests held back: the source has not started, or the sink lags
    unsigned m_SinkRequests = 0;           // MEStreamSinkRequestSample not answered yet
    bool m_StreamEnded = false;            // MEEndOfStream from the source stream
    bool m_DrainComplete = false;
    bool m_MarkerReached = false;          // MEStreamSinkMarker came back
    bool m_PresentationEnded = false;      // MEEndOfPresentation from the source
};

// One item of the command queue: the work and a reference that keeps the session alive until
// the item has run.
class SessionWork final : public ComObject<IUnknown>
{
public:
    SessionWork(ComPtr<MediaSession> session, std::function<void()> work) : m_Session(std::move(session)), m_Work(std::move(work)) {}
    void Run();

private:
    const ComPtr<MediaSession> m_Session;
    const std::function<void()> m_Work;
};

// One reader's event (or failure) on the command queue. Items are recycled through the session's
// free list, as events come several a frame; a parked item holds no references.
class EventWork final : public ComObject<IUnknown>
{
public:
    void Run();

    // Set by PostEvent, taken by Run.
    ComPtr<MediaSession> Session;
    ComPtr<EventReader> Reader;
    ComPtr<IMFMediaEvent> Event; // null for a reader's failure
    Role ReaderRole = Role::Source;
    HRESULT Failure = S_OK;
};

// Runs the command queue's items.
class Dispatcher final : public ComObject<IMFAsyncCallback>
{
public:
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override
    {
        if (!result)
            return E_INVALIDARG;
        if (auto* work = dynamic_cast<EventWork*>(result->GetStateNoAddRef()))
            work->Run();
        else if (auto* command = dynamic_cast<SessionWork*>(result->GetStateNoAddRef()))
            command->Run();
        return S_OK;
    }
};

// Hands the sink's finalize completion to the command queue.
class FinalizeCallback final : public ComObject<IMFAsyncCallback>
{
public:
    explicit FinalizeCallback(MediaSession* session) : m_Session(session) {}
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override;

private:
    const ComPtr<MediaSession> m_Session;
};

// Sessions not shut down yet; the last MFShutdown shuts them down.
class SessionRegistry
{
public:
    static SessionRegistry& Instance()
    {
        static auto* registry = new SessionRegistry; // never destroyed: sessions may outlive static destruction
        return *registry;
    }

    void Add(MediaSession* session);
    void Remove(MediaSession* session);

private:
    void ShutdownOpenSessions();

    std::once_flag m_HookOnce;
    std::mutex m_Lock;                              // guards m_Sessions
    std::vector<ComPtr<MediaSession>> m_Sessions;
};

void SessionWork::Run()
{
    m_Session->Dispatch(m_Work);
}

void EventWork::Run()
{
    const ComPtr<MediaSession> session = std::move(Session);
    const ComPtr<EventReader> reader = std::move(Reader);
    const ComPtr<IMFMediaEvent> event = std::move(Event);
    const Role role = ReaderRole;
    const HRESULT failure = Failure;
    session->Dispatch([&] {
        if (event)
            session->OnEvent(reader.Get(), role, event.Get());
        else
            session->OnReaderFailure(reader.Get(), role, failure);
    });
    session->Recycle(this);
}

HRESULT FinalizeCallback::Invoke(IMFAsyncResult* result)
{
    ComPtr<IMFAsyncResult> held(result);
    return m_Session->Post([session = m_Session.Get(), held] { session->OnFinalized(held.Get()); });
}

void SessionRegistry::Add(MediaSession* session)
{
    std::call_once(m_HookOnce, [this] { RegisterShutdownHook([this] { ShutdownOpenSessions(); }); });
    std::lock_guard lock(m_Lock);
    m_Sessions.emplace_back(session);
}

void SessionRegistry::Remove(MediaSession* session)
{
    ComPtr<MediaSession> removed; // released after the lock (declared before the guard)
    std::lock_guard lock(m_Lock);
    auto found = std::find_if(m_Sessions.begin(), m_Sessions.end(), [session](const auto& s) { return s.Get() == session; });
    if (found != m_Sessions.end())
    {
        removed = std::move(*found);
        m_Sessions.erase(found);
    }
}

void SessionRegistry::ShutdownOpenSessions()
{
    std::vector<ComPtr<MediaSession>> sessions;
    {
        std::lock_guard lock(m_Lock);
        sessions.swap(m_Sessions);
    }
    // The work queues still run, so a session whose item is running is torn down by that item
    // while Shutdown waits for it.
    for (const auto& session : sessions)
        (void)session->Shutdown();
}

void MediaSession::Initialize()
{
    XEV_CHECK_HR(MFCreateEventQueue(m_EventQueue.GetAddressOf()));
    ComPtr<IMFPresentationTimeSource> timeSource;
    XEV_CHECK_HR(MFCreateSystemTimeSource(timeSource.GetAddressOf()));
    XEV_CHECK_HR(MFCreatePresentationClock(m_Clock.GetAddressOf()));
    XEV_CHECK_HR(m_Clock->SetTimeSource(timeSource.Get()));
    XEV_CHECK_HR(MFAllocateSerialWorkQueue(MFASYNC_CALLBACK_QUEUE_MULTITHREADED, &m_WorkQueue));
    m_Dispatcher = Make<Dispatcher>();
    SessionRegistry::Instance().Add(this);
    m_Registered = true;
}

MediaSession::~MediaSession()
{
    // Only a session that never got as far as its registration, or one torn down, comes here.
    if (!m_ShutDown)
    {
        if (m_EventQueue)
            (void)m_EventQueue->Shutdown();
        if (m_WorkQueue)
            (void)MFUnlockWorkQueue(m_WorkQueue);
        if (auto clockShutdown = m_Clock.TryAs<IMFShutdown>())
            (void)clockShutdown->Shutdown();
    }
}

HRESULT MediaSession::CheckCallable()
{
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    if (m_Closing)
        return MF_E_INVALIDREQUEST;
    return S_OK;
}

HRESULT MediaSession::Post(std::function<void()> work)
{
    return Error::Guard([&]() -> HRESULT {
        auto item = Make<SessionWork>(ComPtr<MediaSession>(this), std::move(work));
        const HRESULT hr = MFPutWorkItem2(m_WorkQueue, 0, m_Dispatcher.Get(), item->AsUnknown());
        if (FAILED(hr) && hr != MF_E_SHUTDOWN)
            XEV_TRACE("this 0x%p, MFPutWorkItem2 failed, Result 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(hr));
        return hr;
    });
}

HRESULT MediaSession::PostEvent(EventReader* reader, Role role, IMFMediaEvent* event, HRESULT hr)
{
    return Error::Guard([&]() -> HRESULT {
        ComPtr<EventWork> item;
        {
            std::lock_guard lock(m_FreeWorkLock);
            if (!m_FreeWork.empty())
            {
                item = std::move(m_FreeWork.back());
                m_FreeWork.pop_back();
            }
        }
        if (!item)
            item = Make<EventWork>();
        item->Session = this;
        item->Reader = reader;
        item->Event = event;
        item->ReaderRole = role;
        item->Failure = hr;
        const HRESULT put = MFPutWorkItem2(m_WorkQueue, 0, m_Dispatcher.Get(), item->AsUnknown());
        if (FAILED(put))
        {
            // Not run: what it holds goes now (the item goes with the last reference).
            item->Session = nullptr;
            item->Reader = nullptr;
            item->Event = nullptr;
            if (put != MF_E_SHUTDOWN)
                XEV_TRACE("this 0x%p, MFPutWorkItem2 failed, Result 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(put));
        }
        return put;
    });
}

void MediaSession::Recycle(EventWork* item)
{
    std::lock_guard lock(m_FreeWorkLock);
    try
    {
        m_FreeWork.emplace_back(item);
    }
    catch (const std::bad_alloc&)
    {
        // Not kept: it goes with its last reference.
    }
}

template <class Work>
void MediaSession::Dispatch(const Work& work)
{
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return;
        m_Dispatching = true;
        m_DispatchingThread = std::this_thread::get_id();
    }
    try
    {
        work();
    }
    catch (...)
    {
        const HRESULT hr = Error::CurrentExceptionResult();
        try
        {
            Fail(hr);
        }
        catch (...)
        {
            XEV_TRACE("this 0x%p, failure report failed, Result 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(hr));
        }
    }
    bool teardown;
    {
        std::lock_guard lock(m_Lock);
        m_Dispatching = false;
        m_DispatchingThread = {};
        teardown = std::exchange(m_TeardownPending, false);
    }
    if (teardown)
        Teardown();
}

void MediaSession::Teardown() noexcept
{
    XEV_TRACE("this 0x%p, State %s\n", static_cast<void*>(this), StateName(m_State));
    DetachReaders();
    if (auto transformShutdown = m_Objects.Transform.TryAs<IMFShutdown>())
    {
        const HRESULT hr = transformShutdown->Shutdown();
        if (FAILED(hr) && hr != MF_E_SHUTDOWN)
            XEV_TRACE("this 0x%p, transform Shutdown, Result 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(hr));
    }
    if (m_Objects.Sink)
    {
        const HRESULT hr = m_Objects.Sink->Shutdown();
        if (FAILED(hr) && hr != MF_E_SHUTDOWN)
            XEV_TRACE("this 0x%p, sink Shutdown, Result 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(hr));
    }
    ComPtr<IMFPresentationClock> clock;
    ComPtr<IMFTopology> topology;
    {
        std::lock_guard lock(m_Lock);
        clock = std::move(m_Clock);
        topology = std::move(m_Topology);
    }
    if (auto clockShutdown = clock.TryAs<IMFShutdown>())
        (void)clockShutdown->Shutdown(); // lets go of the state sinks still registered
    (void)m_EventQueue->Shutdown();
    (void)MFUnlockWorkQueue(m_WorkQueue);
    m_Commands.clear();
    m_Input.Clear();
    m_Output.Clear();
    m_Stream = nullptr;
    m_Objects = {};
    m_TornDown.Set();
}

HRESULT MediaSession::GetEvent(DWORD flags, IMFMediaEvent** event)
{
    if (!event)
        return E_POINTER;
    *event = nullptr;
    const HRESULT hr = CheckCallable();
    if (hr == MF_E_SHUTDOWN)
        return hr;
    return m_EventQueue->GetEvent(flags, event); // may wait: no lock held
}

HRESULT MediaSession::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state)
{
    const HRESULT hr = CheckCallable();
    if (hr == MF_E_SHUTDOWN)
        return hr;
    return m_EventQueue->BeginGetEvent(callback, state);
}

HRESULT MediaSession::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event)
{
    if (!event)
        return E_POINTER;
    *event = nullptr;
    const HRESULT hr = CheckCallable();
    if (hr == MF_E_SHUTDOWN)
        return hr;
    return m_EventQueue->EndGetEvent(result, event);
}

HRESULT MediaSession::QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value)
{
    const HRESULT hr = CheckCallable();
    if (hr == MF_E_SHUTDOWN)
        return hr;
    return m_EventQueue->QueueEventParamVar(type, extendedType, status, value);
}

HRESULT MediaSession::SetTopology(DWORD setTopologyFlags, IMFTopology* topology)
{
    XEV_TRACE("this 0x%p, Flags 0x%X, Topology 0x%p\n", static_cast<void*>(this), setTopologyFlags, static_cast<void*>(topology));
    if (!topology)
        return E_INVALIDARG;
    HRESULT hr = CheckCallable();
    if (FAILED(hr))
        return hr;
    ComPtr<IMFTopology> held(topology);
    return Post([this, held] { EnqueueCommand([this, held] { SetTopologyCommand(held); }); });
}

HRESULT MediaSession::ClearTopologies()
{
    const HRESULT hr = CheckCallable();
    return FAILED(hr) ? hr : E_NOTIMPL;
}

HRESULT MediaSession::Start(const GUID* timeFormat, const PROPVARIANT* startPosition)
{
    XEV_TRACE("this 0x%p, TimeFormat 0x%p, StartPosition 0x%p\n", static_cast<void*>(this), static_cast<const void*>(timeFormat),
              static_cast<const void*>(startPosition));
    if (!startPosition)
        return E_INVALIDARG;
    if ((timeFormat && *timeFormat != GUID_NULL) || (startPosition->vt != VT_EMPTY && startPosition->vt != VT_I8))
        return MF_E_UNSUPPORTED_TIME_FORMAT;
    HRESULT hr = CheckCallable();
    if (FAILED(hr))
        return hr;
    const LONGLONG position = startPosition->vt == VT_I8 ? startPosition->hVal : 0;
    const bool empty = startPosition->vt == VT_EMPTY;
    return Post([this, position, empty] {
        EnqueueCommand([this, position, empty] {
            MF::PropVariantT<> value;
            if (!empty)
            {
                value.vt = VT_I8;
                value.hVal = position;
            }
            StartCommand(value);
        });
    });
}

HRESULT MediaSession::Pause()
{
    const HRESULT hr = CheckCallable();
    return FAILED(hr) ? hr : E_NOTIMPL;
}

HRESULT MediaSession::Stop()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    const HRESULT hr = CheckCallable();
    if (FAILED(hr))
        return hr;
    return Post([this] { EnqueueCommand([this] { StopCommand(); }); });
}

HRESULT MediaSession::Close()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        if (m_Closing)
            return MF_E_INVALIDREQUEST;
        m_Closing = true;
    }
    return Post([this] { EnqueueCommand([this] { CloseCommand(); }); });
}

HRESULT MediaSession::Shutdown()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    bool teardownNow;
    bool fromRunningItem;
    bool registered;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        m_ShutDown = true;
        teardownNow = !m_Dispatching;
        fromRunningItem = m_Dispatching && m_DispatchingThread == std::this_thread::get_id();
        m_TeardownPending = m_Dispatching;
        registered = std::exchange(m_Registered, false);
    }
    ComPtr<MediaSession> self(this); // the registry may hold the last reference
    if (registered)
        SessionRegistry::Instance().Remove(this);
    if (teardownNow)
        Teardown();
    else if (!fromRunningItem && !m_TornDown.Wait(TeardownPatienceMilliseconds))
        XEV_TRACE("this 0x%p, the running item has not torn down within %u ms\n", static_cast<void*>(this), TeardownPatienceMilliseconds);
    return S_OK;
}

HRESULT MediaSession::GetClock(IMFClock** clock)
{
    if (!clock)
        return E_POINTER;
    *clock = nullptr;
    std::lock_guard lock(m_Lock);
    if (m_ShutDown)
        return MF_E_SHUTDOWN;
    *clock = ComPtr<IMFClock>(m_Clock.Get()).Detach();
    return S_OK;
}

HRESULT MediaSession::GetSessionCapabilities(DWORD* capabilities)
{
    if (!capabilities)
        return E_POINTER;
    const HRESULT hr = CheckCallable();
    if (hr == MF_E_SHUTDOWN)
        return hr;
    *capabilities = 0x1; // MFSESSIONCAP_START
    return S_OK;
}

// The resolved topology, asked for as the current one (flag 1) or by its identifier.
HRESULT MediaSession::GetFullTopology(DWORD getFullTopologyFlags, TOPOID topoId, IMFTopology** fullTopology)
{
    if (!fullTopology)
        return E_POINTER;
    *fullTopology = nullptr;
    ComPtr<IMFTopology> topology;
    {
        std::lock_guard lock(m_Lock);
        if (m_ShutDown)
            return MF_E_SHUTDOWN;
        topology = m_Topology;
    }
    if (!topology)
        return MF_E_NOT_FOUND;
    TOPOID identifier = 0;
    (void)topology->GetTopologyID(&identifier);
    if (!(getFullTopologyFlags & 0x1) && identifier != topoId)
        return MF_E_NOT_FOUND;
    *fullTopology = topology.Detach();
    return S_OK;
}

const char* MediaSession::StateName(State state) noexcept
{
    switch (state)
    {
    case State::Created: return "Created";
    case State::Ready: return "Ready";
    case State::Starting: return "Starting";
    case State::Running: return "Running";
    case State::Draining: return "Draining";
    case State::Ending: return "Ending";
    case State::Finalizing: return "Finalizing";
    case State::Ended: return "Ended";
    case State::Stopping: return "Stopping";
    case State::Stopped: return "Stopped";
    case State::Failed: return "Failed";
    case State::Closed: return "Closed";
    }
    return "?";
}

bool MediaSession::IsAllowed(State from, State to) noexcept
{
    if (to == State::Closed)
        return from != State::Closed;
    switch (from)
    {
    case State::Created: return to == State::Ready;
    case State::Ready:
    case State::Stopped: return to == State::Starting;
    case State::Starting: return to == State::Running || to == State::Failed;
    case State::Running: return to == State::Draining || to == State::Stopping || to == State::Failed;
    case State::Draining: return to == State::Ending || to == State::Stopping || to == State::Failed;
    case State::Ending: return to == State::Finalizing || to == State::Ended || to == State::Stopping || to == State::Failed;
    case State::Finalizing: return to == State::Ended || to == State::Stopping || to == State::Failed;
    case State::Ended: return to == State::Stopping;
    case State::Stopping:
    case State::Failed: return to == State::Stopped;
    case State::Closed: return false;
    }
    return false;
}

bool MediaSession::SetState(State next) noexcept
{
    if (!IsAllowed(m_State, next))
    {
        XEV_TRACE("this 0x%p, State %s to %s refused\n", static_cast<void*>(this), StateName(m_State), StateName(next));
        return false;
    }
    m_State = next;
    return true;
}

bool MediaSession::Driving() const noexcept
{
    return m_State == State::Running || m_State == State::Draining || m_State == State::Ending || m_State == State::Finalizing;
}

void MediaSession::EnqueueCommand(std::function<void()> command)
{
    m_Commands.push_back(std::move(command));
    RunCommands();
}

// Runs queued commands while none is waiting for an object; a command that completes at once
// lets the next one run in the same loop.
void MediaSession::RunCommands()
{
    if (m_RunningCommands)
        return;
    m_RunningCommands = true;
    while (!m_CommandActive && !m_Commands.empty())
    {
        m_CommandActive = true;
        auto command = std::move(m_Commands.front());
        m_Commands.pop_front();
        try
        {
            command();
        }
        catch (...)
        {
            const HRESULT hr = Error::CurrentExceptionResult();
            m_RunningCommands = false;
            Fail(hr);
            return;
        }
    }
    m_RunningCommands = false;
}

void MediaSession::CommandDone()
{
    m_CommandActive = false;
    RunCommands();
}

void MediaSession::CompleteCommand(MediaEventType type, HRESULT status, IUnknown* value)
{
    QueueSessionEvent(type, status, value);
    CommandDone();
}

void MediaSession::QueueSessionEvent(MediaEventType type, HRESULT status, IUnknown* value) noexcept
{
    XEV_TRACE("this 0x%p, Type %u, Status 0x%08X, State %s\n", static_cast<void*>(this), static_cast<unsigned>(type), static_cast<unsigned>(status),
              StateName(m_State));
    MF::PropVariantT<> variant;
    if (value)
    {
        variant.vt = VT_UNKNOWN;
        variant.punkVal = value;
        value->AddRef();
    }
    const HRESULT hr = m_EventQueue->QueueEventParamVar(type, GUID_NULL, status, &variant);
    if (FAILED(hr) && hr != MF_E_SHUTDOWN)
        XEV_TRACE("this 0x%p, QueueEventParamVar, Result 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(hr));
}

void MediaSession::QueueTopologyStatus(UINT32 status) noexcept
{
    ComPtr<IMFTopology> topology;
    {
        std::lock_guard lock(m_Lock);
        topology = m_Topology;
    }
    MF::PropVariantT<> value;
    if (topology)
    {
        value.vt = VT_UNKNOWN;
        value.punkVal = topology.Detach();
    }
    ComPtr<IMFMediaEvent> event;
    HRESULT hr = MFCreateMediaEvent(MESessionTopologyStatus, GUID_NULL, S_OK, &value, event.GetAddressOf());
    if (SUCCEEDED(hr))
        hr = event->SetUINT32(MF_EVENT_TOPOLOGY_STATUS, status);
    if (SUCCEEDED(hr))
        hr = m_EventQueue->QueueEvent(event.Get());
    if (FAILED(hr) && hr != MF_E_SHUTDOWN)
        XEV_TRACE("this 0x%p, topology status %u not queued, Result 0x%08X\n", static_cast<void*>(this), status, static_cast<unsigned>(hr));
}

// Reports a failure once (see the top of the file) and stops driving the pipeline.
void MediaSession::Fail(HRESULT hr)
{
    if (SUCCEEDED(hr))
        hr = E_UNEXPECTED; // an object's MEError without a failure status
    XEV_TRACE("this 0x%p, State %s, Result 0x%08X\n", static_cast<void*>(this), StateName(m_State), static_cast<unsigned>(hr));
    switch (m_State)
    {
    case State::Starting:
        (void)SetState(State::Failed);
        ResetStreaming();
        CompleteCommand(MESessionStarted, hr);
        break;
    case State::Stopping:
        CompleteStop(hr);
        break;
    case State::Running:
    case State::Draining:
    case State::Ending:
    case State::Finalizing:
        (void)SetState(State::Failed);
        ResetStreaming();
        QueueSessionEvent(MEError, hr);
        break;
    default:
        break; // nothing is driven: an object's late complaint is only traced
    }
}

void MediaSession::SetTopologyCommand(const ComPtr<IMFTopology>& topology)
{
    if (m_State != State::Created)
    {
        CompleteCommand(MESessionTopologySet, MF_E_INVALIDREQUEST, topology.Get());
        return;
    }
    HRESULT hr = S_OK;
    try
    {
        Resolve(topology.Get());
    }
    catch (...)
    {
        hr = Error::CurrentExceptionResult();
        DetachReaders();
        m_Objects = {};
    }
    if (FAILED(hr))
    {
        CompleteCommand(MESessionTopologySet, hr, topology.Get());
        return;
    }
    {
        std::lock_guard lock(m_Lock);
        m_Topology = topology;
    }
    (void)SetState(State::Ready);
    QueueSessionEvent(MESessionTopologySet, S_OK, topology.Get());
    QueueTopologyStatus(MF_TOPOSTATUS_READY);
    CommandDone();
}

void MediaSession::Resolve(IMFTopology* topology)
{
    m_Objects = ResolveTopology(topology);
    AddReader(Role::Source, m_Objects.Source.Get());
    AddReader(Role::Transform, m_Objects.Transform.Get());
    AddReader(Role::StreamSink, m_Objects.StreamSink.Get());
}

void MediaSession::AddReader(Role role, IUnknown* object)
{
    ComPtr<IMFMediaEventGenerator> generator;
    XEV_CHECK_HR(ComPtr<IUnknown>(object).As(&generator));
    auto reader = Make<EventReader>(this, ComPtr<IUnknown>(AsUnknown()), role, generator.Get());
    reader->SetIdentity(ComPtr<IUnknown>(object).TryAs<IUnknown>());
    m_Readers.push_back(reader);
    XEV_CHECK_HR(reader->Begin());
}

void MediaSession::FenceReaders()
{
    ++m_Fences;
    for (const auto& reader : m_Readers)
        reader->Fence(m_Fences);
}

void MediaSession::DetachReaders()
{
    for (const auto& reader : m_Readers)
        reader->Detach();
    m_Readers.clear();
}

void MediaSession::ResetStreaming()
{
    m_Input.Clear();
    m_Output.Clear();
    m_InputCredits = 0;
    m_DeferredRequests = 0;
    m_SinkRequests = 0;
    m_StreamEnded = m_DrainComplete = m_MarkerReached = m_PresentationEnded = false;
}

void MediaSession::StartCommand(const PROPVARIANT& position)
{
    if (m_State != State::Ready && m_State != State::Stopped)
    {
        CompleteCommand(MESessionStarted, MF_E_INVALIDREQUEST);
        return;
    }
    (void)SetState(State::Starting);
    ResetStreaming();
    m_StartPosition.CopyFrom(position);

    // Every object that consumes a clock gets the session's (S_FALSE when it already has it).
    if (auto consumer = m_Objects.Source.TryAs<IMFClockConsumer>())
        XEV_CHECK_HR(consumer->SetPresentationClock(m_Clock.Get()));
    if (auto consumer = m_Objects.Transform.TryAs<IMFClockConsumer>())
        XEV_CHECK_HR(consumer->SetPresentationClock(m_Clock.Get()));
    XEV_CHECK_HR(m_Objects.Sink->SetPresentationClock(m_Clock.Get()));

    XEV_CHECK_HR(m_Objects.Transform->ProcessMessage(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING, 0));
    XEV_CHECK_HR(m_Objects.Transform->ProcessMessage(MFT_MESSAGE_NOTIFY_START_OF_STREAM, 0));
    XEV_CHECK_HR(m_Objects.Source->Start(m_Objects.PresentationDescriptor.Get(), &GUID_NULL, &m_StartPosition));
    // Continues in CompleteStart when the source reports MESourceStarted.
}

void MediaSession::CompleteStart()
{
    XEV_CHECK(m_Stream, E_UNEXPECTED); // the source started without announcing our stream
    const LONGLONG offset = m_StartPosition.vt == VT_I8 ? m_StartPosition.hVal : 0;
    // The clock's start is what makes the transform ask for input and the sink for a sample.
    XEV_CHECK_HR(m_Clock->Start(offset));
    (void)SetState(State::Running);
    QueueSessionEvent(MESessionStarted, S_OK);
    QueueTopologyStatus(MF_TOPOSTATUS_STARTED_SOURCE);
    RequestSamples();
    FeedTransform();
    DeliverToSink();
    CommandDone();
}

void MediaSession::StopCommand()
{
    switch (m_State)
    {
    case State::Created:
    case State::Ready:
    case State::Stopped:
        CompleteCommand(MESessionStopped, S_OK);
        return;
    case State::Failed:
        (void)StopObjects(); // best effort: the failed object is not waited for
        FenceReaders();
        (void)SetState(State::Stopped);
        CompleteCommand(MESessionStopped, S_OK);
        return;
    default:
        break;
    }
    (void)SetState(State::Stopping);
    ResetStreaming();
    const HRESULT hr = StopObjects();
    FenceReaders();
    if (FAILED(hr))
        CompleteStop(hr); // nothing is waited for after a failure
    // Otherwise continues when the source reports MESourceStopped.
}

// Clock stopped, source stopped, transform flushed and told that streaming ends. Every step is
// taken; the result is the first failure.
HRESULT MediaSession::StopObjects() noexcept
{
    HRESULT first = S_OK;
    auto note = [&](HRESULT hr, const char* what) {
        if (FAILED(hr) && hr != MF_E_CLOCK_STATE_ALREADY_SET)
        {
            XEV_TRACE("this 0x%p, %s, Result 0x%08X\n", static_cast<void*>(this), what, static_cast<unsigned>(hr));
            if (SUCCEEDED(first))
                first = hr;
        }
    };
    if (m_Clock)
        note(m_Clock->Stop(), "clock Stop");
    if (m_Objects.Source)
        note(m_Objects.Source->Stop(), "source Stop");
    if (m_Objects.Transform)
    {
        note(m_Objects.Transform->ProcessMessage(MFT_MESSAGE_COMMAND_FLUSH, 0), "transform FLUSH");
        note(m_Objects.Transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_STREAMING, 0), "transform END_STREAMING");
    }
    return first;
}

void MediaSession::CompleteStop(HRESULT status)
{
    (void)SetState(State::Stopped);
    ResetStreaming();
    CompleteCommand(MESessionStopped, status);
}

void MediaSession::CloseCommand()
{
    if (Driving() || m_State == State::Ended || m_State == State::Failed)
        (void)StopObjects();
    (void)SetState(State::Closed);
    ResetStreaming();
    DetachReaders();
    CompleteCommand(MESessionClosed, S_OK);
}

void MediaSession::OnReaderFailure(EventReader* reader, Role role, HRESULT hr)
{
    XEV_TRACE("this 0x%p, Role %s, Result 0x%08X\n", static_cast<void*>(this), RoleName(role), static_cast<unsigned>(hr));
    reader->Detach();
    Fail(hr);
}

void MediaSession::OnEvent(EventReader* reader, Role role, IMFMediaEvent* event)
{
    MediaEventType type = MEUnknown;
    HRESULT status = S_OK;
    XEV_CHECK_HR(event->GetType(&type));
    XEV_CHECK_HR(event->GetStatus(&status));
    if (type == MEUnknown && reader->IsFence(event))
        return;
    if (reader->IsStale() && !(role == Role::Source && type == MESourceStopped))
        return; // from before the last stop
    if (type == MEError)
    {
        XEV_TRACE("this 0x%p, Role %s, MEError, Status 0x%08X\n", static_cast<void*>(this), RoleName(role), static_cast<unsigned>(status));
        Fail(status);
        return;
    }
    if (m_State == State::Closed || m_State == State::Failed)
        return;
    switch (role)
    {
    case Role::Source:
        OnSourceEvent(type, status, event);
        break;
    case Role::Stream:
        OnStreamEvent(type, status, event);
        break;
    case Role::Transform:
        OnTransformEvent(type, status);
        break;
    case Role::StreamSink:
        OnStreamSinkEvent(type, status);
        break;
    }
}

void MediaSession::OnSourceEvent(MediaEventType type, HRESULT status, IMFMediaEvent* event)
{
    switch (type)
    {
    case MENewStream:
    case MEUpdatedStream:
        XEV_CHECK_HR(status);
        OnNewStream(event);
        break;
    case MESourceStarted:
        if (m_State != State::Starting)
            break;
        XEV_CHECK_HR(status);
        CompleteStart();
        break;
    case MESourceStopped:
        if (m_State == State::Stopping)
            CompleteStop(status);
        break;
    case MEEndOfPresentation:
        if (!Driving())
            break;
        XEV_CHECK_HR(status);
        m_PresentationEnded = true;
        TryEnd();
        break;
    default:
        break;
    }
}

// Starts reading a stream the source announces, when it is the topology's stream and not read yet.
void MediaSession::OnNewStream(IMFMediaEvent* event)
{
    MF::PropVariantT<> value;
    XEV_CHECK_HR(event->GetValue(&value));
    XEV_CHECK(value.vt == VT_UNKNOWN && value.punkVal, E_INVALIDARG);
    ComPtr<IMFMediaStream> stream;
    XEV_CHECK_HR(ComPtr<IUnknown>(value.punkVal).As(&stream));
    ComPtr<IMFStreamDescriptor> descriptor;
    XEV_CHECK_HR(stream->GetStreamDescriptor(descriptor.GetAddressOf()));
    DWORD identifier = 0;
    XEV_CHECK_HR(descriptor->GetStreamIdentifier(&identifier));
    if (identifier != m_Objects.StreamIdentifier)
        return;
    m_Stream = stream;
    const auto identity = stream.TryAs<IUnknown>();
    if (std::none_of(m_Readers.begin(), m_Readers.end(), [&](const auto& reader) { return reader->Reads(identity.Get()); }))
        AddReader(Role::Stream, stream.Get());
}

void MediaSession::OnStreamEvent(MediaEventType type, HRESULT status, IMFMediaEvent* event)
{
    switch (type)
    {
    case MEMediaSample:
    {
        if (m_State != State::Running || m_StreamEnded)
            break; // a sample of a start that was stopped
        XEV_CHECK_HR(status);
        MF::PropVariantT<> value;
        XEV_CHECK_HR(event->GetValue(&value));
        XEV_CHECK(value.vt == VT_UNKNOWN && value.punkVal, E_INVALIDARG);
        ComPtr<IMFSample> sample;
        XEV_CHECK_HR(ComPtr<IUnknown>(value.punkVal).As(&sample));
        m_Input.PushBack(std::move(sample));
        FeedTransform();
        break;
    }
    case MEEndOfStream:
        if (m_State != State::Running)
            break;
        XEV_CHECK_HR(status);
        m_StreamEnded = true;
        FeedTransform();
        break;
    default:
        break;
    }
}

void MediaSession::OnTransformEvent(MediaEventType type, HRESULT status)
{
    switch (type)
    {
    case METransformNeedInput:
        if (m_State == State::Starting || (m_State == State::Running && !m_StreamEnded))
        {
            ++m_InputCredits;
            ++m_DeferredRequests;
            RequestSamples();
            FeedTransform();
        }
        break;
    case METransformHaveOutput:
        if (m_State == State::Starting || m_State == State::Running || m_State == State::Draining)
        {
            ProcessOutput();
            DeliverToSink();
        }
        break;
    case METransformDrainComplete:
        if (m_State != State::Draining || m_DrainComplete)
            break;
        m_DrainComplete = true;
        XEV_CHECK_HR(m_Objects.Transform->ProcessMessage(MFT_MESSAGE_NOTIFY_END_OF_STREAM, 0));
        TryPlaceMarker();
        break;
    default:
        break;
    }
}

void MediaSession::OnStreamSinkEvent(MediaEventType type, HRESULT status)
{
    switch (type)
    {
    case MEStreamSinkRequestSample:
        if (m_State == State::Starting || Driving())
        {
            ++m_SinkRequests;
            DeliverToSink();
        }
        break;
    case MEStreamSinkMarker:
        if (m_State != State::Ending || m_MarkerReached)
            break;
        XEV_CHECK_HR(status);
        m_MarkerReached = true;
        TryEnd();
        break;
    default:
        break;
    }
}

// Asks the source for the samples held back, while the session runs and the sink keeps up.
void MediaSession::RequestSamples()
{
    while (m_DeferredRequests > 0 && m_State == State::Running && !m_StreamEnded && m_Output.Size() < OutputQueueLimit)
    {
        --m_DeferredRequests;
        const HRESULT hr = m_Stream->RequestSample(nullptr);
        if (hr == MF_E_END_OF_STREAM)
        {
            m_DeferredRequests = 0; // the stream has decided its end; MEEndOfStream follows
            return;
        }
        XEV_CHECK_HR(hr);
    }
}

// Passes delivered samples on while the transform has asked for input; when the stream has
// ended and every sample is in, tells the transform to drain.
void MediaSession::FeedTransform()
{
    while (!m_Input.Empty() && m_InputCredits > 0)
    {
        const HRESULT hr = m_Objects.Transform->ProcessInput(0, m_Input.Front().Get(), 0);
        if (hr == MF_E_NOTACCEPTING)
        {
            m_InputCredits = 0; // held back until the transform asks again
            break;
        }
        XEV_CHECK_HR(hr);
        --m_InputCredits;
        m_Input.PopFront();
    }
    if (m_State == State::Running && m_StreamEnded && m_Input.Empty())
    {
        (void)SetState(State::Draining);
        XEV_CHECK_HR(m_Objects.Transform->ProcessMessage(MFT_MESSAGE_COMMAND_DRAIN, 0));
    }
}

// Answers one METransformHaveOutput. A format change is that output: the new type is taken and
// goes to the sink in its place in the output order.
void MediaSession::ProcessOutput()
{
    MFT_OUTPUT_DATA_BUFFER buffer {};
    DWORD status = 0;
    const HRESULT hr = m_Objects.Transform->ProcessOutput(0, 1, &buffer, &status);
    ComPtr<IMFSample> sample;
    sample.Attach(buffer.pSample); // the reference passes to the caller
    if (buffer.pEvents)
        buffer.pEvents->Release();
    if (hr == MF_E_TRANSFORM_STREAM_CHANGE)
    {
        ComPtr<IMFMediaType> type;
        XEV_CHECK_HR(m_Objects.Transform->GetOutputAvailableType(0, 0, type.GetAddressOf()));
        XEV_CHECK_HR(m_Objects.Transform->SetOutputType(0, type.Get(), 0));
        m_Output.PushBack({ std::move(type), nullptr });
        return;
    }
    XEV_CHECK_HR(hr);
    if (sample)
        m_Output.PushBack({ nullptr, std::move(sample) });
}

// Hands outputs to the stream sink in order: a new type at once, a sample when the sink has
// asked for one.
void MediaSession::DeliverToSink()
{
    while (!m_Output.Empty())
    {
        Output& head = m_Output.Front();
        if (head.Type)
        {
            const auto type = std::move(head.Type);
            m_Output.PopFront();
            XEV_CHECK_HR(m_Objects.SinkTypeHandler->SetCurrentMediaType(type.Get()));
            continue;
        }
        if (m_SinkRequests == 0 || m_State == State::Starting)
            break;
        --m_SinkRequests;
        const auto sample = std::move(head.Sample);
        m_Output.PopFront();
        XEV_CHECK_HR(m_Objects.StreamSink->ProcessSample(sample.Get()));
    }
    RequestSamples();
    TryPlaceMarker();
}

void MediaSession::TryPlaceMarker()
{
    if (m_State != State::Draining || !m_DrainComplete || !m_Output.Empty())
        return;
    (void)SetState(State::Ending);
    MF::PropVariantT<> markerValue, contextValue;
    XEV_CHECK_HR(m_Objects.StreamSink->PlaceMarker(MFSTREAMSINK_MARKER_ENDOFSEGMENT, &markerValue, &contextValue));
    TryEnd();
}

void MediaSession::TryEnd()
{
    if (m_State != State::Ending || !m_MarkerReached || !m_PresentationEnded)
        return;
    if (!m_Objects.FinalizableSink)
    {
        FinishEnd();
        return;
    }
    (void)SetState(State::Finalizing);
    XEV_CHECK_HR(m_Objects.FinalizableSink->BeginFinalize(Make<FinalizeCallback>(this).Get(), nullptr));
}

void MediaSession::OnFinalized(IMFAsyncResult* result)
{
    if (!m_Objects.FinalizableSink)
        return;
    const HRESULT hr = m_Objects.FinalizableSink->EndFinalize(result);
    if (m_State != State::Finalizing)
        return; // stopped or failed meanwhile
    XEV_CHECK_HR(hr);
    FinishEnd();
}

void MediaSession::FinishEnd()
{
    (void)SetState(State::Ended);
    QueueTopologyStatus(MF_TOPOSTATUS_ENDED);
    QueueSessionEvent(MESessionEnded, S_OK);
}
} // namespace
} // namespace MFPlatform

HRESULT MFCreateMediaSession(IMFAttributes* configuration, IMFMediaSession** session)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(session);
        *session = nullptr;
        auto created = Make<MFPlatform::MediaSession>();
        created->Initialize();
        XEV_TRACE("this 0x%p\n", static_cast<void*>(created.Get()));
        *session = created.Detach();
    });
}
