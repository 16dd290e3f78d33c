// Base of the threads that wait for driver events: one OS thread running Run, a stop event,
// Start and Stop; and the one-request wait that all of them use.
#pragma once

#include <cstdint>

#include "platform/device_io.h"
#include "platform/sync.h"
#include "platform/thread.h"

// A worker thread object. The owner constructs it, sets it up, calls Start, and calls Stop (or
// destroys it) to end the thread. Start and Stop belong to the owner's thread.
//
// A derived class must call Stop in its own destructor: Run uses the derived members, which are
// gone by the time this base's destructor runs.
class CThread {
 public:
  CThread();
  virtual ~CThread();
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  // Creates the OS thread, running Run at once, unless one is already stored. True when a thread
  // is stored afterwards.
  bool Start();
  // If a thread is stored: signals the stop event, waits without time limit for the thread to
  // end and releases it. Returns at once otherwise.
  void Stop();
  bool Started() const { return thread_.Running(); }

 protected:
  // The thread body. It ends when the stop event is signalled or when its device fails.
  virtual void Run() = 0;
  // Auto-reset: one Stop wakes exactly one wait.
  platform::Event& StopEvent() { return stop_event_; }

 private:
  static uint32_t Routine(void* self);

  platform::Event stop_event_{platform::Event::Kind::kAutoReset};
  platform::Thread thread_;
};

enum class DriverWait {
  kCompleted,  // the request completed successfully; its output is filled in
  kFailed,     // the request could not be issued or completed with an error
  kStopped,    // the stop event came first; the request was cancelled and has finished
};

// Issues one overlapped request (no input) on handle and waits for its completion together with
// stop. When this returns, the request is no longer outstanding: a request that the stop event
// overtook is cancelled and drained first, so output may be freed at once.
DriverWait WaitForDriver(platform::DeviceHandle handle, uint32_t code, void* output,
                         uint32_t output_size, platform::Event& stop);
