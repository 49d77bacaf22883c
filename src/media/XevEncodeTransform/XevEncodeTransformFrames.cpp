// XevEncodeTransform: frames in (ProcessInput), their completions on the serial work queue and
// samples out (ProcessOutput).

#include "media/XevEncodeTransform/XevEncodeTransform.h"

#include "media/Common/MediaBufferLock.h"
#include "media/Common/Names.h"
#include "platform/com/Error.h"
#include "platform/com/Trace.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#define XEV_THIS static_cast<void*>(this)

namespace
{
// Copies `rows` rows of `rowBytes` from `source` (rows `stride` apart, negative for bottom-up)
// to `destination` (rows `pitch` apart).
void CopyRows(BYTE* destination, uint32_t pitch, const BYTE* source, INT64 stride, uint32_t rowBytes, uint32_t rows)
{
    if (stride == static_cast<INT64>(pitch) && rows > 0)
    {
        std::memcpy(destination, source, std::size_t(pitch) * (rows - 1) + rowBytes);
        return;
    }
    for (uint32_t row = 0; row < rows; ++row, destination += pitch, source += stride)
        std::memcpy(destination, source, rowBytes);
}
} // namespace

HRESULT XevEncodeTransform::ProcessInput(DWORD inputStreamID, IMFSample* sample, DWORD flags)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK(inputStreamID == 0, MF_E_INVALIDSTREAMNUMBER);
        XEV_CHECK(sample, E_INVALIDARG);
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        if (m_NeedInputCounter <= 0)
            return MF_E_NOTACCEPTING;
        --m_NeedInputCounter;
        ProcessInputLocked(sample);
        return S_OK;
    });
}

void XevEncodeTransform::ProcessInputLocked(IMFSample* sample)
{
    XEV_CHECK_LINE(!m_FreeBuffers.empty());
    Buffer& buffer = *m_FreeBuffers.front();

    ComPtr<ID3D11Texture2D> texture;
    DWORD bufferCount = 0;
    XEV_CHECK_HR(sample->GetBufferCount(&bufferCount));
    if (bufferCount == 1)
    {
        ComPtr<IMFMediaBuffer> mediaBuffer;
        XEV_CHECK_HR(sample->GetBufferByIndex(0, mediaBuffer.GetAddressOf()));
        UINT32 subresource = 0;
        if (auto dxgiBuffer = mediaBuffer.TryAs<IMFDXGIBuffer>(); dxgiBuffer && SUCCEEDED(dxgiBuffer->GetSubresourceIndex(&subresource)) && subresource == 0)
            XEV_CHECK_HR(dxgiBuffer->GetResource(IidOf<ID3D11Texture2D>, reinterpret_cast<void**>(texture.GetAddressOf())));
    }

    LONGLONG time = 0, duration = 0;
    XEV_CHECK_HR(sample->GetSampleTime(&time));
    if (FAILED(sample->GetSampleDuration(&duration)))
        duration = 0;

    NV_ENC_PIC_PARAMS picture {};
    picture.version = NV_ENC_PIC_PARAMS_VER;
    picture.inputWidth = m_Initialization.Params.encodeWidth;
    picture.inputHeight = m_Initialization.Params.encodeHeight;
    picture.inputTimeStamp = static_cast<uint64_t>(time);
    picture.inputDuration = static_cast<uint64_t>(duration);
    picture.outputBitstream = buffer.m_Bitstream;
    picture.completionEvent = &buffer.m_Output.m_Event;
    picture.bufferFmt = m_InputFormat.BufferFormat;
    picture.pictureStruct = NV_ENC_PIC_STRUCT_FRAME;
    try
    {
        if (texture)
            MapTextureLocked(buffer, texture.Get(), picture);
        else
            CopyMemoryFrameLocked(buffer, sample, picture);
        SubmitLocked(buffer, sample, picture, time);
    }
    catch (...)
    {
        // The buffer stays free: it must not keep the texture's mutex or mapping of a frame that
        // never went in.
        (void)Error::Continue([&] { m_KeyedMutexSet.Release(buffer.m_KeyedMutexItem); });
        if (buffer.m_MappedResource)
            (void)Error::Continue([&] { m_Session.UnmapInputResource(std::exchange(buffer.m_MappedResource, nullptr)); });
        throw;
    }

    m_BusyBuffers.push_back(std::move(m_FreeBuffers.front()));
    m_FreeBuffers.erase(m_FreeBuffers.begin());
    if (!m_FreeBuffers.empty())
    {
        ++m_NeedInputCounter;
        QueueTransformEvent(METransformNeedInput);
    }
}

void XevEncodeTransform::SubmitLocked(Buffer& buffer, IMFSample* sample, NV_ENC_PIC_PARAMS& picture, LONGLONG time)
{
    buffer.m_Discontinuity = MFGetAttributeUINT32(sample, MFSampleExtension_Discontinuity, 0) != 0;
    buffer.m_SampleTime = time;
    buffer.m_AcceptedTime = MFGetSystemTime();
    buffer.m_Token = nullptr;
    (void)sample->GetUnknown(MFSampleExtension_Token, IidOf<IUnknown>, reinterpret_cast<void**>(buffer.m_Token.GetAddressOf()));
    if (const auto forceKeyFrame = m_Settings.ReadUInt32(CODECAPI_AVEncVideoForceKeyFrame))
    {
        if (*forceKeyFrame != 0)
            picture.encodePicFlags = NV_ENC_PIC_FLAG_FORCEIDR;
        m_Settings.Remove(CODECAPI_AVEncVideoForceKeyFrame);
    }

    buffer.m_Output.m_Event.Reset();
    const NVENCSTATUS status = m_Session.EncodePicture(&picture);
    if (status != NV_ENC_ERR_NEED_MORE_INPUT)
        XEV_CHECK_NVENC(status);
    PutWaitingLocked(buffer.m_Output.m_Event, buffer.m_Result.Get(), buffer.m_WorkItemKey);
}

void XevEncodeTransform::MapTextureLocked(Buffer& buffer, ID3D11Texture2D* texture, NV_ENC_PIC_PARAMS& picture)
{
    D3D11_TEXTURE2D_DESC desc {};
    texture->GetDesc(&desc);
    if (desc.MiscFlags & D3D11_RESOURCE_MISC_SHARED_KEYEDMUTEX)
    {
        ComPtr<IDXGIKeyedMutex> keyedMutex;
        XEV_CHECK_HR(texture->QueryInterface(IidOf<IDXGIKeyedMutex>, reinterpret_cast<void**>(keyedMutex.GetAddressOf())));
        // The one blocking wait of the transform: the texture's producer releases it with key 0.
        m_KeyedMutexSet.Acquire(keyedMutex.Get(), buffer.m_KeyedMutexItem);
    }
    auto found = m_Registrations.find(texture);
    if (found == m_Registrations.end())
    {
        Registration registration;
        NV_ENC_BUFFER_FORMAT format = NV_ENC_BUFFER_FORMAT_UNDEFINED;
        if (desc.Format == DXGI_FORMAT_B8G8R8A8_UNORM)
            registration.Pitch = desc.Width * 4, format = NV_ENC_BUFFER_FORMAT_ARGB;
        else if (desc.Format == DXGI_FORMAT_NV12)
            registration.Pitch = desc.Width, format = NV_ENC_BUFFER_FORMAT_NV12;
        else
            XEV_FAIL(MF_E_INVALIDMEDIATYPE);
        registration.Registered = m_Session.RegisterResource(texture, registration.Pitch, format);
        registration.Texture = texture;
        found = m_Registrations.emplace(texture, std::move(registration)).first;
    }
    buffer.m_MappedResource = m_Session.MapInputResource(found->second.Registered);
    picture.inputPitch = found->second.Pitch;
    picture.inputBuffer = buffer.m_MappedResource;
}

void XevEncodeTransform::CopyMemoryFrameLocked(Buffer& buffer, IMFSample* sample, NV_ENC_PIC_PARAMS& picture)
{
    const UINT32 encodeWidth = m_Initialization.Params.encodeWidth, encodeHeight = m_Initialization.Params.encodeHeight;
    if (!buffer.m_InputBuffer)
        buffer.m_InputBuffer = m_Session.CreateInputBuffer(encodeWidth, encodeHeight, m_InputFormat.BufferFormat);
    Xev::InputBufferLock input(m_Session);
    XEV_CHECK_NVENC(input.Lock(buffer.m_InputBuffer));

    // The input type's format was read once when the type was set.
    const Xev::InputFormat& format = m_InputFormat;
    const UINT32 width = format.Width, height = format.Height;
    // The encoder's input buffer has the encode size: a larger frame would overrun it.
    XEV_CHECK(width <= encodeWidth && height <= encodeHeight, MF_E_INVALIDMEDIATYPE);
    ComPtr<IMFMediaBuffer> contiguous;
    XEV_CHECK_HR(sample->ConvertToContiguousBuffer(contiguous.GetAddressOf()));
    MF::MediaBufferLock frame(contiguous.Get());

    const INT64 stride = format.Stride;
    uint32_t rows = 0, rowBytes = 0;
    const BYTE* first = frame.Data();
    if (format.BufferFormat == NV_ENC_BUFFER_FORMAT_NV12)
    {
        XEV_CHECK_LINE(stride >= 1 && stride >= static_cast<INT64>(width));
        rows = height * 3 / 2;
        rowBytes = width;
    }
    else
    {
        XEV_CHECK_LINE(format.BufferFormat == NV_ENC_BUFFER_FORMAT_ARGB && std::abs(stride) >= static_cast<INT64>(width) * 4);
        rows = height;
        rowBytes = width * 4;
        if (stride < 0)
            first += -stride * (rows - 1);
    }
    // The frame must hold every row it claims.
    const UINT64 needed = rows == 0 ? 0 : UINT64(std::abs(stride)) * (rows - 1) + rowBytes;
    XEV_CHECK(frame.DataSize() >= needed, MF_E_BUFFERTOOSMALL);
    XEV_CHECK_LINE(input.Pitch() >= rowBytes);
    CopyRows(input.Data(), input.Pitch(), first, stride, rowBytes, rows);
    frame.Unlock();
    XEV_CHECK_NVENC(input.Unlock());
    picture.inputPitch = input.Pitch();
    picture.inputBuffer = buffer.m_InputBuffer;
}

void XevEncodeTransform::BufferInvoke(MF::AsyncCallback* callback, IMFAsyncResult* result)
{
    std::unique_lock lock(m_Lock);
    const auto found = std::ranges::find_if(m_BusyBuffers, [callback](const ComPtr<Buffer>& b) { return b->m_Callback.Get() == callback; });
    if (found == m_BusyBuffers.end())
    {
        // A completion that started before its stream ended; nothing is left to do.
        (void)result->SetStatus(S_OK);
        return;
    }
    const HRESULT hr = Error::Guard([&] { CompleteBufferLocked(**found); });
    if (FAILED(hr))
    {
        // The session learns of the lost frame; the stream cannot go on without it.
        MF::MediaEventGenerator<XevEncodeTransform, MF::MediaPrimitiveTraits>::QueueEvent(MEError, hr);
    }
    XEV_CHECK_HR(result->SetStatus(hr));
}

void XevEncodeTransform::CompleteBufferLocked(Buffer& buffer)
{
    buffer.m_WorkItemKey = 0;
    m_KeyedMutexSet.Release(buffer.m_KeyedMutexItem);
    if (buffer.m_MappedResource)
        m_Session.UnmapInputResource(std::exchange(buffer.m_MappedResource, nullptr));

    Xev::BitstreamLock bitstream(m_Session);
    XEV_CHECK_NVENC(bitstream.Lock(buffer.m_Bitstream));
    ComPtr<IMFSample> sample;
    XEV_CHECK_HR(MFCreateSample(sample.GetAddressOf()));
    if (buffer.m_Discontinuity)
        XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_Discontinuity, 1));
    if (buffer.m_Token)
        XEV_CHECK_HR(sample->SetUnknown(MFSampleExtension_Token, buffer.m_Token.Get()));
    buffer.m_Token = nullptr;
    if (bitstream->pictureType == NV_ENC_PIC_TYPE_IDR)
        XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_CleanPoint, 1));
    XEV_CHECK_HR(sample->SetUINT64(MFSampleExtension_DecodeTimestamp, static_cast<UINT64>(buffer.m_SampleTime)));
    XEV_CHECK_HR(sample->SetUINT64(XevSampleExtension_InputAcceptedTime, static_cast<UINT64>(buffer.m_AcceptedTime)));
    XEV_CHECK_HR(sample->SetSampleTime(static_cast<LONGLONG>(bitstream->outputTimeStamp)));
    XEV_CHECK_HR(sample->SetSampleDuration(static_cast<LONGLONG>(bitstream->outputDuration)));
    const auto* bytes = static_cast<const BYTE*>(bitstream->bitstreamBufferPtr);
    const DWORD size = bitstream->bitstreamSizeInBytes;
    {
        ComPtr<IMFMediaBuffer> mediaBuffer;
        XEV_CHECK_HR(MFCreateMemoryBuffer(size, mediaBuffer.GetAddressOf()));
        {
            MF::MediaBufferLock data(mediaBuffer.Get());
            if (size)
                std::memcpy(data.Data(), bytes, size);
        }
        XEV_CHECK_HR(mediaBuffer->SetCurrentLength(size));
        XEV_CHECK_HR(sample->AddBuffer(mediaBuffer.Get()));
    }
    if (m_OutputType && MFGetAttributeUINT32(m_OutputType.Get(), MF_NALU_LENGTH_SET, 0) != 0)
    {
        Xev::SplitNalUnits(std::span<const BYTE>(bytes, size), m_NaluLengths);
        XEV_CHECK_HR(sample->SetBlob(MF_NALU_LENGTH_INFORMATION, reinterpret_cast<const UINT8*>(m_NaluLengths.data()),
            static_cast<UINT32>(m_NaluLengths.size() * sizeof(UINT32))));
    }
    UINT32 pictureType = eAVEncH264PictureType_IDR;
    if (bitstream->pictureType == NV_ENC_PIC_TYPE_P)
        pictureType = eAVEncH264PictureType_P;
    else if (bitstream->pictureType == NV_ENC_PIC_TYPE_B || bitstream->pictureType == NV_ENC_PIC_TYPE_BI)
        pictureType = eAVEncH264PictureType_B;
    XEV_CHECK_HR(sample->SetUINT32(MFSampleExtension_VideoEncodePictureType, pictureType));
    XEV_CHECK_HR(sample->SetUINT64(MFSampleExtension_VideoEncodeQP, bitstream->frameAvgQP));
    buffer.m_Sample = std::move(sample);
    XEV_CHECK_NVENC(bitstream.Unlock());

    if (m_HaveOutputCounter < 0 || m_BusyBuffers.front().Get() != &buffer)
        return;
    const bool noneFree = m_FreeBuffers.empty();
    while (!m_BusyBuffers.empty() && m_BusyBuffers.front()->m_Sample)
    {
        ComPtr<Buffer> head = std::move(m_BusyBuffers.front());
        m_BusyBuffers.erase(m_BusyBuffers.begin());
        m_OutputQueue.push_back({ nullptr, std::move(head->m_Sample) });
        ++m_HaveOutputCounter;
        QueueTransformEvent(METransformHaveOutput);
        m_FreeBuffers.push_back(std::move(head));
    }
    if (noneFree && !m_FreeBuffers.empty() && m_NeedInputCounter == 0)
    {
        m_NeedInputCounter = 1;
        QueueTransformEvent(METransformNeedInput);
    }
}

void XevEncodeTransform::EosOutputBufferEventInvoke(MF::AsyncCallback* callback, IMFAsyncResult* result)
{
    XEV_TRACE("this 0x%p, AsyncCallback 0x%p, AsyncResult 0x%p\n", XEV_THIS, static_cast<void*>(callback), static_cast<void*>(result));
    std::unique_lock lock(m_Lock);
    if (callback == m_EosCallback.Get())
    {
        m_EosWorkItemKey = 0;
        if (m_NeedInputCounter == -2 && m_BusyBuffers.empty() && m_HaveOutputCounter == 0)
        {
            m_NeedInputCounter = -1;
            QueueTransformEvent(METransformDrainComplete);
        }
    }
    XEV_CHECK_HR(result->SetStatus(S_OK));
}

HRESULT XevEncodeTransform::ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status)
{
    return Error::Guard([&]() -> HRESULT {
        XEV_CHECK(!(flags & MFT_PROCESS_OUTPUT_REGENERATE_LAST_OUTPUT), E_NOTIMPL);
        XEV_CHECK(outputBufferCount == 1 && outputSamples, E_INVALIDARG);
        XEV_CHECK(outputSamples[0].dwStreamID == 0, MF_E_INVALIDSTREAMNUMBER);
        XEV_CHECK_POINTER(status);
        *status = 0;
        std::unique_lock lock(m_Lock);
        ThrowIfShutdown();
        MFT_OUTPUT_DATA_BUFFER& output = outputSamples[0];
        if (FormatChangePendingLocked())
        {
            XEV_TRACE("this 0x%p, m_HaveOutputCounter %d\n", XEV_THIS, m_HaveOutputCounter);
            output.dwStatus = MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE;
            return MF_E_TRANSFORM_STREAM_CHANGE;
        }
        if (m_HaveOutputCounter <= 0 || m_OutputQueue.empty())
            return E_UNEXPECTED;
        --m_HaveOutputCounter;
        output.pSample = m_OutputQueue.front().Sample.Detach();
        m_OutputQueue.erase(m_OutputQueue.begin());
        output.dwStatus = 0;
        if (m_HaveOutputCounter > 0)
            output.dwStatus = MFT_OUTPUT_DATA_BUFFER_INCOMPLETE;
        else if (m_NeedInputCounter == -2 && m_BusyBuffers.empty())
        {
            m_NeedInputCounter = -1;
            QueueTransformEvent(METransformDrainComplete);
        }
        return S_OK;
    });
}
