// The display state's four event threads.
#include "session/event_threads.h"

#include <cstring>

#include "display/profile_path.h"
#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "driver/driver_channel.h"
#include "log/log.h"
#include "platform/sync.h"

namespace {

// Opens a private overlapped channel on path and hands every successful completion of code to
// on_event, until Stop, a failed request, or a path that is empty or cannot be opened.
template <typename OnEvent>
void RunEventLoop(const std::u16string& path, uint32_t code, uint8_t* output,
                  uint32_t output_size, platform::Event& stop, OnEvent on_event) {
  if (path.empty()) return;
  DriverChannel channel;
  if (channel.Open(path, true)) {
    for (;;) {
      std::memset(output, 0, output_size);
      if (WaitForDriver(channel.handle(), code, output, output_size, stop) !=
          DriverWait::kCompleted) {
        break;
      }
      on_event();
    }
  }
  channel.Close();
}

}  // namespace

CClutchThread::~CClutchThread() { Stop(); }

void CClutchThread::Run() {
  uint8_t output[ClutchWords::kSize];
  RunEventLoop(path_, IOCTL_WAIT_CLUTCH_STATE, output, sizeof output, StopEvent(), [&] {
    const ClutchWords words = ClutchWords::Read(output);
    LogMessage(kLogEvent, kLogCategory, u"Clutch State Changed %d %d", int{words.engaged},
               int{words.event_type});
    handler_.Call(words.engaged != 0 ? 1u : 0u, uint32_t{words.event_type});
  });
  LogMessage(kLogLifecycle, kLogCategory, u"Clutch Thread Terminating");
}

CShiftThread::~CShiftThread() { Stop(); }

void CShiftThread::Run() {
  uint8_t output[kGuidReplyBytes];
  RunEventLoop(path_, IOCTL_WAIT_SHIFT_CHANGE, output, sizeof output, StopEvent(), [&] {
    const platform::Guid shift = driver_bytes::GetGuid(output);
    LogMessage(kLogEvent, kLogCategory,
               u"Shift State Changed {%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
               shift.data1, unsigned{shift.data2}, unsigned{shift.data3},
               unsigned{shift.data4[0]}, unsigned{shift.data4[1]}, unsigned{shift.data4[2]},
               unsigned{shift.data4[3]}, unsigned{shift.data4[4]}, unsigned{shift.data4[5]},
               unsigned{shift.data4[6]}, unsigned{shift.data4[7]});
    handler_.Call(&shift);
  });
  LogMessage(kLogLifecycle, kLogCategory, u"Shift Thread Terminating");
}

CCommandThread::~CCommandThread() { Stop(); }

void CCommandThread::Run() {
  uint8_t output[CommandRecord::kSize];
  RunEventLoop(path_, IOCTL_WAIT_COMMAND, output, sizeof output, StopEvent(), [&] {
    const CommandRecord record = CommandRecord::Read(output);
    const platform::Guid& command = record.command;
    LogMessage(kLogEvent, kLogCategory,
               u"Command State Changed %08X %d %d "
               u"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
               record.control, static_cast<int>(record.kind), static_cast<int>(record.state),
               command.data1, unsigned{command.data2}, unsigned{command.data3},
               unsigned{command.data4[0]}, unsigned{command.data4[1]},
               unsigned{command.data4[2]}, unsigned{command.data4[3]},
               unsigned{command.data4[4]}, unsigned{command.data4[5]},
               unsigned{command.data4[6]}, unsigned{command.data4[7]});
    handler_.Call(&command, record.control, record.kind, record.state);
  });
  LogMessage(kLogLifecycle, kLogCategory, u"Command Thread Terminating");
}

CProfileThread::~CProfileThread() { Stop(); }

bool CProfileThread::WaitProfileChange(DriverChannel& channel, platform::Event& stop) {
  if (!channel.overlapped() || channel.handle() == nullptr) return false;
  return WaitForDriver(channel.handle(), IOCTL_WAIT_PROFILE_CHANGE, nullptr, 0, stop) ==
         DriverWait::kCompleted;
}

void CProfileThread::Run() {
  if (!path_.empty()) {
    DriverChannel channel;
    if (channel.Open(path_, true)) {
      while (WaitProfileChange(channel, StopEvent())) {
        // The driver reports the change before it has settled; give it a moment. The pause
        // is not cut short by Stop: a session that changes the profile and ends at once must
        // still report the new profile (its summary and shift indicator). A stop during the
        // pause stays signalled and ends the next wait.
        platform::SleepMs(100);
        ReportProfile(channel);
      }
    }
    channel.Close();
  }
  LogMessage(kLogLifecycle, kLogCategory, u"Profile Thread Terminating");
}

void CProfileThread::ReportProfile(DriverChannel& channel) {
  uint32_t profile_id = 0;
  if (!channel.Control(IOCTL_GET_PROFILE_ID, nullptr, 0, &profile_id, sizeof profile_id)) {
    profile_id = 0;
  }
  std::u16string path;
  bool absolute = false;
  if (QueryProfilePath(channel, profile_id, &path, &absolute)) {
    path = ResolveProfilePath(path, absolute);
  } else {
    path.clear();
  }
  LogMessage(kLogEvent, kLogCategory, u"Profile Changed \"%ws\"", path.c_str());
  platform::Guid shift{};
  channel.Control(IOCTL_GET_SHIFT_STATE, nullptr, 0, &shift, sizeof shift);
  handler_.Call(path, &shift);
}
