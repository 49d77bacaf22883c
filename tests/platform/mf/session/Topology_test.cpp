// Topologies and topology nodes: connections from both ends, identifiers, and the links broken by
// Clear and by the topology's release.

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

TOPOID IdOf(IMFTopologyNode* node)
{
    TOPOID id = 0;
    EXPECT_EQ(node->GetTopoNodeID(&id), S_OK);
    return id;
}

// The node connected at `index` of `node`'s inputs, or null.
ComPtr<IMFTopologyNode> InputOf(IMFTopologyNode* node, DWORD index)
{
    ComPtr<IMFTopologyNode> upstream;
    DWORD output = 0;
    return SUCCEEDED(node->GetInput(index, upstream.GetAddressOf(), &output)) ? upstream : nullptr;
}
} // namespace

TEST(TopologyNode, ConnectionsAreSeenFromBothEnds)
{
    auto source = Node(MF_TOPOLOGY_SOURCESTREAM_NODE), transform = Node(MF_TOPOLOGY_TRANSFORM_NODE), output = Node(MF_TOPOLOGY_OUTPUT_NODE);
    ASSERT_EQ(source->ConnectOutput(0, transform.Get(), 1), S_OK);
    ASSERT_EQ(transform->ConnectOutput(2, output.Get(), 0), S_OK);
    ComPtr<IMFTopologyNode> downstream;
    DWORD index = 9;
    EXPECT_EQ(source->GetOutput(0, downstream.GetAddressOf(), &index), S_OK);
    EXPECT_EQ(downstream.Get(), transform.Get());
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(InputOf(transform.Get(), 1).Get(), source.Get());
    EXPECT_FALSE(InputOf(transform.Get(), 0)); // a gap

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
    EXPECT_EQ(second->DisconnectOutput(0), S_OK); // bare nodes linked keep each other alive
}

// A node is added once and its identifier names one node.
TEST(Topology, NodesAndIdentifiers)
{
    auto source = Node(MF_TOPOLOGY_SOURCESTREAM_NODE), transform = Node(MF_TOPOLOGY_TRANSFORM_NODE), output = Node(MF_TOPOLOGY_OUTPUT_NODE);
    auto original = Topology({ source.Get(), transform.Get(), output.Get() });
    auto twin = Node(MF_TOPOLOGY_TRANSFORM_NODE);
    EXPECT_NE(IdOf(twin.Get()), IdOf(transform.Get()));
    EXPECT_EQ(original->AddNode(source.Get()), E_INVALIDARG);
    ASSERT_EQ(twin->SetTopoNodeID(IdOf(source.Get())), S_OK);
    EXPECT_EQ(original->AddNode(twin.Get()), E_INVALIDARG); // the identifier is taken
    ComPtr<IMFTopologyNode> node;
    EXPECT_EQ(original->GetNodeByID(IdOf(output.Get()), node.GetAddressOf()), S_OK);
    EXPECT_EQ(node.Get(), output.Get());

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
                EXPECT_EQ(RefCount(source.Get()), sourceAlone);
            }
        }
        EXPECT_EQ(RefCount(source.Get()), sourceAlone);
        EXPECT_FALSE(InputOf(output.Get(), 0));
    }
}
