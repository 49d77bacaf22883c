// Loading the runtimes.

#include "platform/encoder/NvidiaRuntime.h"
#include "platform/encoder/Runtime.h"
#include "platform/encoder/SoftwareRuntime.h"

#include "EncoderTestSupport.h"

#include <gtest/gtest.h>


using namespace EncoderTest;

// No machine this is built on has the NVIDIA driver: libraries that exist everywhere but are not
// the driver's load, counted, with no entry point. The software adapter and no device get the
// software runtime.
TEST(EncoderRuntimeLoading, ImpostorsOfferNoFunctionListAndTheSoftwareAdapterGetsTheSoftwareRuntime)
{
    EXPECT_EQ(EncoderRuntime::LoadNvidia({ .Encoder = "libxev-does-not-exist.so.1" }), nullptr);
    const EncoderRuntime::NvidiaLibraries libraries { .Encoder = "libm.so.6", .Cuda = "libc.so.6" };
    EncoderRuntime::Module* module = EncoderRuntime::LoadNvidia(libraries);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(std::pair(EncoderRuntime::FindCreateInstance(module), EncoderRuntime::LoadNvidia(libraries)), std::pair(NvEncodeApiCreateInstanceFunction(nullptr), module));
    EncoderRuntime::Free(module);
    EncoderRuntime::Free(module);
    auto list = Versioned<NV_ENCODE_API_FUNCTION_LIST>(NV_ENCODE_API_FUNCTION_LIST_VER);
    EXPECT_EQ(NvidiaEncoder::CreateInstance(&list), NV_ENC_ERR_NO_ENCODE_DEVICE);

    EncoderRuntime::Module* software = EncoderRuntime::LoadSoftware();
    EXPECT_EQ(EncoderRuntime::FindCreateInstance(software), &SoftwareEncoder::CreateInstance);
    EXPECT_EQ(std::pair(EncoderRuntime::LoadForDevice(nullptr), EncoderRuntime::LoadForDevice(WarpDevice().Get())), std::pair(software, software));
    EncoderRuntime::Free(software);
    EncoderRuntime::Free(nullptr);
}
