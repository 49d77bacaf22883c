#include "NameTables.h"

#include "platform/mf/EventTypes.h"
#include "platform/mf/Guids.h"
#include "platform/mf/Interfaces.h"

#include <iterator>

namespace MF::NameTables
{
namespace
{
// One row from one identifier: the value and its own spelling, so the two cannot drift apart.
#define XEV_NAME_ROW(name) { name, #name }

// Interfaces that the media objects are asked for without implementing them; identifiers as
// the platform publishes them.
XEV_GUID(IID_IMFMetadataProvider, "56181d2d-e221-4adb-b1c8-3cee6a53f76f");
XEV_GUID(IID_IMFQualityAdvise, "ec15e2e9-e36b-4f7c-8758-77d452ef4ce7");
XEV_GUID(IID_IMFByteStream, "ad4c1b00-4bf7-422f-9175-756693d9130d");
XEV_GUID(IID_IPropertyStore, "886d8eeb-8cf2-4446-8d02-cdba1dbdcf99");

// Media type attribute keys. MF_MT_VIDEO_PROFILE and MF_MT_VIDEO_LEVEL share their values with
// MF_MT_MPEG2_PROFILE and MF_MT_MPEG2_LEVEL; the earlier rows name them.
constexpr GuidName g_MediaTypeAttributes[] {
    XEV_NAME_ROW(MF_MT_MAJOR_TYPE),
    XEV_NAME_ROW(MF_MT_SUBTYPE),
    XEV_NAME_ROW(MF_MT_ALL_SAMPLES_INDEPENDENT),
    XEV_NAME_ROW(MF_MT_FIXED_SIZE_SAMPLES),
    XEV_NAME_ROW(MF_MT_COMPRESSED),
    XEV_NAME_ROW(MF_MT_SAMPLE_SIZE),
    XEV_NAME_ROW(MF_MT_WRAPPED_TYPE),
    XEV_NAME_ROW(MF_MT_VIDEO_3D),
    XEV_NAME_ROW(MF_MT_VIDEO_3D_FORMAT),
    XEV_NAME_ROW(MF_MT_VIDEO_3D_NUM_VIEWS),
    XEV_NAME_ROW(MF_MT_VIDEO_3D_LEFT_IS_BASE),
    XEV_NAME_ROW(MF_MT_VIDEO_3D_FIRST_IS_LEFT),
    XEV_NAME_ROW(MF_MT_VIDEO_ROTATION),
    XEV_NAME_ROW(MF_MT_SECURE),
    XEV_NAME_ROW(MF_MT_ALPHA_MODE),
    XEV_NAME_ROW(MF_MT_DEPTH_MEASUREMENT),
    XEV_NAME_ROW(MF_MT_DEPTH_VALUE_UNIT),
    XEV_NAME_ROW(MF_MT_VIDEO_NO_FRAME_ORDERING),
    XEV_NAME_ROW(MF_MT_VIDEO_H264_NO_FMOASO),
    XEV_NAME_ROW(MF_MT_FORWARD_CUSTOM_NALU),
    XEV_NAME_ROW(MF_MT_FORWARD_CUSTOM_SEI),
    XEV_NAME_ROW(MF_MT_VIDEO_RENDERER_EXTENSION_PROFILE),
    XEV_NAME_ROW(MF_MT_AUDIO_NUM_CHANNELS),
    XEV_NAME_ROW(MF_MT_AUDIO_SAMPLES_PER_SECOND),
    XEV_NAME_ROW(MF_MT_AUDIO_FLOAT_SAMPLES_PER_SECOND),
    XEV_NAME_ROW(MF_MT_AUDIO_AVG_BYTES_PER_SECOND),
    XEV_NAME_ROW(MF_MT_AUDIO_BLOCK_ALIGNMENT),
    XEV_NAME_ROW(MF_MT_AUDIO_BITS_PER_SAMPLE),
    XEV_NAME_ROW(MF_MT_AUDIO_VALID_BITS_PER_SAMPLE),
    XEV_NAME_ROW(MF_MT_AUDIO_SAMPLES_PER_BLOCK),
    XEV_NAME_ROW(MF_MT_AUDIO_CHANNEL_MASK),
    XEV_NAME_ROW(MF_MT_AUDIO_FOLDDOWN_MATRIX),
    XEV_NAME_ROW(MF_MT_AUDIO_WMADRC_PEAKREF),
    XEV_NAME_ROW(MF_MT_AUDIO_WMADRC_PEAKTARGET),
    XEV_NAME_ROW(MF_MT_AUDIO_WMADRC_AVGREF),
    XEV_NAME_ROW(MF_MT_AUDIO_WMADRC_AVGTARGET),
    XEV_NAME_ROW(MF_MT_AUDIO_PREFER_WAVEFORMATEX),
    XEV_NAME_ROW(MF_MT_AAC_PAYLOAD_TYPE),
    XEV_NAME_ROW(MF_MT_AAC_AUDIO_PROFILE_LEVEL_INDICATION),
    XEV_NAME_ROW(MF_MT_AUDIO_FLAC_MAX_BLOCK_SIZE),
    XEV_NAME_ROW(MF_MT_SPATIAL_AUDIO_MAX_DYNAMIC_OBJECTS),
    XEV_NAME_ROW(MF_MT_SPATIAL_AUDIO_OBJECT_METADATA_FORMAT_ID),
    XEV_NAME_ROW(MF_MT_SPATIAL_AUDIO_OBJECT_METADATA_LENGTH),
    XEV_NAME_ROW(MF_MT_SPATIAL_AUDIO_MAX_METADATA_ITEMS),
    XEV_NAME_ROW(MF_MT_SPATIAL_AUDIO_MIN_METADATA_ITEM_OFFSET_SPACING),
    XEV_NAME_ROW(MF_MT_SPATIAL_AUDIO_DATA_PRESENT),
    XEV_NAME_ROW(MF_MT_FRAME_SIZE),
    XEV_NAME_ROW(MF_MT_FRAME_RATE),
    XEV_NAME_ROW(MF_MT_PIXEL_ASPECT_RATIO),
    XEV_NAME_ROW(MF_MT_DRM_FLAGS),
    XEV_NAME_ROW(MF_MT_TIMESTAMP_CAN_BE_DTS),
    XEV_NAME_ROW(MF_MT_PAD_CONTROL_FLAGS),
    XEV_NAME_ROW(MF_MT_SOURCE_CONTENT_HINT),
    XEV_NAME_ROW(MF_MT_VIDEO_CHROMA_SITING),
    XEV_NAME_ROW(MF_MT_INTERLACE_MODE),
    XEV_NAME_ROW(MF_MT_TRANSFER_FUNCTION),
    XEV_NAME_ROW(MF_MT_VIDEO_PRIMARIES),
    XEV_NAME_ROW(MF_MT_MAX_LUMINANCE_LEVEL),
    XEV_NAME_ROW(MF_MT_MAX_FRAME_AVERAGE_LUMINANCE_LEVEL),
    XEV_NAME_ROW(MF_MT_MAX_MASTERING_LUMINANCE),
    XEV_NAME_ROW(MF_MT_MIN_MASTERING_LUMINANCE),
    XEV_NAME_ROW(MF_MT_DECODER_USE_MAX_RESOLUTION),
    XEV_NAME_ROW(MF_MT_DECODER_MAX_DPB_COUNT),
    XEV_NAME_ROW(MF_MT_CUSTOM_VIDEO_PRIMARIES),
    XEV_NAME_ROW(MF_MT_YUV_MATRIX),
    XEV_NAME_ROW(MF_MT_VIDEO_LIGHTING),
    XEV_NAME_ROW(MF_MT_VIDEO_NOMINAL_RANGE),
    XEV_NAME_ROW(MF_MT_GEOMETRIC_APERTURE),
    XEV_NAME_ROW(MF_MT_MINIMUM_DISPLAY_APERTURE),
    XEV_NAME_ROW(MF_MT_PAN_SCAN_APERTURE),
    XEV_NAME_ROW(MF_MT_PAN_SCAN_ENABLED),
    XEV_NAME_ROW(MF_MT_AVG_BITRATE),
    XEV_NAME_ROW(MF_MT_AVG_BIT_ERROR_RATE),
    XEV_NAME_ROW(MF_MT_MAX_KEYFRAME_SPACING),
    XEV_NAME_ROW(MF_MT_USER_DATA),
    XEV_NAME_ROW(MF_MT_OUTPUT_BUFFER_NUM),
    XEV_NAME_ROW(MF_MT_REALTIME_CONTENT),
    XEV_NAME_ROW(MF_MT_DEFAULT_STRIDE),
    XEV_NAME_ROW(MF_MT_PALETTE),
    XEV_NAME_ROW(MF_MT_AM_FORMAT_TYPE),
    XEV_NAME_ROW(MF_MT_VIDEO_PROFILE),
    XEV_NAME_ROW(MF_MT_VIDEO_LEVEL),
    XEV_NAME_ROW(MF_MT_MPEG_START_TIME_CODE),
    XEV_NAME_ROW(MF_MT_MPEG2_PROFILE),
    XEV_NAME_ROW(MF_MT_MPEG2_LEVEL),
    XEV_NAME_ROW(MF_MT_MPEG2_FLAGS),
    XEV_NAME_ROW(MF_MT_MPEG_SEQUENCE_HEADER),
    XEV_NAME_ROW(MF_MT_MPEG2_STANDARD),
    XEV_NAME_ROW(MF_MT_MPEG2_TIMECODE),
    XEV_NAME_ROW(MF_MT_MPEG2_CONTENT_PACKET),
    XEV_NAME_ROW(MF_MT_MPEG2_ONE_FRAME_PER_PACKET),
    XEV_NAME_ROW(MF_MT_MPEG2_HDCP),
    XEV_NAME_ROW(MF_MT_H264_MAX_CODEC_CONFIG_DELAY),
    XEV_NAME_ROW(MF_MT_H264_SUPPORTED_SLICE_MODES),
    XEV_NAME_ROW(MF_MT_H264_SUPPORTED_SYNC_FRAME_TYPES),
    XEV_NAME_ROW(MF_MT_H264_RESOLUTION_SCALING),
    XEV_NAME_ROW(MF_MT_H264_SIMULCAST_SUPPORT),
    XEV_NAME_ROW(MF_MT_H264_SUPPORTED_RATE_CONTROL_MODES),
    XEV_NAME_ROW(MF_MT_H264_MAX_MB_PER_SEC),
    XEV_NAME_ROW(MF_MT_H264_SUPPORTED_USAGES),
    XEV_NAME_ROW(MF_MT_H264_CAPABILITIES),
    XEV_NAME_ROW(MF_MT_H264_SVC_CAPABILITIES),
    XEV_NAME_ROW(MF_MT_H264_USAGE),
    XEV_NAME_ROW(MF_MT_H264_RATE_CONTROL_MODES),
    XEV_NAME_ROW(MF_MT_H264_LAYOUT_PER_STREAM),
    XEV_NAME_ROW(MF_MT_IN_BAND_PARAMETER_SET),
    XEV_NAME_ROW(MF_MT_MPEG4_TRACK_TYPE),
    XEV_NAME_ROW(MF_MT_DV_AAUX_SRC_PACK_0),
    XEV_NAME_ROW(MF_MT_DV_AAUX_CTRL_PACK_0),
    XEV_NAME_ROW(MF_MT_DV_AAUX_SRC_PACK_1),
    XEV_NAME_ROW(MF_MT_DV_AAUX_CTRL_PACK_1),
    XEV_NAME_ROW(MF_MT_DV_VAUX_SRC_PACK),
    XEV_NAME_ROW(MF_MT_DV_VAUX_CTRL_PACK),
    XEV_NAME_ROW(MF_MT_ARBITRARY_HEADER),
    XEV_NAME_ROW(MF_MT_ARBITRARY_FORMAT),
    XEV_NAME_ROW(MF_MT_IMAGE_LOSS_TOLERANT),
    XEV_NAME_ROW(MF_MT_MPEG4_SAMPLE_DESCRIPTION),
    XEV_NAME_ROW(MF_MT_MPEG4_CURRENT_SAMPLE_ENTRY),
    XEV_NAME_ROW(MF_MT_ORIGINAL_4CC),
    XEV_NAME_ROW(MF_MT_ORIGINAL_WAVE_FORMAT_TAG),
    XEV_NAME_ROW(MF_MT_FRAME_RATE_RANGE_MIN),
    XEV_NAME_ROW(MF_MT_FRAME_RATE_RANGE_MAX),
};
static_assert(std::size(g_MediaTypeAttributes) == 122);

constexpr GuidName g_Services[] {
    XEV_NAME_ROW(MF_METADATA_PROVIDER_SERVICE),
    XEV_NAME_ROW(MF_MEDIASOURCE_SERVICE),
    XEV_NAME_ROW(MF_QUALITY_SERVICES),
    XEV_NAME_ROW(MF_RATE_CONTROL_SERVICE),
    XEV_NAME_ROW(MF_WRAPPED_BUFFER_SERVICE),
    XEV_NAME_ROW(MF_WRAPPED_SAMPLE_SERVICE),
    XEV_NAME_ROW(MFNETSOURCE_STATISTICS_SERVICE),
};
static_assert(std::size(g_Services) == 7);

constexpr GuidName g_Interfaces[] {
    { IID_IMFMetadataProvider, "IMFMetadataProvider" },
    { IidOf<IMFMediaSource>, "IMFMediaSource" },
    { IID_IMFQualityAdvise, "IMFQualityAdvise" },
    { IidOf<IMFRateControl>, "IMFRateControl" },
    { IidOf<IMFRateSupport>, "IMFRateSupport" },
    { IID_IMFByteStream, "IMFByteStream" },
    { IID_IPropertyStore, "IPropertyStore" },
    { IidOf<IMFVideoSampleAllocator>, "IMFVideoSampleAllocator" },
};
static_assert(std::size(g_Interfaces) == 8);

constexpr GuidName g_TopologyAttributes[] {
    XEV_NAME_ROW(MF_TOPOLOGY_PROJECTSTART),
    XEV_NAME_ROW(MF_TOPOLOGY_PROJECTSTOP),
    XEV_NAME_ROW(MF_TOPOLOGY_NO_MARKIN_MARKOUT),
    XEV_NAME_ROW(MF_TOPOLOGY_DXVA_MODE),
    XEV_NAME_ROW(MF_TOPOLOGY_ENABLE_XVP_FOR_PLAYBACK),
    XEV_NAME_ROW(MF_TOPOLOGY_STATIC_PLAYBACK_OPTIMIZATIONS),
    XEV_NAME_ROW(MF_TOPOLOGY_PLAYBACK_MAX_DIMS),
    XEV_NAME_ROW(MF_TOPOLOGY_HARDWARE_MODE),
    XEV_NAME_ROW(MF_TOPOLOGY_PLAYBACK_FRAMERATE),
    XEV_NAME_ROW(MF_TOPOLOGY_DYNAMIC_CHANGE_NOT_ALLOWED),
    XEV_NAME_ROW(MF_TOPOLOGY_ENUMERATE_SOURCE_TYPES),
    XEV_NAME_ROW(MF_TOPOLOGY_START_TIME_ON_PRESENTATION_SWITCH),
    XEV_NAME_ROW(MF_TOPOLOGY_RESOLUTION_STATUS),
};
static_assert(std::size(g_TopologyAttributes) == 13);

// In value order; where an anchor shares its value with an event, the event stands first.
constexpr NumberName g_MediaEventTypes[] {
    XEV_NAME_ROW(MEUnknown),
    XEV_NAME_ROW(MEError),
    XEV_NAME_ROW(MEExtendedType),
    XEV_NAME_ROW(MENonFatalError),
    XEV_NAME_ROW(MEGenericV1Anchor),
    XEV_NAME_ROW(MESessionUnknown),
    XEV_NAME_ROW(MESessionTopologySet),
    XEV_NAME_ROW(MESessionTopologiesCleared),
    XEV_NAME_ROW(MESessionStarted),
    XEV_NAME_ROW(MESessionPaused),
    XEV_NAME_ROW(MESessionStopped),
    XEV_NAME_ROW(MESessionClosed),
    XEV_NAME_ROW(MESessionEnded),
    XEV_NAME_ROW(MESessionRateChanged),
    XEV_NAME_ROW(MESessionScrubSampleComplete),
    XEV_NAME_ROW(MESessionCapabilitiesChanged),
    XEV_NAME_ROW(MESessionTopologyStatus),
    XEV_NAME_ROW(MESessionNotifyPresentationTime),
    XEV_NAME_ROW(MENewPresentation),
    XEV_NAME_ROW(MELicenseAcquisitionStart),
    XEV_NAME_ROW(MELicenseAcquisitionCompleted),
    XEV_NAME_ROW(MEIndividualizationStart),
    XEV_NAME_ROW(MEIndividualizationCompleted),
    XEV_NAME_ROW(MEEnablerProgress),
    XEV_NAME_ROW(MEEnablerCompleted),
    XEV_NAME_ROW(MEPolicyError),
    XEV_NAME_ROW(MEPolicyReport),
    XEV_NAME_ROW(MEBufferingStarted),
    XEV_NAME_ROW(MEBufferingStopped),
    XEV_NAME_ROW(MEConnectStart),
    XEV_NAME_ROW(MEConnectEnd),
    XEV_NAME_ROW(MEReconnectStart),
    XEV_NAME_ROW(MEReconnectEnd),
    XEV_NAME_ROW(MERendererEvent),
    XEV_NAME_ROW(MESessionStreamSinkFormatChanged),
    XEV_NAME_ROW(MESessionV1Anchor),
    XEV_NAME_ROW(MESourceUnknown),
    XEV_NAME_ROW(MESourceStarted),
    XEV_NAME_ROW(MEStreamStarted),
    XEV_NAME_ROW(MESourceSeeked),
    XEV_NAME_ROW(MEStreamSeeked),
    XEV_NAME_ROW(MENewStream),
    XEV_NAME_ROW(MEUpdatedStream),
    XEV_NAME_ROW(MESourceStopped),
    XEV_NAME_ROW(MEStreamStopped),
    XEV_NAME_ROW(MESourcePaused),
    XEV_NAME_ROW(MEStreamPaused),
    XEV_NAME_ROW(MEEndOfPresentation),
    XEV_NAME_ROW(MEEndOfStream),
    XEV_NAME_ROW(MEMediaSample),
    XEV_NAME_ROW(MEStreamTick),
    XEV_NAME_ROW(MEStreamThinMode),
    XEV_NAME_ROW(MEStreamFormatChanged),
    XEV_NAME_ROW(MESourceRateChanged),
    XEV_NAME_ROW(MEEndOfPresentationSegment),
    XEV_NAME_ROW(MESourceCharacteristicsChanged),
    XEV_NAME_ROW(MESourceRateChangeRequested),
    XEV_NAME_ROW(MESourceMetadataChanged),
    XEV_NAME_ROW(MESequencerSourceTopologyUpdated),
    XEV_NAME_ROW(MESourceV1Anchor),
    XEV_NAME_ROW(MESinkUnknown),
    XEV_NAME_ROW(MEStreamSinkStarted),
    XEV_NAME_ROW(MEStreamSinkStopped),
    XEV_NAME_ROW(MEStreamSinkPaused),
    XEV_NAME_ROW(MEStreamSinkRateChanged),
    XEV_NAME_ROW(MEStreamSinkRequestSample),
    XEV_NAME_ROW(MEStreamSinkMarker),
    XEV_NAME_ROW(MEStreamSinkPrerolled),
    XEV_NAME_ROW(MEStreamSinkScrubSampleComplete),
    XEV_NAME_ROW(MEStreamSinkFormatChanged),
    XEV_NAME_ROW(MEStreamSinkDeviceChanged),
    XEV_NAME_ROW(MEQualityNotify),
    XEV_NAME_ROW(MESinkInvalidated),
    XEV_NAME_ROW(MEAudioSessionNameChanged),
    XEV_NAME_ROW(MEAudioSessionVolumeChanged),
    XEV_NAME_ROW(MEAudioSessionDeviceRemoved),
    XEV_NAME_ROW(MEAudioSessionServerShutdown),
    XEV_NAME_ROW(MEAudioSessionGroupingParamChanged),
    XEV_NAME_ROW(MEAudioSessionIconChanged),
    XEV_NAME_ROW(MEAudioSessionFormatChanged),
    XEV_NAME_ROW(MEAudioSessionDisconnected),
    XEV_NAME_ROW(MEAudioSessionExclusiveModeOverride),
    XEV_NAME_ROW(MESinkV1Anchor),
    XEV_NAME_ROW(MECaptureAudioSessionVolumeChanged),
    XEV_NAME_ROW(MECaptureAudioSessionDeviceRemoved),
    XEV_NAME_ROW(MECaptureAudioSessionFormatChanged),
    XEV_NAME_ROW(MECaptureAudioSessionDisconnected),
    XEV_NAME_ROW(MECaptureAudioSessionExclusiveModeOverride),
    XEV_NAME_ROW(MECaptureAudioSessionServerShutdown),
    XEV_NAME_ROW(MESinkV2Anchor),
    XEV_NAME_ROW(METrustUnknown),
    XEV_NAME_ROW(MEPolicyChanged),
    XEV_NAME_ROW(MEContentProtectionMessage),
    XEV_NAME_ROW(MEPolicySet),
    XEV_NAME_ROW(METrustV1Anchor),
    XEV_NAME_ROW(MEWMDRMLicenseBackupCompleted),
    XEV_NAME_ROW(MEWMDRMLicenseBackupProgress),
    XEV_NAME_ROW(MEWMDRMLicenseRestoreCompleted),
    XEV_NAME_ROW(MEWMDRMLicenseRestoreProgress),
    XEV_NAME_ROW(MEWMDRMLicenseAcquisitionCompleted),
    XEV_NAME_ROW(MEWMDRMIndividualizationCompleted),
    XEV_NAME_ROW(MEWMDRMIndividualizationProgress),
    XEV_NAME_ROW(MEWMDRMProximityCompleted),
    XEV_NAME_ROW(MEWMDRMLicenseStoreCleaned),
    XEV_NAME_ROW(MEWMDRMRevocationDownloadCompleted),
    XEV_NAME_ROW(MEWMDRMV1Anchor),
    XEV_NAME_ROW(METransformUnknown),
    XEV_NAME_ROW(METransformNeedInput),
    XEV_NAME_ROW(METransformHaveOutput),
    XEV_NAME_ROW(METransformDrainComplete),
    XEV_NAME_ROW(METransformMarker),
    XEV_NAME_ROW(MEByteStreamCharacteristicsChanged),
    XEV_NAME_ROW(MEVideoCaptureDeviceRemoved),
    XEV_NAME_ROW(MEVideoCaptureDevicePreempted),
    XEV_NAME_ROW(MEStreamSinkFormatInvalidated),
    XEV_NAME_ROW(MEEncodingParameters),
    XEV_NAME_ROW(MEContentProtectionMetadata),
};
static_assert(std::size(g_MediaEventTypes) == 117);

constexpr NumberName g_TopologyStatus[] {
    XEV_NAME_ROW(MF_TOPOSTATUS_INVALID),
    XEV_NAME_ROW(MF_TOPOSTATUS_READY),
    XEV_NAME_ROW(MF_TOPOSTATUS_STARTED_SOURCE),
    XEV_NAME_ROW(MF_TOPOSTATUS_DYNAMIC_CHANGED),
    XEV_NAME_ROW(MF_TOPOSTATUS_SINK_SWITCHED),
    XEV_NAME_ROW(MF_TOPOSTATUS_ENDED),
};
static_assert(std::size(g_TopologyStatus) == 6);

constexpr NumberName g_StreamSinkMarkerTypes[] {
    XEV_NAME_ROW(MFSTREAMSINK_MARKER_DEFAULT),
    XEV_NAME_ROW(MFSTREAMSINK_MARKER_ENDOFSEGMENT),
    XEV_NAME_ROW(MFSTREAMSINK_MARKER_TICK),
    XEV_NAME_ROW(MFSTREAMSINK_MARKER_EVENT),
};
static_assert(std::size(g_StreamSinkMarkerTypes) == 4);

// The messages a transform in a playback or encoding topology is sent.
constexpr NumberName g_TransformMessages[] {
    XEV_NAME_ROW(MFT_MESSAGE_COMMAND_FLUSH),
    XEV_NAME_ROW(MFT_MESSAGE_COMMAND_DRAIN),
    XEV_NAME_ROW(MFT_MESSAGE_SET_D3D_MANAGER),
    XEV_NAME_ROW(MFT_MESSAGE_DROP_SAMPLES),
    XEV_NAME_ROW(MFT_MESSAGE_COMMAND_TICK),
    XEV_NAME_ROW(MFT_MESSAGE_NOTIFY_BEGIN_STREAMING),
    XEV_NAME_ROW(MFT_MESSAGE_NOTIFY_END_STREAMING),
    XEV_NAME_ROW(MFT_MESSAGE_NOTIFY_END_OF_STREAM),
    XEV_NAME_ROW(MFT_MESSAGE_NOTIFY_START_OF_STREAM),
    XEV_NAME_ROW(MFT_MESSAGE_COMMAND_MARKER),
};
static_assert(std::size(g_TransformMessages) == 10);

constexpr NumberName g_SetTypeFlags[] {
    XEV_NAME_ROW(MFT_SET_TYPE_TEST_ONLY),
};
static_assert(std::size(g_SetTypeFlags) == 1);

// The platform's VARENUM base types (0 to 14, 16 to 31, 36 to 38, 64 to 73).
constexpr NumberName g_VariantBaseTypes[] {
    { 0, "VT_EMPTY" },
    { 1, "VT_NULL" },
    { 2, "VT_I2" },
    { 3, "VT_I4" },
    { 4, "VT_R4" },
    { 5, "VT_R8" },
    { 6, "VT_CY" },
    { 7, "VT_DATE" },
    { 8, "VT_BSTR" },
    { 9, "VT_DISPATCH" },
    { 10, "VT_ERROR" },
    { 11, "VT_BOOL" },
    { 12, "VT_VARIANT" },
    { 13, "VT_UNKNOWN" },
    { 14, "VT_DECIMAL" },
    { 16, "VT_I1" },
    { 17, "VT_UI1" },
    { 18, "VT_UI2" },
    { 19, "VT_UI4" },
    { 20, "VT_I8" },
    { 21, "VT_UI8" },
    { 22, "VT_INT" },
    { 23, "VT_UINT" },
    { 24, "VT_VOID" },
    { 25, "VT_HRESULT" },
    { 26, "VT_PTR" },
    { 27, "VT_SAFEARRAY" },
    { 28, "VT_CARRAY" },
    { 29, "VT_USERDEFINED" },
    { 30, "VT_LPSTR" },
    { 31, "VT_LPWSTR" },
    { 36, "VT_RECORD" },
    { 37, "VT_INT_PTR" },
    { 38, "VT_UINT_PTR" },
    { 64, "VT_FILETIME" },
    { 65, "VT_BLOB" },
    { 66, "VT_STREAM" },
    { 67, "VT_STORAGE" },
    { 68, "VT_STREAMED_OBJECT" },
    { 69, "VT_STORED_OBJECT" },
    { 70, "VT_BLOB_OBJECT" },
    { 71, "VT_CF" },
    { 72, "VT_CLSID" },
    { 73, "VT_VERSIONED_STREAM" },
};
static_assert(std::size(g_VariantBaseTypes) == 44);

constexpr NumberName g_VariantTypeModifiers[] {
    { 0x1000, "VT_VECTOR" },
    { 0x2000, "VT_ARRAY" },
    { 0x4000, "VT_BYREF" },
};
static_assert(std::size(g_VariantTypeModifiers) == 3);

#undef XEV_NAME_ROW
} // namespace

std::span<const GuidName> MediaTypeAttributes() noexcept { return g_MediaTypeAttributes; }
std::span<const GuidName> Services() noexcept { return g_Services; }
std::span<const GuidName> Interfaces() noexcept { return g_Interfaces; }
std::span<const GuidName> TopologyAttributes() noexcept { return g_TopologyAttributes; }
std::span<const NumberName> MediaEventTypes() noexcept { return g_MediaEventTypes; }
std::span<const NumberName> TopologyStatus() noexcept { return g_TopologyStatus; }
std::span<const NumberName> StreamSinkMarkerTypes() noexcept { return g_StreamSinkMarkerTypes; }
std::span<const NumberName> TransformMessages() noexcept { return g_TransformMessages; }
std::span<const NumberName> VariantBaseTypes() noexcept { return g_VariantBaseTypes; }
std::span<const NumberName> SetTypeFlags() noexcept { return g_SetTypeFlags; }
std::span<const NumberName> VariantTypeModifiers() noexcept { return g_VariantTypeModifiers; }
} // namespace MF::NameTables
