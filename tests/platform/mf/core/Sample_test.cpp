#include "DataTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

using namespace DataTest;

namespace
{
ComPtr<IMFSample> NewSample()
{
    ComPtr<IMFSample> sample;
    EXPECT_HR(S_OK, MFCreateSample(sample.GetAddressOf()));
    return sample;
}

// A memory buffer holding `text` (without terminator) as its current bytes, with `spare` bytes more room.
ComPtr<IMFMediaBuffer> TextBuffer(const std::string& text, DWORD spare = 0)
{
    ComPtr<IMFMediaBuffer> buffer;
    EXPECT_HR(S_OK, MFCreateMemoryBuffer(DWORD(text.size()) + spare, buffer.GetAddressOf()));
    BYTE* data = nullptr;
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

std::vector<IMFMediaBuffer*> BuffersOf(IMFSample* sample)
{
    DWORD count = 0;
    EXPECT_HR(S_OK, sample->GetBufferCount(&count));
    std::vector<IMFMediaBuffer*> buffers;
    for (DWORD i = 0; i < count; ++i)
    {
        ComPtr<IMFMediaBuffer> buffer;
        EXPECT_HR(S_OK, sample->GetBufferByIndex(i, buffer.GetAddressOf()));
        buffers.push_back(buffer.Get()); // the sample keeps it alive
    }
    return buffers;
}
} // namespace

TEST(Sample, FailureTable)
{
    ComPtr<IMFSample> sample = NewSample();
    ComPtr<IMFMediaBuffer> buffer, small;
    ASSERT_HR(S_OK, MFCreateMemoryBuffer(1, small.GetAddressOf()));
    LONGLONG time = 0;
    DWORD flags = 9;
    ExpectCalls({
        CALL(S_OK, Query<IMFAttributes>(sample.Get())),
        CALL(E_NOINTERFACE, Query<IMFTrackedSample>(sample.Get())),
        CALL(E_NOINTERFACE, Query<IMFMediaType>(sample.Get())),
        CALL(E_POINTER, MFCreateSample(nullptr)),
        CALL(MF_E_NO_SAMPLE_TIMESTAMP, sample->GetSampleTime(&time)),
        CALL(MF_E_NO_SAMPLE_DURATION, sample->GetSampleDuration(&time)),
        CALL(S_OK, sample->GetSampleFlags(&flags)),
        CALL(E_UNEXPECTED, sample->ConvertToContiguousBuffer(buffer.GetAddressOf())), // no buffers
        CALL(E_POINTER, sample->GetSampleTime(nullptr)),
        CALL(S_OK, sample->AddBuffer(TextBuffer("ab").Get())),
        CALL(E_INVALIDARG, sample->GetBufferByIndex(1, buffer.GetAddressOf())),
        CALL(E_INVALIDARG, sample->RemoveBufferByIndex(1)),
        CALL(MF_E_BUFFERTOOSMALL, sample->CopyToBuffer(small.Get())),
    });
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(nullptr, buffer.Get());
    DWORD length = 9;
    EXPECT_HR(S_OK, small->GetCurrentLength(&length));
    EXPECT_EQ(0u, length); // nothing copied on failure
}

TEST(Sample, BuffersByIndexWithExactCounts)
{
    ComPtr<IMFSample> sample = NewSample();
    ComPtr<IMFMediaBuffer> a = TextBuffer("a"), b = TextBuffer("b"), c = TextBuffer("c");
    for (IMFMediaBuffer* buffer : { a.Get(), b.Get(), c.Get() })
        ASSERT_HR(S_OK, sample->AddBuffer(buffer));
    EXPECT_EQ((std::vector<IMFMediaBuffer*> { a.Get(), b.Get(), c.Get() }), BuffersOf(sample.Get()));
    EXPECT_EQ(2u, RefCount(b.Get())); // GetBufferByIndex's reference went with the ComPtr

    // Clearing the sample's attributes leaves its time and buffers alone.
    ASSERT_HR(S_OK, sample->SetSampleTime(-333666));
    ASSERT_HR(S_OK, sample->SetUINT32(MFSampleExtension_CleanPoint, 1));
    ASSERT_HR(S_OK, sample->DeleteAllItems());
    LONGLONG time = 0;
    EXPECT_HR(S_OK, sample->GetSampleTime(&time));
    EXPECT_EQ(-333666, time);

    ASSERT_HR(S_OK, sample->RemoveBufferByIndex(1));
    EXPECT_EQ(1u, RefCount(b.Get()));
    EXPECT_EQ((std::vector<IMFMediaBuffer*> { a.Get(), c.Get() }), BuffersOf(sample.Get()));
    ASSERT_HR(S_OK, sample->RemoveAllBuffers());
    EXPECT_EQ(1u, RefCount(a.Get()));
    EXPECT_EQ(1u, RefCount(c.Get()));
    EXPECT_TRUE(BuffersOf(sample.Get()).empty());
    ASSERT_HR(S_OK, sample->AddBuffer(a.Get()));
    sample = nullptr; // the sample's death lets go of its buffers
    EXPECT_EQ(1u, RefCount(a.Get()));
}

TEST(Sample, ContiguousBufferAndCopiesHoldTheCurrentBytesInOrder)
{
    ComPtr<IMFSample> sample = NewSample();
    ComPtr<IMFMediaBuffer> only = TextBuffer("only", 10), out;
    ASSERT_HR(S_OK, sample->AddBuffer(only.Get()));
    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(out.GetAddressOf()));
    EXPECT_EQ(only.Get(), out.Get()); // one buffer comes back as it is
    EXPECT_EQ(3u, RefCount(only.Get()));
    out = nullptr;

    ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer("-and-", 3).Get())); // spare room is not copied
    ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer("").Get()));
    ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer("more").Get()));
    DWORD total = 0;
    EXPECT_HR(S_OK, sample->GetTotalLength(&total));
    EXPECT_EQ(13u, total);

    // Into a memory buffer of the exact size and into a frame buffer: the current length
    // becomes the bytes copied, and the caller's reference is the only one.
    ComPtr<IMFMediaBuffer> exact, frame;
    ASSERT_HR(S_OK, MFCreateMemoryBuffer(13, exact.GetAddressOf()));
    ASSERT_HR(S_OK, MFCreate2DMediaBuffer(4, 1, MFVideoFormat_RGB32.Data1, 0, frame.GetAddressOf()));
    for (IMFMediaBuffer* target : { exact.Get(), frame.Get() })
    {
        ASSERT_HR(S_OK, sample->CopyToBuffer(target));
        EXPECT_EQ("only-and-more", TextOf(target));
        EXPECT_EQ(1u, RefCount(target));
    }

    // Several buffers are joined into a new one that replaces them.
    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(out.GetAddressOf()));
    EXPECT_EQ("only-and-more", TextOf(out.Get()));
    EXPECT_EQ((std::vector<IMFMediaBuffer*> { out.Get() }), BuffersOf(sample.Get()));
    EXPECT_EQ(2u, RefCount(out.Get()));
    EXPECT_EQ(1u, RefCount(only.Get()));
    EXPECT_HR(S_OK, sample->GetTotalLength(&total));
    EXPECT_EQ(13u, total);
}

TEST(Sample, ConcurrentBufferChangesAndJoinsKeepEveryByte)
{
    // Writers append one-byte buffers while others join them; at the end every byte is there
    // exactly once, whatever the interleaving.
    ComPtr<IMFSample> sample = NewSample();
    constexpr int Writers = 3, PerWriter = 300;
    std::vector<std::thread> threads;
    for (int w = 0; w < Writers; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < PerWriter; ++i)
            {
                ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer(std::string(1, char('a' + w))).Get()));
                ComPtr<IMFMediaBuffer> joined;
                DWORD total = 0;
                if (i % 10 == 0)
                {
                    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(joined.GetAddressOf()));
                    ASSERT_HR(S_OK, sample->GetTotalLength(&total));
                }
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
