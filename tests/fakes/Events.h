#pragma once
// A recorder of any event generator's events, and the one-stream topology the session plays.
// Header only: the session benchmark uses them too.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <ranges>
#include <string>
#include <vector>

namespace TestSupport
{
// Reads every event of a generator (BeginGetEvent after each one) and keeps them for the test.
class EventRecorder final : public ComObject<IMFAsyncCallback>
{
public:
    struct Record
    {
        MediaEventType Type = MEUnknown;
        HRESULT Status = S_OK;
        UINT32 TopologyStatus = 0; // MF_EVENT_TOPOLOGY_STATUS, when the event has it
        bool HasValue = false;
        ComPtr<IUnknown> Value; // a VT_UNKNOWN value (a stream, a sample), when kept
    };

    // With `keepValues`, records keep VT_UNKNOWN values (and so the objects alive).
    static ComPtr<EventRecorder> Start(IMFMediaEventGenerator* generator, bool keepValues = false)
    {
        auto recorder = Make<EventRecorder>(generator, keepValues);
        XEV_CHECK_HR(generator->BeginGetEvent(recorder.Get(), nullptr));
        return recorder;
    }
    EventRecorder(IMFMediaEventGenerator* generator, bool keepValues) : m_Generator(generator), m_KeepValues(keepValues) {}

    // IMFAsyncCallback
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override
    {
        ComPtr<IMFMediaEventGenerator> generator;
        {
            std::lock_guard lock(m_Lock);
            generator = m_Generator;
        }
        ComPtr<IMFMediaEvent> event;
        if (!generator || FAILED(generator->EndGetEvent(result, event.GetAddressOf())))
            return S_OK;
        Record record;
        PROPVARIANT value {};
        (void)event->GetType(&record.Type);
        (void)event->GetStatus(&record.Status);
        (void)event->GetUINT32(MF_EVENT_TOPOLOGY_STATUS, &record.TopologyStatus);
        record.HasValue = SUCCEEDED(event->GetValue(&value)) && value.vt != VT_EMPTY;
        if (m_KeepValues && value.vt == VT_UNKNOWN)
            record.Value = value.punkVal;
        (void)PropVariantClear(&value);
        std::function<void(const Record&)> reaction;
        {
            std::lock_guard lock(m_Lock);
            m_Records.push_back(record);
            reaction = m_Reaction;
        }
        m_Arrived.notify_all();
        if (reaction)
            reaction(record);
        (void)generator->BeginGetEvent(this, nullptr);
        return S_OK;
    }

    std::vector<Record> Records() const
    {
        std::lock_guard lock(m_Lock);
        return m_Records;
    }
    std::vector<MediaEventType> Types() const
    {
        const auto types = Records() | std::views::transform(&Record::Type);
        return { types.begin(), types.end() };
    }
    // Those of `type`, or (MEUnknown) those whose status is a failure.
    std::vector<Record> Of(MediaEventType type) const
    {
        auto records = Records();
        std::erase_if(records, [type](const Record& r) { return type == MEUnknown ? SUCCEEDED(r.Status) : r.Type != type; });
        return records;
    }
    std::vector<Record> Failures() const { return Of(MEUnknown); }
    // Blocks until the `occurrence`-th event of `type` came; false on time-out.
    bool WaitFor(MediaEventType type, int timeoutMilliseconds = 30000, size_t occurrence = 1) const
    {
        std::unique_lock lock(m_Lock);
        return m_Arrived.wait_for(lock, std::chrono::milliseconds(timeoutMilliseconds),
            [&] { return static_cast<size_t>(std::ranges::count(m_Records, type, &Record::Type)) >= occurrence; });
    }
    // Stops reading and lets go of the generator.
    void Detach()
    {
        std::lock_guard lock(m_Lock);
        m_Generator = nullptr;
    }
    // Runs on the event's thread after each record, before the next event is asked for (the way
    // a pipeline reacts to its session's events).
    void SetReaction(std::function<void(const Record&)> reaction)
    {
        std::lock_guard lock(m_Lock);
        m_Reaction = std::move(reaction);
    }
    // The event types as text, for failure messages: "101 111 103 ...".
    std::string Text() const
    {
        std::string text;
        for (auto type : Types())
            text += std::to_string(type) + " ";
        return text;
    }

private:
    mutable std::mutex m_Lock; // guards the fields below
    mutable std::condition_variable m_Arrived;
    ComPtr<IMFMediaEventGenerator> m_Generator;
    std::vector<Record> m_Records;
    std::function<void(const Record&)> m_Reaction;
    const bool m_KeepValues;
};

// A topology source stream -> transform -> output.
inline ComPtr<IMFTopology> BuildTopology(IMFMediaSource* source, IMFPresentationDescriptor* descriptor, IMFStreamDescriptor* streamDescriptor,
    IMFTransform* transform, IMFStreamSink* streamSink)
{
    ComPtr<IMFTopology> topology;
    XEV_CHECK_HR(MFCreateTopology(topology.GetAddressOf()));
    ComPtr<IMFTopologyNode> nodes[3];
    const MF_TOPOLOGY_TYPE types[] = { MF_TOPOLOGY_SOURCESTREAM_NODE, MF_TOPOLOGY_TRANSFORM_NODE, MF_TOPOLOGY_OUTPUT_NODE };
    for (int i = 0; i < 3; ++i)
    {
        XEV_CHECK_HR(MFCreateTopologyNode(types[i], nodes[i].GetAddressOf()));
        XEV_CHECK_HR(topology->AddNode(nodes[i].Get()));
        if (i > 0)
            XEV_CHECK_HR(nodes[i - 1]->ConnectOutput(0, nodes[i].Get(), 0));
    }
    XEV_CHECK_HR(nodes[0]->SetUnknown(MF_TOPONODE_SOURCE, source));
    XEV_CHECK_HR(nodes[0]->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, descriptor));
    XEV_CHECK_HR(nodes[0]->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, streamDescriptor));
    XEV_CHECK_HR(nodes[1]->SetObject(transform));
    XEV_CHECK_HR(nodes[2]->SetObject(streamSink));
    return topology;
}
} // namespace TestSupport
