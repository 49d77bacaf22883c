// Loading the NVIDIA runtime: no machine this is built on has its driver. (Xev::Api's loading
// test covers the software runtime and the device's choice.)

#include "platform/encoder/NvidiaRuntime.h"
#include "platform/encoder/Runtime.h"

#include "EncoderTestSupport.h"

#include <gtest/gtest.h>

// Libraries that exist everywhere but are not the driver load, counted, with no entry point.
TEST(EncoderRuntimeLoading, ImpostorsAreCountedAndOfferNoFunctionList)
{
    EXPECT_EQ(EncoderRuntime::LoadNvidia({ .Encoder = "libxev-does-not-exist.so.1" }), nullptr);
    const EncoderRuntime::NvidiaLibraries libraries { .Encoder = "libm.so.6", .Cuda = "libc.so.6" };
    EncoderRuntime::Module* module = EncoderRuntime::LoadNvidia(libraries);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(std::pair(EncoderRuntime::FindCreateInstance(module), EncoderRuntime::LoadNvidia(libraries)), std::pair(NvEncodeApiCreateInstanceFunction(nullptr), module));
    EncoderRuntime::Free(module);
    EncoderRuntime::Free(module);
    EncoderRuntime::Free(nullptr);
    auto list = EncoderTest::Versioned<NV_ENCODE_API_FUNCTION_LIST>(NV_ENCODE_API_FUNCTION_LIST_VER);
    EXPECT_EQ(NvidiaEncoder::CreateInstance(&list), NV_ENC_ERR_NO_ENCODE_DEVICE);
}
