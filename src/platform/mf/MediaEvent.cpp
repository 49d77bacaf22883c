// Media events (MFCreateMediaEvent): type, extended type, status and value, plus an attribute store.

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "platform/mf/AttributesImpl.h"

namespace MFPlatform
{
namespace
{
// The type, extended type, status and value are fixed before the event is handed out and only
// read afterwards, so they need no lock; the attributes have their own.
class MediaEvent final : public ComObject<AttributesImpl<IMFMediaEvent>>
{
public:
    MediaEvent(MediaEventType type, REFGUID extendedType, HRESULT status) noexcept
        : m_Type(type), m_ExtendedType(extendedType), m_Status(status)
    {
        PropVariantInit(&m_Value);
    }
    ~MediaEvent() override { (void)PropVariantClear(&m_Value); }

    // Takes a copy of `value` (null: empty). E_INVALIDARG for a type that cannot be copied.
    HRESULT SetValue(const PROPVARIANT* value) noexcept { return value ? PropVariantCopy(&m_Value, value) : S_OK; }

    // IMFMediaEvent
    HRESULT GetType(MediaEventType* type) override
    {
        if (!type)
            return E_POINTER;
        *type = m_Type;
        return S_OK;
    }
    HRESULT GetExtendedType(GUID* extendedType) override
    {
        if (!extendedType)
            return E_POINTER;
        *extendedType = m_ExtendedType;
        return S_OK;
    }
    HRESULT GetStatus(HRESULT* status) override
    {
        if (!status)
            return E_POINTER;
        *status = m_Status;
        return S_OK;
    }
    // A copy the caller owns (and clears): the event keeps its own value.
    HRESULT GetValue(PROPVARIANT* value) override
    {
        if (!value)
            return E_POINTER;
        return PropVariantCopy(value, &m_Value);
    }

private:
    const MediaEventType m_Type;
    const GUID m_ExtendedType;
    const HRESULT m_Status;
    PROPVARIANT m_Value; // set by SetValue before the event is handed out
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreateMediaEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value, IMFMediaEvent** event)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(event);
        *event = nullptr;
        auto created = Make<MFPlatform::MediaEvent>(type, extendedType, status);
        XEV_CHECK_HR(created->SetValue(value));
        *event = created.Detach();
    });
}
