// XevEncodeTransform: the object, its streams and media types, clock, service and codec settings.
// The encoding flow is in XevEncodeTransformFlow.cpp and XevEncodeTransformFrames.cpp.

#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include "media/Common/Names.h"
#include "platform/com/Error.h"
#include "platform/com/Trace.h"

#include <algorithm>
#include <mutex>

#define XEV_THIS static_cast<void*>(this)

namespace
{
void CheckStream(DWORD stream)
{
    XEV_CHECK(stream == 0, MF_E_INVALIDSTREAMNUMBER);
}

void CopyItem(IMFMediaType* from, IMFMediaType* to, REFGUID key)
{
    MF::PropVariantT<> value;
    if (SUCCEEDED(from->GetItem(key, &value)))
        XEV_CHECK_HR(to->SetItem(key, value));
}

std::string KeyText(const GUID* key)
{
    return key ? std::string(MF::MediaTypeAttributeName(*key).c_str()) : std::string("(null)");
}
} // namespace

XevEncodeTransform::XevEncodeTransform() : m_Codec(NV_ENC_CODEC_H264_GUID)
{
    const std::size_t count = ++InstanceCount;
    XEV_TRACE("this 0x%p, InstanceCount %zu, Buffer::g_InstanceCount %zu\n", XEV_THIS, count, Buffer::g_InstanceCount.load());
    try
    {
        XEV_CHECK_HR(MFCreateAttributes(m_Attributes.GetAddressOf(), 8));
        XEV_CHECK_HR(m_Attributes->SetUINT32(MF_TRANSFORM_ASYNC, 1));
        XEV_CHECK_HR(m_Attributes->SetUINT32(MFT_SUPPORT_DYNAMIC_FORMAT_CHANGE, 1));
        XEV_CHECK_HR(m_Attributes->SetUINT32(MF_SA_D3D11_AWARE, 1));
        CreateEventQueue();
    }
    catch (...)
    {
        --InstanceCount;
        throw;
    }
}

XevEncodeTransform::~XevEncodeTransform()
{
    // Released without Shutdown: the encoder still goes (nothing is in flight: pending
    // completions hold the transform).
    (void)Error::Guard([&] {
        if (m_WorkQueue != 0 || m_Session.IsOpen())
            EndOfStreamLocked();
    });
    if (m_EventQueue)
        (void)m_EventQueue->Shutdown();
    const std::size_t count = --InstanceCount;
    XEV_TRACE("this 0x%p, InstanceCount %zu, Buffer::g_InstanceCount %zu\n", XEV_THIS, count, Buffer::g_InstanceCount.load());
}

void XevEncodeTransform::InternalShutdown()
{
    XEV_TRACE("this 0x%p\n", XEV_THIS);
    ComPtr<IMFPresentationClock> clock;
    {
        std::unique_lock lock(m_Lock);
        (void)Error::Guard([&] { EndOfStreamLocked(); });
        clock = std::move(m_Clock);
        m_KeyedMutexSet.Clear();
        m_DeviceManager = nullptr;
        m_InputType = nullptr;
        m_OutputType = nullptr;
        (void)m_EventQueue->Shutdown();
    }
    // Outside the lock: the clock calls no sink back while one is removed, but holds its own lock.
    if (clock)
        (void)clock->RemoveClockStateSink(this);
}

void XevEncodeTransform::QueueTransformEvent(MediaEventType type)
{
    MF::MediaEventGenerator<XevEncodeTransform, MF::MediaPrimitiveTraits>::QueueEvent(type, static_cast<const PROPVARIANT*>(nullptr));
}

Xev::EncoderConfiguration XevEncodeTransform::GetEncoderConfiguration()
{
    std::shared_lock lock(m_Lock);
    return m_Initialization;
}

HRESULT XevEncodeTransform::GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum, DWORD* outputMaximum)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(inputMinimum);
        XEV_CHECK_POINTER(inputMaximum);
        XEV_CHECK_POINTER(outputMinimum);
        XEV_CHECK_POINTER(outputMaximum);
        *inputMinimum = *inputMaximum = *outputMinimum = *outputMaximum = 1;
    });
}

HRESULT XevEncodeTransform::GetStreamCount(DWORD* inputStreams, DWORD* outputStreams)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(inputStreams);
        XEV_CHECK_POINTER(outputStreams);
        *inputStreams = *outputStreams = 1;
    });
}

HRESULT XevEncodeTransform::GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*)
{
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::GetInputStreamInfo(DWORD inputStreamID, MFT_INPUT_STREAM_INFO* streamInfo)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(streamInfo);
        CheckStream(inputStreamID);
        *streamInfo = MFT_INPUT_STREAM_INFO {};
        streamInfo->dwFlags = MFT_INPUT_STREAM_WHOLE_SAMPLES | MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER | MFT_INPUT_STREAM_FIXED_SAMPLE_SIZE;
    });
}

HRESULT XevEncodeTransform::GetOutputStreamInfo(DWORD outputStreamID, MFT_OUTPUT_STREAM_INFO* streamInfo)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(streamInfo);
        CheckStream(outputStreamID);
        streamInfo->dwFlags = MFT_OUTPUT_STREAM_WHOLE_SAMPLES | MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER | MFT_OUTPUT_STREAM_PROVIDES_SAMPLES;
        streamInfo->cbSize = Xev::BitstreamBufferSize;
        streamInfo->cbAlignment = 1;
    });
}

HRESULT XevEncodeTransform::GetAttributes(IMFAttributes** attributes)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(attributes);
        *attributes = ComPtr<IMFAttributes>(m_Attributes).Detach();
    });
}

HRESULT XevEncodeTransform::GetInputStreamAttributes(DWORD, IMFAttributes**)
{
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::GetOutputStreamAttributes(DWORD, IMFAttributes**)
{
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::DeleteInputStream(DWORD streamID)
{
    XEV_TRACE("this 0x%p, InputStreamIdentifier 0x%X\n", XEV_THIS, streamID);
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::AddInputStreams(DWORD streams, DWORD*)
{
    XEV_TRACE("this 0x%p, Count %u\n", XEV_THIS, streams);
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::GetInputStatus(DWORD inputStreamID, DWORD* flags)
{
    return Error::Guard([&] {
        XEV_CHECK_POINTER(flags);
        CheckStream(inputStreamID);
        std::shared_lock lock(m_Lock);
        *flags = m_NeedInputCounter > 0 ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
    });
}

HRESULT XevEncodeTransform::GetOutputStatus(DWORD* flags)
{
    XEV_TRACE("this 0x%p\n", XEV_THIS);
    return Error::Guard([&] {
        XEV_CHECK_POINTER(flags);
        std::shared_lock lock(m_Lock);
        *flags = m_BusyBuffers.empty() ? 0 : MFT_OUTPUT_STATUS_SAMPLE_READY;
    });
}

HRESULT XevEncodeTransform::SetOutputBounds(LONGLONG lowerBound, LONGLONG upperBound)
{
    XEV_TRACE("this 0x%p, LowerBound %s, UpperBound %s\n", XEV_THIS, MF::FormatTime(lowerBound).c_str(), MF::FormatTime(upperBound).c_str());
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::ProcessEvent(DWORD inputStreamID, IMFMediaEvent* event)
{
    XEV_TRACE("this 0x%p, InputStreamIdentifier 0x%X, MediaEvent 0x%p\n", XEV_THIS, inputStreamID, static_cast<void*>(event));
    return Error::Guard([&]() -> HRESULT {
        CheckStream(inputStreamID);
        XEV_CHECK(event, E_INVALIDARG);
        MediaEventType type = MEUnknown;
        XEV_CHECK_HR(event->GetType(&type));
        if (type != MEEncodingParameters)
            return E_NOTIMPL;
        HRESULT status = S_OK;
        XEV_CHECK_HR(event->GetStatus(&status));
        XEV_CHECK_HR(status);
        MF::PropVariantT<> value;
        XEV_CHECK_HR(event->GetValue(&value));
        XEV_CHECK(value.vt == VT_UNKNOWN && value.punkVal, E_INVALIDARG);
        ComPtr<IMFAttributes> parameters;
        XEV_CHECK_HR(value.punkVal->QueryInterface(IidOf<IMFAttributes>, reinterpret_cast<void**>(parameters.GetAddressOf())));
        // The parameters are taken but not applied: the encoder keeps its stream settings.
        return S_OK;
    });
}

HRESULT XevEncodeTransform::GetInputAvailableType(DWORD inputStreamID, DWORD typeIndex, IMFMediaType** type)
{
    XEV_TRACE("this 0x%p, InputStreamIdentifier 0x%X, TypeIndex %u\n", XEV_THIS, inputStreamID, typeIndex);
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(type);
        *type = nullptr;
        CheckStream(inputStreamID);
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        OpenEncoderLocked();
        const UINT32 count = m_Session.GetInputFormatCount(m_Codec);
        if (count == 0)
            return MF_E_NO_MORE_TYPES;
        std::vector<NV_ENC_BUFFER_FORMAT> formats(count);
        formats.resize(m_Session.GetInputFormats(m_Codec, formats));
        std::vector<GUID> offered;
        if (std::ranges::find(formats, NV_ENC_BUFFER_FORMAT_NV12) != formats.end())
            offered.push_back(MFVideoFormat_NV12);
        if (std::ranges::find(formats, NV_ENC_BUFFER_FORMAT_ARGB) != formats.end())
            offered.push_back(MFVideoFormat_ARGB32);
        if (typeIndex >= offered.size())
            return MF_E_NO_MORE_TYPES;
        const GUID subtype = offered[typeIndex];
        ComPtr<IMFMediaType> result;
        XEV_CHECK_HR(MFCreateMediaType(result.GetAddressOf()));
        XEV_CHECK_HR(result->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
        XEV_CHECK_HR(result->SetGUID(MF_MT_SUBTYPE, subtype));
        if (m_OutputType)
        {
            UINT32 width = 0, height = 0;
            if (SUCCEEDED(MFGetAttributeSize(m_OutputType.Get(), MF_MT_FRAME_SIZE, &width, &height)))
            {
                XEV_CHECK_HR(MFSetAttributeSize(result.Get(), MF_MT_FRAME_SIZE, width, height));
                UINT32 size = 0;
                XEV_CHECK_HR(MFCalculateImageSize(subtype, width, height, &size));
                XEV_CHECK_HR(result->SetUINT32(MF_MT_SAMPLE_SIZE, size));
                XEV_CHECK_HR(result->SetUINT32(MF_MT_DEFAULT_STRIDE, subtype == MFVideoFormat_NV12 ? width : width * 4));
            }
        }
        XEV_CHECK_HR(result->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1));
        XEV_CHECK_HR(result->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, 1));
        if (m_OutputType)
            for (const GUID& key : { MF_MT_PIXEL_ASPECT_RATIO, MF_MT_INTERLACE_MODE, MF_MT_FRAME_RATE })
                CopyItem(m_OutputType.Get(), result.Get(), key);
        *type = result.Detach();
        return S_OK;
    });
}

HRESULT XevEncodeTransform::GetOutputAvailableType(DWORD outputStreamID, DWORD typeIndex, IMFMediaType** type)
{
    XEV_TRACE("this 0x%p, OutputStreamIdentifier 0x%X, TypeIndex %u\n", XEV_THIS, outputStreamID, typeIndex);
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(type);
        *type = nullptr;
        CheckStream(outputStreamID);
        std::shared_lock lock(m_Lock);
        if (typeIndex != 0 || !m_InputType)
            return MF_E_NO_MORE_TYPES;
        if (FormatChangePendingLocked())
        {
            *type = ComPtr<IMFMediaType>(m_OutputQueue.front().Type).Detach();
            return S_OK;
        }
        ComPtr<IMFMediaType> result;
        XEV_CHECK_HR(MFCreateMediaType(result.GetAddressOf()));
        XEV_CHECK_HR(result->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video));
        XEV_CHECK_HR(result->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264));
        for (const GUID& key : { MF_MT_FRAME_SIZE, MF_MT_PIXEL_ASPECT_RATIO, MF_MT_INTERLACE_MODE, MF_MT_FRAME_RATE })
            CopyItem(m_InputType.Get(), result.Get(), key);
        XEV_CHECK_HR(result->SetUINT32(MF_MT_AVG_BITRATE, 10000000));
        *type = result.Detach();
        return S_OK;
    });
}

HRESULT XevEncodeTransform::SetInputType(DWORD inputStreamID, IMFMediaType* type, DWORD flags)
{
    XEV_TRACE("this 0x%p, InputStreamIdentifier 0x%X, MediaType 0x%p, Flags %s\n", XEV_THIS, inputStreamID, static_cast<void*>(type),
        MF::FormatFlags(MF::FlagTable::SetTypeFlags, flags).c_str());
    return Error::Guard([&]() -> HRESULT {
        CheckStream(inputStreamID);
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        std::optional<Xev::InputFormat> format;
        if (type)
        {
            format = Xev::FindInputFormat(type);
            XEV_CHECK(format, MF_E_INVALIDMEDIATYPE);
        }
        if (StreamingLocked())
            return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
        if (flags & MFT_SET_TYPE_TEST_ONLY)
            return S_OK;
        m_InputType = type;
        m_InputFormat = format.value_or(Xev::InputFormat {});
        return S_OK;
    });
}

HRESULT XevEncodeTransform::SetOutputType(DWORD outputStreamID, IMFMediaType* type, DWORD flags)
{
    XEV_TRACE("this 0x%p, OutputStreamIdentifier 0x%X, MediaType 0x%p, Flags %s\n", XEV_THIS, outputStreamID, static_cast<void*>(type),
        MF::FormatFlags(MF::FlagTable::SetTypeFlags, flags).c_str());
    return Error::Guard([&]() -> HRESULT {
        CheckStream(outputStreamID);
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        const auto matches = [type](IMFMediaType* other) {
            BOOL equal = 0;
            XEV_CHECK_HR(type->Compare(other, MF_ATTRIBUTES_MATCH_ALL_ITEMS, &equal));
            return equal != 0;
        };
        const bool changePending = FormatChangePendingLocked();
        if (changePending)
        {
            XEV_CHECK(type, MF_E_INVALIDMEDIATYPE);
            XEV_CHECK(matches(m_OutputQueue.front().Type.Get()), MF_E_INVALIDMEDIATYPE);
        }
        else
        {
            GUID major {};
            XEV_CHECK(!type || (SUCCEEDED(type->GetGUID(MF_MT_MAJOR_TYPE, &major)) && major == MFMediaType_Video), MF_E_INVALIDMEDIATYPE);
            if (StreamingLocked())
            {
                XEV_CHECK(type && m_OutputType && matches(m_OutputType.Get()), MF_E_INVALIDMEDIATYPE);
                return MF_E_TRANSFORM_CANNOT_CHANGE_MEDIATYPE_WHILE_PROCESSING;
            }
        }
        if (flags & MFT_SET_TYPE_TEST_ONLY)
            return S_OK;
        m_OutputType = type;
        if (changePending)
        {
            m_OutputQueue.erase(m_OutputQueue.begin());
            --m_HaveOutputCounter;
        }
        return S_OK;
    });
}

HRESULT XevEncodeTransform::GetInputCurrentType(DWORD inputStreamID, IMFMediaType** type)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(type);
        *type = nullptr;
        CheckStream(inputStreamID);
        std::shared_lock lock(m_Lock);
        if (!m_InputType)
            return MF_E_TRANSFORM_TYPE_NOT_SET;
        *type = ComPtr<IMFMediaType>(m_InputType).Detach();
        return S_OK;
    });
}

HRESULT XevEncodeTransform::GetOutputCurrentType(DWORD outputStreamID, IMFMediaType** type)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(type);
        *type = nullptr;
        CheckStream(outputStreamID);
        std::shared_lock lock(m_Lock);
        if (!m_OutputType)
            return MF_E_TRANSFORM_TYPE_NOT_SET;
        *type = ComPtr<IMFMediaType>(m_OutputType).Detach();
        return S_OK;
    });
}

HRESULT XevEncodeTransform::SetPresentationClock(IMFPresentationClock* presentationClock)
{
    XEV_TRACE("this 0x%p, PresentationClock 0x%p\n", XEV_THIS, static_cast<void*>(presentationClock));
    return Error::Guard([&]() -> HRESULT {
        ComPtr<IMFPresentationClock> previous;
        {
            std::unique_lock lock(m_Lock);
            if (!presentationClock && !m_Clock)
                return S_OK;
            if (IsShutdown())
                return MF_E_SHUTDOWN;
            if (m_Clock.Get() == presentationClock)
                return S_FALSE;
            previous = std::exchange(m_Clock, ComPtr<IMFPresentationClock>(presentationClock));
        }
        // The clock is called without the lock (it keeps a lock of its own while it adds a sink).
        if (previous)
            XEV_CHECK_HR(previous->RemoveClockStateSink(this));
        if (presentationClock)
            XEV_CHECK_HR(presentationClock->AddClockStateSink(this));
        return S_OK;
    });
}

HRESULT XevEncodeTransform::GetPresentationClock(IMFPresentationClock** presentationClock)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK_POINTER(presentationClock);
        std::shared_lock lock(m_Lock);
        *presentationClock = ComPtr<IMFPresentationClock>(m_Clock).Detach();
        return *presentationClock ? S_OK : MF_E_NO_CLOCK;
    });
}

HRESULT XevEncodeTransform::OnClockStart(MFTIME systemTime, LONGLONG clockStartOffset)
{
    XEV_TRACE("this 0x%p, SystemTime %lld, StartOffset %lld\n", XEV_THIS, static_cast<long long>(systemTime),
        static_cast<long long>(clockStartOffset));
    return Error::Guard([&]() -> HRESULT {
        std::unique_lock lock(m_Lock);
        if (IsShutdown())
            return MF_E_SHUTDOWN;
        XEV_CHECK_LINE(StreamingLocked());
        if (m_NeedInputCounter == 0)
        {
            m_NeedInputCounter = 1;
            QueueTransformEvent(METransformNeedInput);
        }
        return S_OK;
    });
}

HRESULT XevEncodeTransform::OnClockStop(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", XEV_THIS, static_cast<long long>(systemTime));
    std::shared_lock lock(m_Lock);
    return IsShutdown() ? MF_E_SHUTDOWN : S_OK;
}

HRESULT XevEncodeTransform::OnClockPause(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", XEV_THIS, static_cast<long long>(systemTime));
    return S_OK;
}

HRESULT XevEncodeTransform::OnClockRestart(MFTIME systemTime)
{
    XEV_TRACE("this 0x%p, SystemTime %lld\n", XEV_THIS, static_cast<long long>(systemTime));
    return S_OK;
}

HRESULT XevEncodeTransform::OnClockSetRate(MFTIME systemTime, float rate)
{
    XEV_TRACE("this 0x%p, SystemTime %lld, Rate %.3f\n", XEV_THIS, static_cast<long long>(systemTime), static_cast<double>(rate));
    return S_OK;
}

HRESULT XevEncodeTransform::GetService(REFGUID service, REFIID riid, void** object)
{
    XEV_TRACE("this 0x%p, ServiceIdentifier %s, InterfaceIdentifier %s\n", XEV_THIS, MF::ServiceName(service).c_str(),
        MF::InterfaceName(riid).c_str());
    if (object)
        *object = nullptr;
    return MF_E_UNSUPPORTED_SERVICE;
}

#define XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api)                                  \
    XEV_TRACE("this 0x%p, Key %s\n", XEV_THIS, KeyText(api).c_str()); \
    return E_NOTIMPL

HRESULT XevEncodeTransform::IsSupported(const GUID* api) { XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api); }
HRESULT XevEncodeTransform::IsModifiable(const GUID* api) { XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api); }
HRESULT XevEncodeTransform::GetParameterRange(const GUID* api, VARIANT*, VARIANT*, VARIANT*) { XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api); }
HRESULT XevEncodeTransform::GetParameterValues(const GUID* api, VARIANT**, ULONG*) { XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api); }
HRESULT XevEncodeTransform::GetDefaultValue(const GUID* api, VARIANT*) { XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api); }
HRESULT XevEncodeTransform::UnregisterForEvent(const GUID* api) { XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api); }
HRESULT XevEncodeTransform::GetValueWithNotify(const GUID* api, VARIANT*, GUID**, ULONG*) { XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api); }
HRESULT XevEncodeTransform::SetValueWithNotify(const GUID* api, VARIANT*, GUID**, ULONG*) { XEV_CODECAPI_NOT_IMPLEMENTED_KEY(api); }

HRESULT XevEncodeTransform::SetAllDefaults()
{
    XEV_TRACE("this 0x%p\n", XEV_THIS);
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::SetAllDefaultsWithNotify(GUID**, ULONG*)
{
    XEV_TRACE("this 0x%p\n", XEV_THIS);
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::GetAllSettings(void*)
{
    XEV_TRACE("this 0x%p\n", XEV_THIS);
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::SetAllSettings(void*)
{
    XEV_TRACE("this 0x%p\n", XEV_THIS);
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::SetAllSettingsWithNotify(void*, GUID**, ULONG*)
{
    XEV_TRACE("this 0x%p\n", XEV_THIS);
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::RegisterForEvent(const GUID* api, LONG_PTR userData)
{
    XEV_TRACE("this 0x%p, Key %s, UserParameter 0x%p\n", XEV_THIS, KeyText(api).c_str(), reinterpret_cast<void*>(userData));
    return E_NOTIMPL;
}

HRESULT XevEncodeTransform::SetValue(const GUID* api, VARIANT* value)
{
    XEV_TRACE("this 0x%p, Key %s\n", XEV_THIS, KeyText(api).c_str());
    return Error::Guard([&] {
        XEV_CHECK(api, E_INVALIDARG);
        XEV_CHECK_POINTER(value);
        std::unique_lock lock(m_Lock);
        m_Settings.Set(*api, *value);
    });
}

HRESULT XevEncodeTransform::GetValue(const GUID* api, VARIANT* value)
{
    XEV_TRACE("this 0x%p, Key %s\n", XEV_THIS, KeyText(api).c_str());
    return Error::Guard([&] {
        XEV_CHECK(api, E_INVALIDARG);
        XEV_CHECK_POINTER(value);
        PropVariantInit(value);
        std::shared_lock lock(m_Lock);
        m_Settings.Get(*api, value);
    });
}
