// One thread that reads the driver's answers on every socket connection handed to it, so that a
// connection with requests outstanding in the background needs no thread of its own.
#pragma once

#include <cstddef>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace platform {

class AnswerPoller {
 public:
  class Client {
   public:
    virtual ~Client() = default;
    // Called on the poller thread, with the poller's lock held, when the client's socket is
    // readable. False when the stream has ended or broken: the poller then stops watching it.
    virtual bool OnReadable() = 0;
  };

  // The process's poller. Its thread runs while at least one client is added: the first Add
  // starts it and the last Remove stops and joins it.
  static AnswerPoller& Shared();

  // Watches fd for client. False when the OS refuses (the client then has no reader).
  bool Add(Client* client, int fd);
  // Stops watching a client that Add accepted; once it returns the poller never calls the client again. Never call it on
  // the poller thread (from OnReadable).
  void Remove(Client* client, int fd);

  size_t ClientCount();

 private:
  AnswerPoller() = default;
  void Loop();
  bool StartLocked();
  void StopLocked();

  std::mutex lifecycle_;  // held across Add and Remove: starting and joining the thread
  std::mutex mutex_;      // guards clients_ and stopping_; held while a client reads
  std::unordered_map<Client*, int> clients_;  // the watched clients and their sockets
  size_t count_ = 0;  // clients added and not yet removed (lifecycle_)
  bool stopping_ = false;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  std::thread thread_;
};

}  // namespace platform
