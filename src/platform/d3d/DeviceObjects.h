#pragma once
// The CPU device's objects, shared by its files: the device (Device.cpp), its immediate context and
// the copy engine that runs the context's copies on the device thread (CopyEngine.cpp), and the
// texture with its keyed mutex (DeviceTexture.h).

#include "platform/d3d/Adapters.h"
#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/mf/Ring.h"
#include "platform/system/Blocking.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace CpuDevice
{
using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>; // none: no time limit

inline Deadline DeadlineAfter(DWORD milliseconds)
{
    if (milliseconds == INFINITE)
        return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

constexpr UINT MaximumTextureDimension = 16384;
constexpr UINT MaximumArraySize = 2048;
constexpr std::size_t RowAlignment = 64; // row pitch and memory alignment

class Device;
class Texture;

// A copy as the context checked it: whole rows of bytes, both planes of NV12.
struct CopyRegion
{
    UINT DestinationSubresource = 0;
    UINT SourceSubresource = 0;
    UINT DestinationX = 0, DestinationY = 0;
    D3D11_BOX Box {};
};

// The device thread: runs copies and completion signals one at a time, in the order they were
// issued. Every command gets a fence number; WaitFor(fence) returns once that command has run.
// Lives while its device or its thread needs it (the thread holds a reference, so that a device
// released by the thread itself can let it finish on its own).
class CopyEngine
{
public:
    static std::shared_ptr<CopyEngine> Start()
    {
        auto engine = std::make_shared<CopyEngine>();
        engine->m_Thread = std::thread([self = engine] { self->Run(); });
        engine->m_ThreadId = engine->m_Thread.get_id();
        return engine;
    }

    uint64_t SubmitCopy(ComPtr<Texture> destination, ComPtr<Texture> source, const CopyRegion& region);
    // Sets `event` once every command issued so far has run.
    void SubmitSignal(Sync::Event* event) noexcept;
    // False when the deadline passed first. On the device thread itself (a registered wait's
    // callback that calls back into the device) it does not wait: that would never end.
    bool WaitFor(uint64_t fence, const Deadline& deadline);
    // Runs what is queued, then ends the thread. Called once, by the device's destructor.
    void Stop();

private:
    struct Command
    {
        ComPtr<Texture> Destination; // null for a signal
        ComPtr<Texture> Source;
        CopyRegion Region;
        Sync::Event* Event = nullptr;
    };

    void Run();
    static void Execute(const Command& command);

    std::mutex m_Lock; // guards the fields below
    std::condition_variable m_WorkAvailable;
    std::condition_variable m_CommandDone;
    MFPlatform::Ring<Command> m_Queue; // allocates no more once it has held the longest backlog
    uint64_t m_Issued = 0;   // fence of the last command queued
    uint64_t m_Executed = 0; // fence of the last command run
    bool m_Stopping = false;
    std::thread m_Thread;
    std::thread::id m_ThreadId; // set once by Start
};

class ImmediateContext final : public ID3D11DeviceContext3
{
public:
    explicit ImmediateContext(Device& device) : m_Device(device) {}

    // IUnknown: the context lives exactly as long as its device, so it counts on the device.
    HRESULT QueryInterface(REFIID riid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // ID3D11DeviceChild
    void GetDevice(ID3D11Device** device) override;

    // ID3D11DeviceContext
    void CopySubresourceRegion(ID3D11Resource* destination, UINT destinationSubresource, UINT dstX, UINT dstY, UINT dstZ,
                               ID3D11Resource* source, UINT sourceSubresource, const D3D11_BOX* sourceBox) override;
    void CopyResource(ID3D11Resource* destination, ID3D11Resource* source) override;
    void Flush() override {}

    // ID3D11DeviceContext3
    void Flush1(D3D11_CONTEXT_TYPE contextType, Sync::Event* event) override;

private:
    // Checks a copy the way the platform's debug layer does; the reason a copy is dropped, or null.
    const char* CheckCopy(Texture* destination, Texture* source, const CopyRegion& region, bool* empty) const;

    Device& m_Device; // non-owning: the context is a part of its device
};

class Device : public ComObject<ID3D11Device, ID3D10Multithread, IDXGIDevice>
{
public:
    Device(ComPtr<IDXGIAdapter> adapter, D3D_FEATURE_LEVEL featureLevel, UINT flags)
        : m_Adapter(std::move(adapter)), m_FeatureLevel(featureLevel), m_Flags(flags), m_Engine(CopyEngine::Start()), m_Context(*this)
    {
    }
    ~Device() override { m_Engine->Stop(); }

    CopyEngine& Engine() noexcept { return *m_Engine; }

    // Holds the multithread lock for a device call while protection is on.
    class ProtectScope
    {
    public:
        explicit ProtectScope(Device& device)
        {
            if (device.m_Protected.load(std::memory_order_acquire))
                m_Lock = std::unique_lock(device.m_ProtectLock);
        }

    private:
        std::unique_lock<std::recursive_mutex> m_Lock;
    };

    // ID3D11Device
    HRESULT CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initialData, ID3D11Texture2D** texture) override;
    D3D_FEATURE_LEVEL GetFeatureLevel() override { return m_FeatureLevel; }
    UINT GetCreationFlags() override { return m_Flags; }
    void GetImmediateContext(ID3D11DeviceContext** context) override
    {
        if (!context)
            return;
        m_Context.AddRef();
        *context = &m_Context;
    }

    // ID3D10Multithread
    void Enter() override { m_ProtectLock.lock(); }
    void Leave() override { m_ProtectLock.unlock(); }
    BOOL SetMultithreadProtected(BOOL protect) override { return m_Protected.exchange(protect != 0) ? 1 : 0; }
    BOOL GetMultithreadProtected() override { return m_Protected.load() ? 1 : 0; }

    // IDXGIObject
    HRESULT GetParent(REFIID riid, void** parent) override
    {
        if (!parent)
            return E_POINTER;
        return m_Adapter->QueryInterface(riid, parent);
    }
    // IDXGIDevice
    HRESULT GetAdapter(IDXGIAdapter** adapter) override
    {
        if (!adapter)
            return E_INVALIDARG;
        m_Adapter.CopyTo(adapter);
        return S_OK;
    }

private:
    const ComPtr<IDXGIAdapter> m_Adapter;
    const D3D_FEATURE_LEVEL m_FeatureLevel;
    const UINT m_Flags;
    const std::shared_ptr<CopyEngine> m_Engine;
    // Multithread protection. The platform's lock is a critical section, which Enter may take
    // again on the thread that holds it; the recursive mutex keeps that contract.
    std::recursive_mutex m_ProtectLock;
    std::atomic<bool> m_Protected { false };
    ImmediateContext m_Context;
};
} // namespace CpuDevice
