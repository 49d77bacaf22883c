// Loading the runtimes, and how the software runtime turns an initialisation into libx264's
// parameters.

#include "platform/encoder/NvidiaRuntime.h"
#include "platform/encoder/Runtime.h"
#include "platform/encoder/SoftwareRuntime.h"
#include "platform/encoder/X264Settings.h"

#include "EncoderTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

using namespace EncoderTest;

// No machine this is built on has the NVIDIA driver: libraries that exist everywhere but are not
// the driver's load, counted, with no entry point. The software adapter and no device get the
// software runtime.
TEST(EncoderRuntimeLoading, ImpostorsOfferNoFunctionListAndTheSoftwareAdapterGetsTheSoftwareRuntime)
{
    EXPECT_EQ(EncoderRuntime::LoadNvidia({ .Encoder = "libxev-does-not-exist.so.1" }), nullptr);
    const EncoderRuntime::NvidiaLibraries libraries { .Encoder = "libm.so.6", .Cuda = "libc.so.6" };
    EncoderRuntime::Module* module = EncoderRuntime::LoadNvidia(libraries);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(std::pair(EncoderRuntime::FindCreateInstance(module), EncoderRuntime::LoadNvidia(libraries)), std::pair(NvEncodeApiCreateInstanceFunction(nullptr), module));
    EncoderRuntime::Free(module);
    EncoderRuntime::Free(module);
    auto list = Versioned<NV_ENCODE_API_FUNCTION_LIST>(NV_ENCODE_API_FUNCTION_LIST_VER);
    EXPECT_EQ(NvidiaEncoder::CreateInstance(&list), NV_ENC_ERR_NO_ENCODE_DEVICE);

    EncoderRuntime::Module* software = EncoderRuntime::LoadSoftware();
    EXPECT_EQ(EncoderRuntime::FindCreateInstance(software), &SoftwareEncoder::CreateInstance);
    EXPECT_EQ(std::pair(EncoderRuntime::LoadForDevice(nullptr), EncoderRuntime::LoadForDevice(WarpDevice().Get())), std::pair(software, software));
    EncoderRuntime::Free(software);
    EncoderRuntime::Free(nullptr);
}

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

TEST(X264Settings, ConstantQpPerPictureTypeBecomesOneQpAndTwoFactors)
{
    auto init = MakeInitialization(Options {});
    init->Config.rcParams.constQP = NV_ENC_QP { 30, 33, 24 }; // P, B, I
    init->Config.frameIntervalP = 2;
    const auto t = Translate(*init);
    ASSERT_EQ(std::tuple(t.Status, t.Params.rc.i_rc_method, t.Params.rc.i_qp_constant), std::tuple(NV_ENC_SUCCESS, X264_RC_CQP, 30));
    // libx264: QP(I) = QP(P) - 6 log2(ip), QP(B) = QP(P) + 6 log2(pb).
    EXPECT_NEAR(30 - 6 * std::log2(t.Params.rc.f_ip_factor), 24.0, 1e-3);
    EXPECT_NEAR(30 + 6 * std::log2(t.Params.rc.f_pb_factor), 33.0, 1e-3);
    EXPECT_EQ(std::pair(t.Params.i_bframe, t.Params.i_bframe_adaptive), std::pair(1, X264_B_ADAPT_NONE));

    // QP 0 is lossy QP 1 unless transform bypass is asked for.
    init->Config.rcParams.constQP = NV_ENC_QP { 0, 0, 0 };
    EXPECT_EQ(Translate(*init).Params.rc.i_qp_constant, 1);
    init->Config.encodeCodecConfig.h264Config.qpPrimeYZeroTransformBypassFlag = 1;
    const auto lossless = Translate(*init);
    EXPECT_EQ(std::pair(lossless.Settings.Lossless, lossless.Params.rc.i_qp_constant), std::pair(true, 0));
}
