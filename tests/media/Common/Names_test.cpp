// The names and texts of the trace lines: lookups, value formats, media events and attribute stores.

#include "media/Common/Names.h"
#include "media/Common/PropVariantT.h"

#include "platform/com/Error.h"
#include "platform/mf/AttributesImpl.h"
#include "fakes/Platform.h"
#include "fakes/Support.h"

#include <climits>
#include <string>
#include <vector>

namespace
{
constexpr GUID UnknownKey = Guid::Parse("0badf00d-1234-5678-9abc-def012345678");
constexpr const char* UnknownKeyText = "{0BADF00D-1234-5678-9ABC-DEF012345678}";

// A media event whose getters answer the fields below, or fail where `Failing` says so.
class Event : public ComObject<MFPlatform::AttributesImpl<IMFMediaEvent>>
{
public:
    enum Getter { TypeGetter = 1, ExtendedTypeGetter = 2, StatusGetter = 4, ValueGetter = 8 };
    int Failing = 0; // Getter flags
    MediaEventType Type = MEUnknown;
    GUID ExtendedType = GUID_NULL;
    HRESULT Status = S_OK;
    MF::PropVariantT<1> Value;
    int ExtendedTypeCalls = 0;

    HRESULT GetType(MediaEventType* type) override { return Failing & TypeGetter ? E_NOTIMPL : (*type = Type, S_OK); }
    HRESULT GetExtendedType(GUID* extended) override { return ++ExtendedTypeCalls, Failing & ExtendedTypeGetter ? E_FAIL : (*extended = ExtendedType, S_OK); }
    HRESULT GetStatus(HRESULT* status) override { return Failing & StatusGetter ? E_NOTIMPL : (*status = Status, S_OK); }
    HRESULT GetValue(PROPVARIANT* value) override { return Failing & ValueGetter ? E_NOTIMPL : PropVariantCopy(value, &Value); }
};

// The message of each TraceAttribute line (the text after the function name).
std::vector<std::string> AttributeMessages(const TestSupport::TraceCapture& capture)
{
    static const std::string marker = ": MF::TraceAttribute: ";
    std::vector<std::string> messages;
    for (const std::string& line : capture.LinesContaining(marker))
        messages.push_back(line.substr(line.find(marker) + marker.size()));
    return messages;
}

// The bytes 00 01 02 ... and their text.
std::vector<BYTE> Sequence(size_t count)
{
    std::vector<BYTE> bytes(count);
    for (size_t index = 0; index < count; ++index)
        bytes[index] = static_cast<BYTE>(index);
    return bytes;
}
std::string SequenceText(size_t count) { return MF::FormatBytes(Sequence(count).data(), count, 0); }

// FormatPropVariant of a value of type `vt` that `set` fills in.
template <class F>
std::string Formatted(VARTYPE vt, F set)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = vt;
    set(value);
    return MF::FormatPropVariant(value);
}
std::string Formatted(VARTYPE vt) { return Formatted(vt, [](PROPVARIANT&) {}); }
std::string FormattedGuid(const GUID& guid) { return Formatted(VT_CLSID, [&](PROPVARIANT& v) { v.puuid = const_cast<GUID*>(&guid); }); }
std::string FormattedBlob(size_t count)
{
    const std::vector<BYTE> bytes = Sequence(count);
    MF::PropVariantT<1> value;
    EXPECT_EQ(InitPropVariantFromBuffer(bytes.data(), static_cast<uint32_t>(count), &value), S_OK);
    return MF::FormatPropVariant(value);
}
} // namespace

TEST(NameLookup, KnownValuesByNameOthersAsNumbersOrRegistryForm)
{
    // A few rows of each kind of answer; the tables' contents are not restated.
    const std::pair<MF::ShortText, const char*> cases[] {
        { MF::MediaEventTypeName(129), "MESessionStreamSinkFormatChanged" }, // shared with an anchor
        { MF::MediaEventTypeName(605), "0x25D" },
        { MF::MediaTypeAttributeName(MF_MT_MPEG2_PROFILE), "MF_MT_VIDEO_PROFILE" },
        { MF::MediaTypeAttributeName(UnknownKey), UnknownKeyText },
        { MF::ServiceName(MF_MT_FRAME_SIZE), "{1652C33D-D6B2-4012-B834-72030849A37D}" }, // each table names only its own rows
        { MF::TransformMessageName(MFT_MESSAGE_NOTIFY_RELEASE_RESOURCES), "0x10000004" }, // outside the table
        { MF::TransformMessageName(0x20000000), "MFT_MESSAGE_COMMAND_MARKER" },
    };
    for (const auto& [text, expected] : cases)
        EXPECT_STREQ(text, expected);
}

TEST(FormatText, FlagsVariantTypesBytesValuesAndTimes)
{
    const BYTE bytes[] { 0x00, 0xAB, 0xFF };
    const std::pair<std::string, std::string> cases[] {
        { MF::FormatFlags(MF::FlagTable::SetTypeFlags, 3), "MFT_SET_TYPE_TEST_ONLY | 0x2" },
        { MF::FormatFlags(static_cast<MF::FlagTable>(42), 5), "0x5" },
        { MF::VarTypeName(15), "0xF" },
        { MF::VarTypeName(0x5011), "VT_VECTOR | VT_BYREF | VT_UI1" },
        { MF::VarTypeName(0x9011), "VT_VECTOR | 0x8011" }, // the reserved top bit stays with the base type
        { MF::FormatBytes(bytes, 3, 2), "00 AB..." },
        { MF::FormatBytes(nullptr, 5, 0), "" },
        { FormattedBlob(193), "Type VT_VECTOR | VT_UI1, 193 elements, " + SequenceText(192) + "..." },
        { Formatted(VT_I8, [](PROPVARIANT& v) { v.hVal = INT64_MIN; }), "Type VT_I8, -9223372036854775808" },
        // Types without a value text show their type only.
        { Formatted(VT_BOOL, [](PROPVARIANT& v) { v.boolVal = VARIANT_TRUE; }), "Type VT_BOOL" },
        // Two packed numbers only when the high half is not 0 and neither half has its top byte set.
        { Formatted(VT_UI8, [](PROPVARIANT& v) { v.uhVal = Pack2UINT32AsUINT64(1920, 1080); }),
            "Type VT_UI8, 8246337209400, 0x00000780 0x00000438, 1920 1080" },
        { Formatted(VT_UI8, [](PROPVARIANT& v) { v.uhVal = 0x0100000000000001ull; }), "Type VT_UI8, 72057594037927937" },
        { Formatted(VT_UI8, [](PROPVARIANT& v) { v.uhVal = 0x0000000101000000ull; }), "Type VT_UI8, 4311744512" },
        { Formatted(VT_LPSTR), "Type VT_LPSTR, (null)" },
        { Formatted(VT_UNKNOWN, [](PROPVARIANT& v) { v.punkVal = reinterpret_cast<IUnknown*>(uintptr_t { 0xABC0 }); }),
            "Type VT_UNKNOWN, 0x000000000000ABC0" },
        { FormattedGuid(MFVideoFormat_H264), "Type VT_CLSID, {34363248-0000-0010-8000-00AA00389B71}, FourCC H264" },
        { FormattedGuid(MF_MT_FRAME_SIZE), "Type VT_CLSID, {1652C33D-D6B2-4012-B834-72030849A37D}" },
        // A subtype numbered by a format code: the code byte is not printable, the zero bytes end it.
        { FormattedGuid(MFVideoFormat_RGB32), "Type VT_CLSID, {00000016-0000-0010-8000-00AA00389B71}, FourCC ." },
        { Formatted(VT_CLSID), "Type VT_CLSID, (null)" },
        { MF::FormatTime(-1), "-00:00:00.000 0001" },
        { MF::FormatTime(100LL * 3600 * 10'000'000), "100:00:00.000 0000" }, // hours are not limited to a day
        { MF::FormatTime(INT64_MIN), "-256204778:48:05.477 5808" },
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(text, expected);
}

TEST(DescribeMediaEvent, ShowsWhatCanBeReadAndLeavesOutTheRest)
{
    auto event = Make<Event>();
    event->Type = MEMediaSample;
    ASSERT_EQ(InitPropVariantFromUInt32(7, &event->Value), S_OK);
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "Type MEMediaSample, Value Type VT_UI4, 7");
    EXPECT_EQ(event->ExtendedTypeCalls, 0);

    event->Type = MEExtendedType;
    event->ExtendedType = UnknownKey;
    event->Status = S_FALSE; // a success code other than S_OK is worth showing too
    ASSERT_EQ(InitPropVariantFromString("text", &event->Value), S_OK);
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()),
        "Type MEExtendedType, ExtendedType " + std::string(UnknownKeyText) + ", Status 0x00000001, Value Type VT_LPWSTR, text");
    event->Failing = Event::ExtendedTypeGetter | Event::StatusGetter | Event::ValueGetter;
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "Type MEExtendedType");
    // Without a type there is no extended type to ask for.
    event->Failing = Event::TypeGetter | Event::StatusGetter | Event::ValueGetter;
    event->ExtendedTypeCalls = 0;
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()) + std::to_string(event->ExtendedTypeCalls), "0");
    EXPECT_EQ(MF::DescribeMediaEvent(nullptr), "");
}

// One line per item: apertures of a media type as video areas (only for aperture keys and 16-byte
// blobs), known keys by name, others (and every key without a lookup) in registry form.
TEST(TraceAttributes, AperturesAsVideoAreasAndKeysByNameOrRegistryForm)
{
    ComPtr<IMFMediaType> mediaType;
    ASSERT_EQ(MFCreateMediaType(mediaType.GetAddressOf()), S_OK);
    // MFVideoArea: OffsetX and OffsetY as (fraction, whole part), then the area's cx and cy.
    const BYTE geometric[16] { 0x00, 0x80, 0x01, 0x00, 0x00, 0x40, 0xFE, 0xFF, 0x80, 0x07, 0, 0, 0x38, 0x04, 0, 0 };
    const BYTE minimum[16] { 0, 0, 0, 0, 0, 0, 0, 0, 0x00, 0x05, 0, 0, 0x30, 0xFD, 0xFF, 0xFF };
    ASSERT_EQ(mediaType->SetBlob(MF_MT_GEOMETRIC_APERTURE, geometric, 16), S_OK);
    ASSERT_EQ(mediaType->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, minimum, 16), S_OK);
    ASSERT_EQ(mediaType->SetBlob(MF_MT_PAN_SCAN_APERTURE, Sequence(15).data(), 15), S_OK);
    ASSERT_EQ(mediaType->SetBlob(MF_MT_USER_DATA, Sequence(16).data(), 16), S_OK);
    ASSERT_EQ(mediaType->SetUINT32(UnknownKey, 5), S_OK);

    TestSupport::TraceCapture capture;
    MF::TraceMediaType(mediaType.Get());
    MF::TraceAttributes(mediaType.Get(), nullptr);
    const std::vector<std::string> messages = AttributeMessages(capture);
    ASSERT_EQ(messages.size(), 10u);
    EXPECT_EQ(std::vector<std::string>(messages.begin(), messages.begin() + 5), (std::vector<std::string> {
        "MF_MT_GEOMETRIC_APERTURE, OffsetX 1.500, OffsetY -1.750, Area.cx 1920, Area.cy 1080\n",
        "MF_MT_MINIMUM_DISPLAY_APERTURE, OffsetX 0.000, OffsetY 0.000, Area.cx 1280, Area.cy -720\n",
        "MF_MT_PAN_SCAN_APERTURE, Type VT_VECTOR | VT_UI1, 15 elements, " + SequenceText(15) + "\n",
        "MF_MT_USER_DATA, Type VT_VECTOR | VT_UI1, 16 elements, " + SequenceText(16) + "\n",
        std::string(UnknownKeyText) + ", Type VT_UI4, 5\n",
    }));
    EXPECT_EQ(messages[8].find("{B6BC765F-4C3B-40A4-BD51-2535B66FE09D}, Type VT_VECTOR | VT_UI1, 16 elements, "), 0u) << messages[8];
    // The override leaves an aperture of another type alone.
    PROPVARIANT number {};
    std::string text = (number.vt = VT_UI4, "unchanged");
    EXPECT_FALSE(MF::FormatMediaTypeValue(MF_MT_PAN_SCAN_APERTURE, number, text) || text != "unchanged");
    EXPECT_EQ(Error::Guard([] { MF::TraceMediaType(nullptr); }), E_POINTER);
}
