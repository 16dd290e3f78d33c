// Kernel-object style synchronisation: events, multi-object waits, mutexes, sleeps and ids.
#pragma once

#include <cstdint>
#include <initializer_list>

namespace platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// An event as Windows has it: manual-reset events stay set until reset; auto-reset events
// release exactly one wait and reset themselves.
class Event {
 public:
  enum class Kind { kManualReset, kAutoReset };
  explicit Event(Kind kind, bool initially_set = false);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // False when the OS could not create the event; every other call then fails or does nothing.
  bool Valid() const { return native_ != nullptr; }
  void Set();
  void Reset();
  // True when the event was signalled within timeout_ms (kInfinite: no limit).
  bool Wait(uint32_t timeout_ms = kInfinite);

  // The OS object: a HANDLE on Windows, the seam's own state elsewhere.
  void* native() const { return native_; }

 private:
  void* native_ = nullptr;
};

inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitFailed = -2;

// Waits until one of the events is signalled, as WaitForMultipleObjects with bWaitAll FALSE:
// returns the index of the signalled event, the lowest index when several are; consumes the
// signal of an auto-reset event it reports. kWaitTimeout or kWaitFailed otherwise.
int WaitAny(std::initializer_list<Event*> events, uint32_t timeout_ms = kInfinite);
int WaitAny(Event* const* events, int count, uint32_t timeout_ms);

// A recursive mutex, as a Windows mutex object is: its owner may lock it again.
class Mutex {
 public:
  Mutex();
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  bool Valid() const { return native_ != nullptr; }
  void Lock();
  void Unlock();

 private:
  void* native_ = nullptr;
};

class MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) : mutex_(mutex) { mutex_.Lock(); }
  ~MutexLock() { mutex_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mutex_;
};

void SleepMs(uint32_t milliseconds);
uint32_t CurrentProcessId();
uint32_t CurrentThreadId();
// Milliseconds from an arbitrary start, monotonic.
uint64_t TickMs();

}  // namespace platform
