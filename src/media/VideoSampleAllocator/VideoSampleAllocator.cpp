#include "VideoSampleAllocator.h"

#include "platform/com/Error.h"

#include <algorithm>
#include <mutex>

namespace
{
struct TextureFormat
{
    const GUID* Subtype;
    DXGI_FORMAT Texture;
};
constexpr TextureFormat Formats[] = {
    { &MFVideoFormat_ARGB32, DXGI_FORMAT_B8G8R8A8_UNORM },
    { &MFVideoFormat_RGB32, DXGI_FORMAT_B8G8R8A8_UNORM },
    { &MFVideoFormat_NV12, DXGI_FORMAT_NV12 },
    { &MFVideoFormat_YUY2, DXGI_FORMAT_YUY2 },
};
} // namespace

VideoSampleAllocator::VideoSampleAllocator() = default;
VideoSampleAllocator::~VideoSampleAllocator() = default;

HRESULT VideoSampleAllocator::SetDirectXManager(IUnknown* manager)
{
    XEV_TRACE("this 0x%p, DeviceManagerUnknown 0x%p\n", static_cast<void*>(this), static_cast<void*>(manager));
    return Error::Guard([&] {
        XEV_CHECK(manager, E_INVALIDARG);
        ComPtr<IMFDXGIDeviceManager> deviceManager;
        XEV_CHECK_HR(QueryTo(manager, deviceManager.GetAddressOf()));
        std::unique_lock lock(m_DataLock);
        std::swap(m_DeviceManager, deviceManager);
    });
}

HRESULT VideoSampleAllocator::UninitializeSampleAllocator()
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    std::unique_lock initialization(m_InitializationLock);
    std::vector<SampleEntry> entries;
    {
        std::unique_lock lock(m_DataLock);
        entries.swap(m_Entries);
        m_Members.clear();
    }
    // The samples go outside the data lock.
    entries.clear();
    return S_OK;
}

HRESULT VideoSampleAllocator::InitializeSampleAllocator(DWORD count, IMFMediaType* type)
{
    XEV_TRACE("this 0x%p, SampleCount %u, MediaType 0x%p\n", static_cast<void*>(this), count, static_cast<void*>(type));
    if (count == 0 || !type)
        return E_INVALIDARG;
    return InitializeSampleAllocatorEx(count, count, nullptr, type);
}

HRESULT VideoSampleAllocator::InitializeSampleAllocatorEx(DWORD initial, DWORD maximum, IMFAttributes* attributes, IMFMediaType* type)
{
    XEV_TRACE("this 0x%p, InitialSampleCount %u, MaximalSampleCount %u, Attributes 0x%p, MediaType 0x%p\n", static_cast<void*>(this),
        initial, maximum, static_cast<void*>(attributes), static_cast<void*>(type));
    return Error::Guard([&] {
        XEV_CHECK(type, E_INVALIDARG);
        UINT32 minimum = 0, bindFlags = D3D11_BIND_SHADER_RESOURCE, usage = D3D11_USAGE_DEFAULT;
        UINT32 shared = 0, sharedWithoutMutex = 0, sharedNtHandle = 0;
        if (attributes)
        {
            (void)attributes->GetUINT32(MF_SA_MINIMUM_OUTPUT_SAMPLE_COUNT, &minimum);
            (void)attributes->GetUINT32(MF_SA_D3D11_BINDFLAGS, &bindFlags);
            (void)attributes->GetUINT32(MF_SA_D3D11_USAGE, &usage);
            (void)attributes->GetUINT32(MF_SA_D3D11_SHARED, &shared);
            (void)attributes->GetUINT32(MF_SA_D3D11_SHARED_WITHOUT_MUTEX, &sharedWithoutMutex);
            (void)attributes->GetUINT32(VSA_D3D11_SHARED_NTHANDLE, &sharedNtHandle);
        }
        UINT32 width = 0, height = 0;
        XEV_CHECK_HR(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height));
        GUID subtype {};
        XEV_CHECK_HR(type->GetGUID(MF_MT_SUBTYPE, &subtype));
        const auto format = std::find_if(std::begin(Formats), std::end(Formats), [&](const TextureFormat& f) { return *f.Subtype == subtype; });
        XEV_CHECK(format != std::end(Formats), E_NOTIMPL);
        const DWORD count = std::max({ initial, maximum, minimum });
        XEV_CHECK_LINE(count != 0);

        std::unique_lock initialization(m_InitializationLock);
        std::unique_lock lock(m_DataLock);
        XEV_CHECK_LINE(m_Entries.empty());
        XEV_CHECK_LINE(m_DeviceManager);
        HANDLE handle = nullptr;
        XEV_CHECK_HR(m_DeviceManager->OpenDeviceHandle(&handle));
        struct Close
        {
            IMFDXGIDeviceManager* Manager;
            HANDLE Handle;
            ~Close() { (void)Manager->CloseDeviceHandle(Handle); }
        } close { m_DeviceManager.Get(), handle };
        ComPtr<ID3D11Device> device;
        XEV_CHECK_HR(m_DeviceManager->GetVideoService(handle, IidOf<ID3D11Device>, reinterpret_cast<void**>(device.GetAddressOf())));

        D3D11_TEXTURE2D_DESC description { width, height, 1, 1, format->Texture, { 1, 0 }, static_cast<D3D11_USAGE>(usage), bindFlags,
            usage == D3D11_USAGE_DEFAULT ? 0u : UINT(D3D11_CPU_ACCESS_WRITE), 0 };
        if (sharedNtHandle)
            description.MiscFlags = D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX | D3D11_RESOURCE_MISC_SHARED_NTHANDLE;
        else if (shared)
            description.MiscFlags = D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX;
        else if (sharedWithoutMutex)
            description.MiscFlags = D3D11_RESOURCE_MISC_SHARED;
        m_TextureDescription = description;

        std::vector<SampleEntry> entries;
        entries.reserve(count);
        for (DWORD index = 0; index < count; ++index)
        {
            ComPtr<ID3D11Texture2D> texture;
            XEV_CHECK_HR(device->CreateTexture2D(&description, nullptr, texture.GetAddressOf()));
            SampleEntry entry;
            XEV_CHECK_HR(MFCreateTrackedSample(entry.TrackedSample.GetAddressOf()));
            XEV_CHECK_HR(entry.TrackedSample.As(&entry.Sample));
            ComPtr<IMFMediaBuffer> buffer;
            XEV_CHECK_HR(MFCreateDXGISurfaceBuffer(IidOf<ID3D11Texture2D>, texture.Get(), 0, 0, buffer.GetAddressOf()));
            ComPtr<IMF2DBuffer> buffer2D;
            XEV_CHECK_HR(buffer.As(&buffer2D));
            DWORD length = 0;
            XEV_CHECK_HR(buffer2D->GetContiguousLength(&length));
            XEV_CHECK_HR(buffer->SetCurrentLength(length));
            XEV_CHECK_HR(entry.Sample->AddBuffer(buffer.Get()));
            XEV_CHECK_HR(entry.Sample->SetUINT32(VSA_SAMPLE_INDEX, index));
            entries.push_back(std::move(entry));
        }
        for (auto& entry : entries)
        {
            m_Members.push_back(entry.Sample.Get());
            m_Entries.push_back(std::move(entry));
        }
        if (m_ContinueAfterLast)
            m_LastIndex = 0;
        m_EmptyReported = false;
    });
}

HRESULT VideoSampleAllocator::AllocateSample(IMFSample** sample)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(sample);
        *sample = nullptr;
        SampleEntry taken;
        size_t index = 0;
        {
            std::unique_lock lock(m_DataLock);
            if (m_Entries.empty())
                return MF_E_NOT_INITIALIZED;
            const size_t count = m_Entries.size();
            for (size_t k = 0; k < count && !taken.Sample; ++k)
            {
                index = (m_LastIndex + 1 + k) % count;
                if (m_Entries[index].Sample)
                    taken = std::move(m_Entries[index]);
            }
            if (!taken.Sample)
            {
                if (m_SampleAvailableEvent)
                {
                    m_SampleAvailableEvent->Reset();
                    m_EmptyReported = true;
                }
                return MF_E_SAMPLEALLOCATOR_EMPTY;
            }
            if (m_ContinueAfterLast)
                m_LastIndex = index;
        }
        // The sample is this call's alone now: it is readied outside the lock.
        XEV_CHECK_HR(taken.Sample->DeleteAllItems());
        XEV_CHECK_HR(taken.Sample->SetUINT32(VSA_SAMPLE_INDEX, static_cast<UINT32>(index)));
        XEV_CHECK_HR(taken.TrackedSample->SetAllocator(this, nullptr));
        *sample = taken.Sample.Detach();
        return S_OK;
    });
}

HRESULT VideoSampleAllocator::SetCallback(IMFVideoSampleAllocatorNotify* notify)
{
    XEV_TRACE("this 0x%p, Notify 0x%p\n", static_cast<void*>(this), static_cast<void*>(notify));
    std::unique_lock lock(m_DataLock);
    m_Notify = notify;
    return S_OK;
}

HRESULT VideoSampleAllocator::GetFreeSampleCount(LONG* count)
{
    XEV_TRACE("this 0x%p\n", static_cast<void*>(this));
    if (!count)
        return E_POINTER;
    std::shared_lock lock(m_DataLock);
    *count = static_cast<LONG>(std::count_if(m_Entries.begin(), m_Entries.end(), [](const SampleEntry& e) { return e.Sample; }));
    return S_OK;
}

HRESULT VideoSampleAllocator::Invoke(IMFAsyncResult* result)
{
    return Error::Guard([&] {
        XEV_CHECK(result, E_INVALIDARG);
        ComPtr<IUnknown> object;
        XEV_CHECK_HR(result->GetObject(object.GetAddressOf()));
        XEV_CHECK_POINTER(object.Get());
        SampleEntry returned;
        XEV_CHECK_HR(object.As(&returned.Sample));
        XEV_CHECK_HR(object.As(&returned.TrackedSample));
        ComPtr<IMFVideoSampleAllocatorNotify> notify;
        bool signal = false;
        {
            std::unique_lock lock(m_DataLock);
            const auto empty = std::find_if(m_Entries.begin(), m_Entries.end(), [](const SampleEntry& e) { return !e.Sample; });
            if (empty == m_Entries.end() || std::find(m_Members.begin(), m_Members.end(), returned.Sample.Get()) == m_Members.end())
                return; // from an earlier initialization: dropped (outside the lock, with `returned`)
            *empty = std::move(returned);
            notify = m_Notify;
            signal = std::exchange(m_EmptyReported, false);
        }
        if (signal && m_SampleAvailableEvent)
            m_SampleAvailableEvent->Set();
        if (notify)
            (void)notify->NotifyRelease();
    });
}

void VideoSampleAllocator::EnableSampleAvailableEvent()
{
    std::unique_lock lock(m_DataLock);
    const bool allHome = std::all_of(m_Entries.begin(), m_Entries.end(), [](const SampleEntry& e) { return e.Sample; });
    XEV_CHECK_LINE(allHome);
    if (!m_SampleAvailableEvent)
        m_SampleAvailableEvent = std::make_unique<Sync::Event>(Sync::Event::ResetMode::Manual);
}

D3D11_TEXTURE2D_DESC VideoSampleAllocator::GetTextureDescription() const
{
    std::shared_lock lock(m_DataLock);
    return m_TextureDescription;
}
