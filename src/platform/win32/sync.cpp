// Events, multi-object waits, mutexes, sleeps and ids over Windows kernel objects.
#include "platform/sync.h"

#include <windows.h>

namespace platform {
namespace {

HANDLE HandleOf(const Event* event) {
  return event == nullptr ? nullptr : static_cast<HANDLE>(event->native());
}

}  // namespace

Event::Event(Kind kind, bool initially_set) {
  native_ = CreateEventW(nullptr, kind == Kind::kManualReset ? TRUE : FALSE,
                         initially_set ? TRUE : FALSE, nullptr);
}

Event::~Event() {
  if (native_ != nullptr) CloseHandle(static_cast<HANDLE>(native_));
}

void Event::Set() {
  if (native_ != nullptr) SetEvent(static_cast<HANDLE>(native_));
}

void Event::Reset() {
  if (native_ != nullptr) ResetEvent(static_cast<HANDLE>(native_));
}

bool Event::Wait(uint32_t timeout_ms) {
  Event* self = this;
  return WaitAny(&self, 1, timeout_ms) == 0;
}

int WaitAny(std::initializer_list<Event*> events, uint32_t timeout_ms) {
  return WaitAny(events.begin(), static_cast<int>(events.size()), timeout_ms);
}

int WaitAny(Event* const* events, int count, uint32_t timeout_ms) {
  if (events == nullptr || count <= 0 || count > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  for (int i = 0; i < count; ++i) {
    handles[i] = HandleOf(events[i]);
    if (handles[i] == nullptr) return kWaitFailed;
  }
  DWORD result = WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE,
                                        timeout_ms == kInfinite ? INFINITE : timeout_ms);
  if (result == WAIT_TIMEOUT) return kWaitTimeout;
  if (result < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(result - WAIT_OBJECT_0);
  return kWaitFailed;
}

Mutex::Mutex() { native_ = CreateMutexW(nullptr, FALSE, nullptr); }

Mutex::~Mutex() {
  if (native_ != nullptr) CloseHandle(static_cast<HANDLE>(native_));
}

void Mutex::Lock() {
  if (native_ != nullptr) WaitForSingleObject(static_cast<HANDLE>(native_), INFINITE);
}

void Mutex::Unlock() {
  if (native_ != nullptr) ReleaseMutex(static_cast<HANDLE>(native_));
}

void SleepMs(uint32_t milliseconds) { Sleep(milliseconds); }

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

uint32_t CurrentThreadId() { return GetCurrentThreadId(); }

uint64_t TickMs() { return GetTickCount64(); }

}  // namespace platform
