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

TEST(Sample, AnswersSampleAndAttributesButIsNotTracked)
{
    ComPtr<IMFSample> sample = NewSample();
    ComPtr<IMFAttributes> attributes;
    ComPtr<IUnknown> unknown;
    ComPtr<IMFTrackedSample> tracked;
    ComPtr<IMFMediaType> type;
    EXPECT_HR(S_OK, sample.As(&attributes));
    EXPECT_HR(S_OK, sample.As(&unknown));
    EXPECT_HR(E_NOINTERFACE, sample.As(&tracked));
    EXPECT_HR(E_NOINTERFACE, sample.As(&type));
    EXPECT_EQ(3u, CountOf(sample.Get()));
    EXPECT_HR(E_POINTER, MFCreateSample(nullptr));
}

TEST(Sample, TimeDurationAndFlags)
{
    ComPtr<IMFSample> sample = NewSample();
    LONGLONG time = 0, duration = 0;
    DWORD flags = 9;
    EXPECT_HR(MF_E_NO_SAMPLE_TIMESTAMP, sample->GetSampleTime(&time));
    EXPECT_HR(MF_E_NO_SAMPLE_DURATION, sample->GetSampleDuration(&duration));
    EXPECT_HR(S_OK, sample->GetSampleFlags(&flags));
    EXPECT_EQ(0u, flags);
    ASSERT_HR(S_OK, sample->SetSampleTime(-333666));
    ASSERT_HR(S_OK, sample->SetSampleDuration(333667));
    ASSERT_HR(S_OK, sample->SetSampleFlags(5));
    EXPECT_HR(S_OK, sample->GetSampleTime(&time));
    EXPECT_HR(S_OK, sample->GetSampleDuration(&duration));
    EXPECT_HR(S_OK, sample->GetSampleFlags(&flags));
    EXPECT_EQ(-333666, time);
    EXPECT_EQ(333667, duration);
    EXPECT_EQ(5u, flags);
    EXPECT_HR(E_POINTER, sample->GetSampleTime(nullptr));
    EXPECT_HR(E_POINTER, sample->GetSampleDuration(nullptr));
    EXPECT_HR(E_POINTER, sample->GetSampleFlags(nullptr));

    // Attributes are the sample's own and do not touch time or buffers.
    ASSERT_HR(S_OK, sample->SetUINT32(MFSampleExtension_CleanPoint, 1));
    ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer("x").Get()));
    ASSERT_HR(S_OK, sample->DeleteAllItems());
    EXPECT_HR(S_OK, sample->GetSampleTime(&time));
    DWORD count = 0;
    EXPECT_HR(S_OK, sample->GetBufferCount(&count));
    EXPECT_EQ(1u, count);
}

TEST(Sample, BuffersByIndexWithExactCounts)
{
    ComPtr<IMFSample> sample = NewSample();
    ComPtr<IMFMediaBuffer> a = TextBuffer("a"), b = TextBuffer("b"), c = TextBuffer("c");
    ASSERT_HR(S_OK, sample->AddBuffer(a.Get()));
    ASSERT_HR(S_OK, sample->AddBuffer(b.Get()));
    ASSERT_HR(S_OK, sample->AddBuffer(c.Get()));
    EXPECT_EQ(2u, CountOf(a.Get()));
    EXPECT_EQ((std::vector<IMFMediaBuffer*> { a.Get(), b.Get(), c.Get() }), BuffersOf(sample.Get()));
    EXPECT_EQ(2u, CountOf(b.Get())); // GetBufferByIndex's reference went with the ComPtr

    ComPtr<IMFMediaBuffer> out;
    EXPECT_HR(E_INVALIDARG, sample->GetBufferByIndex(3, out.GetAddressOf()));
    EXPECT_EQ(nullptr, out.Get());
    EXPECT_HR(E_POINTER, sample->GetBufferByIndex(0, nullptr));
    EXPECT_HR(E_POINTER, sample->GetBufferCount(nullptr));
    EXPECT_HR(E_POINTER, sample->AddBuffer(nullptr));
    EXPECT_HR(E_INVALIDARG, sample->RemoveBufferByIndex(3));

    ASSERT_HR(S_OK, sample->RemoveBufferByIndex(1));
    EXPECT_EQ(1u, CountOf(b.Get()));
    EXPECT_EQ((std::vector<IMFMediaBuffer*> { a.Get(), c.Get() }), BuffersOf(sample.Get()));
    ASSERT_HR(S_OK, sample->RemoveAllBuffers());
    EXPECT_EQ(1u, CountOf(a.Get()));
    EXPECT_EQ(1u, CountOf(c.Get()));
    EXPECT_TRUE(BuffersOf(sample.Get()).empty());

    ASSERT_HR(S_OK, sample->AddBuffer(a.Get()));
    sample = nullptr; // the sample's death lets go of its buffers
    EXPECT_EQ(1u, CountOf(a.Get()));
}

TEST(Sample, ConvertToContiguousBuffer)
{
    ComPtr<IMFSample> sample = NewSample();
    ComPtr<IMFMediaBuffer> out;
    EXPECT_HR(E_UNEXPECTED, sample->ConvertToContiguousBuffer(out.GetAddressOf()));
    EXPECT_HR(E_POINTER, sample->ConvertToContiguousBuffer(nullptr));

    // One buffer comes back as it is.
    ComPtr<IMFMediaBuffer> only = TextBuffer("only", 10);
    ASSERT_HR(S_OK, sample->AddBuffer(only.Get()));
    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(out.GetAddressOf()));
    EXPECT_EQ(only.Get(), out.Get());
    EXPECT_EQ(3u, CountOf(only.Get()));
    out = nullptr;

    // Several are joined (current bytes only) into a new buffer that replaces them.
    ComPtr<IMFMediaBuffer> second = TextBuffer("-and-", 3), third = TextBuffer(""), fourth = TextBuffer("more");
    ASSERT_HR(S_OK, sample->AddBuffer(second.Get()));
    ASSERT_HR(S_OK, sample->AddBuffer(third.Get()));
    ASSERT_HR(S_OK, sample->AddBuffer(fourth.Get()));
    DWORD total = 0;
    EXPECT_HR(S_OK, sample->GetTotalLength(&total));
    EXPECT_EQ(13u, total);
    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(out.GetAddressOf()));
    EXPECT_EQ("only-and-more", TextOf(out.Get()));
    EXPECT_EQ((std::vector<IMFMediaBuffer*> { out.Get() }), BuffersOf(sample.Get()));
    EXPECT_EQ(2u, CountOf(out.Get()));
    EXPECT_EQ(1u, CountOf(only.Get()));
    EXPECT_EQ(1u, CountOf(fourth.Get()));
    EXPECT_HR(S_OK, sample->GetTotalLength(&total));
    EXPECT_EQ(13u, total);
    EXPECT_HR(E_POINTER, sample->GetTotalLength(nullptr));
}

TEST(Sample, CopyToBuffer)
{
    ComPtr<IMFSample> sample = NewSample();
    ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer("abc", 5).Get()));
    ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer("def").Get()));

    ComPtr<IMFMediaBuffer> small;
    ASSERT_HR(S_OK, MFCreateMemoryBuffer(5, small.GetAddressOf()));
    EXPECT_HR(MF_E_BUFFERTOOSMALL, sample->CopyToBuffer(small.Get()));
    DWORD length = 9;
    EXPECT_HR(S_OK, small->GetCurrentLength(&length));
    EXPECT_EQ(0u, length);

    ComPtr<IMFMediaBuffer> exact;
    ASSERT_HR(S_OK, MFCreateMemoryBuffer(6, exact.GetAddressOf()));
    ASSERT_HR(S_OK, sample->CopyToBuffer(exact.Get()));
    EXPECT_EQ("abcdef", TextOf(exact.Get()));
    EXPECT_EQ(1u, CountOf(exact.Get()));
    EXPECT_HR(E_POINTER, sample->CopyToBuffer(nullptr));

    // Into a 2D buffer as well: its current length becomes the bytes copied.
    ComPtr<IMFMediaBuffer> frame;
    ASSERT_HR(S_OK, MFCreate2DMediaBuffer(2, 1, MFVideoFormat_RGB32.Data1, 0, frame.GetAddressOf()));
    ASSERT_HR(S_OK, sample->CopyToBuffer(frame.Get()));
    EXPECT_EQ("abcdef", TextOf(frame.Get()));
}

TEST(Sample, ConcurrentBufferChangesAndJoinsKeepEveryByte)
{
    // Writers append one-byte buffers while others join them; at the end every byte is there
    // exactly once, whatever the interleaving.
    ComPtr<IMFSample> sample = NewSample();
    constexpr int Writers = 3;
    constexpr int PerWriter = 300;
    std::vector<std::thread> threads;
    for (int w = 0; w < Writers; ++w)
        threads.emplace_back([&, w] {
            for (int i = 0; i < PerWriter; ++i)
            {
                ASSERT_HR(S_OK, sample->AddBuffer(TextBuffer(std::string(1, char('a' + w))).Get()));
                if (i % 10 == 0)
                {
                    ComPtr<IMFMediaBuffer> joined;
                    ASSERT_HR(S_OK, sample->ConvertToContiguousBuffer(joined.GetAddressOf()));
                    DWORD total = 0;
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
