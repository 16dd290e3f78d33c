// OS threads over std::thread; a start gate holds a thread started suspended until Resume.
#include "platform/thread.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace platform {
namespace {

struct ThreadState {
  ThreadFunction function = nullptr;
  void* argument = nullptr;
  std::mutex gate;
  std::condition_variable opened;
  bool resumed = false;
  bool abandoned = false;  // joined before it was ever resumed: the function never runs
  std::thread thread;
};

void ThreadMain(ThreadState* state) {
  {
    std::unique_lock<std::mutex> hold(state->gate);
    state->opened.wait(hold, [state] { return state->resumed; });
    if (state->abandoned) return;
  }
  state->function(state->argument);
}

}  // namespace

Thread::~Thread() { Join(); }

bool Thread::Start(ThreadFunction function, void* argument, bool suspended) {
  if (native_ != nullptr || function == nullptr) return false;
  auto* state = new (std::nothrow) ThreadState;
  if (state == nullptr) return false;
  state->function = function;
  state->argument = argument;
  state->resumed = !suspended;
  try {
    state->thread = std::thread(ThreadMain, state);
  } catch (const std::system_error&) {
    delete state;
    return false;
  }
  native_ = state;
  return true;
}

bool Thread::Resume() {
  auto* state = static_cast<ThreadState*>(native_);
  if (state == nullptr) return false;
  {
    std::lock_guard<std::mutex> hold(state->gate);
    state->resumed = true;
  }
  state->opened.notify_all();
  return true;
}

void Thread::Join() {
  auto* state = static_cast<ThreadState*>(native_);
  if (state == nullptr) return;
  {
    // A thread still held at its start gate would never end: let it go without running.
    std::lock_guard<std::mutex> hold(state->gate);
    if (!state->resumed) state->abandoned = true;
    state->resumed = true;
  }
  state->opened.notify_all();
  native_ = nullptr;
  try {
    if (state->thread.joinable()) state->thread.join();
  } catch (const std::system_error&) {
    // Joined from its own thread, which cannot wait for itself: it runs on detached. Its
    // record is no longer read once the function has been called.
    state->thread.detach();
  }
  delete state;
}

}  // namespace platform
