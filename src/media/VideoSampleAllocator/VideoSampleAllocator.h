#pragma once
// VideoSampleAllocator: a fixed set of texture samples handed out in turn, for the video source's
// hardware path. Every sample is a tracked sample: when its last holder lets go, the platform
// calls Invoke and the sample comes home. The allocator never blocks: with no sample free it
// answers MF_E_SAMPLEALLOCATOR_EMPTY and, once the owner enabled it, signals the sample-available
// event when a sample has come back.
//
// Order of calls: SetDirectXManager, InitializeSampleAllocator(Ex), then AllocateSample freely;
// UninitializeSampleAllocator drops the samples that are home (those still out stay valid for
// their holders and are dropped when they come back unless a new initialization took place).
//
// Threads: any. m_InitializationLock is taken before m_DataLock; AllocateSample, Invoke,
// SetCallback, GetFreeSampleCount and SetDirectXManager take only m_DataLock. Invoke signals the
// event and calls NotifyRelease after letting m_DataLock go.

#include "platform/com/ComObject.h"
#include "platform/d3d/D3D11.h"
#include "platform/mf/Api.h"
#include "platform/system/Event.h"

#include <memory>
#include <shared_mutex>
#include <vector>

// Nonzero: textures are shared through NT handles with a keyed mutex (UINT32).
XEV_GUID(VSA_D3D11_SHARED_NTHANDLE, "3db9af74-3e9c-45a7-8144-bfa5157c228b");
// The entry a sample was handed out from (UINT32 sample attribute).
XEV_GUID(VSA_SAMPLE_INDEX, "040b1884-ce9c-4005-9b29-96f32f67a501");

class VideoSampleAllocator final
    : public ComObject<IMFVideoSampleAllocatorEx, IMFVideoSampleAllocatorCallback, IMFAsyncCallback>
{
public:
    VideoSampleAllocator();
    ~VideoSampleAllocator() override;

    // IMFVideoSampleAllocator
    HRESULT SetDirectXManager(IUnknown* manager) override;
    HRESULT UninitializeSampleAllocator() override;
    HRESULT InitializeSampleAllocator(DWORD count, IMFMediaType* type) override;
    HRESULT AllocateSample(IMFSample** sample) override;
    // IMFVideoSampleAllocatorEx
    HRESULT InitializeSampleAllocatorEx(DWORD initial, DWORD maximum, IMFAttributes* attributes, IMFMediaType* type) override;
    // IMFVideoSampleAllocatorCallback
    HRESULT SetCallback(IMFVideoSampleAllocatorNotify* notify) override;
    HRESULT GetFreeSampleCount(LONG* count) override;
    // IMFAsyncCallback: a handed-out sample has come back.
    HRESULT GetParameters(DWORD* flags, DWORD* queue) override { return E_NOTIMPL; }
    HRESULT Invoke(IMFAsyncResult* result) override;

    // Makes the sample-available event (manual reset, not signalled); every sample must be home.
    void EnableSampleAvailableEvent();
    // The event, once enabled; it lives as long as the allocator.
    Sync::Event* GetSampleAvailableEvent() const noexcept { return m_SampleAvailableEvent.get(); }
    // The texture description of the samples (for tests and the owner's checks).
    D3D11_TEXTURE2D_DESC GetTextureDescription() const;

private:
    struct SampleEntry
    {
        ComPtr<IMFSample> Sample;               // null while handed out
        ComPtr<IMFTrackedSample> TrackedSample; // the same sample's tracked-sample interface
    };

    const bool m_ContinueAfterLast = true;      // the search starts after the entry handed out last
    std::shared_mutex m_InitializationLock;     // held over the whole of (un)initialization
    mutable std::shared_mutex m_DataLock;       // guards every field below
    ComPtr<IMFDXGIDeviceManager> m_DeviceManager;
    D3D11_TEXTURE2D_DESC m_TextureDescription {};
    std::vector<SampleEntry> m_Entries;         // creation order; empty while not initialized
    // Non-owning: the samples of the current initialization, home or handed out. A sample of an
    // earlier one (perhaps of another size) is dropped when it comes back.
    std::vector<IMFSample*> m_Members;
    size_t m_LastIndex = size_t(-1);            // the entry handed out last
    ComPtr<IMFVideoSampleAllocatorNotify> m_Notify;
    std::unique_ptr<Sync::Event> m_SampleAvailableEvent;
    bool m_EmptyReported = false;               // an AllocateSample found no sample since the last return
};
