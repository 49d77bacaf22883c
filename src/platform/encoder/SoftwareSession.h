#pragma once
// SoftwareEncoder::Session: one encode session of the software runtime, an H.264 encoder over
// libx264 that behaves like the hardware wherever its caller can tell.
//
// Order of calls (as with the hardware): construction (nvEncOpenEncodeSessionEx), Initialize,
// then buffers, registrations and events, EncodePicture with LockBitstream/UnlockBitstream per
// picture, an end-of-stream picture, the Destroy calls and Shutdown (nvEncDestroyEncoder).
//
// Threads: every method may be called from any thread. EncodePicture only checks and queues the
// picture; the session's encoding thread converts it, encodes it and copies the result into the
// picture's bitstream buffer, then signals the picture's completion event (asynchronous mode).
// Pictures complete in submission order. LockBitstream blocks until its own buffer is complete
// (or fails at once with doNotWait); LockInputBuffer blocks while the encoding thread still has to
// read the buffer. Shutdown stops the thread: pictures not yet encoded are dropped and their
// events are not signalled; callers blocked in a lock return NV_ENC_ERR_INVALID_ENCODERDEVICE.
//
// Memory: every buffer is allocated when the client creates it (or once, for ARGB conversion),
// never per picture. Input buffers hold NV12 whatever their format: an ARGB buffer is written in a
// staging area shared by the process's sessions and converted when it is unlocked. Handles given out (input buffers, bitstream buffers, registered and mapped
// resources) are checked against the session's tables, so a stale or foreign handle gives
// NV_ENC_ERR_INVALID_PARAM (or the resource statuses) instead of a crash. A picture in flight
// keeps what it reads alive even when the client destroys its handle meanwhile.

#include "platform/encoder/EventRegistry.h"
#include "platform/encoder/NvEncodeApi.h"
#include "platform/mf/Ring.h"
#include "platform/encoder/X264Settings.h"

#include "platform/com/ComPtr.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct ID3D11Device;
struct ID3D11Texture2D;

namespace Sync
{
class Event;
}

namespace SoftwareEncoder
{
class Session
{
public:
    // `device` (may be null for memory-only use) is held for the session's lifetime.
    explicit Session(ID3D11Device* device);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // nvEncDestroyEncoder: stops the encoding thread and fails every later call. Idempotent.
    void Shutdown();

    NVENCSTATUS Initialize(const NV_ENC_INITIALIZE_PARAMS* params);
    NVENCSTATUS GetSequenceParams(NV_ENC_SEQUENCE_PARAM_PAYLOAD* payload);

    NVENCSTATUS CreateInputBuffer(NV_ENC_CREATE_INPUT_BUFFER* params);
    NVENCSTATUS DestroyInputBuffer(NV_ENC_INPUT_PTR buffer);
    NVENCSTATUS LockInputBuffer(NV_ENC_LOCK_INPUT_BUFFER* params);
    NVENCSTATUS UnlockInputBuffer(NV_ENC_INPUT_PTR buffer);

    NVENCSTATUS CreateBitstreamBuffer(NV_ENC_CREATE_BITSTREAM_BUFFER* params);
    NVENCSTATUS DestroyBitstreamBuffer(NV_ENC_OUTPUT_PTR buffer);
    NVENCSTATUS LockBitstream(NV_ENC_LOCK_BITSTREAM* params);
    NVENCSTATUS UnlockBitstream(NV_ENC_OUTPUT_PTR buffer);

    NVENCSTATUS RegisterAsyncEvent(NV_ENC_EVENT_PARAMS* params);
    NVENCSTATUS UnregisterAsyncEvent(NV_ENC_EVENT_PARAMS* params);

    NVENCSTATUS RegisterResource(NV_ENC_REGISTER_RESOURCE* params);
    NVENCSTATUS UnregisterResource(NV_ENC_REGISTERED_PTR resource);
    NVENCSTATUS MapInputResource(NV_ENC_MAP_INPUT_RESOURCE* params);
    NVENCSTATUS UnmapInputResource(NV_ENC_INPUT_PTR mapped);

    NVENCSTATUS EncodePicture(NV_ENC_PIC_PARAMS* params);

    // The text of the last failing call of this session ("" when none).
    const char* LastError() const noexcept;

    // Test hook: while held, the encoding thread takes no further picture off its queue, so tests
    // can keep pictures in flight deterministically.
    void HoldEncoding(bool hold);

    class Surface;
    class InputBuffer;
    class Registration;
    struct Mapping;
    struct BitstreamBuffer;

private:
    struct Submission;
    struct Awaiting;
    struct PictureInfo;

    // The prologue of every entry point: the structure (present, of `version`), then the lock,
    // then the lifecycle: a stopped session answers NV_ENC_ERR_INVALID_ENCODERDEVICE and, where
    // `beforeInitialize` names the call, one not yet initialized NV_ENC_ERR_ENCODER_NOT_INITIALIZED.
    // NV_ENC_SUCCESS leaves `lock` held.
    NVENCSTATUS Enter(std::unique_lock<std::mutex>& lock, const char* beforeInitialize = nullptr);
    template <class Structure>
    NVENCSTATUS Enter(std::unique_lock<std::mutex>& lock, const Structure* structure, uint32_t version, const char* beforeInitialize = nullptr);
    bool StoppedLocked() const noexcept { return m_Lifecycle == Lifecycle::Stopped; }
    NVENCSTATUS FailLocked(NVENCSTATUS status, const char* text);
    bool CheckEventLocked(Sync::Event* event, NVENCSTATUS* status);
    std::shared_ptr<InputBuffer> FindInputBufferLocked(void* handle) const;
    std::shared_ptr<BitstreamBuffer> FindBitstreamBufferLocked(void* handle) const;
    std::shared_ptr<Registration> FindRegistrationLocked(void* handle) const;
    Mapping* FindMappingLocked(void* handle) const;
    void SignalLocked(Sync::Event* event);

    // The encoding thread and its steps (the thread alone touches m_Encoder after Initialize).
    void EncodingThread();
    void EncodeSubmission(Submission& submission, std::unique_lock<std::mutex>& lock);
    void FlushEncoder(std::unique_lock<std::mutex>& lock);
    bool OpenEncoder();
    void CloseEncoder();
    int ForcedPictureType(const Submission& submission);
    // Copies one encoded picture into the next bitstream buffer awaiting output and signals it.
    void DeliverLocked(x264_nal_t* nals, int nalCount, int size, const x264_picture_t& output);
    // Fails the buffers of the pictures inside libx264 (the first m_InsideEncoder awaiting).
    void FailAwaitingLocked(NVENCSTATUS status);

    ComPtr<IUnknown> m_Device; // the client's device, kept alive; null for memory-only sessions

    // Open -> Initialized (Initialize) -> Stopped (Shutdown); Open -> Stopped when never initialized.
    enum class Lifecycle
    {
        Open,
        Initialized,
        Stopped,
    };

    mutable std::mutex m_Lock;          // guards everything below up to the thread-only part
    std::condition_variable m_Changed;  // a queue, a buffer's state or m_Lifecycle changed
    Lifecycle m_Lifecycle = Lifecycle::Open;
    bool m_HoldEncoding = false;
    EncoderSettings m_Settings;
    x264_param_t m_X264Params {};
    std::vector<uint8_t> m_SequenceHeaders; // SPS and PPS (Annex B), fixed at Initialize
    std::vector<std::shared_ptr<InputBuffer>> m_InputBuffers;
    std::vector<std::shared_ptr<BitstreamBuffer>> m_BitstreamBuffers;
    std::vector<std::shared_ptr<Registration>> m_Registrations;
    std::vector<std::unique_ptr<Mapping>> m_Mappings; // slots; an unmapped slot is reused
    EncoderRuntime::EventRegistry m_Events;
    MFPlatform::Ring<Submission> m_Submissions; // pictures waiting for the encoding thread
    MFPlatform::Ring<Awaiting> m_Awaiting;      // buffers waiting for output, in submission order
    const char* m_LastError = "";

    // Thread-only state.
    std::thread m_Thread;
    x264_t* m_Encoder = nullptr;
    bool m_EncoderFlushed = false; // drained by an end of stream: reopened before the next picture
    bool m_HeadersPending = true;  // the first IDR picture of an encoder still has to carry SPS and PPS
    uint32_t m_InsideEncoder = 0;  // pictures given to libx264 whose output has not come (guarded by m_Lock)
    int64_t m_PictureCounter = 0;  // libx264's presentation counter
    uint64_t m_PicturesSinceIdr = 0;
    std::vector<PictureInfo> m_Pictures;      // by counter modulo size: pictures inside libx264
    std::unique_ptr<uint8_t[]> m_Conversion;  // NV12 picture converted from an ARGB texture
};
} // namespace SoftwareEncoder
