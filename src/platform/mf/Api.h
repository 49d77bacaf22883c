#pragma once
// The media platform's functions: what media objects and the driver call, with the platform's
// argument order and HRESULTs. Implemented across src/platform/mf (and src/platform/d3d for the
// device manager and DXGI buffers).

#include "platform/mf/Interfaces.h"

#include "platform/system/Event.h"

// Start-up

constexpr ULONG MF_VERSION = 0x00020070;
constexpr DWORD MFSTARTUP_FULL = 0;

// Starts the shared worker pool (threads: processor count, at least 2). Calls nest: each
// MFStartup needs its MFShutdown; the last MFShutdown shuts down open sessions and stops the pool.
HRESULT MFStartup(ULONG version, DWORD flags = MFSTARTUP_FULL);
HRESULT MFShutdown();

// Memory

void* CoTaskMemAlloc(size_t size) noexcept;
void CoTaskMemFree(void* memory) noexcept;

// Data objects

HRESULT MFCreateAttributes(IMFAttributes** attributes, UINT32 initialSize);
HRESULT MFCreateMediaType(IMFMediaType** mediaType);
HRESULT MFCreateMemoryBuffer(DWORD maxLength, IMFMediaBuffer** buffer);
HRESULT MFCreateSample(IMFSample** sample);
HRESULT MFCreateTrackedSample(IMFTrackedSample** sample);
HRESULT MFCreateMediaEvent(MediaEventType type, REFGUID extendedType, HRESULT status, const PROPVARIANT* value, IMFMediaEvent** event);
HRESULT MFCreateEventQueue(IMFMediaEventQueue** queue);
HRESULT MFCreateCollection(IMFCollection** collection);

// Image size in bytes of one frame of `subtype` (ARGB32, RGB32, NV12, YUY2).
HRESULT MFCalculateImageSize(REFGUID subtype, UINT32 width, UINT32 height, UINT32* size);
// (a * b + d) / c, truncated toward zero, computed without overflow in the product
// (d = c / 2 rounds to nearest); a result beyond 64 bits saturates.
LONGLONG MFllMulDiv(LONGLONG a, LONGLONG b, LONGLONG c, LONGLONG d = 0);
// 100 ns units from the monotonic clock.
MFTIME MFGetSystemTime();

// Packed 64-bit attribute helpers (high 32 bits, low 32 bits).
inline UINT64 Pack2UINT32AsUINT64(UINT32 high, UINT32 low) { return (UINT64(high) << 32) | low; }
inline void Unpack2UINT32AsUINT64(UINT64 packed, UINT32* high, UINT32* low)
{
    *high = static_cast<UINT32>(packed >> 32);
    *low = static_cast<UINT32>(packed);
}
HRESULT MFSetAttributeSize(IMFAttributes* attributes, REFGUID key, UINT32 width, UINT32 height);
HRESULT MFGetAttributeSize(IMFAttributes* attributes, REFGUID key, UINT32* width, UINT32* height);
HRESULT MFSetAttributeRatio(IMFAttributes* attributes, REFGUID key, UINT32 numerator, UINT32 denominator);
HRESULT MFGetAttributeRatio(IMFAttributes* attributes, REFGUID key, UINT32* numerator, UINT32* denominator);
UINT32 MFGetAttributeUINT32(IMFAttributes* attributes, REFGUID key, UINT32 defaultValue);
UINT64 MFGetAttributeUINT64(IMFAttributes* attributes, REFGUID key, UINT64 defaultValue);

// Work queues and asynchronous results

constexpr DWORD MFASYNC_CALLBACK_QUEUE_UNDEFINED = 0x00000000;
constexpr DWORD MFASYNC_CALLBACK_QUEUE_STANDARD = 0x00000001;
constexpr DWORD MFASYNC_CALLBACK_QUEUE_RT = 0x00000002;
constexpr DWORD MFASYNC_CALLBACK_QUEUE_IO = 0x00000003;
constexpr DWORD MFASYNC_CALLBACK_QUEUE_TIMER = 0x00000004;
constexpr DWORD MFASYNC_CALLBACK_QUEUE_MULTITHREADED = 0x00000005;
constexpr DWORD MFASYNC_CALLBACK_QUEUE_LONG_FUNCTION = 0x00000007;

using MFWORKITEM_KEY = uint64_t;

HRESULT MFCreateAsyncResult(IUnknown* object, IMFAsyncCallback* callback, IUnknown* state, IMFAsyncResult** result);
// Puts the result's callback on the queue that the callback's GetParameters names (or the standard queue).
HRESULT MFInvokeCallback(IMFAsyncResult* result);
HRESULT MFPutWorkItem2(DWORD queue, LONG priority, IMFAsyncCallback* callback, IUnknown* state);
// A serial queue over `queue` (MFASYNC_CALLBACK_QUEUE_MULTITHREADED): one item at a time, in order.
HRESULT MFAllocateSerialWorkQueue(DWORD targetQueue, DWORD* queue);
// Closes a queue of MFAllocateSerialWorkQueue: afterwards puts to it answer MF_E_SHUTDOWN.
HRESULT MFUnlockWorkQueue(DWORD queue);
// Runs the result's callback once, when `event` is signalled; no thread waits meanwhile.
HRESULT MFPutWaitingWorkItem(Sync::Event* event, LONG priority, IMFAsyncResult* result, MFWORKITEM_KEY* key);
// Runs the callback after -timeout milliseconds (timeout is negative).
HRESULT MFScheduleWorkItem(IMFAsyncCallback* callback, IUnknown* state, INT64 timeout, MFWORKITEM_KEY* key);
HRESULT MFScheduleWorkItemEx(IMFAsyncResult* result, INT64 timeout, MFWORKITEM_KEY* key);
// A waiting or scheduled item that has not started yet is removed; otherwise MF_E_NOT_FOUND.
HRESULT MFCancelWorkItem(MFWORKITEM_KEY key);

// Descriptors, clock, topology, session (the session's stand-in)

HRESULT MFCreateStreamDescriptor(DWORD streamIdentifier, DWORD mediaTypeCount, IMFMediaType** mediaTypes, IMFStreamDescriptor** descriptor);
HRESULT MFCreatePresentationDescriptor(DWORD streamDescriptorCount, IMFStreamDescriptor** streamDescriptors, IMFPresentationDescriptor** descriptor);
HRESULT MFCreateSystemTimeSource(IMFPresentationTimeSource** timeSource);
HRESULT MFCreatePresentationClock(IMFPresentationClock** clock);
HRESULT MFCreateTopology(IMFTopology** topology);
HRESULT MFCreateTopologyNode(MF_TOPOLOGY_TYPE type, IMFTopologyNode** node);
HRESULT MFCreateMediaSession(IMFAttributes* configuration, IMFMediaSession** session);

// Device manager and DXGI buffers (src/platform/d3d)

HRESULT MFCreateDXGIDeviceManager(UINT32* resetToken, IMFDXGIDeviceManager** deviceManager);
HRESULT MFCreateDXGISurfaceBuffer(REFIID riid, IUnknown* surface, UINT32 subresourceIndex, BOOL bottomUpWhenLinear, IMFMediaBuffer** buffer);
