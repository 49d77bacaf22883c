#include "media/Common/NameTables.h"
#include "media/Common/Names.h"
#include "media/Common/PropVariantT.h"

#include "platform/com/ComObject.h"
#include "platform/com/Error.h"
#include "platform/mf/Api.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace
{
using MF::NameTables::GuidName;
using MF::NameTables::NumberName;

constexpr GUID UnknownKey = Guid::Parse("0badf00d-1234-5678-9abc-def012345678");

std::string RegistryForm(const GUID& value) { return Guid::ToText(value).data(); }

// An attribute store over the platform's own, with failures to inject into the two calls that
// TraceAttributes makes. `I` is IMFAttributes or an interface that extends it.
template <class I>
class StoreOver : public I
{
public:
    StoreOver()
    {
        IMFAttributes* inner = nullptr;
        EXPECT_EQ(MFCreateAttributes(&inner, 4), S_OK);
        m_Inner.Attach(inner);
    }

    HRESULT CountResult = S_OK;           // returned by GetCount when it is a failure
    UINT32 FailingIndex = UINT32_MAX;     // GetItemByIndex at this index returns ItemResult
    HRESULT ItemResult = MF_E_INVALIDINDEX;

    HRESULT GetItem(REFGUID key, PROPVARIANT* value) override { return m_Inner->GetItem(key, value); }
    HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) override { return m_Inner->GetItemType(key, type); }
    HRESULT CompareItem(REFGUID key, const PROPVARIANT& value, BOOL* result) override { return m_Inner->CompareItem(key, value, result); }
    HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE type, BOOL* result) override { return m_Inner->Compare(theirs, type, result); }
    HRESULT GetUINT32(REFGUID key, UINT32* value) override { return m_Inner->GetUINT32(key, value); }
    HRESULT GetUINT64(REFGUID key, UINT64* value) override { return m_Inner->GetUINT64(key, value); }
    HRESULT GetDouble(REFGUID key, double* value) override { return m_Inner->GetDouble(key, value); }
    HRESULT GetGUID(REFGUID key, GUID* value) override { return m_Inner->GetGUID(key, value); }
    HRESULT GetStringLength(REFGUID key, UINT32* length) override { return m_Inner->GetStringLength(key, length); }
    HRESULT GetString(REFGUID key, LPWSTR value, UINT32 size, UINT32* length) override { return m_Inner->GetString(key, value, size, length); }
    HRESULT GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) override { return m_Inner->GetAllocatedString(key, value, length); }
    HRESULT GetBlobSize(REFGUID key, UINT32* size) override { return m_Inner->GetBlobSize(key, size); }
    HRESULT GetBlob(REFGUID key, UINT8* buffer, UINT32 size, UINT32* blobSize) override { return m_Inner->GetBlob(key, buffer, size, blobSize); }
    HRESULT GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) override { return m_Inner->GetAllocatedBlob(key, buffer, size); }
    HRESULT GetUnknown(REFGUID key, REFIID riid, void** object) override { return m_Inner->GetUnknown(key, riid, object); }
    HRESULT SetItem(REFGUID key, const PROPVARIANT& value) override { return m_Inner->SetItem(key, value); }
    HRESULT DeleteItem(REFGUID key) override { return m_Inner->DeleteItem(key); }
    HRESULT DeleteAllItems() override { return m_Inner->DeleteAllItems(); }
    HRESULT SetUINT32(REFGUID key, UINT32 value) override { return m_Inner->SetUINT32(key, value); }
    HRESULT SetUINT64(REFGUID key, UINT64 value) override { return m_Inner->SetUINT64(key, value); }
    HRESULT SetDouble(REFGUID key, double value) override { return m_Inner->SetDouble(key, value); }
    HRESULT SetGUID(REFGUID key, REFGUID value) override { return m_Inner->SetGUID(key, value); }
    HRESULT SetString(REFGUID key, LPCWSTR value) override { return m_Inner->SetString(key, value); }
    HRESULT SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) override { return m_Inner->SetBlob(key, buffer, size); }
    HRESULT SetUnknown(REFGUID key, IUnknown* object) override { return m_Inner->SetUnknown(key, object); }
    HRESULT LockStore() override { return m_Inner->LockStore(); }
    HRESULT UnlockStore() override { return m_Inner->UnlockStore(); }
    HRESULT GetCount(UINT32* count) override { return FAILED(CountResult) ? CountResult : m_Inner->GetCount(count); }
    HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) override
    {
        return index == FailingIndex ? ItemResult : m_Inner->GetItemByIndex(index, key, value);
    }
    HRESULT CopyAllItems(IMFAttributes* destination) override { return m_Inner->CopyAllItems(destination); }

private:
    ComPtr<IMFAttributes> m_Inner;
};

class Store : public ComObject<StoreOver<IMFAttributes>>
{
};

class MediaType : public ComObject<StoreOver<IMFMediaType>>
{
public:
    HRESULT GetMajorType(GUID* majorType) override { return GetGUID(MF_MT_MAJOR_TYPE, majorType); }
    HRESULT IsCompressedFormat(BOOL*) override { return E_NOTIMPL; }
    HRESULT IsEqual(IMFMediaType*, DWORD*) override { return E_NOTIMPL; }
};

// A media event whose four getters each succeed with the given value or fail.
class Event : public ComObject<StoreOver<IMFMediaEvent>>
{
public:
    HRESULT TypeResult = S_OK;
    MediaEventType Type = MEUnknown;
    HRESULT ExtendedTypeResult = S_OK;
    GUID ExtendedType = GUID_NULL;
    HRESULT StatusResult = S_OK;
    HRESULT Status = S_OK;
    HRESULT ValueResult = S_OK;
    MF::PropVariantT<1> Value;
    int ExtendedTypeCalls = 0;

    HRESULT GetType(MediaEventType* type) override { return SUCCEEDED(TypeResult) ? (*type = Type, S_OK) : TypeResult; }
    HRESULT GetExtendedType(GUID* extendedType) override
    {
        ++ExtendedTypeCalls;
        return SUCCEEDED(ExtendedTypeResult) ? (*extendedType = ExtendedType, S_OK) : ExtendedTypeResult;
    }
    HRESULT GetStatus(HRESULT* status) override { return SUCCEEDED(StatusResult) ? (*status = Status, S_OK) : StatusResult; }
    HRESULT GetValue(PROPVARIANT* value) override { return SUCCEEDED(ValueResult) ? PropVariantCopy(value, &Value) : ValueResult; }
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

std::vector<BYTE> Sequence(size_t count)
{
    std::vector<BYTE> bytes(count);
    for (size_t index = 0; index < count; ++index)
        bytes[index] = static_cast<BYTE>(index);
    return bytes;
}

std::string SequenceText(size_t count)
{
    std::string text;
    char piece[4];
    for (size_t index = 0; index < count; ++index)
    {
        std::snprintf(piece, sizeof(piece), "%02X", static_cast<unsigned>(index & 0xFF));
        text += (index ? " " : "") + std::string(piece);
    }
    return text;
}

// The bytes of an MFVideoArea: offsets as (fraction, whole part), then the area.
std::vector<BYTE> VideoArea(uint16_t fractionX, int16_t wholeX, uint16_t fractionY, int16_t wholeY, int32_t cx, int32_t cy)
{
    std::vector<BYTE> bytes(16);
    std::memcpy(&bytes[0], &fractionX, 2);
    std::memcpy(&bytes[2], &wholeX, 2);
    std::memcpy(&bytes[4], &fractionY, 2);
    std::memcpy(&bytes[6], &wholeY, 2);
    std::memcpy(&bytes[8], &cx, 4);
    std::memcpy(&bytes[12], &cy, 4);
    return bytes;
}

PROPVARIANT Scalar(VARTYPE vt)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = vt;
    return value;
}
} // namespace

// ---- Tables ----------------------------------------------------------------------------------

TEST(NameTables, RowCountsAndEnds)
{
    struct GuidTable
    {
        std::span<const GuidName> Rows;
        size_t Count;
        const char* First;
        const char* Last;
    };
    const GuidTable guidTables[] {
        { MF::NameTables::MediaTypeAttributes(), 122, "MF_MT_MAJOR_TYPE", "MF_MT_FRAME_RATE_RANGE_MAX" },
        { MF::NameTables::Services(), 7, "MF_METADATA_PROVIDER_SERVICE", "MFNETSOURCE_STATISTICS_SERVICE" },
        { MF::NameTables::Interfaces(), 8, "IMFMetadataProvider", "IMFVideoSampleAllocator" },
        { MF::NameTables::TopologyAttributes(), 13, "MF_TOPOLOGY_PROJECTSTART", "MF_TOPOLOGY_RESOLUTION_STATUS" },
    };
    for (const GuidTable& table : guidTables)
    {
        ASSERT_EQ(table.Rows.size(), table.Count) << table.First;
        EXPECT_STREQ(table.Rows.front().Name, table.First);
        EXPECT_STREQ(table.Rows.back().Name, table.Last);
    }
    struct NumberTable
    {
        std::span<const NumberName> Rows;
        size_t Count;
        NumberName First;
        NumberName Last;
    };
    const NumberTable numberTables[] {
        { MF::NameTables::MediaEventTypes(), 117, { 0, "MEUnknown" }, { 900, "MEContentProtectionMetadata" } },
        { MF::NameTables::TopologyStatus(), 6, { 0, "MF_TOPOSTATUS_INVALID" }, { 400, "MF_TOPOSTATUS_ENDED" } },
        { MF::NameTables::StreamSinkMarkerTypes(), 4, { 0, "MFSTREAMSINK_MARKER_DEFAULT" }, { 3, "MFSTREAMSINK_MARKER_EVENT" } },
        { MF::NameTables::TransformMessages(), 10, { 0, "MFT_MESSAGE_COMMAND_FLUSH" }, { 0x20000000, "MFT_MESSAGE_COMMAND_MARKER" } },
        { MF::NameTables::SetTypeFlags(), 1, { 1, "MFT_SET_TYPE_TEST_ONLY" }, { 1, "MFT_SET_TYPE_TEST_ONLY" } },
        { MF::NameTables::VariantBaseTypes(), 44, { 0, "VT_EMPTY" }, { 73, "VT_VERSIONED_STREAM" } },
        { MF::NameTables::VariantTypeModifiers(), 3, { 0x1000, "VT_VECTOR" }, { 0x4000, "VT_BYREF" } },
    };
    for (const NumberTable& table : numberTables)
    {
        ASSERT_EQ(table.Rows.size(), table.Count) << table.First.Name;
        EXPECT_EQ(table.Rows.front().Value, table.First.Value);
        EXPECT_STREQ(table.Rows.front().Name, table.First.Name);
        EXPECT_EQ(table.Rows.back().Value, table.Last.Value);
        EXPECT_STREQ(table.Rows.back().Name, table.Last.Name);
    }
}

TEST(NameTables, EveryNameFitsAShortTextAndIsUnique)
{
    std::set<std::string> names;
    size_t rows = 0;
    auto check = [&](const char* name) {
        ++rows;
        EXPECT_LT(std::strlen(name), sizeof(MF::ShortText::Text)) << name;
        EXPECT_TRUE(names.insert(name).second) << "twice: " << name;
    };
    for (auto table : { MF::NameTables::MediaTypeAttributes(), MF::NameTables::Services(), MF::NameTables::Interfaces(),
             MF::NameTables::TopologyAttributes() })
        for (const GuidName& row : table)
            check(row.Name);
    for (auto table : { MF::NameTables::MediaEventTypes(), MF::NameTables::TopologyStatus(), MF::NameTables::StreamSinkMarkerTypes(),
             MF::NameTables::TransformMessages(), MF::NameTables::SetTypeFlags(), MF::NameTables::VariantBaseTypes(),
             MF::NameTables::VariantTypeModifiers() })
        for (const NumberName& row : table)
            check(row.Name);
    EXPECT_EQ(rows, 122u + 7 + 8 + 13 + 117 + 6 + 4 + 10 + 1 + 44 + 3);
}

TEST(NameTables, GuidRowsHoldDistinctValuesExceptThePublishedAliases)
{
    // The platform gives the video profile and level keys the values of the MPEG-2 ones; no
    // other two rows of a table may share a value (a copied value would hide a name).
    const std::set<std::string> aliases { "MF_MT_MPEG2_PROFILE", "MF_MT_MPEG2_LEVEL" };
    for (auto table : { MF::NameTables::MediaTypeAttributes(), MF::NameTables::Services(), MF::NameTables::Interfaces(),
             MF::NameTables::TopologyAttributes() })
    {
        std::set<GUID> seen;
        for (const GuidName& row : table)
        {
            EXPECT_NE(row.Guid, GUID_NULL) << row.Name;
            const bool added = seen.insert(row.Guid).second;
            EXPECT_EQ(added, !aliases.contains(row.Name)) << row.Name;
        }
    }
    EXPECT_STREQ(MF::MediaTypeAttributeName(MF_MT_MPEG2_PROFILE), "MF_MT_VIDEO_PROFILE");
    EXPECT_STREQ(MF::MediaTypeAttributeName(MF_MT_MPEG2_LEVEL), "MF_MT_VIDEO_LEVEL");
}

TEST(NameTables, EventTypesRunInValueOrderWithAnchorsAfterTheirEvents)
{
    const auto rows = MF::NameTables::MediaEventTypes();
    for (size_t index = 1; index < rows.size(); ++index)
    {
        ASSERT_GE(rows[index].Value, rows[index - 1].Value) << rows[index].Name;
        if (rows[index].Value == rows[index - 1].Value)
        {
            EXPECT_NE(std::strstr(rows[index].Name, "Anchor"), nullptr) << rows[index].Name;
        }
    }
}

// ---- Lookups ---------------------------------------------------------------------------------

TEST(NameLookup, EventTypes)
{
    EXPECT_STREQ(MF::MediaEventTypeName(0), "MEUnknown");
    EXPECT_STREQ(MF::MediaEventTypeName(3), "MENonFatalError");
    EXPECT_STREQ(MF::MediaEventTypeName(222), "MESequencerSourceTopologyUpdated");
    EXPECT_STREQ(MF::MediaEventTypeName(999), "0x3E7");
    // Every value an anchor shares gives the event's own name.
    EXPECT_STREQ(MF::MediaEventTypeName(129), "MESessionStreamSinkFormatChanged");
    EXPECT_STREQ(MF::MediaEventTypeName(321), "MEAudioSessionExclusiveModeOverride");
    EXPECT_STREQ(MF::MediaEventTypeName(327), "MECaptureAudioSessionServerShutdown");
    EXPECT_STREQ(MF::MediaEventTypeName(403), "MEPolicySet");
    EXPECT_STREQ(MF::MediaEventTypeName(516), "MEWMDRMRevocationDownloadCompleted");
    EXPECT_STREQ(MF::MediaEventTypeName(METransformNeedInput), "METransformNeedInput");
    EXPECT_STREQ(MF::MediaEventTypeName(MEMediaSample), "MEMediaSample");
    EXPECT_STREQ(MF::MediaEventTypeName(900), "MEContentProtectionMetadata");
    EXPECT_STREQ(MF::MediaEventTypeName(605), "0x25D");
    EXPECT_STREQ(MF::MediaEventTypeName(0xFFFFFFFF), "0xFFFFFFFF");
}

TEST(NameLookup, GuidTablesByPublishedValue)
{
    // Spelled out here so that a wrong value in the platform's GUID list shows as a wrong name.
    EXPECT_STREQ(MF::MediaTypeAttributeName(Guid::Parse("1652c33d-d6b2-4012-b834-72030849a37d")), "MF_MT_FRAME_SIZE");
    EXPECT_STREQ(MF::MediaTypeAttributeName(Guid::Parse("48eba18e-f8c9-4687-bf11-0a74c9f96a8f")), "MF_MT_MAJOR_TYPE");
    EXPECT_STREQ(MF::MediaTypeAttributeName(Guid::Parse("c5acc4fd-0304-4ecf-809f-47bc97ff63bd")), "MF_MT_SECURE");
    EXPECT_STREQ(MF::MediaTypeAttributeName(Guid::Parse("e3371d41-b4cf-4a05-bd4e-20b88bb2c4d6")), "MF_MT_FRAME_RATE_RANGE_MAX");
    EXPECT_STREQ(MF::ServiceName(Guid::Parse("b7e2be11-2f96-4640-b52c-282365bdf16c")), "MF_QUALITY_SERVICES");
    EXPECT_STREQ(MF::ServiceName(MF_RATE_CONTROL_SERVICE), "MF_RATE_CONTROL_SERVICE");
    EXPECT_STREQ(MF::InterfaceName(IidOf<IMFMediaSource>), "IMFMediaSource");
    EXPECT_STREQ(MF::InterfaceName(Guid::Parse("886d8eeb-8cf2-4446-8d02-cdba1dbdcf99")), "IPropertyStore");
    EXPECT_STREQ(MF::InterfaceName(Guid::Parse("ec15e2e9-e36b-4f7c-8758-77d452ef4ce7")), "IMFQualityAdvise");
    EXPECT_STREQ(MF::TopologyAttributeName(Guid::Parse("7ed3f802-86bb-4b3f-b7e4-7cb43afd4b80")), "MF_TOPOLOGY_PROJECTSTART");
    EXPECT_STREQ(MF::TopologyAttributeName(MF_TOPOLOGY_RESOLUTION_STATUS), "MF_TOPOLOGY_RESOLUTION_STATUS");
    // Each table names only its own rows.
    EXPECT_STREQ(MF::ServiceName(MF_MT_FRAME_SIZE), RegistryForm(MF_MT_FRAME_SIZE).c_str());
    EXPECT_STREQ(MF::InterfaceName(IidOf<IMFAttributes>), "{2CD2D921-C447-44A7-A13C-4ADABFC247E3}");
}

TEST(NameLookup, UnknownGuidPrintsInRegistryForm)
{
    const MF::ShortText text = MF::MediaTypeAttributeName(UnknownKey);
    EXPECT_STREQ(text, "{0BADF00D-1234-5678-9ABC-DEF012345678}");
    EXPECT_EQ(std::strlen(text), 38u);
    EXPECT_STREQ(MF::TopologyAttributeName(GUID_NULL), "{00000000-0000-0000-0000-000000000000}");
}

TEST(NameLookup, NumberTables)
{
    EXPECT_STREQ(MF::TopologyStatusName(MF_TOPOSTATUS_READY), "MF_TOPOSTATUS_READY");
    EXPECT_STREQ(MF::TopologyStatusName(210), "MF_TOPOSTATUS_DYNAMIC_CHANGED");
    EXPECT_STREQ(MF::TopologyStatusName(150), "0x96");
    EXPECT_STREQ(MF::StreamSinkMarkerTypeName(MFSTREAMSINK_MARKER_TICK), "MFSTREAMSINK_MARKER_TICK");
    EXPECT_STREQ(MF::StreamSinkMarkerTypeName(4), "0x4");
    EXPECT_STREQ(MF::TransformMessageName(MFT_MESSAGE_NOTIFY_START_OF_STREAM), "MFT_MESSAGE_NOTIFY_START_OF_STREAM");
    EXPECT_STREQ(MF::TransformMessageName(MFT_MESSAGE_COMMAND_FLUSH), "MFT_MESSAGE_COMMAND_FLUSH");
    // Messages outside the table print as numbers.
    EXPECT_STREQ(MF::TransformMessageName(MFT_MESSAGE_NOTIFY_RELEASE_RESOURCES), "0x10000004");
}

TEST(NameLookup, ConcurrentFirstUseGivesTheSameNames)
{
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int thread = 0; thread < 4; ++thread)
        threads.emplace_back([&mismatches, thread] {
            for (int round = 0; round < 200; ++round)
            {
                mismatches[thread] += std::strcmp(MF::MediaTypeAttributeName(MF_MT_FRAME_RATE_RANGE_MAX), "MF_MT_FRAME_RATE_RANGE_MAX") != 0;
                mismatches[thread] += std::strcmp(MF::TopologyAttributeName(MF_TOPOLOGY_HARDWARE_MODE), "MF_TOPOLOGY_HARDWARE_MODE") != 0;
                mismatches[thread] += std::strcmp(MF::ServiceName(MF_MEDIASOURCE_SERVICE), "MF_MEDIASOURCE_SERVICE") != 0;
                mismatches[thread] += MF::VarTypeName(0x1011) != "VT_VECTOR | VT_UI1";
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

// ---- Flags and variant types -----------------------------------------------------------------

TEST(FormatFlags, NamesKnownBitsAndPrintsTheRest)
{
    EXPECT_EQ(MF::FormatFlags(MF::FlagTable::SetTypeFlags, 1), "MFT_SET_TYPE_TEST_ONLY");
    EXPECT_EQ(MF::FormatFlags(MF::FlagTable::SetTypeFlags, 3), "MFT_SET_TYPE_TEST_ONLY | 0x2");
    EXPECT_EQ(MF::FormatFlags(MF::FlagTable::SetTypeFlags, 0), "");
    EXPECT_EQ(MF::FormatFlags(MF::FlagTable::SetTypeFlags, 0x80000000), "0x80000000");
    EXPECT_EQ(MF::FormatFlags(MF::FlagTable::VariantTypeModifiers, 0x7000), "VT_VECTOR | VT_ARRAY | VT_BYREF");
    EXPECT_EQ(MF::FormatFlags(MF::FlagTable::VariantTypeModifiers, 0x4001), "VT_BYREF | 0x1");
    EXPECT_EQ(MF::FormatFlags(static_cast<MF::FlagTable>(42), 5), "0x5");
}

TEST(VarTypeName, BaseTypesAndModifiers)
{
    EXPECT_EQ(MF::VarTypeName(0x1011), "VT_VECTOR | VT_UI1");
    EXPECT_EQ(MF::VarTypeName(0x100), "0x100");
    EXPECT_EQ(MF::VarTypeName(VT_EMPTY), "VT_EMPTY");
    EXPECT_EQ(MF::VarTypeName(VT_CLSID), "VT_CLSID");
    EXPECT_EQ(MF::VarTypeName(73), "VT_VERSIONED_STREAM");
    EXPECT_EQ(MF::VarTypeName(15), "0xF");
    EXPECT_EQ(MF::VarTypeName(0x2003), "VT_ARRAY | VT_I4");
    EXPECT_EQ(MF::VarTypeName(0x5011), "VT_VECTOR | VT_BYREF | VT_UI1");
    // The reserved top bit stays with the base type.
    EXPECT_EQ(MF::VarTypeName(0x9011), "VT_VECTOR | 0x8011");
    EXPECT_EQ(MF::VarTypeName(0x8011), "0x8011");
}

// ---- Values ----------------------------------------------------------------------------------

TEST(FormatBytes, HexPairsAndTheLimit)
{
    const BYTE bytes[] { 0x00, 0xAB, 0xFF };
    EXPECT_EQ(MF::FormatBytes(bytes, 3, 0), "00 AB FF");
    EXPECT_EQ(MF::FormatBytes(bytes, 3, 3), "00 AB FF");
    EXPECT_EQ(MF::FormatBytes(bytes, 3, 2), "00 AB...");
    EXPECT_EQ(MF::FormatBytes(bytes, 3, 1), "00...");
    EXPECT_EQ(MF::FormatBytes(bytes, 0, 0), "");
    EXPECT_EQ(MF::FormatBytes(nullptr, 5, 0), "");
}

TEST(FormatPropVariant, Blobs)
{
    for (size_t count : { 0u, 16u, 192u, 193u, 200u })
    {
        const std::vector<BYTE> bytes = Sequence(count);
        MF::PropVariantT<1> value;
        ASSERT_EQ(InitPropVariantFromBuffer(bytes.data(), static_cast<uint32_t>(count), &value), S_OK);
        const std::string expected = "Type VT_VECTOR | VT_UI1, " + std::to_string(count) + " elements, "
            + (count > 192 ? SequenceText(192) + "..." : SequenceText(count));
        EXPECT_EQ(MF::FormatPropVariant(value), expected) << count;
    }
}

TEST(FormatPropVariant, Numbers)
{
    PROPVARIANT value = Scalar(VT_I2);
    value.iVal = -5;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_I2, -5");
    value = Scalar(VT_I4);
    value.lVal = INT32_MIN;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_I4, -2147483648");
    value = Scalar(VT_UI2);
    value.uiVal = 65535;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_UI2, 65535");
    value = Scalar(VT_UI4);
    value.ulVal = UINT32_MAX;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_UI4, 4294967295");
    value = Scalar(VT_R4);
    value.fltVal = 0.5f;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_R4, 0.5");
    value = Scalar(VT_R8);
    value.dblVal = 29.97;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_R8, 29.97");
    value = Scalar(VT_I8);
    value.hVal = INT64_MIN;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_I8, -9223372036854775808");
    // Types without a value text show their type only.
    EXPECT_EQ(MF::FormatPropVariant(Scalar(VT_EMPTY)), "Type VT_EMPTY");
    value = Scalar(VT_BOOL);
    value.boolVal = VARIANT_TRUE;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_BOOL");
    EXPECT_EQ(MF::FormatPropVariant(Scalar(0x100)), "Type 0x100");
}

TEST(FormatPropVariant, PackedUInt64)
{
    PROPVARIANT value = Scalar(VT_UI8);
    value.uhVal = 0x0000000100000002ull;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_UI8, 4294967298, 0x00000001 0x00000002, 1 2");
    value.uhVal = Pack2UINT32AsUINT64(1920, 1080);
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_UI8, 8246337209400, 0x00000780 0x00000438, 1920 1080");
    // A zero high half, or a top byte set in either half, is a plain number.
    value.uhVal = 30;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_UI8, 30");
    value.uhVal = 0x0100000000000001ull;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_UI8, 72057594037927937");
    value.uhVal = 0x0000000101000000ull;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_UI8, 4311744512");
    value.uhVal = 0x00FFFFFF00FFFFFFull;
    EXPECT_EQ(MF::FormatPropVariant(value), "Type VT_UI8, 72057589759737855, 0x00FFFFFF 0x00FFFFFF, 16777215 16777215");
}

TEST(FormatPropVariant, TextPointersAndGuids)
{
    MF::PropVariantT<1> text;
    ASSERT_EQ(InitPropVariantFromString("Trebuchet MS", &text), S_OK);
    EXPECT_EQ(MF::FormatPropVariant(text), "Type VT_LPWSTR, Trebuchet MS");
    PROPVARIANT narrow = Scalar(VT_LPSTR);
    char narrowText[] = "narrow";
    narrow.pwszVal = narrowText;
    EXPECT_EQ(MF::FormatPropVariant(narrow), "Type VT_LPSTR, narrow");
    narrow.pwszVal = nullptr;
    EXPECT_EQ(MF::FormatPropVariant(narrow), "Type VT_LPSTR, (null)");

    PROPVARIANT unknown = Scalar(VT_UNKNOWN);
    unknown.punkVal = reinterpret_cast<IUnknown*>(uintptr_t { 0xABC0 });
    EXPECT_EQ(MF::FormatPropVariant(unknown), "Type VT_UNKNOWN, 0x000000000000ABC0");
    unknown.vt = 9;
    EXPECT_EQ(MF::FormatPropVariant(unknown), "Type VT_DISPATCH, 0x000000000000ABC0");

    MF::PropVariantT<1> subtype;
    ASSERT_EQ(InitPropVariantFromCLSID(MFVideoFormat_H264, &subtype), S_OK);
    EXPECT_EQ(MF::FormatPropVariant(subtype), "Type VT_CLSID, {34363248-0000-0010-8000-00AA00389B71}, FourCC H264");
    MF::PropVariantT<1> major;
    ASSERT_EQ(InitPropVariantFromCLSID(MFMediaType_Video, &major), S_OK);
    EXPECT_EQ(MF::FormatPropVariant(major), "Type VT_CLSID, {73646976-0000-0010-8000-00AA00389B71}, FourCC vids");
    MF::PropVariantT<1> other;
    ASSERT_EQ(InitPropVariantFromCLSID(MF_MT_FRAME_SIZE, &other), S_OK);
    EXPECT_EQ(MF::FormatPropVariant(other), "Type VT_CLSID, {1652C33D-D6B2-4012-B834-72030849A37D}");
    // A subtype numbered by a format code: the code byte is not printable, the zero bytes end it.
    MF::PropVariantT<1> rgb32;
    ASSERT_EQ(InitPropVariantFromCLSID(MFVideoFormat_RGB32, &rgb32), S_OK);
    EXPECT_EQ(MF::FormatPropVariant(rgb32), "Type VT_CLSID, {00000016-0000-0010-8000-00AA00389B71}, FourCC .");
    PROPVARIANT empty = Scalar(VT_CLSID);
    EXPECT_EQ(MF::FormatPropVariant(empty), "Type VT_CLSID, (null)");
}

TEST(FormatTime, HoursMinutesSecondsAndSubseconds)
{
    EXPECT_EQ(MF::FormatTime(0), "00:00:00.000 0000");
    EXPECT_EQ(MF::FormatTime(-1), "-00:00:00.000 0001");
    EXPECT_EQ(MF::FormatTime(36'610'000'000), "01:01:01.000 0000");
    EXPECT_EQ(MF::FormatTime(1'234'567), "00:00:00.123 4567");
    EXPECT_EQ(MF::FormatTime(333'667), "00:00:00.033 3667");
    EXPECT_EQ(MF::FormatTime(-599'999'999), "-00:00:59.999 9999");
    // Hours are not limited to a day.
    EXPECT_EQ(MF::FormatTime(100LL * 3600 * 10'000'000), "100:00:00.000 0000");
    EXPECT_EQ(MF::FormatTime(INT64_MAX), "256204778:48:05.477 5807");
    EXPECT_EQ(MF::FormatTime(INT64_MIN), "-256204778:48:05.477 5808");
}

// ---- Media events ----------------------------------------------------------------------------

TEST(DescribeMediaEvent, TypeStatusAndValue)
{
    auto event = Make<Event>();
    event->Type = MEMediaSample;
    ASSERT_EQ(InitPropVariantFromUInt32(7, &event->Value), S_OK);
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "Type MEMediaSample, Value Type VT_UI4, 7");
    EXPECT_EQ(event->ExtendedTypeCalls, 0);

    event->Type = MEError;
    event->Status = MF_E_SHUTDOWN;
    ASSERT_NO_THROW(event->Value.Clear());
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "Type MEError, Status 0xC00D3E85, Value Type VT_EMPTY");

    event->Type = MEExtendedType;
    event->ExtendedType = UnknownKey;
    event->Status = S_OK;
    ASSERT_EQ(InitPropVariantFromString("text", &event->Value), S_OK);
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()),
        "Type MEExtendedType, ExtendedType {0BADF00D-1234-5678-9ABC-DEF012345678}, Value Type VT_LPWSTR, text");

    event->Type = 4711;
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "Type 0x1267, Value Type VT_LPWSTR, text");
    // A success code other than S_OK is a status worth showing too.
    event->Status = S_FALSE;
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "Type 0x1267, Status 0x00000001, Value Type VT_LPWSTR, text");
}

TEST(DescribeMediaEvent, LeavesOutWhatCannotBeRead)
{
    auto event = Make<Event>();
    event->Type = MEExtendedType;
    event->ExtendedTypeResult = E_FAIL;
    event->Status = E_FAIL;
    event->StatusResult = E_NOTIMPL;
    event->ValueResult = E_NOTIMPL;
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "Type MEExtendedType");
    event->TypeResult = E_NOTIMPL;
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "");
    // Without a type there is no extended type to ask for.
    event->ExtendedTypeCalls = 0;
    event->ExtendedTypeResult = S_OK;
    EXPECT_EQ(MF::DescribeMediaEvent(event.Get()), "");
    EXPECT_EQ(event->ExtendedTypeCalls, 0);
    EXPECT_EQ(MF::DescribeMediaEvent(nullptr), "");
}

// ---- Attribute stores ------------------------------------------------------------------------

TEST(TraceAttributes, OneLinePerItemUnderTheAttributeFunctionName)
{
    auto store = Make<Store>();
    ASSERT_EQ(store->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video), S_OK);
    ASSERT_EQ(store->SetUINT64(MF_MT_FRAME_SIZE, Pack2UINT32AsUINT64(1920, 1080)), S_OK);
    ASSERT_EQ(store->SetUINT32(UnknownKey, 5), S_OK);
    ASSERT_EQ(store->SetString(MF_MT_USER_DATA, "abc"), S_OK);

    TestSupport::TraceCapture capture;
    MF::TraceAttributes(store.Get(), MF::MediaTypeAttributeName);
    const std::vector<std::string> lines = capture.LinesContaining(": MF::TraceAttribute: ");
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines)
    {
        EXPECT_EQ(line.rfind("Names.cpp(", 0), 0u) << line;
        EXPECT_NE(line.find("): MF::TraceAttribute: "), std::string::npos) << line;
    }
    EXPECT_EQ(AttributeMessages(capture), (std::vector<std::string> {
        "MF_MT_MAJOR_TYPE, Type VT_CLSID, {73646976-0000-0010-8000-00AA00389B71}, FourCC vids\n",
        "MF_MT_FRAME_SIZE, Type VT_UI8, 8246337209400, 0x00000780 0x00000438, 1920 1080\n",
        "{0BADF00D-1234-5678-9ABC-DEF012345678}, Type VT_UI4, 5\n",
        "MF_MT_USER_DATA, Type VT_LPWSTR, abc\n",
    }));
}

TEST(TraceAttributes, LookupChoosesTheNames)
{
    auto store = Make<Store>();
    ASSERT_EQ(store->SetUINT32(MF_TOPOLOGY_HARDWARE_MODE, 1), S_OK);
    ASSERT_EQ(store->SetUINT32(MF_MT_AVG_BITRATE, 2), S_OK);
    TestSupport::TraceCapture capture;
    MF::TraceAttributes(store.Get(), MF::TopologyAttributeName);
    MF::TraceAttributes(store.Get(), nullptr);
    EXPECT_EQ(AttributeMessages(capture), (std::vector<std::string> {
        "MF_TOPOLOGY_HARDWARE_MODE, Type VT_UI4, 1\n",
        RegistryForm(MF_MT_AVG_BITRATE) + ", Type VT_UI4, 2\n",
        RegistryForm(MF_TOPOLOGY_HARDWARE_MODE) + ", Type VT_UI4, 1\n",
        RegistryForm(MF_MT_AVG_BITRATE) + ", Type VT_UI4, 2\n",
    }));
}

TEST(TraceAttributes, MediaTypeAperturesAsVideoAreas)
{
    auto mediaType = Make<MediaType>();
    const std::vector<BYTE> geometric = VideoArea(0x8000, 1, 0x4000, -2, 1920, 1080);
    const std::vector<BYTE> minimum = VideoArea(0, 0, 0, 0, 1280, -720);
    const std::vector<BYTE> shortArea = Sequence(15);
    const std::vector<BYTE> otherBlob = Sequence(16);
    ASSERT_EQ(mediaType->SetBlob(MF_MT_GEOMETRIC_APERTURE, geometric.data(), 16), S_OK);
    ASSERT_EQ(mediaType->SetBlob(MF_MT_MINIMUM_DISPLAY_APERTURE, minimum.data(), 16), S_OK);
    ASSERT_EQ(mediaType->SetBlob(MF_MT_PAN_SCAN_APERTURE, shortArea.data(), 15), S_OK);
    ASSERT_EQ(mediaType->SetBlob(MF_MT_USER_DATA, otherBlob.data(), 16), S_OK);
    ASSERT_EQ(mediaType->SetUINT32(MF_MT_INTERLACE_MODE, 2), S_OK);

    TestSupport::TraceCapture capture;
    MF::TraceMediaType(mediaType.Get());
    EXPECT_EQ(AttributeMessages(capture), (std::vector<std::string> {
        "MF_MT_GEOMETRIC_APERTURE, OffsetX 1.500, OffsetY -1.750, Area.cx 1920, Area.cy 1080\n",
        "MF_MT_MINIMUM_DISPLAY_APERTURE, OffsetX 0.000, OffsetY 0.000, Area.cx 1280, Area.cy -720\n",
        "MF_MT_PAN_SCAN_APERTURE, Type VT_VECTOR | VT_UI1, 15 elements, " + SequenceText(15) + "\n",
        "MF_MT_USER_DATA, Type VT_VECTOR | VT_UI1, 16 elements, " + SequenceText(16) + "\n",
        "MF_MT_INTERLACE_MODE, Type VT_UI4, 2\n",
    }));

    // The override leaves an aperture of another type alone.
    std::string text = "unchanged";
    PROPVARIANT number = Scalar(VT_UI4);
    EXPECT_FALSE(MF::FormatMediaTypeValue(MF_MT_PAN_SCAN_APERTURE, number, text));
    EXPECT_EQ(text, "unchanged");
}

TEST(TraceAttributes, ReadFailuresThrowTheirResult)
{
    auto store = Make<Store>();
    ASSERT_EQ(store->SetUINT32(MF_MT_AVG_BITRATE, 1), S_OK);
    ASSERT_EQ(store->SetUINT32(MF_MT_INTERLACE_MODE, 2), S_OK);
    TestSupport::TraceCapture capture;

    store->CountResult = MF_E_SHUTDOWN;
    EXPECT_EQ(Error::Guard([&] { MF::TraceAttributes(store.Get(), MF::MediaTypeAttributeName); }), MF_E_SHUTDOWN);
    EXPECT_TRUE(AttributeMessages(capture).empty());

    // Lines written before the failing item stand.
    store->CountResult = S_OK;
    store->FailingIndex = 1;
    EXPECT_EQ(Error::Guard([&] { MF::TraceAttributes(store.Get(), MF::MediaTypeAttributeName); }), MF_E_INVALIDINDEX);
    EXPECT_EQ(AttributeMessages(capture), (std::vector<std::string> { "MF_MT_AVG_BITRATE, Type VT_UI4, 1\n" }));

    EXPECT_EQ(Error::Guard([] { MF::TraceAttributes(nullptr, MF::MediaTypeAttributeName); }), E_POINTER);
    EXPECT_EQ(Error::Guard([] { MF::TraceMediaType(nullptr); }), E_POINTER);
}

TEST(TraceAttributes, EmptyStoreWritesNothing)
{
    auto store = Make<Store>();
    TestSupport::TraceCapture capture;
    MF::TraceAttributes(store.Get(), MF::MediaTypeAttributeName);
    EXPECT_TRUE(AttributeMessages(capture).empty());
}
