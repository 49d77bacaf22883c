#pragma once
// Encoder runtimes as loadable modules: the stand-in for loading the encoder runtime library,
// looking up its NvEncodeAPICreateInstance export and freeing it again.
//
// Two runtimes stand behind the one NVIDIA function list:
//   - the NVIDIA runtime: libnvidia-encode.so.1 with the CUDA driver libcuda.so.1, both loaded
//     with dlopen (no link-time dependency); the device of a session is a CUDA context on the
//     NVIDIA adapter of the caller's Direct3D device (NvidiaRuntime.cpp);
//   - the software runtime: a built-in implementation over libx264 for the software adapter
//     (SoftwareRuntime.cpp). It is always present.
//
// A module is counted like a loaded library: every successful load needs its Free. Handles are
// process-wide; loading the same runtime twice gives the same handle.

#include "platform/encoder/NvEncodeApi.h"

#include <string>

struct ID3D11Device;

namespace EncoderRuntime
{
struct Module; // opaque handle of a loaded runtime

// Library names of the NVIDIA runtime; tests point them elsewhere.
struct NvidiaLibraries
{
    const char* Encoder = "libnvidia-encode.so.1";
    const char* Cuda = "libcuda.so.1";
};

// The NVIDIA runtime, or null when either library cannot be loaded.
Module* LoadNvidia(const NvidiaLibraries& libraries = {}) noexcept;
// The software runtime (never null).
Module* LoadSoftware() noexcept;
// The runtime that serves `device`: the software runtime for a device on the software adapter (or
// no device), the NVIDIA runtime for a device on an NVIDIA adapter; null when that one is missing
// or the device is on another vendor's adapter.
Module* LoadForDevice(ID3D11Device* device) noexcept;

// The module's NvEncodeAPICreateInstance (the export a runtime library offers), or null.
NvEncodeApiCreateInstanceFunction FindCreateInstance(Module* module) noexcept;
// Drops one load of the module; the last one unloads it. Null is ignored.
void Free(Module* module) noexcept;

// A name for trace lines: "NVIDIA" or "Software".
const char* Name(Module* module) noexcept;
// The runtime and its versions, for people: "Software (libx264 build 164, preset superfast, ...)",
// "NVIDIA (driver 550.54.14, CUDA 12.4, encoder interface 12.1)"; "(none)" for null.
std::string Describe(Module* module);
} // namespace EncoderRuntime
