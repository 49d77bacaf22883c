#pragma once
// Helpers for the device tests: a device on the software adapter, textures, pixel access and a
// gate that holds the device thread.

#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"

#include "fakes/Platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace D3DTest
{
using TestSupport::PatienceMilliseconds;
inline constexpr auto& CountOf = TestSupport::RefCount;

struct DeviceAndContext
{
    ComPtr<ID3D11Device> Device;
    ComPtr<ID3D11DeviceContext3> Context;
};

inline DeviceAndContext MakeDevice()
{
    DeviceAndContext result;
    ComPtr<ID3D11DeviceContext> context;
    EXPECT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, D3D11_SDK_VERSION,
                                result.Device.GetAddressOf(), nullptr, context.GetAddressOf()), S_OK);
    EXPECT_EQ(context ? context.As(&result.Context) : E_POINTER, S_OK);
    return result;
}

inline D3D11_TEXTURE2D_DESC TextureDesc(UINT width, UINT height, DXGI_FORMAT format = DXGI_FORMAT_B8G8R8A8_UNORM, UINT miscFlags = 0,
                                        UINT arraySize = 1)
{
    return D3D11_TEXTURE2D_DESC { width, height, 1, arraySize, format, { 1, 0 }, D3D11_USAGE_DEFAULT, D3D11_BIND_SHADER_RESOURCE, 0, miscFlags };
}

inline ComPtr<ID3D11Texture2D> MakeTexture(ID3D11Device* device, const D3D11_TEXTURE2D_DESC& desc)
{
    ComPtr<ID3D11Texture2D> texture;
    EXPECT_EQ(device->CreateTexture2D(&desc, nullptr, texture.GetAddressOf()), S_OK);
    return texture;
}

inline D3D11Host::TextureMemory MemoryOf(ID3D11Texture2D* texture, UINT subresource = 0)
{
    D3D11Host::TextureMemory memory;
    EXPECT_EQ(D3D11Host::GetTextureMemory(texture, subresource, &memory), S_OK);
    return memory;
}

// Fills every byte of every row (both planes of NV12) with a value made from its row and column.
inline void FillPattern(ID3D11Texture2D* texture, uint8_t seed, UINT subresource = 0)
{
    const auto memory = MemoryOf(texture, subresource);
    const UINT rows = memory.Format == DXGI_FORMAT_NV12 ? memory.Height * 3 / 2 : memory.Height;
    for (UINT row = 0; row < rows; ++row)
        for (UINT column = 0; column < D3D11Host::RowBytes(memory.Format, memory.Width); ++column)
            memory.Data[std::size_t(row) * memory.RowPitch + column] = static_cast<uint8_t>(seed + row * 7 + column * 13);
}

// Holds the device thread: the first Flush1 on `context` runs a callback on that thread which
// waits until Open. Everything issued afterwards stays queued until then.
class DeviceGate
{
public:
    explicit DeviceGate(ID3D11DeviceContext3* context) : m_Context(context)
    {
        m_Signal.RegisterWait([reached = m_Reached, opened = m_Opened] {
            reached->Set();
            opened->Wait();
        });
        context->Flush1(D3D11_CONTEXT_TYPE_COPY, &m_Signal);
        EXPECT_TRUE(m_Reached->Wait(PatienceMilliseconds)) << "the device thread did not reach the gate";
    }
    // Opens the gate and waits until the device thread is done with it.
    ~DeviceGate()
    {
        Open();
        Sync::Event passed(Sync::Event::ResetMode::Manual);
        m_Context->Flush1(D3D11_CONTEXT_TYPE_COPY, &passed);
        EXPECT_TRUE(passed.Wait(PatienceMilliseconds));
    }
    void Open() { m_Opened->Set(); }

private:
    ComPtr<ID3D11DeviceContext3> m_Context;
    std::shared_ptr<Sync::Event> m_Reached = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Manual),
                                 m_Opened = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Manual);
    Sync::Event m_Signal { Sync::Event::ResetMode::Auto };
};
} // namespace D3DTest
