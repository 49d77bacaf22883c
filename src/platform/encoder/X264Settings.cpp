#include "X264Settings.h"

#include "platform/com/Trace.h"

#include <cmath>
#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>

namespace SoftwareEncoder
{
namespace
{
const GUID ProfileList[] = {
    NV_ENC_H264_PROFILE_BASELINE_GUID,
    NV_ENC_H264_PROFILE_MAIN_GUID,
    NV_ENC_H264_PROFILE_HIGH_GUID,
    NV_ENC_H264_PROFILE_HIGH_444_GUID,
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
const GUID PresetList[] = {
    NV_ENC_PRESET_P1_GUID,
    NV_ENC_PRESET_P2_GUID,
    NV_ENC_PRESET_P3_GUID,
    NV_ENC_PRESET_P4_GUID,
    NV_ENC_PRESET_P5_GUID,
    NV_ENC_PRESET_P6_GUID,
    NV_ENC_PRESET_P7_GUID,
    NV_ENC_PRESET_DEFAULT_GUID,
    NV_ENC_PRESET_HP_GUID,
    NV_ENC_PRESET_HQ_GUID,
    NV_ENC_PRESET_BD_GUID,
    NV_ENC_PRESET_LOW_LATENCY_DEFAULT_GUID,
    NV_ENC_PRESET_LOW_LATENCY_HQ_GUID,
    NV_ENC_PRESET_LOW_LATENCY_HP_GUID,
};
#pragma GCC diagnostic pop

bool IsProfile(const GUID& profile) noexcept
{
    for (const GUID& known : ProfileList)
        if (profile == known)
            return true;
    return false;
}

bool IsLowLatencyPreset(const GUID& preset) noexcept
{
    return preset == NvEncPresets::LowLatencyDefault || preset == NvEncPresets::LowLatencyHighQuality ||
           preset == NvEncPresets::LowLatencyHighPerformance;
}

// libx264's log lines go to the trace, as one line each.
void X264Log(void* context, int level, const char* format, va_list arguments)
{
    char message[512];
    va_list copy;
    va_copy(copy, arguments);
    std::vsnprintf(message, sizeof(message), format, copy);
    va_end(copy);
    XEV_TRACE("x264 level %d: %s%s", level, message, message[0] && message[std::strlen(message) - 1] == '\n' ? "" : "\n");
}
} // namespace

std::span<const GUID> Profiles() noexcept
{
    return ProfileList;
}

std::span<const GUID> Presets() noexcept
{
    return PresetList;
}

bool IsKnownPreset(const GUID& preset) noexcept
{
    for (const GUID& known : PresetList)
        if (preset == known)
            return true;
    return false;
}

NVENCSTATUS PresetConfig(const GUID& codec, const GUID& preset, NV_ENC_CONFIG* config) noexcept
{
    if (codec != NV_ENC_CODEC_H264_GUID || !IsKnownPreset(preset))
        return NV_ENC_ERR_INVALID_PARAM;
    const uint32_t version = config->version;
    *config = NV_ENC_CONFIG {};
    config->version = version;
    config->profileGUID = NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID;
    // Low-latency presets send no I-pictures after the first; the others one every 250.
    config->gopLength = IsLowLatencyPreset(preset) ? NVENC_INFINITE_GOPLENGTH : 250;
    config->frameIntervalP = 1;
    config->frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    config->mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;
    config->rcParams.version = NV_ENC_RC_PARAMS_VER;
    config->rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;
    config->rcParams.constQP = NV_ENC_QP { 28, 31, 25 };
    NV_ENC_CONFIG_H264& h264 = config->encodeCodecConfig.h264Config;
    h264.idrPeriod = config->gopLength;
    h264.chromaFormatIDC = 1;
    h264.entropyCodingMode = NV_ENC_H264_ENTROPY_CODING_MODE_AUTOSELECT;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS ReadInitializeParams(const NV_ENC_INITIALIZE_PARAMS& params, EncoderSettings* settings) noexcept
{
    if (params.version != NV_ENC_INITIALIZE_PARAMS_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    if (params.encodeGUID != NV_ENC_CODEC_H264_GUID)
        return NV_ENC_ERR_INVALID_PARAM;
    NV_ENC_CONFIG config {};
    if (params.encodeConfig)
    {
        config = *params.encodeConfig;
        if (config.version != NV_ENC_CONFIG_VER)
            return NV_ENC_ERR_INVALID_VERSION;
    }
    else
    {
        config.version = NV_ENC_CONFIG_VER;
        if (const NVENCSTATUS status = PresetConfig(params.encodeGUID, params.presetGUID, &config); status != NV_ENC_SUCCESS)
            return status;
    }
    if (config.rcParams.version != 0 && config.rcParams.version != NV_ENC_RC_PARAMS_VER)
        return NV_ENC_ERR_INVALID_VERSION;
    if (params.enableMEOnlyMode || params.enableOutputInVidmem || params.enableExternalMEHints)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    if (params.reportSliceOffsets && params.enableEncodeAsync)
        return NV_ENC_ERR_INVALID_PARAM;

    EncoderSettings s;
    s.Width = params.encodeWidth;
    s.Height = params.encodeHeight;
    if (s.Width < MinimumSize || s.Height < MinimumSize || s.Width > MaximumSize || s.Height > MaximumSize || s.Width % 2 || s.Height % 2)
        return NV_ENC_ERR_INVALID_PARAM;
    if (params.frameRateNum && params.frameRateDen)
    {
        s.FrameRateNumerator = params.frameRateNum;
        s.FrameRateDenominator = params.frameRateDen;
    }
    s.DisplayAspectWidth = params.darWidth;
    s.DisplayAspectHeight = params.darHeight;
    s.Asynchronous = params.enableEncodeAsync != 0;
    s.PictureTypeDecision = params.enablePTD != 0;
    s.ReportSliceOffsets = params.reportSliceOffsets != 0;

    // Picture pattern.
    if (config.gopLength == 0)
        return NV_ENC_ERR_INVALID_PARAM;
    s.GopLength = config.gopLength;
    if (config.frameIntervalP < 0 || static_cast<uint32_t>(config.frameIntervalP) > MaximumBFrames + 1)
        return NV_ENC_ERR_INVALID_PARAM;
    s.IntraOnly = config.frameIntervalP == 0;
    s.BFrames = config.frameIntervalP > 1 ? static_cast<uint32_t>(config.frameIntervalP) - 1 : 0;
    if (config.frameFieldMode != 0 && config.frameFieldMode != NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    if (config.monoChromeEncoding)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;

    // Profile.
    if (config.profileGUID == NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID || config.profileGUID == NV_ENC_H264_PROFILE_PROGRESSIVE_HIGH_GUID ||
        config.profileGUID == GUID {})
        s.Profile = NV_ENC_H264_PROFILE_HIGH_GUID;
    else if (config.profileGUID == NV_ENC_H264_PROFILE_CONSTRAINED_HIGH_GUID)
    {
        if (s.BFrames)
            return NV_ENC_ERR_INVALID_PARAM;
        s.Profile = NV_ENC_H264_PROFILE_HIGH_GUID;
    }
    else if (IsProfile(config.profileGUID))
        s.Profile = config.profileGUID;
    else if (config.profileGUID == NV_ENC_H264_PROFILE_STEREO_GUID)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    else
        return NV_ENC_ERR_INVALID_PARAM;
    if (s.Profile == NV_ENC_H264_PROFILE_BASELINE_GUID && s.BFrames)
        return NV_ENC_ERR_INVALID_PARAM;

    // Codec settings.
    const NV_ENC_CONFIG_H264& h264 = config.encodeCodecConfig.h264Config;
    if (h264.enableTemporalSVC || h264.enableStereoMVC || h264.hierarchicalPFrames || h264.hierarchicalBFrames || h264.enableLTR ||
        h264.separateColourPlaneFlag || h264.enableIntraRefresh || h264.fmoMode == NV_ENC_H264_FMO_ENABLE)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    if (h264.chromaFormatIDC > 1)
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    s.OutputAud = h264.outputAUD != 0;
    s.RepeatSpsPps = h264.repeatSPSPPS != 0;
    s.DisableSpsPps = h264.disableSPSPPS != 0;
    s.IdrPeriod = h264.idrPeriod ? h264.idrPeriod : s.GopLength;
    s.Level = h264.level;
    if (s.Level != NV_ENC_LEVEL_AUTOSELECT && (s.Level < NV_ENC_LEVEL_H264_1b || s.Level > NV_ENC_LEVEL_H264_62))
        return NV_ENC_ERR_INVALID_PARAM;
    s.Cabac = h264.entropyCodingMode != NV_ENC_H264_ENTROPY_CODING_MODE_CAVLC && s.Profile != NV_ENC_H264_PROFILE_BASELINE_GUID;
    if (h264.disableDeblockingFilterIDC > 2)
        return NV_ENC_ERR_INVALID_PARAM;
    s.Deblocking = h264.disableDeblockingFilterIDC != 1;
    s.ConstrainedIntra = h264.useConstrainedIntraPred != 0;
    s.ReferenceFrames = h264.maxNumRefFrames;
    if (s.ReferenceFrames > 16)
        return NV_ENC_ERR_INVALID_PARAM;
    if (h264.sliceMode > 3)
        return NV_ENC_ERR_INVALID_PARAM;
    s.SliceMode = h264.sliceMode;
    s.SliceModeData = h264.sliceModeData;
    s.Vui = h264.h264VUIParameters;

    // Rate control.
    const NV_ENC_RC_PARAMS& rc = config.rcParams;
    s.RateControl = rc.rateControlMode;
    switch (rc.rateControlMode)
    {
    case NV_ENC_PARAMS_RC_CONSTQP:
    {
        const uint32_t qps[] = { rc.constQP.qpIntra, rc.constQP.qpInterP, rc.constQP.qpInterB };
        for (uint32_t qp : qps)
            if (qp > 51)
                return NV_ENC_ERR_INVALID_PARAM;
        s.Lossless = h264.qpPrimeYZeroTransformBypassFlag && rc.constQP.qpInterP == 0;
        // libx264 codes QP 0 only as lossless: elsewhere the nearest lossy QP stands for it.
        auto lossy = [&](uint32_t qp) { return s.Lossless ? qp : std::max(qp, 1u); };
        s.QpIntra = lossy(rc.constQP.qpIntra);
        s.QpInterP = lossy(rc.constQP.qpInterP);
        s.QpInterB = lossy(rc.constQP.qpInterB);
        break;
    }
    case NV_ENC_PARAMS_RC_VBR:
    case NV_ENC_PARAMS_RC_CBR:
        if (rc.averageBitRate == 0)
            return NV_ENC_ERR_INVALID_PARAM;
        s.AverageBitRate = rc.averageBitRate;
        s.MaximumBitRate = rc.rateControlMode == NV_ENC_PARAMS_RC_CBR ? rc.averageBitRate : rc.maxBitRate;
        s.VbvBufferSize = rc.vbvBufferSize;
        break;
    default:
        return NV_ENC_ERR_UNSUPPORTED_PARAM;
    }
    *settings = s;
    return NV_ENC_SUCCESS;
}

NVENCSTATUS MakeX264Params(const EncoderSettings& s, x264_param_t* p, const char* preset) noexcept
{
    if (x264_param_default_preset(p, preset, X264Tune) < 0)
        return NV_ENC_ERR_GENERIC;
    p->pf_log = &X264Log;
    p->p_log_private = nullptr;
    p->i_log_level = X264_LOG_WARNING;

    // One encoding thread a session: sessions run side by side, and one thread keeps one slice a
    // picture (more threads switch libx264 to sliced threads).
    p->i_threads = 1;
    p->i_lookahead_threads = 1;
    p->b_sliced_threads = 0;
    p->i_sync_lookahead = 0;
    p->rc.i_lookahead = 0;

    p->i_width = static_cast<int>(s.Width);
    p->i_height = static_cast<int>(s.Height);
    p->i_csp = X264_CSP_NV12;
    p->i_fps_num = s.FrameRateNumerator;
    p->i_fps_den = s.FrameRateDenominator;
    p->i_timebase_num = s.FrameRateDenominator;
    p->i_timebase_den = s.FrameRateNumerator;
    p->b_vfr_input = 0;
    if (s.DisplayAspectWidth && s.DisplayAspectHeight)
    {
        // Display aspect dar = (w * sarW) / (h * sarH).
        uint64_t sarWidth = uint64_t(s.DisplayAspectWidth) * s.Height;
        uint64_t sarHeight = uint64_t(s.DisplayAspectHeight) * s.Width;
        const uint64_t divisor = std::gcd(sarWidth, sarHeight);
        sarWidth /= divisor;
        sarHeight /= divisor;
        if (sarWidth != sarHeight && sarWidth <= 65535 && sarHeight <= 65535)
        {
            p->vui.i_sar_width = static_cast<int>(sarWidth);
            p->vui.i_sar_height = static_cast<int>(sarHeight);
        }
    }
    if (s.Vui.videoSignalTypePresentFlag)
    {
        p->vui.i_vidformat = static_cast<int>(s.Vui.videoFormat);
        p->vui.b_fullrange = s.Vui.videoFullRangeFlag ? 1 : 0;
    }
    if (s.Vui.colourDescriptionPresentFlag)
    {
        p->vui.i_colorprim = static_cast<int>(s.Vui.colourPrimaries);
        p->vui.i_transfer = static_cast<int>(s.Vui.transferCharacteristics);
        p->vui.i_colmatrix = static_cast<int>(s.Vui.colourMatrix);
    }

    // The session asks for every IDR and I-picture itself, picture by picture, so libx264 must
    // place none of its own: no key interval, no scene cuts. (With a finite interval libx264
    // also turns an I-picture asked for past half the interval into an IDR picture.)
    p->i_keyint_max = X264_KEYINT_MAX_INFINITE;
    p->i_keyint_min = X264_KEYINT_MAX_INFINITE / 2;
    p->i_scenecut_threshold = 0;
    p->b_open_gop = 0;
    p->b_intra_refresh = 0;
    p->i_bframe = static_cast<int>(s.BFrames);
    p->i_bframe_adaptive = X264_B_ADAPT_NONE;
    p->i_bframe_pyramid = X264_B_PYRAMID_NONE;

    p->b_cabac = s.Cabac;
    p->b_deblocking_filter = s.Deblocking;
    p->b_constrained_intra = s.ConstrainedIntra;
    if (s.ReferenceFrames)
        p->i_frame_reference = static_cast<int>(s.ReferenceFrames);
    p->i_level_idc = s.Level == NV_ENC_LEVEL_AUTOSELECT ? -1 : static_cast<int>(s.Level);
    const int macroblockColumns = (p->i_width + 15) / 16;
    switch (s.SliceMode)
    {
    case 0: p->i_slice_max_mbs = static_cast<int>(s.SliceModeData); break;
    case 1: p->i_slice_max_size = static_cast<int>(s.SliceModeData); break;
    case 2: p->i_slice_max_mbs = static_cast<int>(s.SliceModeData) * macroblockColumns; break;
    case 3: p->i_slice_count = static_cast<int>(s.SliceModeData); break;
    }

    switch (s.RateControl)
    {
    case NV_ENC_PARAMS_RC_CONSTQP:
        // Constant QP: one QP per picture type, I and B derived from P through the factors (with
        // the default factors I-pictures would come out 3 below P).
        p->rc.i_rc_method = X264_RC_CQP;
        p->rc.i_qp_constant = static_cast<int>(s.QpInterP);
        p->rc.f_ip_factor = static_cast<float>(std::pow(2.0, (double(s.QpInterP) - double(s.QpIntra)) / 6.0));
        p->rc.f_pb_factor = static_cast<float>(std::pow(2.0, (double(s.QpInterB) - double(s.QpInterP)) / 6.0));
        p->rc.i_aq_mode = X264_AQ_NONE;
        p->rc.b_mb_tree = 0;
        break;
    default:
        p->rc.i_rc_method = X264_RC_ABR;
        p->rc.i_bitrate = static_cast<int>(s.AverageBitRate / 1000);
        p->rc.i_vbv_max_bitrate = static_cast<int>((s.MaximumBitRate ? s.MaximumBitRate : s.AverageBitRate) / 1000);
        p->rc.i_vbv_buffer_size = static_cast<int>((s.VbvBufferSize ? s.VbvBufferSize : p->rc.i_vbv_max_bitrate * 1000u) / 1000);
        break;
    }

    p->b_aud = s.OutputAud;
    p->b_repeat_headers = s.RepeatSpsPps && !s.DisableSpsPps;
    p->b_annexb = 1;

    const char* profile = "high";
    if (s.Profile == NV_ENC_H264_PROFILE_BASELINE_GUID)
        profile = "baseline";
    else if (s.Profile == NV_ENC_H264_PROFILE_MAIN_GUID)
        profile = "main";
    else if (s.Profile == NV_ENC_H264_PROFILE_HIGH_444_GUID || s.Lossless)
        profile = "high444";
    if (x264_param_apply_profile(p, profile) < 0)
        return NV_ENC_ERR_INVALID_PARAM;
    return NV_ENC_SUCCESS;
}
} // namespace SoftwareEncoder
