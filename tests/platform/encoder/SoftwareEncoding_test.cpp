// End-to-end tests of the software runtime: drawn frames go in through the function list, the
// stream that comes out is decoded by ffmpeg and compared with what was asked for. Each run
// checks several properties so that the decoder runs as few times as it can.

#include "EncoderTestSupport.h"

#include "platform/d3d/Texture.h"

#include <gtest/gtest.h>

using namespace EncoderTest;

// NV12 at a height that is not a multiple of 16, with a forced IDR picture in the middle of a GOP.
TEST(SoftwareEncoding, CadenceQpHeadersAndPicturesMatchWhatWasAskedFor)
{
    const Options options { .Width = 640, .Height = 360, .GopLength = 5 };
    constexpr uint32_t Frames = 16;
    const std::set<uint32_t> idr { 0, 5, 7, 12 }; // the forced one restarts the cadence
    Session session(options);
    session.Start();
    uint8_t headers[4096];
    uint32_t headerSize = 0;
    auto payload = Versioned<NV_ENC_SEQUENCE_PARAM_PAYLOAD>(NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER);
    payload.inBufferSize = sizeof(headers), payload.spsppsBuffer = headers, payload.outSPSPPSPayloadSize = &headerSize;
    ASSERT_EQ(session.F.nvEncGetSequenceParams(session.E, &payload), NV_ENC_SUCCESS);
    const auto outputs = session.EncodeFrames(Frames, { 7 });
    ASSERT_EQ(outputs.size(), Frames);

    const auto decoded = Decode(outputs, options.Width, options.Height);
    EXPECT_GT(decoded.Psnr, 40.0);
    ASSERT_EQ(decoded.Slices.size(), Frames); // one slice a picture
    for (uint32_t i = 0; i < Frames; ++i)
    {
        SCOPED_TRACE(i);
        const bool isIdr = idr.count(i) == 1;
        EXPECT_EQ(std::tuple(decoded.Slices[i].Type, decoded.Slices[i].Idr, decoded.Slices[i].Qp), std::tuple(isIdr ? 'I' : 'P', isIdr, int(options.Qp)));
        // Each access unit opens with an AUD; SPS and PPS come with every IDR picture only.
        const auto& bytes = outputs[i].Bytes;
        EXPECT_EQ(ParseNals(bytes).at(0).Type, 9);
        for (const int type : { 5, 7, 8 })
            EXPECT_EQ(HasNal(bytes, type), isIdr) << type;
        // What the lock reports matches the stream.
        EXPECT_EQ(std::tuple(outputs[i].TimeStamp, outputs[i].Duration, outputs[i].PictureType, outputs[i].AverageQp),
                  std::tuple(i * FrameTime, FrameTime, isIdr ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P, options.Qp));
    }
    // The sequence parameters are the SPS and PPS the first IDR picture carries after its AUD.
    const std::vector<uint8_t> params(headers, headers + headerSize);
    ASSERT_EQ(ParseNals(params).size(), 2u);
    const auto& first = outputs[0].Bytes;
    EXPECT_TRUE(std::equal(params.begin(), params.end(), first.begin() + std::ptrdiff_t(ParseNals(first)[1].Offset)));
    payload.inBufferSize = headerSize - 1;
    EXPECT_EQ(session.F.nvEncGetSequenceParams(session.E, &payload), NV_ENC_ERR_NOT_ENOUGH_BUFFER);
}

// ARGB buffers are written in staging areas lent while locked: two locked at once write apart,
// and each keeps its own picture when they are unlocked in the other order.
TEST(SoftwareEncoding, ArgbBuffersLockedTogetherKeepTheirOwnPictures)
{
    const Options options { .Format = NV_ENC_BUFFER_FORMAT_ARGB };
    Session session(options);
    session.Start();
    NV_ENC_LOCK_INPUT_BUFFER locks[2];
    for (uint32_t slot = 0; slot < 2; ++slot)
    {
        locks[slot] = Versioned<NV_ENC_LOCK_INPUT_BUFFER>(NV_ENC_LOCK_INPUT_BUFFER_VER);
        locks[slot].inputBuffer = session.Inputs[slot];
        ASSERT_EQ(session.F.nvEncLockInputBuffer(session.E, &locks[slot]), NV_ENC_SUCCESS);
        Draw(slot, options.Width, options.Height, options.Format, static_cast<uint8_t*>(locks[slot].bufferDataPtr), locks[slot].pitch);
    }
    session.InputPitch = locks[0].pitch;
    for (const uint32_t slot : { 1u, 0u })
        ASSERT_EQ(session.F.nvEncUnlockInputBuffer(session.E, session.Inputs[slot]), NV_ENC_SUCCESS);
    for (const uint32_t slot : { 0u, 1u })
        ASSERT_EQ(session.Submit(slot, slot), NV_ENC_SUCCESS);
    const std::vector<Output> outputs { session.Collect(0), session.Collect(1) };
    EXPECT_GT(Decode(outputs, options.Width, options.Height).Psnr, 40.0);
}

// Textures of the graphics device, registered and mapped as the transform does with its input.
TEST(SoftwareEncoding, RegisteredTexturesEncodeLikeInputBuffers)
{
    auto device = WarpDevice();
    for (const DXGI_FORMAT textureFormat : { DXGI_FORMAT_NV12, DXGI_FORMAT_B8G8R8A8_UNORM })
    {
        SCOPED_TRACE(textureFormat);
        const Options options { .Width = 320, .Height = 240,
                                .Format = textureFormat == DXGI_FORMAT_NV12 ? NV_ENC_BUFFER_FORMAT_NV12 : NV_ENC_BUFFER_FORMAT_ARGB };
        constexpr uint32_t Frames = 6;
        Session session(options, device.Get());
        session.Start();
        std::vector<Output> outputs;
        for (uint32_t frame = 0; frame < Frames; ++frame)
        {
            // A texture a frame, drawn through its initial data; the runtime reads it at the
            // texture's own row pitch.
            const auto raw = RawFrame(frame, options.Width, options.Height, options.Format);
            const D3D11_TEXTURE2D_DESC desc { options.Width, options.Height, 1, 1, textureFormat, { 1, 0 }, D3D11_USAGE_DEFAULT, D3D11_BIND_RENDER_TARGET, 0, 0 };
            D3D11_SUBRESOURCE_DATA data { raw.data(), textureFormat == DXGI_FORMAT_NV12 ? options.Width : options.Width * 4, 0 };
            ComPtr<ID3D11Texture2D> texture;
            ASSERT_EQ(device->CreateTexture2D(&desc, &data, texture.GetAddressOf()), S_OK);

            auto registration = TextureRegistration(texture.Get(), options.Width, options.Height, data.SysMemPitch, options.Format);
            ASSERT_EQ(session.F.nvEncRegisterResource(session.E, &registration), NV_ENC_SUCCESS);
            auto map = Versioned<NV_ENC_MAP_INPUT_RESOURCE>(NV_ENC_MAP_INPUT_RESOURCE_VER);
            map.registeredResource = registration.registeredResource;
            ASSERT_EQ(session.F.nvEncMapInputResource(session.E, &map), NV_ENC_SUCCESS);
            EXPECT_EQ(map.mappedBufferFmt, options.Format);

            session.Events[0]->Reset();
            NV_ENC_PIC_PARAMS picture = session.Picture(0, frame, 0, map.mappedResource);
            ASSERT_EQ(session.F.nvEncEncodePicture(session.E, &picture), NV_ENC_SUCCESS);
            // The client lets go of everything at once; the picture keeps the texture it reads.
            EXPECT_EQ(session.F.nvEncUnmapInputResource(session.E, map.mappedResource), NV_ENC_SUCCESS);
            EXPECT_EQ(session.F.nvEncUnregisterResource(session.E, registration.registeredResource), NV_ENC_SUCCESS);
            texture = nullptr;
            outputs.push_back(session.Collect(0));
        }
        const auto decoded = Decode(outputs, options.Width, options.Height);
        EXPECT_EQ(decoded.Slices.size(), Frames);
        EXPECT_GT(decoded.Psnr, 40.0);
    }
}
