// The steps of the scenario language.
#include "scenario.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "devices/device_change.h"
#include "devices/device_manager.h"
#include "driver/control_codes.h"
#include "platform/guid.h"
#include "platform/text.h"

namespace simtool {
namespace {

namespace fs = std::filesystem;
constexpr uint32_t kStepTimeoutMs = 5000;

bool ParseNumber(const std::string& word, uint32_t* out) {
  if (word.empty()) return false;
  char* end = nullptr;
  const unsigned long value = std::strtoul(word.c_str(), &end, 0);
  if (*end != '\0' || value > 0xFFFFFFFFul) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

bool ParseGuidWord(const std::string& word, platform::Guid* out) {
  return platform::ParseGuid(platform::FromUtf8(word), out);
}

// A path below the root from a '/'-separated relative word; false for one that leaves it.
bool BelowRoot(const std::string& root, const std::string& relative, fs::path* out) {
  if (RootedPath(relative)) return false;
  const fs::path joined = (PathFromUtf8(root) / PathFromUtf8(relative)).lexically_normal();
  const std::string text = Utf8Of(joined);
  if (text.compare(0, root.size(), root) != 0) return false;
  *out = joined;
  return true;
}

bool WriteBytes(const fs::path& path, const std::string& bytes) {
  std::error_code ignored;
  fs::create_directories(path.parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// UTF-16LE with a byte order mark, as documents are stored.
std::string DocumentBytes(const std::string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : platform::FromUtf8(text)) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return bytes;
}

}  // namespace

Scenario::Scenario(std::string root, std::string executable_folder, std::FILE* trace)
    : root_(std::move(root)),
      executable_folder_(std::move(executable_folder)),
      trace_(trace),
      transport_(model_),
      desktop_(root_ + "/programs") {
  model_.SetTraceRoot(platform::FromUtf8(root_));
  autoprofile::ProgramSource source;
  source.running = &sim::SimDesktop::Running;
  source.context = &desktop_;
  source.watch_exits = false;  // the exit step tells the service itself
  autoprofile_.Start(platform::RulesFilePath(), source);
}

Scenario::~Scenario() {
  for (const devices::AttachedDevice& device : devices::AttachedDevices()) {
    devices::DetachDevice(devices::NotificationKey(device.device));
  }
  autoprofile_.Stop();
}

void Scenario::SetServiceSide(ServiceSide* side) {
  side_ = side;
  // The service process has automatic profiles of its own.
  if (side_ != nullptr) autoprofile_.Stop();
}

void Scenario::FlushTrace() {
  for (const std::string& line : model_.Trace()) std::fprintf(trace_, "%s\n", line.c_str());
  model_.ClearTrace();
  std::fflush(trace_);
}

bool Scenario::Known(const std::string& name) const {
  return std::find(declared_.begin(), declared_.end(), name) != declared_.end();
}

bool Scenario::Locate(const std::string& relative, fs::path* out) {
  return side_ != nullptr ? side_->Place(relative, out) : BelowRoot(root_, relative, out);
}

int Scenario::Step(const std::vector<std::string>& words, std::string* error) {
  const std::string& step = words[0];
  if (step == "controller") return Declare(words, error);
  if (step == "registry" || step == "folder" || step == "document" || step == "file" ||
      step == "remove" || step == "dat") {
    return Files(words, error);
  }
  if (step == "rules" || step == "foreground" || step == "start" || step == "exit" ||
      step == "desktop" || step == "title") {
    return Programs(words, error);
  }
  if (step == "wait") {
    uint32_t ms = 0;
    if (words.size() != 2 || !ParseNumber(words[1], &ms)) return *error = "wait MS", kRunMalformed;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return kRunOk;
  }
  if (step == "fail" || step == "path-kind") return Fault(words, error);
  if (step == "defer") return Defer(words, error);
  if (words.size() < 2 || !Known(words[1])) {
    *error = words.size() < 2 ? "missing controller name" : "unknown controller " + words[1];
    return kRunMalformed;
  }
  if (step == "attach" && words.size() == 2) return Attach(words[1], error);
  if (step == "detach" && words.size() == 2) return Detach(words[1], error);
  if (step == "clutch") {
    uint32_t engaged = 0, type = 0;
    if (words.size() != 4 || !ParseNumber(words[2], &engaged) || !ParseNumber(words[3], &type) ||
        engaged > 0xFFFF || type > 0xFFFF) {
      return *error = "clutch NAME ENGAGED TYPE", kRunMalformed;
    }
    return Clutch(words[1], static_cast<uint16_t>(engaged), static_cast<uint16_t>(type), error);
  }
  const int status = Event(words, error);
  if (status != kRunOk || side_ == nullptr) return status;
  return side_->Settle(error);
}

int Scenario::Declare(const std::vector<std::string>& words, std::string* error) {
  if (words.size() < 2) return *error = "controller NAME", kRunMalformed;
  sim::ControllerConfig config;
  for (size_t i = 2; i < words.size(); ++i) {
    const size_t equals = words[i].find('=');
    const std::string key = words[i].substr(0, equals);
    platform::Guid* target = key == "type"         ? &config.device_type
                             : key == "member"     ? &config.member
                             : key == "controller" ? &config.controller
                                                   : nullptr;
    if (equals == std::string::npos || target == nullptr ||
        !ParseGuidWord(words[i].substr(equals + 1), target)) {
      return *error = "bad controller field " + words[i], kRunMalformed;
    }
  }
  if (Known(words[1]) || !model_.Declare(words[1], config)) {
    return *error = "controller " + words[1] + " declared twice", kRunMalformed;
  }
  declared_.push_back(words[1]);
  return kRunOk;
}

int Scenario::Attach(const std::string& name, std::string* error) {
  if (side_ != nullptr) return side_->Attach(name, error);
  model_.Attach(name);
  // What the arrival notification does: returns when the service has attached it.
  devices::AttachDevice(nullptr, sim::DriverModel::InterfacePath(name));
  return kRunOk;
}

int Scenario::Detach(const std::string& name, std::string* error) {
  if (side_ != nullptr) return side_->Detach(name, error);
  model_.Detach(name);
  // What the removal of the interface does (in-process devices have no per-handle registration).
  platform::DeviceChange change;
  change.kind = platform::DeviceChange::Kind::kRemoveComplete;
  change.device_type = 5;
  change.path = sim::DriverModel::InterfacePath(name);
  change.interface_class = devices::kControllerInterfaceClass;
  devices::HandleDeviceChange(nullptr, change, devices::DeviceManagerTarget());
  return kRunOk;
}

int Scenario::Clutch(const std::string& name, uint16_t engaged, uint16_t type,
                     std::string* error) {
  if (!model_.WaitForOutstanding(name, IOCTL_WAIT_CLUTCH_EVENT, kStepTimeoutMs)) {
    return *error = "no clutch wait outstanding on " + name, kRunTimedOut;
  }
  const uint64_t issued = model_.IssuedCount(name, IOCTL_WAIT_CLUTCH_EVENT);
  model_.RaiseClutchEvent(name, engaged, type);
  // Handled when the controller's clutch thread waits again.
  if (!model_.WaitForIssued(name, IOCTL_WAIT_CLUTCH_EVENT, issued + 1, kStepTimeoutMs)) {
    return *error = "the clutch event on " + name + " was not handled", kRunTimedOut;
  }
  return side_ != nullptr ? side_->Settle(error) : kRunOk;
}

int Scenario::Event(const std::vector<std::string>& words, std::string* error) {
  const std::string& step = words[0];
  const std::string& name = words[1];
  uint32_t a = 0, b = 0, c = 0;
  platform::Guid guid;
  if (step == "clutch-state" && words.size() == 4 && ParseNumber(words[2], &a) &&
      ParseNumber(words[3], &b) && a <= 0xFFFF && b <= 0xFFFF) {
    model_.SetClutchState(name, static_cast<uint16_t>(a), static_cast<uint16_t>(b));
  } else if (step == "shift" && words.size() == 3 && ParseGuidWord(words[2], &guid)) {
    model_.SetShiftState(name, guid);
  } else if (step == "command" && words.size() == 6 && ParseNumber(words[2], &a) &&
             ParseNumber(words[3], &b) && ParseNumber(words[4], &c) &&
             ParseGuidWord(words[5], &guid)) {
    CommandRecord command;
    command.control = a;
    command.kind = b;
    command.state = c;
    command.command = guid;
    model_.RaiseCommand(name, command);
  } else if (step == "softbuttons" && words.size() == 3 && ParseNumber(words[2], &a)) {
    model_.SetSoftButtons(name, a);
  } else if (step == "active" && (words.size() == 3 || (words.size() == 4 && words[3] == "relative"))) {
    const bool relative = words.size() == 4;
    fs::path located;
    if (!relative && !Locate(words[2], &located)) return *error = "bad path " + words[2], kRunMalformed;
    const std::string path = relative ? words[2] : Utf8Of(located);
    model_.LoadAndActivate(name, platform::FromUtf8(path), relative);
  } else {
    *error = "bad step: " + step;
    return kRunMalformed;
  }
  return kRunOk;
}

int Scenario::Fault(const std::vector<std::string>& words, std::string* error) {
  uint32_t count = 1, value = 0;
  if (words.size() < 3 || words.size() > 4 || !Known(words[1]) ||
      (words.size() == 4 && !ParseNumber(words[3], &count))) {
    return *error = words[0] + " NAME " + (words[0] == "fail" ? "CODE" : "KIND") + " [COUNT]",
           kRunMalformed;
  }
  if (words[0] == "path-kind") {
    if (!ParseNumber(words[2], &value) || value > 0xFFFF) return *error = "bad kind", kRunMalformed;
    model_.InjectPathKind(words[1], static_cast<uint16_t>(value), count);
  } else if (words[2] == "open") {
    model_.FailOpens(words[1], count);
  } else if (ControlCodeFromName(words[2].c_str(), &value)) {
    model_.FailNext(words[1], value, count);
  } else {
    return *error = "unknown code " + words[2], kRunMalformed;
  }
  return kRunOk;
}

// defer NAME CODE WAITCODE: the next request of CODE waits (up to the step time limit) until a
// WAITCODE request is outstanding on the controller.
int Scenario::Defer(const std::vector<std::string>& words, std::string* error) {
  uint32_t code = 0, wait_code = 0;
  if (words.size() != 4 || !Known(words[1])) return *error = "defer NAME CODE WAITCODE", kRunMalformed;
  if (!ControlCodeFromName(words[2].c_str(), &code) ||
      !ControlCodeFromName(words[3].c_str(), &wait_code)) {
    return *error = "unknown code " + words[2] + " or " + words[3], kRunMalformed;
  }
  model_.Defer(words[1], code, wait_code, kStepTimeoutMs);
  return kRunOk;
}

int Scenario::Files(const std::vector<std::string>& words, std::string* error) {
  const std::string& step = words[0];
  fs::path path;
  std::error_code failed;
  if (step == "registry" && words.size() == 4 && side_ != nullptr) {
    return side_->WriteRegistry(words[1], words[2], words[3], error);
  } else if (step == "registry" && words.size() == 4) {
    std::string key = words[1];
    std::replace(key.begin(), key.end(), '\\', '/');
    if (!BelowRoot(root_ + "/registry/HKLM", key + "/" + words[2], &path) ||
        !WriteBytes(path, words[3])) {
      return *error = "cannot write the registry value", kRunMalformed;
    }
  } else if (step == "folder" && words.size() == 2 && Locate(words[1], &path)) {
    fs::create_directories(path, failed);
  } else if ((step == "document" || step == "file") && words.size() == 3 &&
             Locate(words[1], &path)) {
    if (!WriteBytes(path, step == "document" ? DocumentBytes(words[2]) : words[2])) {
      return *error = "cannot write " + words[1], kRunMalformed;
    }
  } else if (step == "remove" && words.size() == 2 && Locate(words[1], &path)) {
    fs::remove_all(path, failed);
  } else if (step == "dat" && words.size() == 3) {
    platform::Guid type;
    if (!ParseGuidWord(words[1], &type)) return *error = "bad GUID " + words[1], kRunMalformed;
    const std::string name = platform::ToUtf8(platform::FormatGuid(type)) + ".dat";
    if (!WriteBytes(PathFromUtf8(executable_folder_) / name, DocumentBytes(words[2]))) {
      return *error = "cannot write " + name, kRunMalformed;
    }
  } else {
    return *error = "bad " + step + " step", kRunMalformed;
  }
  return failed ? (*error = failed.message(), kRunMalformed) : kRunOk;
}

// rules ["TEXT"], foreground PROGRAM ["TITLE"], start PROGRAM, exit PROGRAM, desktop,
// title "TEXT".
int Scenario::Programs(const std::vector<std::string>& words, std::string* error) {
  const std::string& step = words[0];
  if (step == "rules" && words.size() <= 2) return Rules(words.size() == 2 ? &words[1] : nullptr, error);
  if (step == "desktop" && words.size() == 1) {
    if (side_ != nullptr) return side_->Desktop(error);
    desktop_.ShowDesktop();
    autoprofile_.OnForeground(desktop_.Front());
  } else if (step == "foreground" && (words.size() == 2 || words.size() == 3)) {
    const std::string title = words.size() == 3 ? words[2] : sim::SimDesktop::DefaultTitle(words[1]);
    if (side_ != nullptr) return side_->Foreground(words[1], title, error);
    autoprofile_.OnForeground(desktop_.Foreground(words[1], title));
  } else if (step == "title" && words.size() == 2) {
    if (side_ != nullptr) return side_->Title(words[1], error);
    platform::ProgramInfo front;
    if (!desktop_.Retitle(words[1], &front)) return *error = "the desktop is in front", kRunMalformed;
    autoprofile_.OnForeground(front);
  } else if (step == "start" && words.size() == 2) {
    if (side_ != nullptr) return side_->StartProgram(words[1], error);
    desktop_.Start(words[1]);
  } else if (step == "exit" && words.size() == 2) {
    if (side_ != nullptr) return side_->ExitProgram(words[1], error);
    bool was_front = false;
    if (!desktop_.Exit(words[1], &was_front)) return *error = words[1] + " is not running", kRunMalformed;
    // What the watch of the program's end reports.
    autoprofile_.RescanRunning();
    if (was_front) autoprofile_.OnForeground(desktop_.Front());
  } else {
    return *error = "bad " + step + " step", kRunMalformed;
  }
  if (!autoprofile_.WaitQuiet(kStepTimeoutMs)) return *error = "the service is not quiet", kRunTimedOut;
  return kRunOk;
}

int Scenario::Rules(const std::string* text, std::string* error) {
  if (side_ != nullptr) return side_->Rules(text, error);
  const fs::path path(platform::ToUtf8(platform::RulesFilePath()));
  const uint64_t reads = autoprofile_.ReadCount();
  std::error_code failed;
  if (text == nullptr) {
    // Removing a file that is not there changes nothing the service could see.
    if (!fs::remove(path, failed)) return failed ? (*error = failed.message(), kRunMalformed) : kRunOk;
  } else if (!WriteBytes(path, *text)) {
    return *error = "cannot write " + path.string(), kRunMalformed;
  }
  if (!autoprofile_.WaitReadMoreThan(reads, kStepTimeoutMs)) {
    return *error = "the service did not read the rules file", kRunTimedOut;
  }
  if (!autoprofile_.WaitQuiet(kStepTimeoutMs)) return *error = "the service is not quiet", kRunTimedOut;
  return kRunOk;
}

}  // namespace simtool
