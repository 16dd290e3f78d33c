// The clutch thread of an attached controller.
#include "session/ardrith_clutch_thread.h"

#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "log/log.h"

namespace Corvane::Vexmoor {
namespace {

// Pause before a failed wait is issued again: at most one restart a second.
constexpr uint32_t kRestartPauseMs = 1000;

}  // namespace

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
  for (;;) {
    const DriverWait wait =
        WaitForDriver(device_, IOCTL_WAIT_CLUTCH_EVENT, output, sizeof output, StopEvent());
    if (wait == DriverWait::kStopped) return;
    if (wait == DriverWait::kFailed) {
      // Drivers fail pending requests around power transitions without removing the device:
      // while the controller stays attached its clutch must not stay dead, so the wait starts
      // again after a pause. A removal fails the wait too, and then detaches the entry, whose
      // Stop ends the pause at once: only a controller still attached after the pause is worth
      // a line, an unplugged one is not an error.
      if (StopEvent().Wait(kRestartPauseMs)) return;
      LogMessage(kLogError, kLogCategory, u"Clutch Event Wait Failed - Restarting Clutch Thread");
      continue;
    }
    const ClutchWords words = ClutchWords::Read(output);
    platform::MutexLock lock(mutex_);
    if (handler_ != nullptr) handler_(words.engaged != 0 ? 1u : 0u, words.event_type, this);
  }
}

}  // namespace Corvane::Vexmoor
