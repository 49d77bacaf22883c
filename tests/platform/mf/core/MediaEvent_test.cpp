#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace WorkTest;

TEST(MediaEvent, CarriesTypeExtendedTypeStatusAndACopyOfItsValue)
{
    constexpr GUID Extended = Guid::Parse("0c3a8e55-5b0e-4d7b-9f67-3b1a2e4c5d6f");
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
        PROPVARIANT value = VariantOfType(VT_EMPTY);
        ASSERT_HR(S_OK, event->GetValue(&value));
        ASSERT_EQ(value.vt, VT_LPWSTR);
        EXPECT_STREQ(value.pwszVal, "frame");
        PropVariantClear(&value);
    }
}

TEST(MediaEvent, HoldsAnObjectValueAndRefusesBadCalls)
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
    ComPtr<IMFMediaEvent> refused;
    PROPVARIANT strange = VariantOfType(0x0FFF);
    ExpectCalls({
        CALL(S_OK, Query<IMFAttributes>(event.Get())),
        CALL(E_NOINTERFACE, Query<IMFMediaType>(event.Get())),
        CALL(S_OK, event->GetValue(&value)),
        CALL(E_POINTER, event->GetType(nullptr)),
        CALL(E_POINTER, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, nullptr, nullptr)),
        CALL(E_INVALIDARG, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, &strange, refused.GetAddressOf())),
    });
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(refused.Get(), nullptr);
}
