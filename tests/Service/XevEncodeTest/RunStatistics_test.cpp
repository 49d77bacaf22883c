// The per-pipeline delivery counters (latency summary, late frames) and the real-time rule of the
// capacity search.

#include "Service/XevEncodeTest/RunStatistics.h"

#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include <gtest/gtest.h>

#include <memory>

using namespace Application;

namespace
{
constexpr MFTIME Millisecond = 10'000;

// A sample of sample time `time` that the encoder accepted at `accepted`.
ComPtr<IMFSample> Sample(MFTIME time, MFTIME accepted)
{
    ComPtr<IMFSample> sample;
    EXPECT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    EXPECT_EQ(sample->SetSampleTime(time), S_OK);
    EXPECT_EQ(sample->SetUINT64(XevSampleExtension_InputAcceptedTime, static_cast<UINT64>(accepted)), S_OK);
    return sample;
}
} // namespace

// 100 frames at 10 fps from t0 = 1000 s, each encoded in 2 ms but the 50th in 150 ms and the last
// in 900 ms (beyond the histogram's reach): the percentile comes from the histogram, the maximum and
// the mean are exact, and only the two slow frames are late (more than 100 ms after their due time).
TEST(DeliveryCounters, LatencySummaryAndLateFrames)
{
    const auto counters = std::make_unique<DeliveryCounters>();
    EXPECT_EQ(counters->LatencySummary().Max, 0.0);
    const MFTIME origin = 1000 * 1000 * Millisecond;
    for (MFTIME i = 0; i < 100; ++i)
    {
        const MFTIME time = i * 100 * Millisecond, latency = (i == 49 ? 150 : i == 99 ? 900 : 2) * Millisecond;
        counters->Record(Sample(time, origin + time).Get(), origin + time + latency, 100 * Millisecond);
    }
    const DeliveryCounters::Latency latency = counters->LatencySummary();
    EXPECT_EQ(counters->Frames(), 100u);
    EXPECT_EQ(counters->LateFrames(), 2u);
    EXPECT_DOUBLE_EQ(latency.Max, 900.0);
    EXPECT_NEAR(latency.Mean, (98 * 2 + 150 + 900) / 100.0, 1e-9);
    EXPECT_DOUBLE_EQ(latency.P99, 150.25); // the 99th frame by latency is the 150 ms one: its bucket's upper edge
    // A sample without the encoder's time stamp is counted, not timed.
    ComPtr<IMFSample> plain;
    ASSERT_EQ(MFCreateSample(plain.GetAddressOf()), S_OK);
    counters->Record(plain.Get(), origin, 100 * Millisecond);
    EXPECT_EQ(counters->Frames(), 101u);
    EXPECT_DOUBLE_EQ(counters->LatencySummary().Max, 900.0);
}

TEST(Capacity, RealTimeNeedsEveryFrameNoFailureAndElapsedWithinThreePercent)
{
    const Task task { 30, 1, 64, 48 };
    const auto outcome = [&](double elapsed, uint64_t frames, std::optional<HRESULT> result, bool stopped) {
        IterationOutcome o { elapsed, {}, 2, { { 0, task, 60, 0, 0, {}, std::nullopt }, { 1, task, frames, 0, 0, {}, result } }, stopped };
        return IsRealTime(o);
    };
    EXPECT_TRUE(outcome(2.06, 60, std::nullopt, false));
    EXPECT_FALSE(outcome(2.07, 60, std::nullopt, false));
    EXPECT_FALSE(outcome(1.9, 59, std::nullopt, false));
    EXPECT_FALSE(outcome(1.9, 60, E_FAIL, false));
    EXPECT_FALSE(outcome(1.9, 60, std::nullopt, true));
    EXPECT_FALSE(IsRealTime(IterationOutcome { 1.0, {}, 1, {}, false }));
}
