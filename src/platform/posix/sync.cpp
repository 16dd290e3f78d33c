// Events, multi-object waits, mutexes, sleeps and ids over the C++ standard library and POSIX.
// All events share one process-wide lock and condition variable: a multi-object wait then needs
// no registration with each event, and setting any event wakes every waiter to re-check its set.
#include "platform/sync.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace platform {
namespace {

struct EventState {
  bool manual_reset;
  bool signalled;
};

// Never destroyed: threads may still wait while static objects are torn down at exit.
std::mutex& EventLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

std::condition_variable& EventChanged() {
  static std::condition_variable* changed = new std::condition_variable;
  return *changed;
}

EventState* StateOf(const Event* event) {
  return event == nullptr ? nullptr : static_cast<EventState*>(event->native());
}

// Index of the first signalled event, consuming an auto-reset signal; -1 when none is set.
// Called with EventLock held.
int TakeFirstSignalled(Event* const* events, int count) {
  for (int i = 0; i < count; ++i) {
    EventState* state = StateOf(events[i]);
    if (state->signalled) {
      if (!state->manual_reset) state->signalled = false;
      return i;
    }
  }
  return -1;
}

}  // namespace

Event::Event(Kind kind, bool initially_set) {
  native_ = new (std::nothrow) EventState{kind == Kind::kManualReset, initially_set};
}

Event::~Event() { delete static_cast<EventState*>(native_); }

void Event::Set() {
  EventState* state = StateOf(this);
  if (state == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(EventLock());
    state->signalled = true;
  }
  EventChanged().notify_all();
}

void Event::Reset() {
  EventState* state = StateOf(this);
  if (state == nullptr) return;
  std::lock_guard<std::mutex> hold(EventLock());
  state->signalled = false;
}

bool Event::Wait(uint32_t timeout_ms) {
  Event* self = this;
  return WaitAny(&self, 1, timeout_ms) == 0;
}

int WaitAny(std::initializer_list<Event*> events, uint32_t timeout_ms) {
  return WaitAny(events.begin(), static_cast<int>(events.size()), timeout_ms);
}

int WaitAny(Event* const* events, int count, uint32_t timeout_ms) {
  if (events == nullptr || count <= 0) return kWaitFailed;
  for (int i = 0; i < count; ++i) {
    if (StateOf(events[i]) == nullptr) return kWaitFailed;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> hold(EventLock());
  for (;;) {
    int index = TakeFirstSignalled(events, count);
    if (index >= 0) return index;
    if (timeout_ms == kInfinite) {
      EventChanged().wait(hold);
    } else if (EventChanged().wait_until(hold, deadline) == std::cv_status::timeout) {
      index = TakeFirstSignalled(events, count);
      return index >= 0 ? index : kWaitTimeout;
    }
  }
}

Mutex::Mutex() { native_ = new (std::nothrow) std::recursive_mutex; }

Mutex::~Mutex() { delete static_cast<std::recursive_mutex*>(native_); }

void Mutex::Lock() {
  if (native_ != nullptr) static_cast<std::recursive_mutex*>(native_)->lock();
}

void Mutex::Unlock() {
  if (native_ != nullptr) static_cast<std::recursive_mutex*>(native_)->unlock();
}

void SleepMs(uint32_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

uint64_t TickMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace platform
