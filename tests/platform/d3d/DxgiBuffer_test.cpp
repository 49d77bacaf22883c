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
} // namespace

TEST(DxgiBuffer, WrapsOneSubresourceOfATexture)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(64, 32, DXGI_FORMAT_B8G8R8A8_UNORM, 0, 2));
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<IDXGISurface>, texture.Get(), 0, 0, buffer.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, texture.Get(), 2, 0, buffer.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, d.Device.Get(), 0, 0, buffer.GetAddressOf()), E_NOINTERFACE);

    const ULONG before = CountOf(texture.Get());
    buffer = MakeBuffer(texture.Get(), 1);
    EXPECT_EQ(CountOf(texture.Get()), before + 1);
    UINT32 index = 0;
    ASSERT_EQ(buffer.TryAs<IMFDXGIBuffer>()->GetSubresourceIndex(&index), S_OK);
    EXPECT_EQ(index, 1u);
}

TEST(DxgiBuffer, LengthsAndLockFollowThePackedContiguousForm)
{
    auto d = MakeDevice();
    struct Case
    {
        DXGI_FORMAT Format;
        UINT Width, Height;
        DWORD Length;
    };
    for (const Case c : { Case { DXGI_FORMAT_NV12, 720, 4, 720 * 6 }, Case { DXGI_FORMAT_B8G8R8A8_UNORM, 100, 3, 1200 } })
    {
        auto texture = MakeTexture(d.Device.Get(), TextureDesc(c.Width, c.Height, c.Format));
        auto buffer = MakeBuffer(texture.Get());
        DWORD length = 0, maximum = 0;
        ASSERT_EQ(buffer.TryAs<IMF2DBuffer>()->GetContiguousLength(&length), S_OK);
        EXPECT_EQ(length, c.Length);
        EXPECT_EQ(buffer->SetCurrentLength(c.Length + 1), E_INVALIDARG);

        // Lock holds the rows packed, both planes of NV12.
        FillPattern(texture.Get(), 5);
        const auto memory = MemoryOf(texture.Get());
        BYTE* data = nullptr;
        ASSERT_EQ(buffer->Lock(&data, &maximum, &length), S_OK);
        EXPECT_EQ(maximum, c.Length);
        const UINT rowBytes = D3D11Host::RowBytes(c.Format, c.Width);
        for (UINT row = 0; row < c.Length / rowBytes; ++row)
            ASSERT_EQ(std::memcmp(data + std::size_t(row) * rowBytes, memory.Data + std::size_t(row) * memory.RowPitch, rowBytes), 0) << row;
        ASSERT_EQ(buffer->Unlock(), S_OK);
    }
}

TEST(DxgiBuffer, LockMapsPackedRowsInPlaceAndCopiesPaddedOrBottomUpOnesBackAtTheLastUnlock)
{
    constexpr HRESULT ErrorWasUnlocked = HResultFromWin32(687);
    auto d = MakeDevice();
    auto packed = MakeTexture(d.Device.Get(), TextureDesc(64, 16));
    auto buffer = MakeBuffer(packed.Get());
    BYTE* data = nullptr;
    EXPECT_EQ(buffer->Unlock(), ErrorWasUnlocked);
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    EXPECT_EQ(data, MemoryOf(packed.Get()).Data);
    EXPECT_EQ(buffer->Unlock(), S_OK);

    auto padded = MakeTexture(d.Device.Get(), TextureDesc(100, 3)); // 400 bytes a row, pitch 448
    FillPattern(padded.Get(), 7);
    const auto memory = MemoryOf(padded.Get());
    buffer = MakeBuffer(padded.Get());
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    EXPECT_EQ(std::memcmp(data + 400, memory.Data + memory.RowPitch, 400), 0);
    std::memset(data + 400, 0xAB, 400); // row 1
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK); // nested
    ASSERT_EQ(buffer->Unlock(), S_OK);
    EXPECT_NE(memory.Data[memory.RowPitch], 0xAB) << "written back only at the last unlock";
    ASSERT_EQ(buffer->Unlock(), S_OK);
    EXPECT_EQ(std::count(memory.Data + memory.RowPitch, memory.Data + memory.RowPitch + 400, 0xAB), 400);
    EXPECT_EQ(buffer->Unlock(), ErrorWasUnlocked);

    // Bottom-up: the contiguous form starts with the texture's last row.
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(16, 4));
    const auto rows = MemoryOf(texture.Get());
    buffer = MakeBuffer(texture.Get(), 0, 1);
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    for (std::size_t i = 0; i < 16 * 4 * 4; ++i)
        data[i] = static_cast<BYTE>(i / 64); // contiguous row r holds r
    ASSERT_EQ(buffer->Unlock(), S_OK);
    EXPECT_EQ(rows.Data[0], 3);
    EXPECT_EQ(rows.Data[3 * rows.RowPitch], 0);
}
