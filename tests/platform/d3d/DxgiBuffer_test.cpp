#include "DeviceTestSupport.h"

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <vector>

using namespace D3DTest;

namespace
{
ComPtr<IMFMediaBuffer> MakeBuffer(ID3D11Texture2D* texture, UINT32 subresource = 0, BOOL bottomUp = 0)
{
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, texture, subresource, bottomUp, buffer.GetAddressOf()), S_OK);
    return buffer;
}

constexpr HRESULT ErrorWasUnlocked = HResultFromWin32(687);
} // namespace

TEST(DxgiBuffer, WrapsOneSubresourceOfATexture)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(64, 32, DXGI_FORMAT_B8G8R8A8_UNORM, 0, 2));
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, texture.Get(), 0, 0, nullptr), E_POINTER);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<IDXGISurface>, texture.Get(), 0, 0, buffer.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, nullptr, 0, 0, buffer.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, texture.Get(), 2, 0, buffer.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, d.Device.Get(), 0, 0, buffer.GetAddressOf()), E_NOINTERFACE);

    const ULONG before = CountOf(texture.Get());
    buffer = MakeBuffer(texture.Get(), 1);
    EXPECT_EQ(CountOf(texture.Get()), before + 1);
    auto dxgi = buffer.TryAs<IMFDXGIBuffer>();
    UINT32 index = 0;
    ASSERT_EQ(dxgi->GetSubresourceIndex(&index), S_OK);
    EXPECT_EQ(index, 1u);
    ComPtr<ID3D11Texture2D> resource;
    ASSERT_EQ(dxgi->GetResource(IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(resource.GetAddressOf())), S_OK);
    EXPECT_EQ(resource.Get(), texture.Get());

    // Objects kept by key: one per key, null removes.
    const GUID key = Guid::Parse("0b3f6d2e-5d5c-4b8e-9b7c-2a1e3c4d5e6f");
    ComPtr<ID3D11Device> out;
    EXPECT_EQ(dxgi->GetUnknown(key, IidOf<ID3D11Device>, reinterpret_cast<void**>(out.GetAddressOf())), MF_E_NOT_FOUND);
    ASSERT_EQ(dxgi->SetUnknown(key, d.Device.Get()), S_OK);
    EXPECT_EQ(dxgi->SetUnknown(key, d.Device.Get()), HResultFromWin32(5010)) << "ERROR_OBJECT_ALREADY_EXISTS";
    ASSERT_EQ(dxgi->GetUnknown(key, IidOf<ID3D11Device>, reinterpret_cast<void**>(out.GetAddressOf())), S_OK);
    EXPECT_EQ(out.Get(), d.Device.Get());
    ASSERT_EQ(dxgi->SetUnknown(key, nullptr), S_OK);
    EXPECT_EQ(dxgi->GetUnknown(key, IidOf<ID3D11Device>, reinterpret_cast<void**>(out.ReleaseAndGetAddressOf())), MF_E_NOT_FOUND);
}

TEST(DxgiBuffer, LengthsFollowThePackedContiguousForm)
{
    auto d = MakeDevice();
    struct Case
    {
        DXGI_FORMAT Format;
        UINT Width, Height;
        DWORD Length;
        BOOL Contiguous;
    };
    for (const Case c : { Case { DXGI_FORMAT_B8G8R8A8_UNORM, 1920, 1080, 1920 * 1080 * 4, 1 }, Case { DXGI_FORMAT_NV12, 1920, 1080, 1920 * 1080 * 3 / 2, 1 },
                          Case { DXGI_FORMAT_NV12, 720, 4, 720 * 6, 0 }, Case { DXGI_FORMAT_B8G8R8A8_UNORM, 100, 3, 1200, 0 } })
    {
        auto texture = MakeTexture(d.Device.Get(), TextureDesc(c.Width, c.Height, c.Format));
        auto buffer = MakeBuffer(texture.Get());
        auto twoD = buffer.TryAs<IMF2DBuffer>();
        DWORD length = 0, maximum = 0;
        BOOL contiguous = 2;
        ASSERT_EQ(twoD->GetContiguousLength(&length), S_OK);
        ASSERT_EQ(buffer->GetMaxLength(&maximum), S_OK);
        ASSERT_EQ(twoD->IsContiguousFormat(&contiguous), S_OK);
        EXPECT_EQ(length, c.Length);
        EXPECT_EQ(maximum, c.Length);
        EXPECT_EQ(contiguous, c.Contiguous);
        EXPECT_EQ(buffer->SetCurrentLength(c.Length + 1), E_INVALIDARG);
        EXPECT_EQ(buffer->SetCurrentLength(c.Length), S_OK);

        // The contiguous copy holds the rows packed, both planes of NV12.
        FillPattern(texture.Get(), 5);
        const auto memory = MemoryOf(texture.Get());
        std::vector<BYTE> copy(length);
        ASSERT_EQ(twoD->ContiguousCopyTo(copy.data(), length), S_OK);
        const UINT rowBytes = D3D11Host::RowBytes(c.Format, c.Width);
        for (UINT row = 0; row < length / rowBytes; ++row)
            ASSERT_EQ(std::memcmp(copy.data() + std::size_t(row) * rowBytes, memory.Data + std::size_t(row) * memory.RowPitch, rowBytes), 0) << row;
    }
}

TEST(DxgiBuffer, LockMapsPackedRowsInPlaceCopiesPaddedOnesAndExcludesLock2D)
{
    auto d = MakeDevice();
    auto packed = MakeTexture(d.Device.Get(), TextureDesc(64, 16));
    auto buffer = MakeBuffer(packed.Get());
    auto twoD = buffer.TryAs<IMF2DBuffer>();
    BYTE *data = nullptr, *again = nullptr;
    LONG pitch = 0;
    EXPECT_EQ(twoD->GetScanline0AndPitch(&data, &pitch), ErrorWasUnlocked);
    EXPECT_EQ(twoD->Unlock2D(), ErrorWasUnlocked);
    ASSERT_EQ(twoD->Lock2D(&again, &pitch), S_OK);
    EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), MF_E_INVALIDREQUEST);
    ASSERT_EQ(twoD->Unlock2D(), S_OK);
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    EXPECT_EQ(data, MemoryOf(packed.Get()).Data);
    EXPECT_EQ(twoD->Lock2D(&again, &pitch), MF_E_INVALIDREQUEST);
    EXPECT_EQ(buffer->Unlock(), S_OK);
    EXPECT_EQ(buffer->Unlock(), ErrorWasUnlocked);

    auto padded = MakeTexture(d.Device.Get(), TextureDesc(100, 3)); // 400 bytes a row, pitch 448
    FillPattern(padded.Get(), 7);
    const auto memory = MemoryOf(padded.Get());
    buffer = MakeBuffer(padded.Get());
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::memcmp(data + 400, memory.Data + memory.RowPitch, 400), 0);
    std::memset(data + 400, 0xAB, 400); // row 1
    BYTE* nested = nullptr;
    ASSERT_EQ(buffer->Lock(&nested, nullptr, nullptr), S_OK);
    EXPECT_EQ(nested, data);
    ASSERT_EQ(buffer->Unlock(), S_OK);
    EXPECT_NE(memory.Data[memory.RowPitch], 0xAB) << "written back only at the last unlock";
    ASSERT_EQ(buffer->Unlock(), S_OK);
    EXPECT_EQ(std::count(memory.Data + memory.RowPitch, memory.Data + memory.RowPitch + 400, 0xAB), 400);
    EXPECT_NE(memory.Data[0], 0xAB);
}

TEST(DxgiBuffer, BottomUpContiguousFormStartsWithTheLastRow)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(16, 4));
    const auto memory = MemoryOf(texture.Get());
    auto buffer = MakeBuffer(texture.Get(), 0, 1);
    auto twoD = buffer.TryAs<IMF2DBuffer>();
    std::vector<BYTE> incoming(16 * 4 * 4);
    for (std::size_t i = 0; i < incoming.size(); ++i)
        incoming[i] = static_cast<BYTE>(i / 64); // contiguous row r holds r
    EXPECT_EQ(twoD->ContiguousCopyFrom(incoming.data(), DWORD(incoming.size() - 1)), E_INVALIDARG);
    ASSERT_EQ(twoD->ContiguousCopyFrom(incoming.data(), DWORD(incoming.size())), S_OK);
    EXPECT_EQ(memory.Data[0], 3);
    EXPECT_EQ(memory.Data[3 * memory.RowPitch], 0);

    BYTE *data = nullptr, *scanline0 = nullptr;
    LONG pitch = 0;
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::memcmp(data, incoming.data(), incoming.size()), 0);
    ASSERT_EQ(buffer->Unlock(), S_OK);
    ASSERT_EQ(twoD->Lock2D(&scanline0, &pitch), S_OK); // always the texture's own rows
    EXPECT_EQ(scanline0, memory.Data);
    EXPECT_EQ(UINT(pitch), memory.RowPitch);
    ASSERT_EQ(twoD->GetScanline0AndPitch(&data, &pitch), S_OK);
    EXPECT_EQ(data, memory.Data);
    ASSERT_EQ(twoD->Unlock2D(), S_OK);
}
