// The CPU device: textures in host memory, keyed mutexes, and an immediate context whose copies
// run in issue order on one device thread.

#include "platform/d3d/Adapters.h"
#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/com/Trace.h"
#include "platform/system/Blocking.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace
{
using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>; // none: no time limit

Deadline DeadlineAfter(DWORD milliseconds)
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
    std::deque<Command> m_Queue;
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

struct FreeMemory
{
    void operator()(BYTE* memory) const noexcept { std::free(memory); }
};

// A 2D texture in host memory: ArraySize subresources of RowPitch × rows bytes each, zeroed.
// Answers IDXGISurface always and IDXGIKeyedMutex when made with the keyed-mutex flag.
class Texture : public ComObject<ID3D11Texture2D, IDXGISurface, IDXGIKeyedMutex>
{
public:
    Texture(ComPtr<Device> device, const D3D11_TEXTURE2D_DESC& desc, UINT rowPitch, std::size_t subresourceSize, BYTE* memory)
        : m_Device(std::move(device)), m_Desc(desc), m_RowPitch(rowPitch), m_SubresourceSize(subresourceSize), m_Memory(memory)
    {
    }

    const D3D11_TEXTURE2D_DESC& Desc() const noexcept { return m_Desc; }
    Device* Owner() const noexcept { return m_Device.Get(); }
    UINT RowPitch() const noexcept { return m_RowPitch; }
    BYTE* Subresource(UINT index) const noexcept { return m_Memory.get() + m_SubresourceSize * index; }
    std::size_t SubresourceSize() const noexcept { return m_SubresourceSize; }
    bool HasKeyedMutex() const noexcept { return (m_Desc.MiscFlags & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX) != 0; }

    // The fence of the last device command that uses this texture (set under the engine's lock).
    void SetLastFence(uint64_t fence) noexcept { m_LastFence.store(fence, std::memory_order_relaxed); }
    bool WaitForDevice(const Deadline& deadline) { return m_Device->Engine().WaitFor(m_LastFence.load(std::memory_order_relaxed), deadline); }

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        if (riid == IDXGIKeyedMutex::IID && !HasKeyedMutex())
        {
            if (!object)
                return E_POINTER;
            *object = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(riid, object);
    }

    // ID3D11DeviceChild
    void GetDevice(ID3D11Device** device) override
    {
        if (device)
            *device = ComPtr<ID3D11Device>(m_Device.Get()).Detach();
    }
    // ID3D11Resource
    void GetType(D3D11_RESOURCE_DIMENSION* dimension) override
    {
        if (dimension)
            *dimension = D3D11_RESOURCE_DIMENSION_TEXTURE2D;
    }
    // ID3D11Texture2D
    void GetDesc(D3D11_TEXTURE2D_DESC* desc) override
    {
        if (desc)
            *desc = m_Desc;
    }

    // IDXGIObject
    HRESULT GetParent(REFIID riid, void** parent) override { return GetDevice(riid, parent); }
    // IDXGIDeviceSubObject
    HRESULT GetDevice(REFIID riid, void** device) override
    {
        if (!device)
            return E_POINTER;
        return m_Device->QueryInterface(riid, device);
    }

    // IDXGISurface
    HRESULT GetDesc(DXGI_SURFACE_DESC* desc) override
    {
        if (!desc)
            return E_INVALIDARG;
        *desc = { m_Desc.Width, m_Desc.Height, m_Desc.Format, m_Desc.SampleDesc };
        return S_OK;
    }
    HRESULT Map(DXGI_MAPPED_RECT* lockedRect, UINT mapFlags) override
    {
        if (!lockedRect)
            return E_INVALIDARG;
        *lockedRect = {};
        if (m_Desc.ArraySize != 1 || (mapFlags & ~(DXGI_MAP_READ | DXGI_MAP_WRITE | DXGI_MAP_DISCARD)) != 0)
            return DXGI_ERROR_INVALID_CALL;
        WaitForDevice(std::nullopt);
        m_MapCount.fetch_add(1, std::memory_order_relaxed);
        lockedRect->Pitch = static_cast<INT>(m_RowPitch);
        lockedRect->pBits = Subresource(0);
        return S_OK;
    }
    HRESULT Unmap() override
    {
        UINT count = m_MapCount.load(std::memory_order_relaxed);
        do
        {
            if (count == 0)
                return DXGI_ERROR_INVALID_CALL;
        } while (!m_MapCount.compare_exchange_weak(count, count - 1, std::memory_order_relaxed));
        return S_OK;
    }

    // IDXGIKeyedMutex
    HRESULT AcquireSync(UINT64 key, DWORD milliseconds) override
    {
        const Deadline deadline = DeadlineAfter(milliseconds);
        {
            std::unique_lock lock(m_SyncLock);
            const auto available = [&] { return !m_SyncAcquired && m_SyncKey == key; };
            if (!available())
            {
                const Sync::BlockingRegion blocking;
                if (!deadline)
                    m_SyncChanged.wait(lock, available);
                else if (!m_SyncChanged.wait_until(lock, *deadline, available))
                    return WAIT_TIMEOUT;
            }
            m_SyncAcquired = true;
        }
        // The releasing side's copies come first, as the device orders them on the platform.
        if (WaitForDevice(deadline))
            return S_OK;
        {
            std::lock_guard lock(m_SyncLock);
            m_SyncAcquired = false;
        }
        m_SyncChanged.notify_all();
        return WAIT_TIMEOUT;
    }
    HRESULT ReleaseSync(UINT64 key) override
    {
        {
            std::lock_guard lock(m_SyncLock);
            if (!m_SyncAcquired)
                return E_FAIL;
            m_SyncAcquired = false;
            m_SyncKey = key;
        }
        m_SyncChanged.notify_all();
        return S_OK;
    }

private:
    const ComPtr<Device> m_Device; // a resource keeps its device alive
    const D3D11_TEXTURE2D_DESC m_Desc;
    const UINT m_RowPitch;
    const std::size_t m_SubresourceSize;
    const std::unique_ptr<BYTE, FreeMemory> m_Memory;
    std::atomic<uint64_t> m_LastFence { 0 };
    std::atomic<UINT> m_MapCount { 0 };

    std::mutex m_SyncLock; // guards the keyed mutex: the two fields below
    std::condition_variable m_SyncChanged;
    bool m_SyncAcquired = false;
    UINT64 m_SyncKey = 0; // the key of the last release
};

// ---- CopyEngine ------------------------------------------------------------------------------

uint64_t CopyEngine::SubmitCopy(ComPtr<Texture> destination, ComPtr<Texture> source, const CopyRegion& region)
{
    Texture* destinationTexture = destination.Get();
    Texture* sourceTexture = source.Get();
    uint64_t fence;
    {
        std::lock_guard lock(m_Lock);
        m_Queue.push_back(Command { std::move(destination), std::move(source), region, nullptr });
        fence = ++m_Issued;
        destinationTexture->SetLastFence(fence);
        sourceTexture->SetLastFence(fence);
    }
    m_WorkAvailable.notify_one();
    return fence;
}

void CopyEngine::SubmitSignal(Sync::Event* event) noexcept
{
    // Always through the device thread, also when it is idle: the event is set on that thread,
    // after every command issued before, never on the caller's.
    uint64_t pending = 0;
    {
        std::lock_guard lock(m_Lock);
        try
        {
            m_Queue.push_back(Command { nullptr, nullptr, {}, event });
            ++m_Issued;
            m_WorkAvailable.notify_one();
            return;
        }
        catch (const std::bad_alloc&)
        {
            pending = m_Issued; // Flush1 cannot fail: wait the queue out instead of losing the signal
        }
    }
    WaitFor(pending, std::nullopt);
    event->Set();
}

bool CopyEngine::WaitFor(uint64_t fence, const Deadline& deadline)
{
    if (std::this_thread::get_id() == m_ThreadId)
    {
        XEV_TRACE("this 0x%p, Fence %llu, a wait on the device thread returns at once\n", static_cast<void*>(this),
                  static_cast<unsigned long long>(fence));
        return true;
    }
    std::unique_lock lock(m_Lock);
    const auto done = [&] { return m_Executed >= fence; };
    if (done())
        return true;
    const Sync::BlockingRegion blocking;
    if (!deadline)
    {
        m_CommandDone.wait(lock, done);
        return true;
    }
    return m_CommandDone.wait_until(lock, *deadline, done);
}

void CopyEngine::Stop()
{
    {
        std::lock_guard lock(m_Lock);
        m_Stopping = true;
    }
    m_WorkAvailable.notify_one();
    if (std::this_thread::get_id() == m_ThreadId)
        m_Thread.detach(); // the device went with the last command's textures: finish alone
    else if (m_Thread.joinable())
        m_Thread.join();
}

void CopyEngine::Run()
{
    for (;;)
    {
        Command command;
        {
            std::unique_lock lock(m_Lock);
            m_WorkAvailable.wait(lock, [&] { return m_Stopping || !m_Queue.empty(); });
            if (m_Queue.empty())
                return;
            command = std::move(m_Queue.front());
            m_Queue.pop_front();
        }
        if (command.Destination)
            Execute(command);
        {
            std::lock_guard lock(m_Lock);
            ++m_Executed;
        }
        m_CommandDone.notify_all();
        if (command.Event)
            command.Event->Set();
        // Dropping the textures here may release the device, which then stops this engine.
    }
}

void CopyEngine::Execute(const Command& command)
{
    const Texture& destination = *command.Destination;
    const Texture& source = *command.Source;
    const CopyRegion& region = command.Region;
    const DXGI_FORMAT format = source.Desc().Format;
    const std::size_t pixelBytes = format == DXGI_FORMAT_B8G8R8A8_UNORM ? 4 : format == DXGI_FORMAT_YUY2 ? 2 : 1;
    const std::size_t rowBytes = (region.Box.right - region.Box.left) * pixelBytes;
    const std::size_t sourcePitch = source.RowPitch();
    const std::size_t destinationPitch = destination.RowPitch();

    const auto copyPlane = [&](const BYTE* from, BYTE* to, std::size_t rows) {
        if (rowBytes == sourcePitch && sourcePitch == destinationPitch)
        {
            std::memmove(to, from, rows * rowBytes);
            return;
        }
        for (std::size_t row = 0; row < rows; ++row)
            std::memmove(to + row * destinationPitch, from + row * sourcePitch, rowBytes);
    };

    const BYTE* from = source.Subresource(region.SourceSubresource);
    BYTE* to = destination.Subresource(region.DestinationSubresource);
    const std::size_t rows = region.Box.bottom - region.Box.top;
    copyPlane(from + region.Box.top * sourcePitch + region.Box.left * pixelBytes,
              to + std::size_t(region.DestinationY) * destinationPitch + region.DestinationX * pixelBytes, rows);
    if (format == DXGI_FORMAT_NV12)
    {
        // The chroma plane: half the rows, the same bytes of each row (two bytes per two pixels).
        const BYTE* fromChroma = from + sourcePitch * source.Desc().Height;
        BYTE* toChroma = to + destinationPitch * destination.Desc().Height;
        copyPlane(fromChroma + (region.Box.top / 2) * sourcePitch + region.Box.left,
                  toChroma + std::size_t(region.DestinationY / 2) * destinationPitch + region.DestinationX, rows / 2);
    }
}

// ---- ImmediateContext ------------------------------------------------------------------------

HRESULT ImmediateContext::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return E_POINTER;
    *object = nullptr;
    if (riid == ID3D10Multithread::IID)
        return m_Device.QueryInterface(riid, object);
    if (riid == IUnknown::IID)
        *object = static_cast<IUnknown*>(this);
    else if (!Com::Detail::FindInterface<ID3D11DeviceContext3>(this, riid, object))
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG ImmediateContext::AddRef() { return m_Device.AddRef(); }
ULONG ImmediateContext::Release() { return m_Device.Release(); }

void ImmediateContext::GetDevice(ID3D11Device** device)
{
    if (device)
        *device = ComPtr<ID3D11Device>(&m_Device).Detach();
}

const char* ImmediateContext::CheckCopy(Texture* destination, Texture* source, const CopyRegion& region, bool* empty) const
{
    *empty = false;
    if (!destination || !source)
        return "a resource is null or not a texture of this device";
    if (destination->Owner() != &m_Device || source->Owner() != &m_Device)
        return "a texture belongs to another device";
    const auto& from = source->Desc();
    const auto& to = destination->Desc();
    if (region.SourceSubresource >= from.ArraySize || region.DestinationSubresource >= to.ArraySize)
        return "subresource index out of range";
    if (from.Format != to.Format)
        return "formats differ";
    const D3D11_BOX& box = region.Box;
    if (box.front != 0 || box.back != 1)
        return "the box's depth is not 0 to 1";
    if (box.left >= box.right || box.top >= box.bottom)
    {
        *empty = true;
        return nullptr;
    }
    if (box.right > from.Width || box.bottom > from.Height)
        return "the box lies outside the source";
    const UINT width = box.right - box.left, height = box.bottom - box.top;
    if (region.DestinationX > to.Width || width > to.Width - region.DestinationX || region.DestinationY > to.Height ||
        height > to.Height - region.DestinationY)
        return "the region lies outside the destination";
    if (from.Format == DXGI_FORMAT_NV12 &&
        ((box.left | box.top | box.right | box.bottom | region.DestinationX | region.DestinationY) & 1) != 0)
        return "NV12 coordinates must be even";
    if (from.Format == DXGI_FORMAT_YUY2 && ((box.left | box.right | region.DestinationX) & 1) != 0)
        return "YUY2 x coordinates must be even";
    if (source == destination && region.SourceSubresource == region.DestinationSubresource)
    {
        const bool apart = region.DestinationX >= box.right || region.DestinationX + width <= box.left || region.DestinationY >= box.bottom ||
                           region.DestinationY + height <= box.top;
        if (!apart)
            return "source and destination regions overlap";
    }
    return nullptr;
}

void ImmediateContext::CopySubresourceRegion(ID3D11Resource* destination, UINT destinationSubresource, UINT dstX, UINT dstY, UINT dstZ,
                                             ID3D11Resource* source, UINT sourceSubresource, const D3D11_BOX* sourceBox)
{
    Device::ProtectScope protect(m_Device);
    auto* to = dynamic_cast<Texture*>(destination);
    auto* from = dynamic_cast<Texture*>(source);
    CopyRegion region;
    region.DestinationSubresource = destinationSubresource;
    region.SourceSubresource = sourceSubresource;
    region.DestinationX = dstX;
    region.DestinationY = dstY;
    if (sourceBox)
        region.Box = *sourceBox;
    else if (from)
        region.Box = D3D11_BOX { 0, 0, 0, from->Desc().Width, from->Desc().Height, 1 };
    bool empty = false;
    const char* reason = dstZ != 0 ? "the destination z is not 0" : CheckCopy(to, from, region, &empty);
    if (reason)
    {
        XEV_TRACE("this 0x%p, Destination 0x%p, Source 0x%p, copy dropped: %s\n", static_cast<void*>(this),
                  static_cast<void*>(destination), static_cast<void*>(source), reason);
        return;
    }
    if (empty)
        return;
    try
    {
        m_Device.Engine().SubmitCopy(ComPtr<Texture>(to), ComPtr<Texture>(from), region);
    }
    catch (const std::bad_alloc&)
    {
        XEV_TRACE("this 0x%p, copy dropped: out of memory\n", static_cast<void*>(this));
    }
}

void ImmediateContext::CopyResource(ID3D11Resource* destination, ID3D11Resource* source)
{
    auto* to = dynamic_cast<Texture*>(destination);
    auto* from = dynamic_cast<Texture*>(source);
    if (to && from && (to->Desc().Width != from->Desc().Width || to->Desc().Height != from->Desc().Height ||
                       to->Desc().ArraySize != from->Desc().ArraySize || to == from))
    {
        XEV_TRACE("this 0x%p, Destination 0x%p, Source 0x%p, copy dropped: the resources differ in size or are one\n",
                  static_cast<void*>(this), static_cast<void*>(destination), static_cast<void*>(source));
        return;
    }
    const UINT slices = from ? from->Desc().ArraySize : 1;
    for (UINT slice = 0; slice < slices; ++slice)
        CopySubresourceRegion(destination, slice, 0, 0, 0, source, slice, nullptr);
}

void ImmediateContext::Flush1(D3D11_CONTEXT_TYPE contextType, Sync::Event* event)
{
    Device::ProtectScope protect(m_Device);
    if (event)
        m_Device.Engine().SubmitSignal(event);
}

// ---- Device ----------------------------------------------------------------------------------

HRESULT Device::CreateTexture2D(const D3D11_TEXTURE2D_DESC* desc, const D3D11_SUBRESOURCE_DATA* initialData, ID3D11Texture2D** texture)
{
    return Error::Guard([&]() -> HRESULT {
        ProtectScope protect(*this);
        if (texture)
            *texture = nullptr;
        if (!desc)
            return E_INVALIDARG;
        const D3D11_TEXTURE2D_DESC& d = *desc;
        const UINT rowBytes = D3D11Host::RowBytes(d.Format, d.Width);
        if (rowBytes == 0 || d.Width == 0 || d.Height == 0 || d.Width > MaximumTextureDimension || d.Height > MaximumTextureDimension)
            return E_INVALIDARG;
        if (d.MipLevels != 1 || d.ArraySize == 0 || d.ArraySize > MaximumArraySize || d.SampleDesc.Count != 1 || d.SampleDesc.Quality != 0)
            return E_INVALIDARG;
        if (d.Format == DXGI_FORMAT_NV12 && ((d.Width | d.Height) & 1) != 0)
            return E_INVALIDARG;
        if (d.Format == DXGI_FORMAT_YUY2 && (d.Width & 1) != 0)
            return E_INVALIDARG;
        if (d.Usage > D3D11_USAGE_STAGING || (d.Usage == D3D11_USAGE_IMMUTABLE && !initialData))
            return E_INVALIDARG;
        const UINT sharing = d.MiscFlags & (D3D11_RESOURCE_MISC_SHARED | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX);
        if (sharing == (D3D11_RESOURCE_MISC_SHARED | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX))
            return E_INVALIDARG;
        if ((d.MiscFlags & D3D11_RESOURCE_MISC_SHARED_NTHANDLE) != 0 && sharing == 0)
            return E_INVALIDARG;
        if ((d.MiscFlags & (D3D11_RESOURCE_MISC_GENERATE_MIPS | D3D11_RESOURCE_MISC_TEXTURECUBE)) != 0)
            return E_INVALIDARG;
        const std::size_t rows = d.Format == DXGI_FORMAT_NV12 ? std::size_t(d.Height) * 3 / 2 : d.Height;
        if (initialData)
            for (UINT slice = 0; slice < d.ArraySize; ++slice)
                if (!initialData[slice].pSysMem || initialData[slice].SysMemPitch < rowBytes)
                    return E_INVALIDARG;
        if (!texture)
            return S_FALSE;

        const UINT rowPitch = static_cast<UINT>((rowBytes + RowAlignment - 1) / RowAlignment * RowAlignment);
        const std::size_t subresourceSize = std::size_t(rowPitch) * rows;
        const std::size_t total = subresourceSize * d.ArraySize;
        BYTE* memory = static_cast<BYTE*>(std::aligned_alloc(RowAlignment, total));
        if (!memory)
            return E_OUTOFMEMORY;
        std::memset(memory, 0, total);
        auto object = [&] {
            try
            {
                return Make<Texture>(ComPtr<Device>(this), d, rowPitch, subresourceSize, memory);
            }
            catch (...)
            {
                std::free(memory);
                throw;
            }
        }();
        if (initialData)
            for (UINT slice = 0; slice < d.ArraySize; ++slice)
            {
                const auto* from = static_cast<const BYTE*>(initialData[slice].pSysMem);
                BYTE* to = object->Subresource(slice);
                for (std::size_t row = 0; row < rows; ++row)
                    std::memcpy(to + row * rowPitch, from + row * initialData[slice].SysMemPitch, rowBytes);
            }
        *texture = object.Detach();
        return S_OK;
    });
}

bool IsKnownFeatureLevel(D3D_FEATURE_LEVEL level)
{
    switch (level)
    {
    case D3D_FEATURE_LEVEL_9_1:
    case D3D_FEATURE_LEVEL_9_2:
    case D3D_FEATURE_LEVEL_9_3:
    case D3D_FEATURE_LEVEL_10_0:
    case D3D_FEATURE_LEVEL_10_1:
    case D3D_FEATURE_LEVEL_11_0:
    case D3D_FEATURE_LEVEL_11_1:
    case D3D_FEATURE_LEVEL_12_0:
    case D3D_FEATURE_LEVEL_12_1:
        return true;
    }
    return false;
}

constexpr UINT KnownCreateDeviceFlags = D3D11_CREATE_DEVICE_SINGLETHREADED | D3D11_CREATE_DEVICE_DEBUG | D3D11_CREATE_DEVICE_SWITCH_TO_REF |
                                        D3D11_CREATE_DEVICE_PREVENT_INTERNAL_THREADING_OPTIMIZATIONS | D3D11_CREATE_DEVICE_BGRA_SUPPORT |
                                        D3D11_CREATE_DEVICE_DEBUGGABLE |
                                        D3D11_CREATE_DEVICE_PREVENT_ALTERING_LAYER_SETTINGS_FROM_REGISTRY |
                                        D3D11_CREATE_DEVICE_DISABLE_GPU_TIMEOUT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT;

// The adapter a device without an explicit one goes on: the first one, or the software one.
HRESULT DefaultAdapter(bool software, ComPtr<IDXGIAdapter>* adapter)
{
    ComPtr<IDXGIFactory1> factory;
    XEV_CHECK_HR(CreateDXGIFactory1(IidOf<IDXGIFactory1>, reinterpret_cast<void**>(factory.GetAddressOf())));
    for (UINT index = 0;; ++index)
    {
        ComPtr<IDXGIAdapter1> candidate;
        const HRESULT hr = factory->EnumAdapters1(index, candidate.GetAddressOf());
        if (hr == DXGI_ERROR_NOT_FOUND)
            return DXGI_ERROR_UNSUPPORTED;
        XEV_CHECK_HR(hr);
        DXGI_ADAPTER_DESC1 desc;
        XEV_CHECK_HR(candidate->GetDesc1(&desc));
        if (!software || (desc.Flags & DXGI_ADAPTER_FLAG_SOFTWARE) != 0)
        {
            *adapter = std::move(candidate);
            return S_OK;
        }
    }
}
} // namespace

namespace D3D11Host
{
UINT RowBytes(DXGI_FORMAT format, UINT width) noexcept
{
    switch (format)
    {
    case DXGI_FORMAT_B8G8R8A8_UNORM:
        return width * 4;
    case DXGI_FORMAT_YUY2:
        return width * 2;
    case DXGI_FORMAT_NV12:
        return width;
    default:
        return 0;
    }
}

HRESULT GetTextureMemory(ID3D11Texture2D* texture, UINT subresource, TextureMemory* memory)
{
    if (!texture || !memory)
        return E_POINTER;
    auto* ours = dynamic_cast<Texture*>(texture);
    if (!ours || subresource >= ours->Desc().ArraySize)
        return E_INVALIDARG;
    ours->WaitForDevice(std::nullopt);
    memory->Data = ours->Subresource(subresource);
    memory->RowPitch = ours->RowPitch();
    memory->Width = ours->Desc().Width;
    memory->Height = ours->Desc().Height;
    memory->Format = ours->Desc().Format;
    memory->Size = ours->SubresourceSize();
    return S_OK;
}
} // namespace D3D11Host

HRESULT D3D11CreateDevice(IDXGIAdapter* adapter, D3D_DRIVER_TYPE driverType, HMODULE software, UINT flags,
                          const D3D_FEATURE_LEVEL* featureLevels, UINT featureLevelCount, UINT sdkVersion,
                          ID3D11Device** device, D3D_FEATURE_LEVEL* featureLevel, ID3D11DeviceContext** immediateContext)
{
    return Error::Guard([&]() -> HRESULT {
        if (device)
            *device = nullptr;
        if (immediateContext)
            *immediateContext = nullptr;
        if (sdkVersion != D3D11_SDK_VERSION || (flags & ~KnownCreateDeviceFlags) != 0)
            return E_INVALIDARG;
        // No rasterizer modules exist here: a module is accepted with the software type only, and ignored.
        if (software && driverType != D3D_DRIVER_TYPE_SOFTWARE)
            return E_INVALIDARG;

        static constexpr D3D_FEATURE_LEVEL DefaultLevels[] = { D3D_FEATURE_LEVEL_11_0, D3D_FEATURE_LEVEL_10_1, D3D_FEATURE_LEVEL_10_0,
                                                               D3D_FEATURE_LEVEL_9_3, D3D_FEATURE_LEVEL_9_2, D3D_FEATURE_LEVEL_9_1 };
        if (featureLevels && featureLevelCount == 0)
            return E_INVALIDARG;
        const D3D_FEATURE_LEVEL* levels = featureLevels ? featureLevels : DefaultLevels;
        const UINT levelCount = featureLevels ? featureLevelCount : UINT(std::size(DefaultLevels));
        for (UINT i = 0; i < levelCount; ++i)
            if (!IsKnownFeatureLevel(levels[i]))
                return E_INVALIDARG;
        const D3D_FEATURE_LEVEL chosenLevel = levels[0]; // every level up to 12_1 is supported

        ComPtr<IDXGIAdapter> chosenAdapter;
        if (adapter)
        {
            if (driverType != D3D_DRIVER_TYPE_UNKNOWN)
                return E_INVALIDARG;
            D3D11Host::AdapterRecord record;
            if (FAILED(D3D11Host::GetAdapterRecord(adapter, &record)))
                return E_INVALIDARG;
            chosenAdapter = adapter;
        }
        else
        {
            switch (driverType)
            {
            case D3D_DRIVER_TYPE_HARDWARE:
                XEV_CHECK_HR(DefaultAdapter(false, &chosenAdapter));
                break;
            case D3D_DRIVER_TYPE_REFERENCE:
            case D3D_DRIVER_TYPE_SOFTWARE:
            case D3D_DRIVER_TYPE_WARP:
                XEV_CHECK_HR(DefaultAdapter(true, &chosenAdapter));
                break;
            default:
                return E_INVALIDARG;
            }
        }
        if (featureLevel)
            *featureLevel = chosenLevel;
        if (!device && !immediateContext)
            return S_FALSE;

        auto object = Make<Device>(std::move(chosenAdapter), chosenLevel, flags);
        if (immediateContext)
            object->GetImmediateContext(immediateContext);
        if (device)
            *device = object.Detach();
        return S_OK;
    });
}
