// The software runtime's contract with its caller: the statuses of wrong use, the buffer locks,
// and what the caller may let go of while pictures are queued.

#include "EncoderTestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace EncoderTest;

namespace
{
// Rows of wrong use: a name, the call, and the status it must answer.
using Misuse = std::tuple<const char*, std::function<NVENCSTATUS()>, NVENCSTATUS>;

void ExpectStatuses(const std::vector<Misuse>& cases)
{
    for (const auto& [name, call, expected] : cases)
        EXPECT_EQ(call(), expected) << name;
}

// Calls `call` with a copy of `params` changed by `change`.
template <class P>
std::function<NVENCSTATUS()> With(const P& params, std::function<void(P&)> change, std::function<NVENCSTATUS(P*)> call)
{
    return [=] {
        P copy = params;
        change(copy);
        return call(&copy);
    };
}

NV_ENC_REGISTER_RESOURCE Registration(ID3D11Texture2D* texture, uint32_t pitch = 0)
{
    auto r = Versioned<NV_ENC_REGISTER_RESOURCE>(NV_ENC_REGISTER_RESOURCE_VER);
    r.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX, r.width = 160, r.height = 96, r.pitch = pitch;
    r.resourceToRegister = texture, r.bufferFormat = NV_ENC_BUFFER_FORMAT_NV12;
    return r;
}

ComPtr<ID3D11Texture2D> Texture(ID3D11Device* device, DXGI_FORMAT format, const D3D11_SUBRESOURCE_DATA* data = nullptr)
{
    const D3D11_TEXTURE2D_DESC desc { 160, 96, 1, 1, format, { 1, 0 }, D3D11_USAGE_DEFAULT, 0, 0, 0 };
    ComPtr<ID3D11Texture2D> texture;
    EXPECT_EQ(device->CreateTexture2D(&desc, data, texture.GetAddressOf()), S_OK);
    return texture;
}
} // namespace

// Every handle and parameter structure the caller passes is checked.
TEST(SoftwareRuntime, HandlesAndParametersAreChecked)
{
    auto device = WarpDevice();
    Session session(160, 96, 4, device.Get()), uninitialized(160, 96);
    session.Start();
    auto& F = session.F;
    int stranger = 0;
    const auto yuy2 = Texture(device.Get(), DXGI_FORMAT_YUY2), nv12 = Texture(device.Get(), DXGI_FORMAT_NV12);
    ComPtr<ID3D11DeviceContext> context;
    device->GetImmediateContext(context.GetAddressOf());

    using Open = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS;
    auto open = Versioned<Open>(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER);
    open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX, open.apiVersion = NVENCAPI_VERSION;
    void* encoder = nullptr;
    const std::function<NVENCSTATUS(Open*)> opening = [&](Open* p) { return F.nvEncOpenEncodeSessionEx(p, &encoder); };
    using Reg = NV_ENC_REGISTER_RESOURCE;
    auto registration = Registration(nv12.Get());
    const std::function<NVENCSTATUS(Reg*)> enroll = [&](Reg* p) { return F.nvEncRegisterResource(session.E, p); };
    using Pic = NV_ENC_PIC_PARAMS;
    const Pic picture = session.Picture(0, 0);
    const std::function<NVENCSTATUS(Pic*)> encode = [&](Pic* p) { return F.nvEncEncodePicture(session.E, p); };
    auto map = Versioned<NV_ENC_MAP_INPUT_RESOURCE>(NV_ENC_MAP_INPUT_RESOURCE_VER);
    map.registeredResource = &stranger;
    Sync::Event unknown(Sync::Event::ResetMode::Manual);
    uint32_t count = 0;
    NV_ENCODE_API_FUNCTION_LIST list { .version = NV_ENCODE_API_FUNCTION_LIST_VER - (1u << 16) };
    auto input = Versioned<NV_ENC_CREATE_INPUT_BUFFER>(NV_ENC_CREATE_INPUT_BUFFER_VER);
    ExpectStatuses({
        { "no list", [&] { return SoftwareEncoder::CreateInstance(nullptr); }, NV_ENC_ERR_INVALID_PTR },
        { "list version", [&] { return SoftwareEncoder::CreateInstance(&list); }, NV_ENC_ERR_INVALID_VERSION },
        { "newer api", With<Open>(open, [](Open& o) { o.apiVersion = NVENCAPI_MAJOR_VERSION + 1; }, opening), NV_ENC_ERR_INVALID_VERSION },
        { "CUDA", With<Open>(open, [](Open& o) { o.deviceType = NV_ENC_DEVICE_TYPE_CUDA; }, opening), NV_ENC_ERR_UNSUPPORTED_DEVICE },
        // Anything that is not a device answers QueryInterface for ID3D11Device with a failure.
        { "not a device", With<Open>(open, [&](Open& o) { o.device = static_cast<IUnknown*>(context.Get()); }, opening), NV_ENC_ERR_INVALID_DEVICE },
        { "stranger session", [&] { return F.nvEncGetInputFormatCount(&stranger, NV_ENC_CODEC_H264_GUID, &count); }, NV_ENC_ERR_INVALID_ENCODERDEVICE },
        { "not initialized", [&] { return F.nvEncCreateInputBuffer(uninitialized.E, &input); }, NV_ENC_ERR_ENCODER_NOT_INITIALIZED },
        { "initialized twice", [&] { return F.nvEncInitializeEncoder(session.E, &session.Init); }, NV_ENC_ERR_INVALID_CALL },
        { "destroy stranger input", [&] { return F.nvEncDestroyInputBuffer(session.E, &stranger); }, NV_ENC_ERR_INVALID_PARAM },
        { "destroy stranger bitstream", [&] { return F.nvEncDestroyBitstreamBuffer(session.E, &stranger); }, NV_ENC_ERR_INVALID_PARAM },
        { "unregister stranger", [&] { return F.nvEncUnregisterResource(session.E, &stranger); }, NV_ENC_ERR_RESOURCE_NOT_REGISTERED },
        { "unmap stranger", [&] { return F.nvEncUnmapInputResource(session.E, &stranger); }, NV_ENC_ERR_RESOURCE_NOT_MAPPED },
        { "map stranger", [&] { return F.nvEncMapInputResource(session.E, &map); }, NV_ENC_ERR_RESOURCE_NOT_REGISTERED },
        { "unregister unknown event", [&] { return session.RegisterEvent(&unknown, false); }, NV_ENC_ERR_EVENT_NOT_REGISTERD },
        // Textures: only formats the encoder reads, with the format and a size that fit.
        { "YUY2 texture", With<Reg>(registration, [&](Reg& r) { r.resourceToRegister = yuy2.Get(); }, enroll), NV_ENC_ERR_RESOURCE_REGISTER_FAILED },
        { "format differs", With<Reg>(registration, [](Reg& r) { r.bufferFormat = NV_ENC_BUFFER_FORMAT_ARGB; }, enroll), NV_ENC_ERR_INVALID_PARAM },
        { "size differs", With<Reg>(registration, [](Reg& r) { r.width = 162; }, enroll), NV_ENC_ERR_INVALID_PARAM },
        // Pictures are checked before they are queued.
        { "unknown input", With<Pic>(picture, [](Pic& p) { p.inputBuffer = &p; }, encode), NV_ENC_ERR_INVALID_PARAM },
        { "input as output", With<Pic>(picture, [](Pic& p) { p.outputBitstream = p.inputBuffer; }, encode), NV_ENC_ERR_INVALID_PARAM },
        { "picture width", With<Pic>(picture, [](Pic& p) { p.inputWidth = 162; }, encode), NV_ENC_ERR_INVALID_PARAM },
        { "picture format", With<Pic>(picture, [](Pic& p) { p.bufferFmt = NV_ENC_BUFFER_FORMAT_ARGB; }, encode), NV_ENC_ERR_INVALID_PARAM },
        { "no event", With<Pic>(picture, [](Pic& p) { p.completionEvent = nullptr; }, encode), NV_ENC_ERR_INVALID_EVENT },
        { "stranger event", With<Pic>(picture, [&](Pic& p) { p.completionEvent = &unknown; }, encode), NV_ENC_ERR_EVENT_NOT_REGISTERD },
    });
    EXPECT_EQ(encoder, nullptr);

    // An older client is served without a device; the handle is valid until destroyed, once.
    open.apiVersion = 10;
    const std::size_t before = SoftwareEncoder::OpenSessionCount();
    ASSERT_EQ(opening(&open), NV_ENC_SUCCESS);
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), before + 1);
    EXPECT_EQ((std::pair { F.nvEncDestroyEncoder(encoder), F.nvEncDestroyEncoder(encoder) }), std::pair(NV_ENC_SUCCESS, NV_ENC_ERR_INVALID_ENCODERDEVICE));
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), before);

    // A texture may be mapped again while mapped (two frames in flight on one texture); each
    // mapping is unmapped once, and unregistering ends the mappings left.
    ASSERT_EQ(enroll(&registration), NV_ENC_SUCCESS);
    map.registeredResource = registration.registeredResource;
    ASSERT_EQ(F.nvEncMapInputResource(session.E, &map), NV_ENC_SUCCESS);
    void* first = map.mappedResource;
    ASSERT_EQ(F.nvEncMapInputResource(session.E, &map), NV_ENC_SUCCESS);
    EXPECT_NE(first, map.mappedResource);
    EXPECT_EQ((std::pair { F.nvEncUnmapInputResource(session.E, first), F.nvEncUnmapInputResource(session.E, first) }), std::pair(NV_ENC_SUCCESS, NV_ENC_ERR_RESOURCE_NOT_MAPPED));
    EXPECT_EQ(F.nvEncUnregisterResource(session.E, registration.registeredResource), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncUnmapInputResource(session.E, map.mappedResource), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
}

// A locked input buffer cannot be encoded; a bitstream buffer takes one picture at a time and is
// locked only while it holds one.
TEST(SoftwareRuntime, LocksAndOnePictureABuffer)
{
    Session session(160, 96);
    session.Start();
    auto& F = session.F;
    auto picture = session.Picture(0, 0);
    auto lock = Versioned<NV_ENC_LOCK_INPUT_BUFFER>(NV_ENC_LOCK_INPUT_BUFFER_VER);
    lock.inputBuffer = session.Inputs[0];
    ASSERT_EQ(F.nvEncLockInputBuffer(session.E, &lock), NV_ENC_SUCCESS);
    EXPECT_EQ(std::pair(F.nvEncLockInputBuffer(session.E, &lock), F.nvEncEncodePicture(session.E, &picture)), std::pair(NV_ENC_ERR_LOCK_BUSY, NV_ENC_ERR_INVALID_CALL));
    ASSERT_EQ(F.nvEncUnlockInputBuffer(session.E, session.Inputs[0]), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncUnlockInputBuffer(session.E, session.Inputs[0]), NV_ENC_ERR_INVALID_CALL);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, true), NV_ENC_SUCCESS);
    ASSERT_EQ(F.nvEncEncodePicture(session.E, &picture), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &picture), NV_ENC_ERR_INVALID_CALL);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    EXPECT_FALSE(session.Collect(0).Bytes.empty());
    auto bitstream = Versioned<NV_ENC_LOCK_BITSTREAM>(NV_ENC_LOCK_BITSTREAM_VER);
    bitstream.outputBitstream = session.Bitstreams[0];
    EXPECT_EQ(std::pair(F.nvEncLockBitstream(session.E, &bitstream), F.nvEncUnlockBitstream(session.E, session.Bitstreams[0])),
              std::pair(NV_ENC_ERR_INVALID_CALL, NV_ENC_ERR_INVALID_CALL));
}

// Queued pictures (held back) survive what the client lets go of: an unregistered event and a
// destroyed buffer are left alone while later pictures complete, a texture picture keeps the
// texture it reads, and destroying the session with pictures queued signals nothing.
TEST(SoftwareRuntime, WhatTheClientLetsGoOfWhilePicturesAreQueued)
{
    auto device = WarpDevice();
    Session session(160, 96, 4, device.Get());
    session.Start();
    auto& F = session.F;
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, true), NV_ENC_SUCCESS);
    ASSERT_EQ(session.Submit(0, 0), NV_ENC_SUCCESS);
    ASSERT_EQ(session.Submit(1, 1), NV_ENC_SUCCESS);
    const auto raw = RawFrame(2, 160, 96, NV_ENC_BUFFER_FORMAT_NV12);
    const D3D11_SUBRESOURCE_DATA data { raw.data(), 160, 0 };
    auto texture = Texture(device.Get(), DXGI_FORMAT_NV12, &data);
    auto registration = Registration(texture.Get(), 160);
    ASSERT_EQ(F.nvEncRegisterResource(session.E, &registration), NV_ENC_SUCCESS);
    auto map = Versioned<NV_ENC_MAP_INPUT_RESOURCE>(NV_ENC_MAP_INPUT_RESOURCE_VER);
    map.registeredResource = registration.registeredResource;
    ASSERT_EQ(F.nvEncMapInputResource(session.E, &map), NV_ENC_SUCCESS);
    NV_ENC_PIC_PARAMS picture = session.Picture(2, 2, map.mappedResource);
    ASSERT_EQ(F.nvEncEncodePicture(session.E, &picture), NV_ENC_SUCCESS);
    EXPECT_EQ((std::pair { F.nvEncUnmapInputResource(session.E, map.mappedResource), F.nvEncUnregisterResource(session.E, registration.registeredResource) }),
              std::pair(NV_ENC_SUCCESS, NV_ENC_SUCCESS));
    texture = nullptr;
    ASSERT_EQ(session.RegisterEvent(session.Events[0].get(), false), NV_ENC_SUCCESS);
    // The input buffer of a destroyed picture may go too: the picture still reads its memory.
    ASSERT_EQ(F.nvEncDestroyBitstreamBuffer(session.E, session.Bitstreams[1]) | F.nvEncDestroyInputBuffer(session.E, session.Inputs[1]), NV_ENC_SUCCESS);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    const auto outputs = std::vector { session.Collect(0, false), session.Collect(2) };
    EXPECT_EQ(std::pair(session.Events[0]->IsSignalled(), session.Events[1]->IsSignalled()), std::pair(false, false));
    EXPECT_EQ(std::tuple(outputs[0].PictureType, outputs[1].TimeStamp, outputs[1].Bytes.empty()), std::tuple(NV_ENC_PIC_TYPE_IDR, 2 * FrameTime, false));

    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, true), NV_ENC_SUCCESS);
    ASSERT_EQ(session.Submit(3, 3), NV_ENC_SUCCESS);
    const std::size_t before = SoftwareEncoder::OpenSessionCount();
    session.Destroy();
    EXPECT_EQ(std::pair(SoftwareEncoder::OpenSessionCount(), session.Events[3]->IsSignalled()), std::pair(before - 1, false));
}
