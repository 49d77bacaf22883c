// The encoder settings: the initialization built from settings and output type, the rules that
// reject settings, the buffer count and the NAL unit split. (The transform's tests encode with the
// pipeline's settings and a rate control mode that is refused.)

#include "media/XevEncodeTransform/XevEncodeSettings.h"
#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include "fakes/Support.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

namespace
{
PROPVARIANT UInt(UINT32 value) { return { .vt = VT_UI4, .ulVal = value }; }

struct ConfigurationCase
{
    const char* Name;
    std::vector<std::pair<GUID, PROPVARIANT>> Settings;
    UINT32 RateNumerator = 30, RateDenominator = 1, Profile = 0;
    HRESULT Result = S_OK;
    UINT32 GopLength = 30, Qp = 0;
    int32_t FrameIntervalP = 1;
    GUID ProfileGuid = NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID;
};

HRESULT Build(const ConfigurationCase& row, Xev::EncoderConfiguration& configuration)
{
    Xev::SettingsStore settings;
    for (const auto& [key, value] : row.Settings)
        settings.Set(key, value);
    ComPtr<IMFMediaType> type;
    EXPECT_EQ(MFCreateMediaType(type.GetAddressOf()), S_OK);
    EXPECT_EQ(MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 1280, 720) | MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, row.RateNumerator, row.RateDenominator) |
                  (row.Profile ? type->SetUINT32(MF_MT_MPEG2_PROFILE, row.Profile) : S_OK), S_OK);
    return Error::Guard([&] { configuration = Xev::BuildConfiguration(settings, type.Get(), NV_ENC_CODEC_H264_GUID); });
}
} // namespace

TEST(XevEncodeSettings, ConfigurationFromSettingsAndOutputType)
{
    const GUID gop = CODECAPI_AVEncMPVGOPSize, b = CODECAPI_AVEncMPVDefaultBPictureCount, mode = CODECAPI_AVEncCommonRateControlMode,
               quality = CODECAPI_AVEncCommonQuality;
    const ConfigurationCase rows[] = {
        { "30000/1001 rounds to a GOP of 30", {}, 30000, 1001 },
        { "a zero rate term gives 60", {}, 30, 0, 0, S_OK, 60 },
        { "GOP as VT_I4", { { gop, { .vt = VT_I4, .lVal = 120 } } }, 30, 1, 0, S_OK, 120 },
        { "GOP text that does not convert", { { gop, { .vt = VT_LPWSTR, .pwszVal = const_cast<char*>("many") } } }, 30, 1, 0, DISP_E_TYPEMISMATCH },
        { "quality mode without a quality: 50", { { mode, UInt(3) } }, 30, 1, 0, S_OK, 30, 31 },
        { "quality beyond 100 counts as 100", { { mode, UInt(3) }, { quality, UInt(5000) } }, 30, 1, 0, S_OK, 30, 16 },
        { "B-pictures with an infinite GOP", { { b, UInt(2) }, { gop, UInt(0xFFFFFFFF) } }, 30, 1, 0, E_INVALIDARG },
        { "no B-pictures with an infinite GOP", { { b, UInt(0) }, { gop, UInt(0xFFFFFFFF) } }, 30, 1, 0, S_OK, 0xFFFFFFFF },
        { "two B-pictures", { { b, UInt(2) } }, 30, 1, 0, S_OK, 30, 0, 3 },
        { "profile 110 is automatic", {}, 30, 1, 110 },
        { "profile 100 is High", {}, 30, 1, 100, S_OK, 30, 0, 1, NV_ENC_H264_PROFILE_HIGH_GUID },
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.Name);
        Xev::EncoderConfiguration configuration;
        ASSERT_EQ(Build(row, configuration), row.Result);
        if (row.Result != S_OK)
            continue;
        const NV_ENC_CONFIG& config = *configuration.Params.encodeConfig;
        const NV_ENC_CONFIG_H264& h264 = config.encodeCodecConfig.h264Config;
        EXPECT_EQ(std::tuple(config.version, configuration.Params.version, config.gopLength, h264.idrPeriod, config.frameIntervalP),
                  std::tuple(NV_ENC_CONFIG_VER, NV_ENC_INITIALIZE_PARAMS_VER, row.GopLength, row.GopLength, row.FrameIntervalP));
        EXPECT_EQ(std::tuple(config.rcParams.constQP.qpInterP, config.rcParams.constQP.qpInterB, config.rcParams.constQP.qpIntra), std::tuple(row.Qp, row.Qp, row.Qp));
        EXPECT_TRUE(config.profileGUID == row.ProfileGuid && h264.outputAUD && h264.repeatSPSPPS && &config == &configuration.Config);
    }
    // The rejected pair names itself in the trace.
    TestSupport::TraceCapture trace;
    Xev::EncoderConfiguration configuration;
    EXPECT_EQ(Build(rows[6], configuration), E_INVALIDARG);
    EXPECT_EQ(trace.LinesContaining("Incompatible settings, DefaultBPictureCount 2 and Config.gopLength -1").size(), 1u);
}

TEST(XevEncodeSettings, BufferCountAndNalUnits)
{
    const std::tuple<int32_t, UINT32, UINT32, UINT32> counts[] = { { 1, 1920, 1080, 4 }, { 0, 1920, 1080, 3 }, { 3, 1280, 720, 32 }, { 2, 7680, 4320, 4 } };
    for (const auto& [interval, width, height, expected] : counts)
    {
        NV_ENC_CONFIG config {};
        config.frameIntervalP = interval;
        EXPECT_EQ(Xev::BufferCount(config, width, height), expected) << interval << " " << width << "x" << height;
    }
    const std::pair<std::vector<BYTE>, std::vector<UINT32>> splits[] = {
        { { 0, 0, 0, 1, 9, 0x10, 0, 0, 1, 0x67, 1, 2, 0, 0, 0, 1, 0x68, 3 }, { 6, 6, 6 } }, // four- and three-byte start codes
        { { 0, 0, 1, 0x65, 0, 0, 3, 1, 7 }, { 9 } },                                   // emulation prevention is no start code
        { { 0, 0, 1 }, {} },                                                          // shorter than a start code and a byte
        { {}, {} },
    };
    std::vector<UINT32> lengths;
    for (const auto& [bytes, expected] : splits)
        EXPECT_EQ((Xev::SplitNalUnits(bytes, lengths), lengths), expected);
}

// (The transform's new-stream test sets values through ICodecAPI and encodes with the last ones.)
TEST(XevEncodeSettings, CodecApiRefusesANullKey)
{
    auto transform = Make<XevEncodeTransform>();
    PROPVARIANT value = UInt(10);
    EXPECT_EQ((std::pair { transform->SetValue(nullptr, &value), transform->Shutdown() }), std::pair(E_INVALIDARG, S_OK));
}
