// The clutch event rule and its operations: engage, release, stepping, choosing and clearing.
#include "clutch/clutch.h"

#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "driver/driver_channel.h"
#include "platform/folders.h"
#include "session/device_session.h"

namespace {

constexpr uint32_t kSelectPrevious = 1;
constexpr uint32_t kChoose = 3;
constexpr uint32_t kSelectNext = 5;
constexpr uint32_t kClearProfile = 7;

}  // namespace

CClutch::CClutch() = default;
CClutch::~CClutch() = default;

void CClutch::SetNotification(ClutchNotification function, void* context) {
  platform::MutexLock lock(mutex_);
  notification_ = function;
  notification_context_ = context;
}

void CClutch::Notify(bool engaged) {
  platform::MutexLock lock(mutex_);
  if (notification_ != nullptr) notification_(notification_context_, engaged);
}

void CClutch::ShowText(DeviceSession& session, const char16_t* text, uint32_t length) {
  session.SetString(2, length, text);
}

bool CClutch::HandleEvent(DeviceSession& session, bool engaged, uint32_t type) {
  if (engaged != engaged_) {
    engaged_ = engaged;
    if (engaged) {
      Engage(session);
      return false;
    }
    Release(session);
    return true;
  }
  // The type of the engaging event itself is neither acted on nor stored; a navigation input
  // that keeps reporting one type acts once.
  if (!engaged || type == last_event_type_) return false;
  last_event_type_ = type;
  switch (type) {
    case kSelectPrevious: SelectPrevious(session); break;
    case kChoose: Choose(session); break;
    case kSelectNext: SelectNext(session); break;
    case kClearProfile: ClearProfile(session); break;
    default: break;
  }
  return false;
}

void CClutch::SendClutchMode(DeviceSession& session, uint32_t mode) {
  const auto input = BuildWord(mode);
  DriverChannel channel;
  channel.Open(session.path(), false);
  channel.Control(IOCTL_SET_CLUTCH_MODE, input.data(), input.size(), nullptr, 0);
  channel.Close();
}

void CClutch::Engage(DeviceSession& session) {
  Notify(true);
  BuildList();
  selected_index_ = 0;
  ShowCurrent(session);
  SendClutchMode(session, 1);
}

void CClutch::Release(DeviceSession& session) {
  Notify(false);
  SendClutchMode(session, 0);
}

void CClutch::SelectNext(DeviceSession& session) {
  if (profile_list_.empty()) return;
  if (++selected_index_ >= profile_list_.size()) selected_index_ = 0;
  ShowCurrent(session);
}

void CClutch::SelectPrevious(DeviceSession& session) {
  if (profile_list_.empty()) return;
  selected_index_ = selected_index_ == 0 ? static_cast<uint32_t>(profile_list_.size()) - 1
                                         : selected_index_ - 1;
  ShowCurrent(session);
}

void CClutch::Choose(DeviceSession& session) {
  if (selected_index_ >= profile_list_.size()) return;
  const ProfileListEntry entry = profile_list_[selected_index_];
  const char16_t separator = platform::kPathSeparator;
  if (entry.is_folder) {
    if (entry.name == u"..") {
      size_t cut = current_folder_.rfind(separator);
      current_folder_.resize(cut == std::u16string::npos ? 0 : cut);
    } else {
      current_folder_ += separator;
      current_folder_ += entry.name;
    }
    BuildList();
    selected_index_ = 0;
    ShowCurrent(session);
    return;
  }
  std::u16string path = root_folder_;
  if (!current_folder_.empty()) {
    if (current_folder_.front() != separator) path += separator;
    path += current_folder_;
  }
  path += separator;
  path += entry.name;
  path += u".pr0";
  DriverChannel channel;
  channel.Open(session.path(), false);
  if (LoadProfileFile(channel, path)) ++choices_;
  channel.Close();
}

bool CClutch::LoadProfileFile(DriverChannel& channel, const std::u16string& path) {
  const std::vector<uint8_t> load = BuildProfileLoadInput(path);
  uint8_t reply[4] = {};
  if (!channel.Control(IOCTL_PROFILE_LOAD, load.data(), static_cast<uint32_t>(load.size()), reply,
                       sizeof reply)) {
    return false;
  }
  uint32_t profile_id = 0;
  ParseWord(reply, sizeof reply, &profile_id);
  const auto activate = BuildProfileIdInput(profile_id);
  uint8_t ignored[4] = {};
  return channel.Control(IOCTL_PROFILE_ACTIVATE, activate.data(), activate.size(), ignored,
                         sizeof ignored);
}

void CClutch::ClearProfile(DeviceSession& session) {
  const auto clear = BuildProfileClearInput();
  DriverChannel channel;
  channel.Open(session.path(), false);
  if (channel.Control(IOCTL_PROFILE_CLEAR, clear.data(), clear.size(), nullptr, 0)) ++choices_;
  channel.Close();
}

namespace Corvane::Vexmoor {

void CArdrithClutch::ShowText(DeviceSession&, const char16_t* text, uint32_t) {
  // The text goes up to its terminator; the given length is not needed.
  const std::vector<uint8_t> input = BuildClutchTextInput(text);
  DriverChannel channel(device_, true);
  channel.Control(IOCTL_SET_CLUTCH_TEXT, input.data(), static_cast<uint32_t>(input.size()),
                  nullptr, 0);
}

}  // namespace Corvane::Vexmoor
