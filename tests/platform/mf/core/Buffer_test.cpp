#include "DataTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

using namespace DataTest;

namespace
{
constexpr HRESULT NotLocked = HResultFromWin32(158);

ComPtr<IMFMediaBuffer> MemoryBuffer(DWORD maxLength)
{
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_HR(S_OK, MFCreateMemoryBuffer(maxLength, buffer.GetAddressOf()));
    return buffer;
}

ComPtr<IMFMediaBuffer> FrameBuffer(DWORD width, DWORD height, const GUID& subtype, bool bottomUp)
{
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_HR(S_OK, MFCreate2DMediaBuffer(width, height, subtype.Data1, bottomUp, buffer.GetAddressOf()));
    return buffer;
}
} // namespace

TEST(MemoryBuffer, AnswersMediaBufferOnly)
{
    ComPtr<IMFMediaBuffer> buffer = MemoryBuffer(16);
    ComPtr<IUnknown> unknown;
    ComPtr<IMF2DBuffer> buffer2D;
    EXPECT_HR(S_OK, buffer.As(&unknown));
    EXPECT_HR(E_NOINTERFACE, buffer.As(&buffer2D));
    EXPECT_EQ(2u, CountOf(buffer.Get()));
    EXPECT_HR(E_POINTER, MFCreateMemoryBuffer(16, nullptr));
}

TEST(MemoryBuffer, LengthsAndLocks)
{
    ComPtr<IMFMediaBuffer> buffer = MemoryBuffer(100);
    DWORD maxLength = 0, currentLength = 7;
    EXPECT_HR(S_OK, buffer->GetMaxLength(&maxLength));
    EXPECT_HR(S_OK, buffer->GetCurrentLength(&currentLength));
    EXPECT_EQ(100u, maxLength);
    EXPECT_EQ(0u, currentLength);

    EXPECT_HR(S_OK, buffer->SetCurrentLength(100));
    EXPECT_HR(E_INVALIDARG, buffer->SetCurrentLength(101));
    EXPECT_HR(S_OK, buffer->GetCurrentLength(&currentLength));
    EXPECT_EQ(100u, currentLength); // unchanged by the refused length

    BYTE* data = nullptr;
    EXPECT_HR(S_OK, buffer->Lock(&data, &maxLength, &currentLength));
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 16);
    std::memset(data, 0xAB, 100);
    BYTE* again = nullptr;
    EXPECT_HR(S_OK, buffer->Lock(&again, nullptr, nullptr)); // locks nest, lengths optional
    EXPECT_EQ(data, again);
    EXPECT_HR(S_OK, buffer->Unlock());
    EXPECT_HR(S_OK, buffer->Unlock());
    EXPECT_HR(NotLocked, buffer->Unlock());

    EXPECT_HR(E_POINTER, buffer->Lock(nullptr, &maxLength, &currentLength));
    EXPECT_HR(E_POINTER, buffer->GetMaxLength(nullptr));
    EXPECT_HR(E_POINTER, buffer->GetCurrentLength(nullptr));

    // A zero-length buffer still locks to a valid pointer.
    ComPtr<IMFMediaBuffer> empty = MemoryBuffer(0);
    EXPECT_HR(S_OK, empty->Lock(&data, &maxLength, nullptr));
    EXPECT_NE(nullptr, data);
    EXPECT_EQ(0u, maxLength);
    EXPECT_HR(S_OK, empty->Unlock());
}

TEST(Buffer2D, AnswersBothViews)
{
    ComPtr<IMFMediaBuffer> buffer = FrameBuffer(4, 2, MFVideoFormat_ARGB32, false);
    ComPtr<IMF2DBuffer> buffer2D;
    ComPtr<IUnknown> fromMedia, from2D;
    ASSERT_HR(S_OK, buffer.As(&buffer2D));
    EXPECT_HR(S_OK, buffer.As(&fromMedia));
    EXPECT_HR(S_OK, buffer2D.As(&from2D));
    EXPECT_EQ(fromMedia.Get(), from2D.Get()); // one identity
    ComPtr<IMFMediaBuffer> back;
    EXPECT_HR(S_OK, buffer2D.As(&back));
    EXPECT_EQ(buffer.Get(), back.Get());
    EXPECT_EQ(5u, CountOf(buffer.Get()));
}

TEST(Buffer2D, CreationChecksFormatAndSize)
{
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_HR(MF_E_INVALIDMEDIATYPE, MFCreate2DMediaBuffer(4, 4, MFVideoFormat_I420.Data1, 0, buffer.GetAddressOf()));
    EXPECT_HR(E_INVALIDARG, MFCreate2DMediaBuffer(0, 4, MFVideoFormat_NV12.Data1, 0, buffer.GetAddressOf()));
    EXPECT_HR(E_INVALIDARG, MFCreate2DMediaBuffer(4, 0, MFVideoFormat_NV12.Data1, 0, buffer.GetAddressOf()));
    EXPECT_HR(E_INVALIDARG, MFCreate2DMediaBuffer(0x10000, 0x10000, MFVideoFormat_RGB32.Data1, 0, buffer.GetAddressOf()));
    EXPECT_EQ(nullptr, buffer.Get());
    EXPECT_HR(E_POINTER, MFCreate2DMediaBuffer(4, 4, MFVideoFormat_NV12.Data1, 0, nullptr));
}

TEST(Buffer2D, PitchAndContiguousLengthPerFormat)
{
    struct Case
    {
        const char* Name;
        GUID Subtype;
        DWORD Width, Height;
        bool BottomUp;
        LONG Pitch;
        DWORD Length;
    };
    const Case cases[] = {
        { "ARGB32", MFVideoFormat_ARGB32, 5, 3, false, 20, 60 },
        { "RGB32 bottom-up", MFVideoFormat_RGB32, 5, 3, true, -20, 60 },
        { "NV12", MFVideoFormat_NV12, 6, 4, false, 6, 36 },
        { "NV12 odd", MFVideoFormat_NV12, 5, 3, false, 6, 30 }, // 3 luma rows and 2 chroma rows of 6
        { "NV12 ignores bottom-up", MFVideoFormat_NV12, 4, 2, true, 4, 12 },
        { "YUY2 odd", MFVideoFormat_YUY2, 5, 2, false, 12, 24 },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.Name);
        ComPtr<IMFMediaBuffer> buffer = FrameBuffer(c.Width, c.Height, c.Subtype, c.BottomUp);
        ComPtr<IMF2DBuffer> buffer2D;
        ASSERT_HR(S_OK, buffer.As(&buffer2D));
        DWORD length = 0, maxLength = 0, currentLength = 0;
        EXPECT_HR(S_OK, buffer2D->GetContiguousLength(&length));
        EXPECT_HR(S_OK, buffer->GetMaxLength(&maxLength));
        EXPECT_HR(S_OK, buffer->GetCurrentLength(&currentLength));
        EXPECT_EQ(c.Length, length);
        EXPECT_EQ(c.Length, maxLength);
        EXPECT_EQ(c.Length, currentLength);
        BOOL contiguous = 0;
        EXPECT_HR(S_OK, buffer2D->IsContiguousFormat(&contiguous));
        EXPECT_TRUE(contiguous);

        BYTE* memory = nullptr;
        ASSERT_HR(S_OK, buffer->Lock(&memory, nullptr, nullptr));
        BYTE* scanline0 = nullptr;
        LONG pitch = 0;
        ASSERT_HR(S_OK, buffer2D->Lock2D(&scanline0, &pitch));
        EXPECT_EQ(c.Pitch, pitch);
        // Scanline 0 is the first row in memory, or the last one for bottom-up rows.
        EXPECT_EQ(memory + (pitch < 0 ? size_t(-pitch) * (c.Height - 1) : 0), scanline0);
        BYTE* again = nullptr;
        LONG againPitch = 0;
        EXPECT_HR(S_OK, buffer2D->GetScanline0AndPitch(&again, &againPitch));
        EXPECT_EQ(scanline0, again);
        EXPECT_EQ(pitch, againPitch);
        EXPECT_HR(S_OK, buffer2D->Unlock2D());
        EXPECT_HR(S_OK, buffer->Unlock());
    }
}

TEST(Buffer2D, BottomUpRowsReadTopDownThroughTheNegativePitch)
{
    constexpr DWORD Width = 3, Height = 4;
    ComPtr<IMFMediaBuffer> buffer = FrameBuffer(Width, Height, MFVideoFormat_RGB32, true);
    ComPtr<IMF2DBuffer> buffer2D;
    ASSERT_HR(S_OK, buffer.As(&buffer2D));
    BYTE* scanline0 = nullptr;
    LONG pitch = 0;
    ASSERT_HR(S_OK, buffer2D->Lock2D(&scanline0, &pitch));
    for (DWORD row = 0; row < Height; ++row)
        std::memset(scanline0 + LONG(row) * pitch, int(row + 1), Width * 4);
    ASSERT_HR(S_OK, buffer2D->Unlock2D());

    // In memory (the contiguous form) the picture lies bottom row first.
    std::vector<BYTE> contiguous(Width * 4 * Height);
    ASSERT_HR(S_OK, buffer2D->ContiguousCopyTo(contiguous.data(), DWORD(contiguous.size())));
    for (DWORD memoryRow = 0; memoryRow < Height; ++memoryRow)
        EXPECT_EQ(BYTE(Height - memoryRow), contiguous[memoryRow * Width * 4]) << memoryRow;

    // And back: a copy in replaces the whole frame.
    std::vector<BYTE> fresh(contiguous.size(), 0x5A);
    ASSERT_HR(S_OK, buffer2D->ContiguousCopyFrom(fresh.data(), DWORD(fresh.size())));
    BYTE* memory = nullptr;
    ASSERT_HR(S_OK, buffer->Lock(&memory, nullptr, nullptr));
    EXPECT_EQ(0, std::memcmp(fresh.data(), memory, fresh.size()));
    ASSERT_HR(S_OK, buffer->Unlock());
}

TEST(Buffer2D, FailuresOfThe2DView)
{
    ComPtr<IMFMediaBuffer> buffer = FrameBuffer(8, 8, MFVideoFormat_NV12, false);
    ComPtr<IMF2DBuffer> buffer2D;
    ASSERT_HR(S_OK, buffer.As(&buffer2D));
    BYTE* scanline0 = nullptr;
    LONG pitch = 0;
    DWORD length = 0;
    ASSERT_HR(S_OK, buffer2D->GetContiguousLength(&length));
    std::vector<BYTE> bytes(length);

    EXPECT_HR(NotLocked, buffer2D->GetScanline0AndPitch(&scanline0, &pitch));
    EXPECT_HR(NotLocked, buffer2D->Unlock2D());
    EXPECT_HR(E_POINTER, buffer2D->Lock2D(nullptr, &pitch));
    EXPECT_HR(E_POINTER, buffer2D->Lock2D(&scanline0, nullptr));
    EXPECT_HR(E_POINTER, buffer2D->GetContiguousLength(nullptr));
    EXPECT_HR(E_POINTER, buffer2D->IsContiguousFormat(nullptr));
    EXPECT_HR(E_POINTER, buffer2D->ContiguousCopyTo(nullptr, length));
    EXPECT_HR(E_POINTER, buffer2D->ContiguousCopyFrom(nullptr, length));
    EXPECT_HR(E_INVALIDARG, buffer2D->ContiguousCopyTo(bytes.data(), length - 1));
    EXPECT_HR(E_INVALIDARG, buffer2D->ContiguousCopyFrom(bytes.data(), length - 1));
    EXPECT_HR(E_INVALIDARG, buffer->SetCurrentLength(length + 1));
    EXPECT_HR(S_OK, buffer->SetCurrentLength(0));
}

TEST(MemoryBuffer, LocksFromManyThreadsBalance)
{
    ComPtr<IMFMediaBuffer> buffer = MemoryBuffer(64);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 5000; ++i)
            {
                BYTE* data = nullptr;
                ASSERT_HR(S_OK, buffer->Lock(&data, nullptr, nullptr));
                data[t] = BYTE(i);
                ASSERT_HR(S_OK, buffer->SetCurrentLength(DWORD(i % 65)));
                ASSERT_HR(S_OK, buffer->Unlock());
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_HR(NotLocked, buffer->Unlock()); // every lock was matched
}
