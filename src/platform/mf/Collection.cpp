// Collections: an ordered list of counted objects (added and read; removal and insertion answer
// E_NOTIMPL).

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"

#include <mutex>
#include <vector>

namespace MFPlatform
{
namespace
{
// Threads: any. m_Lock guards the list; elements are released after it is let go.
// Null elements may be stored and come back as null.
class Collection final : public ComObject<IMFCollection>
{
public:
    Collection() = default;

    // IMFCollection
    HRESULT GetElementCount(DWORD* count) override
    {
        if (!count)
            return E_POINTER;
        std::lock_guard lock(m_Lock);
        *count = static_cast<DWORD>(m_Elements.size());
        return S_OK;
    }
    HRESULT GetElement(DWORD index, IUnknown** element) override
    {
        if (!element)
            return E_POINTER;
        *element = nullptr;
        std::lock_guard lock(m_Lock);
        if (index >= m_Elements.size())
            return E_INVALIDARG;
        m_Elements[index].CopyTo(element);
        return S_OK;
    }
    HRESULT AddElement(IUnknown* element) override
    {
        return Error::Guard([&] {
            ComPtr<IUnknown> added(element);
            std::lock_guard lock(m_Lock);
            m_Elements.push_back(std::move(added));
        });
    }
    HRESULT RemoveElement(DWORD, IUnknown**) override { return E_NOTIMPL; }
    HRESULT InsertElementAt(DWORD, IUnknown*) override { return E_NOTIMPL; }
    HRESULT RemoveAllElements() override { return E_NOTIMPL; }

private:
    std::mutex m_Lock; // guards m_Elements
    std::vector<ComPtr<IUnknown>> m_Elements;
};
} // namespace
} // namespace MFPlatform

HRESULT MFCreateCollection(IMFCollection** collection)
{
    if (!collection)
        return E_POINTER;
    *collection = nullptr;
    return Error::Guard([&] { *collection = Make<MFPlatform::Collection>().Detach(); });
}
