// The null sink: its stream lookups and shutdown, a failing sample callback, and its type handler
// (its requests through clock, samples and finalization are those of the session's real runs).

#include "media/NullMediaSink/NullMediaSink.h"

#include "fakes/Support.h"
#include "platform/mf/session/SessionTestSupport.h"


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

// The stream found both ways is the one stream; shut down, the sink refuses everything.
TEST_F(NullMediaSinkTest, LookupsAndShutdown)
{
    ComPtr<NullMediaSink> sink = Make<NullMediaSink>();
    ComPtr<IMFStreamSink> byIndex, byId, unused;
    ASSERT_EQ(sink->GetStreamSinkByIndex(0, byIndex.GetAddressOf()), S_OK);
    ASSERT_EQ(sink->GetStreamSinkById(0, byId.GetAddressOf()), S_OK);
    EXPECT_EQ(byIndex.Get(), byId.Get());
    EXPECT_EQ(sink->GetStreamSinkByIndex(1, unused.GetAddressOf()), MF_E_INVALIDINDEX);
    EXPECT_EQ(sink->GetStreamSinkById(5, unused.GetAddressOf()), MF_E_INVALIDSTREAMNUMBER);
    ComPtr<IMFSample> sample;
    ASSERT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    ComPtr<IMFMediaEvent> event;
    ASSERT_EQ(sink->Shutdown(), S_OK);
    for (HRESULT hr : { sink->Shutdown(), sink->GetStreamSinkByIndex(0, unused.GetAddressOf()), byIndex->ProcessSample(sample.Get()),
             byIndex->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf()) })
        EXPECT_EQ(hr, MF_E_SHUTDOWN);
}

// A sample callback that fails (the tool's writer) fails the sample, which then asks for none.
TEST_F(NullMediaSinkTest, AFailingCallbackFailsTheSample)
{
    ComPtr<NullMediaSink> sink = Make<NullMediaSink>();
    IMFStreamSink* stream = sink->GetStream();
    ComPtr<IMFSample> sample;
    ASSERT_EQ(MFCreateSample(sample.GetAddressOf()), S_OK);
    EXPECT_EQ(stream->ProcessSample(sample.Get()), S_OK);
    EXPECT_EQ(Pending(stream), std::vector<MediaEventType> { MEStreamSinkRequestSample });
    sink->GetStream()->SetSampleCallback([](IMFSample*) { XEV_FAIL(E_ACCESSDENIED); });
    EXPECT_EQ(stream->ProcessSample(sample.Get()), E_ACCESSDENIED);
    EXPECT_TRUE(Pending(stream).empty());
    ASSERT_EQ(sink->Shutdown(), S_OK);
}

// The handler keeps a copy of the type it is given.
TEST_F(NullMediaSinkTest, TypeHandlerKeepsACopy)
{
    ComPtr<NullMediaSink> sink = Make<NullMediaSink>();
    ComPtr<IMFMediaTypeHandler> handler;
    ASSERT_EQ(sink->GetStream()->GetMediaTypeHandler(handler.GetAddressOf()), S_OK);
    ComPtr<IMFMediaType> byIndex, current;
    EXPECT_EQ(handler->GetCurrentMediaType(current.GetAddressOf()), MF_E_NOT_INITIALIZED);
    const ComPtr<IMFMediaType> h264 = VideoType(MFVideoFormat_H264, 640, 480);
    ASSERT_EQ(handler->SetCurrentMediaType(h264.Get()), S_OK);
    ASSERT_EQ(handler->GetMediaTypeByIndex(0, byIndex.GetAddressOf()) | handler->GetCurrentMediaType(current.GetAddressOf()), S_OK);
    for (IMFMediaType* type : { byIndex.Get(), current.Get() })
    {
        BOOL same = false;
        EXPECT_NE(type, h264.Get());
        EXPECT_TRUE(SUCCEEDED(type->Compare(h264.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same)) && same);
    }
}
