// The HID input and soft-button threads of a device session.
#pragma once

#include <cstdint>
#include <string>

#include "platform/sync.h"

// What the two threads use of the session that owns them. The four events are manual-reset, so
// that a stop set before a thread reaches its first wait is not lost.
class ISessionThreadOwner {
 public:
  virtual const std::u16string& path() const = 0;
  virtual platform::Event& hid_stop() = 0;
  virtual platform::Event& hid_done() = 0;
  virtual platform::Event& soft_button_stop() = 0;
  virtual platform::Event& soft_button_done() = 0;
  // Calls the installed soft-button handler, if any, under the session mutex.
  virtual void CallSoftButtonHandler(uint32_t word) = 0;

 protected:
  ~ISessionThreadOwner() = default;
};

// Thread routines (platform::ThreadFunction); the argument is the owning session as an
// ISessionThreadOwner*, which must outlive the thread. Setup creates each thread suspended and
// resumes it, HID first; destruction sets the stop event, waits for the done event, then joins,
// soft buttons first. Each routine's last act is to set its done event: after that it no longer
// touches the owner.

// Opens the path for reading as a HID device and keeps one input-report read outstanding until
// hid_stop is set; the reports are discarded. Ends at once, with its terminating line, when the
// path is empty, cannot be opened or has no input reports.
uint32_t HidInputThread(void* owner);

// Waits for soft-button changes on a private overlapped channel; logs each word and passes it to
// the soft-button handler. Ends on soft_button_stop or at the first failed request.
uint32_t SoftButtonThread(void* owner);
