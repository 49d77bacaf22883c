// The software runtime's contract with its caller: the function list, the statuses of wrong use,
// completion order and waits, and teardown with pictures in flight.

#include "EncoderTestSupport.h"

#include "platform/d3d/D3D11.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace EncoderTest;

namespace
{
Options SmallOptions()
{
    Options options;
    options.Width = 160;
    options.Height = 96;
    return options;
}

// Records the order in which events are signalled (their registered waits run on the setter's
// thread) and lets a test wait until a number of them have been.
class SignalRecorder
{
public:
    void Watch(Sync::Event* event, int index)
    {
        event->RegisterWait([this, index] {
            {
                std::lock_guard lock(m_Lock);
                m_Order.push_back(index);
            }
            m_Changed.notify_all();
        });
    }
    bool WaitFor(std::size_t count)
    {
        std::unique_lock lock(m_Lock);
        return m_Changed.wait_for(lock, std::chrono::milliseconds(WaitMilliseconds), [&] { return m_Order.size() >= count; });
    }
    std::vector<int> Order()
    {
        std::lock_guard lock(m_Lock);
        return m_Order;
    }

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<int> m_Order;
};
} // namespace

// ---- The function list and sessions --------------------------------------------------------

TEST(SoftwareRuntimeList, CreateInstanceFillsEveryEntryOfItsVersionOnly)
{
    NV_ENCODE_API_FUNCTION_LIST list {};
    EXPECT_EQ(SoftwareEncoder::CreateInstance(nullptr), NV_ENC_ERR_INVALID_PTR);
    list.version = NV_ENCODE_API_FUNCTION_LIST_VER - (1u << 16);
    EXPECT_EQ(SoftwareEncoder::CreateInstance(&list), NV_ENC_ERR_INVALID_VERSION);
    list.version = NV_ENCODE_API_FUNCTION_LIST_VER;
    ASSERT_EQ(SoftwareEncoder::CreateInstance(&list), NV_ENC_SUCCESS);
    // Every entry up to the reserved tail is filled: no caller can call through a null pointer.
    const auto* entries = reinterpret_cast<void* const*>(&list.nvEncOpenEncodeSession);
    const auto* end = reinterpret_cast<void* const*>(&list.reserved2);
    for (const auto* entry = entries; entry < end; ++entry)
    {
        if (entry != reinterpret_cast<void* const*>(&list.reserved1))
        {
            EXPECT_NE(*entry, nullptr) << "entry " << (entry - entries);
        }
    }
}

TEST(SoftwareRuntimeList, OpeningChecksItsParametersAsTheHardwareDoes)
{
    const auto F = SoftwareFunctions();
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS open {};
    open.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX;
    open.apiVersion = NVENCAPI_VERSION;
    void* encoder = nullptr;
    EXPECT_EQ(F.nvEncOpenEncodeSessionEx(nullptr, &encoder), NV_ENC_ERR_INVALID_PTR);
    EXPECT_EQ(F.nvEncOpenEncodeSessionEx(&open, nullptr), NV_ENC_ERR_INVALID_PTR);

    auto wrong = open;
    wrong.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER + 1;
    EXPECT_EQ(F.nvEncOpenEncodeSessionEx(&wrong, &encoder), NV_ENC_ERR_INVALID_VERSION);
    wrong = open;
    wrong.apiVersion = NVENCAPI_MAJOR_VERSION + 1;
    EXPECT_EQ(F.nvEncOpenEncodeSessionEx(&wrong, &encoder), NV_ENC_ERR_INVALID_VERSION);
    wrong = open;
    wrong.deviceType = NV_ENC_DEVICE_TYPE_CUDA;
    EXPECT_EQ(F.nvEncOpenEncodeSessionEx(&wrong, &encoder), NV_ENC_ERR_UNSUPPORTED_DEVICE);
    EXPECT_EQ(encoder, nullptr);

    // An older client is served; the handle is valid until destroyed, once.
    auto older = open;
    older.apiVersion = 10;
    const std::size_t before = SoftwareEncoder::OpenSessionCount();
    ASSERT_EQ(F.nvEncOpenEncodeSessionEx(&older, &encoder), NV_ENC_SUCCESS);
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), before + 1);
    EXPECT_EQ(F.nvEncDestroyEncoder(encoder), NV_ENC_SUCCESS);
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), before);
    EXPECT_EQ(F.nvEncDestroyEncoder(encoder), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    uint32_t count = 0;
    EXPECT_EQ(F.nvEncGetInputFormatCount(encoder, NV_ENC_CODEC_H264_GUID, &count), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    EXPECT_EQ(F.nvEncGetInputFormatCount(nullptr, NV_ENC_CODEC_H264_GUID, &count), NV_ENC_ERR_INVALID_ENCODERDEVICE);
}

TEST(SoftwareRuntimeList, SessionsOpenOnTheGraphicsDeviceAndRefuseOtherObjects)
{
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr,
                  nullptr),
        S_OK);
    {
        Session session(SmallOptions(), device.Get());
        EXPECT_NE(session.E, nullptr);
    }
    // Anything that is not a device answers QueryInterface for ID3D11Device with a failure.
    ComPtr<ID3D11DeviceContext> context;
    device->GetImmediateContext(context.GetAddressOf());
    const auto F = SoftwareFunctions();
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS open {};
    open.version = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER;
    open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX;
    open.device = static_cast<IUnknown*>(context.Get());
    open.apiVersion = NVENCAPI_VERSION;
    void* encoder = nullptr;
    EXPECT_EQ(F.nvEncOpenEncodeSessionEx(&open, &encoder), NV_ENC_ERR_INVALID_DEVICE);
}

TEST(SoftwareRuntimeList, InputFormatsPresetsAndCapabilities)
{
    Session session(SmallOptions());
    auto& F = session.F;
    uint32_t count = 0;
    ASSERT_EQ(F.nvEncGetInputFormatCount(session.E, NV_ENC_CODEC_H264_GUID, &count), NV_ENC_SUCCESS);
    ASSERT_EQ(count, 2u);
    NV_ENC_BUFFER_FORMAT formats[2] {};
    EXPECT_EQ(F.nvEncGetInputFormats(session.E, NV_ENC_CODEC_H264_GUID, formats, 1, &count), NV_ENC_ERR_NOT_ENOUGH_BUFFER);
    ASSERT_EQ(F.nvEncGetInputFormats(session.E, NV_ENC_CODEC_H264_GUID, formats, 2, &count), NV_ENC_SUCCESS);
    EXPECT_EQ(formats[0], NV_ENC_BUFFER_FORMAT_NV12);
    EXPECT_EQ(formats[1], NV_ENC_BUFFER_FORMAT_ARGB);
    EXPECT_EQ(F.nvEncGetInputFormatCount(session.E, NV_ENC_CODEC_HEVC_GUID, &count), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(F.nvEncGetInputFormatCount(session.E, NV_ENC_CODEC_H264_GUID, nullptr), NV_ENC_ERR_INVALID_PTR);

    NV_ENC_PRESET_CONFIG preset {};
    preset.version = NV_ENC_PRESET_CONFIG_VER;
    preset.presetCfg.version = NV_ENC_CONFIG_VER;
    ASSERT_EQ(F.nvEncGetEncodePresetConfig(session.E, NV_ENC_CODEC_H264_GUID, NvEncPresets::LowLatencyDefault, &preset), NV_ENC_SUCCESS);
    EXPECT_EQ(preset.presetCfg.version, NV_ENC_CONFIG_VER);
    EXPECT_EQ(preset.presetCfg.frameIntervalP, 1);
    EXPECT_EQ(F.nvEncGetEncodePresetConfig(session.E, NV_ENC_CODEC_H264_GUID, NV_ENC_CODEC_HEVC_GUID, &preset), NV_ENC_ERR_INVALID_PARAM);
    preset.presetCfg.version = 0;
    EXPECT_EQ(F.nvEncGetEncodePresetConfig(session.E, NV_ENC_CODEC_H264_GUID, NV_ENC_PRESET_P1_GUID, &preset), NV_ENC_ERR_INVALID_VERSION);

    NV_ENC_CAPS_PARAM caps {};
    caps.version = NV_ENC_CAPS_PARAM_VER;
    caps.capsToQuery = NV_ENC_CAPS_ASYNC_ENCODE_SUPPORT;
    int value = 0;
    ASSERT_EQ(F.nvEncGetEncodeCaps(session.E, NV_ENC_CODEC_H264_GUID, &caps, &value), NV_ENC_SUCCESS);
    EXPECT_EQ(value, 1);
    caps.capsToQuery = NV_ENC_CAPS_WIDTH_MAX;
    ASSERT_EQ(F.nvEncGetEncodeCaps(session.E, NV_ENC_CODEC_H264_GUID, &caps, &value), NV_ENC_SUCCESS);
    EXPECT_EQ(value, 4096);
}

// ---- Initialisation ------------------------------------------------------------------------

TEST(SoftwareRuntimeInitialize, RefusesWhatTheHardwareRefuses)
{
    struct Case
    {
        const char* Name;
        void (*Change)(Initialization&);
        NVENCSTATUS Expected;
    };
    const Case cases[] = {
        { "initialize version", [](Initialization& i) { i.Params.version = NV_ENC_INITIALIZE_PARAMS_VER - (1u << 16); }, NV_ENC_ERR_INVALID_VERSION },
        { "config version", [](Initialization& i) { i.Config.version = NV_ENC_CONFIG_VER - (1u << 16); }, NV_ENC_ERR_INVALID_VERSION },
        { "rate control version", [](Initialization& i) { i.Config.rcParams.version = 1; }, NV_ENC_ERR_INVALID_VERSION },
        { "HEVC", [](Initialization& i) { i.Params.encodeGUID = NV_ENC_CODEC_HEVC_GUID; }, NV_ENC_ERR_INVALID_PARAM },
        { "no width", [](Initialization& i) { i.Params.encodeWidth = 0; }, NV_ENC_ERR_INVALID_PARAM },
        { "odd height", [](Initialization& i) { i.Params.encodeHeight = 95; }, NV_ENC_ERR_INVALID_PARAM },
        { "too wide", [](Initialization& i) { i.Params.encodeWidth = 4098; }, NV_ENC_ERR_INVALID_PARAM },
        { "GOP 0", [](Initialization& i) { i.Config.gopLength = 0; }, NV_ENC_ERR_INVALID_PARAM },
        { "negative frameIntervalP", [](Initialization& i) { i.Config.frameIntervalP = -1; }, NV_ENC_ERR_INVALID_PARAM },
        { "18 B-pictures", [](Initialization& i) { i.Config.frameIntervalP = 19; }, NV_ENC_ERR_INVALID_PARAM },
        { "fields", [](Initialization& i) { i.Config.frameFieldMode = NV_ENC_PARAMS_FRAME_FIELD_MODE_FIELD; }, NV_ENC_ERR_UNSUPPORTED_PARAM },
        { "baseline with B", [](Initialization& i) {
             i.Config.profileGUID = NV_ENC_H264_PROFILE_BASELINE_GUID;
             i.Config.frameIntervalP = 2;
         }, NV_ENC_ERR_INVALID_PARAM },
        { "unknown profile", [](Initialization& i) { i.Config.profileGUID = NV_ENC_PRESET_P1_GUID; }, NV_ENC_ERR_INVALID_PARAM },
        { "QP 52", [](Initialization& i) { i.Config.rcParams.constQP.qpIntra = 52; }, NV_ENC_ERR_INVALID_PARAM },
        { "4:4:4", [](Initialization& i) { i.Config.encodeCodecConfig.h264Config.chromaFormatIDC = 3; }, NV_ENC_ERR_UNSUPPORTED_PARAM },
        { "LTR", [](Initialization& i) { i.Config.encodeCodecConfig.h264Config.enableLTR = 1; }, NV_ENC_ERR_UNSUPPORTED_PARAM },
        { "VBR without a rate", [](Initialization& i) { i.Config.rcParams.rateControlMode = NV_ENC_PARAMS_RC_VBR; }, NV_ENC_ERR_INVALID_PARAM },
        { "ME only", [](Initialization& i) { i.Params.enableMEOnlyMode = 1; }, NV_ENC_ERR_UNSUPPORTED_PARAM },
        { "slice offsets in async mode", [](Initialization& i) { i.Params.reportSliceOffsets = 1; }, NV_ENC_ERR_INVALID_PARAM },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        Session session(SmallOptions());
        auto init = MakeInitialization(SmallOptions());
        c.Change(*init);
        EXPECT_EQ(session.F.nvEncInitializeEncoder(session.E, &init->Params), c.Expected);
        // Refused: the session is still uninitialised and can be initialised properly.
        EXPECT_EQ(session.Initialize(), NV_ENC_SUCCESS);
    }
    Session session(SmallOptions());
    EXPECT_EQ(session.F.nvEncInitializeEncoder(session.E, nullptr), NV_ENC_ERR_INVALID_PTR);
}

TEST(SoftwareRuntimeInitialize, ThePresetStandsInForAMissingConfigurationAndASecondInitializationIsRefused)
{
    Session session(SmallOptions());
    auto init = MakeInitialization(SmallOptions());
    init->Params.encodeConfig = nullptr;
    EXPECT_EQ(session.F.nvEncInitializeEncoder(session.E, &init->Params), NV_ENC_SUCCESS);
    EXPECT_EQ(session.Initialize(), NV_ENC_ERR_INVALID_CALL);
}

TEST(SoftwareRuntimeInitialize, NothingButFormatsAndPresetsWorksBeforeInitialization)
{
    Session session(SmallOptions());
    auto& F = session.F;
    NV_ENC_CREATE_INPUT_BUFFER input {};
    input.version = NV_ENC_CREATE_INPUT_BUFFER_VER;
    input.width = 160;
    input.height = 96;
    input.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
    EXPECT_EQ(F.nvEncCreateInputBuffer(session.E, &input), NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
    NV_ENC_CREATE_BITSTREAM_BUFFER bitstream {};
    bitstream.version = NV_ENC_CREATE_BITSTREAM_BUFFER_VER;
    EXPECT_EQ(F.nvEncCreateBitstreamBuffer(session.E, &bitstream), NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
    NV_ENC_PIC_PARAMS picture {};
    picture.version = NV_ENC_PIC_PARAMS_VER;
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &picture), NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
    uint8_t headers[256];
    uint32_t size = 0;
    NV_ENC_SEQUENCE_PARAM_PAYLOAD payload {};
    payload.version = NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER;
    payload.inBufferSize = sizeof(headers);
    payload.spsppsBuffer = headers;
    payload.outSPSPPSPayloadSize = &size;
    EXPECT_EQ(F.nvEncGetSequenceParams(session.E, &payload), NV_ENC_ERR_ENCODER_NOT_INITIALIZED);
}

TEST(SoftwareRuntimeInitialize, SequenceParamsAreTheSpsAndPpsOfTheStream)
{
    Options options = SmallOptions();
    Session session(options);
    session.Start();
    uint8_t headers[4096];
    uint32_t size = 0;
    NV_ENC_SEQUENCE_PARAM_PAYLOAD payload {};
    payload.version = NV_ENC_SEQUENCE_PARAM_PAYLOAD_VER;
    payload.inBufferSize = sizeof(headers);
    payload.spsppsBuffer = headers;
    payload.outSPSPPSPayloadSize = &size;
    ASSERT_EQ(session.F.nvEncGetSequenceParams(session.E, &payload), NV_ENC_SUCCESS);
    const std::vector<uint8_t> params(headers, headers + size);
    const auto nals = ParseNals(params);
    ASSERT_EQ(nals.size(), 2u);
    EXPECT_EQ(nals[0].Type, 7);
    EXPECT_EQ(nals[1].Type, 8);

    // The first IDR picture carries exactly these bytes after its AUD.
    const auto outputs = session.EncodeFrames(1);
    ASSERT_EQ(outputs.size(), 1u);
    const auto& stream = outputs[0].Bytes;
    const auto streamNals = ParseNals(stream);
    ASSERT_GE(streamNals.size(), 3u);
    EXPECT_TRUE(std::equal(params.begin(), params.end(), stream.begin() + static_cast<std::ptrdiff_t>(streamNals[1].Offset)));

    payload.inBufferSize = size - 1;
    EXPECT_EQ(session.F.nvEncGetSequenceParams(session.E, &payload), NV_ENC_ERR_NOT_ENOUGH_BUFFER);
    payload.inBufferSize = sizeof(headers);
    payload.outSPSPPSPayloadSize = nullptr;
    EXPECT_EQ(session.F.nvEncGetSequenceParams(session.E, &payload), NV_ENC_ERR_INVALID_PTR);
}

// ---- Wrong use of buffers and pictures -----------------------------------------------------

TEST(SoftwareRuntimeUse, PicturesAreCheckedBeforeTheyAreQueued)
{
    Session session(SmallOptions());
    session.Start();
    auto& F = session.F;
    NV_ENC_PIC_PARAMS picture = session.Picture(0, 0);

    auto wrong = picture;
    wrong.version = NV_ENC_PIC_PARAMS_VER + (1u << 16);
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &wrong), NV_ENC_ERR_INVALID_VERSION);
    EXPECT_EQ(F.nvEncEncodePicture(session.E, nullptr), NV_ENC_ERR_INVALID_PTR);
    wrong = picture;
    wrong.inputBuffer = &wrong;
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &wrong), NV_ENC_ERR_INVALID_PARAM);
    wrong = picture;
    wrong.outputBitstream = session.Inputs[0];
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &wrong), NV_ENC_ERR_INVALID_PARAM);
    wrong = picture;
    wrong.inputWidth = 162;
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &wrong), NV_ENC_ERR_INVALID_PARAM);
    wrong = picture;
    wrong.bufferFmt = NV_ENC_BUFFER_FORMAT_ARGB;
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &wrong), NV_ENC_ERR_INVALID_PARAM);
    wrong = picture;
    wrong.completionEvent = nullptr;
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &wrong), NV_ENC_ERR_INVALID_EVENT);
    Sync::Event stranger(Sync::Event::ResetMode::Manual);
    wrong = picture;
    wrong.completionEvent = &stranger;
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &wrong), NV_ENC_ERR_EVENT_NOT_REGISTERD);

    // A locked input buffer cannot be encoded; a bitstream buffer takes one picture at a time.
    NV_ENC_LOCK_INPUT_BUFFER lock {};
    lock.version = NV_ENC_LOCK_INPUT_BUFFER_VER;
    lock.inputBuffer = session.Inputs[0];
    ASSERT_EQ(F.nvEncLockInputBuffer(session.E, &lock), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncLockInputBuffer(session.E, &lock), NV_ENC_ERR_LOCK_BUSY);
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &picture), NV_ENC_ERR_INVALID_CALL);
    ASSERT_EQ(F.nvEncUnlockInputBuffer(session.E, session.Inputs[0]), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncUnlockInputBuffer(session.E, session.Inputs[0]), NV_ENC_ERR_INVALID_CALL);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, true), NV_ENC_SUCCESS);
    ASSERT_EQ(F.nvEncEncodePicture(session.E, &picture), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncEncodePicture(session.E, &picture), NV_ENC_ERR_INVALID_CALL);

    // Not waiting: a pending picture is busy for both of its buffers.
    NV_ENC_LOCK_BITSTREAM bitstream {};
    bitstream.version = NV_ENC_LOCK_BITSTREAM_VER;
    bitstream.outputBitstream = session.Bitstreams[0];
    bitstream.doNotWait = 1;
    EXPECT_EQ(F.nvEncLockBitstream(session.E, &bitstream), NV_ENC_ERR_LOCK_BUSY);
    lock.doNotWait = 1;
    EXPECT_EQ(F.nvEncLockInputBuffer(session.E, &lock), NV_ENC_ERR_ENCODER_BUSY);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    const Output output = session.Collect(0);
    EXPECT_FALSE(output.Bytes.empty());

    // A buffer that holds no picture cannot be locked; one that is not locked cannot be unlocked.
    bitstream.doNotWait = 0;
    EXPECT_EQ(F.nvEncLockBitstream(session.E, &bitstream), NV_ENC_ERR_INVALID_CALL);
    EXPECT_EQ(F.nvEncUnlockBitstream(session.E, session.Bitstreams[0]), NV_ENC_ERR_INVALID_CALL);
    bitstream.outputBitstream = &bitstream;
    EXPECT_EQ(F.nvEncLockBitstream(session.E, &bitstream), NV_ENC_ERR_INVALID_PARAM);
}

TEST(SoftwareRuntimeUse, BuffersResourcesAndEventsAreCheckedHandles)
{
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr,
                  nullptr),
        S_OK);
    Session session(SmallOptions(), device.Get());
    session.Start();
    auto& F = session.F;
    int stranger = 0;

    NV_ENC_CREATE_INPUT_BUFFER input {};
    input.version = NV_ENC_CREATE_INPUT_BUFFER_VER;
    input.width = 161;
    input.height = 96;
    input.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
    EXPECT_EQ(F.nvEncCreateInputBuffer(session.E, &input), NV_ENC_ERR_INVALID_PARAM);
    input.width = 160;
    input.bufferFmt = NV_ENC_BUFFER_FORMAT_YUV444;
    EXPECT_EQ(F.nvEncCreateInputBuffer(session.E, &input), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(F.nvEncDestroyInputBuffer(session.E, &stranger), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(F.nvEncDestroyBitstreamBuffer(session.E, &stranger), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(F.nvEncUnregisterResource(session.E, &stranger), NV_ENC_ERR_RESOURCE_NOT_REGISTERED);
    EXPECT_EQ(F.nvEncUnmapInputResource(session.E, &stranger), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    NV_ENC_MAP_INPUT_RESOURCE map {};
    map.version = NV_ENC_MAP_INPUT_RESOURCE_VER;
    map.registeredResource = &stranger;
    EXPECT_EQ(F.nvEncMapInputResource(session.E, &map), NV_ENC_ERR_RESOURCE_NOT_REGISTERED);
    EXPECT_EQ(session.RegisterEvent(nullptr), NV_ENC_ERR_INVALID_EVENT);
    Sync::Event unknown(Sync::Event::ResetMode::Manual);
    EXPECT_EQ(session.UnregisterEvent(&unknown), NV_ENC_ERR_EVENT_NOT_REGISTERD);

    // Textures: only formats the encoder reads, with the format and a size that fit.
    D3D11_TEXTURE2D_DESC desc {};
    desc.Width = 160;
    desc.Height = 96;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.SampleDesc.Count = 1;
    desc.Format = DXGI_FORMAT_YUY2;
    ComPtr<ID3D11Texture2D> yuy2, nv12;
    ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, yuy2.GetAddressOf()), S_OK);
    desc.Format = DXGI_FORMAT_NV12;
    ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, nv12.GetAddressOf()), S_OK);
    NV_ENC_REGISTER_RESOURCE registration {};
    registration.version = NV_ENC_REGISTER_RESOURCE_VER;
    registration.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX;
    registration.width = 160;
    registration.height = 96;
    registration.bufferFormat = NV_ENC_BUFFER_FORMAT_NV12;
    registration.resourceToRegister = yuy2.Get();
    EXPECT_EQ(F.nvEncRegisterResource(session.E, &registration), NV_ENC_ERR_RESOURCE_REGISTER_FAILED);
    registration.resourceToRegister = nv12.Get();
    registration.bufferFormat = NV_ENC_BUFFER_FORMAT_ARGB;
    EXPECT_EQ(F.nvEncRegisterResource(session.E, &registration), NV_ENC_ERR_INVALID_PARAM);
    registration.bufferFormat = NV_ENC_BUFFER_FORMAT_NV12;
    registration.width = 162;
    EXPECT_EQ(F.nvEncRegisterResource(session.E, &registration), NV_ENC_ERR_INVALID_PARAM);
    registration.width = 160;
    registration.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_CUDADEVICEPTR;
    EXPECT_EQ(F.nvEncRegisterResource(session.E, &registration), NV_ENC_ERR_INVALID_PARAM);
    registration.resourceType = NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX;
    registration.resourceToRegister = nullptr;
    EXPECT_EQ(F.nvEncRegisterResource(session.E, &registration), NV_ENC_ERR_INVALID_PTR);
    registration.resourceToRegister = nv12.Get();
    registration.version = NV_ENC_REGISTER_RESOURCE_VER - (1u << 16);
    EXPECT_EQ(F.nvEncRegisterResource(session.E, &registration), NV_ENC_ERR_INVALID_VERSION);
    registration.version = NV_ENC_REGISTER_RESOURCE_VER;
    ASSERT_EQ(F.nvEncRegisterResource(session.E, &registration), NV_ENC_SUCCESS);

    // A texture may be mapped again while mapped (two frames in flight on one texture); each
    // mapping is unmapped once, and unregistering ends the mappings left.
    map.registeredResource = registration.registeredResource;
    ASSERT_EQ(F.nvEncMapInputResource(session.E, &map), NV_ENC_SUCCESS);
    void* first = map.mappedResource;
    ASSERT_EQ(F.nvEncMapInputResource(session.E, &map), NV_ENC_SUCCESS);
    void* second = map.mappedResource;
    EXPECT_NE(first, second);
    EXPECT_EQ(F.nvEncUnmapInputResource(session.E, first), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncUnmapInputResource(session.E, first), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_EQ(F.nvEncUnregisterResource(session.E, registration.registeredResource), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncUnmapInputResource(session.E, second), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_EQ(F.nvEncUnregisterResource(session.E, registration.registeredResource), NV_ENC_ERR_RESOURCE_NOT_REGISTERED);
}

// ---- Completion and teardown ---------------------------------------------------------------

TEST(SoftwareRuntimeCompletion, EventsAreSignalledInSubmissionOrder)
{
    Options options = SmallOptions();
    options.BitstreamBuffers = 6;
    Session session(options);
    session.Start();
    SignalRecorder recorder;
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, true), NV_ENC_SUCCESS);
    for (uint32_t slot = 0; slot < options.BitstreamBuffers; ++slot)
    {
        session.Fill(slot, slot);
        session.Events[slot]->Reset();
        recorder.Watch(session.Events[slot].get(), static_cast<int>(slot));
        NV_ENC_PIC_PARAMS picture = session.Picture(slot, slot);
        ASSERT_EQ(session.F.nvEncEncodePicture(session.E, &picture), NV_ENC_SUCCESS);
    }
    recorder.Watch(&session.EndOfStream, 100);
    ASSERT_EQ(session.SubmitEndOfStream(), NV_ENC_SUCCESS);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    ASSERT_TRUE(recorder.WaitFor(options.BitstreamBuffers + 1));
    EXPECT_EQ(recorder.Order(), (std::vector<int> { 0, 1, 2, 3, 4, 5, 100 }));
    for (uint32_t slot = 0; slot < options.BitstreamBuffers; ++slot)
        EXPECT_EQ(session.Collect(slot).TimeStamp, uint64_t(slot) * 333333);
}

TEST(SoftwareRuntimeCompletion, ALockWaitsForItsOwnPictureOnly)
{
    Session session(SmallOptions());
    session.Start();
    session.Fill(0, 0);
    ASSERT_EQ(session.Submit(0, 0), NV_ENC_SUCCESS);
    ASSERT_TRUE(session.Events[0]->Wait(WaitMilliseconds));
    // The next picture cannot be encoded while held; the first one's lock still returns.
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, true), NV_ENC_SUCCESS);
    session.Fill(1, 1);
    ASSERT_EQ(session.Submit(1, 1), NV_ENC_SUCCESS);
    const Output first = session.Collect(0);
    EXPECT_EQ(first.PictureType, NV_ENC_PIC_TYPE_IDR);
    EXPECT_FALSE(session.Events[1]->IsSignalled());

    // A blocking lock on the held picture returns once the picture is encoded.
    std::atomic<bool> locked { false };
    std::thread locker([&] {
        NV_ENC_LOCK_BITSTREAM lock {};
        lock.version = NV_ENC_LOCK_BITSTREAM_VER;
        lock.outputBitstream = session.Bitstreams[1];
        EXPECT_EQ(session.F.nvEncLockBitstream(session.E, &lock), NV_ENC_SUCCESS);
        EXPECT_EQ(lock.outputTimeStamp, 333333u);
        locked = true;
        EXPECT_EQ(session.F.nvEncUnlockBitstream(session.E, session.Bitstreams[1]), NV_ENC_SUCCESS);
    });
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    locker.join();
    EXPECT_TRUE(locked);
}

TEST(SoftwareRuntimeCompletion, DestroyingWithPicturesInFlightSignalsNothingAndReleasesEverything)
{
    Options options = SmallOptions();
    options.BitstreamBuffers = 4;
    auto session = std::make_unique<Session>(options);
    session->Start();
    SignalRecorder recorder;
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session->E, true), NV_ENC_SUCCESS);
    for (uint32_t slot = 0; slot < options.BitstreamBuffers; ++slot)
    {
        session->Fill(slot, slot);
        recorder.Watch(session->Events[slot].get(), static_cast<int>(slot));
        ASSERT_EQ(session->Submit(slot, slot), NV_ENC_SUCCESS);
    }
    // A caller blocked in a lock is released with a failure when the encoder goes.
    NVENCSTATUS lockStatus = NV_ENC_SUCCESS;
    Sync::Event lockerWaiting(Sync::Event::ResetMode::Manual);
    void* const encoder = session->E;
    const auto lockBitstream = session->F.nvEncLockBitstream;
    NV_ENC_LOCK_BITSTREAM lock {};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = session->Bitstreams[3];
    std::thread locker([&] {
        lockerWaiting.Set();
        lockStatus = lockBitstream(encoder, &lock);
    });
    ASSERT_TRUE(lockerWaiting.Wait(WaitMilliseconds));
    const std::size_t before = SoftwareEncoder::OpenSessionCount();
    session->Destroy();
    locker.join();
    EXPECT_TRUE(lockStatus == NV_ENC_ERR_INVALID_ENCODERDEVICE || lockStatus == NV_ENC_ERR_INVALID_PARAM) << lockStatus;
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), before - 1);
    // The events may go now: nothing signals them any more.
    EXPECT_TRUE(recorder.Order().empty());
    session.reset();
}

TEST(SoftwareRuntimeCompletion, AnUnregisteredEventOrDestroyedBufferIsLeftAloneWhileLaterPicturesComplete)
{
    Session session(SmallOptions());
    session.Start();
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, true), NV_ENC_SUCCESS);
    for (uint32_t slot = 0; slot < 3; ++slot)
    {
        session.Fill(slot, slot);
        ASSERT_EQ(session.Submit(slot, slot), NV_ENC_SUCCESS);
    }
    ASSERT_EQ(session.UnregisterEvent(session.Events[0].get()), NV_ENC_SUCCESS);
    ASSERT_EQ(session.F.nvEncDestroyBitstreamBuffer(session.E, session.Bitstreams[1]), NV_ENC_SUCCESS);
    // The input buffer of a destroyed picture may go too: the picture still reads its memory.
    ASSERT_EQ(session.F.nvEncDestroyInputBuffer(session.E, session.Inputs[1]), NV_ENC_SUCCESS);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    const Output third = session.Collect(2);
    EXPECT_EQ(third.TimeStamp, 2u * 333333);
    EXPECT_FALSE(session.Events[0]->IsSignalled());
    EXPECT_FALSE(session.Events[1]->IsSignalled());
    // Slot 0's picture was encoded all the same and can be locked.
    NV_ENC_LOCK_BITSTREAM lock {};
    lock.version = NV_ENC_LOCK_BITSTREAM_VER;
    lock.outputBitstream = session.Bitstreams[0];
    ASSERT_EQ(session.F.nvEncLockBitstream(session.E, &lock), NV_ENC_SUCCESS);
    EXPECT_EQ(lock.pictureType, NV_ENC_PIC_TYPE_IDR);
    EXPECT_EQ(session.F.nvEncUnlockBitstream(session.E, session.Bitstreams[0]), NV_ENC_SUCCESS);
}

TEST(SoftwareRuntimeCompletion, SynchronousSessionsLockWithoutEvents)
{
    Options options = SmallOptions();
    options.Asynchronous = false;
    Session session(options);
    session.Start();
    session.Fill(0, 0);
    NV_ENC_PIC_PARAMS picture = session.Picture(0, 0);
    picture.completionEvent = nullptr;
    ASSERT_EQ(session.F.nvEncEncodePicture(session.E, &picture), NV_ENC_SUCCESS);
    const Output output = session.Collect(0);
    EXPECT_FALSE(output.Bytes.empty());
    EXPECT_FALSE(session.Events[0]->IsSignalled());
}

TEST(SoftwareRuntimeCompletion, SessionsEncodeSideBySide)
{
    constexpr int Sessions = 3;
    std::vector<std::thread> threads;
    std::atomic<int> complete { 0 };
    for (int i = 0; i < Sessions; ++i)
        threads.emplace_back([&, i] {
            Options options = SmallOptions();
            options.Format = i % 2 ? NV_ENC_BUFFER_FORMAT_ARGB : NV_ENC_BUFFER_FORMAT_NV12;
            Session session(options);
            session.Start();
            const auto outputs = session.EncodeFrames(12);
            if (outputs.size() == 12)
                ++complete;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(complete, Sessions);
}
