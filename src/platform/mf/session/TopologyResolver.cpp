// The topology resolver of the media session (see TopologyResolver.h).

#include "platform/mf/session/TopologyResolver.h"

#include "platform/com/Error.h"

namespace MFPlatform
{
ResolvedTopology ResolveTopology(IMFTopology* topology)
{
    ResolvedTopology resolved;
    WORD count = 0;
    XEV_CHECK_HR(topology->GetNodeCount(&count));
    ComPtr<IMFTopologyNode> sourceNode, transformNode, outputNode;
    for (WORD i = 0; i < count; ++i)
    {
        ComPtr<IMFTopologyNode> node;
        XEV_CHECK_HR(topology->GetNode(i, node.GetAddressOf()));
        MF_TOPOLOGY_TYPE type;
        XEV_CHECK_HR(node->GetNodeType(&type));
        ComPtr<IMFTopologyNode>* slot = type == MF_TOPOLOGY_SOURCESTREAM_NODE ? &sourceNode
                                        : type == MF_TOPOLOGY_TRANSFORM_NODE  ? &transformNode
                                        : type == MF_TOPOLOGY_OUTPUT_NODE     ? &outputNode
                                                                              : nullptr;
        XEV_CHECK(slot && !*slot, MF_E_TOPO_UNSUPPORTED); // a tee, or a second node of a kind
        *slot = node;
    }
    XEV_CHECK(sourceNode, MF_E_TOPO_MISSING_SOURCE);
    XEV_CHECK(transformNode && outputNode, MF_E_TOPO_UNSUPPORTED);

    // Source stream node.
    ComPtr<IMFMediaSource> source;
    ComPtr<IMFPresentationDescriptor> presentationDescriptor;
    ComPtr<IMFStreamDescriptor> streamDescriptor;
    XEV_CHECK(SUCCEEDED(sourceNode->GetUnknown(MF_TOPONODE_SOURCE, IidOf<IMFMediaSource>, reinterpret_cast<void**>(source.GetAddressOf()))),
              MF_E_TOPO_MISSING_SOURCE);
    XEV_CHECK(SUCCEEDED(sourceNode->GetUnknown(MF_TOPONODE_PRESENTATION_DESCRIPTOR, IidOf<IMFPresentationDescriptor>,
                                               reinterpret_cast<void**>(presentationDescriptor.GetAddressOf()))),
              MF_E_TOPO_MISSING_PRESENTATION_DESCRIPTOR);
    XEV_CHECK(SUCCEEDED(sourceNode->GetUnknown(MF_TOPONODE_STREAM_DESCRIPTOR, IidOf<IMFStreamDescriptor>,
                                               reinterpret_cast<void**>(streamDescriptor.GetAddressOf()))),
              MF_E_TOPO_MISSING_STREAM_DESCRIPTOR);
    XEV_CHECK_HR(streamDescriptor->GetStreamIdentifier(&resolved.StreamIdentifier));
    {
        DWORD streams = 0;
        XEV_CHECK_HR(presentationDescriptor->GetStreamDescriptorCount(&streams));
        bool found = false;
        for (DWORD i = 0; i < streams && !found; ++i)
        {
            BOOL selected = 0;
            ComPtr<IMFStreamDescriptor> candidate;
            XEV_CHECK_HR(presentationDescriptor->GetStreamDescriptorByIndex(i, &selected, candidate.GetAddressOf()));
            DWORD identifier = 0;
            XEV_CHECK_HR(candidate->GetStreamIdentifier(&identifier));
            if (identifier == resolved.StreamIdentifier)
            {
                XEV_CHECK(selected, MF_E_TOPO_STREAM_DESCRIPTOR_NOT_SELECTED);
                found = true;
            }
        }
        XEV_CHECK(found, MF_E_TOPO_MISSING_STREAM_DESCRIPTOR);
    }

    // Connections: source stream -> transform -> output.
    auto downstreamOf = [](IMFTopologyNode* node) {
        ComPtr<IMFTopologyNode> downstream;
        DWORD input = 0;
        XEV_CHECK(SUCCEEDED(node->GetOutput(0, downstream.GetAddressOf(), &input)) && input == 0, MF_E_TOPO_UNSUPPORTED);
        return downstream;
    };
    XEV_CHECK(downstreamOf(sourceNode.Get()) == transformNode, MF_E_TOPO_UNSUPPORTED);
    XEV_CHECK(downstreamOf(transformNode.Get()) == outputNode, MF_E_TOPO_UNSUPPORTED);

    // Transform node: an asynchronous transform that reports through events.
    ComPtr<IMFTransform> transform;
    {
        ComPtr<IUnknown> object;
        XEV_CHECK(SUCCEEDED(transformNode->GetObject(object.GetAddressOf())), MF_E_TOPO_UNSUPPORTED);
        XEV_CHECK(SUCCEEDED(object.As(&transform)), MF_E_TOPO_UNSUPPORTED);
        ComPtr<IMFAttributes> attributes;
        XEV_CHECK(SUCCEEDED(transform->GetAttributes(attributes.GetAddressOf())) && attributes, MF_E_TOPO_UNSUPPORTED);
        XEV_CHECK(MFGetAttributeUINT32(attributes.Get(), MF_TRANSFORM_ASYNC, 0) != 0, MF_E_TOPO_UNSUPPORTED);
        XEV_CHECK(transform.TryAs<IMFMediaEventGenerator>(), MF_E_TOPO_UNSUPPORTED);
    }

    // Output node: a stream sink of a media sink.
    ComPtr<IMFStreamSink> streamSink;
    ComPtr<IMFMediaSink> sink;
    {
        ComPtr<IUnknown> object;
        XEV_CHECK(SUCCEEDED(outputNode->GetObject(object.GetAddressOf())), MF_E_TOPO_UNSUPPORTED);
        XEV_CHECK(SUCCEEDED(object.As(&streamSink)), MF_E_TOPO_UNSUPPORTED);
        XEV_CHECK_HR(streamSink->GetMediaSink(sink.GetAddressOf()));
    }

    // Media types: the stream's current type into the transform (unless it has one), the
    // transform's output type (its first offered one unless it has one) into the stream sink.
    ComPtr<IMFMediaTypeHandler> streamTypes;
    XEV_CHECK_HR(streamDescriptor->GetMediaTypeHandler(streamTypes.GetAddressOf()));
    ComPtr<IMFMediaType> streamType;
    if (FAILED(streamTypes->GetCurrentMediaType(streamType.GetAddressOf())))
    {
        XEV_CHECK_HR(streamTypes->GetMediaTypeByIndex(0, streamType.ReleaseAndGetAddressOf()));
        XEV_CHECK_HR(streamTypes->SetCurrentMediaType(streamType.Get()));
    }
    ComPtr<IMFMediaType> type;
    HRESULT hr = transform->GetInputCurrentType(0, type.GetAddressOf());
    if (hr == MF_E_TRANSFORM_TYPE_NOT_SET)
        XEV_CHECK_HR(transform->SetInputType(0, streamType.Get(), 0));
    else
        XEV_CHECK_HR(hr);
    hr = transform->GetOutputCurrentType(0, type.ReleaseAndGetAddressOf());
    if (hr == MF_E_TRANSFORM_TYPE_NOT_SET)
    {
        XEV_CHECK_HR(transform->GetOutputAvailableType(0, 0, type.ReleaseAndGetAddressOf()));
        XEV_CHECK_HR(transform->SetOutputType(0, type.Get(), 0));
    }
    else
    {
        XEV_CHECK_HR(hr);
    }
    ComPtr<IMFMediaTypeHandler> sinkTypes;
    XEV_CHECK_HR(streamSink->GetMediaTypeHandler(sinkTypes.GetAddressOf()));
    XEV_CHECK_HR(sinkTypes->IsMediaTypeSupported(type.Get(), nullptr));
    XEV_CHECK_HR(sinkTypes->SetCurrentMediaType(type.Get()));

    resolved.Source = source;
    resolved.PresentationDescriptor = presentationDescriptor;
    resolved.Transform = transform;
    resolved.StreamSink = streamSink;
    resolved.SinkTypeHandler = sinkTypes;
    resolved.Sink = sink;
    resolved.FinalizableSink = sink.TryAs<IMFFinalizableMediaSink>();
    return resolved;
}
} // namespace MFPlatform
