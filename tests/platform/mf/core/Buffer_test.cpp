#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace WorkTest;

TEST(Buffer, LengthsNestedLocksAndRefusals)
{
    constexpr HRESULT NotLocked = HResultFromWin32(158);
    ComPtr<IMFMediaBuffer> buffer;
    ASSERT_HR(S_OK, MFCreateMemoryBuffer(100, buffer.GetAddressOf()));
    EXPECT_HR(E_POINTER, MFCreateMemoryBuffer(16, nullptr));
    DWORD maxLength = 0, currentLength = 7;
    EXPECT_HR(S_OK, buffer->GetCurrentLength(&currentLength));
    EXPECT_EQ(0u, currentLength);
    EXPECT_HR(S_OK, buffer->SetCurrentLength(100));
    EXPECT_HR(E_INVALIDARG, buffer->SetCurrentLength(101));
    EXPECT_HR(NotLocked, buffer->Unlock());
    EXPECT_HR(E_POINTER, buffer->Lock(nullptr, &maxLength, &currentLength));
    BYTE* data = nullptr;
    EXPECT_HR(S_OK, buffer->Lock(&data, &maxLength, &currentLength));
    EXPECT_EQ(100u, maxLength);
    EXPECT_EQ(100u, currentLength); // unchanged by the refused length
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 16);
    std::memset(data, 0xAB, 100);
    BYTE* again = nullptr;
    EXPECT_HR(S_OK, buffer->Lock(&again, nullptr, nullptr)); // locks nest, lengths optional
    EXPECT_EQ(data, again);
    EXPECT_HR(S_OK, buffer->Unlock());
    EXPECT_HR(S_OK, buffer->Unlock());
    EXPECT_HR(NotLocked, buffer->Unlock());

    ComPtr<IMFMediaBuffer> empty; // still locks to a valid pointer
    ASSERT_HR(S_OK, MFCreateMemoryBuffer(0, empty.GetAddressOf()));
    EXPECT_HR(S_OK, empty->Lock(&data, &maxLength, nullptr));
    EXPECT_NE(nullptr, data);
    EXPECT_EQ(0u, maxLength);
    EXPECT_HR(S_OK, empty->Unlock());
}
