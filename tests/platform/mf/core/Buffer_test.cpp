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

// A frame buffer and its 2D view.
struct Frame
{
    ComPtr<IMFMediaBuffer> Buffer;
    ComPtr<IMF2DBuffer> View;
};
Frame FrameBuffer(DWORD width, DWORD height, const GUID& subtype, bool bottomUp)
{
    Frame frame;
    EXPECT_HR(S_OK, MFCreate2DMediaBuffer(width, height, subtype.Data1, bottomUp, frame.Buffer.GetAddressOf()));
    EXPECT_HR(S_OK, frame.Buffer.As(&frame.View));
    return frame;
}
} // namespace

TEST(Buffer, FailureTable)
{
    ComPtr<IMFMediaBuffer> memory = MemoryBuffer(16);
    auto [frame, view] = FrameBuffer(8, 8, MFVideoFormat_NV12, false);
    BYTE* data = nullptr;
    DWORD length = 0;
    LONG pitch = 0;
    std::vector<BYTE> bytes(96);
    ComPtr<IMFMediaBuffer> refused;
    ExpectCalls({
        CALL(E_NOINTERFACE, Query<IMF2DBuffer>(memory.Get())),
        CALL(S_OK, Query<IMF2DBuffer>(frame.Get())),
        CALL(S_OK, Query<IMFMediaBuffer>(view.Get())),
        CALL(E_POINTER, MFCreateMemoryBuffer(16, nullptr)),
        CALL(E_POINTER, MFCreate2DMediaBuffer(4, 4, MFVideoFormat_NV12.Data1, 0, nullptr)),
        CALL(MF_E_INVALIDMEDIATYPE, MFCreate2DMediaBuffer(4, 4, MFVideoFormat_I420.Data1, 0, refused.GetAddressOf())),
        CALL(E_INVALIDARG, MFCreate2DMediaBuffer(0, 4, MFVideoFormat_NV12.Data1, 0, refused.GetAddressOf())),
        CALL(E_INVALIDARG, MFCreate2DMediaBuffer(4, 0, MFVideoFormat_NV12.Data1, 0, refused.GetAddressOf())),
        CALL(E_INVALIDARG, MFCreate2DMediaBuffer(0x10000, 0x10000, MFVideoFormat_RGB32.Data1, 0, refused.GetAddressOf())),
        CALL(E_POINTER, memory->Lock(nullptr, &length, &length)),
        CALL(E_INVALIDARG, memory->SetCurrentLength(17)),
        CALL(NotLocked, memory->Unlock()),
        CALL(NotLocked, view->GetScanline0AndPitch(&data, &pitch)),
        CALL(NotLocked, view->Unlock2D()),
        CALL(E_POINTER, view->Lock2D(nullptr, &pitch)),
        CALL(E_INVALIDARG, view->ContiguousCopyTo(bytes.data(), 95)),
        CALL(E_INVALIDARG, view->ContiguousCopyFrom(bytes.data(), 95)),
        CALL(E_INVALIDARG, frame->SetCurrentLength(97)),
        CALL(S_OK, frame->SetCurrentLength(0)),
    });
    EXPECT_EQ(nullptr, refused.Get());
}

TEST(Buffer, MemoryLengthsAndNestedLocks)
{
    ComPtr<IMFMediaBuffer> buffer = MemoryBuffer(100);
    DWORD maxLength = 0, currentLength = 7;
    EXPECT_HR(S_OK, buffer->GetCurrentLength(&currentLength));
    EXPECT_EQ(0u, currentLength);
    EXPECT_HR(S_OK, buffer->SetCurrentLength(100));
    EXPECT_HR(E_INVALIDARG, buffer->SetCurrentLength(101));
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

    ComPtr<IMFMediaBuffer> empty = MemoryBuffer(0); // still locks to a valid pointer
    EXPECT_HR(S_OK, empty->Lock(&data, &maxLength, nullptr));
    EXPECT_NE(nullptr, data);
    EXPECT_EQ(0u, maxLength);
    EXPECT_HR(S_OK, empty->Unlock());
}

TEST(Buffer, LocksFromManyThreadsBalance)
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

TEST(Buffer, FramePitchAndContiguousLengthPerFormat)
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
        auto [buffer, view] = FrameBuffer(c.Width, c.Height, c.Subtype, c.BottomUp);
        DWORD length = 0, maxLength = 0, currentLength = 0;
        BOOL contiguous = 0;
        BYTE *memory = nullptr, *scanline0 = nullptr, *again = nullptr;
        LONG pitch = 0, againPitch = 0;
        EXPECT_HR(S_OK, view->GetContiguousLength(&length));
        EXPECT_HR(S_OK, view->IsContiguousFormat(&contiguous));
        EXPECT_TRUE(contiguous);
        ASSERT_HR(S_OK, buffer->Lock(&memory, &maxLength, &currentLength));
        EXPECT_EQ(c.Length, length);
        EXPECT_EQ(c.Length, maxLength);
        EXPECT_EQ(c.Length, currentLength);
        ASSERT_HR(S_OK, view->Lock2D(&scanline0, &pitch));
        EXPECT_EQ(c.Pitch, pitch);
        // Scanline 0 is the first row in memory, or the last one for bottom-up rows.
        EXPECT_EQ(memory + (pitch < 0 ? size_t(-pitch) * (c.Height - 1) : 0), scanline0);
        EXPECT_HR(S_OK, view->GetScanline0AndPitch(&again, &againPitch));
        EXPECT_EQ(scanline0, again);
        EXPECT_EQ(pitch, againPitch);
        EXPECT_HR(S_OK, view->Unlock2D());
        EXPECT_HR(S_OK, buffer->Unlock());
    }
}

TEST(Buffer, BottomUpRowsReadTopDownThroughTheNegativePitch)
{
    constexpr DWORD Width = 3, Height = 4, RowBytes = Width * 4;
    auto [buffer, view] = FrameBuffer(Width, Height, MFVideoFormat_RGB32, true);
    BYTE* scanline0 = nullptr;
    LONG pitch = 0;
    ASSERT_HR(S_OK, view->Lock2D(&scanline0, &pitch));
    for (DWORD row = 0; row < Height; ++row)
        std::memset(scanline0 + LONG(row) * pitch, int(row + 1), RowBytes);
    ASSERT_HR(S_OK, view->Unlock2D());

    // In memory (the contiguous form) the picture lies bottom row first.
    std::vector<BYTE> contiguous(RowBytes * Height);
    ASSERT_HR(S_OK, view->ContiguousCopyTo(contiguous.data(), DWORD(contiguous.size())));
    for (DWORD memoryRow = 0; memoryRow < Height; ++memoryRow)
        EXPECT_EQ(BYTE(Height - memoryRow), contiguous[memoryRow * RowBytes]) << memoryRow;

    // And back: a copy in replaces the whole frame.
    std::vector<BYTE> fresh(contiguous.size(), 0x5A);
    ASSERT_HR(S_OK, view->ContiguousCopyFrom(fresh.data(), DWORD(fresh.size())));
    BYTE* memory = nullptr;
    ASSERT_HR(S_OK, buffer->Lock(&memory, nullptr, nullptr));
    EXPECT_EQ(0, std::memcmp(fresh.data(), memory, fresh.size()));
    ASSERT_HR(S_OK, buffer->Unlock());
}
