#pragma once
// The encoder runtime's interface: the NVIDIA video encoder function list and its structures,
// from the system's ffnvcodec header, with the GUID type of our own object model.
//
// Everything that talks to an encoder runtime includes this header rather than the system one,
// so that both see one GUID type and the header's own version macros (NVENCAPI_VERSION and the
// structure versions built from it).

#include "platform/com/Guid.h"

// The header declares its own GUID struct unless told that one exists; ours has the same layout.
#ifndef GUID_DEFINED
#define GUID_DEFINED
#define XEV_GUID_DEFINED_HERE
#endif
#include <ffnvcodec/nvEncodeAPI.h>
#ifdef XEV_GUID_DEFINED_HERE
#undef GUID_DEFINED
#undef XEV_GUID_DEFINED_HERE
#endif

static_assert(sizeof(GUID) == 16);

// Fills a function list with the functions of the same names in the enclosing namespace;
// each runtime defines one function per entry (OpenEncodeSession, GetEncodeGUIDCount, ...).
#define XEV_FILL_NVENC_FUNCTION_LIST(list) \
    (list)->nvEncOpenEncodeSession = &OpenEncodeSession; \
    (list)->nvEncGetEncodeGUIDCount = &GetEncodeGUIDCount; \
    (list)->nvEncGetEncodeProfileGUIDCount = &GetEncodeProfileGUIDCount; \
    (list)->nvEncGetEncodeProfileGUIDs = &GetEncodeProfileGUIDs; \
    (list)->nvEncGetEncodeGUIDs = &GetEncodeGUIDs; \
    (list)->nvEncGetInputFormatCount = &GetInputFormatCount; \
    (list)->nvEncGetInputFormats = &GetInputFormats; \
    (list)->nvEncGetEncodeCaps = &GetEncodeCaps; \
    (list)->nvEncGetEncodePresetCount = &GetEncodePresetCount; \
    (list)->nvEncGetEncodePresetGUIDs = &GetEncodePresetGUIDs; \
    (list)->nvEncGetEncodePresetConfig = &GetEncodePresetConfig; \
    (list)->nvEncInitializeEncoder = &InitializeEncoder; \
    (list)->nvEncCreateInputBuffer = &CreateInputBuffer; \
    (list)->nvEncDestroyInputBuffer = &DestroyInputBuffer; \
    (list)->nvEncCreateBitstreamBuffer = &CreateBitstreamBuffer; \
    (list)->nvEncDestroyBitstreamBuffer = &DestroyBitstreamBuffer; \
    (list)->nvEncEncodePicture = &EncodePicture; \
    (list)->nvEncLockBitstream = &LockBitstream; \
    (list)->nvEncUnlockBitstream = &UnlockBitstream; \
    (list)->nvEncLockInputBuffer = &LockInputBuffer; \
    (list)->nvEncUnlockInputBuffer = &UnlockInputBuffer; \
    (list)->nvEncGetEncodeStats = &GetEncodeStats; \
    (list)->nvEncGetSequenceParams = &GetSequenceParams; \
    (list)->nvEncRegisterAsyncEvent = &RegisterAsyncEvent; \
    (list)->nvEncUnregisterAsyncEvent = &UnregisterAsyncEvent; \
    (list)->nvEncMapInputResource = &MapInputResource; \
    (list)->nvEncUnmapInputResource = &UnmapInputResource; \
    (list)->nvEncDestroyEncoder = &DestroyEncoder; \
    (list)->nvEncInvalidateRefFrames = &InvalidateRefFrames; \
    (list)->nvEncOpenEncodeSessionEx = &OpenEncodeSessionEx; \
    (list)->nvEncRegisterResource = &RegisterResource; \
    (list)->nvEncUnregisterResource = &UnregisterResource; \
    (list)->nvEncReconfigureEncoder = &ReconfigureEncoder; \
    (list)->nvEncCreateMVBuffer = &CreateMVBuffer; \
    (list)->nvEncDestroyMVBuffer = &DestroyMVBuffer; \
    (list)->nvEncRunMotionEstimationOnly = &RunMotionEstimationOnly; \
    (list)->nvEncGetLastErrorString = &GetLastErrorString; \
    (list)->nvEncSetIOCudaStreams = &SetIOCudaStreams; \
    (list)->nvEncGetEncodePresetConfigEx = &GetEncodePresetConfigEx; \
    (list)->nvEncGetSequenceParamEx = &GetSequenceParamEx;

// The function list's version field and the entry point that fills it.
using NvEncodeApiCreateInstanceFunction = NVENCSTATUS(NVENCAPI*)(NV_ENCODE_API_FUNCTION_LIST* functionList);

// The preset that the encoder transform asks for is marked deprecated by the header; these
// aliases name the presets without the warning at every use.
namespace NvEncPresets
{
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
static constexpr const GUID& LowLatencyDefault = NV_ENC_PRESET_LOW_LATENCY_DEFAULT_GUID;
static constexpr const GUID& LowLatencyHighQuality = NV_ENC_PRESET_LOW_LATENCY_HQ_GUID;
static constexpr const GUID& LowLatencyHighPerformance = NV_ENC_PRESET_LOW_LATENCY_HP_GUID;
static constexpr const GUID& Default = NV_ENC_PRESET_DEFAULT_GUID;
static constexpr const GUID& HighPerformance = NV_ENC_PRESET_HP_GUID;
static constexpr const GUID& HighQuality = NV_ENC_PRESET_HQ_GUID;
static constexpr const GUID& BluRay = NV_ENC_PRESET_BD_GUID;
static constexpr const GUID& LosslessDefault = NV_ENC_PRESET_LOSSLESS_DEFAULT_GUID;
static constexpr const GUID& LosslessHighPerformance = NV_ENC_PRESET_LOSSLESS_HP_GUID;
#pragma GCC diagnostic pop
} // namespace NvEncPresets
