// A thread object's handler and its context, installed and called under the object's mutex.
#pragma once

#include <utility>

#include "platform/sync.h"

// Handler is a function pointer. Installing waits for a running call to finish, and calls made
// by one thread never overlap.
template <typename Handler>
class HandlerBinding {
 public:
  void Set(Handler handler, void* context) {
    platform::MutexLock lock(mutex_);
    handler_ = handler;
    context_ = context;
  }

  // Calls the handler, if one is installed, with args followed by the context.
  template <typename... Args>
  void Call(Args&&... args) {
    platform::MutexLock lock(mutex_);
    if (handler_ != nullptr) handler_(std::forward<Args>(args)..., context_);
  }

  platform::Mutex& mutex() { return mutex_; }

 private:
  platform::Mutex mutex_;
  Handler handler_ = nullptr;
  void* context_ = nullptr;
};
