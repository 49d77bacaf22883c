// End-to-end tests of the software runtime: drawn frames go in through the function list, the
// stream that comes out is decoded by ffmpeg and compared with what was asked for.

#include "EncoderTestSupport.h"

#include "platform/d3d/D3D11.h"
#include "platform/d3d/Texture.h"

#include <gtest/gtest.h>

using namespace EncoderTest;

namespace
{
struct Size
{
    uint32_t Width;
    uint32_t Height;
};

class SoftwareEncoding : public ::testing::TestWithParam<Size>
{
protected:
    Options MakeOptions() const
    {
        Options options;
        options.Width = GetParam().Width;
        options.Height = GetParam().Height;
        return options;
    }

    TempDirectory m_Directory;
};

// Groups the access units of a stream by their AUDs: the NAL types of each.
std::vector<std::vector<int>> AccessUnits(const std::vector<uint8_t>& stream)
{
    std::vector<std::vector<int>> units;
    for (const Nal& nal : ParseNals(stream))
    {
        if (nal.Type == 9 || units.empty())
            units.emplace_back();
        units.back().push_back(nal.Type);
    }
    return units;
}

bool Contains(const std::vector<int>& types, int type)
{
    return std::find(types.begin(), types.end(), type) != types.end();
}
} // namespace

TEST_P(SoftwareEncoding, EveryPictureDecodesWithTheCadenceQpAndHeadersAskedFor)
{
    const Options options = MakeOptions();
    constexpr uint32_t Frames = 14;
    Session session(options);
    session.Start();
    const auto outputs = session.EncodeFrames(Frames);
    ASSERT_EQ(outputs.size(), Frames);
    const auto stream = Concatenate(outputs);
    const std::string path = m_Directory.File("stream.h264");
    WriteFile(path, stream);

    // Every picture decodes, at the encode size; every 4th is an IDR picture.
    const auto frames = ProbeFrames(path);
    ASSERT_EQ(frames.size(), Frames);
    for (uint32_t i = 0; i < Frames; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].Width, options.Width);
        EXPECT_EQ(frames[i].Height, options.Height);
        EXPECT_EQ(frames[i].KeyFrame, i % options.GopLength == 0);
        EXPECT_EQ(frames[i].PictureType, i % options.GopLength == 0 ? "I" : "P");
    }

    // The slice headers carry the constant QP; one slice a picture.
    const auto slices = DecodeSlices(path);
    ASSERT_EQ(slices.size(), Frames);
    for (uint32_t i = 0; i < Frames; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(slices[i].Qp, int(options.Qp));
        EXPECT_EQ(slices[i].Idr, i % options.GopLength == 0);
    }

    // Each access unit opens with an AUD; SPS and PPS come with every IDR picture only.
    const auto units = AccessUnits(stream);
    ASSERT_EQ(units.size(), Frames);
    for (uint32_t i = 0; i < Frames; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(units[i].front(), 9);
        const bool idr = i % options.GopLength == 0;
        EXPECT_EQ(Contains(units[i], 5), idr);
        EXPECT_EQ(Contains(units[i], 7), idr);
        EXPECT_EQ(Contains(units[i], 8), idr);
    }

    // What the lock reports matches the stream.
    for (uint32_t i = 0; i < Frames; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(outputs[i].TimeStamp, uint64_t(i) * 333333);
        EXPECT_EQ(outputs[i].Duration, 333333u);
        EXPECT_EQ(outputs[i].PictureType, i % options.GopLength == 0 ? NV_ENC_PIC_TYPE_IDR : NV_ENC_PIC_TYPE_P);
        EXPECT_EQ(outputs[i].AverageQp, options.Qp);
    }

    // The decoded pictures match the drawn ones.
    const std::string raw = m_Directory.File("frames.nv12");
    WriteRawFrames(raw, Frames, options.Width, options.Height, NV_ENC_BUFFER_FORMAT_NV12);
    EXPECT_GT(Psnr(raw, "nv12", options.Width, options.Height, path), 40.0);
}

TEST_P(SoftwareEncoding, ArgbInputIsConvertedAndMatchesTheDrawing)
{
    Options options = MakeOptions();
    options.Format = NV_ENC_BUFFER_FORMAT_ARGB;
    constexpr uint32_t Frames = 8;
    Session session(options);
    session.Start();
    const auto stream = Concatenate(session.EncodeFrames(Frames));
    const std::string path = m_Directory.File("stream.h264");
    WriteFile(path, stream);
    EXPECT_EQ(ProbeFrames(path).size(), Frames);
    // Compared with the same drawing converted to 4:2:0 (BT.601, limited range).
    const std::string raw = m_Directory.File("frames.nv12");
    WriteRawFrames(raw, Frames, options.Width, options.Height, NV_ENC_BUFFER_FORMAT_NV12);
    EXPECT_GT(Psnr(raw, "nv12", options.Width, options.Height, path), 40.0);
}

INSTANTIATE_TEST_SUITE_P(TwoSizes, SoftwareEncoding, ::testing::Values(Size { 640, 360 }, Size { 1280, 720 }),
    [](const auto& info) { return std::to_string(info.param.Width) + "x" + std::to_string(info.param.Height); });

TEST(SoftwareEncodingCadence, ForcedIdrLandsOnItsPictureAndRestartsTheCadence)
{
    Options options;
    options.Width = 320;
    options.Height = 240;
    options.GopLength = 5;
    TempDirectory directory;
    Session session(options);
    session.Start();
    const auto outputs = session.EncodeFrames(16, { 7 });
    const std::string path = directory.File("stream.h264");
    WriteFile(path, Concatenate(outputs));
    const auto frames = ProbeFrames(path);
    ASSERT_EQ(frames.size(), 16u);
    const std::set<uint32_t> idr { 0, 5, 7, 12 };
    for (uint32_t i = 0; i < frames.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(frames[i].KeyFrame, idr.count(i) == 1);
        EXPECT_EQ(outputs[i].PictureType == NV_ENC_PIC_TYPE_IDR, idr.count(i) == 1);
    }
}

TEST(SoftwareEncodingCadence, AGopShorterThanTheIdrPeriodGivesIPicturesBetweenIdrPictures)
{
    Options options;
    options.Width = 320;
    options.Height = 240;
    options.GopLength = 3;
    options.IdrPeriod = 9;
    TempDirectory directory;
    Session session(options);
    session.Start();
    const auto outputs = session.EncodeFrames(12);
    const std::string path = directory.File("stream.h264");
    WriteFile(path, Concatenate(outputs));
    const auto slices = DecodeSlices(path);
    ASSERT_EQ(slices.size(), 12u);
    for (uint32_t i = 0; i < slices.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(slices[i].Idr, i % 9 == 0);
        EXPECT_EQ(slices[i].Type, i % 3 == 0 ? 'I' : 'P');
        const NV_ENC_PIC_TYPE expected = i % 9 == 0 ? NV_ENC_PIC_TYPE_IDR : i % 3 == 0 ? NV_ENC_PIC_TYPE_I : NV_ENC_PIC_TYPE_P;
        EXPECT_EQ(outputs[i].PictureType, expected);
    }
}

TEST(SoftwareEncodingCadence, WithoutRepeatedHeadersOnlyTheFirstPictureCarriesThem)
{
    Options options;
    options.Width = 320;
    options.Height = 240;
    options.RepeatSpsPps = false;
    options.OutputAud = false;
    TempDirectory directory;
    Session session(options);
    session.Start();
    const auto outputs = session.EncodeFrames(9);
    const std::string path = directory.File("stream.h264");
    WriteFile(path, Concatenate(outputs));
    EXPECT_EQ(ProbeFrames(path).size(), 9u);
    for (uint32_t i = 0; i < outputs.size(); ++i)
    {
        SCOPED_TRACE(i);
        std::vector<int> types;
        for (const Nal& nal : ParseNals(outputs[i].Bytes))
            types.push_back(nal.Type);
        EXPECT_FALSE(Contains(types, 9));
        EXPECT_EQ(Contains(types, 7), i == 0);
        EXPECT_EQ(Contains(types, 8), i == 0);
    }
}

TEST(SoftwareEncodingCadence, BPicturesComeOutInDecodingOrderWithTheirOwnTimeStamps)
{
    Options options;
    options.Width = 320;
    options.Height = 240;
    options.GopLength = 12;
    options.FrameIntervalP = 3; // two B-pictures between references
    options.BitstreamBuffers = 8;
    constexpr uint32_t Frames = 14;
    TempDirectory directory;
    Session session(options);
    session.Start();
    const auto outputs = session.EncodeFrames(Frames);
    ASSERT_EQ(outputs.size(), Frames);
    const std::string path = directory.File("stream.h264");
    WriteFile(path, Concatenate(outputs));
    const auto frames = ProbeFrames(path);
    ASSERT_EQ(frames.size(), Frames);
    EXPECT_EQ(frames[1].PictureType, "B");

    // Every input time stamp comes out exactly once; B-pictures come after the reference that
    // follows them in display order.
    std::set<uint64_t> stamps;
    uint32_t bPictures = 0;
    for (auto& output : outputs)
    {
        stamps.insert(output.TimeStamp);
        bPictures += output.PictureType == NV_ENC_PIC_TYPE_B;
    }
    EXPECT_EQ(stamps.size(), Frames);
    EXPECT_EQ(*stamps.rbegin(), uint64_t(Frames - 1) * 333333);
    EXPECT_GT(bPictures, 0u);
    EXPECT_EQ(outputs[0].PictureType, NV_ENC_PIC_TYPE_IDR);
    EXPECT_EQ(outputs[1].TimeStamp, 3u * 333333);
    EXPECT_EQ(outputs[2].TimeStamp, 1u * 333333);

    const std::string raw = directory.File("frames.nv12");
    WriteRawFrames(raw, Frames, options.Width, options.Height, NV_ENC_BUFFER_FORMAT_NV12);
    EXPECT_GT(Psnr(raw, "nv12", options.Width, options.Height, path), 40.0);
}

TEST(SoftwareEncodingCadence, PicturesAfterAnEndOfStreamStartANewDecodableStream)
{
    Options options;
    options.Width = 320;
    options.Height = 240;
    options.GopLength = 30;
    options.FrameIntervalP = 2;
    options.BitstreamBuffers = 6;
    TempDirectory directory;
    Session session(options);
    session.Start();
    auto first = session.EncodeFrames(5);
    auto second = session.EncodeFrames(5);
    ASSERT_EQ(first.size(), 5u);
    ASSERT_EQ(second.size(), 5u);
    EXPECT_EQ(second[0].PictureType, NV_ENC_PIC_TYPE_IDR);
    first.insert(first.end(), second.begin(), second.end());
    const std::string path = directory.File("stream.h264");
    WriteFile(path, Concatenate(first));
    EXPECT_EQ(ProbeFrames(path).size(), 10u);
}

// Textures of the graphics device, registered and mapped as the transform does with its input.
TEST(SoftwareEncodingTextures, RegisteredTexturesEncodeLikeInputBuffers)
{
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr,
                  nullptr),
        S_OK);
    for (const DXGI_FORMAT textureFormat : { DXGI_FORMAT_NV12, DXGI_FORMAT_B8G8R8A8_UNORM })
    {
        SCOPED_TRACE(textureFormat);
        Options options;
        options.Width = 320;
        options.Height = 240;
        options.Format = textureFormat == DXGI_FORMAT_NV12 ? NV_ENC_BUFFER_FORMAT_NV12 : NV_ENC_BUFFER_FORMAT_ARGB;
        constexpr uint32_t Frames = 6;
        TempDirectory directory;
        Session session(options, device.Get());
        session.Start();
        std::vector<Output> outputs;
        for (uint32_t frame = 0; frame < Frames; ++frame)
        {
            // A texture a frame, drawn through its initial data; the runtime reads it at the
            // texture's own row pitch.
            const auto raw = RawFrame(frame, options.Width, options.Height, options.Format);
            D3D11_TEXTURE2D_DESC desc {};
            desc.Width = options.Width;
            desc.Height = options.Height;
            desc.MipLevels = 1;
            desc.ArraySize = 1;
            desc.Format = textureFormat;
            desc.SampleDesc.Count = 1;
            desc.BindFlags = D3D11_BIND_RENDER_TARGET;
            D3D11_SUBRESOURCE_DATA data { raw.data(), textureFormat == DXGI_FORMAT_NV12 ? options.Width : options.Width * 4, 0 };
            ComPtr<ID3D11Texture2D> texture;
            ASSERT_EQ(device->CreateTexture2D(&desc, &data, texture.GetAddressOf()), S_OK);

            NV_ENC_REGISTER_RESOURCE registration {};
            registration.version = NV_ENC_REGISTER_RESOURCE_VER;
            registration.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX;
            registration.width = options.Width;
            registration.height = options.Height;
            registration.pitch = data.SysMemPitch;
            registration.resourceToRegister = texture.Get();
            registration.bufferFormat = options.Format;
            ASSERT_EQ(session.F.nvEncRegisterResource(session.E, &registration), NV_ENC_SUCCESS);
            NV_ENC_MAP_INPUT_RESOURCE map {};
            map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
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
        const std::string path = directory.File("stream.h264");
        WriteFile(path, Concatenate(outputs));
        EXPECT_EQ(ProbeFrames(path).size(), Frames);
        const std::string raw = directory.File("frames.nv12");
        WriteRawFrames(raw, Frames, options.Width, options.Height, NV_ENC_BUFFER_FORMAT_NV12);
        EXPECT_GT(Psnr(raw, "nv12", options.Width, options.Height, path), 40.0);
    }
}
