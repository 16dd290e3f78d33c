// The OS half of device handles on Windows: a DeviceConnection over a CreateFileW handle, with
// DeviceIoControl and ReadFile, overlapped or not, and the HID capabilities of the device.
#include "platform/device_io_os.h"

#include <windows.h>
#include <winioctl.h>

// The MinGW HID headers do not declare their functions for C++ themselves.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
#include <hidclass.h>
}

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace platform {
namespace {

// What the OS writes while a request is in flight (its OVERLAPPED and the buffer the driver
// answers into), on the heap: it must stay valid until the OS has really ended the request,
// which may be long after its caller gave up on it. The data follows the header.
struct InFlight {
  OVERLAPPED os;
  uint32_t capacity;
  unsigned char* data() { return reinterpret_cast<unsigned char*>(this + 1); }
};

InFlight* NewInFlight(uint32_t capacity, HANDLE event) {
  void* memory = ::operator new(sizeof(InFlight) + capacity, std::nothrow);
  if (memory == nullptr) return nullptr;
  auto* flight = new (memory) InFlight{};
  flight->os.hEvent = event;
  flight->capacity = capacity;
  return flight;
}

void FreeInFlight(InFlight* flight) { ::operator delete(flight); }

// Requests abandoned while the driver still held them, kept until the OS has ended them; at
// process end whatever is left is simply not freed (the OS ends or orphans the requests with
// the process). Never destroyed: the list may be swept until the very end.
std::mutex& AbandonedLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}
std::vector<InFlight*>& Abandoned() {
  static std::vector<InFlight*>* abandoned = new std::vector<InFlight*>;
  return *abandoned;
}

// Frees the abandoned requests that the OS has ended since (the status leaves STATUS_PENDING
// only after the OS has written the answer, as GetOverlappedResult relies on).
void SweepAbandoned() {
  std::lock_guard<std::mutex> hold(AbandonedLock());
  std::vector<InFlight*>& abandoned = Abandoned();
  for (auto it = abandoned.begin(); it != abandoned.end();) {
    if (HasOverlappedIoCompleted(&(*it)->os)) {
      FreeInFlight(*it);
      it = abandoned.erase(it);
    } else {
      ++it;
    }
  }
}

void Abandon(InFlight* flight) {
  {
    std::lock_guard<std::mutex> hold(AbandonedLock());
    try {
      Abandoned().push_back(flight);
    } catch (const std::bad_alloc&) {
      // Not listed means never freed: a small leak instead of a write into freed memory.
    }
  }
  SweepAbandoned();
}

// What the connection keeps in Overlapped::os: the request in flight and where its answer goes,
// or, once settled (ended, failed at once, abandoned, or run to its end on a handle without
// overlapped I/O), its result.
struct Record {
  InFlight* flight;
  void* output;
  uint32_t output_size;
  bool settled;
  DWORD error;
  DWORD bytes;
};
static_assert(sizeof(Record) <= sizeof(Overlapped::os));

Record* RecordOf(Overlapped& overlapped) { return reinterpret_cast<Record*>(overlapped.os); }

// The HID capabilities question, run on a helper thread on a handle of its own: the class
// driver may never answer it. Shared by the helper and the caller; the last to let go frees it.
struct CapsQuestion {
  HANDLE handle = nullptr;  // the helper's duplicate, closed by the helper
  Event answered{Event::Kind::kManualReset};  // set by the helper once ok and length are written
  bool ok = false;
  uint16_t length = 0;
};

// The largest preparsed data taken from a class driver, far above any real device's: the size
// is the driver's word, and a hostile one must not make this process allocate gigabytes or pass
// them to the OS (Wine kills a thread whose request to its server holds 2 GB or more).
constexpr ULONG kMaxPreparsedBytes = 1u << 20;
// Never less than this is allocated, zeroed, so that a short answer leaves HidP_GetCaps reading
// zeros of this buffer rather than past its end.
constexpr ULONG kMinPreparsedBytes = 4096;

// One request on the helper's handle, overlapped or not, run to its end.
bool AskClassDriver(HANDLE handle, DWORD code, void* output, DWORD output_size, DWORD* bytes) {
  *bytes = 0;
  OVERLAPPED os = {};
  os.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (os.hEvent == nullptr) return false;
  const BOOL ok = DeviceIoControl(handle, code, nullptr, 0, output, output_size, nullptr, &os) ||
                  (GetLastError() == ERROR_IO_PENDING &&
                   GetOverlappedResult(handle, &os, bytes, TRUE));
  if (ok && *bytes == 0) GetOverlappedResult(handle, &os, bytes, FALSE);
  CloseHandle(os.hEvent);
  return ok != FALSE;
}

// What HidD_GetPreparsedData does, with the sizes the driver gives checked: its collection
// information must be whole and name a descriptor no larger than kMaxPreparsedBytes.
bool ReadCaps(HANDLE handle, HIDP_CAPS* caps) {
  HID_COLLECTION_INFORMATION info = {};
  DWORD bytes = 0;
  if (!AskClassDriver(handle, IOCTL_HID_GET_COLLECTION_INFORMATION, &info, sizeof info, &bytes) ||
      bytes < sizeof info || info.DescriptorSize == 0 || info.DescriptorSize > kMaxPreparsedBytes) {
    return false;
  }
  std::vector<unsigned char> preparsed;
  try {
    preparsed.assign(info.DescriptorSize > kMinPreparsedBytes ? info.DescriptorSize
                                                               : kMinPreparsedBytes,
                     0);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!AskClassDriver(handle, IOCTL_HID_GET_COLLECTION_DESCRIPTOR, preparsed.data(),
                      info.DescriptorSize, &bytes) ||
      bytes > info.DescriptorSize) {
    return false;
  }
  return HidP_GetCaps(reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed.data()), caps) ==
         HIDP_STATUS_SUCCESS;
}

void RunCapsQuestion(const std::shared_ptr<CapsQuestion>& question) {
  HIDP_CAPS caps = {};
  const bool ok = ReadCaps(question->handle, &caps);
  CloseHandle(question->handle);
  question->ok = ok;
  question->length = ok ? caps.InputReportByteLength : 0;
  question->answered.Set();
}

class Win32Device : public DeviceConnection {
 public:
  Win32Device(HANDLE handle, bool overlapped) : handle_(handle), overlapped_(overlapped) {}
  ~Win32Device() override {
    CloseHandle(handle_);
    // Closing ends what the driver still held on the handle.
    SweepAbandoned();
  }

  bool Control(uint32_t code, const void* input, uint32_t input_size, void* output,
               uint32_t output_size, uint32_t* returned) override {
    if (returned != nullptr) *returned = 0;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) return false;
    InFlight* flight = NewInFlight(output_size, event);
    if (flight == nullptr) {
      CloseHandle(event);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return false;
    }
    const BOOL started = DeviceIoControl(handle_, code, const_cast<void*>(input), input_size,
                                         flight->data(), output_size, nullptr, &flight->os);
    DWORD bytes = 0;
    bool abandoned = false;
    const BOOL ok = RunToEnd(flight, started, &bytes, &abandoned);
    const DWORD error = GetLastError();
    // An abandoned request's InFlight is the abandoned list's now; the OS took its own
    // reference to the event, so the handle may go either way.
    if (ok) CopyAnswer(flight, bytes, output, output_size);
    if (!abandoned) FreeInFlight(flight);
    CloseHandle(event);
    SetLastError(error);
    if (returned != nullptr && ok) *returned = bytes;
    return ok != FALSE;
  }

  bool IssueControl(uint32_t code, const void* input, uint32_t input_size, void* output,
                    uint32_t output_size, Overlapped& overlapped) override {
    Record* record = Prepare(overlapped, output, output_size);
    if (record == nullptr) return false;
    // The driver gets the input at the call (buffered requests): only the answer needs a
    // buffer that outlives the caller.
    const BOOL started = DeviceIoControl(handle_, code, const_cast<void*>(input), input_size,
                                         record->flight->data(), output_size, nullptr,
                                         &record->flight->os);
    return Started(record, started, overlapped);
  }

  bool IssueRead(void* buffer, uint32_t size, Overlapped& overlapped) override {
    Record* record = Prepare(overlapped, buffer, size);
    if (record == nullptr) return false;
    const BOOL started =
        ReadFile(handle_, record->flight->data(), size, nullptr, &record->flight->os);
    return Started(record, started, overlapped);
  }

  bool GetResult(Overlapped& overlapped, uint32_t* returned, bool wait) override {
    Record* record = RecordOf(overlapped);
    if (record->flight == nullptr && !record->settled) return false;  // never issued
    if (!record->settled) {
      DWORD bytes = 0;
      const BOOL ok = GetOverlappedResult(handle_, &record->flight->os, &bytes, wait ? TRUE : FALSE);
      if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) {
        if (returned != nullptr) *returned = 0;
        return false;  // still in flight
      }
      Settle(record, ok, bytes);
    }
    if (returned != nullptr) *returned = record->bytes;
    SetLastError(record->error);
    return record->error == ERROR_SUCCESS;
  }

  void Cancel(Overlapped& overlapped) override {
    Record* record = RecordOf(overlapped);
    if (!record->settled && record->flight != nullptr) CancelIoEx(handle_, &record->flight->os);
  }

  bool Drain(Overlapped& overlapped, uint32_t limit_ms) override {
    Record* record = RecordOf(overlapped);
    if (record->settled || record->flight == nullptr) return true;
    WaitForSingleObject(record->flight->os.hEvent, limit_ms);
    uint32_t ignored = 0;
    GetResult(overlapped, &ignored, false);
    if (record->settled) return true;
    // The driver keeps a cancelled request: it is the OS's from here on, with its buffer.
    Abandon(record->flight);
    record->flight = nullptr;
    record->settled = true;
    record->error = ERROR_OPERATION_ABORTED;
    record->bytes = 0;
    return false;
  }

  bool InputReportLength(uint16_t* length) override { return AskCaps(length, nullptr); }
  bool InputReportLengthUntil(uint16_t* length, Event& stop) override {
    return AskCaps(length, &stop);
  }

  void* NativeHandle() override { return handle_; }

 private:
  // Asked on a helper thread with a handle of its own, for at most the request time limit and
  // until stop: a helper that the driver never answers is let go (it holds nothing of this
  // connection) after its question has been cancelled, and ends whenever the driver ends it.
  bool AskCaps(uint16_t* length, Event* stop) {
    std::shared_ptr<CapsQuestion> question;
    try {
      question = std::make_shared<CapsQuestion>();
    } catch (const std::bad_alloc&) {
      return false;
    }
    if (!question->answered.Valid()) return false;
    if (!DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), &question->handle, 0,
                         FALSE, DUPLICATE_SAME_ACCESS)) {
      return false;
    }
    std::thread helper;
    try {
      helper = std::thread(RunCapsQuestion, question);
    } catch (const std::system_error&) {
      CloseHandle(question->handle);
      return false;
    }
    const int first = stop != nullptr
                          ? WaitAny({&question->answered, stop}, RequestTimeLimitMs())
                          : WaitAny({&question->answered}, RequestTimeLimitMs());
    if (first != 0) {
      // Both handles name one file: this cancels the helper's request too.
      CancelIoEx(handle_, nullptr);
      helper.detach();
      return false;
    }
    helper.join();
    if (question->ok) *length = question->length;
    return question->ok;
  }

  // A fresh record whose request has a buffer of its own, its OVERLAPPED carrying the caller's
  // completion event. Null, with the record settled as failed, when there is no event or memory.
  static Record* Prepare(Overlapped& overlapped, void* output, uint32_t output_size) {
    Record* record = new (overlapped.os) Record{};
    record->output = output;
    record->output_size = output_size;
    HANDLE event = overlapped.done != nullptr ? static_cast<HANDLE>(overlapped.done->native())
                                              : nullptr;
    if (event != nullptr) record->flight = NewInFlight(output_size, event);
    if (record->flight == nullptr) {
      record->settled = true;
      record->error = event == nullptr ? ERROR_INVALID_HANDLE : ERROR_NOT_ENOUGH_MEMORY;
      SetLastError(record->error);
      return nullptr;
    }
    return record;
  }

  static void CopyAnswer(InFlight* flight, DWORD bytes, void* output, uint32_t output_size) {
    const DWORD size = bytes < output_size ? bytes : output_size;
    if (size > 0 && output != nullptr) std::memcpy(output, flight->data(), size);
  }

  // The request has ended: its answer goes to the caller's buffer when it succeeded (a failed
  // request leaves the buffer as the caller prepared it), and its InFlight is freed.
  static void Settle(Record* record, BOOL ok, DWORD bytes) {
    DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (!ok && error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
    if (ok) CopyAnswer(record->flight, bytes, record->output, record->output_size);
    FreeInFlight(record->flight);
    record->flight = nullptr;
    record->settled = true;
    record->error = error;
    record->bytes = ok ? bytes : 0;
  }

  // After the call that started a request on the OS handle (which is always overlapped).
  bool Started(Record* record, BOOL started, Overlapped& overlapped) {
    if (!overlapped_) {
      DWORD bytes = 0;
      bool abandoned = false;
      const BOOL ok = RunToEnd(record->flight, started, &bytes, &abandoned);
      if (abandoned) {
        record->flight = nullptr;
        record->settled = true;
        record->error = ERROR_OPERATION_ABORTED;
        overlapped.done->Reset();
        SetLastError(record->error);
        return false;
      }
      return FinishSynchronous(record, ok, bytes, overlapped);
    }
    if (started) return true;
    // A request that failed at once never started, so its OVERLAPPED holds no result; the record
    // keeps the error so that GetResult reports the failure instead of a zeroed (successful)
    // status.
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) return true;
    Settle(record, FALSE, 0);
    record->error = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    SetLastError(record->error);
    return false;
  }

  // Waits for a request just started on the OS handle to end: for the answer up to the time
  // limit, then, after a cancel, up to the cancel grace. The result of GetOverlappedResult, with
  // its error. A request the driver keeps even then is abandoned (*abandoned, failing with
  // ERROR_OPERATION_ABORTED): its InFlight goes to the abandoned list, not to be touched again.
  BOOL RunToEnd(InFlight* flight, BOOL started, DWORD* bytes, bool* abandoned) {
    *bytes = 0;
    *abandoned = false;
    if (!started && GetLastError() != ERROR_IO_PENDING) return FALSE;
    if (WaitForSingleObject(flight->os.hEvent, RequestTimeLimitMs()) != WAIT_OBJECT_0) {
      CancelIoEx(handle_, &flight->os);
      WaitForSingleObject(flight->os.hEvent, CancelGraceMs());
    }
    const BOOL ok = GetOverlappedResult(handle_, &flight->os, bytes, FALSE);
    if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) {
      *abandoned = true;
      Abandon(flight);
      SetLastError(ERROR_OPERATION_ABORTED);
      return FALSE;
    }
    return ok;
  }

  // A request on a handle without overlapped I/O has ended by the time the call returns:
  // keep its result and signal its event only on success, as for a request that failed at once
  // (the OS set it either way).
  static bool FinishSynchronous(Record* record, BOOL ok, DWORD bytes, Overlapped& overlapped) {
    Settle(record, ok, bytes);
    if (!ok) {
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

// CreateFileW waits for the driver's answer without limit: OpenDevice bounds it.
bool OsOpenIsBounded() { return false; }

}  // namespace platform
