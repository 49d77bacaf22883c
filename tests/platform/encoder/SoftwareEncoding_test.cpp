// The software runtime end to end at a height that is not a multiple of 16: drawn frames go in
// through the function list and ffmpeg decodes what comes out. (The encoder transform's tests
// decode the stream formats and settings the pipelines use.)

#include "EncoderTestSupport.h"

#include <gtest/gtest.h>

using namespace EncoderTest;

TEST(SoftwareEncoding, CroppedHeightCadenceAndSequenceParameters)
{
    constexpr uint32_t Frames = 7, Gop = 5;
    Session session(640, 360, Gop);
    session.Start();
    const auto outputs = session.EncodeFrames(Frames);
    const auto decoded = Decode(outputs, 640, 360);
    EXPECT_GT(decoded.Psnr, 40.0);
    ASSERT_EQ(decoded.Slices.size(), Frames); // one slice a picture
    for (uint32_t i = 0; i < Frames; ++i)
        EXPECT_EQ(std::tuple(decoded.Slices[i].Type, decoded.Slices[i].Idr, decoded.Slices[i].Qp), std::tuple(i % Gop ? 'P' : 'I', i % Gop == 0, 24)) << i;
    // A buffer too small for the SPS and PPS is refused.
    uint8_t headers[4096];
    uint32_t size = 0;
    auto payload = Versioned<NV_ENC_SEQUENCE_PARAM_PAYLOAD>(NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER);
    payload.inBufferSize = sizeof(headers), payload.spsppsBuffer = headers, payload.outSPSPPSPayloadSize = &size;
    ASSERT_EQ(session.F.nvEncGetSequenceParams(session.E, &payload), NV_ENC_SUCCESS);
    payload.inBufferSize = size - 1;
    EXPECT_EQ(session.F.nvEncGetSequenceParams(session.E, &payload), NV_ENC_ERR_NOT_ENOUGH_BUFFER);
}

// ARGB buffers are written in staging areas lent while locked: two locked at once write apart,
// and each keeps its own picture when they are unlocked in the other order.
TEST(SoftwareEncoding, ArgbBuffersLockedTogetherKeepTheirOwnPictures)
{
    constexpr uint32_t Width = 320, Height = 240;
    Session session(Width, Height);
    session.Start();
    void* buffers[2] {};
    NV_ENC_LOCK_INPUT_BUFFER locks[2];
    for (uint32_t frame = 0; frame < 2; ++frame)
    {
        auto input = Versioned<NV_ENC_CREATE_INPUT_BUFFER>(NV_ENC_CREATE_INPUT_BUFFER_VER);
        input.width = Width, input.height = Height, input.bufferFmt = NV_ENC_BUFFER_FORMAT_ARGB;
        ASSERT_EQ(session.F.nvEncCreateInputBuffer(session.E, &input), NV_ENC_SUCCESS);
        locks[frame] = Versioned<NV_ENC_LOCK_INPUT_BUFFER>(NV_ENC_LOCK_INPUT_BUFFER_VER);
        locks[frame].inputBuffer = buffers[frame] = input.inputBuffer;
        ASSERT_EQ(session.F.nvEncLockInputBuffer(session.E, &locks[frame]), NV_ENC_SUCCESS);
        Draw(frame, Width, Height, NV_ENC_BUFFER_FORMAT_ARGB, static_cast<uint8_t*>(locks[frame].bufferDataPtr), locks[frame].pitch);
    }
    for (const uint32_t frame : { 1u, 0u })
        ASSERT_EQ(session.F.nvEncUnlockInputBuffer(session.E, buffers[frame]), NV_ENC_SUCCESS);
    std::vector<Output> outputs;
    for (uint32_t frame = 0; frame < 2; ++frame)
    {
        NV_ENC_PIC_PARAMS picture = session.Picture(frame, frame, buffers[frame]);
        picture.bufferFmt = NV_ENC_BUFFER_FORMAT_ARGB, picture.inputPitch = locks[frame].pitch;
        ASSERT_EQ(session.F.nvEncEncodePicture(session.E, &picture), NV_ENC_SUCCESS);
        outputs.push_back(session.Collect(frame));
    }
    EXPECT_GT(Decode(outputs, Width, Height).Psnr, 40.0);
}
