#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace WorkTest;

namespace
{
constexpr GUID Extended = Guid::Parse("0c3a8e55-5b0e-4d7b-9f67-3b1a2e4c5d6f");
}

TEST(MediaEvent, CarriesTypeExtendedTypeStatusValueAndAttributes)
{
    PROPVARIANT text;
    ASSERT_HR(S_OK, InitPropVariantFromString("frame", &text));
    ComPtr<IMFMediaEvent> event;
    ASSERT_HR(S_OK, MFCreateMediaEvent(MEStreamTick, Extended, E_ABORT, &text, event.GetAddressOf()));
    std::strcpy(text.pwszVal, "other"); // the event took its own copy
    PropVariantClear(&text);

    MediaEventType type = MEUnknown;
    GUID extended = GUID_NULL;
    HRESULT status = S_OK;
    EXPECT_HR(S_OK, event->GetType(&type));
    EXPECT_HR(S_OK, event->GetExtendedType(&extended));
    EXPECT_HR(S_OK, event->GetStatus(&status));
    EXPECT_EQ(type, MEStreamTick);
    EXPECT_EQ(extended, Extended);
    EXPECT_HR(E_ABORT, status);
    for (int i = 0; i < 2; ++i) // each GetValue hands out a copy the caller clears
    {
        PROPVARIANT value;
        PropVariantInit(&value);
        ASSERT_HR(S_OK, event->GetValue(&value));
        ASSERT_EQ(value.vt, VT_LPWSTR);
        EXPECT_STREQ(value.pwszVal, "frame");
        PropVariantClear(&value);
    }

    // The generator marks need-input events with their stream through the event's attributes.
    EXPECT_HR(S_OK, event->SetUINT32(MF_EVENT_MFT_INPUT_STREAM_ID, 0));
    UINT32 stream = 7;
    EXPECT_HR(S_OK, event->GetUINT32(MF_EVENT_MFT_INPUT_STREAM_ID, &stream));
    EXPECT_EQ(stream, 0u);

    ComPtr<IMFAttributes> attributes;
    ComPtr<IUnknown> unknown;
    ComPtr<IMFMediaType> mediaType;
    EXPECT_HR(S_OK, event.As(&attributes));
    EXPECT_HR(S_OK, event.As(&unknown));
    EXPECT_HR(E_NOINTERFACE, event.As(&mediaType));
    EXPECT_EQ(CountOf(event.Get()), 3u);
}

TEST(MediaEvent, HoldsAnObjectValueAndRefusesNullsAndUnknownValueTypes)
{
    auto object = Make<Probe>();
    PROPVARIANT value;
    InitPropVariantFromUnknown(object.Get(), &value);
    ComPtr<IMFMediaEvent> event;
    ASSERT_HR(S_OK, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, &value, event.GetAddressOf()));
    PropVariantClear(&value);
    EXPECT_EQ(object->Count(), 2u);
    event = nullptr;
    EXPECT_EQ(object->Count(), 1u);

    ASSERT_HR(S_OK, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, nullptr, event.GetAddressOf()));
    PropVariantInit(&value);
    EXPECT_HR(S_OK, event->GetValue(&value));
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_HR(E_POINTER, event->GetType(nullptr));
    EXPECT_HR(E_POINTER, event->GetExtendedType(nullptr));
    EXPECT_HR(E_POINTER, event->GetStatus(nullptr));
    EXPECT_HR(E_POINTER, event->GetValue(nullptr));
    EXPECT_HR(E_POINTER, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, nullptr, nullptr));

    PROPVARIANT strange;
    PropVariantInit(&strange);
    strange.vt = 0x0FFF;
    ComPtr<IMFMediaEvent> refused;
    EXPECT_HR(E_INVALIDARG, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, &strange, refused.GetAddressOf()));
    EXPECT_EQ(refused.Get(), nullptr);
}
