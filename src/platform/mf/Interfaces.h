#pragma once
// The media platform's interfaces, with the methods, argument order and identifiers the platform
// publishes. Media objects implement them; src/platform/mf implements the platform's own objects.

#include "platform/com/ComPtr.h"
#include "platform/com/PropVariant.h"
#include "platform/mf/Errors.h"
#include "platform/mf/EventTypes.h"
#include "platform/mf/Guids.h"

#include <cstddef>

using HANDLE = void*;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using TOPOID = uint64_t;
using LPCWSTR = const char*; // UTF-8 text in this port
using LPWSTR = char*;
using VARIANT = PROPVARIANT;  // codec settings take the same tagged value in this port

struct IMFAsyncResult;
struct IMFMediaType;
struct IMFMediaEvent;
struct IMFPresentationClock;
struct IMFMediaSink;
struct IMFMediaSource;
struct IMFStreamDescriptor;
struct IMFPresentationDescriptor;
struct IMFMediaTypeHandler;
struct IMFCollection;
struct IMFTopologyNode;
struct IMFClock;

// Attributes

enum MF_ATTRIBUTE_TYPE : uint32_t
{
    MF_ATTRIBUTE_UINT32 = VT_UI4,
    MF_ATTRIBUTE_UINT64 = VT_UI8,
    MF_ATTRIBUTE_DOUBLE = VT_R8,
    MF_ATTRIBUTE_GUID = VT_CLSID,
    MF_ATTRIBUTE_STRING = VT_LPWSTR,
    MF_ATTRIBUTE_BLOB = VT_VECTOR | VT_UI1,
    MF_ATTRIBUTE_IUNKNOWN = VT_UNKNOWN,
};

// Compare answers only the match of every item; other types give E_INVALIDARG.
enum MF_ATTRIBUTES_MATCH_TYPE : uint32_t
{
    MF_ATTRIBUTES_MATCH_ALL_ITEMS = 2,
};

struct IMFAttributes : IUnknown
{
    XEV_INTERFACE(IMFAttributes, IUnknown, "2cd2d921-c447-44a7-a13c-4adabfc247e3");
    virtual HRESULT GetItem(REFGUID key, PROPVARIANT* value) = 0;
    virtual HRESULT GetItemType(REFGUID key, MF_ATTRIBUTE_TYPE* type) = 0;
    virtual HRESULT CompareItem(REFGUID key, const PROPVARIANT& value, BOOL* result) = 0;
    virtual HRESULT Compare(IMFAttributes* theirs, MF_ATTRIBUTES_MATCH_TYPE matchType, BOOL* result) = 0;
    virtual HRESULT GetUINT32(REFGUID key, UINT32* value) = 0;
    virtual HRESULT GetUINT64(REFGUID key, UINT64* value) = 0;
    virtual HRESULT GetDouble(REFGUID key, double* value) = 0;
    virtual HRESULT GetGUID(REFGUID key, GUID* value) = 0;
    // Length in characters (bytes of UTF-8 here) without the terminator.
    virtual HRESULT GetStringLength(REFGUID key, UINT32* length) = 0;
    virtual HRESULT GetString(REFGUID key, LPWSTR value, UINT32 size, UINT32* length) = 0;
    // The string is allocated with CoTaskMemAlloc and freed with CoTaskMemFree.
    virtual HRESULT GetAllocatedString(REFGUID key, LPWSTR* value, UINT32* length) = 0;
    virtual HRESULT GetBlobSize(REFGUID key, UINT32* size) = 0;
    virtual HRESULT GetBlob(REFGUID key, UINT8* buffer, UINT32 size, UINT32* blobSize) = 0;
    virtual HRESULT GetAllocatedBlob(REFGUID key, UINT8** buffer, UINT32* size) = 0;
    virtual HRESULT GetUnknown(REFGUID key, REFIID riid, void** object) = 0;
    virtual HRESULT SetItem(REFGUID key, const PROPVARIANT& value) = 0;
    virtual HRESULT DeleteItem(REFGUID key) = 0;
    virtual HRESULT DeleteAllItems() = 0;
    virtual HRESULT SetUINT32(REFGUID key, UINT32 value) = 0;
    virtual HRESULT SetUINT64(REFGUID key, UINT64 value) = 0;
    virtual HRESULT SetDouble(REFGUID key, double value) = 0;
    virtual HRESULT SetGUID(REFGUID key, REFGUID value) = 0;
    virtual HRESULT SetString(REFGUID key, LPCWSTR value) = 0;
    virtual HRESULT SetBlob(REFGUID key, const UINT8* buffer, UINT32 size) = 0;
    virtual HRESULT SetUnknown(REFGUID key, IUnknown* object) = 0;
    virtual HRESULT LockStore() = 0;
    virtual HRESULT UnlockStore() = 0;
    virtual HRESULT GetCount(UINT32* count) = 0;
    virtual HRESULT GetItemByIndex(UINT32 index, GUID* key, PROPVARIANT* value) = 0;
    virtual HRESULT CopyAllItems(IMFAttributes* destination) = 0;
};

// Media types

constexpr DWORD MF_MEDIATYPE_EQUAL_MAJOR_TYPES = 0x1;
constexpr DWORD MF_MEDIATYPE_EQUAL_FORMAT_TYPES = 0x2;
constexpr DWORD MF_MEDIATYPE_EQUAL_FORMAT_DATA = 0x4;
constexpr DWORD MF_MEDIATYPE_EQUAL_FORMAT_USER_DATA = 0x8;

struct IMFMediaType : IMFAttributes
{
    XEV_INTERFACE(IMFMediaType, IMFAttributes, "44ae0fa8-ea31-4109-8d2e-4cae4997c555");
    virtual HRESULT GetMajorType(GUID* majorType) = 0;
    virtual HRESULT IsCompressedFormat(BOOL* compressed) = 0;
    virtual HRESULT IsEqual(IMFMediaType* other, DWORD* flags) = 0;
};

// Buffers and samples

struct IMFMediaBuffer : IUnknown
{
    XEV_INTERFACE(IMFMediaBuffer, IUnknown, "045fa593-8799-42b8-bc8d-8968c6453507");
    virtual HRESULT Lock(BYTE** buffer, DWORD* maxLength, DWORD* currentLength) = 0;
    virtual HRESULT Unlock() = 0;
    virtual HRESULT GetCurrentLength(DWORD* currentLength) = 0;
    virtual HRESULT SetCurrentLength(DWORD currentLength) = 0;
    virtual HRESULT GetMaxLength(DWORD* maxLength) = 0;
};

struct IMF2DBuffer : IUnknown
{
    XEV_INTERFACE(IMF2DBuffer, IUnknown, "7dc9d5f9-9ed9-44ec-9bbf-0600bb589fbb");
    virtual HRESULT Lock2D(BYTE** scanline0, LONG* pitch) = 0;
    virtual HRESULT Unlock2D() = 0;
    virtual HRESULT GetScanline0AndPitch(BYTE** scanline0, LONG* pitch) = 0;
    virtual HRESULT IsContiguousFormat(BOOL* contiguous) = 0;
    virtual HRESULT GetContiguousLength(DWORD* length) = 0;
    virtual HRESULT ContiguousCopyTo(BYTE* destination, DWORD destinationLength) = 0;
    virtual HRESULT ContiguousCopyFrom(const BYTE* source, DWORD sourceLength) = 0;
};

struct IMFDXGIBuffer : IUnknown
{
    XEV_INTERFACE(IMFDXGIBuffer, IUnknown, "e7174cfa-1c9e-48b1-8866-626226bfc258");
    virtual HRESULT GetResource(REFIID riid, void** object) = 0;
    virtual HRESULT GetSubresourceIndex(UINT32* index) = 0;
    virtual HRESULT GetUnknown(REFGUID key, REFIID riid, void** object) = 0;
    virtual HRESULT SetUnknown(REFGUID key, IUnknown* data) = 0;
};

struct IMFSample : IMFAttributes
{
    XEV_INTERFACE(IMFSample, IMFAttributes, "c40a00f2-b93a-4d80-ae8c-5a1c634f58e4");
    virtual HRESULT GetSampleFlags(DWORD* flags) = 0;
    virtual HRESULT SetSampleFlags(DWORD flags) = 0;
    virtual HRESULT GetSampleTime(LONGLONG* time) = 0;
    virtual HRESULT SetSampleTime(LONGLONG time) = 0;
    virtual HRESULT GetSampleDuration(LONGLONG* duration) = 0;
    virtual HRESULT SetSampleDuration(LONGLONG duration) = 0;
    virtual HRESULT GetBufferCount(DWORD* count) = 0;
    virtual HRESULT GetBufferByIndex(DWORD index, IMFMediaBuffer** buffer) = 0;
    virtual HRESULT ConvertToContiguousBuffer(IMFMediaBuffer** buffer) = 0;
    virtual HRESULT AddBuffer(IMFMediaBuffer* buffer) = 0;
    virtual HRESULT RemoveBufferByIndex(DWORD index) = 0;
    virtual HRESULT RemoveAllBuffers() = 0;
    virtual HRESULT GetTotalLength(DWORD* totalLength) = 0;
    virtual HRESULT CopyToBuffer(IMFMediaBuffer* buffer) = 0;
};

struct IMFAsyncCallback;

struct IMFTrackedSample : IUnknown
{
    XEV_INTERFACE(IMFTrackedSample, IUnknown, "245bf8e9-0755-40f7-88a5-ae0f18d55e17");
    // The callback is invoked (on a work queue) when the last outside reference to the sample goes.
    virtual HRESULT SetAllocator(IMFAsyncCallback* sampleAllocator, IUnknown* state) = 0;
};

// Asynchronous callbacks and results

struct IMFAsyncResult : IUnknown
{
    XEV_INTERFACE(IMFAsyncResult, IUnknown, "ac6b7889-0740-4d51-8619-905994a55cc6");
    virtual HRESULT GetState(IUnknown** state) = 0;
    virtual HRESULT GetStatus() = 0;
    virtual HRESULT SetStatus(HRESULT status) = 0;
    virtual HRESULT GetObject(IUnknown** object) = 0;
    virtual IUnknown* GetStateNoAddRef() = 0;
};

struct IMFAsyncCallback : IUnknown
{
    XEV_INTERFACE(IMFAsyncCallback, IUnknown, "a27003cf-2354-4f2a-8d6a-ab7cff15437e");
    virtual HRESULT GetParameters(DWORD* flags, DWORD* queue) = 0;
    virtual HRESULT Invoke(IMFAsyncResult* result) = 0;
};

// Events

constexpr DWORD MF_EVENT_FLAG_NO_WAIT = 0x1;

struct IMFMediaEvent : IMFAttributes
{
    XEV_INTERFACE(IMFMediaEvent, IMFAttributes, "df598932-f10c-4e39-bba2-c308f101daa3");
    virtual HRESULT GetType(MediaEventType* type) = 0;
    virtual HRESULT GetExtendedType(GUID* extendedType) = 0;
    virtual HRESULT GetStatus(HRESULT* status) = 0;
    virtual HRESULT GetValue(PROPVARIANT* value) = 0;
};

struct IMFMediaEventGenerator : IUnknown
{
    XEV_INTERFACE(IMFMediaEventGenerator, IUnknown, "2cd0bd52-bcd5-4b89-b62c-eadc0c031e7d");
    virtual HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) = 0;
    virtual HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) = 0;
    virtual HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
    virtual HRESULT QueueEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) = 0;
};

struct IMFMediaEventQueue : IUnknown
{
    XEV_INTERFACE(IMFMediaEventQueue, IUnknown, "36f846fc-2256-48b6-b58e-e2b638316581");
    virtual HRESULT GetEvent(DWORD flags, IMFMediaEvent** event) = 0;
    virtual HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) = 0;
    virtual HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
    virtual HRESULT QueueEvent(IMFMediaEvent* event) = 0;
    virtual HRESULT QueueEventParamVar(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value) = 0;
    virtual HRESULT QueueEventParamUnk(MediaEventType type, REFGUID extendedType, HRESULT status, IUnknown* unknown) = 0;
    virtual HRESULT Shutdown() = 0;
};

// Shutdown and services

enum MFSHUTDOWN_STATUS : uint32_t
{
    MFSHUTDOWN_INITIATED = 0,
    MFSHUTDOWN_COMPLETED = 1,
};

struct IMFShutdown : IUnknown
{
    XEV_INTERFACE(IMFShutdown, IUnknown, "97ec2ea4-0e42-4937-97ac-9d6d328824e1");
    virtual HRESULT Shutdown() = 0;
    virtual HRESULT GetShutdownStatus(MFSHUTDOWN_STATUS* status) = 0;
};

struct IMFGetService : IUnknown
{
    XEV_INTERFACE(IMFGetService, IUnknown, "fa993888-4383-415a-a930-dd472a8cf6f7");
    virtual HRESULT GetService(REFGUID service, REFIID riid, void** object) = 0;
};

struct IMFCollection : IUnknown
{
    XEV_INTERFACE(IMFCollection, IUnknown, "5bc8a76b-869a-46a3-9b03-fa218a66aebe");
    virtual HRESULT GetElementCount(DWORD* count) = 0;
    virtual HRESULT GetElement(DWORD index, IUnknown** element) = 0;
    virtual HRESULT AddElement(IUnknown* element) = 0;
    virtual HRESULT RemoveElement(DWORD index, IUnknown** element) = 0;
    virtual HRESULT InsertElementAt(DWORD index, IUnknown* element) = 0;
    virtual HRESULT RemoveAllElements() = 0;
};

// Device manager

struct IMFDXGIDeviceManager : IUnknown
{
    XEV_INTERFACE(IMFDXGIDeviceManager, IUnknown, "eb533d5d-2db6-40f8-97a9-494692014f07");
    virtual HRESULT CloseDeviceHandle(HANDLE device) = 0;
    virtual HRESULT GetVideoService(HANDLE device, REFIID riid, void** service) = 0;
    virtual HRESULT LockDevice(HANDLE device, REFIID riid, void** unknownDevice, BOOL block) = 0;
    virtual HRESULT OpenDeviceHandle(HANDLE* device) = 0;
    virtual HRESULT ResetDevice(IUnknown* unknownDevice, UINT32 resetToken) = 0;
    virtual HRESULT TestDevice(HANDLE device) = 0;
    virtual HRESULT UnlockDevice(HANDLE device, BOOL saveState) = 0;
};

// Clock

enum MFCLOCK_STATE : uint32_t
{
    MFCLOCK_STATE_INVALID = 0,
    MFCLOCK_STATE_RUNNING = 1,
    MFCLOCK_STATE_STOPPED = 2,
    MFCLOCK_STATE_PAUSED = 3,
};

struct MFCLOCK_PROPERTIES
{
    uint64_t qwCorrelationRate;
    GUID guidClockId;
    DWORD dwClockFlags;
    uint64_t qwClockFrequency;
    DWORD dwClockTolerance;
    DWORD dwClockJitter;
};

constexpr LONGLONG PRESENTATION_CURRENT_POSITION = 0x7fffffffffffffffLL;

struct IMFClock : IUnknown
{
    XEV_INTERFACE(IMFClock, IUnknown, "2eb1e945-18b8-4139-9b1a-d5d584818530");
    virtual HRESULT GetClockCharacteristics(DWORD* characteristics) = 0;
    virtual HRESULT GetCorrelatedTime(DWORD reserved, LONGLONG* clockTime, MFTIME* systemTime) = 0;
    virtual HRESULT GetContinuityKey(DWORD* key) = 0;
    virtual HRESULT GetState(DWORD reserved, MFCLOCK_STATE* state) = 0;
    virtual HRESULT GetProperties(MFCLOCK_PROPERTIES* properties) = 0;
};

struct IMFPresentationTimeSource : IMFClock
{
    XEV_INTERFACE(IMFPresentationTimeSource, IMFClock, "7ff12cce-f76f-41c2-863b-1666c8e5e139");
    virtual HRESULT GetUnderlyingClock(IMFClock** clock) = 0;
};

struct IMFClockStateSink : IUnknown
{
    XEV_INTERFACE(IMFClockStateSink, IUnknown, "f6696e82-74f7-4f3d-a178-8a5e09c3659f");
    virtual HRESULT OnClockStart(MFTIME systemTime, LONGLONG clockStartOffset) = 0;
    virtual HRESULT OnClockStop(MFTIME systemTime) = 0;
    virtual HRESULT OnClockPause(MFTIME systemTime) = 0;
    virtual HRESULT OnClockRestart(MFTIME systemTime) = 0;
    virtual HRESULT OnClockSetRate(MFTIME systemTime, float rate) = 0;
};

struct IMFPresentationClock : IMFClock
{
    XEV_INTERFACE(IMFPresentationClock, IMFClock, "868ce85c-8ea9-4f55-ab82-b009a910a805");
    virtual HRESULT SetTimeSource(IMFPresentationTimeSource* timeSource) = 0;
    virtual HRESULT GetTimeSource(IMFPresentationTimeSource** timeSource) = 0;
    virtual HRESULT GetTime(MFTIME* clockTime) = 0;
    virtual HRESULT AddClockStateSink(IMFClockStateSink* stateSink) = 0;
    virtual HRESULT RemoveClockStateSink(IMFClockStateSink* stateSink) = 0;
    virtual HRESULT Start(LONGLONG clockStartOffset) = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Pause() = 0;
};

// Implemented by objects that consume the session's presentation clock (source, transform, sink).
struct IMFClockConsumer : IUnknown
{
    XEV_INTERFACE(IMFClockConsumer, IUnknown, "6ef2a662-47c0-4666-b13d-cbb717f2fa2c");
    virtual HRESULT SetPresentationClock(IMFPresentationClock* presentationClock) = 0;
    virtual HRESULT GetPresentationClock(IMFPresentationClock** presentationClock) = 0;
};

// Rate

enum MFRATE_DIRECTION : uint32_t
{
    MFRATE_FORWARD = 0,
    MFRATE_REVERSE = 1,
};

struct IMFRateSupport : IUnknown
{
    XEV_INTERFACE(IMFRateSupport, IUnknown, "0a9ccdbc-d797-4563-9667-94ec5d79292d");
    virtual HRESULT GetSlowestRate(MFRATE_DIRECTION direction, BOOL thin, float* rate) = 0;
    virtual HRESULT GetFastestRate(MFRATE_DIRECTION direction, BOOL thin, float* rate) = 0;
    virtual HRESULT IsRateSupported(BOOL thin, float rate, float* nearestSupportedRate) = 0;
};

struct IMFRateControl : IUnknown
{
    XEV_INTERFACE(IMFRateControl, IUnknown, "88ddcd21-03c3-4275-91ed-55ee3929328f");
    virtual HRESULT SetRate(BOOL thin, float rate) = 0;
    virtual HRESULT GetRate(BOOL* thin, float* rate) = 0;
};

// Descriptors

struct IMFMediaTypeHandler : IUnknown
{
    XEV_INTERFACE(IMFMediaTypeHandler, IUnknown, "e93dcf6c-4b07-4e1e-8123-aa16ed6eadf5");
    virtual HRESULT IsMediaTypeSupported(IMFMediaType* mediaType, IMFMediaType** closest) = 0;
    virtual HRESULT GetMediaTypeCount(DWORD* count) = 0;
    virtual HRESULT GetMediaTypeByIndex(DWORD index, IMFMediaType** type) = 0;
    virtual HRESULT SetCurrentMediaType(IMFMediaType* mediaType) = 0;
    virtual HRESULT GetCurrentMediaType(IMFMediaType** mediaType) = 0;
    virtual HRESULT GetMajorType(GUID* majorType) = 0;
};

struct IMFStreamDescriptor : IMFAttributes
{
    XEV_INTERFACE(IMFStreamDescriptor, IMFAttributes, "56c03d9c-9dbb-45f5-ab4b-d80f47c05938");
    virtual HRESULT GetStreamIdentifier(DWORD* identifier) = 0;
    virtual HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) = 0;
};

struct IMFPresentationDescriptor : IMFAttributes
{
    XEV_INTERFACE(IMFPresentationDescriptor, IMFAttributes, "03cb2711-24d7-4db6-a17f-f3a7a479a536");
    virtual HRESULT GetStreamDescriptorCount(DWORD* count) = 0;
    virtual HRESULT GetStreamDescriptorByIndex(DWORD index, BOOL* selected, IMFStreamDescriptor** descriptor) = 0;
    virtual HRESULT SelectStream(DWORD index) = 0;
    virtual HRESULT DeselectStream(DWORD index) = 0;
    virtual HRESULT Clone(IMFPresentationDescriptor** descriptor) = 0;
};

// Media source

constexpr DWORD MFMEDIASOURCE_IS_LIVE = 0x1;
constexpr DWORD MFMEDIASOURCE_CAN_SEEK = 0x2;
constexpr DWORD MFMEDIASOURCE_CAN_PAUSE = 0x4;

struct IMFMediaSource : IMFMediaEventGenerator
{
    XEV_INTERFACE(IMFMediaSource, IMFMediaEventGenerator, "279a808d-aec7-40c8-9c6b-a6b492c78a66");
    virtual HRESULT GetCharacteristics(DWORD* characteristics) = 0;
    virtual HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) = 0;
    virtual HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* timeFormat, const PROPVARIANT* startPosition) = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Shutdown() = 0;
};

struct IMFMediaSourceEx : IMFMediaSource
{
    XEV_INTERFACE(IMFMediaSourceEx, IMFMediaSource, "3c9b2eb9-86d5-4514-a394-f56664f9f0d8");
    virtual HRESULT GetSourceAttributes(IMFAttributes** attributes) = 0;
    virtual HRESULT GetStreamAttributes(DWORD streamIdentifier, IMFAttributes** attributes) = 0;
    virtual HRESULT SetD3DManager(IUnknown* manager) = 0;
};

struct IMFMediaStream : IMFMediaEventGenerator
{
    XEV_INTERFACE(IMFMediaStream, IMFMediaEventGenerator, "d182108f-4ec6-443f-aa42-a71106ec825f");
    virtual HRESULT GetMediaSource(IMFMediaSource** mediaSource) = 0;
    virtual HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) = 0;
    virtual HRESULT RequestSample(IUnknown* token) = 0;
};

// Transform

enum MFT_MESSAGE_TYPE : uint32_t
{
    MFT_MESSAGE_COMMAND_FLUSH = 0,
    MFT_MESSAGE_COMMAND_DRAIN = 0x1,
    MFT_MESSAGE_SET_D3D_MANAGER = 0x2,
    MFT_MESSAGE_DROP_SAMPLES = 0x3,
    MFT_MESSAGE_COMMAND_TICK = 0x4,
    MFT_MESSAGE_NOTIFY_BEGIN_STREAMING = 0x10000000,
    MFT_MESSAGE_NOTIFY_END_STREAMING = 0x10000001,
    MFT_MESSAGE_NOTIFY_END_OF_STREAM = 0x10000002,
    MFT_MESSAGE_NOTIFY_START_OF_STREAM = 0x10000003,
    MFT_MESSAGE_NOTIFY_RELEASE_RESOURCES = 0x10000004,
    MFT_MESSAGE_NOTIFY_REACQUIRE_RESOURCES = 0x10000005,
    MFT_MESSAGE_NOTIFY_EVENT = 0x10000006,
    MFT_MESSAGE_COMMAND_SET_OUTPUT_STREAM_STATE = 0x10000007,
    MFT_MESSAGE_COMMAND_FLUSH_OUTPUT_STREAM = 0x10000008,
    MFT_MESSAGE_COMMAND_MARKER = 0x20000000,
};

struct MFT_INPUT_STREAM_INFO
{
    LONGLONG hnsMaxLatency;
    DWORD dwFlags;
    DWORD cbSize;
    DWORD cbMaxLookahead;
    DWORD cbAlignment;
};

struct MFT_OUTPUT_STREAM_INFO
{
    DWORD dwFlags;
    DWORD cbSize;
    DWORD cbAlignment;
};

struct MFT_OUTPUT_DATA_BUFFER
{
    DWORD dwStreamID;
    IMFSample* pSample;
    DWORD dwStatus;
    IMFCollection* pEvents;
};

constexpr DWORD MFT_SET_TYPE_TEST_ONLY = 0x1;
constexpr DWORD MFT_INPUT_STATUS_ACCEPT_DATA = 0x1;
constexpr DWORD MFT_OUTPUT_STATUS_SAMPLE_READY = 0x1;
constexpr DWORD MFT_OUTPUT_STREAM_WHOLE_SAMPLES = 0x1;
constexpr DWORD MFT_OUTPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER = 0x2;
constexpr DWORD MFT_OUTPUT_STREAM_FIXED_SAMPLE_SIZE = 0x4;
constexpr DWORD MFT_OUTPUT_STREAM_DISCARDABLE = 0x8;
constexpr DWORD MFT_OUTPUT_STREAM_OPTIONAL = 0x10;
constexpr DWORD MFT_OUTPUT_STREAM_PROVIDES_SAMPLES = 0x100;
constexpr DWORD MFT_OUTPUT_STREAM_CAN_PROVIDE_SAMPLES = 0x200;
constexpr DWORD MFT_INPUT_STREAM_WHOLE_SAMPLES = 0x1;
constexpr DWORD MFT_INPUT_STREAM_SINGLE_SAMPLE_PER_BUFFER = 0x2;
constexpr DWORD MFT_INPUT_STREAM_FIXED_SAMPLE_SIZE = 0x4;
constexpr DWORD MFT_INPUT_STREAM_DOES_NOT_ADDREF = 0x100;
constexpr DWORD MFT_OUTPUT_DATA_BUFFER_INCOMPLETE = 0x1000000;
constexpr DWORD MFT_OUTPUT_DATA_BUFFER_FORMAT_CHANGE = 0x100;
constexpr DWORD MFT_OUTPUT_DATA_BUFFER_STREAM_END = 0x200;
constexpr DWORD MFT_OUTPUT_DATA_BUFFER_NO_SAMPLE = 0x300;
constexpr DWORD MFT_PROCESS_OUTPUT_STATUS_NEW_STREAMS = 0x100;
constexpr DWORD MFT_PROCESS_OUTPUT_DISCARD_WHEN_NO_BUFFER = 0x1;
constexpr DWORD MFT_PROCESS_OUTPUT_REGENERATE_LAST_OUTPUT = 0x2;

struct IMFTransform : IUnknown
{
    XEV_INTERFACE(IMFTransform, IUnknown, "bf94c121-5b05-4e6f-8000-ba598961414d");
    virtual HRESULT GetStreamLimits(DWORD* inputMinimum, DWORD* inputMaximum, DWORD* outputMinimum, DWORD* outputMaximum) = 0;
    virtual HRESULT GetStreamCount(DWORD* inputStreams, DWORD* outputStreams) = 0;
    virtual HRESULT GetStreamIDs(DWORD inputIDArraySize, DWORD* inputIDs, DWORD outputIDArraySize, DWORD* outputIDs) = 0;
    virtual HRESULT GetInputStreamInfo(DWORD inputStreamID, MFT_INPUT_STREAM_INFO* streamInfo) = 0;
    virtual HRESULT GetOutputStreamInfo(DWORD outputStreamID, MFT_OUTPUT_STREAM_INFO* streamInfo) = 0;
    virtual HRESULT GetAttributes(IMFAttributes** attributes) = 0;
    virtual HRESULT GetInputStreamAttributes(DWORD inputStreamID, IMFAttributes** attributes) = 0;
    virtual HRESULT GetOutputStreamAttributes(DWORD outputStreamID, IMFAttributes** attributes) = 0;
    virtual HRESULT DeleteInputStream(DWORD streamID) = 0;
    virtual HRESULT AddInputStreams(DWORD streams, DWORD* streamIDs) = 0;
    virtual HRESULT GetInputAvailableType(DWORD inputStreamID, DWORD typeIndex, IMFMediaType** type) = 0;
    virtual HRESULT GetOutputAvailableType(DWORD outputStreamID, DWORD typeIndex, IMFMediaType** type) = 0;
    virtual HRESULT SetInputType(DWORD inputStreamID, IMFMediaType* type, DWORD flags) = 0;
    virtual HRESULT SetOutputType(DWORD outputStreamID, IMFMediaType* type, DWORD flags) = 0;
    virtual HRESULT GetInputCurrentType(DWORD inputStreamID, IMFMediaType** type) = 0;
    virtual HRESULT GetOutputCurrentType(DWORD outputStreamID, IMFMediaType** type) = 0;
    virtual HRESULT GetInputStatus(DWORD inputStreamID, DWORD* flags) = 0;
    virtual HRESULT GetOutputStatus(DWORD* flags) = 0;
    virtual HRESULT SetOutputBounds(LONGLONG lowerBound, LONGLONG upperBound) = 0;
    virtual HRESULT ProcessEvent(DWORD inputStreamID, IMFMediaEvent* event) = 0;
    virtual HRESULT ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR parameter) = 0;
    virtual HRESULT ProcessInput(DWORD inputStreamID, IMFSample* sample, DWORD flags) = 0;
    virtual HRESULT ProcessOutput(DWORD flags, DWORD outputBufferCount, MFT_OUTPUT_DATA_BUFFER* outputSamples, DWORD* status) = 0;
};

// Values of CODECAPI_AVEncCommonRateControlMode.
enum eAVEncCommonRateControlMode : uint32_t
{
    eAVEncCommonRateControlMode_CBR = 0,
    eAVEncCommonRateControlMode_PeakConstrainedVBR = 1,
    eAVEncCommonRateControlMode_UnconstrainedVBR = 2,
    eAVEncCommonRateControlMode_Quality = 3,
    eAVEncCommonRateControlMode_LowDelayVBR = 4,
    eAVEncCommonRateControlMode_GlobalVBR = 5,
    eAVEncCommonRateControlMode_GlobalLowDelayVBR = 6,
};

// Values of MFSampleExtension_VideoEncodePictureType.
enum eAVEncH264PictureType : uint32_t
{
    eAVEncH264PictureType_IDR = 0,
    eAVEncH264PictureType_P = 1,
    eAVEncH264PictureType_B = 2,
};

// Codec settings (VARIANT is PROPVARIANT in this port).
struct ICodecAPI : IUnknown
{
    XEV_INTERFACE(ICodecAPI, IUnknown, "901db4c7-31ce-41a2-85dc-8fa0bf41b8da");
    virtual HRESULT IsSupported(const GUID* api) = 0;
    virtual HRESULT IsModifiable(const GUID* api) = 0;
    virtual HRESULT GetParameterRange(const GUID* api, VARIANT* valueMin, VARIANT* valueMax, VARIANT* steppingDelta) = 0;
    virtual HRESULT GetParameterValues(const GUID* api, VARIANT** values, ULONG* valuesCount) = 0;
    virtual HRESULT GetDefaultValue(const GUID* api, VARIANT* value) = 0;
    virtual HRESULT GetValue(const GUID* api, VARIANT* value) = 0;
    virtual HRESULT SetValue(const GUID* api, VARIANT* value) = 0;
    virtual HRESULT RegisterForEvent(const GUID* api, LONG_PTR userData) = 0;
    virtual HRESULT UnregisterForEvent(const GUID* api) = 0;
    virtual HRESULT SetAllDefaults() = 0;
    virtual HRESULT GetValueWithNotify(const GUID* api, VARIANT* value, GUID** changedParam, ULONG* changedParamCount) = 0;
    virtual HRESULT SetValueWithNotify(const GUID* api, VARIANT* value, GUID** changedParam, ULONG* changedParamCount) = 0;
    virtual HRESULT SetAllDefaultsWithNotify(GUID** changedParam, ULONG* changedParamCount) = 0;
    virtual HRESULT GetAllSettings(void* stream) = 0;
    virtual HRESULT SetAllSettings(void* stream) = 0;
    virtual HRESULT SetAllSettingsWithNotify(void* stream, GUID** changedParam, ULONG* changedParamCount) = 0;
};

// Media sink

constexpr DWORD MEDIASINK_FIXED_STREAMS = 0x1;
constexpr DWORD MEDIASINK_CANNOT_MATCH_CLOCK = 0x2;
constexpr DWORD MEDIASINK_RATELESS = 0x4;
constexpr DWORD MEDIASINK_CLOCK_REQUIRED = 0x8;
constexpr DWORD MEDIASINK_CAN_PREROLL = 0x10;
constexpr DWORD MEDIASINK_REQUIRE_REFERENCE_MEDIATYPE = 0x20;

enum MFSTREAMSINK_MARKER_TYPE : uint32_t
{
    MFSTREAMSINK_MARKER_DEFAULT = 0,
    MFSTREAMSINK_MARKER_ENDOFSEGMENT = 1,
    MFSTREAMSINK_MARKER_TICK = 2,
    MFSTREAMSINK_MARKER_EVENT = 3,
};

struct IMFStreamSink;

struct IMFMediaSink : IUnknown
{
    XEV_INTERFACE(IMFMediaSink, IUnknown, "6ef2a660-47c0-4666-b13d-cbb717f2fa2c");
    virtual HRESULT GetCharacteristics(DWORD* characteristics) = 0;
    virtual HRESULT AddStreamSink(DWORD streamSinkIdentifier, IMFMediaType* mediaType, IMFStreamSink** streamSink) = 0;
    virtual HRESULT RemoveStreamSink(DWORD streamSinkIdentifier) = 0;
    virtual HRESULT GetStreamSinkCount(DWORD* streamSinkCount) = 0;
    virtual HRESULT GetStreamSinkByIndex(DWORD index, IMFStreamSink** streamSink) = 0;
    virtual HRESULT GetStreamSinkById(DWORD streamSinkIdentifier, IMFStreamSink** streamSink) = 0;
    virtual HRESULT SetPresentationClock(IMFPresentationClock* presentationClock) = 0;
    virtual HRESULT GetPresentationClock(IMFPresentationClock** presentationClock) = 0;
    virtual HRESULT Shutdown() = 0;
};

struct IMFFinalizableMediaSink : IMFMediaSink
{
    XEV_INTERFACE(IMFFinalizableMediaSink, IMFMediaSink, "eaecb74a-9a50-42ce-9541-6a7f57aa4ad7");
    virtual HRESULT BeginFinalize(IMFAsyncCallback* callback, IUnknown* state) = 0;
    virtual HRESULT EndFinalize(IMFAsyncResult* result) = 0;
};

struct IMFStreamSink : IMFMediaEventGenerator
{
    XEV_INTERFACE(IMFStreamSink, IMFMediaEventGenerator, "0a97b3cf-8e7c-4a3d-8f8c-0c843dc247fb");
    virtual HRESULT GetMediaSink(IMFMediaSink** mediaSink) = 0;
    virtual HRESULT GetIdentifier(DWORD* identifier) = 0;
    virtual HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) = 0;
    virtual HRESULT ProcessSample(IMFSample* sample) = 0;
    virtual HRESULT PlaceMarker(MFSTREAMSINK_MARKER_TYPE markerType, const PROPVARIANT* markerValue, const PROPVARIANT* contextValue) = 0;
    virtual HRESULT Flush() = 0;
};

// Video sample allocator

struct IMFVideoSampleAllocator : IUnknown
{
    XEV_INTERFACE(IMFVideoSampleAllocator, IUnknown, "86cbc910-e533-4751-8e3b-f19b5b806a03");
    virtual HRESULT SetDirectXManager(IUnknown* manager) = 0;
    virtual HRESULT UninitializeSampleAllocator() = 0;
    virtual HRESULT InitializeSampleAllocator(DWORD requestedFrames, IMFMediaType* mediaType) = 0;
    virtual HRESULT AllocateSample(IMFSample** sample) = 0;
};

struct IMFVideoSampleAllocatorEx : IMFVideoSampleAllocator
{
    XEV_INTERFACE(IMFVideoSampleAllocatorEx, IMFVideoSampleAllocator, "545b3a48-3283-4f62-866f-a62d8f598f9f");
    virtual HRESULT InitializeSampleAllocatorEx(DWORD initialSamples, DWORD maximumSamples, IMFAttributes* attributes, IMFMediaType* mediaType) = 0;
};

struct IMFVideoSampleAllocatorNotify : IUnknown
{
    XEV_INTERFACE(IMFVideoSampleAllocatorNotify, IUnknown, "a792cdbe-c374-4e89-8335-278e7b9956a4");
    virtual HRESULT NotifyRelease() = 0;
};

struct IMFVideoSampleAllocatorCallback : IUnknown
{
    XEV_INTERFACE(IMFVideoSampleAllocatorCallback, IUnknown, "992388b4-3372-4f67-8b6f-c84c071f4751");
    virtual HRESULT SetCallback(IMFVideoSampleAllocatorNotify* notify) = 0;
    virtual HRESULT GetFreeSampleCount(LONG* samples) = 0;
};

// Topology and session

enum MF_TOPOLOGY_TYPE : uint32_t
{
    MF_TOPOLOGY_OUTPUT_NODE = 0,
    MF_TOPOLOGY_SOURCESTREAM_NODE = 1,
    MF_TOPOLOGY_TRANSFORM_NODE = 2,
    MF_TOPOLOGY_TEE_NODE = 3,
    MF_TOPOLOGY_MAX = 0xffffffff,
};

enum MF_TOPOSTATUS : uint32_t
{
    MF_TOPOSTATUS_INVALID = 0,
    MF_TOPOSTATUS_READY = 100,
    MF_TOPOSTATUS_STARTED_SOURCE = 200,
    MF_TOPOSTATUS_DYNAMIC_CHANGED = 210,
    MF_TOPOSTATUS_SINK_SWITCHED = 300,
    MF_TOPOSTATUS_ENDED = 400,
};

struct IMFTopologyNode : IMFAttributes
{
    XEV_INTERFACE(IMFTopologyNode, IMFAttributes, "83cf873a-f6da-4bc8-823f-bacfd55dc430");
    virtual HRESULT SetObject(IUnknown* object) = 0;
    virtual HRESULT GetObject(IUnknown** object) = 0;
    virtual HRESULT GetNodeType(MF_TOPOLOGY_TYPE* type) = 0;
    virtual HRESULT GetTopoNodeID(TOPOID* identifier) = 0;
    virtual HRESULT SetTopoNodeID(TOPOID identifier) = 0;
    virtual HRESULT GetInputCount(DWORD* inputs) = 0;
    virtual HRESULT GetOutputCount(DWORD* outputs) = 0;
    virtual HRESULT ConnectOutput(DWORD outputIndex, IMFTopologyNode* downstreamNode, DWORD inputIndexOnDownstreamNode) = 0;
    virtual HRESULT DisconnectOutput(DWORD outputIndex) = 0;
    virtual HRESULT GetInput(DWORD inputIndex, IMFTopologyNode** upstreamNode, DWORD* outputIndexOnUpstreamNode) = 0;
    virtual HRESULT GetOutput(DWORD outputIndex, IMFTopologyNode** downstreamNode, DWORD* inputIndexOnDownstreamNode) = 0;
    virtual HRESULT SetOutputPrefType(DWORD outputIndex, IMFMediaType* type) = 0;
    virtual HRESULT GetOutputPrefType(DWORD outputIndex, IMFMediaType** type) = 0;
    virtual HRESULT SetInputPrefType(DWORD inputIndex, IMFMediaType* type) = 0;
    virtual HRESULT GetInputPrefType(DWORD inputIndex, IMFMediaType** type) = 0;
    virtual HRESULT CloneFrom(IMFTopologyNode* node) = 0;
};

struct IMFTopology : IMFAttributes
{
    XEV_INTERFACE(IMFTopology, IMFAttributes, "83cf873a-f6da-4bc8-823f-bacfd55dc433");
    virtual HRESULT GetTopologyID(TOPOID* identifier) = 0;
    virtual HRESULT AddNode(IMFTopologyNode* node) = 0;
    virtual HRESULT RemoveNode(IMFTopologyNode* node) = 0;
    virtual HRESULT GetNodeCount(WORD* nodes) = 0;
    virtual HRESULT GetNode(WORD index, IMFTopologyNode** node) = 0;
    virtual HRESULT Clear() = 0;
    virtual HRESULT CloneFrom(IMFTopology* topology) = 0;
    virtual HRESULT GetNodeByID(TOPOID identifier, IMFTopologyNode** node) = 0;
    virtual HRESULT GetSourceNodeCollection(IMFCollection** collection) = 0;
    virtual HRESULT GetOutputNodeCollection(IMFCollection** collection) = 0;
};

constexpr DWORD MFSESSION_SETTOPOLOGY_IMMEDIATE = 0x1;
constexpr DWORD MFSESSION_SETTOPOLOGY_NORESOLUTION = 0x2;
constexpr DWORD MFSESSION_SETTOPOLOGY_CLEAR_CURRENT = 0x4;

struct IMFMediaSession : IMFMediaEventGenerator
{
    XEV_INTERFACE(IMFMediaSession, IMFMediaEventGenerator, "90377834-21d0-4dee-8214-ba2e3e6c1127");
    virtual HRESULT SetTopology(DWORD setTopologyFlags, IMFTopology* topology) = 0;
    virtual HRESULT ClearTopologies() = 0;
    virtual HRESULT Start(const GUID* timeFormat, const PROPVARIANT* startPosition) = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT Shutdown() = 0;
    virtual HRESULT GetClock(IMFClock** clock) = 0;
    virtual HRESULT GetSessionCapabilities(DWORD* capabilities) = 0;
    virtual HRESULT GetFullTopology(DWORD getFullTopologyFlags, TOPOID topoId, IMFTopology** fullTopology) = 0;
};
