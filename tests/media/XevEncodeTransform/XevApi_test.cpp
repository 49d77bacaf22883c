// Xev::Api: the status mapping and loading the runtimes. (The encoder transform's tests drive
// Xev::EncodeSession and the buffer locks over the software runtime end to end.)

#include "media/XevEncodeTransform/XevApi.h"

#include "platform/com/Error.h"
#include "platform/encoder/NvidiaRuntime.h"
#include "platform/encoder/EncoderTestSupport.h"

#include <gtest/gtest.h>

namespace
{
constexpr HRESULT StatusResult(uint32_t status) { return MakeHResult(0xCE560000u | status); }
} // namespace

// The status, the HRESULT and name it maps to; failures are traced, and checked with their call site.
TEST(XevApi, StatusesMapToTheFacilityAndChecksThrowWithTheirCallSite)
{
    TestSupport::TraceCapture trace;
    const struct { uint32_t Status; HRESULT Result; const char* Name; } cases[] = {
        { NV_ENC_SUCCESS, S_OK, "NV_ENC_SUCCESS" }, { NV_ENC_ERR_RESOURCE_NOT_MAPPED, StatusResult(0x19), "NV_ENC_ERR_RESOURCE_NOT_MAPPED" },
        { 26, StatusResult(0x1A), "0x1A" }, { 0x12345, StatusResult(0x2345), "0x12345" }, { 0xFFFFFFFF, StatusResult(0xFFFF), "0xFFFFFFFF" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(std::pair(Xev::FromNvEncStatus(NVENCSTATUS(c.Status)), std::string(Xev::StatusName(NVENCSTATUS(c.Status)).data())), std::pair(c.Result, std::string(c.Name)));
    const auto lines = trace.LinesContaining(": Xev::FromNvEncStatus: ");
    ASSERT_EQ(lines.size(), std::size(cases) - 1);
    EXPECT_NE(lines[0].find(": Xev::FromNvEncStatus: Value NV_ENC_ERR_RESOURCE_NOT_MAPPED, Result 0xCE560019\n"), std::string::npos) << lines[0];
    EXPECT_EQ(Error::Guard([] { XEV_CHECK_NVENC(NV_ENC_SUCCESS); }), S_OK);
    const int line = __LINE__ + 1;
    EXPECT_EQ(Error::Guard([] { XEV_CHECK_NVENC(NV_ENC_ERR_INVALID_PARAM); }), StatusResult(8));
    EXPECT_EQ(trace.LinesContaining("Xev::Check: Value NV_ENC_ERR_INVALID_PARAM at XevApi_test.cpp(" + std::to_string(line) + ")\n").size(), 1u);
}

TEST(XevApi, LoadingFailsQuietlyWithoutARuntimeAndGivesTheSoftwareOneForTheSoftwareAdapter)
{
    TestSupport::TraceCapture trace;
    auto api = Make<Xev::Api>();
    // No driver; libraries that load but are not the driver; no entry point; a failing one.
    const NvEncodeApiCreateInstanceFunction failing = [](NV_ENCODE_API_FUNCTION_LIST*) { return NV_ENC_ERR_INVALID_VERSION; };
    EXPECT_EQ((std::tuple { api->Load(), api->Load({ .Encoder = "libm.so.6", .Cuda = "libc.so.6" }), api->LoadEntryPoint(nullptr),
                           api->LoadEntryPoint(failing), api->IsLoaded() }), std::tuple(false, false, false, false, false));
    EXPECT_FALSE(NvidiaEncoder::HasEntryPoints());
    EXPECT_EQ(trace.LinesContaining("Xev::Check: Value NV_ENC_ERR_INVALID_VERSION at XevApi.cpp(").size(), 1u);
    ASSERT_TRUE(api->LoadSoftware());
    EXPECT_STREQ(api->RuntimeName(), "Software");
    auto forDevice = Make<Xev::Api>();
    ASSERT_TRUE(forDevice->LoadForDevice(EncoderTest::WarpDevice().Get()));
    EXPECT_STREQ(forDevice->RuntimeName(), "Software");
}
