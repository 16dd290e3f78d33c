// The clutch thread of an attached controller: waits for clutch events on the controller's
// shared device handle for as long as the controller is attached.
#pragma once

#include <cstdint>

#include "platform/device_io.h"
#include "platform/sync.h"
#include "session/worker_thread.h"

namespace Corvane::Vexmoor {

// Owned by a device entry: constructed with the entry's handle and OnClutchEvent, started by
// AttachDevice, stopped by DetachDevice before the handle closes. The handle is borrowed and
// never closed here. A wait that fails is issued again after a pause of a second, for as long as
// the thread runs; a restart is logged at level 1 (its only log line), a stop during the pause
// (the controller's removal) is not.
class CArdrithClutchThread : public CThread {
 public:
  // Called on this thread, under its mutex, with engaged as 0 or 1, the event type word
  // zero-extended, and the thread object itself.
  using Handler = void (*)(uint32_t engaged, uint32_t event_type, CArdrithClutchThread* thread);

  CArdrithClutchThread(platform::DeviceHandle device, Handler handler);
  ~CArdrithClutchThread() override;

  void SetHandler(Handler handler);
  platform::DeviceHandle device() const { return device_; }
  // Held while the handler runs: a caller that takes it waits for a running handler call.
  platform::Mutex& mutex() { return mutex_; }

 protected:
  void Run() override;

 private:
  platform::Mutex mutex_;
  Handler handler_ = nullptr;
  platform::DeviceHandle device_ = nullptr;
};

}  // namespace Corvane::Vexmoor
