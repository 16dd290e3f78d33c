// The clutch thread of an attached controller.
#include "session/ardrith_clutch_thread.h"

#include "driver/control_codes.h"
#include "driver/driver_buffers.h"

namespace Corvane::Vexmoor {

CArdrithClutchThread::CArdrithClutchThread(platform::DeviceHandle device, Handler handler)
    : handler_(handler), device_(device) {}

CArdrithClutchThread::~CArdrithClutchThread() { Stop(); }

void CArdrithClutchThread::SetHandler(Handler handler) {
  platform::MutexLock lock(mutex_);
  handler_ = handler;
}

void CArdrithClutchThread::Run() {
  if (device_ == nullptr) return;
  uint8_t output[ClutchWords::kSize] = {};
  while (WaitForDriver(device_, IOCTL_WAIT_CLUTCH_EVENT, output, sizeof output, StopEvent()) ==
         DriverWait::kCompleted) {
    const ClutchWords words = ClutchWords::Read(output);
    platform::MutexLock lock(mutex_);
    if (handler_ != nullptr) handler_(words.engaged != 0 ? 1u : 0u, words.event_type, this);
  }
}

}  // namespace Corvane::Vexmoor
