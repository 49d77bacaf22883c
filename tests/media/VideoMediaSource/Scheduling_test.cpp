// The stream's scheduling against a clock the test sets: pacing decisions at exact distances from
// a sample's time, and delivery in index order when operations (and the end) finish out of order.

#include "SourceFixture.h"

#include <algorithm>
#include <atomic>

using Stream = VideoMediaSource::Stream;

// Reaches the stream's scheduling state under the source's lock.
struct StreamTestAccess
{
    // Replaces the system time source; sample time 0 is due at the clock's time 0.
    static void UseClock(Stream* stream, IMFPresentationTimeSource* clock)
    {
        std::unique_lock lock(stream->m_Source->m_Lock);
        stream->m_TimeSource = clock;
        stream->m_StartSystemTime = 0;
    }
    static bool IsWaiting(Stream* stream, UINT32 index)
    {
        std::shared_lock lock(stream->m_Source->m_Lock);
        return std::ranges::any_of(stream->m_WaitingOperations, [&](const auto& operation) {
            return operation->m_SampleIndex == index && operation->m_WaitingKey != 0;
        });
    }
    static size_t Finished(Stream* stream)
    {
        std::shared_lock lock(stream->m_Source->m_Lock);
        return stream->m_OutputQueue.size();
    }
    // Runs the waiting operations of `indices` now, in that order; the tail index after each.
    static std::vector<UINT32> RunNow(Stream* stream, std::initializer_list<UINT32> indices)
    {
        std::unique_lock lock(stream->m_Source->m_Lock);
        std::vector<UINT32> tails;
        for (UINT32 index : indices)
        {
            const auto found = std::ranges::find_if(stream->m_WaitingOperations, [&](const auto& operation) { return operation->m_SampleIndex == index; });
            EXPECT_NE(found, stream->m_WaitingOperations.end()) << index;
            if (found == stream->m_WaitingOperations.end())
                return tails;
            const ComPtr<Stream::ComposeSampleOperation> operation = *found;
            stream->ComposeSampleInvoke(operation.Get());
            tails.push_back(stream->m_TailSampleIndex);
        }
        return tails;
    }
};

namespace
{
using SessionTest::PatienceMilliseconds;

// A clock the test sets; it counts its readings.
class FakeClock final : public ComObject<TestSupport::TimeSourceStub>
{
public:
    HRESULT GetCorrelatedTime(DWORD, LONGLONG* clockTime, MFTIME* systemTime) override
    {
        *clockTime = *systemTime = Now.load();
        ++Calls;
        return S_OK;
    }
    bool WaitForCalls(int calls) { return TestSupport::WaitUntil([&] { return Calls.load() >= calls; }); }

    std::atomic<LONGLONG> Now { 0 };
    std::atomic<int> Calls { 0 };
};

LONGLONG Time(UINT32 index) { return Stream::SampleTime(index, 30, 1); }

// A 30/1 source with the system clock, started (at `position`), the fake clock in place.
class SchedulingTest : public SourceFixture
{
protected:
    void Start(std::optional<LONGLONG> duration, LONGLONG position)
    {
        Create(30, 1, duration, true);
        SourceFixture::Start(position);
        StreamTestAccess::UseClock(TheStream(), Clock.Get());
    }

    const ComPtr<FakeClock> Clock = Make<FakeClock>();
};
} // namespace

// A sample drawn at least a third of its duration (111 111 at 30/1) before its time waits and
// runs again; one drawn less early goes out on its first run. Rows: how early (100 ns units).
TEST_F(SchedulingTest, PacingAgainstTheClock)
{
    Start(std::nullopt, 0);
    const struct { LONGLONG Early; bool Waits; } rows[] = {
        { 1'000'000, true }, { 111'111, true }, { 111'110, false }, { 100'000, false }, { -3'000'000, false } };
    for (UINT32 index = 0; index < std::size(rows); ++index)
    {
        const int calls = Clock->Calls.load();
        Clock->Now = Time(index) - rows[index].Early;
        ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
        ASSERT_TRUE(Clock->WaitForCalls(calls + 1));
        // The clock is read under the lock, so the first run has ended once the lock is taken.
        EXPECT_EQ(StreamTestAccess::IsWaiting(TheStream(), index), rows[index].Waits) << index;
        if (rows[index].Waits)
            Clock->Now = Time(index); // due: the next run delivers it
        ASSERT_TRUE(StreamEvents->WaitFor(MEMediaSample, PatienceMilliseconds, index + 1)) << index;
        if (!rows[index].Waits)
        {
            EXPECT_EQ(Clock->Calls.load(), calls + 1) << index;
        }
    }
    EXPECT_EQ(SampleTimes(), (std::vector<LONGLONG> { Time(0), Time(1), Time(2), Time(3), Time(4) }));
}

// From index 5: the end (index 7) is decided first, then 6 is drawn and due before 5. MEMediaSample
// of 5 comes first, then 6, then MEEndOfStream.
TEST_F(SchedulingTest, DeliveryInIndexOrderWhenOperationsFinishOutOfOrder)
{
    Start(Time(7), Time(5));
    Clock->Now = Time(5) - 1'000'000; // 5 and 6 are early and wait
    for (int request = 0; request < 3; ++request)
        ASSERT_EQ(MediaStream->RequestSample(nullptr), S_OK);
    ASSERT_TRUE(Clock->WaitForCalls(2));
    ASSERT_TRUE(TestSupport::WaitUntil([&] { return StreamTestAccess::Finished(TheStream()) == 1; })); // the end, held back
    EXPECT_EQ(MediaStream->RequestSample(nullptr), MF_E_END_OF_STREAM);
    Clock->Now = Time(6);
    EXPECT_EQ(StreamTestAccess::RunNow(TheStream(), { 6, 5 }), (std::vector<UINT32> { 5, 8 }));
    ASSERT_TRUE(StreamEvents->WaitFor(MEEndOfStream, PatienceMilliseconds)) << StreamEvents->Text();
    EXPECT_EQ(StreamEvents->Types(), (std::vector<MediaEventType> { MEStreamStarted, MEMediaSample, MEMediaSample, MEEndOfStream }));
    EXPECT_EQ(SampleTimes(), (std::vector<LONGLONG> { Time(5), Time(6) }));
    EXPECT_EQ(StreamTestAccess::Finished(TheStream()), 0u);
}
