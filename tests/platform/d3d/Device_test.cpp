// The device's copies (placement, order, invalid ones dropped), the waits of host access and of
// the flush event, the device released from its own thread, and the keyed mutex's rules.

#include "DeviceTestSupport.h"

#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace D3DTest;

namespace
{
std::vector<uint8_t> Snapshot(ID3D11Texture2D* texture)
{
    const auto memory = MemoryOf(texture);
    return std::vector<uint8_t>(memory.Data, memory.Data + memory.Size);
}

void FlushAndWait(ID3D11DeviceContext3* context)
{
    Sync::Event done(Sync::Event::ResetMode::Auto);
    context->Flush1(D3D11_CONTEXT_TYPE_COPY, &done);
    ASSERT_TRUE(done.Wait(PatienceMilliseconds));
}

class Device : public ::testing::Test
{
protected:
    ComPtr<ID3D11Texture2D> Texture(UINT width, UINT height, DXGI_FORMAT format = DXGI_FORMAT_B8G8R8A8_UNORM, UINT miscFlags = 0)
    {
        return MakeTexture(d.Device.Get(), TextureDesc(width, height, format, miscFlags));
    }
    DeviceAndContext d = MakeDevice();
};
} // namespace

// A region lands at its position (both planes of NV12) and nothing else changes; whole-resource
// copies run in issue order.
TEST_F(Device, CopiesLandAtTheirPositionInIssueOrder)
{
    for (const auto& [format, pixelBytes] : { std::pair { DXGI_FORMAT_B8G8R8A8_UNORM, 4u }, { DXGI_FORMAT_YUY2, 2u }, { DXGI_FORMAT_NV12, 1u } })
    {
        auto source = Texture(64, 32, format), destination = Texture(48, 40, format);
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
                const UINT planeRow = chroma ? row - 40 : row, sourceRow = chroma ? 32 + planeRow - 1 + 3 : planeRow - 2 + 6;
                const bool inside = planeRow >= (chroma ? 1u : 2u) && planeRow < (chroma ? 6u : 12u) && byte >= 10 * pixelBytes && byte < 26 * pixelBytes;
                const uint8_t wanted = inside ? from.Data[std::size_t(sourceRow) * from.RowPitch + byte - 6 * pixelBytes] : before[std::size_t(row) * to.RowPitch + byte];
                ASSERT_EQ(to.Data[std::size_t(row) * to.RowPitch + byte], wanted) << format << " row " << row << " byte " << byte;
            }
    }
    auto a = Texture(1920, 1080), b = Texture(1920, 1080), c = Texture(1920, 1080);
    FillPattern(a.Get(), 3);
    FillPattern(b.Get(), 77);
    d.Context->CopyResource(b.Get(), a.Get()); // c ends as a only when the copies run in order
    d.Context->CopySubresourceRegion(c.Get(), 0, 0, 0, 0, b.Get(), 0, nullptr);
    FlushAndWait(d.Context.Get());
    EXPECT_EQ(Snapshot(c.Get()), Snapshot(a.Get()));
}

TEST_F(Device, InvalidCopiesAreDroppedWithATraceLine)
{
    auto other = MakeDevice();
    auto bgra = Texture(32, 32), target = Texture(32, 32), nv12 = Texture(32, 32, DXGI_FORMAT_NV12);
    auto foreign = MakeTexture(other.Device.Get(), TextureDesc(32, 32));
    FillPattern(bgra.Get(), 5);
    FillPattern(nv12.Get(), 6);
    const auto targetBefore = Snapshot(target.Get()), nv12Before = Snapshot(nv12.Get());
    const D3D11_BOX outside { 0, 0, 0, 33, 8, 1 }, deep { 0, 0, 0, 8, 8, 2 }, odd { 1, 0, 0, 8, 8, 1 }, corner { 0, 0, 0, 16, 16, 1 }, empty { 4, 4, 0, 4, 8, 1 };
    const struct { ID3D11Texture2D* To; UINT Subresource, X; ID3D11Texture2D* From; const D3D11_BOX* Box; } copies[] = {
        { target.Get(), 0, 0, nv12.Get(), nullptr },     // formats differ
        { target.Get(), 0, 0, bgra.Get(), &outside },    // outside the source
        { target.Get(), 0, 17, bgra.Get(), &corner },    // outside the destination
        { target.Get(), 0, 0, bgra.Get(), &deep },       // depth
        { target.Get(), 1, 0, bgra.Get(), nullptr },     // subresource
        { nv12.Get(), 0, 16, nv12.Get(), &odd },         // odd NV12 box
        { target.Get(), 0, 0, foreign.Get(), nullptr },  // another device
        { nullptr, 0, 0, bgra.Get(), nullptr },
        { bgra.Get(), 0, 8, bgra.Get(), &corner },       // overlapping in place
        { target.Get(), 0, 0, bgra.Get(), &empty },      // empty: nothing, silently
    };
    TestSupport::TraceCapture trace;
    for (const auto& c : copies)
        d.Context->CopySubresourceRegion(c.To, c.Subresource, c.X, c.X, 0, c.From, 0, c.Box);
    FlushAndWait(d.Context.Get());
    EXPECT_EQ(trace.LinesContaining("copy dropped").size(), std::size(copies) - 1);
    EXPECT_EQ(std::pair(Snapshot(target.Get()), Snapshot(nv12.Get())), std::pair(targetBefore, nv12Before));
}

// A flush's event is set, and host access to a texture returns, only after the copies before it.
TEST_F(Device, FlushEventAndHostAccessWaitForQueuedCopies)
{
    auto source = Texture(1920, 1080), destination = Texture(1920, 1080), second = Texture(1920, 1080);
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
        EXPECT_EQ(std::count(view.Data, view.Data + view.Size, 0), std::ptrdiff_t(view.Size)) << "new textures are zeroed";
        gate.Open();
        ASSERT_TRUE(done.Wait(PatienceMilliseconds));
        EXPECT_EQ(std::memcmp(view.Data, expected.data(), view.Size), 0);
        reader.join();
    }
    EXPECT_EQ(seen, expected);
}

// Only the queued copy holds the textures, and through them the device: the device thread runs
// the copy and lets the device go itself.
TEST_F(Device, DeviceReleasedByItsOwnThreadFinishesCleanly)
{
    auto own = MakeDevice(); // the immediate context keeps its device alive
    own.Device = nullptr;
    FlushAndWait(own.Context.Get());
    own.Context->GetDevice(own.Device.GetAddressOf());
    EXPECT_EQ(own.Device->GetFeatureLevel(), D3D_FEATURE_LEVEL_11_0);
    auto source = Texture(256, 256), destination = Texture(256, 256);
    auto reached = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Manual), opened = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Manual);
    auto gate = std::make_shared<Sync::Event>(Sync::Event::ResetMode::Auto);
    gate->RegisterWait([reached, opened, gate] { reached->Set(), opened->Wait(); });
    d.Context->Flush1(D3D11_CONTEXT_TYPE_COPY, gate.get());
    ASSERT_TRUE(reached->Wait(PatienceMilliseconds));
    d.Context->CopySubresourceRegion(destination.Get(), 0, 0, 0, 0, source.Get(), 0, nullptr);
    d = {};
    source = destination = nullptr;
    opened->Set();
}

// Acquire follows the key and waits across threads until released with it; it also waits for
// the copies issued before the release.
TEST_F(Device, KeyedMutexFollowsTheKeyAndWaitsForCopies)
{
    auto mutex = Texture(16, 16, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX).TryAs<IDXGIKeyedMutex>();
    EXPECT_EQ((std::tuple { mutex->ReleaseSync(0), mutex->AcquireSync(1, 0), mutex->AcquireSync(0, INFINITE), mutex->AcquireSync(0, 0) }),
              std::tuple(E_FAIL, HRESULT(WAIT_TIMEOUT), S_OK, HRESULT(WAIT_TIMEOUT))) << "not acquired; released with key 0; held";
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
    EXPECT_EQ((std::tuple { timedOut, waited, mutex->AcquireSync(0, PatienceMilliseconds) }), std::tuple(HRESULT(WAIT_TIMEOUT), S_OK, S_OK));
    ASSERT_EQ(mutex->ReleaseSync(0), S_OK);

    auto sample = Texture(128, 64, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX), render = Texture(128, 64);
    FillPattern(render.Get(), 21);
    mutex = sample.TryAs<IDXGIKeyedMutex>();
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
