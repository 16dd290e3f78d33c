// Device handles and control requests: synchronous, overlapped (completing an Event), reads,
// cancel and drain, HID capabilities. Paths that begin "\\?\SIM#" or "sim:" are routed to
// in-process device providers registered at run time (the simulated driver); all other paths go
// to the OS (CreateFileW on Windows, the driver's socket folder on Linux).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/sync.h"

namespace platform {

// Windows error codes that the seam reports in Overlapped::status and LastDeviceError.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;
inline constexpr uint32_t kErrorTimeout = 1460;

class DeviceConnection;

// How long a synchronous request waits for the driver before it is asked to cancel, and then
// fails: a driver that never answers must not hang the thread that asked (the window's thread
// among them). 10 s; tests shorten it.
uint32_t RequestTimeLimitMs();
void SetRequestTimeLimitMs(uint32_t ms);
// How long opening a device waits for the driver before the open is given up (it fails with
// kErrorTimeout; a handle the driver grants later is closed again): 5 s. And how long a
// cancelled request waits for the driver to end it before it is abandoned: 2 s. Tests shorten
// both.
uint32_t OpenTimeLimitMs();
void SetOpenTimeLimitMs(uint32_t ms);
uint32_t CancelGraceMs();
void SetCancelGraceMs(uint32_t ms);

// The record of one overlapped request. It, and the buffers given with the request, must stay
// alive until the request has completed (GetResult reported it, or CancelAndDrain returned).
struct Overlapped {
  explicit Overlapped(Event& done_event) : done(&done_event) {}
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;

  Event* done;  // set by whoever completes the request; the seam resets it when issuing
  // Owned by the connection that carries the request.
  alignas(8) unsigned char os[64] = {};
};

// One open handle on a device. Windows handles, sockets and in-process simulated devices all
// implement it; the free functions below are the API that the rest of the system uses.
class DeviceConnection {
 public:
  virtual ~DeviceConnection() = default;
  // Synchronous request: returns when the device has answered.
  virtual bool Control(uint32_t code, const void* input, uint32_t input_size, void* output,
                       uint32_t output_size, uint32_t* returned) = 0;
  // Overlapped request or read: true when issued (completed at once or pending); false when it
  // failed at once, in which case the event is not set.
  virtual bool IssueControl(uint32_t code, const void* input, uint32_t input_size, void* output,
                            uint32_t output_size, Overlapped& overlapped) = 0;
  virtual bool IssueRead(void* buffer, uint32_t size, Overlapped& overlapped) = 0;
  // GetOverlappedResult: with wait, blocks until the request completes. True on success.
  virtual bool GetResult(Overlapped& overlapped, uint32_t* returned, bool wait) = 0;
  // Asks the device to end the request at once (ERROR_OPERATION_ABORTED when still pending).
  virtual void Cancel(Overlapped& overlapped) = 0;
  // After Cancel: waits up to limit_ms for the request to end. When it has not, the request is
  // abandoned: from the return on, its completion touches neither the record nor the buffers
  // given with it (the connection keeps what the driver may still write until it really ends),
  // and GetResult reports ERROR_OPERATION_ABORTED. True when the request ended in time. The
  // default waits without limit, for connections whose GetResult bounds that wait itself.
  virtual bool Drain(Overlapped& overlapped, uint32_t limit_ms) {
    (void)limit_ms;
    uint32_t ignored = 0;
    GetResult(overlapped, &ignored, true);
    return true;
  }
  // HID input report length from the device's capabilities; false when it has none.
  virtual bool InputReportLength(uint16_t* length) = 0;
  // The same, given up when stop is set first (false then). The default does not watch stop,
  // for devices that answer at once.
  virtual bool InputReportLengthUntil(uint16_t* length, Event& stop) {
    (void)stop;
    return InputReportLength(length);
  }
  // The OS handle (HANDLE on Windows) for device notifications; null for in-process devices.
  virtual void* NativeHandle() { return nullptr; }
};

// An open device handle; null is the invalid handle.
using DeviceHandle = DeviceConnection*;

enum class DeviceAccess { kRead, kReadWrite };

// Opens path, shared for reading and writing. Null on failure (LastDeviceError tells why). An
// open that the driver has not answered within OpenTimeLimitMs fails with kErrorTimeout.
DeviceHandle OpenDevice(std::u16string_view path, DeviceAccess access, bool overlapped);
void CloseDevice(DeviceHandle handle);
// The error of the last failed OpenDevice on this thread.
uint32_t LastDeviceError();

inline bool DeviceControl(DeviceHandle handle, uint32_t code, const void* input,
                          uint32_t input_size, void* output, uint32_t output_size,
                          uint32_t* returned) {
  return handle != nullptr &&
         handle->Control(code, input, input_size, output, output_size, returned);
}

// Issues an overlapped request; on success the Overlapped is in flight until completed.
inline bool IssueControl(DeviceHandle handle, uint32_t code, const void* input,
                         uint32_t input_size, void* output, uint32_t output_size,
                         Overlapped& overlapped) {
  if (handle == nullptr) return false;
  overlapped.done->Reset();
  return handle->IssueControl(code, input, input_size, output, output_size, overlapped);
}

inline bool IssueRead(DeviceHandle handle, void* buffer, uint32_t size, Overlapped& overlapped) {
  if (handle == nullptr) return false;
  overlapped.done->Reset();
  return handle->IssueRead(buffer, size, overlapped);
}

inline bool GetOverlappedResult(DeviceHandle handle, Overlapped& overlapped, uint32_t* returned,
                                bool wait) {
  return handle != nullptr && handle->GetResult(overlapped, returned, wait);
}

// Cancels a request in flight and waits for its completion, for at most CancelGraceMs: a driver
// that never ends a cancelled request gets it abandoned. Afterwards its record and buffers may
// be freed either way. False when it was abandoned.
inline bool CancelAndDrain(DeviceHandle handle, Overlapped& overlapped) {
  if (handle == nullptr) return true;
  handle->Cancel(overlapped);
  return handle->Drain(overlapped, CancelGraceMs());
}

inline bool InputReportLength(DeviceHandle handle, uint16_t* length) {
  return handle != nullptr && handle->InputReportLength(length);
}

inline bool InputReportLength(DeviceHandle handle, uint16_t* length, Event& stop) {
  return handle != nullptr && handle->InputReportLengthUntil(length, stop);
}

// In-process device providers (the simulated driver registers one). A provider answers the
// paths that start with its prefix; Open returns null (and sets *error) for unknown devices.
class DeviceProvider {
 public:
  virtual ~DeviceProvider() = default;
  virtual DeviceConnection* Open(std::u16string_view path, DeviceAccess access, bool overlapped,
                                 uint32_t* error) = 0;
};

// Routes paths beginning with "\\?\SIM#" or "sim:" (case-insensitive) to provider. One
// provider at a time; registering null removes it. Thread-safe.
void SetInProcessDeviceProvider(DeviceProvider* provider);
bool IsInProcessDevicePath(std::u16string_view path);

}  // namespace platform
