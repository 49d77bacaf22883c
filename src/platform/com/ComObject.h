#pragma once
// ComObject<Bases...>: reference counting and QueryInterface generated from a list of bases.
//
// Each base is an interface (declared with XEV_INTERFACE) or an implementation class that
// derives from exactly one interface and so inherits its `Interface` alias, the way
// MF::MediaEventGenerator implements IMFMediaEventGenerator. QueryInterface answers the IID of
// every listed interface and of every interface those extend, IUnknown included.
//
// Objects are created only through Make<T>(...), which returns the first counted reference.
// A class that must see its count fall (a pooled element) overrides Release and calls
// ReleaseReference, which returns the count left.

#include "ComPtr.h"

#include <atomic>
#include <new>
#include <tuple>
#include <type_traits>
#include <utility>

namespace Com::Detail
{
template <class I, class From>
bool FindInterface(From* self, REFIID riid, void** object)
{
    using Iface = typename I::Interface;
    if (riid == Iface::IID)
    {
        *object = static_cast<Iface*>(self);
        return true;
    }
    if constexpr (!std::is_same_v<Iface, IUnknown>)
        return FindInterface<typename Iface::BaseInterface>(static_cast<Iface*>(self), riid, object);
    else
        return false;
}

template <class T>
concept HasInterface = requires { typename T::Interface; };
} // namespace Com::Detail

template <class... Bases>
class ComObject : public Bases...
{
    static_assert(sizeof...(Bases) > 0);
    static_assert((Com::Detail::HasInterface<Bases> && ...), "every base must declare its interface");

public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID riid, void** object) override
    {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid == IUnknown::IID)
        {
            *object = static_cast<IUnknown*>(static_cast<FirstBase*>(this));
        }
        else if (!(Com::Detail::FindInterface<Bases>(static_cast<Bases*>(this), riid, object) || ...))
        {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return m_ReferenceCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override { return ReleaseReference(); }

    // The object's own IUnknown identity (that of the first base).
    IUnknown* AsUnknown() noexcept { return static_cast<IUnknown*>(static_cast<FirstBase*>(this)); }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;

    ULONG ReleaseReference()
    {
        const ULONG count = m_ReferenceCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (count == 0)
            delete this;
        return count;
    }
    ULONG ReferenceCount() const noexcept { return m_ReferenceCount.load(std::memory_order_relaxed); }

private:
    using FirstBase = std::tuple_element_t<0, std::tuple<Bases...>>;
    std::atomic<ULONG> m_ReferenceCount { 1 };
};

// Creates T and returns its first counted reference.
template <class T, class... Args>
ComPtr<T> Make(Args&&... args)
{
    ComPtr<T> result;
    result.Attach(new T(std::forward<Args>(args)...));
    return result;
}
