// The immediate context and the copy engine: copies run in issue order on one device thread.

#include "DeviceTexture.h"

namespace CpuDevice
{
uint64_t CopyEngine::SubmitCopy(ComPtr<Texture> destination, ComPtr<Texture> source, const CopyRegion& region)
{
    Texture* destinationTexture = destination.Get();
    Texture* sourceTexture = source.Get();
    uint64_t fence;
    {
        std::lock_guard lock(m_Lock);
        m_Queue.PushBack(Command { std::move(destination), std::move(source), region, nullptr });
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
            m_Queue.PushBack(Command { nullptr, nullptr, {}, event });
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
            m_WorkAvailable.wait(lock, [&] { return m_Stopping || !m_Queue.Empty(); });
            if (m_Queue.Empty())
                return;
            command = m_Queue.PopFront();
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
} // namespace CpuDevice
