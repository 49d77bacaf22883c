#pragma once
// How the software runtime reads an encoder initialisation (NV_ENC_INITIALIZE_PARAMS with its
// NV_ENC_CONFIG) and turns it into libx264's parameters.
//
// Reading checks what the hardware checks and answers with the status it gives: a structure of
// another version is NV_ENC_ERR_INVALID_VERSION, a value out of range NV_ENC_ERR_INVALID_PARAM, a
// feature this runtime does not offer (fields, LTR, SVC, 4:4:4) NV_ENC_ERR_UNSUPPORTED_PARAM.

#include "platform/encoder/NvEncodeApi.h"

#include <cstdint>
#include <span>
#include <x264.h>

namespace SoftwareEncoder
{
// The libx264 preset every session encodes with, and the tuning that makes one picture come out
// for every picture that goes in. The preset is the fastest that keeps CABAC and the deblocking
// filter (figures in README.md).
inline constexpr const char* X264Preset = "superfast";
inline constexpr const char* X264Tune = "zerolatency";

inline constexpr uint32_t MaximumSize = 4096;     // the hardware's H.264 limit, each dimension
inline constexpr uint32_t MinimumSize = 16;       // one macroblock
inline constexpr uint32_t MaximumBFrames = 16;    // libx264's limit
inline constexpr uint32_t InfiniteGop = NVENC_INFINITE_GOPLENGTH;

// The session-level reading of an initialisation.
struct EncoderSettings
{
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t FrameRateNumerator = 30;
    uint32_t FrameRateDenominator = 1;
    uint32_t DisplayAspectWidth = 0;   // 0: square pixels
    uint32_t DisplayAspectHeight = 0;
    uint32_t GopLength = 0;            // I-picture period in pictures; InfiniteGop for none
    uint32_t IdrPeriod = 0;            // IDR period in pictures; InfiniteGop for none
    uint32_t BFrames = 0;              // B-pictures between reference pictures
    bool IntraOnly = false;            // frameIntervalP 0: every picture intra coded
    bool Asynchronous = false;         // enableEncodeAsync: completion events are signalled
    bool PictureTypeDecision = true;   // enablePTD: the encoder picks picture types
    bool OutputAud = false;
    bool RepeatSpsPps = false;         // SPS and PPS before every IDR picture
    bool DisableSpsPps = false;        // none at all in the stream
    bool ReportSliceOffsets = false;
    NV_ENC_PARAMS_RC_MODE RateControl = NV_ENC_PARAMS_RC_CONSTQP;
    uint32_t QpIntra = 0;              // constant QP of each picture type (NV_ENC_PARAMS_RC_CONSTQP)
    uint32_t QpInterP = 0;
    uint32_t QpInterB = 0;
    bool Lossless = false;             // qpPrimeYZeroTransformBypassFlag with QP 0
    uint32_t AverageBitRate = 0;       // bits per second (VBR, CBR)
    uint32_t MaximumBitRate = 0;
    uint32_t VbvBufferSize = 0;        // bits
    GUID Profile {};                   // one of the H.264 profile GUIDs (autoselect resolved to high)
    uint32_t Level = 0;                // NV_ENC_LEVEL_AUTOSELECT or an H.264 level
    bool Cabac = true;
    bool Deblocking = true;
    bool ConstrainedIntra = false;
    uint32_t ReferenceFrames = 0;      // 0: the preset's
    uint32_t SliceMode = 0;            // NV_ENC_CONFIG_H264::sliceMode and sliceModeData
    uint32_t SliceModeData = 0;
    NV_ENC_CONFIG_H264_VUI_PARAMETERS Vui {};
};

// Validates an initialisation and reads it. A null encodeConfig takes the preset's configuration.
NVENCSTATUS ReadInitializeParams(const NV_ENC_INITIALIZE_PARAMS& params, EncoderSettings* settings) noexcept;

// libx264's parameters for the settings (input NV12, Annex B output, one thread), on `preset`
// (the benchmark compares presets). NV_ENC_ERR_INVALID_PARAM when libx264 refuses them.
NVENCSTATUS MakeX264Params(const EncoderSettings& settings, x264_param_t* params, const char* preset = X264Preset) noexcept;

// True for the presets this runtime knows (the P1-P7 family and the older named ones).
bool IsKnownPreset(const GUID& preset) noexcept;
// The configuration a preset stands for, as nvEncGetEncodePresetConfig gives it. `config`'s
// version is kept. NV_ENC_ERR_INVALID_PARAM for another codec or an unknown preset.
NVENCSTATUS PresetConfig(const GUID& codec, const GUID& preset, NV_ENC_CONFIG* config) noexcept;

// The profiles sessions accept, in the order nvEncGetEncodeProfileGUIDs lists them.
std::span<const GUID> Profiles() noexcept;
// The presets, in the order nvEncGetEncodePresetGUIDs lists them.
std::span<const GUID> Presets() noexcept;
} // namespace SoftwareEncoder
