#include "media/XevEncodeTransform/XevEncodeSettings.h"

#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <algorithm>
#include <cmath>

namespace Xev
{
std::optional<InputFormat> FindInputFormat(IMFMediaType* type)
{
    XEV_CHECK_POINTER(type);
    InputFormat format;
    XEV_CHECK_HR(type->GetGUID(MF_MT_SUBTYPE, &format.Subtype));
    if (FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &format.Width, &format.Height)))
        return std::nullopt;
    UINT32 stride = 0;
    const bool hasStride = SUCCEEDED(type->GetUINT32(MF_MT_DEFAULT_STRIDE, &stride));
    if (format.Subtype == MFVideoFormat_NV12)
    {
        format.TextureFormat = DXGI_FORMAT_NV12;
        format.BufferFormat = NV_ENC_BUFFER_FORMAT_NV12;
        format.Stride = hasStride ? static_cast<INT32>(stride) : static_cast<INT32>(format.Width);
    }
    else if (format.Subtype == MFVideoFormat_ARGB32 || format.Subtype == MFVideoFormat_RGB32)
    {
        format.TextureFormat = DXGI_FORMAT_B8G8R8A8_UNORM;
        format.BufferFormat = NV_ENC_BUFFER_FORMAT_ARGB;
        format.Stride = hasStride ? static_cast<INT32>(stride) : -static_cast<INT32>(format.Width * 4); // bottom-up
    }
    else
        return std::nullopt;
    return format;
}

void SettingsStore::Set(const GUID& key, const PROPVARIANT& value)
{
    MF::PropVariantT<> copy;
    XEV_CHECK_HR(VariantCopy(&copy, &value));
    m_Values[key] = std::move(copy);
}

void SettingsStore::Get(const GUID& key, PROPVARIANT* value) const
{
    if (const auto found = m_Values.find(key); found != m_Values.end())
        XEV_CHECK_HR(VariantCopy(value, &found->second));
}

std::optional<UINT32> SettingsStore::ReadUInt32(const GUID& key) const
{
    const auto found = m_Values.find(key);
    if (found == m_Values.end())
        return std::nullopt;
    if (found->second.vt == VT_UI4)
        return found->second.ulVal;
    MF::PropVariantT<> converted;
    XEV_CHECK_HR(VariantChangeType(&converted, &found->second, 0, VT_UI4));
    return converted.ulVal;
}

bool SettingsStore::Remove(const GUID& key)
{
    return m_Values.erase(key) != 0;
}

UINT32 QualityToQp(UINT32 quality)
{
    // Beyond 100 the curve falls below QP 0.
    const double q = std::min(quality, 100u);
    return static_cast<UINT32>((std::pow(10.0, 600.0 / (q + 565.0)) - 8.0) * 10.0 + 0.5 + 16.0);
}

namespace
{
GUID ProfileOf(IMFMediaType* outputType)
{
    switch (MFGetAttributeUINT32(outputType, MF_MT_MPEG2_PROFILE, 0))
    {
    case 66: return NV_ENC_H264_PROFILE_BASELINE_GUID;
    case 77: return NV_ENC_H264_PROFILE_MAIN_GUID;
    case 100: return NV_ENC_H264_PROFILE_HIGH_GUID;
    case 244: return NV_ENC_H264_PROFILE_HIGH_444_GUID;
    default: return NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID;
    }
}
} // namespace

EncoderConfiguration BuildConfiguration(const SettingsStore& settings, IMFMediaType* outputType, const GUID& codec)
{
    XEV_CHECK(outputType, MF_E_TRANSFORM_TYPE_NOT_SET);
    UINT32 width = 0, height = 0, rateNumerator = 0, rateDenominator = 0;
    XEV_CHECK_HR(MFGetAttributeSize(outputType, MF_MT_FRAME_SIZE, &width, &height));
    XEV_CHECK_HR(MFGetAttributeRatio(outputType, MF_MT_FRAME_RATE, &rateNumerator, &rateDenominator));

    EncoderConfiguration result;
    NV_ENC_CONFIG& config = result.Config;
    config.version = NV_ENC_CONFIG_VER;
    config.profileGUID = ProfileOf(outputType);
    config.gopLength = 60;
    if (rateNumerator != 0 && rateDenominator != 0)
        config.gopLength = static_cast<UINT32>((UINT64(rateDenominator) / 2 + rateNumerator) / rateDenominator);
    if (const auto gop = settings.ReadUInt32(CODECAPI_AVEncMPVGOPSize))
        config.gopLength = *gop;
    const auto bPictures = settings.ReadUInt32(CODECAPI_AVEncMPVDefaultBPictureCount);
    config.frameIntervalP = bPictures ? static_cast<int32_t>(*bPictures + 1) : 1;
    config.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FRAME;
    config.mvPrecision = NV_ENC_MV_PRECISION_QUARTER_PEL;
    config.rcParams.version = NV_ENC_RC_PARAMS_VER;
    config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_CONSTQP;

    if (bPictures && *bPictures != 0 && config.gopLength == NVENC_INFINITE_GOPLENGTH)
        XEV_FAIL_MESSAGE(E_INVALIDARG, "Incompatible settings, DefaultBPictureCount %u and Config.gopLength %d", *bPictures,
            static_cast<int>(config.gopLength));

    if (const auto mode = settings.ReadUInt32(CODECAPI_AVEncCommonRateControlMode))
    {
        XEV_CHECK(*mode == eAVEncCommonRateControlMode_Quality, E_NOTIMPL);
        const UINT32 qp = QualityToQp(settings.ReadUInt32(CODECAPI_AVEncCommonQuality).value_or(50));
        config.rcParams.constQP = NV_ENC_QP { qp, qp, qp };
    }

    NV_ENC_CONFIG_H264& h264 = config.encodeCodecConfig.h264Config;
    h264.outputAUD = 1;
    h264.repeatSPSPPS = 1;
    h264.idrPeriod = config.gopLength;
    h264.chromaFormatIDC = 1;

    NV_ENC_INITIALIZE_PARAMS& params = result.Params;
    params.version = NV_ENC_INITIALIZE_PARAMS_VER;
    params.encodeGUID = codec;
    params.presetGUID = NvEncPresets::LowLatencyDefault;
    params.encodeWidth = params.darWidth = width;
    params.encodeHeight = params.darHeight = height;
    UINT32 aspectNumerator = 0, aspectDenominator = 0;
    if (SUCCEEDED(MFGetAttributeRatio(outputType, MF_MT_PIXEL_ASPECT_RATIO, &aspectNumerator, &aspectDenominator)))
    {
        params.darWidth = aspectNumerator * width;
        params.darHeight = aspectDenominator * height;
    }
    params.frameRateNum = rateNumerator;
    params.frameRateDen = rateDenominator;
    params.enableEncodeAsync = 1;
    params.enablePTD = 1;
    params.encodeConfig = &config;
    return result;
}

UINT32 BufferCount(const NV_ENC_CONFIG& config, UINT32 width, UINT32 height)
{
    if (config.frameIntervalP < 2)
        return static_cast<UINT32>(std::max(config.frameIntervalP, 0)) + 3;
    const UINT64 macroblocks = UINT64((width + 15) / 16) * ((height + 15) / 16);
    if (macroblocks >= 32768)
        return 4;
    if (macroblocks >= 16384)
        return 8;
    if (macroblocks < 8160)
        return 32;
    return 16;
}

void SplitNalUnits(std::span<const BYTE> data, std::vector<UINT32>& lengths)
{
    lengths.clear();
    std::size_t unitStart = 0;
    bool inUnit = false;
    for (std::size_t i = 0; i + 4 <= data.size();)
    {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1)
        {
            const std::size_t start = (i > 0 && data[i - 1] == 0) ? i - 1 : i;
            if (inUnit)
                lengths.push_back(static_cast<UINT32>(start - unitStart));
            unitStart = start;
            inUnit = true;
            i += 4;
        }
        else
            ++i;
    }
    if (inUnit)
        lengths.push_back(static_cast<UINT32>(data.size() - unitStart));
}
} // namespace Xev
