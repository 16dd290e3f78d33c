// The simulated driver: controllers, connections, outstanding requests, events and the trace.
#include "sim/model.h"

#include <algorithm>
#include <chrono>

#include "driver/control_codes.h"
#include "platform/text.h"
#include "sim/model_internal.h"

namespace sim {
namespace {

char FoldAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char16_t FoldAscii16(char16_t c) { return (c >= u'a' && c <= u'z') ? c - u'a' + u'A' : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldAscii(x) == FoldAscii(y);
         });
}

bool StartsWithNoCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char16_t x, char16_t y) { return FoldAscii16(x) == FoldAscii16(y); });
}

constexpr char16_t kInterfacePrefix[] = u"\\\\?\\SIM#";
constexpr char16_t kLinkPrefix[] = u"sim:";

// The controller name in a simulated path: "\\?\SIM#VEXMOOR#<name>#{class}" or "sim:<name>".
bool NameFromPath(std::u16string_view path, std::string* name) {
  if (StartsWithNoCase(path, kLinkPrefix)) {
    *name = platform::ToUtf8(path.substr(std::char_traits<char16_t>::length(kLinkPrefix)));
    return !name->empty();
  }
  if (!StartsWithNoCase(path, kInterfacePrefix)) return false;
  std::u16string_view rest = path.substr(std::char_traits<char16_t>::length(kInterfacePrefix));
  size_t first = rest.find(u'#');
  if (first == std::u16string_view::npos) return false;
  rest = rest.substr(first + 1);
  *name = platform::ToUtf8(rest.substr(0, rest.find(u'#')));
  return !name->empty();
}

}  // namespace

DriverModel::DriverModel() = default;

DriverModel::~DriverModel() {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    stopping_ = true;
  }
  delay_wake_.notify_all();
  if (delay_thread_.joinable()) delay_thread_.join();
}

// ---- Controllers

DriverModel::Controller* DriverModel::Find(std::string_view name) const {
  for (const auto& controller : controllers_) {
    if (SameName(controller->name, name)) return controller.get();
  }
  return nullptr;
}

DriverModel::Controller* DriverModel::FindForPath(std::u16string_view path,
                                                  std::string* name) const {
  if (!NameFromPath(path, name)) return nullptr;
  return Find(*name);
}

bool DriverModel::Declare(const std::string& name, const ControllerConfig& config) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (name.empty() || name.find('#') != std::string::npos || Find(name) != nullptr) return false;
  auto controller = std::make_unique<Controller>();
  controller->name = name;
  controller->state.config = config;
  controllers_.push_back(std::move(controller));
  return true;
}

bool DriverModel::Attach(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  c->state.present = true;
  return true;
}

bool DriverModel::Detach(const std::string& name) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  c->state.present = false;
  ++c->epoch;
  std::vector<Pending> ended;
  ended.swap(c->outstanding);
  for (Pending& pending : ended) Finish(*c, pending, kErrorDeviceNotConnected, {}, false);
  NotifyAll();
  return true;
}

bool DriverModel::State(const std::string& name, ControllerState* out) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Controller* c = Find(name);
  if (c == nullptr) return false;
  *out = c->state;
  return true;
}

std::u16string DriverModel::InterfacePath(const std::string& name) {
  return std::u16string(kInterfacePrefix) + u"VEXMOOR#" + platform::FromUtf8(name) + u"#" +
         kInterfaceClassText;
}

std::u16string DriverModel::LegacyLinkPath(const std::string& name) {
  return std::u16string(kLinkPrefix) + platform::FromUtf8(name);
}

std::vector<std::u16string> DriverModel::PresentInterfacePaths() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::u16string> paths;
  for (const auto& controller : controllers_) {
    if (controller->state.present) paths.push_back(InterfacePath(controller->name));
  }
  return paths;
}

// ---- Events

int DriverModel::CompleteWaits(Controller& c, uint32_t code, const std::vector<uint8_t>& output) {
  int completed = 0;
  for (size_t i = 0; i < c.outstanding.size();) {
    if (c.outstanding[i].code != code) {
      ++i;
      continue;
    }
    Pending pending = std::move(c.outstanding[i]);
    c.outstanding.erase(c.outstanding.begin() + static_cast<ptrdiff_t>(i));
    Finish(c, pending, 0, output, false);
    ++completed;
  }
  if (completed > 0) NotifyChange(code);
  return completed;
}

int DriverModel::RaiseClutchEvent(const std::string& name, uint16_t engaged, uint16_t event_type) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return -1;
  std::vector<uint8_t> output(ClutchWords::kSize);
  ClutchWords{engaged, event_type}.Write(output.data());
  return CompleteWaits(*c, IOCTL_WAIT_CLUTCH_EVENT, output);
}

int DriverModel::SetClutchState(const std::string& name, uint16_t engaged, uint16_t event_type) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return -1;
  c->state.clutch_state = ClutchWords{engaged, event_type};
  std::vector<uint8_t> output(ClutchWords::kSize);
  c->state.clutch_state.Write(output.data());
  return CompleteWaits(*c, IOCTL_WAIT_CLUTCH_STATE, output);
}

int DriverModel::SetShiftState(const std::string& name, const platform::Guid& shift) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return -1;
  c->state.shift_state = shift;
  std::vector<uint8_t> output(kGuidReplyBytes);
  driver_bytes::PutGuid(output.data(), shift);
  return CompleteWaits(*c, IOCTL_WAIT_SHIFT_CHANGE, output);
}

int DriverModel::RaiseCommand(const std::string& name, const CommandRecord& command) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return -1;
  std::vector<uint8_t> output(CommandRecord::kSize);
  command.Write(output.data());
  return CompleteWaits(*c, IOCTL_WAIT_COMMAND, output);
}

int DriverModel::SetSoftButtons(const std::string& name, uint32_t word) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return -1;
  c->state.soft_buttons = word;
  auto bytes = BuildWord(word);
  return CompleteWaits(*c, IOCTL_WAIT_SOFT_BUTTONS,
                       std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

int DriverModel::RaiseInputReport(const std::string& name, const std::vector<uint8_t>& report) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return -1;
  return CompleteWaits(*c, kReadRequest, report);
}

uint32_t DriverModel::LoadAndActivate(const std::string& name, std::u16string_view path,
                                      bool relative) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return 0;
  uint32_t id = c->next_profile_id++;
  c->state.profiles.push_back(
      {id, std::u16string(path), relative ? kProfilePathRelative : kProfilePathAbsolute});
  c->state.active_profile = id;
  CompleteWaits(*c, IOCTL_WAIT_PROFILE_CHANGE, {});
  return id;
}

// ---- Waiting for the service

size_t DriverModel::OutstandingCount(const std::string& name, uint32_t code) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Controller* c = Find(name);
  if (c == nullptr) return 0;
  return std::count_if(c->outstanding.begin(), c->outstanding.end(),
                       [code](const Pending& p) { return p.code == code; });
}

size_t DriverModel::OutstandingTotal(const std::string& name) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Controller* c = Find(name);
  return c == nullptr ? 0 : c->outstanding.size();
}

size_t DriverModel::ConnectionCount(const std::string& name) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Controller* c = Find(name);
  if (c == nullptr) return 0;
  return std::count_if(connections_.begin(), connections_.end(),
                       [c](const auto& entry) { return entry.second->controller == c; });
}

bool DriverModel::WaitForOutstanding(const std::string& name, uint32_t code, uint32_t timeout_ms,
                                     size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [&] {
    const Controller* c = Find(name);
    return c != nullptr && static_cast<size_t>(std::count_if(
                               c->outstanding.begin(), c->outstanding.end(),
                               [code](const Pending& p) { return p.code == code; })) >= count;
  };
  return WaitForChange(lock, code, timeout_ms, ready);
}

uint64_t DriverModel::IssuedCount(const std::string& name, uint32_t code) const {
  std::lock_guard<std::mutex> hold(mutex_);
  const Controller* c = Find(name);
  if (c == nullptr) return 0;
  auto it = c->issued.find(code);
  return it == c->issued.end() ? 0 : it->second;
}

bool DriverModel::WaitForIssued(const std::string& name, uint32_t code, uint64_t count,
                                uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto ready = [&] {
    const Controller* c = Find(name);
    if (c == nullptr) return false;
    auto it = c->issued.find(code);
    return it != c->issued.end() && it->second >= count;
  };
  return WaitForChange(lock, code, timeout_ms, ready);
}

bool DriverModel::WaitForChange(std::unique_lock<std::mutex>& lock, uint32_t code,
                                uint32_t timeout_ms, const std::function<bool()>& ready) {
  ++waited_codes_[code];
  const bool met = changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
  if (--waited_codes_[code] == 0) waited_codes_.erase(code);
  return met;
}

void DriverModel::NotifyChange(uint32_t code) {
  if (waited_codes_.count(code) != 0) changed_.notify_all();
}

void DriverModel::NotifyAll() {
  if (!waited_codes_.empty()) changed_.notify_all();
}

// ---- Faults

bool DriverModel::FailNext(const std::string& name, uint32_t code, uint32_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  c->fail_next[code] += count;
  return true;
}

bool DriverModel::Defer(const std::string& name, uint32_t code, uint32_t wait_code,
                        uint32_t timeout_ms) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  c->defer_until[code] = wait_code;
  c->defer_timeout_ms = timeout_ms;
  return true;
}

bool DriverModel::FailOpens(const std::string& name, uint32_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  c->fail_opens += count;
  return true;
}

bool DriverModel::DelayOpens(const std::string& name, uint32_t delay_ms, uint32_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  c->delayed_opens += count;
  c->open_delay_ms = delay_ms;
  return true;
}

bool DriverModel::IgnoreCancels(const std::string& name, uint32_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  c->ignored_cancels += count;
  return true;
}

bool DriverModel::InjectPathKind(const std::string& name, uint16_t kind, uint32_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  uint32_t replies = kind >= 3 ? 2 * count : count;
  c->path_kinds.insert(c->path_kinds.end(), replies, kind);
  return true;
}

bool DriverModel::SetCompletionDelay(const std::string& name, uint32_t delay_ms) {
  std::lock_guard<std::mutex> hold(mutex_);
  Controller* c = Find(name);
  if (c == nullptr) return false;
  c->delay_ms = delay_ms;
  if (delay_ms > 0 && !delay_thread_.joinable())
    delay_thread_ = std::thread([this] { DelayLoop(); });
  return true;
}

}  // namespace sim
