#include "DeviceTestSupport.h"

#include "platform/com/ComObject.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace D3DTest;

namespace
{
class ForeignAdapter : public ComObject<IDXGIAdapter>
{
public:
    HRESULT GetParent(REFIID, void**) override { return E_NOTIMPL; }
    HRESULT GetDesc(DXGI_ADAPTER_DESC*) override { return E_NOTIMPL; }
};

std::vector<uint8_t> Snapshot(ID3D11Texture2D* texture)
{
    const auto memory = MemoryOf(texture);
    return std::vector<uint8_t>(memory.Data, memory.Data + memory.Size);
}

uint8_t At(const D3D11Host::TextureMemory& memory, UINT row, UINT byte) { return memory.Data[std::size_t(row) * memory.RowPitch + byte]; }

void FlushAndWait(ID3D11DeviceContext3* context)
{
    Sync::Event done(Sync::Event::ResetMode::Auto);
    context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
    ASSERT_TRUE(done.Wait(PatienceMilliseconds));
}
} // namespace

TEST(Device, CreationChecksItsArguments)
{
    const D3D_FEATURE_LEVEL unknown[] = { static_cast<D3D_FEATURE_LEVEL>(0x1234) };
    const D3D_FEATURE_LEVEL levels[] = { D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0 };
    auto foreign = Make<ForeignAdapter>();
    int module = 0;
    ComPtr<ID3D11Device> device;
    const auto create = [&](IDXGIAdapter* adapter, D3D_DRIVER_TYPE type, HMODULE software, UINT flags, const D3D_FEATURE_LEVEL* list, UINT count,
                            UINT sdk = D3D11_SDK_VERSION) {
        return D3D11CreateDevice(adapter, type, software, flags, list, count, sdk, device.ReleaseAndGetAddressOf(), nullptr, nullptr);
    };
    for (const HRESULT hr : { create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, 6), create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0x10000000, nullptr, 0),
             create(nullptr, D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0), create(foreign.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0),
             create(nullptr, D3D_DRIVER_TYPE_HARDWARE, &module, 0, nullptr, 0), create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, levels, 0),
             create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, unknown, 1) })
        EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_FALSE(device);
}

// The one immediate context keeps its device alive.
TEST(Device, TheImmediateContextKeepsItsDeviceAlive)
{
    auto d = MakeDevice();
    ComPtr<ID3D11DeviceContext> again;
    d.Device->GetImmediateContext(again.GetAddressOf());
    EXPECT_EQ(static_cast<ID3D11DeviceContext*>(d.Context.Get()), again.Get());
    again = nullptr;
    d.Device = nullptr;
    FlushAndWait(d.Context.Get());
    ComPtr<ID3D11Device> device;
    d.Context->GetDevice(device.GetAddressOf());
    EXPECT_EQ(device->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_0);
}

// Creation refuses what this device cannot make; host memory is zeroed rows at a 64-byte pitch,
// NV12's chroma plane right after its luma rows.
TEST(Texture, CreationAndHostMemory)
{
    auto d = MakeDevice();
    using Change = void (*)(D3D11_TEXTURE2D_DESC&);
    const Change cases[] = {
        [](D3D11_TEXTURE2D_DESC& x) { x.Width = 0; },
        [](D3D11_TEXTURE2D_DESC& x) { x.Height = 16385; },
        [](D3D11_TEXTURE2D_DESC& x) { x.Format = static_cast<DXGI_FORMAT>(28); },
        [](D3D11_TEXTURE2D_DESC& x) { x.Format = DXGI_FORMAT_NV12; x.Height = 47; },
        [](D3D11_TEXTURE2D_DESC& x) { x.Format = DXGI_FORMAT_YUY2; x.Width = 63; },
        [](D3D11_TEXTURE2D_DESC& x) { x.MiscFlags = D3D11_RESOURCE_MISC_SHARED | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX; },
        [](D3D11_TEXTURE2D_DESC& x) { x.MiscFlags = D3D11_RESOURCE_MISC_SHARED_NTHANDLE; },
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
    {
        auto desc = TextureDesc(64, 48);
        cases[i](desc);
        ComPtr<ID3D11Texture2D> texture;
        EXPECT_EQ(std::pair(d.Device->CreateTexture2D(&desc, nullptr, texture.GetAddressOf()), bool(texture)), std::pair(E_INVALIDARG, false)) << i;
    }
    EXPECT_EQ(d.Device->CreateTexture2D(nullptr, nullptr, nullptr), E_INVALIDARG);

    for (const auto& [format, width, height, pitch, rows] : { std::tuple(DXGI_FORMAT_B8G8R8A8_UNORM, 100u, 3u, 448u, 3u), std::tuple(DXGI_FORMAT_NV12, 720u, 480u, 768u, 720u) })
    {
        const auto texture = MakeTexture(d.Device.Get(), TextureDesc(width, height, format));
        const auto memory = MemoryOf(texture.Get());
        EXPECT_EQ(std::tuple(memory.RowPitch, memory.Size, memory.ChromaPlane()),
                  std::tuple(pitch, std::size_t(pitch) * rows, format == DXGI_FORMAT_NV12 ? memory.Data + std::size_t(pitch) * height : nullptr));
        EXPECT_EQ(std::count(memory.Data, memory.Data + memory.Size, 0), std::ptrdiff_t(memory.Size)) << "new textures are zeroed";
    }
    D3D11Host::TextureMemory memory;
    EXPECT_EQ(D3D11Host::GetTextureMemory(MakeTexture(d.Device.Get(), TextureDesc(8, 8)).Get(), 1, &memory), E_INVALIDARG);
    EXPECT_EQ(D3D11Host::GetTextureMemory(nullptr, 0, &memory), E_POINTER);
}

TEST(Copy, RegionLandsAtItsPositionAndNothingElseChanges)
{
    auto d = MakeDevice();
    for (const auto& [format, pixelBytes] : { std::pair { DXGI_FORMAT_B8G8R8A8_UNORM, 4u }, std::pair { DXGI_FORMAT_YUY2, 2u }, std::pair { DXGI_FORMAT_NV12, 1u } })
    {
        auto source = MakeTexture(d.Device.Get(), TextureDesc(64, 32, format));
        auto destination = MakeTexture(d.Device.Get(), TextureDesc(48, 40, format));
        FillPattern(source.Get(), 1);
        FillPattern(destination.Get(), 100);
        const auto before = Snapshot(destination.Get());
        const D3D11_BOX box { 4, 6, 0, 20, 16, 1 }; // 16 x 10 pixels from (4, 6) to (10, 2)
        d.Context->CopySubresourceRegion(destination.Get(), 0, 10, 2, 0, source.Get(), 0, &box);
        FlushAndWait(d.Context.Get());
        const auto from = MemoryOf(source.Get()), to = MemoryOf(destination.Get());
        for (UINT row = 0; row < (format == DXGI_FORMAT_NV12 ? 60u : 40u); ++row)
            for (UINT byte = 0; byte < 48 * pixelBytes; ++byte)
            {
                // NV12's chroma plane (rows 40..59) takes plane rows 3..7 to plane rows 1..5, same bytes.
                const bool chroma = row >= 40;
                const UINT planeRow = chroma ? row - 40 : row;
                const bool inside = planeRow >= (chroma ? 1u : 2u) && planeRow < (chroma ? 6u : 12u) && byte >= 10 * pixelBytes && byte < 26 * pixelBytes;
                const UINT sourceRow = chroma ? 32 + planeRow - 1 + 3 : planeRow - 2 + 6;
                const uint8_t wanted = inside ? At(from, sourceRow, byte - 6 * pixelBytes) : before[std::size_t(row) * to.RowPitch + byte];
                ASSERT_EQ(At(to, row, byte), wanted) << format << " row " << row << " byte " << byte;
            }
    }
}

TEST(Copy, WholeResourcesRunInIssueOrder)
{
    auto d = MakeDevice();
    auto a = MakeTexture(d.Device.Get(), TextureDesc(1920, 1080)), b = MakeTexture(d.Device.Get(), TextureDesc(1920, 1080)),
         c = MakeTexture(d.Device.Get(), TextureDesc(1920, 1080));
    FillPattern(a.Get(), 3);
    FillPattern(b.Get(), 77);
    d.Context->CopyResource(b.Get(), a.Get()); // c ends as a only when the copies run in order
    d.Context->CopySubresourceRegion(c.Get(), 0, 0, 0, 0, b.Get(), 0, nullptr);
    FlushAndWait(d.Context.Get());
    EXPECT_EQ(Snapshot(c.Get()), Snapshot(a.Get()));
}

TEST(Copy, InvalidCopiesAreDroppedWithATraceLine)
{
    auto d = MakeDevice(), other = MakeDevice();
    auto bgra = MakeTexture(d.Device.Get(), TextureDesc(32, 32)), target = MakeTexture(d.Device.Get(), TextureDesc(32, 32));
    auto nv12 = MakeTexture(d.Device.Get(), TextureDesc(32, 32, DXGI_FORMAT_NV12)), foreign = MakeTexture(other.Device.Get(), TextureDesc(32, 32));
    FillPattern(bgra.Get(), 5);
    FillPattern(nv12.Get(), 6);
    const auto targetBefore = Snapshot(target.Get()), nv12Before = Snapshot(nv12.Get());
    const D3D11_BOX outside { 0, 0, 0, 33, 8, 1 }, deep { 0, 0, 0, 8, 8, 2 }, odd { 1, 0, 0, 8, 8, 1 }, corner { 0, 0, 0, 16, 16, 1 },
        empty { 4, 4, 0, 4, 8, 1 };
    TestSupport::TraceCapture trace;
    auto& context = *d.Context.Get();
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, nv12.Get(), 0, nullptr);    // formats differ
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, bgra.Get(), 0, &outside);   // outside the source
    context.CopySubresourceRegion(target.Get(), 0, 17, 0, 0, bgra.Get(), 0, &corner);   // outside the destination
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, bgra.Get(), 0, &deep);      // depth
    context.CopySubresourceRegion(target.Get(), 1, 0, 0, 0, bgra.Get(), 0, nullptr);    // subresource
    context.CopySubresourceRegion(nv12.Get(), 0, 16, 16, 0, nv12.Get(), 0, &odd);       // odd NV12 box
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, foreign.Get(), 0, nullptr); // another device
    context.CopySubresourceRegion(nullptr, 0, 0, 0, 0, bgra.Get(), 0, nullptr);
    context.CopySubresourceRegion(bgra.Get(), 0, 8, 8, 0, bgra.Get(), 0, &corner);      // overlapping in place
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, bgra.Get(), 0, &empty);     // empty: nothing, silently
    FlushAndWait(d.Context.Get());
    EXPECT_EQ(trace.LinesContaining("copy dropped").size(), 9u);
    EXPECT_EQ(std::pair(Snapshot(target.Get()), Snapshot(nv12.Get())), std::pair(targetBefore, nv12Before));
}

// A flush's event is set, and host access to a texture returns, only after the copies before it.
TEST(Copy, FlushEventAndHostAccessWaitForQueuedCopies)
{
    auto d = MakeDevice();
    auto source = MakeTexture(d.Device.Get(), TextureDesc(1920, 1080)), destination = MakeTexture(d.Device.Get(), TextureDesc(1920, 1080)),
         second = MakeTexture(d.Device.Get(), TextureDesc(1920, 1080));
    FillPattern(source.Get(), 42);
    const auto expected = Snapshot(source.Get());
    const auto view = MemoryOf(destination.Get()); // read below without waiting for the device
    Sync::Event done(Sync::Event::ResetMode::Manual);
    std::vector<uint8_t> seen;
    std::thread reader;
    {
        DeviceGate gate(d.Context.Get());
        d.Context->CopySubresourceRegion(destination.Get(), 0, 0, 0, 0, source.Get(), 0, nullptr);
        d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
        d.Context->CopySubresourceRegion(second.Get(), 0, 0, 0, 0, source.Get(), 0, nullptr);
        reader = std::thread([&] { seen = Snapshot(second.Get()); });
        EXPECT_FALSE(done.Wait(0)) << "signalled while its copy is still queued";
        EXPECT_EQ(std::count(view.Data, view.Data + view.Size, 0), std::ptrdiff_t(view.Size));
        gate.Open();
        ASSERT_TRUE(done.Wait(PatienceMilliseconds));
        EXPECT_EQ(std::memcmp(view.Data, expected.data(), view.Size), 0);
        reader.join();
    }
    EXPECT_EQ(seen, expected);
}

TEST(Copy, DeviceReleasedByItsOwnThreadFinishesCleanly)
{
    auto d = MakeDevice();
    auto source = MakeTexture(d.Device.Get(), TextureDesc(256, 256)), destination = MakeTexture(d.Device.Get(), TextureDesc(256, 256));
    auto reached = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Manual), opened = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Manual);
    auto gate = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Auto);
    gate->RegisterWait([reached, opened, gate] {
        reached->Set();
        opened->Wait();
    });
    d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, gate.get());
    ASSERT_TRUE(reached->Wait(PatienceMilliseconds));
    d.Context->CopySubresourceRegion(destination.Get(), 0, 0, 0, 0, source.Get(), 0, nullptr);
    d = {}; // only the queued copy holds the textures, and through them the device
    source = destination = nullptr;
    opened->Set();
}

TEST(KeyedMutex, AcquireFollowsTheKeyAndWaitsAcrossThreadsUntilReleasedWithIt)
{
    auto d = MakeDevice();
    auto mutex = MakeTexture(d.Device.Get(), TextureDesc(16, 16, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX)).TryAs<IDXGIKeyedMutex>();
    EXPECT_EQ(mutex->ReleaseSync(0), E_FAIL) << "not acquired";
    EXPECT_EQ(mutex->AcquireSync(1, 0), WAIT_TIMEOUT) << "a new mutex is released with key 0";
    ASSERT_EQ(mutex->AcquireSync(0, INFINITE), S_OK);
    EXPECT_EQ(mutex->AcquireSync(0, 0), WAIT_TIMEOUT) << "held";
    std::atomic<bool> acquired { false };
    HRESULT timedOut = S_OK, waited = E_FAIL;
    Sync::Event tried(Sync::Event::ResetMode::Manual);
    std::thread consumer([&] {
        timedOut = mutex->AcquireSync(1, 30); // held by the producer: times out
        tried.Set();
        waited = mutex->AcquireSync(1, INFINITE);
        acquired = true;
        mutex->ReleaseSync(0);
    });
    ASSERT_TRUE(tried.Wait(PatienceMilliseconds));
    ASSERT_EQ(mutex->ReleaseSync(2), S_OK); // a key nobody waits for
    ASSERT_EQ(mutex->AcquireSync(2, INFINITE), S_OK);
    EXPECT_FALSE(acquired.load());
    ASSERT_EQ(mutex->ReleaseSync(1), S_OK);
    consumer.join();
    EXPECT_EQ(std::pair(timedOut, waited), std::pair(HRESULT(WAIT_TIMEOUT), S_OK));
    EXPECT_EQ(mutex->AcquireSync(0, PatienceMilliseconds), S_OK);
}

TEST(KeyedMutex, AcquireWaitsForCopiesIssuedBeforeTheRelease)
{
    auto d = MakeDevice();
    auto sample = MakeTexture(d.Device.Get(), TextureDesc(128, 64, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX));
    auto render = MakeTexture(d.Device.Get(), TextureDesc(128, 64));
    FillPattern(render.Get(), 21);
    auto mutex = sample.TryAs<IDXGIKeyedMutex>();
    DeviceGate gate(d.Context.Get());
    // The producer acquires, queues the copy and releases at once (the device runs it later).
    ASSERT_EQ(mutex->AcquireSync(0, INFINITE), S_OK);
    d.Context->CopySubresourceRegion(sample.Get(), 0, 0, 0, 0, render.Get(), 0, nullptr);
    ASSERT_EQ(mutex->ReleaseSync(0), S_OK);
    EXPECT_EQ(mutex->AcquireSync(0, 0), WAIT_TIMEOUT) << "the copy is still queued";
    gate.Open();
    ASSERT_EQ(mutex->AcquireSync(0, INFINITE), S_OK) << "the failed attempt left the mutex free";
    EXPECT_EQ(Snapshot(sample.Get()), Snapshot(render.Get()));
}
