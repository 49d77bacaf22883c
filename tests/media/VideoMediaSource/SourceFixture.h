#pragma once
// The source tests' fixture: a source set up as the pipeline sets it up, started, with event
// recorders on the source and (once started) on its stream.

#include "media/VideoMediaSource/VideoMediaSource.h"

#include "fakes/Events.h"
#include "platform/mf/session/SessionTestSupport.h"

class SourceFixture : public SessionTest::PlatformTest
{
protected:
    using Stream = VideoMediaSource::Stream;
    using EventRecorder = TestSupport::EventRecorder;

    void TearDown() override
    {
        if (Source)
            (void)Source->Shutdown();
        for (auto* recorder : { SourceEvents.Get(), StreamEvents.Get() })
            if (recorder)
                recorder->Detach();
        Source = nullptr;
        PlatformTest::TearDown();
    }

    // An ARGB32 source of the rate, duration (none: endless) and size, paced by the system clock
    // or not, drawing on the device manager's device or in memory.
    void Create(UINT32 numerator = 30, UINT32 denominator = 1, std::optional<LONGLONG> duration = 10'000'000, bool clock = false,
        IMFDXGIDeviceManager* manager = nullptr, UINT32 width = 64, UINT32 height = 48)
    {
        const ComPtr<IMFMediaType> type = SessionTest::VideoType(MFVideoFormat_ARGB32, width, height);
        ASSERT_EQ(MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, numerator, denominator), S_OK);
        ASSERT_EQ(type->SetUINT32(MF_MT_INTERLACE_MODE, 2), S_OK);
        Source = Make<VideoMediaSource>();
        Source->Initialize(manager, type.Get());
        Source->SetBaseTime(FILETIME {});
        if (clock)
            Source->EnableSystemClock();
        ASSERT_EQ(Source->CreatePresentationDescriptor(Descriptor.GetAddressOf()), S_OK);
        if (duration) // as the session gives it
        {
            ASSERT_EQ(Descriptor->SetUINT64(MF_PD_DURATION, UINT64(*duration)), S_OK);
        }
        SourceEvents = EventRecorder::Start(Source.Get(), true);
    }
    // Starts (at `position`, or where it is) and waits for the `occurrence`-th MESourceStarted; takes the stream.
    void Start(std::optional<LONGLONG> position = std::nullopt, size_t occurrence = 1)
    {
        PROPVARIANT value {};
        if (position)
            value.vt = VT_I8, value.hVal = *position;
        ASSERT_EQ(Source->Start(Descriptor.Get(), &GUID_NULL, &value), S_OK);
        ASSERT_TRUE(SourceEvents->WaitFor(MESourceStarted, SessionTest::PatienceMilliseconds, occurrence)) << SourceEvents->Text();
        if (!StreamEvents)
        {
            ASSERT_EQ(SourceEvents->Records().front().Type, MENewStream);
            ASSERT_EQ(SourceEvents->Records().front().Value.As(&MediaStream), S_OK);
            StreamEvents = EventRecorder::Start(MediaStream.Get(), true);
        }
    }
    Stream* TheStream() { return static_cast<Stream*>(MediaStream.Get()); }
    // The times of the samples delivered so far.
    std::vector<LONGLONG> SampleTimes() const
    {
        std::vector<LONGLONG> times;
        for (const auto& record : StreamEvents->Of(MEMediaSample))
        {
            ComPtr<IMFSample> sample;
            EXPECT_EQ(record.Value.As(&sample), S_OK);
            EXPECT_EQ(sample->GetSampleTime(&times.emplace_back()), S_OK);
        }
        return times;
    }
    ComPtr<VideoMediaSource> Source;
    ComPtr<IMFPresentationDescriptor> Descriptor;
    ComPtr<IMFMediaStream> MediaStream;
    ComPtr<EventRecorder> SourceEvents, StreamEvents;
};
