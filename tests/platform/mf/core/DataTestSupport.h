#pragma once
// Helpers for the data-object tests: a reference-counting probe and result formatting.

#include "platform/com/ComObject.h"
#include "platform/mf/Api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
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

// The count of any object: one AddRef/Release pair around it.
inline ULONG CountOf(IUnknown* object)
{
    object->AddRef();
    return object->Release();
}

inline std::string Hr(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}
} // namespace DataTest

// Compares HRESULTs and prints them in hexadecimal when they differ.
#define EXPECT_HR(expected, actual) EXPECT_EQ(::DataTest::Hr(expected), ::DataTest::Hr(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(::DataTest::Hr(expected), ::DataTest::Hr(actual))
