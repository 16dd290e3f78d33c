// The socket transport to a user-space driver: a connection per handle, framed requests with ids,
// several outstanding at once, answered out of order.
//
// Answers are read in one of two ways. A connection used only for synchronous requests (most
// handles live for a few requests) is read by the caller of Control itself. The first overlapped
// request, or a registration for removal, hands the connection to the process's answer poller,
// whose one thread from then on reads every answer on it and notices the driver closing it.
#include "platform/posix/socket_device.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <set>
#include <unordered_map>
#include <vector>

#include "platform/posix/answer_poller.h"
#include "platform/posix/device_watch.h"
#include "platform/text.h"

namespace platform {
namespace {

// The connection's view of one request, kept in Overlapped::os.
struct RequestState {
  enum Phase : uint8_t { kIdle, kPending, kDone };
  uint64_t id;
  uint32_t status;
  uint32_t returned;
  Phase phase;
  bool cancel_sent;
  uint64_t cancel_deadline_ms;
};
static_assert(sizeof(RequestState) <= sizeof(Overlapped::os));

RequestState& StateOf(Overlapped& overlapped) {
  return *reinterpret_cast<RequestState*>(overlapped.os);
}

void PutU32(std::vector<unsigned char>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void PutU64(std::vector<unsigned char>& out, uint64_t value) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

uint32_t GetU32(const unsigned char* in) {
  return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

uint64_t GetU64(const unsigned char* in) {
  return GetU32(in) | (static_cast<uint64_t>(GetU32(in + 4)) << 32);
}

bool WriteExactly(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t put = send(fd, data, size, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    data += put;
    size -= static_cast<size_t>(put);
  }
  return true;
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

class SocketConnection;

// The open connections, so that a native handle given back by the notification code can be
// checked before it is used.
std::mutex& LiveLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}
std::set<const void*>& Live() {
  static std::set<const void*>* live = new std::set<const void*>;
  return *live;
}

class SocketConnection final : public DeviceConnection, private AnswerPoller::Client {
 public:
  SocketConnection(int fd, std::string path, const SocketLimits& limits)
      : fd_(fd), path_(std::move(path)), limits_(limits) {}
  ~SocketConnection() override;

  // Hands the connection to the answer poller unless it has it already, the connection is dead,
  // or a caller of Control is reading (that caller hands it over when it is done).
  void EnsureReader();
  const std::string& path() const { return path_; }
  bool ClosedByDriver() {
    std::lock_guard<std::mutex> hold(mutex_);
    return closed_by_driver_;
  }

  bool Control(uint32_t code, const void* input, uint32_t input_size, void* output,
               uint32_t output_size, uint32_t* returned) override;
  bool IssueControl(uint32_t code, const void* input, uint32_t input_size, void* output,
                    uint32_t output_size, Overlapped& overlapped) override;
  bool IssueRead(void* buffer, uint32_t size, Overlapped& overlapped) override {
    return IssueControl(kSocketReadCode, nullptr, 0, buffer, size, overlapped);
  }
  bool GetResult(Overlapped& overlapped, uint32_t* returned, bool wait) override;
  void Cancel(Overlapped& overlapped) override;
  bool InputReportLength(uint16_t* length) override;
  void* NativeHandle() override { return this; }

 private:
  struct Pending {
    Overlapped* overlapped;
    void* output;
    uint32_t output_size;
  };

  enum class FrameRead { kFrame, kTimeout, kBroken };

  // On the poller thread: takes what has arrived and completes the requests it answers.
  bool OnReadable() override;
  // Reads one answer frame by the deadline (kTimeout when no byte of the frame had come; a frame
  // cut off by the deadline breaks the stream).
  FrameRead ReadFrame(std::vector<unsigned char>* frame, uint64_t deadline_ms);
  // Marks the connection dead after its stream ended or broke: everything outstanding fails.
  void EndStream();
  bool SendRequest(uint32_t code, const void* input, uint32_t input_size, void* output,
                   uint32_t output_size, Overlapped& overlapped);
  bool DoneLocked(Overlapped& overlapped) { return StateOf(overlapped).phase == RequestState::kDone; }
  // Direct reading by a caller of Control: reads and dispatches answers until the request is
  // done or the deadline passes.
  void ReadUntilDone(Overlapped& overlapped, uint64_t deadline_ms);
  bool ControlDirect(uint32_t code, const void* input, uint32_t input_size, void* output,
                     uint32_t output_size, uint32_t* returned);
  void HandleAnswer(const unsigned char* frame, uint32_t length);
  // Ends a pending request with status; mutex_ held.
  void CompleteLocked(uint64_t id, uint32_t status, const unsigned char* data, uint32_t size);
  void FailAllLocked(uint32_t status);
  bool WriteFrame(const std::vector<unsigned char>& frame);

  const int fd_;
  const std::string path_;
  const SocketLimits limits_;
  std::mutex write_mutex_;  // one frame at a time on the socket
  std::mutex mutex_;        // guards everything below and every RequestState of this connection
  std::condition_variable completed_;
  std::unordered_map<uint64_t, Pending> pending_;
  uint64_t next_id_ = 1;
  bool dead_ = false;
  bool closed_by_driver_ = false;
  bool polled_ = false;           // handed to the answer poller (or being handed)
  bool added_ = false;            // the poller accepted it
  bool direct_reading_ = false;   // a caller of Control reads the socket
  std::vector<unsigned char> inbox_;  // bytes of an answer not complete yet (poller thread only)
};

SocketConnection::~SocketConnection() {
  {
    std::lock_guard<std::mutex> hold(LiveLock());
    Live().erase(this);
  }
  bool added = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    added = added_;
  }
  // After this the poller never touches the connection again.
  if (added) AnswerPoller::Shared().Remove(this, fd_);
  {
    // Closing a handle ends what is still outstanding on it.
    std::lock_guard<std::mutex> hold(mutex_);
    FailAllLocked(kErrorOperationAborted);
  }
  close(fd_);
}

void SocketConnection::EnsureReader() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (polled_ || dead_ || direct_reading_) return;
    polled_ = true;
  }
  const bool added = AnswerPoller::Shared().Add(this, fd_);
  std::lock_guard<std::mutex> hold(mutex_);
  added_ = added;
  if (!added) {
    // Nothing would ever read this connection's answers: end it rather than let requests hang.
    dead_ = true;
    FailAllLocked(kErrorGenFailure);
  }
}

// Waits until fd is readable or the deadline passes; false on timeout.
bool WaitReadable(int fd, uint64_t deadline_ms) {
  for (;;) {
    const uint64_t now = NowMs();
    if (now >= deadline_ms) return false;
    pollfd wait{fd, POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(std::min<uint64_t>(deadline_ms - now, 60000)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // let the read report the fault
  }
}

// Reads exactly size bytes, each wait bounded by the deadline.
bool ReadExactlyBy(int fd, unsigned char* buffer, size_t size, uint64_t deadline_ms) {
  while (size > 0) {
    if (!WaitReadable(fd, deadline_ms)) return false;
    const ssize_t got = recv(fd, buffer, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buffer += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

SocketConnection::FrameRead SocketConnection::ReadFrame(std::vector<unsigned char>* frame,
                                                        uint64_t deadline_ms) {
  if (!WaitReadable(fd_, deadline_ms)) return FrameRead::kTimeout;
  unsigned char length_bytes[4];
  if (!ReadExactlyBy(fd_, length_bytes, 4, deadline_ms)) return FrameRead::kBroken;
  const uint32_t length = GetU32(length_bytes);
  if (length < kSocketAnswerHeaderSize || length > kSocketMaxFrameSize) return FrameRead::kBroken;
  frame->assign(length, 0);
  std::memcpy(frame->data(), length_bytes, 4);
  if (!ReadExactlyBy(fd_, frame->data() + 4, length - 4, deadline_ms)) {
    return FrameRead::kBroken;
  }
  return FrameRead::kFrame;
}

bool SocketConnection::OnReadable() {
  bool ended = !DrainSocket(fd_, &inbox_);
  size_t used = 0;
  while (inbox_.size() - used >= 4) {
    const uint32_t length = GetU32(&inbox_[used]);
    if (length < kSocketAnswerHeaderSize || length > kSocketMaxFrameSize) {
      ended = true;  // not an answer: the stream cannot be followed any further
      break;
    }
    if (inbox_.size() - used < length) break;
    HandleAnswer(&inbox_[used], length);
    used += length;
  }
  inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(used));
  if (!ended) return true;
  EndStream();
  return false;
}

void SocketConnection::EndStream() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    dead_ = true;
    closed_by_driver_ = true;
    FailAllLocked(kErrorDeviceNotConnected);
  }
  NotifyDriverClosed(this);
}

void SocketConnection::HandleAnswer(const unsigned char* frame, uint32_t length) {
  const uint64_t id = GetU64(frame + 4);
  const uint32_t status = GetU32(frame + 12);
  const uint32_t returned = GetU32(frame + 16);
  const uint32_t carried = length - kSocketAnswerHeaderSize;
  std::lock_guard<std::mutex> hold(mutex_);
  // An answer to a request that was already ended locally (cancelled past its grace) is dropped.
  CompleteLocked(id, status, frame + kSocketAnswerHeaderSize, std::min(returned, carried));
}

void SocketConnection::CompleteLocked(uint64_t id, uint32_t status, const unsigned char* data,
                                      uint32_t size) {
  auto found = pending_.find(id);
  if (found == pending_.end()) return;
  const Pending request = found->second;
  pending_.erase(found);
  const uint32_t copied = std::min(size, request.output_size);
  if (copied > 0 && data != nullptr) std::memcpy(request.output, data, copied);
  RequestState& state = StateOf(*request.overlapped);
  state.status = status;
  state.returned = copied;
  state.phase = RequestState::kDone;
  request.overlapped->done->Set();
  completed_.notify_all();
}

void SocketConnection::FailAllLocked(uint32_t status) {
  while (!pending_.empty()) CompleteLocked(pending_.begin()->first, status, nullptr, 0);
}

bool SocketConnection::WriteFrame(const std::vector<unsigned char>& frame) {
  std::lock_guard<std::mutex> hold(write_mutex_);
  return WriteExactly(fd_, frame.data(), frame.size());
}

bool SocketConnection::IssueControl(uint32_t code, const void* input, uint32_t input_size,
                                    void* output, uint32_t output_size, Overlapped& overlapped) {
  // Sent first, so that a caller of Control reading directly either sees the request pending when
  // it stops (and starts the reader) or has stopped already (and EnsureReader starts it).
  if (!SendRequest(code, input, input_size, output, output_size, overlapped)) return false;
  EnsureReader();
  return true;
}

bool SocketConnection::SendRequest(uint32_t code, const void* input, uint32_t input_size,
                                   void* output, uint32_t output_size, Overlapped& overlapped) {
  if (input_size > kSocketMaxFrameSize - kSocketRequestHeaderSize ||
      output_size > kSocketMaxFrameSize - kSocketAnswerHeaderSize) {
    return false;
  }
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (dead_) return false;
    id = next_id_++;
    StateOf(overlapped) = RequestState{id, 0, 0, RequestState::kPending, false, 0};
    pending_[id] = Pending{&overlapped, output, output_size};
  }
  std::vector<unsigned char> frame;
  frame.reserve(kSocketRequestHeaderSize + input_size);
  PutU32(frame, kSocketRequestHeaderSize + input_size);
  PutU64(frame, id);
  PutU32(frame, code);
  PutU32(frame, input_size);
  PutU32(frame, output_size);
  if (input_size > 0) {
    const auto* bytes = static_cast<const unsigned char*>(input);
    frame.insert(frame.end(), bytes, bytes + input_size);
  }
  if (WriteFrame(frame)) return true;
  // Not sent: the request failed at once, unless the reader has already ended it.
  std::lock_guard<std::mutex> hold(mutex_);
  if (pending_.erase(id) == 0) return true;
  StateOf(overlapped) = RequestState{id, kErrorDeviceNotConnected, 0, RequestState::kDone, false, 0};
  return false;
}

bool SocketConnection::GetResult(Overlapped& overlapped, uint32_t* returned, bool wait) {
  std::unique_lock<std::mutex> hold(mutex_);
  RequestState& state = StateOf(overlapped);
  if (state.phase == RequestState::kIdle) return false;
  while (wait && state.phase == RequestState::kPending) {
    if (!state.cancel_sent) {
      completed_.wait(hold);
      continue;
    }
    const uint64_t now = NowMs();
    if (now >= state.cancel_deadline_ms) {
      CompleteLocked(state.id, kErrorOperationAborted, nullptr, 0);
      break;
    }
    completed_.wait_for(hold, std::chrono::milliseconds(state.cancel_deadline_ms - now));
  }
  if (state.phase != RequestState::kDone) return false;
  if (returned != nullptr) *returned = state.returned;
  return state.status == kErrorSuccess;
}

void SocketConnection::Cancel(Overlapped& overlapped) {
  uint64_t id = 0;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    RequestState& state = StateOf(overlapped);
    if (state.phase != RequestState::kPending) return;
    state.cancel_sent = true;
    state.cancel_deadline_ms = NowMs() + limits_.cancel_grace_ms;
    id = state.id;
    if (dead_) {
      CompleteLocked(id, kErrorOperationAborted, nullptr, 0);
      return;
    }
  }
  std::vector<unsigned char> frame;
  PutU32(frame, kSocketRequestHeaderSize);
  PutU64(frame, id);
  PutU32(frame, kSocketCancelCode);
  PutU32(frame, 0);
  PutU32(frame, 0);
  WriteFrame(frame);
}

void SocketConnection::ReadUntilDone(Overlapped& overlapped, uint64_t deadline_ms) {
  std::vector<unsigned char> frame;
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      if (DoneLocked(overlapped) || dead_) return;
    }
    switch (ReadFrame(&frame, deadline_ms)) {
      case FrameRead::kFrame:
        HandleAnswer(frame.data(), static_cast<uint32_t>(frame.size()));
        break;
      case FrameRead::kTimeout:
        return;
      case FrameRead::kBroken:
        EndStream();
        return;
    }
  }
}

bool SocketConnection::ControlDirect(uint32_t code, const void* input, uint32_t input_size,
                                     void* output, uint32_t output_size, uint32_t* returned) {
  Event done(Event::Kind::kManualReset);
  Overlapped overlapped(done);
  const bool sent = SendRequest(code, input, input_size, output, output_size, overlapped);
  if (sent) {
    ReadUntilDone(overlapped, NowMs() + limits_.request_ms);
    bool answered = false;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      answered = DoneLocked(overlapped);
    }
    if (!answered) {
      // A driver that does not answer in time is asked to cancel; the request then fails.
      Cancel(overlapped);
      ReadUntilDone(overlapped, NowMs() + limits_.cancel_grace_ms);
    }
  }
  bool start_reader = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    direct_reading_ = false;
    if (StateOf(overlapped).phase == RequestState::kPending) {
      CompleteLocked(StateOf(overlapped).id, kErrorOperationAborted, nullptr, 0);
    }
    // Requests issued by others meanwhile are read by the answer poller from now on.
    start_reader = !pending_.empty() && !polled_ && !dead_;
  }
  if (start_reader) EnsureReader();
  if (!sent) return false;
  return GetResult(overlapped, returned, false);
}

bool SocketConnection::Control(uint32_t code, const void* input, uint32_t input_size,
                               void* output, uint32_t output_size, uint32_t* returned) {
  bool direct = false;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    direct = !polled_ && !direct_reading_ && !dead_;
    if (direct) direct_reading_ = true;
  }
  if (direct) return ControlDirect(code, input, input_size, output, output_size, returned);
  Event done(Event::Kind::kManualReset);
  Overlapped overlapped(done);
  if (!IssueControl(code, input, input_size, output, output_size, overlapped)) return false;
  {
    std::unique_lock<std::mutex> hold(mutex_);
    RequestState& state = StateOf(overlapped);
    completed_.wait_for(hold, std::chrono::milliseconds(limits_.request_ms),
                        [&state] { return state.phase == RequestState::kDone; });
  }
  // A driver that does not answer in time is asked to cancel; the request then fails.
  Cancel(overlapped);
  return GetResult(overlapped, returned, true);
}

bool SocketConnection::InputReportLength(uint16_t* length) {
  unsigned char answer[2] = {};
  uint32_t returned = 0;
  if (!Control(kSocketInputReportLengthCode, nullptr, 0, answer, 2, &returned) || returned < 2) {
    return false;
  }
  *length = static_cast<uint16_t>(answer[0] | (answer[1] << 8));
  return *length != 0;
}

// Waits for the driver's open answer on a fresh connection: its status, or a failure code when
// the driver closes, answers garbage or stays silent.
uint32_t ReadOpenAnswer(int fd, uint32_t timeout_ms) {
  unsigned char answer[kSocketOpenAnswerSize];
  if (!ReadExactlyBy(fd, answer, sizeof answer, NowMs() + timeout_ms)) {
    return kErrorFileNotFound;
  }
  if (GetU32(answer) != kSocketOpenAnswerSize) return kErrorGenFailure;
  return GetU32(answer + 4);
}

SocketConnection* FindLive(void* native_handle) {
  // Caller holds LiveLock().
  return Live().count(native_handle) ? static_cast<SocketConnection*>(native_handle) : nullptr;
}

}  // namespace

bool DrainSocket(int fd, std::vector<unsigned char>* inbox) {
  unsigned char chunk[16384];
  for (;;) {
    const ssize_t got = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) {
      inbox->insert(inbox->end(), chunk, chunk + got);
      if (static_cast<size_t>(got) < sizeof chunk) return true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

DeviceConnection* OpenSocketDevice(std::u16string_view path, DeviceAccess access, bool overlapped,
                                   uint32_t* error) {
  return OpenSocketDevice(path, access, overlapped, SocketLimits{}, error);
}

DeviceConnection* OpenSocketDevice(std::u16string_view path, DeviceAccess /*access*/,
                                   bool /*overlapped*/, const SocketLimits& limits,
                                   uint32_t* error) {
  const std::string native = ToUtf8(path);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (native.empty() || native.size() >= sizeof address.sun_path) {
    *error = kErrorFileNotFound;
    return nullptr;
  }
  std::memcpy(address.sun_path, native.data(), native.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = kErrorGenFailure;
    return nullptr;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int reason = errno;
    close(fd);
    *error = (reason == ENOENT || reason == ECONNREFUSED || reason == ENOTDIR)
                 ? kErrorFileNotFound
                 : kErrorGenFailure;
    return nullptr;
  }
  if (const uint32_t status = ReadOpenAnswer(fd, limits.open_ms); status != kErrorSuccess) {
    close(fd);
    *error = status;
    return nullptr;
  }
  auto* connection = new (std::nothrow) SocketConnection(fd, native, limits);
  if (connection == nullptr) {
    close(fd);
    *error = kErrorGenFailure;
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> hold(LiveLock());
    Live().insert(connection);
  }
  *error = kErrorSuccess;
  return connection;
}

bool SocketDevicePath(void* native_handle, std::string* path) {
  std::lock_guard<std::mutex> hold(LiveLock());
  SocketConnection* connection = FindLive(native_handle);
  if (connection == nullptr) return false;
  *path = connection->path();
  return true;
}

void WatchSocketDeviceClose(void* native_handle) {
  SocketConnection* connection = nullptr;
  {
    std::lock_guard<std::mutex> hold(LiveLock());
    connection = FindLive(native_handle);
  }
  // The caller holds the handle open. Not under LiveLock: the poller's thread takes the
  // notification registry's lock, which is held around SocketDeviceClosedByDriver.
  if (connection != nullptr) connection->EnsureReader();
}

bool SocketDeviceClosedByDriver(void* native_handle) {
  std::lock_guard<std::mutex> hold(LiveLock());
  SocketConnection* connection = FindLive(native_handle);
  return connection != nullptr && connection->ClosedByDriver();
}

}  // namespace platform
