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
