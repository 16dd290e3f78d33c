// Events, multi-object waits, mutexes, sleeps and ids over the C++ standard library and POSIX.
// All events share one process-wide lock. A thread that has to wait registers itself with each
// event of its set, so that setting an event wakes only the threads waiting on that event.
#include "platform/sync.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace platform {
namespace {

// A thread blocked in WaitAny; registered with every event of its set while it sleeps.
struct Waiter {
  std::condition_variable woken;
};

struct EventState {
  bool manual_reset;
  bool signalled;
  std::vector<Waiter*> waiters;  // under EventLock
};

// Never destroyed: threads may still wait while static objects are torn down at exit.
std::mutex& EventLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
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
  native_ = new (std::nothrow) EventState{kind == Kind::kManualReset, initially_set, {}};
}

Event::~Event() { delete static_cast<EventState*>(native_); }

void Event::Set() {
  EventState* state = StateOf(this);
  if (state == nullptr) return;
  std::lock_guard<std::mutex> hold(EventLock());
  state->signalled = true;
  for (Waiter* waiter : state->waiters) waiter->woken.notify_one();
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
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::unique_lock<std::mutex> hold(EventLock());
  int index = TakeFirstSignalled(events, count);
  if (index >= 0) return index;
  if (timeout_ms == 0) return kWaitTimeout;
  Waiter self;
  for (int i = 0; i < count; ++i) StateOf(events[i])->waiters.push_back(&self);
  for (;;) {
    bool timed_out = false;
    if (timeout_ms == kInfinite) {
      self.woken.wait(hold);
    } else {
      timed_out = self.woken.wait_until(hold, deadline) == std::cv_status::timeout;
    }
    index = TakeFirstSignalled(events, count);
    if (index >= 0 || timed_out) break;
  }
  // One registration per entry of the set (an event listed twice was registered twice).
  for (int i = 0; i < count; ++i) {
    std::vector<Waiter*>& waiters = StateOf(events[i])->waiters;
    auto found = std::find(waiters.begin(), waiters.end(), &self);
    if (found != waiters.end()) {
      *found = waiters.back();
      waiters.pop_back();
    }
  }
  return index >= 0 ? index : kWaitTimeout;
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
