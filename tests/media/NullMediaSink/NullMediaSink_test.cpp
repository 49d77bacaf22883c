// The null sink: its stream lookups and refusals, its sample pacing through clock, samples and
// finalization, and its type handler.

#include "media/NullMediaSink/NullMediaSink.h"

#include "fakes/Support.h"
#include "platform/mf/session/SessionTestSupport.h"

#include <latch>

using namespace SessionTest;

namespace
{
using NullMediaSinkTest = PlatformTest;

// The types of the events waiting in a generator's queue.
std::vector<MediaEventType> Pending(IMFMediaEventGenerator* generator)
{
    std::vector<MediaEventType> types;
    ComPtr<IMFMediaEvent> event;
    while (generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()) == S_OK)
    {
        MediaEventType type = MEUnknown;
        EXPECT_EQ(event->GetType(&type), S_OK);
        types.push_back(type);
    }
    return types;
}
} // namespace

TEST_F(NullMediaSinkTest, LookupsRefusalsAndShutdown)
{
    ComPtr<NullMediaSink> sink = Make<NullMediaSink>();
    ComPtr<IMFStreamSink> byIndex, byId, unused;
    DWORD value = 0;
    ASSERT_EQ(sink->GetStreamSinkByIndex(0, byIndex.GetAddressOf()), S_OK);
    ASSERT_EQ(sink->GetStreamSinkById(0, byId.GetAddressOf()), S_OK);
    EXPECT_EQ(byIndex.Get(), byId.Get());
    EXPECT_EQ(byIndex.Get(), static_cast<IMFStreamSink*>(sink->GetStream()));
    ComPtr<IMFMediaSink> parent;
    ASSERT_EQ(byIndex->GetMediaSink(parent.GetAddressOf()), S_OK);
    EXPECT_EQ(parent.Get(), static_cast<IMFMediaSink*>(sink.Get()));
    const std::pair<HRESULT, HRESULT> refusals[] = {
        { sink->GetStreamSinkByIndex(1, unused.GetAddressOf()), MF_E_INVALIDINDEX },
        { sink->GetStreamSinkById(5, unused.GetAddressOf()), MF_E_INVALIDSTREAMNUMBER },
        { sink->AddStreamSink(1, nullptr, nullptr), E_POINTER },
        { sink->GetStreamSinkCount(&value), S_OK },
        { byIndex->PlaceMarker(static_cast<MFSTREAMSINK_MARKER_TYPE>(9), nullptr, nullptr), S_OK },
        { byIndex->ProcessSample(nullptr), E_INVALIDARG },
    };
    for (const auto& [actual, expected] : refusals)
        EXPECT_EQ(actual, expected);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(Pending(byIndex.Get()), std::vector<MediaEventType> { MEStreamSinkMarker });

    ComPtr<IMFSample> sample;
    ASSERT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    ComPtr<IMFMediaEvent> event;
    ASSERT_EQ(sink->Shutdown(), S_OK);
    EXPECT_EQ(sink->Shutdown(), MF_E_SHUTDOWN);
    EXPECT_EQ(sink->GetStreamSinkByIndex(0, unused.GetAddressOf()), MF_E_SHUTDOWN);
    EXPECT_EQ(byIndex->ProcessSample(sample.Get()), MF_E_SHUTDOWN);
    EXPECT_EQ(byIndex->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()), MF_E_SHUTDOWN);
}

// One request outstanding: at the clock start, after each sample, none while finalizing.
TEST_F(NullMediaSinkTest, RequestsFollowClockSamplesAndFinalization)
{
    ComPtr<NullMediaSink> sink = Make<NullMediaSink>();
    IMFStreamSink* stream = sink->GetStream();
    std::vector<IMFSample*> received;
    sink->GetStream()->SetSampleCallback([&](IMFSample* sample) { received.push_back(sample); });
    ComPtr<IMFPresentationClock> clock;
    ComPtr<IMFPresentationTimeSource> timeSource;
    ASSERT_EQ(MFCreatePresentationClock(clock.GetAddressOf()), S_OK);
    ASSERT_EQ(MFCreateSystemTimeSource(timeSource.GetAddressOf()), S_OK);
    ASSERT_EQ(clock->SetTimeSource(timeSource.Get()), S_OK);
    EXPECT_EQ(sink->SetPresentationClock(clock.Get()), S_OK);
    EXPECT_EQ(sink->SetPresentationClock(clock.Get()), S_FALSE); // registered once: one start below
    ASSERT_EQ(clock->Start(0), S_OK);
    EXPECT_EQ(Pending(stream), (std::vector<MediaEventType> { MEStreamSinkStarted, MEStreamSinkRequestSample }));

    ComPtr<IMFSample> sample;
    ASSERT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    EXPECT_EQ(stream->ProcessSample(sample.Get()), S_OK);
    EXPECT_EQ(Pending(stream), std::vector<MediaEventType> { MEStreamSinkRequestSample });

    struct Finalized final : ComObject<IMFAsyncCallback>
    {
        HRESULT GetParameters(DWORD*, DWORD*) override { return E_NOTIMPL; }
        HRESULT Invoke(IMFAsyncResult* result) override { return Done.count_down(), S_OK; }
        std::latch Done { 1 };
    };
    ComPtr<Finalized> finalized = Make<Finalized>();
    ASSERT_EQ(sink->BeginFinalize(finalized.Get(), nullptr), S_OK);
    finalized->Done.wait();
    EXPECT_EQ(stream->ProcessSample(sample.Get()), S_OK);
    EXPECT_TRUE(Pending(stream).empty());
    EXPECT_EQ(sink->EndFinalize(nullptr), S_OK);
    EXPECT_EQ(stream->ProcessSample(sample.Get()), S_OK);
    ASSERT_EQ(clock->Stop(), S_OK);
    EXPECT_EQ(Pending(stream), (std::vector<MediaEventType> { MEStreamSinkRequestSample, MEStreamSinkStopped }));
    EXPECT_EQ(received, std::vector<IMFSample*>(3, sample.Get()));

    // A failing callback fails the sample, which then asks for none.
    sink->GetStream()->SetSampleCallback([](IMFSample*) { XEV_FAIL(E_ACCESSDENIED); });
    EXPECT_EQ(stream->ProcessSample(sample.Get()), E_ACCESSDENIED);
    EXPECT_TRUE(Pending(stream).empty());
    ASSERT_EQ(sink->Shutdown(), S_OK);
    EXPECT_EQ(RefCount(sink->AsUnknown()), 1u); // the clock let go
}

TEST_F(NullMediaSinkTest, TypeHandlerKeepsWhatItIsGiven)
{
    ComPtr<NullMediaSink> sink = Make<NullMediaSink>();
    ComPtr<IMFMediaTypeHandler> handler;
    ASSERT_EQ(sink->GetStream()->GetMediaTypeHandler(handler.GetAddressOf()), S_OK);
    ComPtr<IMFMediaType> byIndex, current;
    GUID major = GUID_NULL;
    EXPECT_EQ(handler->GetCurrentMediaType(current.GetAddressOf()), MF_E_NOT_INITIALIZED);
    EXPECT_EQ(handler->GetMediaTypeByIndex(0, byIndex.GetAddressOf()), MF_E_NOT_INITIALIZED);
    EXPECT_EQ(handler->GetMajorType(&major), MF_E_NOT_INITIALIZED);
    const ComPtr<IMFMediaType> h264 = VideoType(MFVideoFormat_H264, 640, 480);
    EXPECT_EQ(handler->IsMediaTypeSupported(h264.Get(), nullptr), S_OK);
    ASSERT_EQ(handler->SetCurrentMediaType(h264.Get()), S_OK);
    ASSERT_EQ(handler->GetMediaTypeByIndex(0, byIndex.GetAddressOf()) | handler->GetCurrentMediaType(current.GetAddressOf()), S_OK);
    for (IMFMediaType* type : { byIndex.Get(), current.Get() })
    {
        BOOL same = false;
        EXPECT_NE(type, h264.Get()); // a copy
        EXPECT_TRUE(SUCCEEDED(type->Compare(h264.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same)) && same);
    }
    EXPECT_EQ(handler->GetMediaTypeByIndex(1, byIndex.ReleaseAndGetAddressOf()), E_INVALIDARG);
    EXPECT_EQ(handler->GetMajorType(&major), S_OK);
    EXPECT_EQ(major, MFMediaType_Video);
}
