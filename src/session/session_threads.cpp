// The HID input and soft-button threads of a device session.
#include "session/session_threads.h"

#include <new>
#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_channel.h"
#include "log/log.h"
#include "platform/device_io.h"
#include "session/worker_thread.h"

namespace {

// One read outstanding at a time until stop is set. A read that fails at once sets no event,
// so the thread then waits for stop alone; what a completed read brought is not looked at.
void ReadReportsUntilStopped(platform::DeviceHandle device, std::vector<unsigned char>& report,
                             platform::Event& stop) {
  const uint32_t size = static_cast<uint32_t>(report.size());
  while (!stop.Wait(0)) {
    platform::Event completion(platform::Event::Kind::kManualReset);
    if (!completion.Valid()) return;
    platform::Overlapped overlapped(completion);
    const bool issued = platform::IssueRead(device, report.data(), size, overlapped);
    const int signalled = platform::WaitAny({&completion, &stop});
    if (signalled == 0) {
      uint32_t ignored = 0;
      platform::GetOverlappedResult(device, overlapped, &ignored, false);
      continue;
    }
    // The report buffer and the overlapped record must outlive the read: end it first.
    if (issued) platform::CancelAndDrain(device, overlapped);
    return;
  }
}

void RunHidInput(ISessionThreadOwner& owner) {
  if (owner.path().empty()) return;
  platform::DeviceHandle device =
      platform::OpenDevice(owner.path(), platform::DeviceAccess::kRead, true);
  if (device == nullptr) return;
  uint16_t length = 0;
  // The stop is watched: a HID class driver that never answers must not hold up the session's end.
  if (platform::InputReportLength(device, &length, owner.hid_stop()) && length > 0) {
    std::vector<unsigned char> report;
    try {
      report.assign(length, 0);
    } catch (const std::bad_alloc&) {
      report.clear();
    }
    if (!report.empty()) ReadReportsUntilStopped(device, report, owner.hid_stop());
  }
  platform::CloseDevice(device);
}

void RunSoftButtons(ISessionThreadOwner& owner) {
  if (owner.path().empty()) return;
  DriverChannel channel;
  if (channel.Open(owner.path(), true)) {
    uint32_t word = 0;
    while (WaitForDriver(channel.handle(), IOCTL_WAIT_SOFT_BUTTONS, &word, sizeof word,
                         owner.soft_button_stop()) == DriverWait::kCompleted) {
      LogMessage(kLogEvent, kLogCategory, u"Soft Buttons Changed %08X", word);
      owner.CallSoftButtonHandler(word);
    }
  }
  channel.Close();
}

}  // namespace

uint32_t HidInputThread(void* owner) {
  auto& session = *static_cast<ISessionThreadOwner*>(owner);
  RunHidInput(session);
  LogMessage(kLogEvent, kLogCategory, u"HID Thread Terminating");
  session.hid_done().Set();
  return 0;
}

uint32_t SoftButtonThread(void* owner) {
  auto& session = *static_cast<ISessionThreadOwner*>(owner);
  RunSoftButtons(session);
  LogMessage(kLogEvent, kLogCategory, u"Soft Button Thread Terminating");
  session.soft_button_done().Set();
  return 0;
}
