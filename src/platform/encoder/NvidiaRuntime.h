#pragma once
// The NVIDIA runtime on Linux: libnvidia-encode.so.1 and libcuda.so.1 loaded with dlopen, and a
// thin function list over the driver's own that keeps the encoder transform's contract:
//
//   - a session opened with NV_ENC_DEVICE_TYPE_DIRECTX on our ID3D11Device becomes a session on a
//     CUDA context of the CUDA device whose PCI address is the device's adapter's;
//   - the Linux driver has no asynchronous mode: the encoder is initialised synchronously and a
//     picture's completion event is signalled as soon as nvEncEncodePicture has returned (for
//     pictures held back for B-pictures, when the picture that releases them returns), so the
//     blocking bitstream lock then waits for the picture;
//   - completion events are registered with this layer only;
//   - our textures live in host memory, which the driver cannot register: a registered texture
//     gets an input buffer of the driver, and mapping it copies the texture into that buffer.
//
// Untested here: no machine this port is built on has an NVIDIA encoder.

#include "platform/encoder/Runtime.h"

#include <string>

namespace NvidiaEncoder
{
// Loads both libraries (counted, process-wide). False when either is missing; nothing then
// stays loaded.
bool Load(const EncoderRuntime::NvidiaLibraries& libraries) noexcept;
// Drops one load; the last one unloads both libraries.
void Unload() noexcept;
// True when the loaded encoder library exports NvEncodeAPICreateInstance and the CUDA library
// the functions this layer calls.
bool HasEntryPoints() noexcept;

// The layer's NvEncodeAPICreateInstance: asks the driver for its list and fills `list` with
// this layer's functions.
NVENCSTATUS NVENCAPI CreateInstance(NV_ENCODE_API_FUNCTION_LIST* list);

// "NVIDIA (driver 550.54.14, CUDA 12.4, encoder interface 12.1)": what the loaded libraries report;
// a part they do not report is left out.
std::string Describe();
} // namespace NvidiaEncoder
