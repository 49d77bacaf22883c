#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace WorkTest;

TEST(MediaEvent, CarriesTypeExtendedTypeStatusAndCopiesOfItsValue)
{
    constexpr GUID Extended = Guid::Parse("0c3a8e55-5b0e-4d7b-9f67-3b1a2e4c5d6f");
    PROPVARIANT value;
    ASSERT_HR(S_OK, InitPropVariantFromString("frame", &value));
    ComPtr<IMFMediaEvent> event;
    ASSERT_HR(S_OK, MFCreateMediaEvent(MEStreamTick, Extended, E_ABORT, &value, event.GetAddressOf()));
    std::strcpy(value.pwszVal, "other"); // the event took its own copy
    PropVariantClear(&value);
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
        ASSERT_HR(S_OK, event->GetValue(&value));
        ASSERT_EQ(value.vt, VT_LPWSTR);
        EXPECT_STREQ(value.pwszVal, "frame");
        PropVariantClear(&value);
    }

    auto object = Make<Probe>();
    InitPropVariantFromUnknown(object.Get(), &value);
    ASSERT_HR(S_OK, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, &value, event.ReleaseAndGetAddressOf()));
    PropVariantClear(&value);
    EXPECT_EQ(RefCount(object.Get()), 2u);
    event = nullptr;
    EXPECT_EQ(RefCount(object.Get()), 1u);
    value.vt = 0x0FFF;
    EXPECT_HR(E_INVALIDARG, MFCreateMediaEvent(MEError, GUID_NULL, S_OK, &value, event.GetAddressOf()));
    EXPECT_EQ(event.Get(), nullptr);
}
