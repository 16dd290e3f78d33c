// Socket publication of in-process devices: one thread per published socket accepts and reads
// every connection made to it; a request left pending gets a waiter thread that writes its answer.
#include "sim/socket_server.h"

#ifndef _WIN32

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/device_watch.h"
#include "platform/posix/socket_device.h"

namespace sim {
namespace {

void PutU32(unsigned char* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}
uint32_t GetU32(const unsigned char* in) {
  return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}

// One outstanding request carried to the provider's connection.
struct Request {
  explicit Request(uint64_t request_id) : id(request_id), overlapped(done) {}
  uint64_t id;
  platform::Event done{platform::Event::Kind::kManualReset};
  platform::Overlapped overlapped;
  std::vector<unsigned char> input;
  std::vector<unsigned char> output;
  std::thread waiter;
};

// One accepted connection and the provider connection behind it, served by its socket's thread.
class Session {
 public:
  Session(int fd, platform::DeviceConnection* device) : fd_(fd), device_(device) {}
  // Ends what is outstanding, then closes the provider connection and the socket.
  ~Session();
  int fd() const { return fd_; }
  // Takes what has arrived and issues each complete request. False when the connection has
  // ended: the service closed it, or sent something that is not a request.
  bool OnReadable();

 private:
  // Issues the complete requests at the front of the inbox; false on a malformed frame.
  bool TakeRequests();
  void Issue(uint64_t id, uint32_t code, std::vector<unsigned char> input, uint32_t output_size);
  void Answer(uint64_t id, uint32_t status, const unsigned char* data, uint32_t size);

  const int fd_;
  platform::DeviceConnection* device_;  // owned: closed when the session ends
  std::vector<unsigned char> inbox_;    // bytes of requests not complete yet
  std::mutex mutex_;  // guards requests_ and writes to fd_
  std::map<uint64_t, std::unique_ptr<Request>> requests_;
};

Session::~Session() {
  std::vector<std::unique_ptr<Request>> ending;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    for (auto& [id, request] : requests_) device_->Cancel(request->overlapped);
    for (auto& [id, request] : requests_) ending.push_back(std::move(request));
    requests_.clear();
  }
  for (auto& request : ending) request->waiter.join();
  platform::CloseDevice(device_);
  shutdown(fd_, SHUT_RDWR);
  close(fd_);
}

bool Session::OnReadable() {
  const bool open = platform::DrainSocket(fd_, &inbox_);
  const bool intact = TakeRequests();  // what came before an end is still served
  return open && intact;
}

bool Session::TakeRequests() {
  constexpr size_t kHeader = platform::kSocketRequestHeaderSize;
  size_t used = 0;
  bool intact = true;
  while (inbox_.size() - used >= kHeader) {
    const unsigned char* header = &inbox_[used];
    const uint32_t length = GetU32(header);
    const uint32_t output_size = GetU32(header + 20);
    if (length < kHeader || length > platform::kSocketMaxFrameSize ||
        output_size > platform::kSocketMaxFrameSize) {
      intact = false;
      break;
    }
    if (inbox_.size() - used < length) break;
    uint64_t id = 0;
    std::memcpy(&id, header + 4, 8);
    const uint32_t code = GetU32(header + 12);
    std::vector<unsigned char> input(header + kHeader, header + length);
    used += length;
    if (code == platform::kSocketCancelCode) {
      std::lock_guard<std::mutex> hold(mutex_);
      if (auto found = requests_.find(id); found != requests_.end()) {
        device_->Cancel(found->second->overlapped);
      }
      continue;
    }
    Issue(id, code, std::move(input), output_size);
  }
  inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(used));
  return intact;
}

void Session::Issue(uint64_t id, uint32_t code, std::vector<unsigned char> input,
                    uint32_t output_size) {
  auto request = std::make_unique<Request>(id);
  request->input = std::move(input);
  request->output.assign(output_size, 0);
  Request* raw = request.get();
  std::lock_guard<std::mutex> hold(mutex_);
  bool issued = false;
  if (code == platform::kSocketInputReportLengthCode) {
    uint16_t length = 0;
    const bool has = device_->InputReportLength(&length);
    const unsigned char bytes[2] = {static_cast<unsigned char>(length),
                                    static_cast<unsigned char>(length >> 8)};
    Answer(id, has ? 0 : platform::kErrorNotSupported, bytes, has ? 2 : 0);
    return;
  }
  raw->done.Reset();
  if (code == platform::kSocketReadCode) {
    issued = device_->IssueRead(raw->output.data(), output_size, raw->overlapped);
  } else {
    issued = device_->IssueControl(code, raw->input.data(),
                                   static_cast<uint32_t>(raw->input.size()), raw->output.data(),
                                   output_size, raw->overlapped);
  }
  if (!issued) {
    Answer(id, platform::kErrorGenFailure, nullptr, 0);
    return;
  }
  // Most requests complete at once; only those left pending (event waits, reads) get a thread
  // that writes their answer when they complete.
  if (raw->done.Wait(0)) {
    uint32_t returned = 0;
    const bool ok = device_->GetResult(raw->overlapped, &returned, false);
    Answer(id, ok ? 0 : platform::kErrorGenFailure, raw->output.data(), ok ? returned : 0);
    return;
  }
  raw->waiter = std::thread([this, raw] {
    uint32_t returned = 0;
    const bool ok = device_->GetResult(raw->overlapped, &returned, true);
    std::unique_ptr<Request> finished;
    std::lock_guard<std::mutex> hold(mutex_);
    auto found = requests_.find(raw->id);
    const uint32_t status = ok ? 0 : platform::kErrorGenFailure;
    if (found == requests_.end()) return;  // the session is ending; the reader joins us
    Answer(raw->id, status, raw->output.data(), ok ? returned : 0);
    finished = std::move(found->second);
    requests_.erase(found);
    finished->waiter.detach();  // this very thread: nothing else waits for it
  });
  requests_[id] = std::move(request);
}

void Session::Answer(uint64_t id, uint32_t status, const unsigned char* data, uint32_t size) {
  // mutex_ held.
  std::vector<unsigned char> frame(platform::kSocketAnswerHeaderSize + size);
  PutU32(frame.data(), static_cast<uint32_t>(frame.size()));
  std::memcpy(frame.data() + 4, &id, 8);
  PutU32(frame.data() + 12, status);
  PutU32(frame.data() + 16, size);
  if (size > 0) std::memcpy(frame.data() + platform::kSocketAnswerHeaderSize, data, size);
  size_t at = 0;
  while (at < frame.size()) {
    const ssize_t put = send(fd_, frame.data() + at, frame.size() - at, MSG_NOSIGNAL);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;
    at += static_cast<size_t>(put);
  }
}

}  // namespace

struct Published {
  std::string path;
  std::u16string provider_path;
  int listen_fd = -1;
  int stop_fd = -1;  // an eventfd: written once to end the socket's thread
  std::thread server;
};

struct SocketServer::State {
  std::string folder;
  platform::DeviceProvider* provider;
  std::mutex mutex;  // guards published
  std::map<std::string, std::unique_ptr<Published>> published;
};

namespace {

// Opens a provider connection for a new connection and sends the open answer: status 0 and a
// session, or the provider's error and the end of the connection.
std::unique_ptr<Session> Accept(Published* socket, platform::DeviceProvider* provider, int fd) {
  uint32_t error = platform::kErrorSuccess;
  platform::DeviceConnection* device =
      provider->Open(socket->provider_path, platform::DeviceAccess::kReadWrite, true, &error);
  if (device == nullptr && error == platform::kErrorSuccess) error = platform::kErrorGenFailure;
  unsigned char answer[platform::kSocketOpenAnswerSize];
  PutU32(answer, platform::kSocketOpenAnswerSize);
  PutU32(answer + 4, device != nullptr ? platform::kErrorSuccess : error);
  if (device == nullptr) {
    send(fd, answer, sizeof answer, MSG_NOSIGNAL);
    close(fd);
    return nullptr;
  }
  auto session = std::make_unique<Session>(fd, device);
  if (send(fd, answer, sizeof answer, MSG_NOSIGNAL) != sizeof answer) return nullptr;
  return session;
}

// One thread per published socket accepts its connections and reads the requests of all of
// them; only requests left pending (event waits, reads) get a thread of their own.
void ServeSocket(Published* socket, platform::DeviceProvider* provider) {
  std::map<int, std::unique_ptr<Session>> sessions;
  std::vector<pollfd> watched;
  for (;;) {
    watched.assign({{socket->stop_fd, POLLIN, 0}, {socket->listen_fd, POLLIN, 0}});
    for (const auto& [fd, session] : sessions) watched.push_back({fd, POLLIN, 0});
    if (poll(watched.data(), watched.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (watched[0].revents != 0) break;
    if (watched[1].revents & POLLIN) {
      const int fd = accept4(socket->listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        if (auto session = Accept(socket, provider, fd)) sessions[fd] = std::move(session);
      } else if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) {
        break;
      }
    }
    for (size_t i = 2; i < watched.size(); ++i) {
      if (watched[i].revents == 0) continue;
      auto found = sessions.find(watched[i].fd);
      if (found != sessions.end() && !found->second->OnReadable()) sessions.erase(found);
    }
  }
  sessions.clear();  // each ends its outstanding requests and closes its connection
}

void Remove(Published& socket) {
  unlink(socket.path.c_str());
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t written = write(socket.stop_fd, &one, sizeof one);
  if (socket.server.joinable()) socket.server.join();
  close(socket.listen_fd);
  close(socket.stop_fd);
}

}  // namespace

SocketServer::SocketServer(std::string folder, platform::DeviceProvider* provider)
    : state_(std::make_unique<State>()) {
  state_->folder = std::move(folder);
  state_->provider = provider;
  platform::MakeFolders(state_->folder);
}

SocketServer::~SocketServer() {
  std::map<std::string, std::unique_ptr<Published>> published;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    published.swap(state_->published);
  }
  for (auto& [name, socket] : published) Remove(*socket);
}

const std::string& SocketServer::folder() const { return state_->folder; }

bool SocketServer::Publish(const std::string& socket_name, const std::u16string& provider_path) {
  Unpublish(socket_name);
  auto socket = std::make_unique<Published>();
  socket->path = state_->folder + "/" + socket_name;
  socket->provider_path = provider_path;
  // Bound under a hidden name and renamed once listening: the name appears ready to connect.
  const std::string hidden = state_->folder + "/." + socket_name;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socket->path.size() >= sizeof address.sun_path || hidden.size() >= sizeof address.sun_path) {
    return false;
  }
  std::memcpy(address.sun_path, hidden.c_str(), hidden.size());
  socket->listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket->listen_fd < 0) return false;
  socket->stop_fd = eventfd(0, EFD_CLOEXEC);
  if (socket->stop_fd < 0) {
    close(socket->listen_fd);
    return false;
  }
  unlink(hidden.c_str());
  if (bind(socket->listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(socket->listen_fd, 16) != 0 || rename(hidden.c_str(), socket->path.c_str()) != 0) {
    close(socket->listen_fd);
    close(socket->stop_fd);
    unlink(hidden.c_str());
    return false;
  }
  socket->server = std::thread(ServeSocket, socket.get(), state_->provider);
  std::lock_guard<std::mutex> hold(state_->mutex);
  state_->published[socket_name] = std::move(socket);
  return true;
}

void SocketServer::Unpublish(const std::string& socket_name) {
  std::unique_ptr<Published> socket;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    auto found = state_->published.find(socket_name);
    if (found == state_->published.end()) return;
    socket = std::move(found->second);
    state_->published.erase(found);
  }
  Remove(*socket);
}

}  // namespace sim

#endif  // _WIN32
