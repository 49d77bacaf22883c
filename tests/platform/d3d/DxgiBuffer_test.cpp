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

class Plain : public ComObject<IMFAsyncCallback>
{
public:
    HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult*) override { return E_NOTIMPL; }
};
} // namespace

TEST(DxgiBuffer, CreationChecksItsArguments)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(64, 32, DXGI_FORMAT_B8G8R8A8_UNORM, 0, 2));
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, texture.Get(), 0, 0, nullptr), E_POINTER);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<IDXGISurface>, texture.Get(), 0, 0, buffer.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, nullptr, 0, 0, buffer.GetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, texture.Get(), 2, 0, buffer.GetAddressOf()), E_INVALIDARG);
    auto plain = Make<Plain>();
    EXPECT_EQ(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, plain->AsUnknown(), 0, 0, buffer.GetAddressOf()), E_NOINTERFACE);
    EXPECT_FALSE(buffer);

    const ULONG before = CountOf(texture.Get());
    buffer = MakeBuffer(texture.Get(), 1);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(CountOf(texture.Get()), before + 1);
    EXPECT_TRUE(Answers<IMFMediaBuffer>(buffer.Get()));
    EXPECT_TRUE(Answers<IMF2DBuffer>(buffer.Get()));
    EXPECT_TRUE(Answers<IMFDXGIBuffer>(buffer.Get()));
    EXPECT_FALSE(Answers<ID3D11Texture2D>(buffer.Get()));

    auto dxgi = buffer.TryAs<IMFDXGIBuffer>();
    UINT32 index = 0;
    ASSERT_EQ(dxgi->GetSubresourceIndex(&index), S_OK);
    EXPECT_EQ(index, 1u);
    ComPtr<ID3D11Texture2D> resource;
    ASSERT_EQ(dxgi->GetResource(IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(resource.GetAddressOf())), S_OK);
    EXPECT_EQ(resource.Get(), texture.Get());
    buffer = nullptr;
    dxgi = nullptr;
    resource = nullptr;
    EXPECT_EQ(CountOf(texture.Get()), before);
}

TEST(DxgiBuffer, LengthsFollowTheContiguousForm)
{
    auto d = MakeDevice();
    struct Case
    {
        DXGI_FORMAT Format;
        UINT Width, Height;
        DWORD Length;
    };
    for (const Case c : { Case { DXGI_FORMAT_B8G8R8A8_UNORM, 1920, 1080, 1920 * 1080 * 4 }, Case { DXGI_FORMAT_NV12, 1920, 1080, 1920 * 1080 * 3 / 2 },
                          Case { DXGI_FORMAT_YUY2, 100, 10, 100 * 10 * 2 }, Case { DXGI_FORMAT_B8G8R8A8_UNORM, 100, 3, 1200 } })
    {
        auto buffer = MakeBuffer(MakeTexture(d.Device.Get(), TextureDesc(c.Width, c.Height, c.Format)).Get());
        DWORD length = 0, maximum = 0, current = 1;
        ASSERT_EQ(buffer.TryAs<IMF2DBuffer>()->GetContiguousLength(&length), S_OK);
        EXPECT_EQ(length, c.Length);
        ASSERT_EQ(buffer->GetMaxLength(&maximum), S_OK);
        EXPECT_EQ(maximum, c.Length);
        ASSERT_EQ(buffer->GetCurrentLength(&current), S_OK);
        EXPECT_EQ(current, 0u);
        EXPECT_EQ(buffer->SetCurrentLength(c.Length + 1), E_INVALIDARG);
        ASSERT_EQ(buffer->SetCurrentLength(c.Length), S_OK);
        ASSERT_EQ(buffer->GetCurrentLength(&current), S_OK);
        EXPECT_EQ(current, c.Length);
    }
}

TEST(DxgiBuffer, LockMapsPackedTexturesInPlace)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(64, 16));
    FillPattern(texture.Get(), 1);
    auto buffer = MakeBuffer(texture.Get());
    BYTE* data = nullptr;
    DWORD maximum = 0;
    ASSERT_EQ(buffer->Lock(&data, &maximum, nullptr), S_OK);
    EXPECT_EQ(data, MemoryOf(texture.Get()).Data);
    EXPECT_EQ(maximum, 64u * 16 * 4);
    BYTE* again = nullptr;
    ASSERT_EQ(buffer->Lock(&again, nullptr, nullptr), S_OK) << "locks nest";
    EXPECT_EQ(again, data);
    EXPECT_EQ(buffer->Unlock(), S_OK);
    EXPECT_EQ(buffer->Unlock(), S_OK);
    EXPECT_EQ(buffer->Unlock(), HResultFromWin32(687)) << "ERROR_WAS_UNLOCKED";
    EXPECT_EQ(buffer->Lock(nullptr, nullptr, nullptr), E_POINTER);
}

TEST(DxgiBuffer, LockOfPaddedRowsWorksOnACopyWrittenBackAtTheLastUnlock)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(100, 3)); // 400 bytes a row, pitch 448
    FillPattern(texture.Get(), 7);
    const auto memory = MemoryOf(texture.Get());
    ASSERT_NE(memory.RowPitch, 400u);
    auto buffer = MakeBuffer(texture.Get());

    BYTE* data = nullptr;
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    for (UINT row = 0; row < 3; ++row)
        EXPECT_EQ(std::memcmp(data + row * 400, memory.Data + row * memory.RowPitch, 400), 0) << row;
    std::memset(data + 400, 0xAB, 400); // row 1
    BYTE* nested = nullptr;
    ASSERT_EQ(buffer->Lock(&nested, nullptr, nullptr), S_OK);
    EXPECT_EQ(nested, data);
    ASSERT_EQ(buffer->Unlock(), S_OK);
    EXPECT_NE(memory.Data[memory.RowPitch], 0xAB) << "written back only at the last unlock";
    ASSERT_EQ(buffer->Unlock(), S_OK);
    for (UINT x = 0; x < 400; ++x)
        ASSERT_EQ(memory.Data[memory.RowPitch + x], 0xAB) << x;
    EXPECT_NE(memory.Data[0], 0xAB);
}

TEST(DxgiBuffer, BottomUpContiguousFormStartsWithTheLastRow)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(16, 4));
    FillPattern(texture.Get(), 3);
    const auto memory = MemoryOf(texture.Get());
    auto buffer = MakeBuffer(texture.Get(), 0, 1);
    std::vector<BYTE> copy(16 * 4 * 4);
    auto twoD = buffer.TryAs<IMF2DBuffer>();
    EXPECT_EQ(twoD->ContiguousCopyTo(copy.data(), DWORD(copy.size() - 1)), E_INVALIDARG);
    ASSERT_EQ(twoD->ContiguousCopyTo(copy.data(), DWORD(copy.size())), S_OK);
    for (UINT row = 0; row < 4; ++row)
        EXPECT_EQ(std::memcmp(copy.data() + row * 64, memory.Data + (3 - row) * memory.RowPitch, 64), 0) << row;

    BYTE* data = nullptr;
    ASSERT_EQ(buffer->Lock(&data, nullptr, nullptr), S_OK);
    EXPECT_NE(data, memory.Data) << "the bottom-up form is a copy";
    EXPECT_EQ(std::memcmp(data, copy.data(), copy.size()), 0);
    ASSERT_EQ(buffer->Unlock(), S_OK);

    // Copying in reverses again; Lock2D always shows the texture's own rows.
    std::vector<BYTE> incoming(copy.size());
    for (std::size_t i = 0; i < incoming.size(); ++i)
        incoming[i] = static_cast<BYTE>(i / 64); // contiguous row r holds r
    ASSERT_EQ(twoD->ContiguousCopyFrom(incoming.data(), DWORD(incoming.size())), S_OK);
    BYTE* scanline0 = nullptr;
    LONG pitch = 0;
    ASSERT_EQ(twoD->Lock2D(&scanline0, &pitch), S_OK);
    EXPECT_EQ(scanline0, memory.Data);
    EXPECT_EQ(UINT(pitch), memory.RowPitch);
    EXPECT_EQ(scanline0[0], 3); // texture row 0 is contiguous row 3
    EXPECT_EQ(scanline0[3 * pitch], 0);
    ASSERT_EQ(twoD->Unlock2D(), S_OK);
}

TEST(DxgiBuffer, NV12ContiguousFormHoldsBothPlanes)
{
    auto d = MakeDevice();
    auto texture = MakeTexture(d.Device.Get(), TextureDesc(720, 4, DXGI_FORMAT_NV12)); // pitch 768
    FillPattern(texture.Get(), 5);
    const auto memory = MemoryOf(texture.Get());
    auto buffer = MakeBuffer(texture.Get(), 0, 1); // bottom-up has no meaning for NV12
    std::vector<BYTE> copy(720 * 6);
    ASSERT_EQ(buffer.TryAs<IMF2DBuffer>()->ContiguousCopyTo(copy.data(), DWORD(copy.size())), S_OK);
    for (UINT row = 0; row < 6; ++row)
        EXPECT_EQ(std::memcmp(copy.data() + row * 720, memory.Data + row * memory.RowPitch, 720), 0) << row;
    BOOL contiguous = 1;
    ASSERT_EQ(buffer.TryAs<IMF2DBuffer>()->IsContiguousFormat(&contiguous), S_OK);
    EXPECT_EQ(contiguous, 0);
}

TEST(DxgiBuffer, LockAndLock2DExcludeEachOther)
{
    auto d = MakeDevice();
    auto buffer = MakeBuffer(MakeTexture(d.Device.Get(), TextureDesc(64, 8)).Get());
    auto twoD = buffer.TryAs<IMF2DBuffer>();
    BYTE* data = nullptr;
    LONG pitch = 0;
    EXPECT_EQ(twoD->GetScanline0AndPitch(&data, &pitch), HResultFromWin32(687));
    EXPECT_EQ(twoD->Unlock2D(), HResultFromWin32(687));
    ASSERT_EQ(twoD->Lock2D(&data, &pitch), S_OK);
    BYTE* again = nullptr;
    LONG againPitch = 0;
    ASSERT_EQ(twoD->GetScanline0AndPitch(&again, &againPitch), S_OK);
    EXPECT_EQ(again, data);
    EXPECT_EQ(againPitch, pitch);
    EXPECT_EQ(buffer->Lock(&again, nullptr, nullptr), MF_E_INVALIDREQUEST);
    ASSERT_EQ(twoD->Unlock2D(), S_OK);
    ASSERT_EQ(buffer->Lock(&again, nullptr, nullptr), S_OK);
    EXPECT_EQ(twoD->Lock2D(&data, &pitch), MF_E_INVALIDREQUEST);
    ASSERT_EQ(buffer->Unlock(), S_OK);
}

TEST(DxgiBuffer, KeepsObjectsByKey)
{
    auto d = MakeDevice();
    auto buffer = MakeBuffer(MakeTexture(d.Device.Get(), TextureDesc(8, 8)).Get());
    auto dxgi = buffer.TryAs<IMFDXGIBuffer>();
    const GUID key = Guid::Parse("0b3f6d2e-5d5c-4b8e-9b7c-2a1e3c4d5e6f");
    auto plain = Make<Plain>();
    ComPtr<IMFAsyncCallback> out;
    EXPECT_EQ(dxgi->GetUnknown(key, IidOf<IMFAsyncCallback>, reinterpret_cast<void**>(out.GetAddressOf())), MF_E_NOT_FOUND);
    const ULONG before = CountOf(plain.Get());
    ASSERT_EQ(dxgi->SetUnknown(key, plain.Get()), S_OK);
    EXPECT_EQ(CountOf(plain.Get()), before + 1);
    EXPECT_EQ(dxgi->SetUnknown(key, plain.Get()), HResultFromWin32(5010)) << "ERROR_OBJECT_ALREADY_EXISTS";
    ASSERT_EQ(dxgi->GetUnknown(key, IidOf<IMFAsyncCallback>, reinterpret_cast<void**>(out.GetAddressOf())), S_OK);
    EXPECT_EQ(out.Get(), plain.Get());
    out = nullptr;
    ASSERT_EQ(dxgi->SetUnknown(key, nullptr), S_OK);
    EXPECT_EQ(CountOf(plain.Get()), before);
    EXPECT_EQ(dxgi->GetUnknown(key, IidOf<IMFAsyncCallback>, reinterpret_cast<void**>(out.GetAddressOf())), MF_E_NOT_FOUND);
}
