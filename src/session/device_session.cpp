// The device session: construction, setup and the order in which destruction stops its threads.
#include "session/device_session.h"

#include "log/log.h"

DeviceSession::DeviceSession() {
  LogMessage(kLogLifecycle, kLogCategory, u"Device Created");
}

DeviceSession::~DeviceSession() {
  StopSessionThread(soft_button_thread_, soft_button_stop_, soft_button_done_);
  StopSessionThread(hid_thread_, hid_stop_, hid_done_);
  // The display's event threads may still write display strings and read the output tables:
  // they end before the string slots, the tables and the channel go.
  display_state_.StopThreads();
  for (StringSlot& slot : string_slots_) slot.StopMarquee();
  LogMessage(kLogLifecycle, kLogCategory, u"Device Destroyed");
  // The members then go in reverse order: slots, tables, display state, channel, path.
}

bool DeviceSession::Setup(const char16_t* path, size_t length) {
  path_.assign(path, length);
  if (!channel_.Open(path_, false)) return false;
  if (!channel_.Control(IOCTL_GET_DEVICE_TYPE, nullptr, 0, &device_type_, sizeof device_type_)) {
    return false;
  }
  display_state_.InitDisplay(*this);
  if (!LoadOutputTables()) return false;
  display_state_.ShowTexts();
  StartSessionThread(hid_thread_, &HidInputThread);
  StartSessionThread(soft_button_thread_, &SoftButtonThread);
  return true;
}

bool DeviceSession::LoadOutputTables() {
  // The display's threads already run and read the tables under the display lock: load into a
  // table of our own and publish it whole.
  OutputTables loaded;
  if (!LoadOutputConfiguration(&loaded, device_type_)) return false;
  platform::MutexLock hold(display_state_.lock());
  output_tables_ = std::move(loaded);
  return true;
}

void DeviceSession::StartSessionThread(platform::Thread& thread, platform::ThreadFunction routine) {
  ISessionThreadOwner* owner = this;
  if (thread.Start(routine, owner, true)) thread.Resume();
}

void DeviceSession::StopSessionThread(platform::Thread& thread, platform::Event& stop,
                                      platform::Event& done) {
  if (!thread.Running()) return;
  stop.Set();
  done.Wait();
  thread.Join();
}

uint32_t DeviceSession::SetString(uint32_t id, uint32_t length, const char16_t* text) {
  return SetDisplayString(string_slots_, path_, output_tables_, channel_, id, length, text);
}

void DeviceSession::SetSoftButtonHandler(SoftButtonHandler handler, void* context) {
  platform::MutexLock hold(mutex_);
  soft_button_handler_ = handler;
  soft_button_context_ = context;
}

void DeviceSession::CallSoftButtonHandler(uint32_t word) {
  platform::MutexLock hold(mutex_);
  if (soft_button_handler_ != nullptr) soft_button_handler_(word, soft_button_context_);
}
