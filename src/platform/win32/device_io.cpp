// The OS half of device handles on Windows: a DeviceConnection over a CreateFileW handle, with
// DeviceIoControl and ReadFile, overlapped or not, and the HID capabilities of the device.
#include "platform/device_io_os.h"

#include <windows.h>

// The MinGW HID headers do not declare their functions for C++ themselves.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <new>
#include <string>

namespace platform {
namespace {

// What the connection keeps in Overlapped::os: the OVERLAPPED the OS completes, or, for a handle
// opened without overlapped I/O, the result of the request that already ran to its end.
struct Record {
  OVERLAPPED os;
  bool synchronous;
  DWORD error;
  DWORD bytes;
};
static_assert(sizeof(Record) <= sizeof(Overlapped::os));

Record* RecordOf(Overlapped& overlapped) { return reinterpret_cast<Record*>(overlapped.os); }

class Win32Device : public DeviceConnection {
 public:
  Win32Device(HANDLE handle, bool overlapped) : handle_(handle), overlapped_(overlapped) {}
  ~Win32Device() override { CloseHandle(handle_); }

  bool Control(uint32_t code, const void* input, uint32_t input_size, void* output,
               uint32_t output_size, uint32_t* returned) override {
    OVERLAPPED os = {};
    os.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (os.hEvent == nullptr) return false;
    DWORD bytes = 0;
    const BOOL started = DeviceIoControl(handle_, code, const_cast<void*>(input), input_size,
                                         output, output_size, nullptr, &os);
    const BOOL ok = RunToEnd(os, started, &bytes);
    const DWORD error = GetLastError();
    CloseHandle(os.hEvent);
    SetLastError(error);
    if (returned != nullptr) *returned = bytes;
    return ok != FALSE;
  }

  bool IssueControl(uint32_t code, const void* input, uint32_t input_size, void* output,
                    uint32_t output_size, Overlapped& overlapped) override {
    Record* record = Prepare(overlapped);
    if (record == nullptr) return false;
    const BOOL started = DeviceIoControl(handle_, code, const_cast<void*>(input), input_size,
                                         output, output_size, nullptr, &record->os);
    if (!overlapped_) {
      return FinishSynchronous(record, RunToEnd(record->os, started, &record->bytes), overlapped);
    }
    return started || Pending(record);
  }

  bool IssueRead(void* buffer, uint32_t size, Overlapped& overlapped) override {
    Record* record = Prepare(overlapped);
    if (record == nullptr) return false;
    const BOOL started = ReadFile(handle_, buffer, size, nullptr, &record->os);
    if (!overlapped_) {
      return FinishSynchronous(record, RunToEnd(record->os, started, &record->bytes), overlapped);
    }
    return started || Pending(record);
  }

  bool GetResult(Overlapped& overlapped, uint32_t* returned, bool wait) override {
    Record* record = RecordOf(overlapped);
    DWORD bytes = 0;
    BOOL ok = FALSE;
    if (record->synchronous) {
      bytes = record->bytes;
      ok = record->error == ERROR_SUCCESS;
      SetLastError(record->error);
    } else {
      ok = GetOverlappedResult(handle_, &record->os, &bytes, wait ? TRUE : FALSE);
    }
    if (returned != nullptr) *returned = bytes;
    return ok != FALSE;
  }

  void Cancel(Overlapped& overlapped) override {
    Record* record = RecordOf(overlapped);
    if (!record->synchronous) CancelIoEx(handle_, &record->os);
  }

  bool InputReportLength(uint16_t* length) override {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(handle_, &preparsed)) return false;
    HIDP_CAPS caps = {};
    bool ok = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(preparsed);
    if (ok) *length = caps.InputReportByteLength;
    return ok;
  }

  void* NativeHandle() override { return handle_; }

 private:
  // A zeroed record whose OVERLAPPED carries the request's completion event.
  static Record* Prepare(Overlapped& overlapped) {
    HANDLE event = overlapped.done != nullptr ? static_cast<HANDLE>(overlapped.done->native())
                                              : nullptr;
    if (event == nullptr) return nullptr;
    Record* record = new (overlapped.os) Record{};
    record->os.hEvent = event;
    return record;
  }

  // After an overlapped call returned FALSE: true when the request went pending. A request that
  // failed at once never started, so its OVERLAPPED holds no result; the record keeps the error
  // so that GetResult reports the failure instead of a zeroed (successful) status.
  static bool Pending(Record* record) {
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return true;
    record->synchronous = true;
    record->error = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    SetLastError(record->error);
    return false;
  }

  // Waits for a request just started on the OS handle (which is always overlapped) to end: for
  // the answer up to the time limit, then for the driver to end it after a cancel. The result
  // of GetOverlappedResult, with its error.
  BOOL RunToEnd(OVERLAPPED& os, BOOL started, DWORD* bytes) {
    *bytes = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING) return FALSE;
    if (WaitForSingleObject(os.hEvent, RequestTimeLimitMs()) != WAIT_OBJECT_0) {
      CancelIoEx(handle_, &os);
    }
    return GetOverlappedResult(handle_, &os, bytes, TRUE);
  }

  // A request on a handle without overlapped I/O has ended by the time the call returns:
  // keep its result and signal its event only on success, as for a request that failed at once
  // (the OS set it either way).
  static bool FinishSynchronous(Record* record, BOOL ok, Overlapped& overlapped) {
    record->synchronous = true;
    record->error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok) {
      if (record->error == ERROR_SUCCESS) record->error = ERROR_GEN_FAILURE;
      overlapped.done->Reset();
      SetLastError(record->error);
      return false;
    }
    overlapped.done->Set();
    return true;
  }

  HANDLE handle_;
  bool overlapped_;
};

}  // namespace

DeviceConnection* OpenOsDevice(std::u16string_view path, DeviceAccess access, bool overlapped,
                               uint32_t* error) {
  std::u16string terminated(path);
  DWORD desired = access == DeviceAccess::kRead ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE;
  // The OS handle is overlapped either way: a synchronous request is then one whose wait for
  // the driver can be given up (cancelled), where a blocking call would wait for ever.
  HANDLE handle = CreateFileW(reinterpret_cast<const wchar_t*>(terminated.c_str()), desired,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
    *error = GetLastError();
    return nullptr;
  }
  auto* device = new (std::nothrow) Win32Device(handle, overlapped);
  if (device == nullptr) {
    CloseHandle(handle);
    *error = ERROR_NOT_ENOUGH_MEMORY;
  }
  return device;
}

}  // namespace platform
