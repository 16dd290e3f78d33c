// OS threads over POSIX threads; a start gate holds a thread started suspended until Resume.
#include "platform/thread.h"

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <new>

namespace platform {
namespace {

// The stack each thread reserves: what a Windows thread reserves by default. The C library
// keeps the stacks of ended threads for its next threads only while they are this small (with
// the default 8 MB it keeps about five), and a session starts several threads on every event.
constexpr size_t kStackSize = size_t{1} << 20;

struct ThreadState {
  ThreadFunction function = nullptr;
  void* argument = nullptr;
  std::mutex gate;
  std::condition_variable opened;
  bool resumed = false;
  bool abandoned = false;  // joined before it was ever resumed: the function never runs
  pthread_t thread{};
};

void* ThreadMain(void* raw) {
  auto* state = static_cast<ThreadState*>(raw);
  {
    std::unique_lock<std::mutex> hold(state->gate);
    state->opened.wait(hold, [state] { return state->resumed; });
    if (state->abandoned) return nullptr;
  }
  state->function(state->argument);
  return nullptr;
}

// Starts ThreadMain(state) with the stack above, or the default one when it is refused.
bool StartOsThread(ThreadState* state) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  bool started = false;
  if (pthread_attr_setstacksize(&attributes, kStackSize) == 0) {
    started = pthread_create(&state->thread, &attributes, ThreadMain, state) == 0;
  }
  pthread_attr_destroy(&attributes);
  return started || pthread_create(&state->thread, nullptr, ThreadMain, state) == 0;
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
  if (!StartOsThread(state)) {
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
  if (pthread_equal(state->thread, pthread_self())) {
    // Joined from its own thread, which cannot wait for itself: it runs on detached. Its
    // record is no longer read once the function has been called.
    pthread_detach(state->thread);
  } else {
    pthread_join(state->thread, nullptr);
  }
  delete state;
}

}  // namespace platform
