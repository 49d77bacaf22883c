// The software runtime's contract with its caller: the statuses of wrong use, completion order
// and waits, and teardown with pictures in flight.

#include "EncoderTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

using namespace EncoderTest;

namespace
{
// Records the order in which events are signalled (their registered waits run on the setter's
// thread) and lets a test wait until a number of them have been.
class SignalRecorder
{
public:
    void Watch(Sync::Event* event, int index)
    {
        event->RegisterWait([this, index] {
            std::lock_guard lock(m_Lock);
            m_Order.push_back(index);
            m_Changed.notify_all();
        });
    }
    // The order once `count` events were signalled (or after the patience).
    std::vector<int> Order(std::size_t count = 0)
    {
        std::unique_lock lock(m_Lock);
        m_Changed.wait_for(lock, TestSupport::Patience, [&] { return m_Order.size() >= count; });
        return m_Order;
    }

private:
    std::mutex m_Lock; // guards m_Order
    std::condition_variable m_Changed;
    std::vector<int> m_Order;
};

// Rows of wrong use: a name, the call, and the status it must answer.
using Misuse = std::tuple<const char*, std::function<NVENCSTATUS()>, NVENCSTATUS>;

void ExpectStatuses(const std::vector<Misuse>& cases)
{
    for (const auto& [name, call, expected] : cases)
        EXPECT_EQ(call(), expected) << name;
}

// Calls `call` on a copy of `params` changed by `change`.
template <class P, class Change, class Call>
std::function<NVENCSTATUS()> With(const P& params, Change change, Call call)
{
    return [=]() mutable {
        P copy = params;
        change(copy);
        return call(&copy);
    };
}
} // namespace

// Every handle the caller passes is checked: the session, its buffers, resources, mappings and
// events, and the parameters of opening a session.
TEST(SoftwareRuntime, HandlesAndOpeningParametersAreChecked)
{
    auto device = WarpDevice();
    Session session(Options {}, device.Get());
    session.Start();
    auto& F = session.F;
    int stranger = 0;
    ComPtr<ID3D11Texture2D> yuy2, nv12;
    D3D11_TEXTURE2D_DESC desc { 160, 96, 1, 1, DXGI_FORMAT_YUY2, { 1, 0 }, D3D11_USAGE_DEFAULT, 0, 0, 0 };
    ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, yuy2.GetAddressOf()), S_OK);
    desc.Format = DXGI_FORMAT_NV12;
    ASSERT_EQ(device->CreateTexture2D(&desc, nullptr, nv12.GetAddressOf()), S_OK);
    ComPtr<ID3D11DeviceContext> context;
    device->GetImmediateContext(context.GetAddressOf());

    auto open = Versioned<NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS>(NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS_VER);
    open.deviceType = NV_ENC_DEVICE_TYPE_DIRECTX, open.apiVersion = NVENCAPI_VERSION;
    void* encoder = nullptr;
    const auto opening = [&](NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS* p) { return F.nvEncOpenEncodeSessionEx(p, &encoder); };
    auto map = Versioned<NV_ENC_MAP_INPUT_RESOURCE>(NV_ENC_MAP_INPUT_RESOURCE_VER);
    map.registeredResource = &stranger;
    Sync::Event unknown(Sync::Event::ResetMode::Manual);
    auto registration = TextureRegistration(nv12.Get(), 160, 96, 0, NV_ENC_BUFFER_FORMAT_NV12);
    const auto enroll = [&](NV_ENC_REGISTER_RESOURCE* p) { return F.nvEncRegisterResource(session.E, p); };
    uint32_t count = 0;
    using Open = NV_ENC_OPEN_ENCODE_SESSION_EX_PARAMS;
    using Reg = NV_ENC_REGISTER_RESOURCE;
    NV_ENCODE_API_FUNCTION_LIST list {};
    ExpectStatuses({
        { "no list", [&] { return SoftwareEncoder::CreateInstance(nullptr); }, NV_ENC_ERR_INVALID_PTR },
        { "list version", [&] { return list.version = NV_ENCODE_API_FUNCTION_LIST_VER - (1u << 16), SoftwareEncoder::CreateInstance(&list); },
          NV_ENC_ERR_INVALID_VERSION },
        { "no open params", [&] { return F.nvEncOpenEncodeSessionEx(nullptr, &encoder); }, NV_ENC_ERR_INVALID_PTR },
        { "newer api", With<Open>(open, [](Open& o) { o.apiVersion = NVENCAPI_MAJOR_VERSION + 1; }, opening), NV_ENC_ERR_INVALID_VERSION },
        { "CUDA", With<Open>(open, [](Open& o) { o.deviceType = NV_ENC_DEVICE_TYPE_CUDA; }, opening), NV_ENC_ERR_UNSUPPORTED_DEVICE },
        // Anything that is not a device answers QueryInterface for ID3D11Device with a failure.
        { "not a device", With<Open>(open, [&](Open& o) { o.device = static_cast<IUnknown*>(context.Get()); }, opening), NV_ENC_ERR_INVALID_DEVICE },
        { "null session", [&] { return F.nvEncGetInputFormatCount(nullptr, NV_ENC_CODEC_H264_GUID, &count); }, NV_ENC_ERR_INVALID_ENCODERDEVICE },
        { "stranger session", [&] { return F.nvEncGetInputFormatCount(&stranger, NV_ENC_CODEC_H264_GUID, &count); }, NV_ENC_ERR_INVALID_ENCODERDEVICE },
        { "destroy stranger input", [&] { return F.nvEncDestroyInputBuffer(session.E, &stranger); }, NV_ENC_ERR_INVALID_PARAM },
        { "destroy stranger bitstream", [&] { return F.nvEncDestroyBitstreamBuffer(session.E, &stranger); }, NV_ENC_ERR_INVALID_PARAM },
        { "unregister stranger", [&] { return F.nvEncUnregisterResource(session.E, &stranger); }, NV_ENC_ERR_RESOURCE_NOT_REGISTERED },
        { "unmap stranger", [&] { return F.nvEncUnmapInputResource(session.E, &stranger); }, NV_ENC_ERR_RESOURCE_NOT_MAPPED },
        { "map stranger", [&] { return F.nvEncMapInputResource(session.E, &map); }, NV_ENC_ERR_RESOURCE_NOT_REGISTERED },
        { "register null event", [&] { return session.RegisterEvent(nullptr); }, NV_ENC_ERR_INVALID_EVENT },
        { "unregister unknown event", [&] { return session.RegisterEvent(&unknown, false); }, NV_ENC_ERR_EVENT_NOT_REGISTERD },
        // Textures: only formats the encoder reads, with the format and a size that fit.
        { "YUY2 texture", With<Reg>(registration, [&](Reg& r) { r.resourceToRegister = yuy2.Get(); }, enroll), NV_ENC_ERR_RESOURCE_REGISTER_FAILED },
        { "format differs", With<Reg>(registration, [](Reg& r) { r.bufferFormat = NV_ENC_BUFFER_FORMAT_ARGB; }, enroll), NV_ENC_ERR_INVALID_PARAM },
        { "size differs", With<Reg>(registration, [](Reg& r) { r.width = 162; }, enroll), NV_ENC_ERR_INVALID_PARAM },
        { "no texture", With<Reg>(registration, [](Reg& r) { r.resourceToRegister = nullptr; }, enroll), NV_ENC_ERR_INVALID_PTR },
    });
    EXPECT_EQ(encoder, nullptr);

    // An older client is served without a device; the handle is valid until destroyed, once.
    open.apiVersion = 10;
    const std::size_t before = SoftwareEncoder::OpenSessionCount();
    ASSERT_EQ(opening(&open), NV_ENC_SUCCESS);
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), before + 1);
    EXPECT_EQ(F.nvEncDestroyEncoder(encoder), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncDestroyEncoder(encoder), NV_ENC_ERR_INVALID_ENCODERDEVICE);
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), before);

    // A texture may be mapped again while mapped (two frames in flight on one texture); each
    // mapping is unmapped once, and unregistering ends the mappings left.
    ASSERT_EQ(enroll(&registration), NV_ENC_SUCCESS);
    map.registeredResource = registration.registeredResource;
    ASSERT_EQ(F.nvEncMapInputResource(session.E, &map), NV_ENC_SUCCESS);
    void* first = map.mappedResource;
    ASSERT_EQ(F.nvEncMapInputResource(session.E, &map), NV_ENC_SUCCESS);
    EXPECT_NE(first, map.mappedResource);
    EXPECT_EQ(F.nvEncUnmapInputResource(session.E, first), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncUnmapInputResource(session.E, first), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
    EXPECT_EQ(F.nvEncUnregisterResource(session.E, registration.registeredResource), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncUnmapInputResource(session.E, map.mappedResource), NV_ENC_ERR_RESOURCE_NOT_MAPPED);
}

// Nothing works before the initialisation; the preset stands in for a missing configuration; a
// second initialisation is refused.
TEST(SoftwareRuntime, WorksOnlyWhenInitializedOnce)
{
    Session session(Options {});
    auto& F = session.F;
    auto input = Versioned<NV_ENC_CREATE_INPUT_BUFFER>(NV_ENC_CREATE_INPUT_BUFFER_VER);
    auto picture = Versioned<NV_ENC_PIC_PARAMS>(NV_ENC_PIC_PARAMS_VER);
    EXPECT_EQ(std::pair(F.nvEncCreateInputBuffer(session.E, &input), F.nvEncEncodePicture(session.E, &picture)),
              std::pair(NV_ENC_ERR_ENCODER_NOT_INITIALIZED, NV_ENC_ERR_ENCODER_NOT_INITIALIZED));
    auto init = MakeInitialization(Options {});
    init->Config.rcParams.constQP.qpIntra = 52;
    EXPECT_EQ(F.nvEncInitializeEncoder(session.E, &init->Params), NV_ENC_ERR_INVALID_PARAM);
    init->Params.encodeConfig = nullptr;
    EXPECT_EQ(F.nvEncInitializeEncoder(session.E, &init->Params), NV_ENC_SUCCESS);
    EXPECT_EQ(session.Initialize(), NV_ENC_ERR_INVALID_CALL);
}

TEST(SoftwareRuntime, PicturesAndLocksAreCheckedBeforeTheyAreQueued)
{
    Session session(Options {});
    session.Start();
    auto& F = session.F;
    const NV_ENC_PIC_PARAMS picture = session.Picture(0, 0);
    Sync::Event stranger(Sync::Event::ResetMode::Manual);
    const auto encode = [&](NV_ENC_PIC_PARAMS* p) { return F.nvEncEncodePicture(session.E, p); };
    using Pic = NV_ENC_PIC_PARAMS;
    ExpectStatuses({
        { "null", [&] { return encode(nullptr); }, NV_ENC_ERR_INVALID_PTR },
        { "unknown input", With<Pic>(picture, [](Pic& p) { p.inputBuffer = &p; }, encode), NV_ENC_ERR_INVALID_PARAM },
        { "input as output", With<Pic>(picture, [](Pic& p) { p.outputBitstream = p.inputBuffer; }, encode), NV_ENC_ERR_INVALID_PARAM },
        { "width", With<Pic>(picture, [](Pic& p) { p.inputWidth = 162; }, encode), NV_ENC_ERR_INVALID_PARAM },
        { "format", With<Pic>(picture, [](Pic& p) { p.bufferFmt = NV_ENC_BUFFER_FORMAT_ARGB; }, encode), NV_ENC_ERR_INVALID_PARAM },
        { "no event", With<Pic>(picture, [](Pic& p) { p.completionEvent = nullptr; }, encode), NV_ENC_ERR_INVALID_EVENT },
        { "stranger event", With<Pic>(picture, [&](Pic& p) { p.completionEvent = &stranger; }, encode), NV_ENC_ERR_EVENT_NOT_REGISTERD },
    });

    // A locked input buffer cannot be encoded; a bitstream buffer takes one picture at a time.
    auto lock = Versioned<NV_ENC_LOCK_INPUT_BUFFER>(NV_ENC_LOCK_INPUT_BUFFER_VER);
    lock.inputBuffer = session.Inputs[0];
    auto copy = picture;
    ASSERT_EQ(F.nvEncLockInputBuffer(session.E, &lock), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncLockInputBuffer(session.E, &lock), NV_ENC_ERR_LOCK_BUSY);
    EXPECT_EQ(encode(&copy), NV_ENC_ERR_INVALID_CALL);
    ASSERT_EQ(F.nvEncUnlockInputBuffer(session.E, session.Inputs[0]), NV_ENC_SUCCESS);
    EXPECT_EQ(F.nvEncUnlockInputBuffer(session.E, session.Inputs[0]), NV_ENC_ERR_INVALID_CALL);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, true), NV_ENC_SUCCESS);
    ASSERT_EQ(encode(&copy), NV_ENC_SUCCESS);
    EXPECT_EQ(encode(&copy), NV_ENC_ERR_INVALID_CALL);

    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    EXPECT_FALSE(session.Collect(0).Bytes.empty());
    // A buffer that holds no picture cannot be locked; one that is not locked cannot be unlocked.
    auto bitstream = Versioned<NV_ENC_LOCK_BITSTREAM>(NV_ENC_LOCK_BITSTREAM_VER);
    bitstream.outputBitstream = session.Bitstreams[0];
    EXPECT_EQ(F.nvEncLockBitstream(session.E, &bitstream), NV_ENC_ERR_INVALID_CALL);
    EXPECT_EQ(F.nvEncUnlockBitstream(session.E, session.Bitstreams[0]), NV_ENC_ERR_INVALID_CALL);
}

TEST(SoftwareRuntimeCompletion, EventsAreSignalledInSubmissionOrder)
{
    Session session(Options { .BitstreamBuffers = 6 });
    session.Start();
    SignalRecorder recorder;
    session.SubmitHeld(6); // nothing is encoded, so nothing signalled, before the hold ends
    for (int slot = 0; slot < 6; ++slot)
        recorder.Watch(session.Events[slot].get(), slot);
    recorder.Watch(&session.EndOfStream, 100);
    ASSERT_EQ(session.SubmitEndOfStream(), NV_ENC_SUCCESS);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    EXPECT_EQ(recorder.Order(7), (std::vector<int> { 0, 1, 2, 3, 4, 5, 100 }));
    for (uint32_t slot = 0; slot < 6; ++slot)
        EXPECT_EQ(session.Collect(slot).TimeStamp, slot * FrameTime);
}

TEST(SoftwareRuntimeCompletion, DestroyingWithPicturesInFlightSignalsNothingAndReleasesEverything)
{
    auto session = std::make_unique<Session>(Options {});
    session->Start();
    SignalRecorder recorder;
    session->SubmitHeld(4);
    for (int slot = 0; slot < 4; ++slot)
        recorder.Watch(session->Events[slot].get(), slot);
    // A caller blocked in a lock is released with a failure when the encoder goes.
    NVENCSTATUS lockStatus = NV_ENC_SUCCESS;
    Sync::Event lockerWaiting(Sync::Event::ResetMode::Manual);
    auto lock = Versioned<NV_ENC_LOCK_BITSTREAM>(NV_ENC_LOCK_BITSTREAM_VER);
    lock.outputBitstream = session->Bitstreams[3];
    std::thread locker([&, encoder = session->E, lockBitstream = session->F.nvEncLockBitstream] {
        lockerWaiting.Set();
        lockStatus = lockBitstream(encoder, &lock);
    });
    ASSERT_TRUE(lockerWaiting.Wait(WaitMilliseconds));
    const std::size_t before = SoftwareEncoder::OpenSessionCount();
    session->Destroy();
    locker.join();
    EXPECT_TRUE(lockStatus == NV_ENC_ERR_INVALID_ENCODERDEVICE || lockStatus == NV_ENC_ERR_INVALID_PARAM) << lockStatus;
    EXPECT_EQ(SoftwareEncoder::OpenSessionCount(), before - 1);
    // The events may go now: nothing signals them any more.
    EXPECT_TRUE(recorder.Order().empty());
    session.reset();
}

TEST(SoftwareRuntimeCompletion, AnUnregisteredEventOrDestroyedBufferIsLeftAloneWhileLaterPicturesComplete)
{
    Session session(Options {});
    session.Start();
    session.SubmitHeld(3);
    ASSERT_EQ(session.RegisterEvent(session.Events[0].get(), false), NV_ENC_SUCCESS);
    ASSERT_EQ(session.F.nvEncDestroyBitstreamBuffer(session.E, session.Bitstreams[1]), NV_ENC_SUCCESS);
    // The input buffer of a destroyed picture may go too: the picture still reads its memory.
    ASSERT_EQ(session.F.nvEncDestroyInputBuffer(session.E, session.Inputs[1]), NV_ENC_SUCCESS);
    ASSERT_EQ(SoftwareEncoder::HoldEncoding(session.E, false), NV_ENC_SUCCESS);
    EXPECT_EQ(session.Collect(2).TimeStamp, 2 * FrameTime);
    EXPECT_FALSE(session.Events[0]->IsSignalled());
    EXPECT_FALSE(session.Events[1]->IsSignalled());
    // Slot 0's picture was encoded all the same and can be locked.
    EXPECT_EQ(session.Take(0).PictureType, NV_ENC_PIC_TYPE_IDR);
}

// Synchronous sessions (no events) and asynchronous ones, both input formats, side by side.
TEST(SoftwareRuntimeCompletion, SessionsEncodeSideBySide)
{
    std::atomic<int> complete { 0 };
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([&, i] {
            Session session(Options { .Asynchronous = i != 2, .Format = i % 2 ? NV_ENC_BUFFER_FORMAT_ARGB : NV_ENC_BUFFER_FORMAT_NV12 });
            session.Start();
            complete += session.EncodeFrames(12).size() == 12;
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(complete, 3);
}
