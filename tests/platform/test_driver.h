// A driver for the socket transport tests: one listening socket whose connections are served by
// the test's handler, which answers through Answer or writes any bytes at all through SendRaw.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace socket_test {

struct Frame {
  uint64_t id = 0;
  uint32_t code = 0;
  uint32_t output_length = 0;
  std::vector<unsigned char> input;
};

inline uint32_t U32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

inline bool ReadAll(int fd, unsigned char* p, size_t n) {
  while (n > 0) {
    ssize_t got = recv(fd, p, n, 0);
    if (got <= 0) return false;
    p += got;
    n -= size_t(got);
  }
  return true;
}

// A driver with one listening socket; each accepted connection is served on its own thread by
// the test's handler, which answers through Answer.
class TestDriver {
 public:
  using Handler = std::function<void(TestDriver&, int fd, const Frame&)>;

  TestDriver(const std::string& path, Handler handler) : path_(path), handler_(std::move(handler)) {
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    unlink(path.c_str());
    EXPECT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_EQ(listen(listen_fd_, 8), 0);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }
  ~TestDriver() {
    shutdown(listen_fd_, SHUT_RDWR);
    close(listen_fd_);
    acceptor_.join();
    CloseConnections();
    for (std::thread& t : servers_) t.join();
    unlink(path_.c_str());
  }

  void Answer(int fd, uint64_t id, uint32_t status, const std::vector<unsigned char>& output) {
    SendRaw(fd, AnswerFrame(id, status, output));
  }
  static std::vector<unsigned char> AnswerFrame(uint64_t id, uint32_t status,
                                                const std::vector<unsigned char>& output) {
    std::vector<unsigned char> frame(20);
    const uint32_t length = 20 + uint32_t(output.size());
    std::memcpy(&frame[0], &length, 4);
    std::memcpy(&frame[4], &id, 8);
    std::memcpy(&frame[12], &status, 4);
    const uint32_t returned = uint32_t(output.size());
    std::memcpy(&frame[16], &returned, 4);
    frame.insert(frame.end(), output.begin(), output.end());
    return frame;
  }
  void SendRaw(int fd, const std::vector<unsigned char>& bytes) {
    std::lock_guard<std::mutex> hold(write_mutex_);
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  // Closes every accepted connection, as a driver that removes its device does.
  void CloseConnections() {
    std::lock_guard<std::mutex> hold(mutex_);
    for (int fd : fds_) shutdown(fd, SHUT_RDWR);
  }
  // The open answer given to later connections.
  void FailOpens(uint32_t status) { open_status_ = status; }
  std::vector<Frame> Seen() {
    std::lock_guard<std::mutex> hold(mutex_);
    return seen_;
  }

 private:
  void AcceptLoop() {
    for (;;) {
      const int fd = accept(listen_fd_, nullptr, nullptr);
      if (fd < 0) return;
      const uint32_t answer[2] = {8, open_status_};
      if (open_status_ != 0) {
        send(fd, answer, sizeof answer, MSG_NOSIGNAL);
        close(fd);
        continue;
      }
      {
        // Known before the answer goes out, so that CloseConnections reaches every handle
        // the service has opened.
        std::lock_guard<std::mutex> hold(mutex_);
        fds_.push_back(fd);
        servers_.emplace_back([this, fd] { Serve(fd); });
      }
      send(fd, answer, sizeof answer, MSG_NOSIGNAL);
    }
  }
  void Serve(int fd) {
    for (;;) {
      unsigned char header[24];
      if (!ReadAll(fd, header, 24)) break;
      Frame frame;
      const uint32_t length = U32(header);
      std::memcpy(&frame.id, header + 4, 8);
      frame.code = U32(header + 12);
      frame.output_length = U32(header + 20);
      frame.input.resize(length - 24);
      if (!frame.input.empty() && !ReadAll(fd, frame.input.data(), frame.input.size())) break;
      EXPECT_EQ(U32(header + 16), frame.input.size());
      {
        std::lock_guard<std::mutex> hold(mutex_);
        seen_.push_back(frame);
      }
      handler_(*this, fd, frame);
    }
    close(fd);
  }

  std::string path_;
  Handler handler_;
  int listen_fd_ = -1;
  std::atomic<uint32_t> open_status_{0};
  std::thread acceptor_;
  std::mutex mutex_;
  std::mutex write_mutex_;
  std::vector<int> fds_;
  std::vector<std::thread> servers_;
  std::vector<Frame> seen_;
};
}  // namespace socket_test
