// The host of the stand-in driver: one thread keeps a "next" request pending on the host control
// device and carries each forwarded request to the model, in the order the driver saw them; the
// model's answers go back with "answer" requests, from whichever thread the model gives them on.
#include "sim/win32/driver_host.h"

#include <winioctl.h>

#include <cstring>

#include "platform/device_io.h"

extern "C" {
#include "sim/windows-driver/host_protocol.h"
}

namespace sim {
namespace {

using platform::kErrorDeviceNotConnected;
using platform::kErrorFileNotFound;
using platform::kErrorInsufficientBuffer;
using platform::kErrorInvalidFunction;
using platform::kErrorInvalidHandle;
using platform::kErrorInvalidParameter;
using platform::kErrorMoreData;
using platform::kErrorNotSupported;
using platform::kErrorOperationAborted;
using platform::kErrorSuccess;

constexpr wchar_t kHostDevice[] = L"\\\\.\\SkyhelmSimHost";
// Room for the largest forwarded request: a header and 64 KiB of input.
constexpr uint32_t kMessageBytes = sizeof(SkyhelmHostRequest) + 65536;
// The HID class requests behind HidD_GetPreparsedData: the model has no HID descriptor to give,
// so they fail without reaching it (the service then reads no input reports).
constexpr uint32_t kHidGetCollectionInformation = 0x000B01A8;
constexpr uint32_t kHidGetCollectionDescriptor = 0x000B0193;

// "ROOT\SKYHELMSIM\0003" or the link "\??\ROOT#SKYHELMSIM#0003#{class}" as "ROOT#SKYHELMSIM#0003".
std::u16string DeviceKey(std::u16string text, bool from_link) {
  if (from_link) {
    size_t start = 0;
    while (start < text.size() && (text[start] == u'\\' || text[start] == u'?')) ++start;
    const size_t last = text.rfind(u'#');
    if (last == std::u16string::npos || last < start) return u"";
    text = text.substr(start, last - start);
  }
  for (char16_t& unit : text) {
    if (unit == u'\\') unit = u'#';
    if (unit >= u'a' && unit <= u'z') unit = static_cast<char16_t>(unit - u'a' + u'A');
  }
  return text;
}

}  // namespace

int32_t NtStatusOf(uint32_t error) {
  switch (error) {
    case kErrorSuccess: return 0;
    case kErrorInvalidFunction: return static_cast<int32_t>(0xC0000010);     // INVALID_DEVICE_REQUEST
    case kErrorFileNotFound: return static_cast<int32_t>(0xC0000034);        // OBJECT_NAME_NOT_FOUND
    case kErrorInvalidHandle: return static_cast<int32_t>(0xC0000008);       // INVALID_HANDLE
    case kErrorNotSupported: return static_cast<int32_t>(0xC00000BB);        // NOT_SUPPORTED
    case kErrorInvalidParameter: return static_cast<int32_t>(0xC000000D);    // INVALID_PARAMETER
    case kErrorInsufficientBuffer: return static_cast<int32_t>(0xC0000023);  // BUFFER_TOO_SMALL
    case kErrorMoreData: return static_cast<int32_t>(0x80000005);            // BUFFER_OVERFLOW
    case kErrorOperationAborted: return static_cast<int32_t>(0xC0000120);    // CANCELLED
    case kErrorDeviceNotConnected: return static_cast<int32_t>(0xC000009D);  // DEVICE_NOT_CONNECTED
    default: return static_cast<int32_t>(0xC0000001);                        // UNSUCCESSFUL (31)
  }
}

DriverHost::DriverHost(DriverModel& model) : model_(model) {}

DriverHost::~DriverHost() { Stop(); }

bool DriverHost::Start(uint32_t timeout_ms, std::string* error) {
  if (serving()) return true;
  // The driver ended the last service: its connections end, its handle closes.
  if (serve_ != INVALID_HANDLE_VALUE) Stop();
  ended_ = false;
  const DWORD deadline = GetTickCount() + timeout_ms;
  HANDLE serve = INVALID_HANDLE_VALUE;
  for (;;) {
    serve = CreateFileW(kHostDevice, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    if (serve != INVALID_HANDLE_VALUE) break;
    if (static_cast<int32_t>(GetTickCount() - deadline) >= 0) {
      *error = "the stand-in driver's host device did not appear";
      return false;
    }
    Sleep(20);
  }
  {
    std::unique_lock<std::shared_mutex> hold(serve_mutex_);
    serve_ = serve;
  }
  stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ended_event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD bytes = 0;
  ULONG flags = interceptor_ != nullptr ? SKYHELM_HOST_SERVE_CANCELS : 0;
  BOOL served = stop_ != nullptr && ended_event_ != nullptr && overlapped.hEvent != nullptr &&
                (DeviceIoControl(serve, IOCTL_SKYHELM_HOST_SERVE, &flags, sizeof flags, nullptr,
                                 0, &bytes, &overlapped) ||
                 (GetLastError() == ERROR_IO_PENDING &&
                  GetOverlappedResult(serve, &overlapped, &bytes, TRUE)));
  if (overlapped.hEvent != nullptr) CloseHandle(overlapped.hEvent);
  if (!served) {
    *error = "the stand-in driver refused the host (error " + std::to_string(GetLastError()) + ")";
    Stop();
    return false;
  }
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void DriverHost::MapDevice(const std::u16string& instance_id, const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  devices_[DeviceKey(instance_id, false)] = name;
}

void DriverHost::Stop() {
  if (stop_ != nullptr) SetEvent(stop_);
  if (thread_.joinable()) thread_.join();
  // Connections still open end here; the answers their ending gives still reach the driver.
  std::map<uint64_t, File> files;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    files.swap(files_);
  }
  for (const auto& [file, record] : files) model_.Disconnect(record.connection);
  {
    // Waits for answers under way on other threads; later ones find no handle.
    std::unique_lock<std::shared_mutex> hold(serve_mutex_);
    if (serve_ != INVALID_HANDLE_VALUE) CloseHandle(serve_);
    serve_ = INVALID_HANDLE_VALUE;
  }
  if (stop_ != nullptr) CloseHandle(stop_);
  if (ended_event_ != nullptr) CloseHandle(ended_event_);
  stop_ = ended_event_ = nullptr;
}

bool DriverHost::WaitEnded(uint32_t timeout_ms) {
  if (ended_event_ == nullptr) return true;
  return WaitForSingleObject(ended_event_, timeout_ms) == WAIT_OBJECT_0;
}

void DriverHost::Loop() {
  std::vector<uint8_t> buffer(kMessageBytes);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) {
    ended_ = true;
    SetEvent(ended_event_);
    return;
  }
  for (;;) {
    ResetEvent(overlapped.hEvent);
    if (!DeviceIoControl(serve_, IOCTL_SKYHELM_HOST_NEXT, nullptr, 0, buffer.data(),
                         static_cast<DWORD>(buffer.size()), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
      break;
    }
    HANDLE waits[2] = {stop_, overlapped.hEvent};
    DWORD bytes = 0;
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
      CancelIoEx(serve_, &overlapped);
      GetOverlappedResult(serve_, &overlapped, &bytes, TRUE);
      break;
    }
    if (!GetOverlappedResult(serve_, &overlapped, &bytes, FALSE)) break;
    Handle(buffer.data(), bytes);
  }
  CloseHandle(overlapped.hEvent);
  ended_ = true;
  SetEvent(ended_event_);
}

std::string DriverHost::NameOf(const std::u16string& link) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto found = devices_.find(DeviceKey(link, true));
  return found == devices_.end() ? std::string() : found->second;
}

void DriverHost::Handle(const uint8_t* message, uint32_t size) {
  if (size < sizeof(SkyhelmHostRequest)) return;
  SkyhelmHostRequest request;
  std::memcpy(&request, message, sizeof request);
  if (request.input_size > size - sizeof request) return;
  HostMessage received;
  received.kind = request.kind;
  received.tag = request.tag;
  received.file = request.file;
  received.code = request.code;
  received.input = message + sizeof request;
  received.input_size = request.input_size;
  received.output_capacity = request.output_capacity;
  for (size_t i = 0; i < SKYHELM_HOST_NAME_UNITS && request.device[i] != 0; ++i) {
    received.link.push_back(static_cast<char16_t>(request.device[i]));
  }
  if (interceptor_ != nullptr && interceptor_->Intercept(received)) return;
  Serve(received);
}

void DriverHost::Serve(const HostMessage& request) {
  const uint8_t* input = request.input;
  const std::u16string& link = request.link;
  ConnectionId connection = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = files_.find(request.file);
    if (found != files_.end()) connection = found->second.connection;
  }
  switch (request.kind) {
    case SKYHELM_HOST_CREATE:
      Create(request.tag, request.file, link);
      break;
    case SKYHELM_HOST_CLOSE:
      if (connection != 0) {
        {
          std::lock_guard<std::mutex> hold(mutex_);
          files_.erase(request.file);
        }
        model_.Disconnect(connection);
      }
      break;
    case SKYHELM_HOST_CONTROL:
    case SKYHELM_HOST_READ: {
      const bool read = request.kind == SKYHELM_HOST_READ;
      if (connection == 0) {
        Answer(request.tag, kErrorInvalidHandle, nullptr, 0);
        break;
      }
      if (!read && (request.code == kHidGetCollectionInformation ||
                    request.code == kHidGetCollectionDescriptor)) {
        Answer(request.tag, kErrorNotSupported, nullptr, 0);
        break;
      }
      const uint64_t tag = request.tag;
      uint32_t error = 0;
      Completion done = [this, tag](uint32_t status, const std::vector<uint8_t>& output) {
        Answer(tag, status, output.data(), static_cast<uint32_t>(output.size()));
      };
      if (!model_.Submit(connection, tag, read ? kReadRequest : request.code, input,
                         request.input_size, request.output_capacity, done, &error)) {
        Answer(tag, error, nullptr, 0);
      }
      break;
    }
    case SKYHELM_HOST_CANCEL:
      if (connection != 0) model_.Cancel(connection, request.tag);
      break;
    case SKYHELM_HOST_REMOVED: {
      // The device's handles are dead: their closes never reach the driver (Wine drops them
      // with the removed device), so their connections end here, as when a socket device goes.
      std::vector<ConnectionId> ended;
      {
        std::lock_guard<std::mutex> hold(mutex_);
        for (auto it = files_.begin(); it != files_.end();) {
          if (it->second.device == link) {
            ended.push_back(it->second.connection);
            it = files_.erase(it);
          } else {
            ++it;
          }
        }
      }
      for (ConnectionId ending : ended) model_.Disconnect(ending);
      break;
    }
    default:
      break;
  }
}

void DriverHost::Create(uint64_t tag, uint64_t file, const std::u16string& link) {
  // A file id still recorded belongs to a handle whose close never came: that connection ends
  // before the new one takes its place.
  ConnectionId stale = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = files_.find(file);
    if (found != files_.end()) {
      stale = found->second.connection;
      files_.erase(found);
    }
  }
  if (stale != 0) model_.Disconnect(stale);
  // The legacy control device (no link) answers no one here, as in the other transports.
  const std::string name = link.empty() ? std::string() : NameOf(link);
  uint32_t error = kErrorFileNotFound;
  const ConnectionId opened =
      name.empty() ? 0 : model_.Connect(DriverModel::InterfacePath(name), &error);
  if (opened != 0) {
    std::lock_guard<std::mutex> hold(mutex_);
    files_[file] = File{opened, link};
  }
  if (Answer(tag, opened != 0 ? kErrorSuccess : error, nullptr, 0) || opened == 0) return;
  // The open was cancelled meanwhile (or the host stops): no handle will use the connection.
  {
    std::lock_guard<std::mutex> hold(mutex_);
    const auto found = files_.find(file);
    if (found != files_.end() && found->second.connection == opened) files_.erase(found);
  }
  model_.Disconnect(opened);
}

bool DriverHost::Answer(uint64_t tag, uint32_t error, const uint8_t* output, uint32_t bytes) {
  return AnswerStatus(tag, NtStatusOf(error), output, error == kErrorSuccess ? bytes : 0);
}

bool DriverHost::AnswerStatus(uint64_t tag, int32_t status, const uint8_t* output,
                              uint32_t bytes) {
  std::vector<uint8_t> buffer(sizeof(SkyhelmHostAnswer) + bytes);
  SkyhelmHostAnswer header{tag, status, bytes};
  std::memcpy(buffer.data(), &header, sizeof header);
  if (bytes > 0) std::memcpy(buffer.data() + sizeof header, output, bytes);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (overlapped.hEvent == nullptr) return false;
  DWORD returned = 0;
  bool taken = false;
  {
    std::shared_lock<std::shared_mutex> hold(serve_mutex_);
    // STATUS_NOT_FOUND: the request was cancelled meanwhile; nothing is owed.
    taken = serve_ != INVALID_HANDLE_VALUE &&
            (DeviceIoControl(serve_, IOCTL_SKYHELM_HOST_ANSWER, buffer.data(),
                             static_cast<DWORD>(buffer.size()), nullptr, 0, &returned,
                             &overlapped) ||
             (GetLastError() == ERROR_IO_PENDING &&
              GetOverlappedResult(serve_, &overlapped, &returned, TRUE)));
  }
  CloseHandle(overlapped.hEvent);
  return taken;
}

}  // namespace sim
