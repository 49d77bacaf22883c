// MediaTypeHandler: the offered media types of one stream and the current one.

#include "platform/mf/session/MediaTypeHandler.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <mutex>
#include <vector>

namespace MFPlatform
{
namespace
{
class MediaTypeHandler final : public ComObject<IMFMediaTypeHandler>
{
public:
    explicit MediaTypeHandler(std::vector<ComPtr<IMFMediaType>> types) : m_Types(std::move(types)) {}

    // IMFMediaTypeHandler
    HRESULT IsMediaTypeSupported(IMFMediaType* mediaType, IMFMediaType** closest) override
    {
        return Error::Guard([&]() -> HRESULT {
            XEV_CHECK_POINTER(mediaType);
            if (closest)
                *closest = nullptr;
            // Supported when it agrees with one offered type on major type, subtype and format data.
            constexpr DWORD required = MF_MEDIATYPE_EQUAL_MAJOR_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_TYPES | MF_MEDIATYPE_EQUAL_FORMAT_DATA;
            for (const auto& type : m_Types)
            {
                DWORD flags = 0;
                const HRESULT hr = type->IsEqual(mediaType, &flags);
                if (SUCCEEDED(hr) && (flags & required) == required)
                    return S_OK;
            }
            if (closest)
                m_Types.front().CopyTo(closest);
            return MF_E_INVALIDMEDIATYPE;
        });
    }

    HRESULT GetMediaTypeCount(DWORD* count) override
    {
        if (!count)
            return E_POINTER;
        *count = static_cast<DWORD>(m_Types.size());
        return S_OK;
    }

    HRESULT GetMediaTypeByIndex(DWORD index, IMFMediaType** type) override
    {
        if (!type)
            return E_POINTER;
        *type = nullptr;
        if (index >= m_Types.size())
            return MF_E_NO_MORE_TYPES;
        m_Types[index].CopyTo(type);
        return S_OK;
    }

    HRESULT SetCurrentMediaType(IMFMediaType* mediaType) override
    {
        if (!mediaType)
            return E_POINTER;
        ComPtr<IMFMediaType> replaced(mediaType);
        {
            std::lock_guard lock(m_Lock);
            std::swap(m_Current, replaced);
        }
        return S_OK; // the previous type is released here, outside the lock
    }

    HRESULT GetCurrentMediaType(IMFMediaType** mediaType) override
    {
        if (!mediaType)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *mediaType = nullptr;
        if (!m_Current)
            return MF_E_NOT_INITIALIZED;
        m_Current.CopyTo(mediaType);
        return S_OK;
    }

    // The current type's major type; before one is set, that of the first offered type.
    HRESULT GetMajorType(GUID* majorType) override
    {
        if (!majorType)
            return E_POINTER;
        ComPtr<IMFMediaType> type = CurrentOrFirst();
        return type->GetGUID(MF_MT_MAJOR_TYPE, majorType);
    }

private:
    ComPtr<IMFMediaType> CurrentOrFirst()
    {
        std::lock_guard lock(m_Lock);
        return m_Current ? m_Current : m_Types.front();
    }

    const std::vector<ComPtr<IMFMediaType>> m_Types; // fixed at creation, never empty
    std::mutex m_Lock;                               // guards m_Current
    ComPtr<IMFMediaType> m_Current;
};
} // namespace

HRESULT CreateMediaTypeHandler(DWORD count, IMFMediaType* const* types, IMFMediaTypeHandler** handler)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(handler);
        *handler = nullptr;
        XEV_CHECK(count > 0 && types, E_INVALIDARG);
        std::vector<ComPtr<IMFMediaType>> list;
        list.reserve(count);
        for (DWORD i = 0; i < count; ++i)
        {
            XEV_CHECK(types[i], E_INVALIDARG);
            list.emplace_back(types[i]);
        }
        *handler = Make<MediaTypeHandler>(std::move(list)).Detach();
    });
}
} // namespace MFPlatform
