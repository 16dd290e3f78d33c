// The automatic-profile worker: the rules file and its watch, the sources of what runs and what
// is in front, and the driver requests of each action.
#include "autoprofile/service.h"

#include <algorithm>
#include <utility>

#include "clutch/clutch.h"
#include "display/profile_path.h"
#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "driver/driver_channel.h"
#include "log/log.h"
#include "platform/files.h"
#include "platform/folders.h"
#include "platform/text.h"
#include "session/device_session.h"

namespace autoprofile {
namespace {

constexpr uint64_t kScanPeriodMs = 2000;
// Editors save by deleting or renaming the file away and writing it again: a file counts as
// removed only when it has stayed away this long.
constexpr uint64_t kRemovedAfterMs = 2000;
// A read refused because another program still holds the file is tried again this often, for
// about two seconds.
constexpr uint64_t kBusyRetryMs = 100;
constexpr int kBusyRetries = 20;

std::u16string Number(int value) { return platform::FromUtf8(std::to_string(value)); }

// "Auto Profile: DCS.exe, rule 2, controller PATH: " and what happened.
void LogAction(uint8_t level, const Action& action, const std::u16string& what) {
  std::u16string line = u"Auto Profile: ";
  line += action.program.empty() ? u"no program" : action.program;
  line += action.rule != 0 ? u", rule " + Number(action.rule) : u", no rule";
  line += u", controller " + action.controller + u": " + what;
  LogMessage(level, kLogCategory, u"%ws", line.c_str());
}

enum class Sent { kChanged, kUnchanged, kFailed };

// Sends what action calls for to its controller and logs it.
Sent Send(const Action& action) {
  if (action.overridden) {
    LogAction(kLogEvent, action, u"the profile chosen with the clutch stays, nothing sent");
    return Sent::kUnchanged;
  }
  DriverChannel channel;
  if (!channel.Open(action.controller, false)) {
    LogAction(kLogError, action, u"the controller cannot be opened, nothing sent");
    return Sent::kFailed;
  }
  if (action.kind == Action::Kind::kClear) {
    const auto clear = BuildProfileClearInput();
    const bool cleared = channel.Control(IOCTL_PROFILE_CLEAR, clear.data(), clear.size(), nullptr, 0);
    LogAction(cleared ? kLogEvent : kLogError, action,
              cleared ? u"sent IOCTL_PROFILE_CLEAR" : u"IOCTL_PROFILE_CLEAR failed");
    return cleared ? Sent::kChanged : Sent::kFailed;
  }
  if (platform::FileAttributes(action.profile) == platform::kInvalidAttributes) {
    LogAction(kLogError, action, u"profile " + action.profile + u" does not exist, nothing sent");
    return Sent::kFailed;
  }
  if (SameProfilePath(QueryActiveProfilePath(channel), action.profile)) {
    LogAction(kLogEvent, action, action.profile + u" is already active, nothing sent");
    return Sent::kUnchanged;
  }
  const bool loaded = CClutch::LoadProfileFile(channel, action.profile);
  LogAction(loaded ? kLogEvent : kLogError, action,
            loaded ? u"sent IOCTL_PROFILE_LOAD and IOCTL_PROFILE_ACTIVATE for " + action.profile
                   : u"loading " + action.profile + u" failed, nothing activated");
  return loaded ? Sent::kChanged : Sent::kFailed;
}

}  // namespace

Service::Service() : decider_(platform::kPathSeparator) {}

Service::~Service() { Stop(); }

bool Service::Start(std::u16string rules_path, ProgramSource source) {
  if (started_) return false;
  rules_path_ = std::move(rules_path);
  source_ = source;
  // The watch first: a change made while the file is first read is then read again, not lost.
  file_watch_ = std::make_unique<platform::FileWatch>(rules_path_, &OnFileChanged, this);
  if (!file_watch_->Start()) {
    LogMessage(kLogEvent, kLogCategory, u"Auto Profile: the rules file %ws cannot be watched",
               rules_path_.c_str());
  }
  Reload();
  if (source_.watch_exits) exit_watch_ = std::make_unique<platform::ExitWatch>(&OnExit, this);
  if (!worker_.Start(&WorkerMain, this)) return false;
  started_ = true;
  devices::SetDeviceObserver(this);
  return true;
}

void Service::Stop() {
  if (!started_) return;
  devices::SetDeviceObserver(nullptr);
  if (file_watch_ != nullptr) file_watch_->Stop();
  stop_.Set();
  worker_.Join();
  if (exit_watch_ != nullptr) exit_watch_->Stop();
  started_ = false;
}

void Service::OnForeground(const platform::ProgramInfo& front) {
  bool has_rules = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    has_rules = !decider_.rules().rules.empty();
  }
  // Without rules the service says nothing of its own about programs.
  if (!has_rules) {
  } else if (front.kind() == platform::ProgramInfo::Kind::kDesktop) {
    LogMessage(kLogLifecycle, kLogCategory, u"Auto Profile: foreground: the desktop");
  } else if (front.kind() == platform::ProgramInfo::Kind::kUnknownProgram && front.pid == 0) {
    LogMessage(kLogLifecycle, kLogCategory,
               u"Auto Profile: foreground: a window without a process id (title only), title \"%ws\"",
               front.title.c_str());
  } else if (front.kind() == platform::ProgramInfo::Kind::kUnknownProgram) {
    LogMessage(kLogLifecycle, kLogCategory,
               u"Auto Profile: foreground: process %d, path unknown (title only), title \"%ws\"",
               static_cast<int>(front.pid), front.title.c_str());
  } else if (!front.windows_path.empty()) {
    // A Wine or Proton game: the .exe it runs, then its loader.
    LogMessage(kLogLifecycle, kLogCategory,
               u"Auto Profile: foreground: %ws (process %d, run by %ws), title \"%ws\"",
               front.windows_path.c_str(), static_cast<int>(front.pid), front.path.c_str(),
               front.title.c_str());
  } else {
    LogMessage(kLogLifecycle, kLogCategory, u"Auto Profile: foreground: %ws (process %d), title \"%ws\"",
               front.path.c_str(), static_cast<int>(front.pid), front.title.c_str());
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    decider_.SetFront(front, platform::TickMs());
    ++posted_;
  }
  wake_.Set();
}

void Service::SetFocusAvailable(bool available) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    focus_available_ = available;
  }
  if (!available) SayNoFocus();
}

void Service::SayNoFocus() {
  std::lock_guard<std::mutex> hold(lock_);
  if (focus_available_ || said_no_focus_) return;
  for (const Rule& rule : decider_.rules().rules) {
    if (rule.trigger != Trigger::kFocus) continue;
    LogMessage(kLogEvent, kLogCategory,
               u"Auto Profile: no X11 display; focus rules match nothing, running rules work");
    said_no_focus_ = true;
    return;
  }
}

void Service::RescanRunning() { Post(false, true); }

void Service::Post(bool reload, bool rescan) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    reload_ = reload_ || reload;
    rescan_ = rescan_ || rescan;
    ++posted_;
  }
  wake_.Set();
}

void Service::OnFileChanged(void* self) { static_cast<Service*>(self)->Post(true, false); }

void Service::OnExit(void* self, uint32_t /*pid*/) {
  static_cast<Service*>(self)->Post(false, true);
}

uint64_t Service::ReadCount() {
  std::lock_guard<std::mutex> hold(lock_);
  return reads_;
}

bool Service::WaitReadMoreThan(uint64_t count, uint32_t timeout_ms) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                           [&] { return reads_ > count; });
}

bool Service::WaitQuiet(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> hold(lock_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const uint64_t next = decider_.NextDeadline();
    const uint64_t now = platform::TickMs();
    if (handled_ == posted_ && next > now) return true;
    // Work handed to the worker ends with its notice. An action already due is looked at again
    // every 10 ms, since the worker may take it without one; one further away leaves the
    // service quiet once the worker is done. (Waiting "until the next deadline" instead would
    // overflow the clock for the far-off none, and spin against the worker for the lock.)
    auto until = deadline;
    if (next <= now) {
      until = std::min(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
    }
    if (changed_.wait_until(hold, until) == std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
  }
}

void Service::Reload() {
  Rules rules;
  std::string error;
  ReadResult result = ReadRulesFile(rules_path_, &rules, &error);
  const uint64_t now = platform::TickMs();
  {
    std::lock_guard<std::mutex> hold(lock_);
    retry_at_ = kNoDeadline;
    if (result == ReadResult::kFailed && platform::FileHeldByAnother(rules_path_) &&
        retries_ < kBusyRetries) {
      // An editor still writing it: read again shortly rather than refuse the file.
      ++retries_;
      retry_at_ = now + kBusyRetryMs;
      return;
    }
    retries_ = 0;
    if (result != ReadResult::kMissing) {
      missing_since_ = kNoDeadline;
    } else if (file_seen_) {
      // Gone, perhaps only while an editor writes it again: the rules in force stay until it
      // has been away long enough.
      if (missing_since_ == kNoDeadline) {
        missing_since_ = now;
        LogMessage(kLogLifecycle, kLogCategory,
                   u"Auto Profile: %ws is missing; it counts as removed if it stays away 2 s",
                   rules_path_.c_str());
      }
      if (now - missing_since_ < kRemovedAfterMs) return;
      missing_since_ = kNoDeadline;
    }
  }
  if (result == ReadResult::kFailed) {
    LogMessage(kLogError, kLogCategory, u"Auto Profile: %S; the rules in force stay", error.c_str());
  } else if (result == ReadResult::kRead) {
    LogMessage(kLogEvent, kLogCategory, u"Auto Profile: %d rules read from %ws",
               static_cast<int>(rules.rules.size()), rules_path_.c_str());
  }
  std::lock_guard<std::mutex> hold(lock_);
  if (result != ReadResult::kFailed) {
    if (result == ReadResult::kMissing && file_seen_ && !decider_.rules().rules.empty()) {
      LogMessage(kLogEvent, kLogCategory, u"Auto Profile: %ws is gone, no rules",
                 rules_path_.c_str());
    } else if (result == ReadResult::kMissing) {
      LogMessage(kLogLifecycle, kLogCategory, u"Auto Profile: no rules file %ws", rules_path_.c_str());
    }
    decider_.SetRules(std::move(rules), now);
    next_scan_ = decider_.rules().HasRunningRule() ? now : kNoDeadline;
  }
  file_seen_ = result != ReadResult::kMissing;
  ++reads_;
  changed_.notify_all();
}

bool Service::RereadDue(uint64_t now) {
  std::lock_guard<std::mutex> hold(lock_);
  return now >= retry_at_ ||
         (missing_since_ != kNoDeadline && now - missing_since_ >= kRemovedAfterMs);
}

void Service::Scan() {
  // The worker and an attaching thread may both scan; the exit watch takes one at a time.
  std::lock_guard<std::mutex> scanning(scan_lock_);
  std::vector<platform::ProgramInfo> running;
  const bool listed = source_.running != nullptr ? source_.running(source_.context, &running)
                                                 : platform::RunningPrograms(&running);
  std::vector<uint32_t> matched;
  {
    std::lock_guard<std::mutex> hold(lock_);
    const uint64_t now = platform::TickMs();
    if (listed) decider_.SetRunning(std::move(running), now);
    matched = decider_.MatchedRunningPids();
    next_scan_ = decider_.rules().HasRunningRule() ? now + kScanPeriodMs : kNoDeadline;
  }
  // The scan stays the fall-back for a program whose end cannot be watched.
  if (exit_watch_ != nullptr) {
    for (uint32_t pid : matched) exit_watch_->Watch(pid);
  }
}

std::shared_ptr<std::mutex> Service::ActLock(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(lock_);
  const auto found = act_locks_.find(path);
  return found != act_locks_.end() ? found->second : nullptr;
}

void Service::Act(const std::u16string* only_path) {
  std::vector<std::u16string> due;
  if (only_path != nullptr) {
    due.push_back(*only_path);
  } else {
    std::lock_guard<std::mutex> hold(lock_);
    due = decider_.DueControllers(platform::TickMs());
  }
  for (const std::u16string& path : due) ActOn(path);
}

void Service::ActOn(const std::u16string& path) {
  const std::shared_ptr<std::mutex> controller_lock = ActLock(path);
  if (controller_lock == nullptr) return;  // detached meanwhile
  std::lock_guard<std::mutex> acting(*controller_lock);
  std::vector<Action> actions;
  {
    std::lock_guard<std::mutex> hold(lock_);
    actions = decider_.TakeDue(platform::TickMs(), &path);
  }
  for (const Action& action : actions) {
    const Sent sent = Send(action);
    // A session after the change brings the controller's outputs up to date with the new
    // profile, as after an attach.
    if (sent == Sent::kChanged) DeviceSession().Setup(action.controller);
    if (sent == Sent::kFailed) {
      std::lock_guard<std::mutex> hold(lock_);
      decider_.Failed(action);
    }
  }
}

uint32_t Service::WaitTimeout() {
  std::lock_guard<std::mutex> hold(lock_);
  uint64_t next = std::min({decider_.NextDeadline(), next_scan_, retry_at_});
  if (missing_since_ != kNoDeadline) next = std::min(next, missing_since_ + kRemovedAfterMs);
  if (next == kNoDeadline) return platform::kInfinite;
  const uint64_t now = platform::TickMs();
  return next <= now ? 0 : static_cast<uint32_t>(std::min<uint64_t>(next - now, 60000));
}

uint32_t Service::WorkerMain(void* self) {
  static_cast<Service*>(self)->Run();
  return 0;
}

void Service::Run() {
  for (;;) {
    const int signalled = platform::WaitAny({&stop_, &wake_}, WaitTimeout());
    if (signalled == 0 || signalled == platform::kWaitFailed) return;
    Work();
  }
}

void Service::Work() {
  bool reload = false, rescan = false, scan_due = false;
  uint64_t seen = 0;
  {
    std::lock_guard<std::mutex> hold(lock_);
    std::swap(reload, reload_);
    std::swap(rescan, rescan_);
    seen = posted_;
  }
  if (!reload) reload = RereadDue(platform::TickMs());
  if (reload) {
    Reload();
    SayNoFocus();
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    scan_due = decider_.rules().HasRunningRule() && (rescan || platform::TickMs() >= next_scan_);
  }
  if (scan_due) Scan();
  Act(nullptr);
  std::lock_guard<std::mutex> hold(lock_);
  handled_ = seen;
  changed_.notify_all();
}

void Service::Attaching(const std::u16string& path, const platform::Guid& device_type,
                        const std::u16string& profile_root) {
  std::lock_guard<std::mutex> hold(lock_);
  decider_.Attach(path, device_type, profile_root, platform::TickMs(), /*ready=*/false);
  act_locks_[path] = std::make_shared<std::mutex>();
}

void Service::Attached(const std::u16string& path) {
  bool running_rules = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    running_rules = decider_.rules().HasRunningRule();
  }
  if (running_rules) Scan();
  {
    std::lock_guard<std::mutex> hold(lock_);
    decider_.Ready(path, platform::TickMs());
  }
  Act(&path);
}

void Service::Detached(const std::u16string& path) {
  // An action being sent to the controller ends first.
  const std::shared_ptr<std::mutex> controller_lock = ActLock(path);
  std::unique_lock<std::mutex> acting;
  if (controller_lock != nullptr) acting = std::unique_lock<std::mutex>(*controller_lock);
  std::lock_guard<std::mutex> hold(lock_);
  decider_.Detach(path);
  act_locks_.erase(path);
}

void Service::ClutchEngaging(const std::u16string& path) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    decider_.SetEngaged(path, true);
  }
  // An action already being sent to the controller ends before the clutch shows anything.
  if (const std::shared_ptr<std::mutex> controller_lock = ActLock(path)) {
    std::lock_guard<std::mutex> acting(*controller_lock);
  }
}

void Service::ClutchChose(const std::u16string& path) {
  std::lock_guard<std::mutex> hold(lock_);
  decider_.ManualChoice(path);
}

void Service::ClutchReleased(const std::u16string& path) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    decider_.SetEngaged(path, false);
  }
  Act(&path);
  wake_.Set();
}

}  // namespace autoprofile
