#include "WorkTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace WorkTest;

namespace
{
// A memory buffer holding `text` (without terminator) as its current bytes, with `spare` bytes more room.
ComPtr<IMFMediaBuffer> TextBuffer(const std::string& text, DWORD spare = 0)
{
    ComPtr<IMFMediaBuffer> buffer;
    BYTE* data = nullptr;
    EXPECT_HR(S_OK, MFCreateMemoryBuffer(DWORD(text.size()) + spare, buffer.GetAddressOf()));
    EXPECT_HR(S_OK, buffer->Lock(&data, nullptr, nullptr));
    std::memcpy(data, text.data(), text.size());
    EXPECT_HR(S_OK, buffer->Unlock());
    EXPECT_HR(S_OK, buffer->SetCurrentLength(DWORD(text.size())));
    return buffer;
}

std::string TextOf(IMFMediaBuffer* buffer)
{
    BYTE* data = nullptr;
    DWORD length = 0;
    EXPECT_HR(S_OK, buffer->Lock(&data, nullptr, &length));
    std::string text(reinterpret_cast<const char*>(data), length);
    EXPECT_HR(S_OK, buffer->Unlock());
    return text;
}
} // namespace

TEST(Buffer, LengthsNestedLocksAndRefusals)
{
    constexpr HRESULT NotLocked = HResultFromWin32(158);
    ComPtr<IMFMediaBuffer> buffer = TextBuffer("", 100), empty = TextBuffer("");
    DWORD maxLength = 0, currentLength = 7;
    EXPECT_HR(E_INVALIDARG, buffer->SetCurrentLength(101));
    EXPECT_HR(NotLocked, buffer->Unlock());
    BYTE *data = nullptr, *again = nullptr;
    EXPECT_HR(S_OK, buffer->Lock(&data, &maxLength, &currentLength));
    EXPECT_EQ(100u, maxLength);
    EXPECT_EQ(0u, currentLength);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(data) % 16);
    EXPECT_HR(S_OK, buffer->Lock(&again, nullptr, nullptr)); // locks nest
    EXPECT_EQ(data, again);
    EXPECT_HR(S_OK, buffer->Unlock());
    EXPECT_HR(S_OK, buffer->Unlock());
    EXPECT_HR(NotLocked, buffer->Unlock());
    EXPECT_HR(S_OK, empty->Lock(&data, nullptr, nullptr)); // an empty buffer still locks to a valid pointer
    EXPECT_NE(nullptr, data);
    EXPECT_HR(S_OK, empty->Unlock());
}

TEST(Sample, TimesBuffersAndTheContiguousFormWithExactCounts)
{
    ComPtr<IMFSample> sample;
    ASSERT_HR(S_OK, MFCreateSample(sample.GetAddressOf()));
    ComPtr<IMFMediaBuffer> out;
    LONGLONG time = 0;
    EXPECT_HR(MF_E_NO_SAMPLE_TIMESTAMP, sample->GetSampleTime(&time));
    EXPECT_HR(E_UNEXPECTED, sample->ConvertToContiguousBuffer(out.GetAddressOf())); // no buffers
    // Clearing the sample's attributes leaves its time alone.
    ASSERT_HR(S_OK, sample->SetSampleTime(-333666));
    ASSERT_HR(S_OK, sample->DeleteAllItems());
    EXPECT_HR(S_OK, sample->GetSampleTime(&time));
    EXPECT_EQ(-333666, time);

    ComPtr<IMFMediaBuffer> only = TextBuffer("only", 10);
    ASSERT_HR(S_OK, sample->AddBuffer(only.Get()));
    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(out.GetAddressOf()));
    EXPECT_EQ(only.Get(), out.Get()); // one buffer comes back as it is
    out = nullptr;
    for (const char* text : { "-and-", "", "more" })
        ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer(text, 3).Get())); // spare room is not copied
    // Several buffers are joined into a new one that replaces them.
    DWORD count = 0;
    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(out.GetAddressOf()));
    EXPECT_EQ("only-and-more", TextOf(out.Get()));
    EXPECT_HR(S_OK, sample->GetBufferCount(&count));
    EXPECT_EQ(1u, count);
    EXPECT_EQ(1u, RefCount(only.Get()));
    sample = nullptr; // the sample's death lets go of its buffers
    EXPECT_EQ(1u, RefCount(out.Get()));
}

// Buffers added while others are joined are never lost: every byte is there exactly once.
TEST(Sample, ConcurrentBufferChangesAndJoinsKeepEveryByte)
{
    ComPtr<IMFSample> sample;
    ASSERT_HR(S_OK, MFCreateSample(sample.GetAddressOf()));
    constexpr int Writers = 3, PerWriter = 300;
    std::vector<std::thread> threads;
    for (int w = 0; w < Writers; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < PerWriter; ++i)
            {
                ComPtr<IMFMediaBuffer> joined;
                ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer(std::string(1, char('a' + w))).Get()));
                ASSERT_HR(S_OK, i % 10 ? S_OK : sample->ConvertToContiguousBuffer(joined.GetAddressOf()));
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    ComPtr<IMFMediaBuffer> joined;
    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(joined.GetAddressOf()));
    const std::string text = TextOf(joined.Get());
    ASSERT_EQ(size_t(Writers * PerWriter), text.size());
    for (int w = 0; w < Writers; ++w)
        EXPECT_EQ(PerWriter, std::count(text.begin(), text.end(), char('a' + w)));
}
