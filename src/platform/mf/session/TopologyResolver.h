#pragma once
// Resolves the one shape of topology the media session plays: a source stream node, an
// asynchronous transform node and an output node (a stream sink), connected in that order.

#include "platform/mf/Api.h"

namespace MFPlatform
{
// The objects of a resolved topology, with the media types negotiated along it. Members are
// declared in the order in which the session lets go of them.
struct ResolvedTopology
{
    ComPtr<IMFTransform> Transform;
    ComPtr<IMFStreamSink> StreamSink;
    ComPtr<IMFMediaTypeHandler> SinkTypeHandler;
    ComPtr<IMFMediaSink> Sink;
    ComPtr<IMFFinalizableMediaSink> FinalizableSink; // null for a sink that does not finalize
    ComPtr<IMFPresentationDescriptor> PresentationDescriptor;
    ComPtr<IMFMediaSource> Source;
    DWORD StreamIdentifier = 0;
};

// Checks the topology (one node of each kind, with their objects and descriptors, the source's
// stream selected) and negotiates the media types: the stream's current type into the transform
// (unless it has one), the transform's output type (its first offered one unless it has one)
// into the stream sink. Throws the topology error (MF_E_TOPO_...) or the failure of a call.
ResolvedTopology ResolveTopology(IMFTopology* topology);
} // namespace MFPlatform
