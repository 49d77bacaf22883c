#include "media/Common/PropVariantT.h"
#include "platform/com/Error.h"
#include "platform/com/PropVariant.h"
#include "fakes/Platform.h"
#include "fakes/Support.h"

namespace
{
struct ICounted : IUnknown
{
    XEV_INTERFACE(ICounted, IUnknown, "11111111-2222-3333-4444-888888888888");
};

class Object : public ComObject<ICounted>
{
};

TEST(PropVariant, CopiesOwnTheirDataAndHoldReferences)
{
    auto object = Make<Object>();
    MF::PropVariantT<1> text, blob, unknown, guid, copy;
    const BYTE bytes[] = { 1, 2, 3 };
    ASSERT_EQ(InitPropVariantFromString("hello", &text), S_OK);
    ASSERT_EQ(InitPropVariantFromBuffer(bytes, 3, &blob), S_OK);
    ASSERT_EQ(InitPropVariantFromUnknown(object->AsUnknown(), &unknown), S_OK);
    ASSERT_EQ(InitPropVariantFromCLSID(ICounted::IID, &guid), S_OK);
    EXPECT_EQ(TestSupport::RefCount(object.Get()), 2u);

    copy.CopyFrom(text);
    EXPECT_STREQ(copy.pwszVal, "hello");
    EXPECT_NE(copy.pwszVal, text.pwszVal);
    copy.CopyFrom(unknown);
    EXPECT_EQ(TestSupport::RefCount(object.Get()), 3u);
    copy.CopyFrom(blob);
    EXPECT_EQ(TestSupport::RefCount(object.Get()), 2u);
    ASSERT_EQ(copy.caub.cElems, 3u);
    EXPECT_EQ(copy.caub.pElems[2], 3);
    copy.CopyFrom(guid);
    EXPECT_EQ(*copy.puuid, ICounted::IID);
    unknown.Clear();
    EXPECT_EQ(unknown.vt, VT_EMPTY);
    EXPECT_EQ(TestSupport::RefCount(object.Get()), 1u);

    // An unsupported type throws and is traced with the failing expression.
    TestSupport::TraceCapture capture;
    PROPVARIANT odd;
    PropVariantInit(&odd);
    odd.vt = 0x4242;
    EXPECT_EQ(Error::Guard([&] { copy.CopyFrom(odd); }), E_INVALIDARG);
    const auto lines = capture.LinesContaining("MF::PropVariantT<1>::CopyFrom: Exception, 0x80070057, expression PropVariantCopy(this, &Value)\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("PropVariantT.h(", 0), 0u) << lines[0];
}
} // namespace
