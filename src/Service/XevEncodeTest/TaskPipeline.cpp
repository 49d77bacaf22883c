#include "TaskPipeline.h"

#include "media/Common/MediaBufferLock.h"
#include "media/Common/Names.h"
#include "media/NullMediaSink/NullMediaSink.h"
#include "media/VideoMediaSource/VideoMediaSource.h"
#include "media/XevEncodeTransform/XevEncodeTransform.h"
#include "platform/com/Error.h"

namespace Application
{
namespace
{
constexpr UINT32 ProgressiveInterlaceMode = 2; // MF_MT_INTERLACE_MODE

TaskPipeline::TransformInterposer& Interposer()
{
    static TaskPipeline::TransformInterposer interposer;
    return interposer;
}

ComPtr<IMFMediaType> CreateVideoType(REFGUID subtype)
{
    ComPtr<IMFMediaType> type;
    XEV_CHECK_HR(MFCreateMediaType(type.GetAddressOf()));
    XEV_CHECK_HR(type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
    XEV_CHECK_HR(type->SetGUID(MF_MT_SUBTYPE, subtype));
    return type;
}

ComPtr<IMFTopologyNode> AddNode(IMFTopology* topology, MF_TOPOLOGY_TYPE type, IUnknown* object)
{
    ComPtr<IMFTopologyNode> node;
    XEV_CHECK_HR(MFCreateTopologyNode(type, node.GetAddressOf()));
    if (object)
        XEV_CHECK_HR(node->SetObject(object));
    XEV_CHECK_HR(topology->AddNode(node.Get()));
    return node;
}

void SetCodecValue(ICodecAPI* codec, REFGUID api, VARTYPE type, UINT32 value)
{
    PROPVARIANT variant {};
    variant.vt = type;
    if (type == VT_BOOL)
        variant.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    else
        variant.ulVal = value;
    XEV_CHECK_HR(codec->SetValue(&api, &variant));
}
} // namespace

void TaskPipeline::SetTransformInterposer(TransformInterposer interposer)
{
    Interposer() = std::move(interposer);
}

TaskPipeline::TaskPipeline(UINT32 index) : m_Index(index)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    XEV_CHECK_HR(MFCreateTopology(m_Topology.GetAddressOf()));
    m_StartPosition.vt = VT_I8;
    m_StartPosition.hVal = 0;
}

TaskPipeline::~TaskPipeline()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
}

void TaskPipeline::BuildTopology(const Task& task, int64_t duration, IMFDXGIDeviceManager* deviceManager)
{
    // The source: drawn ARGB frames of the task's size and rate.
    ComPtr<IMFMediaType> sourceType = CreateVideoType(MFVideoFormat_ARGB32);
    XEV_CHECK_HR(MFSetAttributeRatio(sourceType.Get(), MF_MT_FRAME_RATE, task.RateN, task.RateD));
    XEV_CHECK_HR(MFSetAttributeSize(sourceType.Get(), MF_MT_FRAME_SIZE, task.SizeW, task.SizeH));
    XEV_CHECK_HR(sourceType->SetUINT32(MF_MT_INTERLACE_MODE, ProgressiveInterlaceMode));
    ComPtr<VideoMediaSource> source = Make<VideoMediaSource>();
    source->Initialize(nullptr, sourceType.Get(), std::nullopt);
    source->SetBackgroundColor(0x00008B);
    source->SetBaseTime(FILETIME {});
    source->EnableSystemClock();

    ComPtr<IMFPresentationDescriptor> presentationDescriptor;
    XEV_CHECK_HR(source->CreatePresentationDescriptor(presentationDescriptor.GetAddressOf()));
    XEV_CHECK_HR(presentationDescriptor->SetUINT64(MF_PD_DURATION, static_cast<UINT64>(duration * 1'000'000'000 / 100)));
    BOOL selected = false;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    XEV_CHECK_HR(presentationDescriptor->GetStreamDescriptorByIndex(0, &selected, streamDescriptor.GetAddressOf()));
    ComPtr<IMFMediaTypeHandler> typeHandler;
    XEV_CHECK_HR(streamDescriptor->GetMediaTypeHandler(typeHandler.GetAddressOf()));
    ComPtr<IMFMediaType> inputType;
    XEV_CHECK_HR(typeHandler->GetCurrentMediaType(inputType.GetAddressOf()));

    ComPtr<IMFTopologyNode> sourceNode = AddNode(m_Topology.Get(), MF_TOPOLOGY_SOURCESTREAM_NODE, nullptr);
    XEV_CHECK_HR(sourceNode->SetUnknown(MF_TOPONODE_SOURCE, static_cast<IMFMediaSource*>(source.Get())));
    XEV_CHECK_HR(sourceNode->SetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, presentationDescriptor.Get()));
    XEV_CHECK_HR(sourceNode->SetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, streamDescriptor.Get()));
    m_MediaSource = source;

    // The encoder: H.264 of the input's size and rate, quality-controlled, an IDR every 4 pictures.
    ComPtr<IMFMediaType> outputType = CreateVideoType(MFVideoFormat_H264);
    XEV_CHECK_HR(outputType->SetUINT32(MF_MT_AVG_BITRATE, 10'000'000));
    UINT32 first = 0, second = 0;
    XEV_CHECK_HR(MFGetAttributeRatio(inputType.Get(), MF_MT_FRAME_RATE, &first, &second));
    XEV_CHECK_HR(MFSetAttributeRatio(outputType.Get(), MF_MT_FRAME_RATE, first, second));
    XEV_CHECK_HR(MFGetAttributeSize(inputType.Get(), MF_MT_FRAME_SIZE, &first, &second));
    XEV_CHECK_HR(MFSetAttributeSize(outputType.Get(), MF_MT_FRAME_SIZE, first, second));
    XEV_CHECK_HR(outputType->SetUINT32(MF_MT_INTERLACE_MODE, ProgressiveInterlaceMode));
    XEV_CHECK_HR(outputType->SetUINT32(MF_NALU_LENGTH_SET, 1));

    ComPtr<XevEncodeTransform> transform = Make<XevEncodeTransform>();
    ComPtr<IMFAttributes> transformAttributes;
    if (SUCCEEDED(transform->GetAttributes(transformAttributes.GetAddressOf()))
        && MFGetAttributeUINT32(transformAttributes.Get(), MF_TRANSFORM_ASYNC, 0) != 0)
        XEV_CHECK_HR(transformAttributes->SetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, 1));
    (void)transform->ProcessMessage(MFT_MESSAGE_SET_D3D_MANAGER, reinterpret_cast<ULONG_PTR>(deviceManager));
    ComPtr<ICodecAPI> codec;
    XEV_CHECK_HR(transform.As(&codec));
    SetCodecValue(codec.Get(), CODECAPI_AVEncCommonRateControlMode, VT_UI4, 3); // quality
    SetCodecValue(codec.Get(), CODECAPI_AVEncCommonQuality, VT_UI4, 70);
    SetCodecValue(codec.Get(), CODECAPI_AVEncMPVGOPSize, VT_UI4, 4);
    SetCodecValue(codec.Get(), CODECAPI_AVEncMPVDefaultBPictureCount, VT_UI4, 0);
    SetCodecValue(codec.Get(), CODECAPI_AVLowLatencyMode, VT_BOOL, 1);
    XEV_CHECK_HR(transform->SetOutputType(0, outputType.Get(), 0));
    XEV_CHECK_HR(transform->SetInputType(0, inputType.Get(), 0));

    ComPtr<IMFTransform> nodeTransform(static_cast<IMFTransform*>(transform.Get()));
    if (const TransformInterposer& interposer = Interposer())
        nodeTransform = interposer(m_Index, nodeTransform.Get());
    ComPtr<IMFTopologyNode> transformNode = AddNode(m_Topology.Get(), MF_TOPOLOGY_TRANSFORM_NODE, nodeTransform.Get());
    m_Transform = transform;
    XEV_CHECK_HR(sourceNode->ConnectOutput(0, transformNode.Get(), 0));

    // The sink, counting what reaches it.
    m_Task = task;
    m_FrameInterval = task.RateN ? static_cast<MFTIME>(10'000'000ull * task.RateD / task.RateN) : 0;
    ComPtr<NullMediaSink> sink = Make<NullMediaSink>();
    sink->GetStream()->SetSampleCallback([this](IMFSample* sample) { OnSample(sample); });
    ComPtr<IMFTopologyNode> outputNode =
        AddNode(m_Topology.Get(), MF_TOPOLOGY_OUTPUT_NODE, static_cast<IMFStreamSink*>(sink->GetStream()));
    m_MediaSink = sink;
    XEV_CHECK_HR(transformNode->ConnectOutput(0, outputNode.Get(), 0));
}

void TaskPipeline::SetStreamCollector()
{
    XEV_CHECK(m_MediaSink, MF_E_NOT_INITIALIZED);
    m_Collect = true;
}

void TaskPipeline::OnSample(IMFSample* sample)
{
    m_Counters.Record(sample, MFGetSystemTime(), m_FrameInterval);
    if (!m_Collect.load(std::memory_order_relaxed))
        return;
    ComPtr<IMFMediaBuffer> buffer;
    XEV_CHECK_HR(sample->ConvertToContiguousBuffer(buffer.GetAddressOf()));
    MF::MediaBufferLock lock(buffer.Get());
    m_Data.insert(m_Data.end(), lock.Data(), lock.Data() + lock.DataSize());
}

void TaskPipeline::Start(Handler readyHandler, Handler completionHandler)
{
    std::lock_guard lock(m_Lock);
    m_ReadyHandler = std::move(readyHandler);
    m_CompletionHandler = std::move(completionHandler);
    m_AsyncCallback = Make<MF::AsyncCallback>();
    // The callback holds the pipeline only while an event is being handled: the session holds the
    // callback until its last event request is answered.
    m_AsyncCallback->SetFunction([this](MF::AsyncCallback*, IMFAsyncResult* result) {
        const ComPtr<TaskPipeline> self(this);
        AsyncCallbackInvoke(result);
    });
    XEV_CHECK_HR(MFCreateMediaSession(nullptr, m_MediaSession.GetAddressOf()));
    XEV_CHECK_HR(m_MediaSession->SetTopology(0, m_Topology.Get()));
    XEV_CHECK_HR(m_MediaSession->BeginGetEvent(m_AsyncCallback.Get(), AsUnknown()));
}

void TaskPipeline::StartSession()
{
    ComPtr<IMFMediaSession> session;
    {
        std::lock_guard lock(m_Lock);
        session = m_MediaSession;
    }
    XEV_CHECK(session, MF_E_SHUTDOWN);
    XEV_CHECK_HR(session->Start(&GUID_NULL, &m_StartPosition));
}

void TaskPipeline::AsyncCallbackInvoke(IMFAsyncResult* result)
{
    std::unique_lock lock(m_Lock);
    if (m_Stopped)
        return;
    bool complete = false, requestNext = true;
    try
    {
        ComPtr<IMFMediaEvent> event;
        XEV_CHECK_HR(m_MediaSession->EndGetEvent(result, event.GetAddressOf()));
        XEV_TRACE("this 0x%p, MediaEvent %s\n", static_cast<void*>(this), MF::DescribeMediaEvent(event.Get()).c_str());
        MediaEventType type = MEUnknown;
        HRESULT status = S_OK;
        XEV_CHECK_HR(event->GetType(&type));
        XEV_CHECK_HR(event->GetStatus(&status));
        switch (type)
        {
        case MEError:
            if (!m_Result)
                m_Result = status;
            complete = true;
            break;
        case MESessionTopologySet:
        {
            MF::PropVariantT<> value;
            XEV_CHECK_HR(event->GetValue(&value));
            ComPtr<IMFTopology> topology;
            if (value.vt == VT_UNKNOWN && value.punkVal
                && SUCCEEDED(QueryTo(value.punkVal, topology.GetAddressOf())))
                MF::TraceAttributes(topology.Get(), MF::TopologyAttributeName);
            XEV_CHECK_HR(status);
            break;
        }
        case MESessionStarted:
            if (FAILED(status))
            {
                XEV_TRACE("Session start failed, %s, 0x%08X\n", MF::DescribeMediaEvent(event.Get()).c_str(), static_cast<unsigned>(status));
                m_Result = status;
                complete = true;
            }
            break;
        case MESessionStopped:
            XEV_CHECK_HR(m_MediaSession->Close());
            break;
        case MESessionClosed:
            complete = true;
            requestNext = false;
            break;
        case MESessionEnded:
            XEV_CHECK_HR(m_MediaSession->Stop());
            break;
        case MESessionTopologyStatus:
        {
            const UINT32 topologyStatus = MFGetAttributeUINT32(event.Get(), MF_EVENT_TOPOLOGY_STATUS, MF_TOPOSTATUS_INVALID);
            XEV_TRACE("this 0x%p, TopoStatus %s\n", static_cast<void*>(this), MF::TopologyStatusName(topologyStatus).c_str());
            // With m_Lock held: the ready handler only counts and signals.
            if (topologyStatus == MF_TOPOSTATUS_READY && m_ReadyHandler)
                m_ReadyHandler(this);
            break;
        }
        default:
            break;
        }
        if (requestNext)
            XEV_CHECK_HR(m_MediaSession->BeginGetEvent(m_AsyncCallback.Get(), AsUnknown()));
    }
    catch (...)
    {
        // A pipeline whose event handling fails hears nothing more from its session: it reports
        // completion with the failure rather than leaving the run loop waiting.
        const HRESULT hr = Error::CurrentExceptionResult();
        XEV_TRACE("this 0x%p, event handling failed with 0x%08X\n", static_cast<void*>(this), static_cast<unsigned>(hr));
        if (!m_Result)
            m_Result = hr;
        complete = true;
    }
    Handler completion = complete ? m_CompletionHandler : Handler();
    lock.unlock();
    if (completion)
        completion(this);
}

void TaskPipeline::Stop()
{
    ComPtr<IMFMediaSession> session;
    ComPtr<IMFTopology> topology;
    ComPtr<VideoMediaSource> source;
    ComPtr<XevEncodeTransform> transform;
    ComPtr<NullMediaSink> sink;
    Handler readyHandler, completionHandler; // they may hold what holds this pipeline
    if (m_AsyncCallback)
        m_AsyncCallback->SetFunction({});
    {
        std::lock_guard lock(m_Lock);
        m_Stopped = true;
        readyHandler = std::move(m_ReadyHandler);
        completionHandler = std::move(m_CompletionHandler);
        session = std::move(m_MediaSession);
        topology = std::move(m_Topology);
        source = std::move(m_MediaSource);
        transform = std::move(m_Transform);
        sink = std::move(m_MediaSink);
    }
    // The session does not shut the source down: its owner does.
    if (session)
        XEV_CHECK_HR(session->Shutdown());
    if (source)
        XEV_CHECK_HR(source->Shutdown());
}

std::optional<HRESULT> TaskPipeline::Result() const
{
    std::lock_guard lock(m_Lock);
    return m_Result;
}
} // namespace Application
