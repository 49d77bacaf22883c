#pragma once
// Helpers for the data-object tests: a reference-counting probe, a checked QueryInterface,
// tables of calls with the HRESULT each must give, and result formatting.

#include "platform/com/ComObject.h"
#include "fakes/Platform.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>

namespace DataTest
{
// An object that only counts: tests read its count after calls to catch leaked or
// over-released references, and see when it dies.
struct ITestProbe : IUnknown
{
    XEV_INTERFACE(ITestProbe, IUnknown, "6f1c3f0a-7d0e-4c5b-9a51-2b8e0f4d9c11");
    virtual ULONG Count() = 0;
};

class Probe final : public ComObject<ITestProbe>
{
public:
    explicit Probe(std::atomic<int>* destroyed = nullptr) : m_Destroyed(destroyed) {}
    ~Probe() override
    {
        if (m_Destroyed)
            m_Destroyed->fetch_add(1);
    }
    ULONG Count() override { return ReferenceCount(); }

private:
    std::atomic<int>* m_Destroyed;
};

using TestSupport::RefCount;

inline std::string Hr(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

inline IUnknown* IdentityOf(IUnknown* object)
{
    IUnknown* identity = nullptr;
    if (SUCCEEDED(object->QueryInterface(IidOf<IUnknown>, reinterpret_cast<void**>(&identity))))
        identity->Release();
    return identity;
}

// QueryInterface for I, checking what every answer owes: a refusal clears the out-pointer;
// an answer adds exactly one reference and keeps the object's identity.
template <class I>
HRESULT Query(IUnknown* object)
{
    const ULONG before = RefCount(object);
    I* out = reinterpret_cast<I*>(1);
    const HRESULT hr = object->QueryInterface(IidOf<I>, reinterpret_cast<void**>(&out));
    if (FAILED(hr))
    {
        EXPECT_EQ(nullptr, out) << "refused QueryInterface left its out-pointer set";
        return hr;
    }
    EXPECT_EQ(before + 1, RefCount(object)) << "QueryInterface did not add exactly one reference";
    EXPECT_EQ(IdentityOf(object), IdentityOf(out)) << "QueryInterface changed the identity";
    out->Release();
    return hr;
}

// One row of a call table: the result the call must give, its text, and the call.
struct Call
{
    HRESULT Expected;
    const char* Text;
    std::function<HRESULT()> Run;
};
#define CALL(expected, call) ::DataTest::Call { expected, #call, [&]() -> HRESULT { return call; } }

// Runs the rows in order.
inline void ExpectCalls(std::initializer_list<Call> calls)
{
    for (const Call& call : calls)
        EXPECT_EQ(Hr(call.Expected), Hr(call.Run())) << call.Text;
}

inline PROPVARIANT VariantOfType(VARTYPE type)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = type;
    return value;
}
} // namespace DataTest

// Compares HRESULTs and prints them in hexadecimal when they differ.
#define EXPECT_HR(expected, actual) EXPECT_EQ(::DataTest::Hr(expected), ::DataTest::Hr(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(::DataTest::Hr(expected), ::DataTest::Hr(actual))
