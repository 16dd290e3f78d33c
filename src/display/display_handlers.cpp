// The display state's event handlers: the shift indicator and shift text, the command text, the
// profile text, and clutch events for the session's own clutch.
#include <algorithm>

#include "display/display_state.h"
#include "driver/control_codes.h"
#include "driver/driver_channel.h"
#include "log/log.h"
#include "session/device_session.h"

namespace {

constexpr uint32_t kKindHat = 2;
constexpr uint32_t kKindButton = 3;

}  // namespace

void CDisplayState::OnClutchStateChanged(bool engaged, uint32_t type) {
  platform::MutexLock hold(lock_);
  if (!output_enabled_ || session_ == nullptr) return;
  if (clutch_.HandleEvent(*session_, engaged, type)) {
    // Released: string 2 goes back from the clutch's entry to the profile's name.
    profile_text_ = summary_.profile_name;
    WriteString(2, profile_text_);
  }
}

void CDisplayState::OnProfileChanged(const std::u16string& path, const platform::Guid& shift) {
  platform::MutexLock hold(lock_);
  LoadProfileSummary(path);
  profile_text_ = summary_.profile_name;
  WriteString(2, profile_text_);
  OnShiftStateChanged(shift);
}

void CDisplayState::OnShiftStateChanged(const platform::Guid& shift) {
  platform::MutexLock hold(lock_);
  const auto name = summary_.shift_names.find(shift);
  shift_text_ = name != summary_.shift_names.end() ? name->second : u"";
  uint32_t indicator = 0;
  const auto found = summary_.default_shifts.find(shift);
  if (found == summary_.default_shifts.end()) {
    LogMessage(kLogEvent, kLogCategory,
               u"Shift State Changed to an unfound shift state - turning Indicator OFF");
  } else {
    const bool is_default = found->second;
    LogMessage(kLogEvent, kLogCategory, u"Shift State Changed to %ws - turning Indicator %ws",
               is_default ? u"Default" : u"Non-Default", is_default ? u"OFF" : u"ON");
    indicator = is_default ? 0 : 1;
  }
  if (session_ != nullptr) {
    session_->channel().Control(IOCTL_SET_SHIFT_INDICATOR, &indicator, sizeof indicator,
                                nullptr, 0);
  }
  WriteString(0, shift_text_);
}

void CDisplayState::OnCommandStateChanged(const platform::Guid& command, uint32_t control,
                                          uint32_t kind, uint32_t state) {
  platform::MutexLock hold(lock_);
  const auto& ignore = summary_.command_ignore;
  if (std::find(ignore.begin(), ignore.end(), IgnoredCommand{kind, control}) != ignore.end()) {
    return;  // a shift selection button
  }
  if (kind != kKindHat && kind != kKindButton) return;
  const auto same = std::find_if(
      active_commands_.begin(), active_commands_.end(),
      [&](const ActiveCommand& active) { return active.control == control && active.kind == kind; });
  if (same != active_commands_.end()) active_commands_.erase(same);
  if (state != 0) active_commands_.push_front({command, control, kind});
  command_text_.clear();
  if (!active_commands_.empty()) {
    const ActiveCommand& front = active_commands_.front();
    const auto by_command = summary_.command_names.find(front.command);
    const auto by_control = summary_.control_names.find(front.control);
    if (by_command != summary_.command_names.end()) {
      command_text_ = by_command->second;
    } else if (by_control != summary_.control_names.end()) {
      command_text_ = by_control->second;
    }
  }
  WriteString(1, command_text_);
}
