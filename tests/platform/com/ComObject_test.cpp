#include "platform/com/ComObject.h"
#include "platform/com/Error.h"

#include <gtest/gtest.h>

namespace
{
struct IAlpha : IUnknown
{
    XEV_INTERFACE(IAlpha, IUnknown, "11111111-2222-3333-4444-555555555555");
    virtual int Alpha() = 0;
};
struct IBeta : IAlpha
{
    XEV_INTERFACE(IBeta, IAlpha, "11111111-2222-3333-4444-666666666666");
};
struct IGamma : IUnknown
{
    XEV_INTERFACE(IGamma, IUnknown, "11111111-2222-3333-4444-777777777777");
    virtual int Gamma() = 0;
};
// An implementation base in the style of the media framework's mix-ins.
template <class T>
struct GammaImplementation : IGamma
{
    int Gamma() override { return static_cast<T*>(this)->m_Value * 3; }
};

int g_Destroyed = 0;

struct Object : ComObject<IBeta, GammaImplementation<Object>>
{
    explicit Object(int value) : m_Value(value) {}
    ~Object() override { ++g_Destroyed; }
    int Alpha() override { return m_Value; }
    ULONG Count() const { return ReferenceCount(); }
    int m_Value;
};

TEST(ComObject, AnswersEveryInterfaceOfItsChainsWithOneIdentityAndRefusesOthers)
{
    auto object = Make<Object>(7);
    ComPtr<IAlpha> alpha;
    ComPtr<IBeta> beta;
    ComPtr<IGamma> gamma;
    ComPtr<IUnknown> unknown1, unknown2;
    ASSERT_EQ(object.As(&alpha), S_OK);
    ASSERT_EQ(object.As(&beta), S_OK);
    ASSERT_EQ(object.As(&gamma), S_OK);
    EXPECT_EQ(alpha->Alpha() + beta->Alpha() + gamma->Gamma(), 7 + 7 + 21);
    ASSERT_EQ(alpha.As(&unknown1), S_OK);
    ASSERT_EQ(gamma.As(&unknown2), S_OK);
    EXPECT_EQ(unknown1.Get(), unknown2.Get());
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(object->QueryInterface(Guid::Parse("99999999-2222-3333-4444-555555555555"), &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(object->QueryInterface(IAlpha::IID, nullptr), E_POINTER);
    EXPECT_EQ(object->Count(), 6u);
    g_Destroyed = 0;
    alpha = nullptr, beta = nullptr, gamma = nullptr, unknown1 = nullptr, unknown2 = nullptr;
    EXPECT_EQ(g_Destroyed, 0);
    object = nullptr; // the last release destroys
    EXPECT_EQ(g_Destroyed, 1);
}

TEST(Guid, RegistryFormIsUpperCaseWithBraces)
{
    EXPECT_STREQ(Guid::ToText(Guid::Parse("{f7e34c9a-42e8-4714-b74b-cb29d72c35e5}")).data(), "{F7E34C9A-42E8-4714-B74B-CB29D72C35E5}");
}
} // namespace
