// OS threads: start (optionally suspended), resume, join.
#pragma once

#include <cstdint>

namespace platform {

using ThreadFunction = uint32_t (*)(void* argument);

class Thread {
 public:
  Thread() = default;
  ~Thread();  // joins a thread that still runs
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Starts function(argument) on a new OS thread; with suspended it waits for Resume first.
  // False when the OS refused; the object then stays empty.
  bool Start(ThreadFunction function, void* argument, bool suspended = false);
  bool Resume();
  // Waits without limit for the thread to end and releases it. Nothing happens when empty.
  void Join();
  bool Running() const { return native_ != nullptr; }

 private:
  void* native_ = nullptr;
};

}  // namespace platform
