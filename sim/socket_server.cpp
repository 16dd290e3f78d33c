// Socket publication of in-process devices: one thread per published socket accepts and reads
// every connection made to it; a request left pending is handed to one of the server's waiter
// threads, which writes its answer when it completes.
#include "sim/socket_server.h"

#ifndef _WIN32

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <system_error>
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

// Threads that each wait for one pending request at a time and then for the next, so that a
// request left pending costs no thread creation (a kernel driver creates no thread per request
// either). The pool grows to the largest number of requests pending at once; Stop ends and joins
// every thread.
class WaiterPool {
 public:
  WaiterPool() = default;
  ~WaiterPool() { Stop(); }
  WaiterPool(const WaiterPool&) = delete;
  WaiterPool& operator=(const WaiterPool&) = delete;

  // Runs task on an idle thread, or on a new one when none is idle. False when stopped or when
  // no thread could be started: the task then never runs.
  bool Run(std::function<void()> task);
  // Lets the threads finish the tasks handed to them, then joins them. Run fails afterwards.
  void Stop();

 private:
  void Loop();

  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  size_t idle_ = 0;  // threads waiting for a task
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

bool WaiterPool::Run(std::function<void()> task) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (stopping_) return false;
  tasks_.push_back(std::move(task));
  if (idle_ >= tasks_.size()) {
    wake_.notify_one();
    return true;
  }
  try {
    threads_.emplace_back([this] { Loop(); });
  } catch (const std::system_error&) {
    tasks_.pop_back();
    return false;
  }
  return true;
}

void WaiterPool::Stop() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

void WaiterPool::Loop() {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    ++idle_;
    wake_.wait(hold, [this] { return stopping_ || !tasks_.empty(); });
    --idle_;
    if (tasks_.empty()) return;  // stopping, and nothing left to run
    std::function<void()> task = std::move(tasks_.front());
    tasks_.pop_front();
    hold.unlock();
    task();
    task = nullptr;  // what the task holds goes before the thread waits again
    hold.lock();
  }
}

// One outstanding request carried to the provider's connection.
struct Request {
  explicit Request(uint64_t request_id) : id(request_id), overlapped(done) {}
  uint64_t id;
  platform::Event done{platform::Event::Kind::kManualReset};
  platform::Overlapped overlapped;
  std::vector<unsigned char> input;
  std::vector<unsigned char> output;
};

// One accepted connection and the provider connection behind it, served by its socket's thread.
class Session {
 public:
  Session(int fd, platform::DeviceConnection* device, WaiterPool* waiters)
      : fd_(fd), device_(device), waiters_(waiters) {}
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
  // On a waiter thread: waits for the pending request to complete and answers it.
  void AwaitAndAnswer(Request* request);
  void Answer(uint64_t id, uint32_t status, const unsigned char* data, uint32_t size);

  const int fd_;
  platform::DeviceConnection* device_;  // owned: closed when the session ends
  WaiterPool* const waiters_;
  std::vector<unsigned char> inbox_;    // bytes of requests not complete yet
  std::mutex mutex_;  // guards requests_, awaited_ and writes to fd_
  std::condition_variable released_;  // a waiter thread is done with one of our requests
  std::map<uint64_t, std::unique_ptr<Request>> requests_;  // pending, each with a waiter
  size_t awaited_ = 0;  // requests a waiter thread still holds
};

Session::~Session() {
  std::vector<std::unique_ptr<Request>> ending;
  {
    std::unique_lock<std::mutex> hold(mutex_);
    for (auto& [id, request] : requests_) device_->Cancel(request->overlapped);
    for (auto& [id, request] : requests_) ending.push_back(std::move(request));
    requests_.clear();
    // The cancelled requests complete; their waiters then let go of them and of this session.
    released_.wait(hold, [this] { return awaited_ == 0; });
  }
  ending.clear();
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
  if (requests_.count(id) != 0) {
    // The id of a request still pending: its record must stay as it is until it completes.
    Answer(id, platform::kErrorInvalidParameter, nullptr, 0);
    return;
  }
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
  // Most requests complete at once; only those left pending (event waits, reads) go to a waiter
  // thread that writes their answer when they complete.
  if (!raw->done.Wait(0)) {
    if (waiters_->Run([this, raw] { AwaitAndAnswer(raw); })) {
      ++awaited_;
      requests_[id] = std::move(request);
      return;
    }
    // No thread to wait on: the request ends now, as a cancelled one.
    device_->Cancel(raw->overlapped);
  }
  uint32_t returned = 0;
  const bool ok = device_->GetResult(raw->overlapped, &returned, true);
  Answer(id, ok ? 0 : platform::kErrorGenFailure, raw->output.data(), ok ? returned : 0);
}

void Session::AwaitAndAnswer(Request* request) {
  uint32_t returned = 0;
  const bool ok = device_->GetResult(request->overlapped, &returned, true);
  std::lock_guard<std::mutex> hold(mutex_);
  // Not found when the session is ending: its destructor frees the request.
  if (auto found = requests_.find(request->id); found != requests_.end()) {
    Answer(request->id, ok ? 0 : platform::kErrorGenFailure, request->output.data(),
           ok ? returned : 0);
    requests_.erase(found);
  }
  --awaited_;
  // Under the lock: once it is released the session may be gone.
  released_.notify_all();
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
  // Shared by every socket's sessions; joined when the server goes, after every socket's thread.
  WaiterPool waiters;
  std::mutex mutex;  // guards published
  std::map<std::string, std::unique_ptr<Published>> published;
};

namespace {

// Opens a provider connection for a new connection and sends the open answer: status 0 and a
// session, or the provider's error and the end of the connection.
std::unique_ptr<Session> Accept(Published* socket, platform::DeviceProvider* provider,
                                WaiterPool* waiters, int fd) {
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
  auto session = std::make_unique<Session>(fd, device, waiters);
  if (send(fd, answer, sizeof answer, MSG_NOSIGNAL) != sizeof answer) return nullptr;
  return session;
}

// One thread per published socket accepts its connections and reads the requests of all of
// them; requests left pending (event waits, reads) are waited for by the server's waiter threads.
void ServeSocket(Published* socket, platform::DeviceProvider* provider, WaiterPool* waiters) {
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
        if (auto session = Accept(socket, provider, waiters, fd)) {
          sessions[fd] = std::move(session);
        }
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
  socket->server = std::thread(ServeSocket, socket.get(), state_->provider, &state_->waiters);
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
