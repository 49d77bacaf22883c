#include "DeviceTestSupport.h"

#include "platform/com/ComObject.h"
#include "platform/d3d/Adapters.h"
#include "fakes/FakeAdapterTree.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace D3DTest;

namespace
{
// An adapter of some other implementation.
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

uint8_t At(const D3D11Host::TextureMemory& memory, UINT row, UINT byte)
{
    return memory.Data[std::size_t(row) * memory.RowPitch + byte];
}
} // namespace

// ---- Device creation -------------------------------------------------------------------------

TEST(Device, CreationChecksItsArguments)
{
    ComPtr<ID3D11Device> device;
    D3D_FEATURE_LEVEL level {};
    const auto create = [&](IDXGIAdapter* adapter, D3D_DRIVER_TYPE type, HMODULE module, UINT flags, const D3D_FEATURE_LEVEL* levels,
                            UINT count, UINT sdk) {
        return D3D11CreateDevice(adapter, type, module, flags, levels, count, sdk, device.ReleaseAndGetAddressOf(), &level, nullptr);
    };
    const D3D_FEATURE_LEVEL unknown[] = { static_cast<D3D_FEATURE_LEVEL>(0x1234) };
    const D3D_FEATURE_LEVEL levels[] = { D3D_FEATURE_LEVEL_11_1, D3D_FEATURE_LEVEL_11_0 };
    auto foreign = Make<ForeignAdapter>();
    int module = 0;

    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, 6), E_INVALIDARG);
    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0x10000000, nullptr, 0, D3D11_SDK_VERSION), E_INVALIDARG);
    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION), E_INVALIDARG);
    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_NULL, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION), E_INVALIDARG);
    EXPECT_EQ(create(foreign.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION), E_INVALIDARG);
    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_HARDWARE, &module, 0, nullptr, 0, D3D11_SDK_VERSION), E_INVALIDARG);
    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, levels, 0, D3D11_SDK_VERSION), E_INVALIDARG);
    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, unknown, 1, D3D11_SDK_VERSION), E_INVALIDARG);
    EXPECT_FALSE(device);

    // Debug and BGRA flags are accepted; the first listed feature level is granted.
    EXPECT_EQ(create(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_DEBUG, levels, 2,
                     D3D11_SDK_VERSION),
              S_OK);
    ASSERT_TRUE(device);
    EXPECT_EQ(level, D3D_FEATURE_LEVEL_11_1);
    EXPECT_EQ(device->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_1);
    EXPECT_EQ(device->GetCreationFlags(), UINT(D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_DEBUG));

    // Only validation: no device, S_FALSE.
    level = {};
    EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, nullptr, &level, nullptr), S_FALSE);
    EXPECT_EQ(level, D3D_FEATURE_LEVEL_11_0);
}

TEST(Device, GoesOnTheAdapterItWasGivenAndAnswersItsInterfaces)
{
    TestSupport::FakeAdapterTree tree;
    tree.AddFunction("0000:01:00.0", 0x030000, 0x10DE, 0x2204);
    ComPtr<IDXGIFactory1> factory;
    ASSERT_EQ(D3D11Host::CreateFactory(tree.Sources(), IidOf<IDXGIFactory1>, reinterpret_cast<void**>(factory.GetAddressOf())), S_OK);
    ComPtr<IDXGIAdapter1> adapter;
    ASSERT_EQ(factory->EnumAdapters1(0, adapter.GetAddressOf()), S_OK);

    ComPtr<ID3D11Device> device;
    ComPtr<ID3D11DeviceContext> context;
    ASSERT_EQ(D3D11CreateDevice(adapter.Get(), D3D_DRIVER_TYPE_UNKNOWN, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(),
                                nullptr, context.GetAddressOf()),
              S_OK);
    EXPECT_EQ(D3D11CreateDevice(adapter.Get(), D3D_DRIVER_TYPE_HARDWARE, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, nullptr, nullptr, nullptr),
              E_INVALIDARG);

    auto dxgiDevice = device.TryAs<IDXGIDevice>();
    ASSERT_TRUE(dxgiDevice);
    ComPtr<IDXGIAdapter> deviceAdapter;
    ASSERT_EQ(dxgiDevice->GetAdapter(deviceAdapter.GetAddressOf()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(deviceAdapter.Get()), static_cast<IUnknown*>(adapter.TryAs<IDXGIAdapter>().Get()));

    EXPECT_TRUE(Answers<ID3D11Device>(device.Get()));
    EXPECT_TRUE(Answers<ID3D10Multithread>(device.Get()));
    EXPECT_TRUE(Answers<IDXGIObject>(device.Get()));
    EXPECT_FALSE(Answers<ID3D11DeviceContext>(device.Get()));
    EXPECT_FALSE(Answers<ID3D11Texture2D>(device.Get()));

    EXPECT_TRUE(Answers<ID3D11DeviceContext>(context.Get()));
    EXPECT_TRUE(Answers<ID3D11DeviceContext1>(context.Get()));
    EXPECT_TRUE(Answers<ID3D11DeviceContext2>(context.Get()));
    EXPECT_TRUE(Answers<ID3D11DeviceContext3>(context.Get()));
    EXPECT_TRUE(Answers<ID3D11DeviceChild>(context.Get()));
    EXPECT_FALSE(Answers<ID3D11Device>(context.Get()));

    // One immediate context, which keeps its device alive.
    ComPtr<ID3D11DeviceContext> again;
    device->GetImmediateContext(again.GetAddressOf());
    EXPECT_EQ(again.Get(), context.Get());
    ComPtr<ID3D11Device> fromContext;
    context->GetDevice(fromContext.GetAddressOf());
    EXPECT_EQ(fromContext.Get(), device.Get());
    fromContext = nullptr;
    again = nullptr;
    device = nullptr;
    auto context3 = context.TryAs<ID3D11DeviceContext3>();
    Sync::Event flushed(Sync::Event::ResetMode::Manual);
    context3->Flush1(D3D11_CONTEXT_TYPE_COPY, &flushed);
    EXPECT_TRUE(flushed.Wait(Patience));
}

// ---- Textures --------------------------------------------------------------------------------

TEST(Texture, CreationRejectsWhatThisDeviceCannotMake)
{
    auto d = MakeDevice();
    ASSERT_TRUE(d.Device);
    struct Case
    {
        const char* Name;
        void (*Change)(D3D11_TEXTURE2D_DESC&);
    };
    const Case cases[] = {
        { "width 0", [](D3D11_TEXTURE2D_DESC& x) { x.Width = 0; } },
        { "height 0", [](D3D11_TEXTURE2D_DESC& x) { x.Height = 0; } },
        { "too wide", [](D3D11_TEXTURE2D_DESC& x) { x.Width = 16385; } },
        { "mip chain", [](D3D11_TEXTURE2D_DESC& x) { x.MipLevels = 0; } },
        { "two mips", [](D3D11_TEXTURE2D_DESC& x) { x.MipLevels = 2; } },
        { "array 0", [](D3D11_TEXTURE2D_DESC& x) { x.ArraySize = 0; } },
        { "multisampled", [](D3D11_TEXTURE2D_DESC& x) { x.SampleDesc.Count = 4; } },
        { "sample quality", [](D3D11_TEXTURE2D_DESC& x) { x.SampleDesc.Quality = 1; } },
        { "unknown format", [](D3D11_TEXTURE2D_DESC& x) { x.Format = static_cast<DXGI_FORMAT>(28); } },
        { "NV12 odd width", [](D3D11_TEXTURE2D_DESC& x) { x.Format = DXGI_FORMAT_NV12; x.Width = 63; } },
        { "NV12 odd height", [](D3D11_TEXTURE2D_DESC& x) { x.Format = DXGI_FORMAT_NV12; x.Height = 47; } },
        { "YUY2 odd width", [](D3D11_TEXTURE2D_DESC& x) { x.Format = DXGI_FORMAT_YUY2; x.Width = 63; } },
        { "shared both ways", [](D3D11_TEXTURE2D_DESC& x) { x.MiscFlags = D3D11_RESOURCE_MISC_SHARED | D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX; } },
        { "NT handle alone", [](D3D11_TEXTURE2D_DESC& x) { x.MiscFlags = D3D11_RESOURCE_MISC_SHARED_NTHANDLE; } },
        { "immutable without data", [](D3D11_TEXTURE2D_DESC& x) { x.Usage = D3D11_USAGE_IMMUTABLE; } },
        { "unknown usage", [](D3D11_TEXTURE2D_DESC& x) { x.Usage = static_cast<D3D11_USAGE>(9); } },
    };
    for (const auto& c : cases)
    {
        auto desc = TextureDesc(64, 48);
        c.Change(desc);
        ComPtr<ID3D11Texture2D> texture;
        EXPECT_EQ(d.Device->CreateTexture2D(&desc, nullptr, texture.GetAddressOf()), E_INVALIDARG) << c.Name;
        EXPECT_FALSE(texture) << c.Name;
    }
    EXPECT_EQ(d.Device->CreateTexture2D(nullptr, nullptr, nullptr), E_INVALIDARG);
    const auto good = TextureDesc(64, 48);
    EXPECT_EQ(d.Device->CreateTexture2D(&good, nullptr, nullptr), S_FALSE);
    const D3D11_SUBRESOURCE_DATA shortPitch { std::vector<uint8_t>(64 * 4 * 48).data(), 64 * 4 - 1, 0 };
    ComPtr<ID3D11Texture2D> texture;
    EXPECT_EQ(d.Device->CreateTexture2D(&good, &shortPitch, texture.GetAddressOf()), E_INVALIDARG);
}

TEST(Texture, HostMemoryHasAPitchedRowLayoutPerFormat)
{
    auto d = MakeDevice();
    struct Case
    {
        DXGI_FORMAT Format;
        UINT Width, Height, RowBytes, Rows;
    };
    const Case cases[] = {
        { DXGI_FORMAT_B8G8R8A8_UNORM, 1920, 1080, 7680, 1080 },
        { DXGI_FORMAT_B8G8R8A8_UNORM, 100, 3, 400, 3 },
        { DXGI_FORMAT_NV12, 1920, 1080, 1920, 1620 },
        { DXGI_FORMAT_NV12, 720, 480, 720, 720 },
        { DXGI_FORMAT_YUY2, 640, 480, 1280, 480 },
    };
    for (const auto& c : cases)
    {
        const auto desc = TextureDesc(c.Width, c.Height, c.Format, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE);
        auto texture = MakeTexture(d.Device.Get(), desc);
        ASSERT_TRUE(texture);
        D3D11_TEXTURE2D_DESC back;
        texture->GetDesc(&back);
        EXPECT_EQ(std::memcmp(&back, &desc, sizeof desc), 0);
        const auto memory = MemoryOf(texture.Get());
        EXPECT_EQ(memory.Width, c.Width);
        EXPECT_EQ(memory.Height, c.Height);
        EXPECT_EQ(memory.Format, c.Format);
        EXPECT_GE(memory.RowPitch, c.RowBytes);
        EXPECT_EQ(memory.RowPitch % 64, 0u);
        EXPECT_EQ(memory.Size, std::size_t(memory.RowPitch) * c.Rows);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(memory.Data) % 64, 0u);
        EXPECT_EQ(memory.ChromaPlane(), c.Format == DXGI_FORMAT_NV12 ? memory.Data + std::size_t(memory.RowPitch) * c.Height : nullptr);
        EXPECT_EQ(std::count(memory.Data, memory.Data + memory.Size, 0), std::ptrdiff_t(memory.Size)) << "new textures are zeroed";
    }
}

TEST(Texture, InitialDataFillsEverySliceAndPlane)
{
    auto d = MakeDevice();
    const UINT width = 8, height = 4, pitch = 11;
    std::vector<uint8_t> slice0(pitch * height * 3 / 2), slice1(pitch * height * 3 / 2);
    for (std::size_t i = 0; i < slice0.size(); ++i)
    {
        slice0[i] = static_cast<uint8_t>(i);
        slice1[i] = static_cast<uint8_t>(200 - i);
    }
    const D3D11_SUBRESOURCE_DATA data[] = { { slice0.data(), pitch, 0 }, { slice1.data(), pitch, 0 } };
    const auto desc = TextureDesc(width, height, DXGI_FORMAT_NV12, 0, 2);
    ComPtr<ID3D11Texture2D> texture;
    ASSERT_EQ(d.Device->CreateTexture2D(&desc, data, texture.GetAddressOf()), S_OK);
    for (UINT slice = 0; slice < 2; ++slice)
    {
        const auto memory = MemoryOf(texture.Get(), slice);
        const auto& source = slice == 0 ? slice0 : slice1;
        for (UINT row = 0; row < height * 3 / 2; ++row)
            for (UINT x = 0; x < width; ++x)
                ASSERT_EQ(At(memory, row, x), source[row * pitch + x]) << slice << " " << row << " " << x;
    }
    D3D11Host::TextureMemory memory;
    EXPECT_EQ(D3D11Host::GetTextureMemory(texture.Get(), 2, &memory), E_INVALIDARG);
    EXPECT_EQ(D3D11Host::GetTextureMemory(texture.Get(), 0, nullptr), E_POINTER);
    EXPECT_EQ(D3D11Host::GetTextureMemory(nullptr, 0, &memory), E_POINTER);
}

TEST(Texture, AnswersKeyedMutexOnlyWhenMadeWithIt)
{
    auto d = MakeDevice();
    const UINT flags[] = { 0, D3D11_RESOURCE_MISC_SHARED, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX,
                           D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE };
    for (UINT misc : flags)
    {
        auto texture = MakeTexture(d.Device.Get(), TextureDesc(16, 16, DXGI_FORMAT_B8G8R8A8_UNORM, misc));
        EXPECT_TRUE(Answers<IUnknown>(texture.Get()));
        EXPECT_TRUE(Answers<ID3D11Texture2D>(texture.Get()));
        EXPECT_TRUE(Answers<ID3D11Resource>(texture.Get()));
        EXPECT_TRUE(Answers<ID3D11DeviceChild>(texture.Get()));
        EXPECT_TRUE(Answers<IDXGISurface>(texture.Get()));
        EXPECT_TRUE(Answers<IDXGIDeviceSubObject>(texture.Get()));
        EXPECT_TRUE(Answers<IDXGIObject>(texture.Get()));
        EXPECT_FALSE(Answers<ID3D11Device>(texture.Get()));
        EXPECT_EQ(Answers<IDXGIKeyedMutex>(texture.Get()), (misc & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX) != 0) << misc;
    }
}

TEST(Texture, KeepsItsDeviceAlive)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(16, 16));
    ComPtr<ID3D11Device> device;
    texture->GetDevice(device.GetAddressOf());
    EXPECT_EQ(device.Get(), d.Device.Get());
    device = nullptr;
    const ULONG withTexture = CountOf(d.Device.Get());
    texture = nullptr;
    EXPECT_EQ(CountOf(d.Device.Get()), withTexture - 1);

    ComPtr<ID3D11Device> viaSurface;
    texture = MakeTexture(d.Device.Get(), TextureDesc(16, 16));
    d.Device = nullptr;
    d.Context = nullptr;
    ASSERT_EQ(texture.TryAs<IDXGISurface>()->GetDevice(IidOf<ID3D11Device>, reinterpret_cast<void**>(viaSurface.GetAddressOf())), S_OK);
    EXPECT_EQ(viaSurface->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_0);
}

TEST(Texture, SurfaceMapsTheFirstSubresource)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(33, 7));
    auto surface = texture.TryAs<IDXGISurface>();
    DXGI_SURFACE_DESC desc;
    ASSERT_EQ(surface->GetDesc(&desc), S_OK);
    EXPECT_EQ(desc.Width, 33u);
    EXPECT_EQ(desc.Height, 7u);
    EXPECT_EQ(desc.Format, DXGI_FORMAT_B8G8R8A8_UNORM);

    EXPECT_EQ(surface->Unmap(), DXGI_ERROR_INVALID_CALL);
    DXGI_MAPPED_RECT rect;
    ASSERT_EQ(surface->Map(&rect, DXGI_MAP_WRITE), S_OK);
    const auto memory = MemoryOf(texture.Get());
    EXPECT_EQ(rect.pBits, memory.Data);
    EXPECT_EQ(UINT(rect.Pitch), memory.RowPitch);
    EXPECT_EQ(surface->Unmap(), S_OK);
    EXPECT_EQ(surface->Unmap(), DXGI_ERROR_INVALID_CALL);
    EXPECT_EQ(surface->Map(nullptr, DXGI_MAP_READ), E_INVALIDARG);
    EXPECT_EQ(surface->Map(&rect, 0x80), DXGI_ERROR_INVALID_CALL);

    auto array = MakeTexture(d.Device.Get(), TextureDesc(8, 8, DXGI_FORMAT_B8G8R8A8_UNORM, 0, 2));
    EXPECT_EQ(array.TryAs<IDXGISurface>()->Map(&rect, DXGI_MAP_READ), DXGI_ERROR_INVALID_CALL);
}

// ---- Copies ----------------------------------------------------------------------------------

TEST(Copy, RegionLandsAtItsPositionAndNothingElseChanges)
{
    auto d = MakeDevice();
    struct Case
    {
        DXGI_FORMAT Format;
        UINT PixelBytes;
    };
    for (const Case c : { Case { DXGI_FORMAT_B8G8R8A8_UNORM, 4 }, Case { DXGI_FORMAT_YUY2, 2 }, Case { DXGI_FORMAT_NV12, 1 } })
    {
        auto source = MakeTexture(d.Device.Get(), TextureDesc(64, 32, c.Format));
        auto destination = MakeTexture(d.Device.Get(), TextureDesc(48, 40, c.Format));
        FillPattern(source.Get(), 1);
        FillPattern(destination.Get(), 100);
        const auto before = Snapshot(destination.Get());
        const D3D11_BOX box { 4, 6, 0, 20, 16, 1 }; // 16 x 10 from (4, 6)
        d.Context->CopySubresourceRegion(destination.Get(), 0, 10, 2, 0, source.Get(), 0, &box);
        Sync::Event done(Sync::Event::ResetMode::Auto);
        d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
        ASSERT_TRUE(done.Wait(Patience));

        const auto from = MemoryOf(source.Get());
        const auto to = MemoryOf(destination.Get());
        const auto expect = [&](UINT row, UINT byte, UINT sourceRow, UINT sourceByte, bool inside) {
            const uint8_t wanted = inside ? At(from, sourceRow, sourceByte) : before[std::size_t(row) * to.RowPitch + byte];
            ASSERT_EQ(At(to, row, byte), wanted) << c.Format << " row " << row << " byte " << byte;
        };
        for (UINT row = 0; row < 40; ++row)
            for (UINT byte = 0; byte < 48 * c.PixelBytes; ++byte)
            {
                const bool inside = row >= 2 && row < 12 && byte >= 10 * c.PixelBytes && byte < 26 * c.PixelBytes;
                expect(row, byte, row - 2 + 6, byte - 10 * c.PixelBytes + 4 * c.PixelBytes, inside);
            }
        if (c.Format == DXGI_FORMAT_NV12)
            for (UINT row = 40; row < 60; ++row) // chroma: rows 1..5 of the plane, bytes 10..25
                for (UINT byte = 0; byte < 48; ++byte)
                {
                    const UINT planeRow = row - 40;
                    const bool inside = planeRow >= 1 && planeRow < 6 && byte >= 10 && byte < 26;
                    expect(row, byte, 32 + planeRow - 1 + 3, byte - 10 + 4, inside);
                }
    }
}

TEST(Copy, WholeResourcesSlicesAndChainsRunInIssueOrder)
{
    auto d = MakeDevice();
    const auto desc = TextureDesc(1920, 1080);
    auto a = MakeTexture(d.Device.Get(), desc);
    auto b = MakeTexture(d.Device.Get(), desc);
    auto c = MakeTexture(d.Device.Get(), desc);
    FillPattern(a.Get(), 3);
    FillPattern(b.Get(), 77);
    // b <- a, then c <- b: c ends as a only when the copies run in order.
    d.Context->CopyResource(b.Get(), a.Get());
    d.Context->CopySubresourceRegion(c.Get(), 0, 0, 0, 0, b.Get(), 0, nullptr);
    Sync::Event done(Sync::Event::ResetMode::Auto);
    d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
    ASSERT_TRUE(done.Wait(Patience));
    EXPECT_EQ(Snapshot(c.Get()), Snapshot(a.Get()));

    auto slices = MakeTexture(d.Device.Get(), TextureDesc(16, 16, DXGI_FORMAT_B8G8R8A8_UNORM, 0, 3));
    auto single = MakeTexture(d.Device.Get(), TextureDesc(16, 16));
    FillPattern(single.Get(), 9);
    d.Context->CopySubresourceRegion(slices.Get(), 2, 0, 0, 0, single.Get(), 0, nullptr);
    d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
    ASSERT_TRUE(done.Wait(Patience));
    const auto slice2 = MemoryOf(slices.Get(), 2);
    const auto slice1 = MemoryOf(slices.Get(), 1);
    const auto original = MemoryOf(single.Get());
    EXPECT_EQ(std::memcmp(slice2.Data, original.Data, original.Size), 0);
    EXPECT_EQ(std::count(slice1.Data, slice1.Data + slice1.Size, 0), std::ptrdiff_t(slice1.Size));
}

TEST(Copy, InvalidCopiesAreDroppedWithATraceLine)
{
    auto d = MakeDevice();
    auto other = MakeDevice();
    auto bgra = MakeTexture(d.Device.Get(), TextureDesc(32, 32));
    auto target = MakeTexture(d.Device.Get(), TextureDesc(32, 32));
    auto nv12 = MakeTexture(d.Device.Get(), TextureDesc(32, 32, DXGI_FORMAT_NV12));
    auto nv12Target = MakeTexture(d.Device.Get(), TextureDesc(32, 32, DXGI_FORMAT_NV12));
    auto foreign = MakeTexture(other.Device.Get(), TextureDesc(32, 32));
    FillPattern(bgra.Get(), 5);
    FillPattern(nv12.Get(), 6);
    const auto targetBefore = Snapshot(target.Get());
    const auto nv12Before = Snapshot(nv12Target.Get());

    TestSupport::TraceCapture trace;
    const D3D11_BOX outside { 0, 0, 0, 33, 8, 1 };
    const D3D11_BOX deep { 0, 0, 0, 8, 8, 2 };
    const D3D11_BOX odd { 1, 0, 0, 8, 8, 1 };
    const D3D11_BOX big { 0, 0, 0, 32, 32, 1 };
    const D3D11_BOX corner { 0, 0, 0, 16, 16, 1 };
    auto& context = *d.Context.Get();
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, nv12.Get(), 0, nullptr);     // formats differ
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, bgra.Get(), 0, &outside);    // outside the source
    context.CopySubresourceRegion(target.Get(), 0, 1, 0, 0, bgra.Get(), 0, &big);        // outside the destination
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, bgra.Get(), 0, &deep);       // depth
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 1, bgra.Get(), 0, nullptr);     // z
    context.CopySubresourceRegion(target.Get(), 1, 0, 0, 0, bgra.Get(), 0, nullptr);     // subresource
    context.CopySubresourceRegion(nv12Target.Get(), 0, 0, 0, 0, nv12.Get(), 0, &odd);    // odd NV12 box
    context.CopySubresourceRegion(nv12Target.Get(), 0, 3, 0, 0, nv12.Get(), 0, &corner); // odd NV12 position
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, foreign.Get(), 0, nullptr);  // another device
    context.CopySubresourceRegion(nullptr, 0, 0, 0, 0, bgra.Get(), 0, nullptr);
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, nullptr, 0, nullptr);
    context.CopySubresourceRegion(bgra.Get(), 0, 8, 8, 0, bgra.Get(), 0, &corner);       // overlapping in place
    context.CopyResource(target.Get(), nv12.Get());
    const D3D11_BOX empty { 4, 4, 0, 4, 8, 1 };
    context.CopySubresourceRegion(target.Get(), 0, 0, 0, 0, bgra.Get(), 0, &empty); // empty: nothing, silently
    Sync::Event done(Sync::Event::ResetMode::Auto);
    context.Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
    ASSERT_TRUE(done.Wait(Patience));

    EXPECT_EQ(trace.LinesContaining("copy dropped").size(), 13u);
    EXPECT_EQ(Snapshot(target.Get()), targetBefore);
    EXPECT_EQ(Snapshot(nv12Target.Get()), nv12Before);

    // A non-overlapping copy within one subresource is fine.
    const auto bgraBefore = Snapshot(bgra.Get());
    context.CopySubresourceRegion(bgra.Get(), 0, 16, 16, 0, bgra.Get(), 0, &corner);
    context.Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
    ASSERT_TRUE(done.Wait(Patience));
    const auto memory = MemoryOf(bgra.Get());
    EXPECT_EQ(std::memcmp(memory.Data + 16 * memory.RowPitch + 64, bgraBefore.data(), 64), 0);
}

TEST(Copy, FlushEventIsSetOnlyAfterTheCopiesBeforeIt)
{
    auto d = MakeDevice();
    auto source = MakeTexture(d.Device.Get(), TextureDesc(1920, 1080));
    auto destination = MakeTexture(d.Device.Get(), TextureDesc(1920, 1080));
    FillPattern(source.Get(), 42);
    const auto expected = Snapshot(source.Get());
    // Raw view of the destination, read without waiting for the device.
    const auto view = MemoryOf(destination.Get());

    Sync::Event done(Sync::Event::ResetMode::Manual);
    {
        DeviceGate gate(d.Context.Get());
        d.Context->CopySubresourceRegion(destination.Get(), 0, 0, 0, 0, source.Get(), 0, nullptr);
        d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
        EXPECT_FALSE(done.Wait(0)) << "signalled while its copy is still queued";
        EXPECT_EQ(std::count(view.Data, view.Data + view.Size, 0), std::ptrdiff_t(view.Size));
        gate.Open();
        ASSERT_TRUE(done.Wait(Patience));
        EXPECT_EQ(std::memcmp(view.Data, expected.data(), view.Size), 0);
    }
    // A null event is allowed; a flush with nothing queued still signals.
    d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, nullptr);
    done.Reset();
    d.Context->Flush1(D3D11_CONTEXT_TYPE_ALL, &done);
    EXPECT_TRUE(done.Wait(Patience));
}

TEST(Copy, HostAccessWaitsForQueuedCopies)
{
    auto d = MakeDevice();
    auto source = MakeTexture(d.Device.Get(), TextureDesc(64, 64));
    auto destination = MakeTexture(d.Device.Get(), TextureDesc(64, 64));
    FillPattern(source.Get(), 11);
    const auto expected = Snapshot(source.Get());
    std::atomic<bool> mapped { false };
    std::vector<uint8_t> seen;
    std::thread reader;
    {
        DeviceGate gate(d.Context.Get());
        d.Context->CopySubresourceRegion(destination.Get(), 0, 0, 0, 0, source.Get(), 0, nullptr);
        reader = std::thread([&] {
            seen = Snapshot(destination.Get()); // waits for the copy
            mapped = true;
        });
        EXPECT_FALSE(mapped.load());
        gate.Open();
        reader.join();
    }
    EXPECT_TRUE(mapped.load());
    EXPECT_EQ(seen, expected);
}

TEST(Copy, DeviceReleasedByItsOwnThreadFinishesCleanly)
{
    auto d = MakeDevice();
    auto source = MakeTexture(d.Device.Get(), TextureDesc(256, 256));
    auto destination = MakeTexture(d.Device.Get(), TextureDesc(256, 256));
    auto reached = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Manual);
    auto opened = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Manual);
    auto gate = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Auto);
    gate->RegisterWait([reached, opened, gate] {
        reached->Set();
        opened->Wait();
    });
    d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, gate.get());
    ASSERT_TRUE(reached->Wait(Patience));
    d.Context->CopySubresourceRegion(destination.Get(), 0, 0, 0, 0, source.Get(), 0, nullptr);
    // Only the queued copy holds the textures, and through them the device, now.
    d = {};
    source = nullptr;
    destination = nullptr;
    opened->Set();
}

// ---- Keyed mutexes ---------------------------------------------------------------------------

TEST(KeyedMutex, AcquireAndReleaseFollowTheKeys)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(16, 16, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX));
    auto mutex = texture.TryAs<IDXGIKeyedMutex>();
    ASSERT_TRUE(mutex);

    EXPECT_EQ(mutex->ReleaseSync(0), E_FAIL) << "not acquired";
    EXPECT_EQ(mutex->AcquireSync(1, 0), WAIT_TIMEOUT) << "a new mutex is released with key 0";
    EXPECT_EQ(mutex->AcquireSync(0, 0), S_OK);
    EXPECT_EQ(mutex->AcquireSync(0, 0), WAIT_TIMEOUT) << "held";
    EXPECT_EQ(mutex->ReleaseSync(5), S_OK);
    EXPECT_EQ(mutex->ReleaseSync(5), E_FAIL);
    EXPECT_EQ(mutex->AcquireSync(0, 0), WAIT_TIMEOUT);
    EXPECT_EQ(mutex->AcquireSync(5, 20), S_OK);
    EXPECT_EQ(mutex->ReleaseSync(0), S_OK);
    EXPECT_TRUE(SUCCEEDED(WAIT_TIMEOUT)) << "the platform's time-out passes SUCCEEDED: callers compare with S_OK";

    ComPtr<ID3D11Device> device;
    ASSERT_EQ(mutex->GetDevice(IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf())), S_OK);
    EXPECT_EQ(device.Get(), d.Device.Get());
}

TEST(KeyedMutex, WrongKeyWaitsAcrossThreadsUntilReleasedWithIt)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(16, 16, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX));
    auto mutex = texture.TryAs<IDXGIKeyedMutex>();
    ASSERT_EQ(mutex->AcquireSync(0, INFINITE), S_OK);

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
    ASSERT_TRUE(tried.Wait(Patience));
    EXPECT_EQ(timedOut, WAIT_TIMEOUT);
    EXPECT_FALSE(acquired.load());
    ASSERT_EQ(mutex->ReleaseSync(2), S_OK); // a key nobody waits for
    EXPECT_EQ(mutex->AcquireSync(2, INFINITE), S_OK);
    EXPECT_FALSE(acquired.load());
    ASSERT_EQ(mutex->ReleaseSync(1), S_OK);
    consumer.join();
    EXPECT_EQ(waited, S_OK);
    EXPECT_EQ(mutex->AcquireSync(0, Patience), S_OK);
    EXPECT_EQ(mutex->ReleaseSync(0), S_OK);
}

TEST(KeyedMutex, AcquireWaitsForCopiesIssuedBeforeTheRelease)
{
    auto d = MakeDevice();
    const UINT misc = D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE;
    auto sample = MakeTexture(d.Device.Get(), TextureDesc(128, 64, DXGI_FORMAT_B8G8R8A8_UNORM, misc));
    auto render = MakeTexture(d.Device.Get(), TextureDesc(128, 64));
    FillPattern(render.Get(), 21);
    const auto expected = Snapshot(render.Get());
    auto mutex = sample.TryAs<IDXGIKeyedMutex>();
    {
        DeviceGate gate(d.Context.Get());
        // The producer: acquire, queue the copy, release at once (the device runs it later).
        ASSERT_EQ(mutex->AcquireSync(0, INFINITE), S_OK);
        d.Context->CopySubresourceRegion(sample.Get(), 0, 0, 0, 0, render.Get(), 0, nullptr);
        ASSERT_EQ(mutex->ReleaseSync(0), S_OK);
        // The consumer cannot have it while the copy is queued; the failed attempt leaves it free.
        EXPECT_EQ(mutex->AcquireSync(0, 0), WAIT_TIMEOUT);
        gate.Open();
        ASSERT_EQ(mutex->AcquireSync(0, INFINITE), S_OK);
        const auto view = MemoryOf(sample.Get());
        EXPECT_EQ(std::memcmp(view.Data, expected.data(), view.Size), 0);
        EXPECT_EQ(mutex->ReleaseSync(0), S_OK);
    }
}

// ---- Multithread protection ------------------------------------------------------------------

TEST(Multithread, ProtectionExcludesOtherThreadsWhileEntered)
{
    auto d = MakeDevice();
    auto multithread = d.Device.TryAs<ID3D10Multithread>();
    ASSERT_TRUE(multithread);
    EXPECT_EQ(multithread->GetMultithreadProtected(), 0);
    EXPECT_EQ(multithread->SetMultithreadProtected(1), 0);
    EXPECT_EQ(multithread->SetMultithreadProtected(1), 1);
    EXPECT_EQ(multithread->GetMultithreadProtected(), 1);
    ComPtr<ID3D10Multithread> fromContext;
    ASSERT_EQ(d.Context.As(&fromContext), S_OK);
    EXPECT_EQ(fromContext.Get(), multithread.Get());

    multithread->Enter();
    multithread->Enter(); // nests on this thread
    auto own = MakeTexture(d.Device.Get(), TextureDesc(8, 8)); // and the device's calls pass on it
    EXPECT_TRUE(own);
    std::atomic<bool> created { false };
    std::thread other([&] {
        auto texture = MakeTexture(d.Device.Get(), TextureDesc(8, 8));
        created = texture != nullptr;
    });
    multithread->Leave();
    EXPECT_FALSE(created.load()) << "another thread's call ran inside Enter";
    multithread->Leave();
    other.join();
    EXPECT_TRUE(created.load());
}
