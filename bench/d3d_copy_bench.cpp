// Speed of the device copy the video source issues per frame: a whole 1920x1080 texture copied
// on the device thread and waited for through the flush event, against a plain memcpy of the same
// bytes (the memory's own speed on this machine).

#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace
{
struct Textures
{
    ComPtr<ID3D11Device> Device;
    ComPtr<ID3D11DeviceContext3> Context;
    ComPtr<ID3D11Texture2D> Source, Destination;
};

Textures MakeTextures(DXGI_FORMAT format, UINT miscFlags)
{
    Textures t;
    ComPtr<ID3D11DeviceContext> context;
    if (FAILED(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT, nullptr, 0, D3D11_SDK_VERSION,
                                 t.Device.GetAddressOf(), nullptr, context.GetAddressOf())) ||
        FAILED(context.As(&t.Context)))
        return t;
    const D3D11_TEXTURE2D_DESC source { 1920, 1080, 1, 1, format, { 1, 0 }, D3D11_USAGE_DEFAULT, 0x28, 0, 0 };
    D3D11_TEXTURE2D_DESC destination = source;
    destination.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    destination.MiscFlags = miscFlags;
    t.Device->CreateTexture2D(&source, nullptr, t.Source.GetAddressOf());
    t.Device->CreateTexture2D(&destination, nullptr, t.Destination.GetAddressOf());
    D3D11Host::TextureMemory memory;
    if (t.Source && SUCCEEDED(D3D11Host::GetTextureMemory(t.Source.Get(), 0, &memory)))
        std::memset(memory.Data, 0x5A, memory.Size);
    return t;
}

// Arg 0: B8G8R8A8, 1: NV12. Each iteration copies the frame and waits for the flush event.
void DeviceCopyAndFlush(benchmark::State& state)
{
    const DXGI_FORMAT format = state.range(0) ? DXGI_FORMAT_NV12 : DXGI_FORMAT_B8G8R8A8_UNORM;
    auto t = MakeTextures(format, 0);
    if (!t.Source || !t.Destination)
    {
        state.SkipWithError("no device");
        return;
    }
    D3D11Host::TextureMemory memory;
    D3D11Host::GetTextureMemory(t.Source.Get(), 0, &memory);
    Sync::Event done(Sync::Event::ResetMode::Auto);
    for (auto _ : state)
    {
        t.Context->CopySubresourceRegion(t.Destination.Get(), 0, 0, 0, 0, t.Source.Get(), 0, nullptr);
        t.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
        done.Wait();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(memory.Size));
}
BENCHMARK(DeviceCopyAndFlush)->Arg(0)->Arg(1)->UseRealTime();

// The source's whole per-frame sequence on a shared sample texture: acquire the keyed mutex,
// copy, release, flush and wait; then the encoder's acquire and release.
void KeyedMutexCopyRoundTrip(benchmark::State& state)
{
    auto t = MakeTextures(DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE);
    ComPtr<IDXGIKeyedMutex> mutex;
    if (!t.Destination || FAILED(t.Destination.As(&mutex)))
    {
        state.SkipWithError("no keyed texture");
        return;
    }
    Sync::Event done(Sync::Event::ResetMode::Auto);
    for (auto _ : state)
    {
        mutex->AcquireSync(0, INFINITE);
        t.Context->CopySubresourceRegion(t.Destination.Get(), 0, 0, 0, 0, t.Source.Get(), 0, nullptr);
        mutex->ReleaseSync(0);
        t.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
        done.Wait();
        mutex->AcquireSync(0, INFINITE);
        mutex->ReleaseSync(0);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 1920 * 1080 * 4);
}
BENCHMARK(KeyedMutexCopyRoundTrip)->UseRealTime();

// Reference: memcpy of one 1920x1080 B8G8R8A8 frame between two buffers on this thread.
void PlainMemcpy(benchmark::State& state)
{
    std::vector<uint8_t> from(1920 * 1080 * 4, 0x5A), to(from.size());
    for (auto _ : state)
    {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(from.size()));
}
BENCHMARK(PlainMemcpy)->UseRealTime();
} // namespace
