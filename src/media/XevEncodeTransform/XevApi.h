#pragma once
// The layer between the encoder transform and an encoder runtime: loading the runtime and its
// function list (Xev::Api), the runtime's statuses as HRESULTs (Xev::FromNvEncStatus, Xev::Check,
// Xev::StatusName), the runtime calls the transform makes with their fixed values
// (Xev::EncodeSession), and scoped locks of bitstream and input buffers.
//
// Statuses: NV_ENC_SUCCESS is S_OK; any other status s is the HRESULT 0xCE560000 | (s & 0xFFFF).
// "Checked" operations throw the failure exception with that HRESULT (after a trace line that
// names the status and the failing call's file and line); the others return the status.
//
// Threads: Api is immutable once loaded. An EncodeSession is a plain value guarded by its
// owner's lock (the transform's); the runtime itself may be called from any thread.

#include "platform/com/ComObject.h"
#include "platform/com/Trace.h"
#include "platform/encoder/NvEncodeApi.h"
#include "platform/encoder/Runtime.h"

#include <array>
#include <optional>
#include <span>

struct ID3D11Device;
struct ID3D11Texture2D;

namespace Sync
{
class Event;
}

namespace Xev
{
constexpr HRESULT StatusFacility = MakeHResult(0xCE560000);

// S_OK for NV_ENC_SUCCESS; otherwise 0xCE560000 with the status's low 16 bits, after the trace
// line "Value <name>, Result 0x%08X".
HRESULT FromNvEncStatus(NVENCSTATUS status) noexcept;

// Nothing for NV_ENC_SUCCESS; otherwise traces "Value <name> at <file>(<line>)" and throws the
// failure exception carrying FromNvEncStatus(status).
void Check(NVENCSTATUS status, const char* file, int line);
#define XEV_CHECK_NVENC(expression) ::Xev::Check((expression), __FILE__, __LINE__)

// "NV_ENC_SUCCESS" ... "NV_ENC_ERR_RESOURCE_NOT_MAPPED" for 0 to 25, "0x%X" of anything else.
using StatusText = std::array<char, 40>;
StatusText StatusName(NVENCSTATUS status) noexcept;

// A loaded encoder runtime and its function list. Releasing the last reference unloads it.
class Api final : public ComObject<IUnknown>
{
public:
    Api() = default;
    ~Api() override;

    // The NVIDIA runtime. False (after freeing the library) when the library or its entry point
    // is missing or NvEncodeAPICreateInstance fails (its status traced by Check); never throws.
    bool Load(const EncoderRuntime::NvidiaLibraries& libraries = {});
    // The built-in software runtime, the same way.
    bool LoadSoftware();
    // The runtime that serves `device`'s adapter: software for the software adapter (and for no
    // device), NVIDIA for an NVIDIA adapter. False when that runtime cannot be loaded.
    bool LoadForDevice(ID3D11Device* device);
    // An in-process runtime given by its entry point (test doubles stand in this way).
    bool LoadEntryPoint(NvEncodeApiCreateInstanceFunction createInstance);

    bool IsLoaded() const noexcept { return m_Loaded; }
    // "NVIDIA", "Software", "In-process" (LoadEntryPoint) or "(none)".
    const char* RuntimeName() const noexcept;
    // Every entry filled by the runtime (all null when not loaded).
    const NV_ENCODE_API_FUNCTION_LIST& Functions() const noexcept { return m_Functions; }

private:
    bool LoadModule(EncoderRuntime::Module* module);
    bool Fill(NvEncodeApiCreateInstanceFunction createInstance);
    void Unload() noexcept;

    EncoderRuntime::Module* m_Module = nullptr; // the loaded runtime library; null when none
    bool m_Loaded = false;                      // m_Functions came from a runtime
    NV_ENCODE_API_FUNCTION_LIST m_Functions {};
};

inline constexpr uint32_t BitstreamBufferSize = 0x200000; // 2 MiB
inline constexpr uint32_t SequenceParamsCapacity = 4096;

// Sessions this process has open through EncodeSession, and how many were open when a runtime last
// refused to open one with NV_ENC_ERR_OUT_OF_MEMORY (0: no such refusal, or none open then).
// Drivers that cap concurrent sessions refuse the next one so.
std::size_t OpenSessionCount() noexcept;
std::size_t SessionsOpenAtLastRefusal() noexcept;

class EncodeSession
{
public:
    EncodeSession() = default;
    // Closes an open session quietly (a failing destroy is traced, not thrown).
    ~EncodeSession();
    EncodeSession(const EncodeSession&) = delete;
    EncodeSession& operator=(const EncodeSession&) = delete;

    Api* GetApi() const noexcept { return m_Api.Get(); }
    void* Encoder() const noexcept { return m_Encoder; }
    bool IsOpen() const noexcept { return m_Api && m_Encoder; }

    // Opens a session on `device` (NV_ENC_DEVICE_TYPE_DIRECTX; the software runtime also takes a
    // null device). The session holds `api` from now on. An open session is closed first.
    void Open(Api* api, ID3D11Device* device);
    // Destroys the encoder when both the api and the handle are present, then drops the api.
    // A failing destroy throws and keeps both.
    void Close();

    NV_ENC_OUTPUT_PTR CreateBitstreamBuffer();
    void DestroyBitstreamBuffer(NV_ENC_OUTPUT_PTR buffer);
    NV_ENC_INPUT_PTR CreateInputBuffer(uint32_t width, uint32_t height, NV_ENC_BUFFER_FORMAT format);
    void DestroyInputBuffer(NV_ENC_INPUT_PTR buffer);
    // An end-of-stream picture signalling `event`. Empty for success, else the status.
    std::optional<NVENCSTATUS> EncodeEndOfStream(Sync::Event* event) noexcept;
    // SPS and PPS into `buffer` (SequenceParamsCapacity bytes); their size in bytes.
    uint32_t GetSequenceParams(std::span<BYTE, SequenceParamsCapacity> buffer);
    void RegisterAsyncEvent(Sync::Event* event);
    std::optional<NVENCSTATUS> UnregisterAsyncEvent(Sync::Event* event) noexcept;
    NV_ENC_INPUT_PTR MapInputResource(NV_ENC_REGISTERED_PTR registered);
    void UnmapInputResource(NV_ENC_INPUT_PTR mapped);
    // Registers a texture (its size from its description, subresource 0).
    NV_ENC_REGISTERED_PTR RegisterResource(ID3D11Texture2D* texture, uint32_t pitch, NV_ENC_BUFFER_FORMAT format);
    void UnregisterResource(NV_ENC_REGISTERED_PTR registered);
    uint32_t GetInputFormatCount(const GUID& codec);
    // Fills `formats` and returns how many the runtime gave.
    uint32_t GetInputFormats(const GUID& codec, std::span<NV_ENC_BUFFER_FORMAT> formats);
    // Not checked: the caller checks.
    NVENCSTATUS GetEncodePresetConfig(const GUID& codec, const GUID& preset, NV_ENC_PRESET_CONFIG* config) noexcept;
    NVENCSTATUS InitializeEncoder(NV_ENC_INITIALIZE_PARAMS* params) noexcept;
    NVENCSTATUS EncodePicture(NV_ENC_PIC_PARAMS* params) noexcept;

    // Calls an entry of the function list with this session's encoder: the entry's status, or
    // NV_ENC_ERR_INVALID_ENCODERDEVICE when the session is not open and NV_ENC_ERR_UNIMPLEMENTED
    // for an entry the runtime left empty.
    template <class Function, class... Arguments>
    NVENCSTATUS Invoke(Function NV_ENCODE_API_FUNCTION_LIST::*entry, Arguments... arguments) const noexcept
    {
        if (!IsOpen())
            return NV_ENC_ERR_INVALID_ENCODERDEVICE;
        const Function function = m_Api->Functions().*entry;
        if (!function)
            return NV_ENC_ERR_UNIMPLEMENTED;
        return function(m_Encoder, arguments...);
    }

private:
    ComPtr<Api> m_Api;        // the runtime the session's functions come from
    void* m_Encoder = nullptr; // from nvEncOpenEncodeSessionEx; null when no session is open
};

// One lock of a session's bitstream or input buffer (the session outlives the lock). Lock blocks
// until the runtime hands the buffer over (a bitstream: once its picture is encoded); Unlock runs
// explicitly or at the end of the scope.
template <class Params, class Handle, Handle Params::*Target, auto LockEntry, auto UnlockEntry, uint32_t Version>
class BufferLock
{
public:
    explicit BufferLock(EncodeSession& session) noexcept : m_Session(session) {}
    ~BufferLock()
    {
        if (const NVENCSTATUS status = Unlock(); status != NV_ENC_SUCCESS)
            XEV_TRACE("this 0x%p, Result %s\n", static_cast<void*>(this), StatusName(status).data());
    }
    BufferLock(const BufferLock&) = delete;
    BufferLock& operator=(const BufferLock&) = delete;

    // The runtime's status; on failure nothing is locked. NV_ENC_ERR_INVALID_CALL while locked.
    NVENCSTATUS Lock(Handle buffer) noexcept
    {
        if (m_Locked)
            return NV_ENC_ERR_INVALID_CALL;
        m_Params = Params {};
        m_Params.version = Version;
        m_Params.doNotWait = 0;
        m_Params.*Target = buffer;
        const NVENCSTATUS status = m_Session.Invoke(LockEntry, &m_Params);
        m_Locked = status == NV_ENC_SUCCESS;
        return status;
    }

    // NV_ENC_SUCCESS when nothing is locked; unlocked only when the runtime succeeds.
    NVENCSTATUS Unlock() noexcept
    {
        if (!m_Locked)
            return NV_ENC_SUCCESS;
        const NVENCSTATUS status = m_Session.Invoke(UnlockEntry, m_Params.*Target);
        if (status == NV_ENC_SUCCESS)
            m_Locked = false;
        return status;
    }

    bool IsLocked() const noexcept { return m_Locked; }
    const Params& Get() const noexcept { return m_Params; }
    const Params* operator->() const noexcept { return &m_Params; }
    // An input buffer's memory and pitch while locked.
    BYTE* Data() const noexcept requires requires(Params p) { p.bufferDataPtr; } { return static_cast<BYTE*>(m_Params.bufferDataPtr); }
    uint32_t Pitch() const noexcept requires requires(Params p) { p.pitch; } { return m_Params.pitch; }

private:
    EncodeSession& m_Session; // non-owning: the session outlives the lock
    Params m_Params {};
    bool m_Locked = false;
};

using BitstreamLock = BufferLock<NV_ENC_LOCK_BITSTREAM, NV_ENC_OUTPUT_PTR, &NV_ENC_LOCK_BITSTREAM::outputBitstream,
    &NV_ENCODE_API_FUNCTION_LIST::nvEncLockBitstream, &NV_ENCODE_API_FUNCTION_LIST::nvEncUnlockBitstream, NV_ENC_LOCK_BITSTREAM_VER>;
using InputBufferLock = BufferLock<NV_ENC_LOCK_INPUT_BUFFER, NV_ENC_INPUT_PTR, &NV_ENC_LOCK_INPUT_BUFFER::inputBuffer,
    &NV_ENCODE_API_FUNCTION_LIST::nvEncLockInputBuffer, &NV_ENCODE_API_FUNCTION_LIST::nvEncUnlockInputBuffer, NV_ENC_LOCK_INPUT_BUFFER_VER>;
} // namespace Xev
