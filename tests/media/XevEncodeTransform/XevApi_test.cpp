// Xev::Api, the status mapping, Xev::EncodeSession and the buffer locks: against a recording
// runtime for the values each call passes, and against the software runtime for real.

#include "media/XevEncodeTransform/XevApi.h"

#include "platform/com/Error.h"
#include "platform/d3d/D3D11.h"
#include "platform/encoder/NvidiaRuntime.h"
#include "platform/encoder/SoftwareRuntime.h"
#include "platform/system/Event.h"

#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{
constexpr HRESULT StatusResult(uint32_t status)
{
    return MakeHResult(0xCE560000u | status);
}

// HRESULT of what `body` throws (S_OK when nothing).
template <class Body>
HRESULT Thrown(Body&& body)
{
    return Error::Guard([&] { body(); });
}

// ---- A runtime that records what it is given -----------------------------------------------

namespace Recording
{
struct State
{
    int Opens = 0;
    int Destroys = 0;
    int Unlocks = 0;
    void* LastDestroyed = nullptr;
    void* NextEncoder = reinterpret_cast<void*>(0x1000);
    NVENCSTATUS Result = NV_ENC_SUCCESS;        // what every call but destroy answers
    NVENCSTATUS DestroyResult = NV_ENC_SUCCESS;
    NVENCSTATUS UnlockResult = NV_ENC_SUCCESS;
    NVENCSTATUS CreateInstanceResult = NV_ENC_SUCCESS;
    NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS Open {};
    NV_ENC_CREATE_BITSTREAM_BUFFER Bitstream {};
    NV_ENC_CREATE_INPUT_BUFFER Input {};
    NV_ENC_PIC_PARAMS Picture {};
    NV_ENC_SEQUENCE_PARAM_PAYLOAD Sequence {};
    NV_ENC_EVENT_PARAMS Event {};
    NV_ENC_MAP_INPUT_RESOURCE Map {};
    NV_ENC_REGISTER_RESOURCE Register {};
    NV_ENC_LOCK_BITSTREAM LockBitstream {};
    NV_ENC_LOCK_INPUT_BUFFER LockInput {};
    void* Handle = nullptr;  // the last handle a destroy, unmap, unregister or unlock got
    void* Encoder = nullptr; // the encoder the last call got
};
State g;

NVENCSTATUS Answer(void* encoder)
{
    g.Encoder = encoder;
    return g.Result;
}

NVENCSTATUS NVENCAPI CreateInstance(NV_ENCODE_API_FUNCTION_LIST* list)
{
    if (g.CreateInstanceResult != NV_ENC_SUCCESS)
        return g.CreateInstanceResult;
    list->nvEncOpenEncodeSessionEx = [](NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params, void** encoder) {
        ++g.Opens;
        g.Open = *params;
        *encoder = g.Result == NV_ENC_SUCCESS ? g.NextEncoder : nullptr;
        return g.Result;
    };
    list->nvEncDestroyEncoder = [](void* encoder) {
        ++g.Destroys;
        g.LastDestroyed = encoder;
        return g.DestroyResult;
    };
    list->nvEncCreateBitstreamBuffer = [](void* encoder, NV_ENC_CREATE_BITSTREAM_BUFFER* params) {
        g.Bitstream = *params;
        params->bitstreamBuffer = reinterpret_cast<void*>(0xB0);
        return Answer(encoder);
    };
    list->nvEncDestroyBitstreamBuffer = [](void* encoder, NV_ENC_OUTPUT_PTR buffer) {
        g.Handle = buffer;
        return Answer(encoder);
    };
    list->nvEncCreateInputBuffer = [](void* encoder, NV_ENC_CREATE_INPUT_BUFFER* params) {
        g.Input = *params;
        params->inputBuffer = reinterpret_cast<void*>(0x10);
        return Answer(encoder);
    };
    list->nvEncDestroyInputBuffer = [](void* encoder, NV_ENC_INPUT_PTR buffer) {
        g.Handle = buffer;
        return Answer(encoder);
    };
    list->nvEncEncodePicture = [](void* encoder, NV_ENC_PIC_PARAMS* params) {
        g.Picture = *params;
        return Answer(encoder);
    };
    list->nvEncGetSequenceParams = [](void* encoder, NV_ENC_SEQUENCE_PARAM_PAYLOAD* params) {
        g.Sequence = *params;
        std::memcpy(params->spsppsBuffer, "\0\0\0\1\x67", 5);
        *params->outSPSPPSPayloadSize = 5;
        return Answer(encoder);
    };
    list->nvEncRegisterAsyncEvent = [](void* encoder, NV_ENC_EVENT_PARAMS* params) {
        g.Event = *params;
        return Answer(encoder);
    };
    list->nvEncUnregisterAsyncEvent = [](void* encoder, NV_ENC_EVENT_PARAMS* params) {
        g.Event = *params;
        return Answer(encoder);
    };
    list->nvEncMapInputResource = [](void* encoder, NV_ENC_MAP_INPUT_RESOURCE* params) {
        g.Map = *params;
        params->mappedResource = reinterpret_cast<void*>(0x30);
        return Answer(encoder);
    };
    list->nvEncUnmapInputResource = [](void* encoder, NV_ENC_INPUT_PTR mapped) {
        g.Handle = mapped;
        return Answer(encoder);
    };
    list->nvEncRegisterResource = [](void* encoder, NV_ENC_REGISTER_RESOURCE* params) {
        g.Register = *params;
        params->registeredResource = reinterpret_cast<void*>(0x20);
        return Answer(encoder);
    };
    list->nvEncUnregisterResource = [](void* encoder, NV_ENC_REGISTERED_PTR registered) {
        g.Handle = registered;
        return Answer(encoder);
    };
    list->nvEncGetInputFormatCount = [](void* encoder, GUID, uint32_t* count) {
        *count = 2;
        return Answer(encoder);
    };
    list->nvEncGetInputFormats = [](void* encoder, GUID, NV_ENC_BUFFER_FORMAT* formats, uint32_t size, uint32_t* count) {
        if (size >= 1)
            formats[0] = NV_ENC_BUFFER_FORMAT_ARGB;
        *count = 1;
        return Answer(encoder);
    };
    list->nvEncLockBitstream = [](void* encoder, NV_ENC_LOCK_BITSTREAM* params) {
        g.LockBitstream = *params;
        params->bitstreamSizeInBytes = 77;
        return Answer(encoder);
    };
    list->nvEncUnlockBitstream = [](void* encoder, NV_ENC_OUTPUT_PTR buffer) {
        ++g.Unlocks;
        g.Handle = buffer;
        return g.UnlockResult;
    };
    list->nvEncLockInputBuffer = [](void* encoder, NV_ENC_LOCK_INPUT_BUFFER* params) {
        g.LockInput = *params;
        static BYTE memory[64];
        params->bufferDataPtr = memory;
        params->pitch = 32;
        return Answer(encoder);
    };
    list->nvEncUnlockInputBuffer = [](void* encoder, NV_ENC_INPUT_PTR buffer) {
        ++g.Unlocks;
        g.Handle = buffer;
        return g.UnlockResult;
    };
    return NV_ENC_SUCCESS;
}
} // namespace Recording

class XevApiTest : public ::testing::Test
{
protected:
    void SetUp() override { Recording::g = Recording::State {}; }

    ComPtr<Xev::Api> RecordingApi()
    {
        auto api = Make<Xev::Api>();
        EXPECT_TRUE(api->LoadEntryPoint(&Recording::CreateInstance));
        return api;
    }

    // The count an object has now (AddRef then Release).
    static ULONG Count(IUnknown* object)
    {
        object->AddRef();
        return object->Release();
    }

    TestSupport::TraceCapture m_Trace;
};
} // namespace

// ---- Statuses ------------------------------------------------------------------------------

TEST_F(XevApiTest, StatusesMapToTheFacilityWithTheirLow16Bits)
{
    EXPECT_EQ(Xev::FromNvEncStatus(NV_ENC_SUCCESS), S_OK);
    EXPECT_TRUE(m_Trace.Lines().empty());

    EXPECT_EQ(Xev::FromNvEncStatus(NV_ENC_ERR_RESOURCE_NOT_MAPPED), StatusResult(0x19));
    EXPECT_EQ(Xev::FromNvEncStatus(NV_ENC_ERR_INVALID_PARAM), StatusResult(8));
    EXPECT_EQ(Xev::FromNvEncStatus(static_cast<NVENCSTATUS>(0x12345)), StatusResult(0x2345));
    const auto lines = m_Trace.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(": Xev::FromNvEncStatus: Value NV_ENC_ERR_RESOURCE_NOT_MAPPED, Result 0xCE560019\n"), std::string::npos) << lines[0];
    EXPECT_NE(lines[2].find(": Xev::FromNvEncStatus: Value 0x12345, Result 0xCE562345\n"), std::string::npos) << lines[2];
}

TEST_F(XevApiTest, StatusNamesFollowTheTable)
{
    EXPECT_STREQ(Xev::StatusName(NV_ENC_SUCCESS).data(), "NV_ENC_SUCCESS");
    EXPECT_STREQ(Xev::StatusName(NV_ENC_ERR_NO_ENCODE_DEVICE).data(), "NV_ENC_ERR_NO_ENCODE_DEVICE");
    EXPECT_STREQ(Xev::StatusName(NV_ENC_ERR_INVALID_CALL).data(), "NV_ENC_ERR_INVALID_CALL");
    EXPECT_STREQ(Xev::StatusName(NV_ENC_ERR_NEED_MORE_INPUT).data(), "NV_ENC_ERR_NEED_MORE_INPUT");
    EXPECT_STREQ(Xev::StatusName(NV_ENC_ERR_EVENT_NOT_REGISTERD).data(), "NV_ENC_ERR_EVENT_NOT_REGISTERD");
    EXPECT_STREQ(Xev::StatusName(NV_ENC_ERR_RESOURCE_NOT_MAPPED).data(), "NV_ENC_ERR_RESOURCE_NOT_MAPPED");
    EXPECT_STREQ(Xev::StatusName(static_cast<NVENCSTATUS>(26)).data(), "0x1A");
    EXPECT_STREQ(Xev::StatusName(static_cast<NVENCSTATUS>(-1)).data(), "0xFFFFFFFF");
}

TEST_F(XevApiTest, CheckPassesSuccessAndThrowsAFailureWithItsCallSite)
{
    EXPECT_NO_THROW(Xev::Check(NV_ENC_SUCCESS, __FILE__, __LINE__));
    EXPECT_TRUE(m_Trace.Lines().empty());
    const int line = __LINE__ + 3;
    try
    {
        XEV_CHECK_NVENC(NV_ENC_ERR_INVALID_PARAM);
        FAIL() << "no exception";
    }
    catch (const HResultException& e)
    {
        EXPECT_EQ(e.Result(), StatusResult(8));
        EXPECT_EQ(e.Line(), line);
    }
    const auto check = m_Trace.LinesContaining(": Xev::Check: ");
    ASSERT_EQ(check.size(), 1u);
    EXPECT_NE(check[0].find("Value NV_ENC_ERR_INVALID_PARAM at XevApi_test.cpp(" + std::to_string(line) + ")\n"), std::string::npos)
        << check[0];
}

// ---- Loading -------------------------------------------------------------------------------

TEST_F(XevApiTest, LoadWithoutTheNvidiaLibraryFailsQuietlyAndLeavesNothingLoaded)
{
    auto api = Make<Xev::Api>();
    EXPECT_FALSE(api->Load());
    EXPECT_FALSE(api->IsLoaded());
    EXPECT_STREQ(api->RuntimeName(), "(none)");
    EXPECT_EQ(api->Functions().nvEncOpenEncodeSessionEx, nullptr);

    // Libraries that load but are not the driver: no entry point, freed again.
    EncoderRuntime::NvidiaLibraries impostors;
    impostors.Encoder = "libm.so.6";
    impostors.Cuda = "libc.so.6";
    EXPECT_FALSE(api->Load(impostors));
    EXPECT_FALSE(api->IsLoaded());
    EXPECT_FALSE(NvidiaEncoder::HasEntryPoints());
}

TEST_F(XevApiTest, AFailingCreateInstanceIsTracedAndTheLoadFails)
{
    Recording::g.CreateInstanceResult = NV_ENC_ERR_INVALID_VERSION;
    auto api = Make<Xev::Api>();
    EXPECT_FALSE(api->LoadEntryPoint(&Recording::CreateInstance));
    EXPECT_FALSE(api->IsLoaded());
    EXPECT_EQ(m_Trace.LinesContaining("Xev::Check: Value NV_ENC_ERR_INVALID_VERSION at XevApi.cpp(").size(), 1u);
    EXPECT_FALSE(api->LoadEntryPoint(nullptr));
}

TEST_F(XevApiTest, TheSoftwareRuntimeAndTheSoftwareAdapterLoad)
{
    auto api = Make<Xev::Api>();
    ASSERT_TRUE(api->LoadSoftware());
    EXPECT_STREQ(api->RuntimeName(), "Software");
    EXPECT_NE(api->Functions().nvEncEncodePicture, nullptr);
    EXPECT_EQ(api->Functions().version, NV_ENCODE_API_FUNCTION_LIST_VER);

    ComPtr<ID3D11Device> device;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr,
                  nullptr),
        S_OK);
    auto forDevice = Make<Xev::Api>();
    ASSERT_TRUE(forDevice->LoadForDevice(device.Get()));
    EXPECT_STREQ(forDevice->RuntimeName(), "Software");

    // IUnknown is all it answers.
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(api.As(&unknown), S_OK);
    ComPtr<ID3D11Device> notAnApi;
    EXPECT_EQ(api.As(&notAnApi), E_NOINTERFACE);
}

// ---- Sessions ------------------------------------------------------------------------------

TEST_F(XevApiTest, OpenPassesTheDeviceAndHoldsTheApiUntilClose)
{
    auto api = RecordingApi();
    const ULONG initial = Count(api.Get());
    auto* device = reinterpret_cast<ID3D11Device*>(0xD3D);
    {
        Xev::EncodeSession session;
        session.Open(api.Get(), device);
        EXPECT_EQ(Recording::g.Open.version, NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER);
        EXPECT_EQ(Recording::g.Open.deviceType, NV_ENC_DEVICE_TYPE_DIRECTX);
        EXPECT_EQ(Recording::g.Open.device, static_cast<void*>(device));
        EXPECT_EQ(Recording::g.Open.apiVersion, uint32_t(NVENCAPI_VERSION));
        EXPECT_TRUE(session.IsOpen());
        EXPECT_EQ(session.Encoder(), Recording::g.NextEncoder);
        EXPECT_EQ(Count(api.Get()), initial + 1);

        // Opening again closes the first encoder.
        void* first = session.Encoder();
        Recording::g.NextEncoder = reinterpret_cast<void*>(0x2000);
        session.Open(api.Get(), device);
        EXPECT_EQ(Recording::g.Destroys, 1);
        EXPECT_EQ(Recording::g.LastDestroyed, first);
        EXPECT_EQ(Count(api.Get()), initial + 1);

        session.Close();
        EXPECT_EQ(Recording::g.Destroys, 2);
        EXPECT_EQ(Recording::g.LastDestroyed, reinterpret_cast<void*>(0x2000));
        EXPECT_FALSE(session.IsOpen());
        EXPECT_EQ(session.GetApi(), nullptr);
        EXPECT_EQ(Count(api.Get()), initial);
        session.Close();
        EXPECT_EQ(Recording::g.Destroys, 2);
    }
    EXPECT_EQ(Recording::g.Destroys, 2);
}

TEST_F(XevApiTest, CloseWithoutAnEncoderKeepsTheApiAndAFailingCloseKeepsBoth)
{
    auto api = RecordingApi();
    const ULONG initial = Count(api.Get());
    Xev::EncodeSession session;
    // A runtime that answers success without an encoder leaves the session with its api only.
    Recording::g.NextEncoder = nullptr;
    session.Open(api.Get(), nullptr);
    session.Close();
    EXPECT_EQ(Recording::g.Destroys, 0);
    EXPECT_EQ(session.GetApi(), api.Get());
    EXPECT_EQ(Count(api.Get()), initial + 1);

    Recording::g.NextEncoder = reinterpret_cast<void*>(0x3000);
    session.Open(api.Get(), nullptr);
    Recording::g.DestroyResult = NV_ENC_ERR_GENERIC;
    EXPECT_EQ(Thrown([&] { session.Close(); }), StatusResult(20));
    EXPECT_TRUE(session.IsOpen());
    Recording::g.DestroyResult = NV_ENC_SUCCESS;
    session.Close();
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(Count(api.Get()), initial);

    // A failing open stores nothing.
    Recording::g.Result = NV_ENC_ERR_UNSUPPORTED_DEVICE;
    EXPECT_EQ(Thrown([&] { session.Open(api.Get(), nullptr); }), StatusResult(2));
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(Thrown([&] { session.Open(nullptr, nullptr); }), E_POINTER);
    EXPECT_EQ(Thrown([&] { session.Open(Make<Xev::Api>().Get(), nullptr); }) & 0xFFFF0000u, 0x80FF0000u);
}

TEST_F(XevApiTest, OperationsPassTheirFixedValues)
{
    auto api = RecordingApi();
    Xev::EncodeSession session;
    session.Open(api.Get(), nullptr);
    void* const encoder = session.Encoder();

    EXPECT_EQ(session.CreateBitstreamBuffer(), reinterpret_cast<void*>(0xB0));
    EXPECT_EQ(Recording::g.Bitstream.version, NV_ENC_CREATE_BITSTREAM_BUFFER_VER);
    EXPECT_EQ(Recording::g.Bitstream.size, 0x200000u);
    EXPECT_EQ(Recording::g.Bitstream.memoryHeap, NV_ENC_MEMORY_HEAP_SYSMEM_CACHED);
    EXPECT_EQ(Recording::g.Encoder, encoder);
    session.DestroyBitstreamBuffer(reinterpret_cast<void*>(0xB0));
    EXPECT_EQ(Recording::g.Handle, reinterpret_cast<void*>(0xB0));

    EXPECT_EQ(session.CreateInputBuffer(1280, 720, NV_ENC_BUFFER_FORMAT_ARGB), reinterpret_cast<void*>(0x10));
    EXPECT_EQ(Recording::g.Input.version, NV_ENC_CREATE_INPUT_BUFFER_VER);
    EXPECT_EQ(Recording::g.Input.width, 1280u);
    EXPECT_EQ(Recording::g.Input.height, 720u);
    EXPECT_EQ(Recording::g.Input.memoryHeap, NV_ENC_MEMORY_HEAP_SYSMEM_CACHED);
    EXPECT_EQ(Recording::g.Input.bufferFmt, NV_ENC_BUFFER_FORMAT_ARGB);

    Sync::Event event(Sync::Event::ResetMode::Manual);
    EXPECT_FALSE(session.EncodeEndOfStream(&event).has_value());
    EXPECT_EQ(Recording::g.Picture.version, NV_ENC_PIC_PARAMS_VER);
    EXPECT_EQ(Recording::g.Picture.encodePicFlags, uint32_t(NV_ENC_PIC_FLAG_EOS));
    EXPECT_EQ(Recording::g.Picture.completionEvent, &event);
    EXPECT_EQ(Recording::g.Picture.inputBuffer, nullptr);
    EXPECT_EQ(Recording::g.Picture.outputBitstream, nullptr);

    std::array<BYTE, Xev::SequenceParamsCapacity> headers {};
    EXPECT_EQ(session.GetSequenceParams(headers), 5u);
    EXPECT_EQ(Recording::g.Sequence.inBufferSize, 4096u);
    EXPECT_EQ(Recording::g.Sequence.spsppsBuffer, headers.data());
    EXPECT_EQ(headers[4], 0x67);

    session.RegisterAsyncEvent(&event);
    EXPECT_EQ(Recording::g.Event.version, NV_ENC_EVENT_PARAMS_VER);
    EXPECT_EQ(Recording::g.Event.completionEvent, &event);
    EXPECT_FALSE(session.UnregisterAsyncEvent(&event).has_value());

    EXPECT_EQ(session.MapInputResource(reinterpret_cast<void*>(0x20)), reinterpret_cast<void*>(0x30));
    EXPECT_EQ(Recording::g.Map.version, NV_ENC_MAP_INPUT_RESOURCE_VER);
    EXPECT_EQ(Recording::g.Map.registeredResource, reinterpret_cast<void*>(0x20));
    session.UnmapInputResource(reinterpret_cast<void*>(0x30));
    EXPECT_EQ(Recording::g.Handle, reinterpret_cast<void*>(0x30));

    EXPECT_EQ(session.GetInputFormatCount(NV_ENC_CODEC_H264_GUID), 2u);
    NV_ENC_BUFFER_FORMAT formats[2] {};
    EXPECT_EQ(session.GetInputFormats(NV_ENC_CODEC_H264_GUID, formats), 1u);
    EXPECT_EQ(formats[0], NV_ENC_BUFFER_FORMAT_ARGB);

    // Failures: checked operations throw the status's HRESULT, the others return the status.
    Recording::g.Result = NV_ENC_ERR_INVALID_PARAM;
    EXPECT_EQ(Thrown([&] { session.CreateBitstreamBuffer(); }), StatusResult(8));
    EXPECT_EQ(Thrown([&] { session.RegisterAsyncEvent(&event); }), StatusResult(8));
    EXPECT_EQ(session.EncodeEndOfStream(&event), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(session.UnregisterAsyncEvent(&event), NV_ENC_ERR_INVALID_PARAM);
    EXPECT_EQ(session.InitializeEncoder(nullptr), NV_ENC_ERR_UNIMPLEMENTED); // the recording runtime has no such entry
    Recording::g.Result = NV_ENC_SUCCESS;
}

TEST_F(XevApiTest, RegisterResourceTakesTheSizeFromTheTexture)
{
    ComPtr<ID3D11Device> device;
    ASSERT_EQ(D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, 0, nullptr, 0, D3D11_SDK_VERSION, device.GetAddressOf(), nullptr,
                  nullptr),
        S_OK);
    D3D11_TEXTURE2D_DESC desc {};
    desc.Width = 320;
    desc.Height = 180;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    ComPtr<ID3D11Texture2D> texture;
    ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, texture.GetAddressOf()), S_OK);

    auto api = RecordingApi();
    Xev::EncodeSession session;
    session.Open(api.Get(), device.Get());
    EXPECT_EQ(session.RegisterResource(texture.Get(), 1280, NV_ENC_BUFFER_FORMAT_ARGB), reinterpret_cast<void*>(0x20));
    const auto& r = Recording::g.Register;
    EXPECT_EQ(r.version, NV_ENC_REGISTER_RESOURCE_VER);
    EXPECT_EQ(r.resourceType, NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX);
    EXPECT_EQ(r.width, 320u);
    EXPECT_EQ(r.height, 180u);
    EXPECT_EQ(r.pitch, 1280u);
    EXPECT_EQ(r.subResourceIndex, 0u);
    EXPECT_EQ(r.resourceToRegister, static_cast<void*>(texture.Get()));
    EXPECT_EQ(r.bufferFormat, NV_ENC_BUFFER_FORMAT_ARGB);
    session.UnregisterResource(reinterpret_cast<void*>(0x20));
    EXPECT_EQ(Recording::g.Handle, reinterpret_cast<void*>(0x20));
    EXPECT_EQ(Thrown([&] { session.RegisterResource(nullptr, 0, NV_ENC_BUFFER_FORMAT_ARGB); }), E_POINTER);
}

TEST_F(XevApiTest, AClosedSessionAnswersInvalidEncoderDevice)
{
    Xev::EncodeSession session;
    EXPECT_EQ(Thrown([&] { session.CreateBitstreamBuffer(); }), StatusResult(3));
    EXPECT_EQ(Thrown([&] { session.GetInputFormatCount(NV_ENC_CODEC_H264_GUID); }), StatusResult(3));
    EXPECT_EQ(session.EncodeEndOfStream(nullptr), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    EXPECT_EQ(session.InitializeEncoder(nullptr), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    Xev::BitstreamLock lock(session);
    EXPECT_EQ(lock.Lock(nullptr), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    EXPECT_FALSE(lock.IsLocked());
}

// ---- Locks ---------------------------------------------------------------------------------

TEST_F(XevApiTest, ABitstreamLockBlocksUnlocksAtTheEndOfItsScopeAndOnlyWhenLocked)
{
    auto api = RecordingApi();
    Xev::EncodeSession session;
    session.Open(api.Get(), nullptr);
    auto* buffer = reinterpret_cast<void*>(0xB0);
    {
        Xev::BitstreamLock lock(session);
        ASSERT_EQ(lock.Lock(buffer), NV_ENC_SUCCESS);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_EQ(Recording::g.LockBitstream.version, NV_ENC_LOCK_BITSTREAM_VER);
        EXPECT_EQ(Recording::g.LockBitstream.doNotWait, 0u);
        EXPECT_EQ(Recording::g.LockBitstream.outputBitstream, buffer);
        EXPECT_EQ(lock->bitstreamSizeInBytes, 77u);
        EXPECT_EQ(lock.Lock(buffer), NV_ENC_ERR_INVALID_CALL);
    }
    EXPECT_EQ(Recording::g.Unlocks, 1);
    EXPECT_EQ(Recording::g.Handle, buffer);

    // A failed lock is not unlocked.
    Recording::g.Result = NV_ENC_ERR_LOCK_BUSY;
    {
        Xev::BitstreamLock lock(session);
        EXPECT_EQ(lock.Lock(buffer), NV_ENC_ERR_LOCK_BUSY);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_EQ(lock.Unlock(), NV_ENC_SUCCESS);
    }
    EXPECT_EQ(Recording::g.Unlocks, 1);

    // A failing unlock keeps the lock (and the scope's end tries again, traced).
    Recording::g.Result = NV_ENC_SUCCESS;
    {
        Xev::BitstreamLock lock(session);
        ASSERT_EQ(lock.Lock(buffer), NV_ENC_SUCCESS);
        Recording::g.UnlockResult = NV_ENC_ERR_INVALID_CALL;
        EXPECT_EQ(lock.Unlock(), NV_ENC_ERR_INVALID_CALL);
        EXPECT_TRUE(lock.IsLocked());
    }
    EXPECT_EQ(Recording::g.Unlocks, 3);
}

TEST_F(XevApiTest, AnInputBufferLockGivesTheMemoryAndPitch)
{
    auto api = RecordingApi();
    Xev::EncodeSession session;
    session.Open(api.Get(), nullptr);
    auto* buffer = reinterpret_cast<void*>(0x10);
    {
        Xev::InputBufferLock lock(session);
        ASSERT_EQ(lock.Lock(buffer), NV_ENC_SUCCESS);
        EXPECT_EQ(Recording::g.LockInput.version, NV_ENC_LOCK_INPUT_BUFFER_VER);
        EXPECT_EQ(Recording::g.LockInput.doNotWait, 0u);
        EXPECT_EQ(Recording::g.LockInput.inputBuffer, buffer);
        EXPECT_NE(lock.Data(), nullptr);
        EXPECT_EQ(lock.Pitch(), 32u);
        EXPECT_EQ(lock.Unlock(), NV_ENC_SUCCESS);
        EXPECT_FALSE(lock.IsLocked());
    }
    EXPECT_EQ(Recording::g.Unlocks, 1);
}

// ---- With the software runtime -------------------------------------------------------------

TEST_F(XevApiTest, ASessionOfTheSoftwareRuntimeEncodesAPictureThroughTheLocks)
{
    const std::size_t sessionsBefore = SoftwareEncoder::OpenSessionCount();
    auto api = Make<Xev::Api>();
    ASSERT_TRUE(api->LoadSoftware());
    {
        Xev::EncodeSession session;
        session.Open(api.Get(), nullptr);
        EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), sessionsBefore + 1);
        NV_ENC_BUFFER_FORMAT formats[4] {};
        ASSERT_EQ(session.GetInputFormatCount(NV_ENC_CODEC_H264_GUID), 2u);
        ASSERT_EQ(session.GetInputFormats(NV_ENC_CODEC_H264_GUID, formats), 2u);
        EXPECT_EQ(formats[0], NV_ENC_BUFFER_FORMAT_NV12);

        NV_ENC_PRESET_CONFIG preset {};
        preset.version = NV_ENC_PRESET_CONFIG_VER;
        preset.presetCfg.version = NV_ENC_CONFIG_VER;
        XEV_CHECK_NVENC(session.GetEncodePresetConfig(NV_ENC_CODEC_H264_GUID, NvEncPresets::LowLatencyDefault, &preset));
        NV_ENC_CONFIG config {};
        config.version = NV_ENC_CONFIG_VER;
        config.profileGUID = NV_ENC_CODEC_PROFILE_AUTOSELECT_GUID;
        config.gopLength = 30;
        config.frameIntervalP = 1;
        config.rcParams.version = NV_ENC_RC_PARAMS_VER;
        config.rcParams.constQP = NV_ENC_QP { 24, 24, 24 };
        config.encodeCodecConfig.h264Config.outputAUD = 1;
        config.encodeCodecConfig.h264Config.repeatSPSPPS = 1;
        config.encodeCodecConfig.h264Config.idrPeriod = 30;
        NV_ENC_INITIALIZE_PARAMS init {};
        init.version = NV_ENC_INITIALIZE_PARAMS_VER;
        init.encodeGUID = NV_ENC_CODEC_H264_GUID;
        init.presetGUID = NvEncPresets::LowLatencyDefault;
        init.encodeWidth = init.darWidth = 128;
        init.encodeHeight = init.darHeight = 64;
        init.frameRateNum = 30;
        init.frameRateDen = 1;
        init.enableEncodeAsync = 1;
        init.enablePTD = 1;
        init.encodeConfig = &config;
        XEV_CHECK_NVENC(session.InitializeEncoder(&init));
        std::array<BYTE, Xev::SequenceParamsCapacity> headers {};
        const uint32_t size = session.GetSequenceParams(headers);
        ASSERT_GT(size, 8u);
        EXPECT_EQ(headers[4] & 0x1F, 7);

        Sync::Event event(Sync::Event::ResetMode::Manual);
        session.RegisterAsyncEvent(&event);
        NV_ENC_OUTPUT_PTR bitstream = session.CreateBitstreamBuffer();
        NV_ENC_INPUT_PTR input = session.CreateInputBuffer(128, 64, NV_ENC_BUFFER_FORMAT_NV12);
        uint32_t pitch = 0;
        {
            Xev::InputBufferLock lock(session);
            ASSERT_EQ(lock.Lock(input), NV_ENC_SUCCESS);
            std::memset(lock.Data(), 128, std::size_t(lock.Pitch()) * 96);
            pitch = lock.Pitch();
        }
        NV_ENC_PIC_PARAMS picture {};
        picture.version = NV_ENC_PIC_PARAMS_VER;
        picture.inputWidth = 128;
        picture.inputHeight = 64;
        picture.inputPitch = pitch;
        picture.inputTimeStamp = 1234;
        picture.inputBuffer = input;
        picture.outputBitstream = bitstream;
        picture.completionEvent = &event;
        picture.bufferFmt = NV_ENC_BUFFER_FORMAT_NV12;
        picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
        XEV_CHECK_NVENC(session.EncodePicture(&picture));
        ASSERT_TRUE(event.Wait(30000));
        {
            Xev::BitstreamLock lock(session);
            ASSERT_EQ(lock.Lock(bitstream), NV_ENC_SUCCESS);
            EXPECT_GT(lock->bitstreamSizeInBytes, size);
            EXPECT_EQ(lock->outputTimeStamp, 1234u);
            EXPECT_EQ(lock->pictureType, NV_ENC_PIC_TYPE_IDR);
            EXPECT_EQ(lock->frameAvgQP, 24u);
        }
        // End of stream on its own event, then the teardown the transform does.
        Sync::Event end(Sync::Event::ResetMode::Manual);
        session.RegisterAsyncEvent(&end);
        EXPECT_FALSE(session.EncodeEndOfStream(&end).has_value());
        EXPECT_TRUE(end.Wait(30000));
        EXPECT_FALSE(session.UnregisterAsyncEvent(&end).has_value());
        EXPECT_FALSE(session.UnregisterAsyncEvent(&event).has_value());
        EXPECT_EQ(session.UnregisterAsyncEvent(&event), NV_ENC_ERR_EVENT_NOT_REGISTERD);
        session.DestroyInputBuffer(input);
        session.DestroyBitstreamBuffer(bitstream);
        EXPECT_EQ(Thrown([&] { session.DestroyBitstreamBuffer(bitstream); }), StatusResult(8));
        // The session's destructor closes the encoder.
    }
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), sessionsBefore);
}
