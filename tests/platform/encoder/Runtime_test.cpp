// Loading the runtimes, and how the software runtime turns an initialisation into libx264's
// parameters.

#include "platform/encoder/NvidiaRuntime.h"
#include "platform/encoder/Runtime.h"
#include "platform/encoder/SoftwareRuntime.h"
#include "platform/encoder/X264Settings.h"

#include "platform/d3d/D3D11.h"

#include "EncoderTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace EncoderTest;

TEST(EncoderRuntimeLoading, TheNvidiaRuntimeIsMissingHereAndLeavesNothingLoaded)
{
    // No machine this is built on has the NVIDIA driver.
    EXPECT_EQ(EncoderRuntime::LoadNvidia(), nullptr);
    EXPECT_FALSE(NvidiaEncoder::HasEntryPoints());
    EncoderRuntime::NvidiaLibraries missing;
    missing.Encoder = "libxev-does-not-exist.so.1";
    EXPECT_EQ(EncoderRuntime::LoadNvidia(missing), nullptr);
}

TEST(EncoderRuntimeLoading, LibrariesWithoutTheEntryPointsLoadButOfferNoFunctionList)
{
    // Two libraries that exist everywhere but are not the driver's.
    EncoderRuntime::NvidiaLibraries impostors;
    impostors.Encoder = "libm.so.6";
    impostors.Cuda = "libc.so.6";
    EncoderRuntime::Module* module = EncoderRuntime::LoadNvidia(impostors);
    ASSERT_NE(module, nullptr);
    EXPECT_STREQ(EncoderRuntime::Name(module), "NVIDIA");
    EXPECT_EQ(EncoderRuntime::FindCreateInstance(module), nullptr);
    // Loads are counted: the second load shares the first.
    EXPECT_EQ(EncoderRuntime::LoadNvidia(impostors), module);
    EncoderRuntime::Free(module);
    EncoderRuntime::Free(module);
    EXPECT_FALSE(NvidiaEncoder::HasEntryPoints());
    NV_ENCODE_API_FUNCTION_LIST list {};
    list.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    EXPECT_EQ(NvidiaEncoder::CreateInstance(&list), NV_ENC_ERR_NO_ENCODE_DEVICE);
}

TEST(EncoderRuntimeLoading, TheSoftwareAdapterAndNoDeviceGetTheSoftwareRuntime)
{
    EncoderRuntime::Module* software = EncoderRuntime::LoadSoftware();
    ASSERT_NE(software, nullptr);
    EXPECT_STREQ(EncoderRuntime::Name(software), "Software");
    EXPECT_EQ(EncoderRuntime::FindCreateInstance(software), &SoftwareEncoder::CreateInstance);
    EXPECT_EQ(EncoderRuntime::LoadForDevice(nullptr), software);

    ComPtr<ID3D11Device> device;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr,
                  nullptr),
        S_OK);
    EXPECT_EQ(EncoderRuntime::LoadForDevice(device.Get()), software);
    EncoderRuntime::Free(software);
    EncoderRuntime::Free(nullptr);
}

// ---- From an initialisation to libx264's parameters ----------------------------------------

namespace
{
struct Translated
{
    NVENCSTATUS Status;
    SoftwareEncoder::EncoderSettings Settings;
    x264_param_t Params;
};

Translated Translate(const Initialization& init)
{
    Translated t {};
    t.Status = SoftwareEncoder::ReadInitializeParams(init.Params, &t.Settings);
    if (t.Status == NV_ENC_SUCCESS)
        t.Status = SoftwareEncoder::MakeX264Params(t.Settings, &t.Params);
    return t;
}
} // namespace

TEST(X264Settings, ThePresetKeepsCabacAndDeblockingAndEncodesOnOneThread)
{
    const auto t = Translate(*MakeInitialization(Options {}));
    ASSERT_EQ(t.Status, NV_ENC_SUCCESS);
    EXPECT_EQ(t.Params.b_cabac, 1);
    EXPECT_EQ(t.Params.b_deblocking_filter, 1);
    EXPECT_EQ(t.Params.i_threads, 1);
    EXPECT_EQ(t.Params.b_sliced_threads, 0);
    EXPECT_EQ(t.Params.i_bframe, 0);
    EXPECT_EQ(t.Params.rc.i_lookahead, 0);
    EXPECT_EQ(t.Params.i_csp, X264_CSP_NV12);
    EXPECT_EQ(t.Params.b_annexb, 1);
    EXPECT_EQ(t.Params.b_aud, 1);
    EXPECT_EQ(t.Params.b_repeat_headers, 1);
    // The session places IDR and I-pictures itself: libx264 places none.
    EXPECT_EQ(t.Params.i_keyint_max, X264_KEYINT_MAX_INFINITE);
    EXPECT_EQ(t.Params.i_scenecut_threshold, 0);
    EXPECT_EQ(t.Settings.GopLength, 4u);
    EXPECT_EQ(t.Settings.IdrPeriod, 4u);
}

TEST(X264Settings, ConstantQpPerPictureTypeBecomesOneQpAndTwoFactors)
{
    auto init = MakeInitialization(Options {});
    init->Config.rcParams.constQP = NV_ENC_QP { 30, 33, 24 }; // P, B, I
    init->Config.frameIntervalP = 2;
    const auto t = Translate(*init);
    ASSERT_EQ(t.Status, NV_ENC_SUCCESS);
    EXPECT_EQ(t.Params.rc.i_rc_method, X264_RC_CQP);
    EXPECT_EQ(t.Params.rc.i_qp_constant, 30);
    // libx264: QP(I) = QP(P) - 6 log2(ip), QP(B) = QP(P) + 6 log2(pb).
    EXPECT_NEAR(30 - 6 * std::log2(t.Params.rc.f_ip_factor), 24.0, 1e-3);
    EXPECT_NEAR(30 + 6 * std::log2(t.Params.rc.f_pb_factor), 33.0, 1e-3);
    EXPECT_EQ(t.Params.i_bframe, 1);
    EXPECT_EQ(t.Params.i_bframe_adaptive, X264_B_ADAPT_NONE);

    // QP 0 is lossy QP 1 unless transform bypass is asked for.
    init->Config.rcParams.constQP = NV_ENC_QP { 0, 0, 0 };
    EXPECT_EQ(Translate(*init).Params.rc.i_qp_constant, 1);
    init->Config.encodeCodecConfig.h264Config.qpPrimeYZeroTransformBypassFlag = 1;
    const auto lossless = Translate(*init);
    EXPECT_TRUE(lossless.Settings.Lossless);
    EXPECT_EQ(lossless.Params.rc.i_qp_constant, 0);
}

TEST(X264Settings, ProfilesAspectSlicesAndRates)
{
    auto init = MakeInitialization(Options {});
    init->Config.profileGUID = NV_ENC_H264_PROFILE_BASELINE_GUID;
    init->Params.darWidth = 16;
    init->Params.darHeight = 9;
    init->Params.encodeWidth = 720;
    init->Params.encodeHeight = 576;
    init->Config.encodeCodecConfig.h264Config.sliceMode = 3;
    init->Config.encodeCodecConfig.h264Config.sliceModeData = 4;
    auto t = Translate(*init);
    ASSERT_EQ(t.Status, NV_ENC_SUCCESS);
    EXPECT_EQ(t.Params.b_cabac, 0); // baseline
    EXPECT_EQ(t.Params.i_slice_count, 4);
    // 16:9 shown on 720x576: pixels 64:45 wide.
    EXPECT_EQ(t.Params.vui.i_sar_width, 64);
    EXPECT_EQ(t.Params.vui.i_sar_height, 45);

    init = MakeInitialization(Options {});
    init->Params.frameRateNum = 0;
    init->Config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CBR;
    init->Config.rcParams.averageBitRate = 4'000'000;
    t = Translate(*init);
    ASSERT_EQ(t.Status, NV_ENC_SUCCESS);
    EXPECT_EQ(t.Params.i_fps_num, 30u); // a missing rate is 30 a second
    EXPECT_EQ(t.Params.rc.i_rc_method, X264_RC_ABR);
    EXPECT_EQ(t.Params.rc.i_bitrate, 4000);
    EXPECT_EQ(t.Params.rc.i_vbv_max_bitrate, 4000);
}
