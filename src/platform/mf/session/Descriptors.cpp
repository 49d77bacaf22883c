// Stream and presentation descriptors: what a media source offers and which of its streams
// are selected.
//
// A stream descriptor is an attribute store with an identifier and one media type handler
// (the same handler object every time). A presentation descriptor is an attribute store over
// an ordered list of stream descriptors, each selected or not (not selected when made).
// Clone copies the attributes and the selection and shares the stream descriptors.
// Threads: any thread; a presentation descriptor's selection is guarded by its mutex.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/mf/AttributesImpl.h"
#include "platform/mf/session/MediaTypeHandler.h"

#include <mutex>
#include <vector>

namespace MFPlatform
{
namespace
{
class StreamDescriptor final : public ComObject<AttributesImpl<IMFStreamDescriptor>>
{
public:
    StreamDescriptor(DWORD identifier, ComPtr<IMFMediaTypeHandler> handler) : m_Identifier(identifier), m_Handler(std::move(handler)) {}

    // IMFStreamDescriptor
    HRESULT GetStreamIdentifier(DWORD* identifier) override
    {
        if (!identifier)
            return E_POINTER;
        *identifier = m_Identifier;
        return S_OK;
    }

    HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) override
    {
        if (!handler)
            return E_POINTER;
        m_Handler.CopyTo(handler);
        return S_OK;
    }

private:
    const DWORD m_Identifier;
    const ComPtr<IMFMediaTypeHandler> m_Handler;
};

class PresentationDescriptor final : public ComObject<AttributesImpl<IMFPresentationDescriptor>>
{
public:
    struct Entry
    {
        ComPtr<IMFStreamDescriptor> Descriptor;
        bool Selected = false;
    };

    explicit PresentationDescriptor(std::vector<Entry> entries) : m_Entries(std::move(entries)) {}

    // IMFPresentationDescriptor
    HRESULT GetStreamDescriptorCount(DWORD* count) override
    {
        if (!count)
            return E_POINTER;
        *count = static_cast<DWORD>(m_Entries.size());
        return S_OK;
    }

    HRESULT GetStreamDescriptorByIndex(DWORD index, BOOL* selected, IMFStreamDescriptor** descriptor) override
    {
        if (!selected || !descriptor)
            return E_POINTER;
        if (index >= m_Entries.size())
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        *selected = m_Entries[index].Selected ? 1 : 0;
        m_Entries[index].Descriptor.CopyTo(descriptor);
        return S_OK;
    }

    HRESULT SelectStream(DWORD index) override { return SetSelected(index, true); }
    HRESULT DeselectStream(DWORD index) override { return SetSelected(index, false); }

    HRESULT Clone(IMFPresentationDescriptor** descriptor) override
    {
        return Error::Guard([&] {
            XEV_CHECK_POINTER(descriptor);
            *descriptor = nullptr;
            std::vector<Entry> entries;
            {
                std::lock_guard lock(m_Lock);
                entries = m_Entries;
            }
            auto clone = Make<PresentationDescriptor>(std::move(entries));
            XEV_CHECK_HR(clone->Attributes().Assign(Attributes().Snapshot()));
            *descriptor = clone.Detach();
        });
    }

private:
    HRESULT SetSelected(DWORD index, bool selected)
    {
        if (index >= m_Entries.size())
            return E_INVALIDARG;
        std::lock_guard lock(m_Lock);
        m_Entries[index].Selected = selected;
        return S_OK;
    }

    std::mutex m_Lock;            // guards the Selected flags of m_Entries
    std::vector<Entry> m_Entries; // the list itself is fixed at creation
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreateStreamDescriptor(DWORD streamIdentifier, DWORD mediaTypeCount, IMFMediaType** mediaTypes, IMFStreamDescriptor** descriptor)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(descriptor);
        *descriptor = nullptr;
        ComPtr<IMFMediaTypeHandler> handler;
        XEV_CHECK_HR(MFPlatform::CreateMediaTypeHandler(mediaTypeCount, mediaTypes, handler.GetAddressOf()));
        *descriptor = Make<MFPlatform::StreamDescriptor>(streamIdentifier, std::move(handler)).Detach();
    });
}

HRESULT MFCreatePresentationDescriptor(DWORD streamDescriptorCount, IMFStreamDescriptor** streamDescriptors, IMFPresentationDescriptor** descriptor)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(descriptor);
        *descriptor = nullptr;
        XEV_CHECK(streamDescriptorCount > 0 && streamDescriptors, E_INVALIDARG);
        std::vector<MFPlatform::PresentationDescriptor::Entry> entries;
        entries.reserve(streamDescriptorCount);
        for (DWORD i = 0; i < streamDescriptorCount; ++i)
        {
            XEV_CHECK(streamDescriptors[i], E_INVALIDARG);
            entries.push_back({ ComPtr<IMFStreamDescriptor>(streamDescriptors[i]), false });
        }
        *descriptor = Make<MFPlatform::PresentationDescriptor>(std::move(entries)).Detach();
    });
}
