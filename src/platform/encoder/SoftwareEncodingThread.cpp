#include "SoftwareSessionParts.h"

#include "platform/com/Trace.h"
#include "platform/system/Event.h"

#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cstring>

namespace SoftwareEncoder
{
void Session::InputBuffer::ConvertFrom(const uint8_t* staging) noexcept
{
    uint8_t* luma = Memory.get();
    libyuv::ARGBToNV12(staging, static_cast<int>(StagingPitch), luma, static_cast<int>(Pitch), luma + std::size_t(Pitch) * Height,
        static_cast<int>(Pitch), static_cast<int>(Width), static_cast<int>(Height));
}

bool Session::OpenEncoder()
{
    x264_param_t params = m_X264Params;
    m_Encoder = x264_encoder_open(&params);
    m_EncoderFlushed = false;
    m_HeadersPending = true;
    m_PicturesSinceIdr = 0;
    return m_Encoder != nullptr;
}

void Session::CloseEncoder()
{
    if (m_Encoder)
        x264_encoder_close(m_Encoder);
    m_Encoder = nullptr;
}

void Session::EncodingThread()
{
    std::unique_lock lock(m_Lock);
    for (;;)
    {
        m_Changed.wait(lock, [&] { return StoppedLocked() || (!m_HoldEncoding && !m_Submissions.Empty()); });
        if (StoppedLocked())
            return;
        Submission submission = m_Submissions.PopFront();
        if (submission.EndOfStream)
        {
            FlushEncoder(lock);
            // Every picture before the end has its output now; any left could not be encoded.
            FailAwaitingLocked(NV_ENC_ERR_GENERIC);
            SignalLocked(submission.Event);
        }
        else
        {
            EncodeSubmission(submission, lock);
            if (submission.Buffer)
                --submission.Buffer->Queued;
        }
        m_Changed.notify_all();
        // What the picture held (a destroyed buffer, a texture) is released outside the lock.
        lock.unlock();
        submission = Submission {};
        lock.lock();
    }
}

int Session::ForcedPictureType(const Submission& submission)
{
    const EncoderSettings& s = m_Settings;
    bool idr = (submission.Flags & NV_ENC_PIC_FLAG_FORCEIDR) != 0;
    int type = X264_TYPE_AUTO;
    if (!s.PictureTypeDecision)
    {
        switch (submission.PictureType)
        {
        case NV_ENC_PIC_TYPE_IDR: idr = true; break;
        case NV_ENC_PIC_TYPE_I: type = X264_TYPE_I; break;
        case NV_ENC_PIC_TYPE_P: type = X264_TYPE_P; break;
        case NV_ENC_PIC_TYPE_B: type = s.BFrames ? X264_TYPE_B : X264_TYPE_P; break;
        default: break;
        }
    }
    if (submission.Flags & NV_ENC_PIC_FLAG_FORCEINTRA)
        type = X264_TYPE_I;
    // The picture's place in the pattern: 0 for an IDR picture, counting up to the next.
    uint64_t position = m_PicturesSinceIdr;
    if (idr || (s.IdrPeriod != InfiniteGop && position >= s.IdrPeriod))
        position = 0;
    m_PicturesSinceIdr = position + 1;
    if (position == 0)
        return X264_TYPE_IDR;
    if (type == X264_TYPE_AUTO && (s.IntraOnly || (s.GopLength != InfiniteGop && position % s.GopLength == 0)))
        type = X264_TYPE_I;
    return type;
}

void Session::EncodeSubmission(Submission& submission, std::unique_lock<std::mutex>& lock)
{
    ++m_InsideEncoder;
    lock.unlock();
    bool failed = false;
    int size = 0;
    x264_nal_t* nals = nullptr;
    int nalCount = 0;
    x264_picture_t output;
    x264_picture_init(&output);
    if (m_EncoderFlushed || !m_Encoder)
    {
        CloseEncoder();
        failed = !OpenEncoder();
    }
    Surface::Image image;
    if (!failed && submission.Input->Read(&image))
    {
        x264_picture_t picture;
        x264_picture_init(&picture);
        picture.img.i_csp = X264_CSP_NV12;
        picture.img.i_plane = 2;
        const uint32_t width = m_Settings.Width, height = m_Settings.Height;
        if (!image.Chroma)
        {
            // A texture's packed B, G, R, A bytes to 4:2:0 into the session's one conversion picture
            // (input buffers hold NV12 already).
            if (!m_Conversion)
                m_Conversion.reset(new uint8_t[std::size_t(width) * height * 3 / 2]);
            uint8_t* luma = m_Conversion.get();
            uint8_t* chroma = luma + std::size_t(width) * height;
            libyuv::ARGBToNV12(image.Luma, static_cast<int>(image.Pitch), luma, static_cast<int>(width), chroma,
                static_cast<int>(width), static_cast<int>(width), static_cast<int>(height));
            picture.img.plane[0] = luma;
            picture.img.plane[1] = chroma;
            picture.img.i_stride[0] = picture.img.i_stride[1] = static_cast<int>(width);
        }
        else
        {
            // NV12 is libx264's own layout: it reads the client's memory directly.
            picture.img.plane[0] = const_cast<uint8_t*>(image.Luma);
            picture.img.plane[1] = const_cast<uint8_t*>(image.Chroma);
            picture.img.i_stride[0] = picture.img.i_stride[1] = static_cast<int>(image.Pitch);
        }
        picture.i_type = ForcedPictureType(submission);
        picture.i_pts = m_PictureCounter++;
        m_Pictures[static_cast<std::size_t>(picture.i_pts) % m_Pictures.size()] =
            PictureInfo { submission.TimeStamp, submission.Duration, submission.FrameIdx,
                (submission.Flags & NV_ENC_PIC_FLAG_OUTPUT_SPSPPS) != 0 };
        size = x264_encoder_encode(m_Encoder, &nals, &nalCount, &picture, &output);
        failed = size < 0;
    }
    else
        failed = true;
    lock.lock();
    if (failed)
    {
        // The pictures inside libx264 are lost with it: fail their buffers (this picture's
        // included) and start a new stream with the next picture.
        XEV_TRACE("this 0x%p, the picture could not be encoded\n", static_cast<void*>(this));
        FailAwaitingLocked(NV_ENC_ERR_GENERIC);
        m_EncoderFlushed = true;
    }
    else if (size > 0)
        DeliverLocked(nals, nalCount, size, output);
}

void Session::FlushEncoder(std::unique_lock<std::mutex>& lock)
{
    if (!m_Encoder || x264_encoder_delayed_frames(m_Encoder) == 0)
        return;
    lock.unlock();
    // libx264 cannot take pictures after a flush: the next picture reopens it.
    m_EncoderFlushed = true;
    while (x264_encoder_delayed_frames(m_Encoder) > 0)
    {
        x264_nal_t* nals = nullptr;
        int nalCount = 0;
        x264_picture_t output;
        x264_picture_init(&output);
        const int size = x264_encoder_encode(m_Encoder, &nals, &nalCount, nullptr, &output);
        if (size < 0)
            break;
        if (size > 0)
        {
            lock.lock();
            DeliverLocked(nals, nalCount, size, output);
            lock.unlock();
        }
    }
    lock.lock();
}

void Session::DeliverLocked(x264_nal_t* nals, int nalCount, int size, const x264_picture_t& output)
{
    if (m_Awaiting.Empty() || m_InsideEncoder == 0)
        return;
    Awaiting awaiting = m_Awaiting.PopFront();
    BitstreamBuffer& buffer = *awaiting.Buffer;
    if (buffer.Destroyed)
    {
        --m_InsideEncoder;
        return;
    }
    const PictureInfo& info = m_Pictures[static_cast<std::size_t>(output.i_pts) % m_Pictures.size()];
    const bool idr = output.i_type == X264_TYPE_IDR;
    // Without repeated headers the stream still starts with them (after the AUD), as the
    // hardware writes them with its first IDR picture; OUTPUT_SPSPPS asks for them on any picture.
    const bool headers = !m_Settings.DisableSpsPps && (info.WriteHeaders || (idr && !m_Settings.RepeatSpsPps && m_HeadersPending));
    if (idr)
        m_HeadersPending = false;
    --m_InsideEncoder;
    const std::size_t headerSize = headers ? m_SequenceHeaders.size() : 0;
    buffer.SliceCount = 0;
    buffer.SliceOffsets.clear();
    if (std::size_t(size) + headerSize > buffer.Capacity)
    {
        buffer.Status = NV_ENC_ERR_NOT_ENOUGH_BUFFER;
        buffer.Size = 0;
    }
    else
    {
        uint8_t* out = buffer.Memory.get();
        std::size_t used = 0;
        for (int i = 0; i < nalCount; ++i)
        {
            if (headers && i == (nals[0].i_type == NAL_AUD ? 1 : 0))
            {
                std::memcpy(out + used, m_SequenceHeaders.data(), headerSize);
                used += headerSize;
            }
            if (nals[i].i_type == NAL_SLICE || nals[i].i_type == NAL_SLICE_IDR)
            {
                if (buffer.SliceOffsets.size() < buffer.SliceOffsets.capacity())
                    buffer.SliceOffsets.push_back(static_cast<uint32_t>(used));
                ++buffer.SliceCount;
            }
            std::memcpy(out + used, nals[i].p_payload, static_cast<std::size_t>(nals[i].i_payload));
            used += static_cast<std::size_t>(nals[i].i_payload);
        }
        buffer.Status = NV_ENC_SUCCESS;
        buffer.Size = static_cast<uint32_t>(used);
    }
    buffer.TimeStamp = info.TimeStamp;
    buffer.Duration = info.Duration;
    buffer.FrameIdx = info.FrameIdx;
    buffer.PictureType = PictureTypeOf(output.i_type);
    buffer.AverageQp = static_cast<uint32_t>(std::max(output.i_qpplus1 - 1, 0));
    buffer.Current = BitstreamBuffer::State::Ready;
    SignalLocked(awaiting.Event);
}

void Session::FailAwaitingLocked(NVENCSTATUS status)
{
    for (; m_InsideEncoder > 0 && !m_Awaiting.Empty(); --m_InsideEncoder)
    {
        Awaiting awaiting = m_Awaiting.PopFront();
        if (awaiting.Buffer->Destroyed)
            continue;
        awaiting.Buffer->Status = status;
        awaiting.Buffer->Size = 0;
        awaiting.Buffer->Current = BitstreamBuffer::State::Ready;
        SignalLocked(awaiting.Event);
    }
    m_InsideEncoder = 0;
}
} // namespace SoftwareEncoder
