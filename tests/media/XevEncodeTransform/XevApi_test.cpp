// Xev::Api, the status mapping, Xev::EncodeSession and the buffer locks: against the software
// runtime for real, and against a recording runtime for the failure paths it cannot produce.

#include "media/XevEncodeTransform/XevApi.h"

#include "platform/com/Error.h"
#include "platform/d3d/Texture.h"
#include "platform/encoder/NvidiaRuntime.h"
#include "platform/encoder/EncoderTestSupport.h"

#include <gtest/gtest.h>

namespace
{
constexpr HRESULT StatusResult(uint32_t status) { return MakeHResult(0xCE560000u | status); }

using TestSupport::RefCount;

// A runtime that answers what the test sets and counts what it is given.
namespace Recording
{
struct State
{
    int Destroys = 0, Unlocks = 0;
    void* NextEncoder = reinterpret_cast<void*>(0x1000);
    void* Device = nullptr;
    NVENCSTATUS Result = NV_ENC_SUCCESS, DestroyResult = NV_ENC_SUCCESS, UnlockResult = NV_ENC_SUCCESS, CreateResult = NV_ENC_SUCCESS;
    uint32_t DoNotWait = 9;
};
State g;
BYTE g_Memory[64];

NVENCSTATUS NVENCAPI CreateInstance(NV_ENCODE_API_FUNCTION_LIST* list)
{
    list->nvEncOpenEncodeSessionEx = [](NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* params, void** encoder) {
        g.Device = params->device;
        *encoder = g.Result == NV_ENC_SUCCESS ? g.NextEncoder : nullptr;
        return g.Result;
    };
    list->nvEncDestroyEncoder = [](void*) { return ++g.Destroys, g.DestroyResult; };
    list->nvEncLockBitstream = [](void*, NV_ENC_LOCK_BITSTREAM* params) { return g.DoNotWait = params->doNotWait, g.Result; };
    list->nvEncUnlockBitstream = [](void*, NV_ENC_OUTPUT_PTR) { return ++g.Unlocks, g.UnlockResult; };
    list->nvEncLockInputBuffer = [](void*, NV_ENC_LOCK_INPUT_BUFFER* params) {
        g.DoNotWait = params->doNotWait;
        params->bufferDataPtr = g_Memory;
        params->pitch = 32;
        return g.Result;
    };
    list->nvEncUnlockInputBuffer = [](void*, NV_ENC_INPUT_PTR) { return ++g.Unlocks, g.UnlockResult; };
    return g.CreateResult;
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

    TestSupport::TraceCapture m_Trace;
};
} // namespace

// The status, the HRESULT and name it maps to; failures are traced, and checked with their call site.
TEST_F(XevApiTest, StatusesMapToTheFacilityAndChecksThrowWithTheirCallSite)
{
    const struct { uint32_t Status; HRESULT Result; const char* Name; } cases[] = {
        { NV_ENC_SUCCESS, S_OK, "NV_ENC_SUCCESS" }, { NV_ENC_ERR_RESOURCE_NOT_MAPPED, StatusResult(0x19), "NV_ENC_ERR_RESOURCE_NOT_MAPPED" },
        { 26, StatusResult(0x1A), "0x1A" }, { 0x12345, StatusResult(0x2345), "0x12345" }, { 0xFFFFFFFF, StatusResult(0xFFFF), "0xFFFFFFFF" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::pair(Xev::FromNvEncStatus(NVENCSTATUS(c.Status)), std::string(Xev::StatusName(NVENCSTATUS(c.Status)).data())), std::pair(c.Result, std::string(c.Name)));
    const auto lines = m_Trace.LinesContaining(": Xev::FromNvEncStatus: ");
    ASSERT_EQ(lines.size(), std::size(cases) - 1);
    EXPECT_NE(lines[0].find(": Xev::FromNvEncStatus: Value NV_ENC_ERR_RESOURCE_NOT_MAPPED, Result 0xCE560019\n"), std::string::npos) << lines[0];
    EXPECT_EQ(Error::Guard([] { XEV_CHECK_NVENC(NV_ENC_SUCCESS); }), S_OK);
    const int line = __LINE__ + 1;
    EXPECT_EQ(Error::Guard([] { XEV_CHECK_NVENC(NV_ENC_ERR_INVALID_PARAM); }), StatusResult(8));
    EXPECT_EQ(m_Trace.LinesContaining("Xev::Check: Value NV_ENC_ERR_INVALID_PARAM at XevApi_test.cpp(" + std::to_string(line) + ")\n").size(), 1u);
}

TEST_F(XevApiTest, LoadingFailsQuietlyWithoutARuntimeAndGivesTheSoftwareOneForTheSoftwareAdapter)
{
    auto api = Make<Xev::Api>();
    // No driver; libraries that load but are not the driver; no entry point; a failing one.
    Recording::g.CreateResult = NV_ENC_ERR_INVALID_VERSION;
    EXPECT_EQ((std::tuple { api->Load(), api->Load({ .Encoder = "libm.so.6", .Cuda = "libc.so.6" }), api->LoadEntryPoint(nullptr),
                           api->LoadEntryPoint(&Recording::CreateInstance), api->IsLoaded() }), std::tuple(false, false, false, false, false));
    EXPECT_FALSE(NvidiaEncoder::HasEntryPoints());
    EXPECT_EQ(m_Trace.LinesContaining("Xev::Check: Value NV_ENC_ERR_INVALID_VERSION at XevApi.cpp(").size(), 1u);
    ASSERT_TRUE(api->LoadSoftware());
    EXPECT_STREQ(api->RuntimeName(), "Software");
    auto forDevice = Make<Xev::Api>();
    ASSERT_TRUE(forDevice->LoadForDevice(EncoderTest::WarpDevice().Get()));
    EXPECT_STREQ(forDevice->RuntimeName(), "Software");
}

TEST_F(XevApiTest, ASessionHoldsTheApiWhileOpenAndFailuresKeepOrStoreNothing)
{
    auto api = RecordingApi();
    const ULONG initial = RefCount(api.Get());
    auto* device = reinterpret_cast<ID3D11Device*>(0xD3D);
    {
        Xev::EncodeSession session;
        session.Open(api.Get(), device);
        EXPECT_EQ(std::tuple(Recording::g.Device, session.IsOpen(), RefCount(api.Get())), std::tuple(static_cast<void*>(device), true, initial + 1));
        session.Open(api.Get(), device); // closes the first encoder
        EXPECT_EQ(std::pair(Recording::g.Destroys, RefCount(api.Get())), std::pair(1, initial + 1));
        session.Close();
        session.Close();
        EXPECT_EQ(std::tuple(Recording::g.Destroys, session.GetApi(), RefCount(api.Get())), std::tuple(2, nullptr, initial));
        // A runtime that answers success without an encoder leaves the session with its api only.
        Recording::g.NextEncoder = nullptr;
        session.Open(api.Get(), nullptr);
        session.Close();
        EXPECT_EQ(std::pair(Recording::g.Destroys, RefCount(api.Get())), std::pair(2, initial + 1));
        // A failing close throws and keeps both; the destructor closes quietly.
        Recording::g.NextEncoder = reinterpret_cast<void*>(0x3000);
        session.Open(api.Get(), nullptr);
        Recording::g.DestroyResult = NV_ENC_ERR_GENERIC;
        EXPECT_EQ(Error::Guard([&] { session.Close(); }), StatusResult(20));
        EXPECT_TRUE(session.IsOpen());
        Recording::g.DestroyResult = NV_ENC_SUCCESS;
    }
    EXPECT_EQ(std::pair(Recording::g.Destroys, RefCount(api.Get())), std::pair(4, initial));

    // A failing open stores nothing.
    Xev::EncodeSession session;
    Recording::g.Result = NV_ENC_ERR_UNSUPPORTED_DEVICE;
    EXPECT_EQ(Error::Guard([&] { session.Open(api.Get(), nullptr); }), StatusResult(2));
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(Error::Guard([&] { session.Open(nullptr, nullptr); }), E_POINTER);
    EXPECT_EQ(Error::Guard([&] { session.Open(Make<Xev::Api>().Get(), nullptr); }) & 0xFFFF0000u, 0x80FF0000u);
}

// A closed session answers invalid encoder device: checked operations throw it, the others return
// it; an entry the runtime left empty answers unimplemented.
TEST_F(XevApiTest, AClosedSessionAnswersInvalidEncoderDevice)
{
    Xev::EncodeSession session;
    EXPECT_EQ(Error::Guard([&] { session.CreateBitstreamBuffer(); }), StatusResult(NV_ENC_ERR_INVALID_ENCODERDEVICE));
    EXPECT_EQ(session.EncodePicture(nullptr), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    auto api = RecordingApi();
    session.Open(api.Get(), nullptr);
    EXPECT_EQ(session.InitializeEncoder(nullptr), NV_ENC_ERR_UNIMPLEMENTED);
}

TEST_F(XevApiTest, LocksWaitAndUnlockAtTheEndOfTheirScopeOnlyWhenLocked)
{
    auto api = RecordingApi();
    Xev::EncodeSession session;
    session.Open(api.Get(), nullptr);
    auto* buffer = reinterpret_cast<void*>(0xB0);
    {
        Xev::InputBufferLock input(session);
        ASSERT_EQ(input.Lock(buffer), NV_ENC_SUCCESS);
        EXPECT_EQ(std::tuple(Recording::g.DoNotWait, input.Data(), input.Pitch()), std::tuple(0u, Recording::g_Memory, 32u));
        Xev::BitstreamLock lock(session);
        Recording::g.DoNotWait = 9;
        ASSERT_EQ(lock.Lock(buffer), NV_ENC_SUCCESS);
        EXPECT_EQ((std::pair { Recording::g.DoNotWait, lock.Lock(buffer) }), std::pair(0u, NV_ENC_ERR_INVALID_CALL));
    }
    EXPECT_EQ(Recording::g.Unlocks, 2);

    // Rows: the lock's and the unlock's answers, the unlocks the scope makes. A failed lock is not
    // unlocked; a failing unlock keeps the lock and the scope's end tries again.
    for (const auto& [lockResult, unlockResult, unlocks] : { std::tuple { NV_ENC_ERR_LOCK_BUSY, NV_ENC_SUCCESS, 2 }, { NV_ENC_SUCCESS, NV_ENC_ERR_INVALID_CALL, 4 } })
    {
        Recording::g.Result = lockResult;
        {
            Xev::BitstreamLock lock(session);
            EXPECT_EQ(lock.Lock(buffer), lockResult);
            Recording::g.UnlockResult = unlockResult;
            EXPECT_EQ((std::pair { lock.Unlock(), lock.IsLocked() }), std::pair(lockResult == NV_ENC_SUCCESS ? unlockResult : NV_ENC_SUCCESS, lockResult == NV_ENC_SUCCESS));
        }
        EXPECT_EQ(Recording::g.Unlocks, unlocks);
    }
}
