#include "media/Common/PropVariantT.h"
#include "platform/com/Error.h"
#include "platform/com/PropVariant.h"
#include "fakes/Platform.h"
#include "fakes/Support.h"

struct Object : ComObject<IUnknown> {};

// Copies of strings and numbers are seen through the trace texts (Names_test); here the copies
// that own memory or hold a reference, and a type that cannot be copied.
TEST(PropVariant, CopiesOwnTheirDataAndHoldReferences)
{
    auto object = Make<Object>();
    MF::PropVariantT<1> blob, unknown, guid, copy;
    const BYTE bytes[] = { 1, 2, 3 };
    ASSERT_EQ(InitPropVariantFromBuffer(bytes, 3, &blob) | InitPropVariantFromUnknown(object->AsUnknown(), &unknown), S_OK);
    ASSERT_EQ(InitPropVariantFromCLSID(MF_MT_FRAME_SIZE, &guid), S_OK);
    copy.CopyFrom(guid);
    EXPECT_TRUE(copy.puuid != guid.puuid && *copy.puuid == MF_MT_FRAME_SIZE);
    copy.CopyFrom(unknown);
    EXPECT_EQ(TestSupport::RefCount(object->AsUnknown()), 3u);
    copy.CopyFrom(blob);
    EXPECT_EQ(TestSupport::RefCount(object->AsUnknown()), 2u);
    ASSERT_EQ(copy.caub.cElems, 3u);
    EXPECT_NE(copy.caub.pElems, blob.caub.pElems);
    EXPECT_EQ(copy.caub.pElems[2], 3);
    unknown.Clear();
    EXPECT_EQ(unknown.vt, VT_EMPTY);
    EXPECT_EQ(TestSupport::RefCount(object->AsUnknown()), 1u);

    // An unsupported type throws and is traced with the failing expression.
    TestSupport::TraceCapture capture;
    PROPVARIANT odd {};
    odd.vt = 0x4242;
    EXPECT_EQ(Error::Guard([&] { copy.CopyFrom(odd); }), E_INVALIDARG);
    const auto lines = capture.LinesContaining("MF::PropVariantT<1>::CopyFrom: Exception, 0x80070057, expression PropVariantCopy(this, &Value)\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("PropVariantT.h(", 0), 0u) << lines[0];
}
