#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <limits>

using namespace WorkTest;

TEST(CalculateImageSize, SizesPerSubtypeWithOddDimensions)
{
    struct Case
    {
        const char* Name;
        GUID Subtype;
        UINT32 Width, Height, Size;
    };
    const Case cases[] = {
        { "ARGB32", MFVideoFormat_ARGB32, 640, 480, 640 * 480 * 4 },
        { "RGB32 odd", MFVideoFormat_RGB32, 3, 3, 36 },
        { "NV12", MFVideoFormat_NV12, 1920, 1080, 1920 * 1080 * 3 / 2 },
        { "NV12 odd width", MFVideoFormat_NV12, 3, 2, 12 },  // rounded up to an even width
        { "NV12 odd height", MFVideoFormat_NV12, 4, 3, 18 }, // half of 3 rows truncated, as the platform does
        { "YUY2", MFVideoFormat_YUY2, 4, 2, 16 },
        { "YUY2 odd width", MFVideoFormat_YUY2, 5, 2, 24 },  // the last pixel still takes a whole pair
        { "empty", MFVideoFormat_NV12, 0, 0, 0 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        UINT32 size = 1;
        EXPECT_HR(S_OK, MFCalculateImageSize(c.Subtype, c.Width, c.Height, &size));
        EXPECT_EQ(c.Size, size);
    }
    UINT32 size = 1;
    EXPECT_HR(E_INVALIDARG, MFCalculateImageSize(MFVideoFormat_I420, 4, 4, &size));
    EXPECT_EQ(0u, size);
    // A size that does not fit 32 bits is refused, not wrapped.
    EXPECT_HR(HResultFromWin32(534), MFCalculateImageSize(MFVideoFormat_ARGB32, 0x10000, 0x10000, &size));
    EXPECT_EQ(0u, size);
}

TEST(MulDiv, SampleTimesTruncateAndIndexesRound)
{
    // Sample times at 30000/1001: time(i) = i * 1001 * 10^7 / 30000, truncated.
    const LONGLONG denominator = 1001, numerator = 30000;
    LONGLONG previous = 0;
    const LONGLONG expectedDurations[] = { 333666, 333667, 333667, 333666, 333667, 333667 };
    for (int i = 1; i <= 6; ++i)
    {
        const LONGLONG time = MFllMulDiv(i, denominator * 10000000, numerator, 0);
        EXPECT_EQ(expectedDurations[i - 1], time - previous) << i;
        previous = time;
    }
    // The index of a position rounds to nearest with d = c / 2.
    const LONGLONG c = denominator * 10000000;
    EXPECT_EQ(1, MFllMulDiv(333667, numerator, c, c / 2));
    EXPECT_EQ(0, MFllMulDiv(166833, numerator, c, c / 2)); // just under half a frame
    EXPECT_EQ(1, MFllMulDiv(166834, numerator, c, c / 2)); // just over

    // No overflow in the product: a full 64-bit value times a large factor.
    const LONGLONG big = std::numeric_limits<LONGLONG>::max() / 3;
    EXPECT_EQ(big, MFllMulDiv(big, 1000000007, 1000000007, 0));
    EXPECT_EQ(-big, MFllMulDiv(-big, 1000000007, 1000000007, 0));
    EXPECT_EQ(-3, MFllMulDiv(-7, 1, 2, 0)); // truncates toward zero
    // A quotient beyond 64 bits, or a zero divisor, saturates.
    EXPECT_EQ(std::numeric_limits<LONGLONG>::max(), MFllMulDiv(big, 10, 1, 0));
    EXPECT_EQ(std::numeric_limits<LONGLONG>::min(), MFllMulDiv(-big, 10, 1, 0));
    EXPECT_EQ(std::numeric_limits<LONGLONG>::max(), MFllMulDiv(5, 5, 0, 0));
}

TEST(AttributeHelpers, PackedSizesRatiosAndDefaults)
{
    ComPtr<IMFAttributes> store;
    ASSERT_HR(S_OK, MFCreateAttributes(store.GetAddressOf(), 0));
    ASSERT_HR(S_OK, MFSetAttributeSize(store.Get(), MF_MT_FRAME_SIZE, 1920, 1080));
    ASSERT_HR(S_OK, MFSetAttributeRatio(store.Get(), MF_MT_FRAME_RATE, 30000, 1001));
    ASSERT_HR(S_OK, store->SetUINT32(MF_MT_PIXEL_ASPECT_RATIO, 1));
    const UINT64 packed = (UINT64(1920) << 32) | 1080; // width high, height low
    EXPECT_EQ(packed, MFGetAttributeUINT64(store.Get(), MF_MT_FRAME_SIZE, 7));
    UINT32 width = 5, height = 5;
    EXPECT_HR(MF_E_ATTRIBUTENOTFOUND, MFGetAttributeSize(store.Get(), MF_MT_AVG_BITRATE, &width, &height));
    EXPECT_HR(MF_E_INVALIDTYPE, MFGetAttributeRatio(store.Get(), MF_MT_PIXEL_ASPECT_RATIO, &width, &height));
    EXPECT_EQ(5u, width); // untouched on failure
    EXPECT_HR(S_OK, MFGetAttributeRatio(store.Get(), MF_MT_FRAME_RATE, &width, &height));
    EXPECT_EQ(30000u, width);
    EXPECT_EQ(1001u, height);
    EXPECT_EQ(1u, MFGetAttributeUINT32(store.Get(), MF_MT_PIXEL_ASPECT_RATIO, 7));
    EXPECT_EQ(7u, MFGetAttributeUINT32(store.Get(), MF_MT_FRAME_SIZE, 7)); // wrong type: the default
    EXPECT_EQ(7u, MFGetAttributeUINT64(store.Get(), MF_MT_AVG_BITRATE, 7));
}

TEST(Collection, KeepsElementsInOrderAndLetsGoOfThemAtTheEnd)
{
    ComPtr<IMFCollection> collection;
    ASSERT_HR(S_OK, MFCreateCollection(collection.GetAddressOf()));
    ComPtr<Probe> a = Make<Probe>(), b = Make<Probe>();
    ComPtr<IUnknown> element;
    EXPECT_HR(S_OK, collection->AddElement(a.Get()));
    EXPECT_HR(S_OK, collection->AddElement(b.Get()));
    EXPECT_HR(E_INVALIDARG, collection->GetElement(2, element.GetAddressOf()));
    EXPECT_HR(S_OK, collection->GetElement(1, element.GetAddressOf()));
    EXPECT_EQ(static_cast<IUnknown*>(b.Get()), element.Get());
    element = nullptr;
    collection = nullptr;
    EXPECT_EQ(1u, RefCount(a.Get()));
    EXPECT_EQ(1u, RefCount(b.Get()));
}
