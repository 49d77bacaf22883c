#pragma once
// The software runtime: the NVIDIA encoder function list implemented over libx264.
//
// It encodes H.264 from NV12 and ARGB input (input buffers in host memory, or this port's
// textures registered and mapped as NV_ENC_INPUT_RESOURCE_TYPE_DIRECTX) and answers wrong use
// with the statuses the hardware gives. Sessions open with NV_ENC_DEVICE_TYPE_DIRECTX on the
// caller's ID3D11Device, or on no device at all for memory-only use. Details are in
// SoftwareSession.h.

#include "platform/encoder/NvEncodeApi.h"

#include <cstddef>
#include <string>

namespace SoftwareEncoder
{
// The runtime's NvEncodeAPICreateInstance: fills every entry of the list.
NVENCSTATUS NVENCAPI CreateInstance(NV_ENCODE_API_FUNCTION_LIST* functionList);

// Test hook: while held, the session's encoding thread takes no picture off its queue.
// NV_ENC_ERR_INVALID_ENCODERDEVICE for an unknown encoder.
NVENCSTATUS HoldEncoding(void* encoder, bool hold);

// Sessions open now (nvEncOpenEncodeSessionEx without nvEncDestroyEncoder).
std::size_t OpenSessionCount();

// Test hook: with a limit, opening a session while `limit` are open fails with
// NV_ENC_ERR_OUT_OF_MEMORY, as drivers that cap concurrent sessions answer; 0 lifts it. Only test
// programs call it.
void SetSessionLimit(std::size_t limit) noexcept;

// "Software (libx264 build 164, preset superfast, tune zerolatency)".
std::string Describe();
} // namespace SoftwareEncoder
