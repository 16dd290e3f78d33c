// OS threads over CreateThread, optionally created suspended.
#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace platform {
namespace {

struct ThreadState {
  HANDLE handle = nullptr;
  ThreadFunction function = nullptr;
  void* argument = nullptr;
  bool resumed = false;           // owner's view: the thread was allowed to run
  volatile LONG abandoned = 0;    // joined before it was ever resumed: the function never runs
};

DWORD WINAPI ThreadMain(void* parameter) {
  auto* state = static_cast<ThreadState*>(parameter);
  if (InterlockedCompareExchange(&state->abandoned, 0, 0) != 0) return 0;
  return state->function(state->argument);
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
  state->handle = CreateThread(nullptr, 0, ThreadMain, state, suspended ? CREATE_SUSPENDED : 0,
                               nullptr);
  if (state->handle == nullptr) {
    delete state;
    return false;
  }
  native_ = state;
  return true;
}

bool Thread::Resume() {
  auto* state = static_cast<ThreadState*>(native_);
  if (state == nullptr) return false;
  if (ResumeThread(state->handle) == static_cast<DWORD>(-1)) return false;
  state->resumed = true;
  return true;
}

void Thread::Join() {
  auto* state = static_cast<ThreadState*>(native_);
  if (state == nullptr) return;
  native_ = nullptr;
  if (!state->resumed) {
    // A thread still suspended would never end: let it go without running the function.
    InterlockedExchange(&state->abandoned, 1);
    ResumeThread(state->handle);
  }
  // From its own thread the wait cannot succeed; the thread then just runs on.
  if (GetThreadId(state->handle) != GetCurrentThreadId()) {
    WaitForSingleObject(state->handle, INFINITE);
  }
  CloseHandle(state->handle);
  delete state;
}

}  // namespace platform
