// Topologies and their nodes: which objects a session plays and how their streams connect.
//
// A node is an attribute store with a type (source stream, transform, output, tee), an object,
// a process-wide unique identifier, preferred media types per stream, and its connections.
// A connection is held from both ends (the upstream node's output holds the downstream node
// and that node's input holds the upstream one), so connected nodes keep each other alive:
// a topology breaks those links when it is cleared or destroyed, DisconnectOutput breaks one.
//
// Threads: any thread. Every connection of every node is guarded by one process-wide mutex
// (a connection changes two nodes at once); each node's other fields by the node's mutex, each
// topology's node list by the topology's mutex. References dropped while a mutex is held are
// released after it is let go.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/mf/AttributesImpl.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace MFPlatform
{
namespace
{
// More streams than any node of this platform has; keeps bad indices from growing tables.
constexpr DWORD MaximumStreamIndex = 1024;

std::atomic<TOPOID> g_NextIdentifier { 1 };

std::mutex& LinkLock()
{
    static std::mutex lock; // guards TopologyNode::m_Inputs and m_Outputs of every node
    return lock;
}

class TopologyNode final : public ComObject<AttributesImpl<IMFTopologyNode>>
{
public:
    struct Link
    {
        ComPtr<TopologyNode> Node;
        DWORD Index = 0; // the stream index on the other node
    };
    using Dropped = std::vector<ComPtr<TopologyNode>>; // released by the caller after unlocking

    explicit TopologyNode(MF_TOPOLOGY_TYPE type) : m_Type(type), m_Identifier(g_NextIdentifier.fetch_add(1)) {}

    // IMFTopologyNode
    HRESULT SetObject(IUnknown* object) override
    {
        ComPtr<IUnknown> replaced(object);
        {
            std::lock_guard lock(m_Lock);
            std::swap(m_Object, replaced);
        }
        return S_OK;
    }

    HRESULT GetObject(IUnknown** object) override
    {
        if (!object)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *object = nullptr;
        if (!m_Object)
            return E_FAIL;
        m_Object.CopyTo(object);
        return S_OK;
    }

    HRESULT GetNodeType(MF_TOPOLOGY_TYPE* type) override
    {
        if (!type)
            return E_POINTER;
        *type = m_Type;
        return S_OK;
    }

    HRESULT GetTopoNodeID(TOPOID* identifier) override
    {
        if (!identifier)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *identifier = m_Identifier;
        return S_OK;
    }

    HRESULT SetTopoNodeID(TOPOID identifier) override
    {
        std::lock_guard lock(m_Lock);
        m_Identifier = identifier;
        return S_OK;
    }

    HRESULT GetInputCount(DWORD* inputs) override
    {
        if (!inputs)
            return E_POINTER;
        std::lock_guard lock(LinkLock());
        *inputs = static_cast<DWORD>(m_Inputs.size());
        return S_OK;
    }

    HRESULT GetOutputCount(DWORD* outputs) override
    {
        if (!outputs)
            return E_POINTER;
        std::lock_guard lock(LinkLock());
        *outputs = static_cast<DWORD>(m_Outputs.size());
        return S_OK;
    }

    HRESULT ConnectOutput(DWORD outputIndex, IMFTopologyNode* downstreamNode, DWORD inputIndexOnDownstreamNode) override
    {
        if (!downstreamNode)
            return E_POINTER;
        auto* downstream = dynamic_cast<TopologyNode*>(downstreamNode);
        if (!downstream || downstream == this || outputIndex >= MaximumStreamIndex || inputIndexOnDownstreamNode >= MaximumStreamIndex)
            return E_INVALIDARG;
        if (m_Type == MF_TOPOLOGY_OUTPUT_NODE || downstream->m_Type == MF_TOPOLOGY_SOURCESTREAM_NODE)
            return E_FAIL; // an output node has no outputs, a source node no inputs
        Dropped dropped; // released after the lock is let go
        {
            std::lock_guard lock(LinkLock());
            DisconnectOutputLocked(outputIndex, dropped);
            downstream->DisconnectInputLocked(inputIndexOnDownstreamNode, dropped);
            if (m_Outputs.size() <= outputIndex)
                m_Outputs.resize(outputIndex + 1);
            if (downstream->m_Inputs.size() <= inputIndexOnDownstreamNode)
                downstream->m_Inputs.resize(inputIndexOnDownstreamNode + 1);
            m_Outputs[outputIndex] = { ComPtr<TopologyNode>(downstream), inputIndexOnDownstreamNode };
            downstream->m_Inputs[inputIndexOnDownstreamNode] = { ComPtr<TopologyNode>(this), outputIndex };
        }
        return S_OK;
    }

    HRESULT DisconnectOutput(DWORD outputIndex) override
    {
        Dropped dropped; // declared before the guard: released after the lock is let go
        std::lock_guard lock(LinkLock());
        if (outputIndex >= m_Outputs.size() || !m_Outputs[outputIndex].Node)
            return MF_E_NOT_FOUND;
        DisconnectOutputLocked(outputIndex, dropped);
        return S_OK;
    }

    HRESULT GetInput(DWORD inputIndex, IMFTopologyNode** upstreamNode, DWORD* outputIndexOnUpstreamNode) override
    {
        return GetLink(m_Inputs, inputIndex, upstreamNode, outputIndexOnUpstreamNode);
    }

    HRESULT GetOutput(DWORD outputIndex, IMFTopologyNode** downstreamNode, DWORD* inputIndexOnDownstreamNode) override
    {
        return GetLink(m_Outputs, outputIndex, downstreamNode, inputIndexOnDownstreamNode);
    }

    HRESULT SetOutputPrefType(DWORD outputIndex, IMFMediaType* type) override { return SetPreferred(m_OutputTypes, outputIndex, type); }
    HRESULT GetOutputPrefType(DWORD outputIndex, IMFMediaType** type) override { return GetPreferred(m_OutputTypes, outputIndex, type); }
    HRESULT SetInputPrefType(DWORD inputIndex, IMFMediaType* type) override { return SetPreferred(m_InputTypes, inputIndex, type); }
    HRESULT GetInputPrefType(DWORD inputIndex, IMFMediaType** type) override { return GetPreferred(m_InputTypes, inputIndex, type); }

    // Copies the object, identifier, attributes and preferred types of a node of the same type;
    // connections are not copied.
    HRESULT CloneFrom(IMFTopologyNode* node) override
    {
        return Error::Guard([&] {
            XEV_CHECK_POINTER(node);
            auto* source = dynamic_cast<TopologyNode*>(node);
            XEV_CHECK(source && source->m_Type == m_Type, E_INVALIDARG);
            if (source == this)
                return;
            ComPtr<IUnknown> object;
            TOPOID identifier;
            std::map<DWORD, ComPtr<IMFMediaType>> inputTypes, outputTypes;
            {
                std::lock_guard lock(source->m_Lock);
                object = source->m_Object;
                identifier = source->m_Identifier;
                inputTypes = source->m_InputTypes;
                outputTypes = source->m_OutputTypes;
            }
            XEV_CHECK_HR(Attributes().Assign(source->Attributes().Snapshot()));
            std::lock_guard lock(m_Lock);
            std::swap(m_Object, object);
            m_Identifier = identifier;
            std::swap(m_InputTypes, inputTypes);
            std::swap(m_OutputTypes, outputTypes);
        });
    }

    // Breaks every connection of this node, from both ends.
    void DisconnectAll()
    {
        Dropped dropped; // declared before the guard: released after the lock is let go
        std::lock_guard lock(LinkLock());
        for (DWORD i = 0; i < m_Outputs.size(); ++i)
            DisconnectOutputLocked(i, dropped);
        for (DWORD i = 0; i < m_Inputs.size(); ++i)
            DisconnectInputLocked(i, dropped);
    }

    MF_TOPOLOGY_TYPE Type() const noexcept { return m_Type; }

private:
    // Requires LinkLock().
    void DisconnectOutputLocked(DWORD index, Dropped& dropped)
    {
        if (index >= m_Outputs.size() || !m_Outputs[index].Node)
            return;
        Link link = std::move(m_Outputs[index]);
        m_Outputs[index] = {};
        auto& back = link.Node->m_Inputs[link.Index];
        dropped.push_back(std::move(back.Node));
        back = {};
        dropped.push_back(std::move(link.Node));
    }

    // Requires LinkLock().
    void DisconnectInputLocked(DWORD index, Dropped& dropped)
    {
        if (index >= m_Inputs.size() || !m_Inputs[index].Node)
            return;
        Link link = m_Inputs[index];
        link.Node->DisconnectOutputLocked(link.Index, dropped);
        dropped.push_back(std::move(link.Node));
    }

    static HRESULT GetLink(std::vector<Link>& links, DWORD index, IMFTopologyNode** node, DWORD* otherIndex)
    {
        if (!node || !otherIndex)
            return E_POINTER;
        *node = nullptr;
        ComPtr<TopologyNode> found;
        {
            std::lock_guard lock(LinkLock());
            if (index >= links.size())
                return E_INVALIDARG;
            if (!links[index].Node)
                return MF_E_NOT_FOUND;
            found = links[index].Node;
            *otherIndex = links[index].Index;
        }
        *node = found.Detach();
        return S_OK;
    }

    HRESULT SetPreferred(std::map<DWORD, ComPtr<IMFMediaType>>& types, DWORD index, IMFMediaType* type)
    {
        if (index >= MaximumStreamIndex)
            return E_INVALIDARG;
        ComPtr<IMFMediaType> replaced(type);
        {
            std::lock_guard lock(m_Lock);
            std::swap(types[index], replaced);
        }
        return S_OK;
    }

    HRESULT GetPreferred(std::map<DWORD, ComPtr<IMFMediaType>>& types, DWORD index, IMFMediaType** type)
    {
        if (!type)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *type = nullptr;
        auto found = types.find(index);
        if (found == types.end() || !found->second)
            return E_FAIL;
        found->second.CopyTo(type);
        return S_OK;
    }

    const MF_TOPOLOGY_TYPE m_Type;
    std::mutex m_Lock; // guards the fields below (not the links)
    ComPtr<IUnknown> m_Object;
    TOPOID m_Identifier;
    std::map<DWORD, ComPtr<IMFMediaType>> m_InputTypes;
    std::map<DWORD, ComPtr<IMFMediaType>> m_OutputTypes;
    // Guarded by LinkLock().
    std::vector<Link> m_Inputs;
    std::vector<Link> m_Outputs;
};

class Topology final : public ComObject<AttributesImpl<IMFTopology>>
{
public:
    Topology() : m_Identifier(g_NextIdentifier.fetch_add(1)) {}
    ~Topology() override
    {
        for (const auto& node : m_Nodes)
            node->DisconnectAll();
    }

    // IMFTopology
    HRESULT GetTopologyID(TOPOID* identifier) override
    {
        if (!identifier)
            return E_POINTER;
        *identifier = m_Identifier;
        return S_OK;
    }

    // A node is added once; another node with the same identifier is refused too.
    HRESULT AddNode(IMFTopologyNode* node) override
    {
        if (!node)
            return E_POINTER;
        auto* ours = dynamic_cast<TopologyNode*>(node);
        if (!ours)
            return E_INVALIDARG;
        TOPOID identifier = 0;
        (void)ours->GetTopoNodeID(&identifier);
        std::lock_guard lock(m_Lock);
        for (const auto& present : m_Nodes)
        {
            TOPOID presentIdentifier = 0;
            (void)present->GetTopoNodeID(&presentIdentifier);
            if (present.Get() == ours || presentIdentifier == identifier)
                return E_INVALIDARG;
        }
        m_Nodes.emplace_back(ours);
        return S_OK;
    }

    // Takes the node out of the list; its connections stay.
    HRESULT RemoveNode(IMFTopologyNode* node) override
    {
        if (!node)
            return E_POINTER;
        ComPtr<TopologyNode> removed;
        std::lock_guard lock(m_Lock);
        auto found = std::find_if(m_Nodes.begin(), m_Nodes.end(), [node](const auto& n) { return static_cast<IMFTopologyNode*>(n.Get()) == node; });
        if (found == m_Nodes.end())
            return E_INVALIDARG;
        removed = std::move(*found); // released after the lock (declared before the guard)
        m_Nodes.erase(found);
        return S_OK;
    }

    HRESULT GetNodeCount(WORD* nodes) override
    {
        if (!nodes)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *nodes = static_cast<WORD>(m_Nodes.size());
        return S_OK;
    }

    HRESULT GetNode(WORD index, IMFTopologyNode** node) override
    {
        if (!node)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *node = nullptr;
        if (index >= m_Nodes.size())
            return MF_E_INVALIDINDEX;
        *node = ComPtr<IMFTopologyNode>(m_Nodes[index].Get()).Detach();
        return S_OK;
    }

    // Removes every node after breaking its connections.
    HRESULT Clear() override
    {
        std::vector<ComPtr<TopologyNode>> nodes;
        {
            std::lock_guard lock(m_Lock);
            nodes.swap(m_Nodes);
        }
        for (const auto& node : nodes)
            node->DisconnectAll();
        return S_OK;
    }

    // Replaces this topology's nodes and attributes with copies of another's: new nodes with
    // the same identifiers, objects, attributes and preferred types, connected the same way.
    HRESULT CloneFrom(IMFTopology* topology) override
    {
        return Error::Guard([&] {
            XEV_CHECK_POINTER(topology);
            XEV_CHECK(topology != this, E_INVALIDARG);
            WORD count = 0;
            XEV_CHECK_HR(topology->GetNodeCount(&count));
            std::vector<ComPtr<IMFTopologyNode>> originals(count);
            std::vector<ComPtr<TopologyNode>> copies(count);
            for (WORD i = 0; i < count; ++i)
            {
                XEV_CHECK_HR(topology->GetNode(i, originals[i].GetAddressOf()));
                MF_TOPOLOGY_TYPE type;
                XEV_CHECK_HR(originals[i]->GetNodeType(&type));
                copies[i] = Make<TopologyNode>(type);
                XEV_CHECK_HR(copies[i]->CloneFrom(originals[i].Get()));
            }
            auto indexOf = [&](IMFTopologyNode* node) {
                for (WORD i = 0; i < count; ++i)
                    if (originals[i].Get() == node)
                        return static_cast<int>(i);
                return -1;
            };
            for (WORD i = 0; i < count; ++i)
            {
                DWORD outputs = 0;
                XEV_CHECK_HR(originals[i]->GetOutputCount(&outputs));
                for (DWORD output = 0; output < outputs; ++output)
                {
                    ComPtr<IMFTopologyNode> downstream;
                    DWORD input = 0;
                    if (FAILED(originals[i]->GetOutput(output, downstream.GetAddressOf(), &input)))
                        continue; // an unconnected slot
                    const int target = indexOf(downstream.Get());
                    if (target >= 0)
                        XEV_CHECK_HR(copies[i]->ConnectOutput(output, copies[target].Get(), input));
                }
            }
            AttributeSnapshot attributes;
            XEV_CHECK_HR(SnapshotAttributes(topology, &attributes));
            XEV_CHECK_HR(Attributes().Assign(attributes));
            XEV_CHECK_HR(Clear());
            std::lock_guard lock(m_Lock);
            m_Nodes = std::move(copies);
        });
    }

    HRESULT GetNodeByID(TOPOID identifier, IMFTopologyNode** node) override
    {
        if (!node)
            return E_POINTER;
        *node = nullptr;
        for (const auto& candidate : Nodes())
        {
            TOPOID candidateIdentifier = 0;
            if (SUCCEEDED(candidate->GetTopoNodeID(&candidateIdentifier)) && candidateIdentifier == identifier)
            {
                *node = ComPtr<IMFTopologyNode>(candidate.Get()).Detach();
                return S_OK;
            }
        }
        return MF_E_NOT_FOUND;
    }

    HRESULT GetSourceNodeCollection(IMFCollection** collection) override { return Collect(MF_TOPOLOGY_SOURCESTREAM_NODE, collection); }
    HRESULT GetOutputNodeCollection(IMFCollection** collection) override { return Collect(MF_TOPOLOGY_OUTPUT_NODE, collection); }

private:
    std::vector<ComPtr<TopologyNode>> Nodes()
    {
        std::lock_guard lock(m_Lock);
        return m_Nodes;
    }

    HRESULT Collect(MF_TOPOLOGY_TYPE type, IMFCollection** collection)
    {
        return Error::Guard([&] {
            XEV_CHECK_POINTER(collection);
            *collection = nullptr;
            ComPtr<IMFCollection> result;
            XEV_CHECK_HR(MFCreateCollection(result.GetAddressOf()));
            for (const auto& node : Nodes())
                if (node->Type() == type)
                    XEV_CHECK_HR(result->AddElement(static_cast<IMFTopologyNode*>(node.Get())));
            *collection = result.Detach();
        });
    }

    const TOPOID m_Identifier;
    std::mutex m_Lock;                         // guards m_Nodes
    std::vector<ComPtr<TopologyNode>> m_Nodes; // in the order added
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreateTopology(IMFTopology** topology)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(topology);
        *topology = Make<MFPlatform::Topology>().Detach();
    });
}

HRESULT MFCreateTopologyNode(MF_TOPOLOGY_TYPE type, IMFTopologyNode** node)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(node);
        *node = nullptr;
        XEV_CHECK(type <= MF_TOPOLOGY_TEE_NODE, E_INVALIDARG);
        *node = Make<MFPlatform::TopologyNode>(type).Detach();
    });
}
