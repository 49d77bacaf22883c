#pragma once
// IUnknown and the way interfaces declare their identity.
//
// Every interface is a struct with pure virtual methods that derives from its base interface
// and opens with XEV_INTERFACE(Self, Base, "iid"). The macro gives it
//   Self::IID            its interface identifier,
//   Self::Interface      itself (implementation bases that derive from it inherit this alias),
//   Self::BaseInterface  the interface it extends, so QueryInterface can answer for the whole chain.

#include "Guid.h"

struct IUnknown
{
    using Interface = IUnknown;
    static constexpr ::GUID IID = Guid::Parse("00000000-0000-0000-C000-000000000046");

    virtual HRESULT QueryInterface(REFIID riid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

protected:
    ~IUnknown() = default;
};

#define XEV_INTERFACE(Self, Base, text)                                   \
    using Interface = Self;                                               \
    using BaseInterface = Base;                                           \
    static constexpr ::GUID IID = ::Guid::Parse(text)

template <class I>
inline constexpr const IID& IidOf = I::Interface::IID;

// Queries `from` for interface I; S_OK fills `to`.
template <class I>
HRESULT QueryTo(IUnknown* from, I** to)
{
    return from->QueryInterface(IidOf<I>, reinterpret_cast<void**>(to));
}
