#include "platform/posix/answer_poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

AnswerPoller& AnswerPoller::Shared() {
  // Never destroyed: connections still open at exit may remove themselves late.
  static AnswerPoller* poller = new AnswerPoller;
  return *poller;
}

bool AnswerPoller::StartLocked() {
  epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event wake{};
  wake.events = EPOLLIN;
  wake.data.ptr = nullptr;
  if (epoll_fd_ < 0 || wake_fd_ < 0 || epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &wake) != 0) {
    StopLocked();
    return false;
  }
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = false;
  }
  thread_ = std::thread([this] { Loop(); });
  return true;
}

void AnswerPoller::StopLocked() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (epoll_fd_ >= 0) close(epoll_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
  epoll_fd_ = -1;
  wake_fd_ = -1;
}

bool AnswerPoller::Add(Client* client, int fd) {
  std::lock_guard<std::mutex> life(lifecycle_);
  if (count_ == 0 && !StartLocked()) return false;
  epoll_event interest{};
  interest.events = EPOLLIN | EPOLLRDHUP;
  interest.data.ptr = client;
  {
    std::lock_guard<std::mutex> hold(mutex_);
    clients_[client] = fd;
  }
  if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &interest) != 0) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      clients_.erase(client);
    }
    if (count_ == 0) StopLocked();
    return false;
  }
  ++count_;
  return true;
}

void AnswerPoller::Remove(Client* client, int fd) {
  std::lock_guard<std::mutex> life(lifecycle_);
  {
    // Taking the lock waits for a read in progress on this client; afterwards the loop skips
    // any event for it that epoll had already reported.
    std::lock_guard<std::mutex> hold(mutex_);
    clients_.erase(client);
  }
  epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);  // fails harmlessly when the loop dropped it
  if (--count_ == 0) StopLocked();
}

size_t AnswerPoller::ClientCount() {
  std::lock_guard<std::mutex> life(lifecycle_);
  return count_;
}

void AnswerPoller::Loop() {
  epoll_event events[32];
  for (;;) {
    const int ready = epoll_wait(epoll_fd_, events, 32, -1);
    if (ready < 0 && errno != EINTR) return;
    std::lock_guard<std::mutex> hold(mutex_);
    if (stopping_) return;
    for (int i = 0; i < ready; ++i) {
      auto* client = static_cast<Client*>(events[i].data.ptr);
      auto found = client != nullptr ? clients_.find(client) : clients_.end();
      if (found == clients_.end()) continue;  // the wake-up, or a client removed meanwhile
      if (!client->OnReadable()) {
        // The connection is dead: stop watching it (its end of stream stays readable).
        epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, found->second, nullptr);
        clients_.erase(found);
      }
    }
  }
}

}  // namespace platform
