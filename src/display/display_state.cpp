// The display state: construction, initialisation from the driver, and the lifetime of its four
// event threads.
#include "display/display_state.h"

#include <cstdlib>
#include <cstring>

#include "display/profile_path.h"
#include "driver/control_codes.h"
#include "driver/driver_channel.h"
#include "log/log.h"
#include "session/device_session.h"

namespace {

void ClutchTrampoline(uint32_t engaged, uint32_t type, void* context) {
  static_cast<CDisplayState*>(context)->OnClutchStateChanged(engaged != 0, type);
}

void ProfileTrampoline(const std::u16string& path, const platform::Guid* shift, void* context) {
  static_cast<CDisplayState*>(context)->OnProfileChanged(path, *shift);
}

void ShiftTrampoline(const platform::Guid* shift, void* context) {
  static_cast<CDisplayState*>(context)->OnShiftStateChanged(*shift);
}

void CommandTrampoline(const platform::Guid* command, uint32_t control, uint32_t kind,
                       uint32_t state, void* context) {
  static_cast<CDisplayState*>(context)->OnCommandStateChanged(*command, control, kind, state);
}

}  // namespace

bool DisplayStringsEnabledByEnvironment() {
  const char* value = std::getenv("SKYHELM_DISPLAY_STRINGS");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

CDisplayState::CDisplayState() : output_enabled_(DisplayStringsEnabledByEnvironment()) {
  clutch_thread_.SetHandler(&ClutchTrampoline, this);
  profile_thread_.SetHandler(&ProfileTrampoline, this);
  shift_thread_.SetHandler(&ShiftTrampoline, this);
  command_thread_.SetHandler(&CommandTrampoline, this);
}

CDisplayState::~CDisplayState() { StopThreads(); }

void CDisplayState::StopThreads() {
  // Never under lock_: a handler waiting for it would keep its thread from ending.
  command_thread_.Stop();
  shift_thread_.Stop();
  profile_thread_.Stop();
  clutch_thread_.Stop();
}

bool CDisplayState::InitDisplay(DeviceSession& session) {
  DriverChannel channel;
  {
    platform::MutexLock hold(lock_);
    session_ = &session;
    if (!clutch_.Init(session)) return false;
    initialised_ = true;
    channel.Open(session.path(), false);
    const std::u16string path = QueryActiveProfilePath(channel);
    platform::Guid shift;
    channel.Control(IOCTL_GET_SHIFT_STATE, nullptr, 0, &shift, sizeof shift);
    LoadProfileSummary(path);
    profile_text_ = summary_.profile_name;
    WriteString(2, profile_text_);
    OnShiftStateChanged(shift);
  }
  // The threads start outside the lock, which their handlers take.
  clutch_thread_.SetPath(session.path());
  profile_thread_.SetPath(session.path());
  shift_thread_.SetPath(session.path());
  command_thread_.SetPath(session.path());
  clutch_thread_.Start();
  profile_thread_.Start();
  shift_thread_.Start();
  command_thread_.Start();
  channel.Close();
  return true;
}

void CDisplayState::ShowTexts() {
  platform::MutexLock hold(lock_);
  // What InitDisplay wrote, in its order: the profile text, then the shift text. The command
  // line is left alone (a session does not clear it), and a failed InitDisplay wrote nothing.
  if (!initialised_) return;
  WriteString(2, profile_text_);
  WriteString(0, shift_text_);
}

void CDisplayState::WriteString(uint32_t id, const std::u16string& text) {
  if (!output_enabled_ || session_ == nullptr) return;
  session_->SetString(id, static_cast<uint32_t>(text.size()), text.c_str());
}

void CDisplayState::LoadProfileSummary(const std::u16string& path) {
  platform::MutexLock hold(lock_);
  DeviceSession* session = session_;
  auto device_ids = [session](platform::Guid* member, platform::Guid* controller) {
    DriverChannel channel;
    channel.Open(session != nullptr ? session->path() : std::u16string(), false);
    channel.Control(IOCTL_GET_MEMBER_GUID, nullptr, 0, member, sizeof *member);
    channel.Control(IOCTL_GET_CONTROLLER_GUID, nullptr, 0, controller, sizeof *controller);
    channel.Close();
  };
  static const ShiftButtonSet kNoShiftButtons;
  const ShiftButtonSet& buttons =
      session != nullptr ? session->output_tables().shift_buttons : kNoShiftButtons;
  ReadProfileSummary(path, buttons, device_ids, &summary_);
}

bool CDisplayState::output_enabled() { return output_enabled_; }

std::u16string CDisplayState::shift_text() {
  platform::MutexLock hold(lock_);
  return shift_text_;
}

std::u16string CDisplayState::command_text() {
  platform::MutexLock hold(lock_);
  return command_text_;
}

std::u16string CDisplayState::profile_text() {
  platform::MutexLock hold(lock_);
  return profile_text_;
}

ProfileSummary CDisplayState::summary() {
  platform::MutexLock hold(lock_);
  return summary_;
}

std::list<ActiveCommand> CDisplayState::active_commands() {
  platform::MutexLock hold(lock_);
  return active_commands_;
}
