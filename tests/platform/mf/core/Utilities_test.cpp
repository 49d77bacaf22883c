#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <limits>

using namespace WorkTest;

TEST(CalculateImageSize, SizesPerSubtypeWithOddDimensions)
{
    const std::tuple<const char*, GUID, UINT32, UINT32, UINT32> cases[] = {
        { "RGB32 odd", MFVideoFormat_RGB32, 3, 3, 36 },
        { "NV12", MFVideoFormat_NV12, 1920, 1080, 1920 * 1080 * 3 / 2 },
        { "NV12 odd width", MFVideoFormat_NV12, 3, 2, 12 },  // rounded up to an even width
        { "NV12 odd height", MFVideoFormat_NV12, 4, 3, 18 }, // half of 3 rows truncated, as the platform does
        { "YUY2 odd width", MFVideoFormat_YUY2, 5, 2, 24 },  // the last pixel still takes a whole pair
    };
    for (const auto& [name, subtype, width, height, expected] : cases)
    {
        UINT32 size = 1;
        EXPECT_HR(S_OK, MFCalculateImageSize(subtype, width, height, &size)) << name;
        EXPECT_EQ(expected, size) << name;
    }
    UINT32 size = 1;
    EXPECT_HR(E_INVALIDARG, MFCalculateImageSize(MFVideoFormat_I420, 4, 4, &size));
    EXPECT_EQ(0u, size);
    // A size that does not fit 32 bits is refused, not wrapped.
    EXPECT_HR(HResultFromWin32(534), MFCalculateImageSize(MFVideoFormat_ARGB32, 0x10000, 0x10000, &size));
}

TEST(MulDiv, TruncatesRoundsAndSaturates)
{
    constexpr LONGLONG Max = std::numeric_limits<LONGLONG>::max(), Big = Max / 3, C = 1001 * 10'000'000LL;
    EXPECT_EQ(333666, MFllMulDiv(1, C, 30000, 0)); // sample times at 30000/1001 truncate
    EXPECT_EQ(0, MFllMulDiv(166833, 30000, C, C / 2)); // the index of a position rounds to nearest with d = c / 2
    EXPECT_EQ(1, MFllMulDiv(166834, 30000, C, C / 2));
    EXPECT_EQ(-Big, MFllMulDiv(-Big, 1000000007, 1000000007, 0)); // no overflow in the product
    EXPECT_EQ(-3, MFllMulDiv(-7, 1, 2, 0)); // truncates toward zero
    // A quotient beyond 64 bits, or a zero divisor, saturates.
    EXPECT_EQ(Max, MFllMulDiv(Big, 10, 1, 0));
    EXPECT_EQ(std::numeric_limits<LONGLONG>::min(), MFllMulDiv(-Big, 10, 1, 0));
    EXPECT_EQ(Max, MFllMulDiv(5, 5, 0, 0));
}

TEST(AttributeHelpers, PackedSizesRatiosAndDefaults)
{
    ComPtr<IMFAttributes> store;
    ASSERT_HR(S_OK, MFCreateAttributes(store.GetAddressOf(), 0));
    ASSERT_HR(S_OK, MFSetAttributeSize(store.Get(), MF_MT_FRAME_SIZE, 1920, 1080));
    ASSERT_HR(S_OK, store->SetUINT32(MF_MT_PIXEL_ASPECT_RATIO, 1));
    EXPECT_EQ((UINT64(1920) << 32) | 1080, MFGetAttributeUINT64(store.Get(), MF_MT_FRAME_SIZE, 7)); // width high, height low
    UINT32 width = 5, height = 5;
    EXPECT_HR(MF_E_INVALIDTYPE, MFGetAttributeRatio(store.Get(), MF_MT_PIXEL_ASPECT_RATIO, &width, &height));
    EXPECT_EQ(5u, width); // untouched on failure
    EXPECT_EQ(7u, MFGetAttributeUINT32(store.Get(), MF_MT_FRAME_SIZE, 7)); // wrong type: the default
    EXPECT_EQ(7u, MFGetAttributeUINT64(store.Get(), MF_MT_AVG_BITRATE, 7));
}

TEST(Collection, KeepsElementsInOrderAndLetsGoOfThemAtTheEnd)
{
    ComPtr<IMFCollection> collection;
    ComPtr<IUnknown> element;
    auto a = Make<Probe>(), b = Make<Probe>();
    ASSERT_HR(S_OK, MFCreateCollection(collection.GetAddressOf()));
    EXPECT_HR(S_OK, collection->AddElement(a.Get()));
    EXPECT_HR(S_OK, collection->AddElement(b.Get()));
    EXPECT_HR(E_INVALIDARG, collection->GetElement(2, element.GetAddressOf()));
    EXPECT_HR(S_OK, collection->GetElement(1, element.GetAddressOf()));
    EXPECT_EQ(static_cast<IUnknown*>(b.Get()), element.Get());
    element = nullptr, collection = nullptr;
    EXPECT_EQ(RefCount(a.Get()) + RefCount(b.Get()), 2u);
}
