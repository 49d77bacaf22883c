// Topologies and topology nodes: identity, objects, connections from both ends, and the links
// broken by Clear and by the topology's release.

#include "SessionTestSupport.h"

using namespace SessionTest;

namespace
{
ComPtr<IMFTopologyNode> Node(MF_TOPOLOGY_TYPE type)
{
    ComPtr<IMFTopologyNode> node;
    EXPECT_EQ(MFCreateTopologyNode(type, node.GetAddressOf()), S_OK);
    return node;
}

ComPtr<IMFTopology> Topology(std::initializer_list<IMFTopologyNode*> nodes = {})
{
    ComPtr<IMFTopology> topology;
    EXPECT_EQ(MFCreateTopology(topology.GetAddressOf()), S_OK);
    for (auto* node : nodes)
        EXPECT_EQ(topology->AddNode(node), S_OK);
    return topology;
}

MF_TOPOLOGY_TYPE TypeOf(IMFTopologyNode* node)
{
    MF_TOPOLOGY_TYPE type = MF_TOPOLOGY_MAX;
    EXPECT_EQ(node->GetNodeType(&type), S_OK);
    return type;
}

TOPOID IdOf(IMFTopologyNode* node)
{
    TOPOID id = 0;
    EXPECT_EQ(node->GetTopoNodeID(&id), S_OK);
    return id;
}

WORD RefCount(IMFTopology* topology)
{
    WORD count = 9;
    EXPECT_EQ(topology->GetNodeCount(&count), S_OK);
    return count;
}

// The node connected at `index` of `node`'s inputs, or null.
ComPtr<IMFTopologyNode> InputOf(IMFTopologyNode* node, DWORD index, DWORD* upstreamOutput = nullptr)
{
    ComPtr<IMFTopologyNode> upstream;
    DWORD output = 0;
    if (FAILED(node->GetInput(index, upstream.GetAddressOf(), &output)))
        return nullptr;
    if (upstreamOutput)
        *upstreamOutput = output;
    return upstream;
}
} // namespace

TEST(TopologyNode, TypeIdentifierAndObject)
{
    EXPECT_EQ(MFCreateTopologyNode(MF_TOPOLOGY_OUTPUT_NODE, nullptr), E_POINTER);
    ComPtr<IMFTopologyNode> node;
    EXPECT_EQ(MFCreateTopologyNode(static_cast<MF_TOPOLOGY_TYPE>(7), node.GetAddressOf()), E_INVALIDARG);

    auto a = Node(MF_TOPOLOGY_TRANSFORM_NODE);
    EXPECT_EQ(TypeOf(a.Get()), MF_TOPOLOGY_TRANSFORM_NODE);
    EXPECT_NE(IdOf(a.Get()), IdOf(Node(MF_TOPOLOGY_TRANSFORM_NODE).Get()));

    ComPtr<IUnknown> object;
    EXPECT_EQ(a->GetObject(object.GetAddressOf()), E_FAIL);
    auto held = VideoType(MFVideoFormat_NV12);
    const ULONG before = RefCount(held.Get());
    EXPECT_EQ(a->SetObject(held.Get()), S_OK);
    EXPECT_EQ(RefCount(held.Get()), before + 1);
    EXPECT_EQ(a->GetObject(object.GetAddressOf()), S_OK);
    EXPECT_EQ(object.Get(), static_cast<IUnknown*>(held.Get()));
    object = nullptr;
    EXPECT_EQ(a->SetObject(nullptr), S_OK);
    EXPECT_EQ(RefCount(held.Get()), before);

    ComPtr<IMFMediaType> preferred;
    EXPECT_EQ(a->GetOutputPrefType(0, preferred.GetAddressOf()), E_FAIL);
    EXPECT_EQ(a->SetOutputPrefType(0, held.Get()), S_OK);
    EXPECT_EQ(a->GetOutputPrefType(0, preferred.GetAddressOf()), S_OK);
    EXPECT_EQ(preferred.Get(), held.Get());
    EXPECT_EQ(a->SetInputPrefType(100000, held.Get()), E_INVALIDARG);
}

TEST(TopologyNode, ConnectionsAreSeenFromBothEnds)
{
    auto source = Node(MF_TOPOLOGY_SOURCESTREAM_NODE), transform = Node(MF_TOPOLOGY_TRANSFORM_NODE), output = Node(MF_TOPOLOGY_OUTPUT_NODE);
    ASSERT_EQ(source->ConnectOutput(0, transform.Get(), 1), S_OK);
    ASSERT_EQ(transform->ConnectOutput(2, output.Get(), 0), S_OK);

    ComPtr<IMFTopologyNode> downstream;
    DWORD index = 9, inputs = 0, outputs = 0;
    EXPECT_EQ(source->GetOutput(0, downstream.GetAddressOf(), &index), S_OK);
    EXPECT_EQ(downstream.Get(), transform.Get());
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(InputOf(transform.Get(), 1, &index).Get(), source.Get());
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(transform->GetInputCount(&inputs), S_OK);
    EXPECT_EQ(transform->GetOutputCount(&outputs), S_OK);
    EXPECT_EQ(inputs, 2u);
    EXPECT_EQ(outputs, 3u);
    EXPECT_EQ(transform->GetInput(0, downstream.ReleaseAndGetAddressOf(), &index), MF_E_NOT_FOUND); // a gap
    EXPECT_EQ(transform->GetInput(5, downstream.ReleaseAndGetAddressOf(), &index), E_INVALIDARG);

    // Wrong directions and arguments.
    for (auto [hr, expected] : { std::pair { output->ConnectOutput(0, transform.Get(), 0), E_FAIL },
                                 { transform->ConnectOutput(0, source.Get(), 0), E_FAIL },
                                 { transform->ConnectOutput(0, transform.Get(), 0), E_INVALIDARG },
                                 { transform->ConnectOutput(0, nullptr, 0), E_POINTER },
                                 { transform->ConnectOutput(1u << 30, output.Get(), 0), E_INVALIDARG } })
        EXPECT_EQ(hr, expected);

    // Reconnecting an output, or an input, replaces the earlier link at both ends.
    auto other = Node(MF_TOPOLOGY_OUTPUT_NODE), second = Node(MF_TOPOLOGY_SOURCESTREAM_NODE);
    ASSERT_EQ(transform->ConnectOutput(2, other.Get(), 0), S_OK);
    EXPECT_FALSE(InputOf(output.Get(), 0));
    EXPECT_EQ(InputOf(other.Get(), 0).Get(), transform.Get());
    ASSERT_EQ(second->ConnectOutput(0, transform.Get(), 1), S_OK);
    EXPECT_EQ(source->GetOutput(0, downstream.ReleaseAndGetAddressOf(), &index), MF_E_NOT_FOUND);

    EXPECT_EQ(transform->DisconnectOutput(2), S_OK);
    EXPECT_FALSE(InputOf(other.Get(), 0));
    EXPECT_EQ(transform->DisconnectOutput(2), MF_E_NOT_FOUND);
    EXPECT_EQ(second->DisconnectOutput(0), S_OK);
}

TEST(Topology, NodesIdentifiersAndCollections)
{
    auto source = Node(MF_TOPOLOGY_SOURCESTREAM_NODE), output = Node(MF_TOPOLOGY_OUTPUT_NODE), twin = Node(MF_TOPOLOGY_TRANSFORM_NODE);
    auto topology = Topology({ source.Get(), output.Get() });
    EXPECT_EQ(topology->AddNode(source.Get()), E_INVALIDARG);
    EXPECT_EQ(topology->AddNode(nullptr), E_POINTER);
    const TOPOID sourceId = IdOf(source.Get());
    ASSERT_EQ(twin->SetTopoNodeID(sourceId), S_OK);
    EXPECT_EQ(topology->AddNode(twin.Get()), E_INVALIDARG); // the identifier is taken
    EXPECT_EQ(RefCount(topology.Get()), 2);

    ComPtr<IMFTopologyNode> node;
    EXPECT_EQ(topology->GetNode(1, node.GetAddressOf()), S_OK);
    EXPECT_EQ(node.Get(), output.Get());
    EXPECT_EQ(topology->GetNode(2, node.ReleaseAndGetAddressOf()), MF_E_INVALIDINDEX);
    EXPECT_EQ(topology->GetNodeByID(sourceId, node.ReleaseAndGetAddressOf()), S_OK);
    EXPECT_EQ(node.Get(), source.Get());
    EXPECT_EQ(topology->GetNodeByID(0xFFFFFFFFFFull, node.ReleaseAndGetAddressOf()), MF_E_NOT_FOUND);

    ComPtr<IMFCollection> sources;
    ComPtr<IUnknown> element;
    DWORD elements = 0;
    ASSERT_EQ(topology->GetSourceNodeCollection(sources.GetAddressOf()), S_OK);
    EXPECT_EQ(sources->GetElementCount(&elements), S_OK);
    EXPECT_EQ(elements, 1u);
    EXPECT_EQ(sources->GetElement(0, element.GetAddressOf()), S_OK);
    EXPECT_EQ(element.Get(), static_cast<IUnknown*>(source.Get()));

    TOPOID a = 0, b = 0;
    EXPECT_EQ(topology->GetTopologyID(&a), S_OK);
    EXPECT_EQ(Topology()->GetTopologyID(&b), S_OK);
    EXPECT_NE(a, b);

    EXPECT_EQ(topology->RemoveNode(source.Get()), S_OK);
    EXPECT_EQ(topology->RemoveNode(source.Get()), E_INVALIDARG);
    EXPECT_EQ(RefCount(topology.Get()), 1);
}

// Released, then cleared: both let go of the nodes and break their connection.
TEST(Topology, ReleaseAndClearBreakTheLinksThatKeepNodesAlive)
{
    auto source = Node(MF_TOPOLOGY_SOURCESTREAM_NODE), output = Node(MF_TOPOLOGY_OUTPUT_NODE);
    const ULONG sourceAlone = RefCount(source.Get());
    for (bool clear : { false, true })
    {
        SCOPED_TRACE(clear);
        {
            auto topology = Topology({ source.Get(), output.Get() });
            ASSERT_EQ(source->ConnectOutput(0, output.Get(), 0), S_OK);
            EXPECT_EQ(RefCount(source.Get()), sourceAlone + 2); // the topology and the output's input link
            if (clear)
            {
                EXPECT_EQ(topology->Clear(), S_OK);
                EXPECT_EQ(RefCount(topology.Get()), 0);
                EXPECT_EQ(RefCount(source.Get()), sourceAlone);
            }
        }
        EXPECT_EQ(RefCount(source.Get()), sourceAlone);
        EXPECT_FALSE(InputOf(output.Get(), 0));
    }
}

TEST(Topology, CloneFromCopiesNodesConnectionsAndAttributes)
{
    auto source = Node(MF_TOPOLOGY_SOURCESTREAM_NODE), transform = Node(MF_TOPOLOGY_TRANSFORM_NODE), output = Node(MF_TOPOLOGY_OUTPUT_NODE);
    auto object = VideoType(MFVideoFormat_NV12);
    ASSERT_EQ(transform->SetObject(object.Get()), S_OK);
    ASSERT_EQ(transform->SetUINT32(MF_TOPONODE_STREAMID, 4), S_OK);
    auto original = Topology({ source.Get(), transform.Get(), output.Get() });
    ASSERT_EQ(source->ConnectOutput(0, transform.Get(), 0), S_OK);
    ASSERT_EQ(transform->ConnectOutput(0, output.Get(), 0), S_OK);
    ASSERT_EQ(original->SetUINT32(MF_TOPOLOGY_RESOLUTION_STATUS, 1), S_OK);

    auto copy = Topology();
    ASSERT_EQ(copy->CloneFrom(original.Get()), S_OK);
    EXPECT_EQ(MFGetAttributeUINT32(copy.Get(), MF_TOPOLOGY_RESOLUTION_STATUS, 0), 1u);
    ComPtr<IMFTopologyNode> copied;
    ComPtr<IUnknown> copiedObject;
    ASSERT_EQ(copy->GetNodeByID(IdOf(transform.Get()), copied.GetAddressOf()), S_OK);
    EXPECT_NE(copied.Get(), transform.Get());
    EXPECT_EQ(MFGetAttributeUINT32(copied.Get(), MF_TOPONODE_STREAMID, 0), 4u);
    ASSERT_EQ(copied->GetObject(copiedObject.GetAddressOf()), S_OK);
    EXPECT_EQ(copiedObject.Get(), static_cast<IUnknown*>(object.Get()));
    auto upstream = InputOf(copied.Get(), 0);
    ASSERT_TRUE(upstream);
    EXPECT_NE(upstream.Get(), source.Get()); // the copy's own source node
    EXPECT_EQ(TypeOf(upstream.Get()), MF_TOPOLOGY_SOURCESTREAM_NODE);
    EXPECT_EQ(InputOf(transform.Get(), 0).Get(), source.Get()); // the original's connections are untouched
    EXPECT_EQ(copy->CloneFrom(copy.Get()), E_INVALIDARG);
}
