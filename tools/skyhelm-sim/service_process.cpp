// skyhelm-sim run against the real service process on Windows: the service runs as its own
// process from the run's bin/ folder and talks to real device handles of the stand-in kernel
// driver, whose requests the simulated driver of this process answers through its host.
// Controllers arrive and go as root-enumerated devices (SetupAPI), registry steps write the
// real registry, and the common documents folder points into the run's root for the run.
// Everything is put back afterwards (devices removed, keys, values and files deleted) from a
// journal written before each change, which `skyhelm-sim clean` replays after a killed run.
#include "scenario.h"

#ifndef _WIN32

namespace simtool {

std::unique_ptr<ServiceSide> MakeServiceProcess(sim::DriverModel&, const std::filesystem::path&,
                                                bool) {
  return nullptr;
}

int RemoveStandInDevices() { return 0; }

}  // namespace simtool

#else

#include <windows.h>

#include <algorithm>
#include <map>
#include <vector>

#include "driver/control_codes.h"
#include "platform/text.h"
#include "sim/win32/driver_host.h"
#include "prefix_journal.h"
#include "sim/win32/standin_devices.h"

namespace simtool {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kServiceWindowClass[] = L"Corvane.Vexmoor.Skyhelm";
constexpr wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr wchar_t kUserShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kCommonDocuments[] = L"Common Documents";
constexpr DWORD kDeadlineMs = 5000;
// The service counts as finished with a step when the driver has seen nothing for this long.
constexpr DWORD kQuietMs = 150;

std::wstring Wide(const std::string& utf8) {
  const std::u16string text = platform::FromUtf8(utf8);
  return std::wstring(text.begin(), text.end());
}

std::string Narrow(const std::wstring& wide) {
  return platform::ToUtf8(std::u16string(wide.begin(), wide.end()));
}

bool Expired(DWORD deadline) { return static_cast<int32_t>(GetTickCount() - deadline) >= 0; }

bool SameText(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

class ServiceProcess : public ServiceSide {
 public:
  ServiceProcess(sim::DriverModel& model, const fs::path& work, bool start_late)
      : model_(model), host_(model), root_(work / "root"), bin_(work / "bin"),
        start_late_(start_late) {}
  ~ServiceProcess() override {
    std::string ignored;
    Finish(&ignored);
  }

  bool Prepare(std::string* error);
  int Attach(const std::string& name, std::string* error) override;
  int Detach(const std::string& name, std::string* error) override;
  int WriteRegistry(const std::string& key, const std::string& value, const std::string& text,
                    std::string* error) override;
  bool Place(const std::string& relative, fs::path* out) override;
  int Settle(std::string* error) override;
  int Finish(std::string* error) override;
  sim::DriverHost* Host() override { return &host_; }
  void* ServiceProcessHandle() override { return service_.hProcess; }
  int Plug(const std::string& name, bool present, std::string* error) override;

 private:
  bool SetValue(const std::wstring& key, const std::wstring& value, DWORD type,
                const std::wstring& text);
  int StartService(std::string* error);
  int StopService(std::string* error);

  sim::DriverModel& model_;
  sim::DriverHost host_;
  const fs::path root_;
  const fs::path bin_;
  const bool start_late_;  // the service starts once the first controller is present
  fs::path windows_;
  fs::path inf_;
  PROCESS_INFORMATION service_{};
  bool finished_ = false;
  std::map<std::string, std::wstring> present_;  // controller name -> device instance
  PrefixJournal journal_;       // every change to the system, before it is made
  std::vector<fs::path> made_;  // topmost files and folders created outside the root
};

bool ServiceProcess::Prepare(std::string* error) {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return *error = "no Windows folder", false;
  windows_ = folder;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  inf_ = fs::path(self).parent_path() / "driver" / "skyhelmsim.inf";
  if (!fs::exists(inf_)) return *error = "no driver package at " + inf_.string(), false;
  // What a run that was killed left behind goes first.
  PrefixJournal::Replay();
  if (!journal_.Path(root_.parent_path())) return *error = "cannot write the run's journal", false;
  // The run's documents folder is the common documents folder of the service.
  const std::wstring documents = (root_ / "documents").wstring();
  if (!SetValue(kUserShellFolders, kCommonDocuments, REG_EXPAND_SZ, documents) ||
      !SetValue(kShellFolders, kCommonDocuments, REG_SZ, documents)) {
    return *error = "cannot point the common documents folder into the run", false;
  }
  model_.AddTraceFolder(platform::FromUtf8(Utf8Of(windows_)), u"$ROOT/windows");
  return true;
}

bool ServiceProcess::Place(const std::string& relative, fs::path* out) {
  // "\x" and "D:x" are not absolute, yet joined to the root they would replace part of it.
  if (RootedPath(relative)) return false;
  const fs::path normal = PathFromUtf8(relative).lexically_normal();
  if (normal.empty() || normal.has_root_name() || normal.has_root_directory() ||
      *normal.begin() == "..") {
    return false;
  }
  fs::path base = root_;
  fs::path rest = normal;
  if (SameText(normal.begin()->wstring(), L"windows")) {
    base = windows_;
    rest = normal.lexically_relative("windows");
    if (rest == ".") rest.clear();
    // Remember the first part that does not exist yet, to delete it afterwards.
    fs::path step = base;
    for (const fs::path& part : rest) {
      step /= part;
      if (!fs::exists(step)) {
        if (std::find(made_.begin(), made_.end(), step) == made_.end() && journal_.Path(step)) {
          made_.push_back(step);
        }
        break;
      }
    }
  }
  *out = rest.empty() ? base : base / rest;
  return true;
}

bool ServiceProcess::SetValue(const std::wstring& key, const std::wstring& value, DWORD type,
                              const std::wstring& text) {
  if (!journal_.RegistryValue(key, value)) return false;
  HKEY handle = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                      nullptr, &handle, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG set = RegSetValueExW(handle, value.c_str(), 0, type,
                                  reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(handle);
  return set == ERROR_SUCCESS;
}

int ServiceProcess::WriteRegistry(const std::string& key, const std::string& value,
                                  const std::string& text, std::string* error) {
  // A value naming a place inside the run's root names where that place lies in this run.
  std::string placed = text;
  const std::string root = Utf8Of(root_);
  if (text.size() > root.size() && text.compare(0, root.size(), root) == 0 &&
      (text[root.size()] == '/' || text[root.size()] == '\\')) {
    fs::path where;
    if (Place(text.substr(root.size() + 1), &where)) placed = Utf8Of(where);
  }
  if (!SetValue(Wide(key), Wide(value), REG_SZ, Wide(placed))) {
    return *error = "cannot write the registry value " + key + "\\" + value, kRunTimedOut;
  }
  return kRunOk;
}

int ServiceProcess::Settle(std::string* error) {
  const DWORD deadline = GetTickCount() + kDeadlineMs;
  uint64_t seen = model_.RecordCount();
  DWORD since = GetTickCount();
  while (!Expired(deadline)) {
    Sleep(10);
    const uint64_t now = model_.RecordCount();
    if (now != seen) {
      seen = now;
      since = GetTickCount();
    } else if (GetTickCount() - since >= kQuietMs) {
      return kRunOk;
    }
  }
  return kRunOk;  // a service that keeps talking (a marquee) is not an error
}

int ServiceProcess::StartService(std::string* error) {
  if (service_.hProcess != nullptr) return kRunOk;
  const std::wstring program = (bin_ / "skyhelm.exe").wstring();
  const std::wstring folder = bin_.wstring();
  std::wstring command = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!journal_.Service()) return *error = "cannot write the run's journal", kRunTimedOut;
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &service_)) {
    service_ = {};
    return *error = "cannot start " + Narrow(program), kRunTimedOut;
  }
  const DWORD deadline = GetTickCount() + kDeadlineMs;
  while (FindWindowExW(HWND_MESSAGE, nullptr, kServiceWindowClass, nullptr) == nullptr) {
    if (Expired(deadline) || WaitForSingleObject(service_.hProcess, 0) == WAIT_OBJECT_0) {
      return *error = "the service's window did not appear", kRunTimedOut;
    }
    Sleep(10);
  }
  // A second instance ends at once with 0 and leaves the first alone.
  PROCESS_INFORMATION second{};
  STARTUPINFOW startup2{};
  startup2.cb = sizeof startup2;
  std::wstring command2 = command;
  if (!CreateProcessW(program.c_str(), command2.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup2, &second)) {
    return *error = "cannot start a second service", kRunTimedOut;
  }
  DWORD code = 1;
  const bool ended = WaitForSingleObject(second.hProcess, kDeadlineMs) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(second.hProcess, &code);
  if (!ended) TerminateProcess(second.hProcess, 1);
  CloseHandle(second.hThread);
  CloseHandle(second.hProcess);
  if (!ended || code != 0) {
    return *error = "a second service did not end at once with 0", kRunTimedOut;
  }
  return kRunOk;
}

int ServiceProcess::StopService(std::string* error) {
  if (service_.hProcess == nullptr) return kRunOk;
  int status = kRunOk;
  HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kServiceWindowClass, nullptr);
  // A service that was closed already (the hostile run closes it itself) is only looked at.
  const bool ended = WaitForSingleObject(service_.hProcess, 0) == WAIT_OBJECT_0;
  if (window != nullptr && !ended) PostMessageW(window, WM_CLOSE, 0, 0);
  DWORD code = 1;
  if (!ended &&
      (window == nullptr || WaitForSingleObject(service_.hProcess, kDeadlineMs) != WAIT_OBJECT_0)) {
    TerminateProcess(service_.hProcess, 1);
    WaitForSingleObject(service_.hProcess, kDeadlineMs);
    *error = "the service did not end on WM_CLOSE";
    status = kRunTimedOut;
  } else if (!GetExitCodeProcess(service_.hProcess, &code) || code != 0) {
    *error = "the service ended with " + std::to_string(code) + " on WM_CLOSE";
    status = kRunTimedOut;
  }
  CloseHandle(service_.hThread);
  CloseHandle(service_.hProcess);
  service_ = {};
  return status;
}

int ServiceProcess::Attach(const std::string& name, std::string* error) {
  if (present_.count(name) != 0) return kRunOk;  // already there, as for a repeated arrival
  // The service runs before the controller arrives, unless it is to find it present at start.
  if (!start_late_) {
    if (const int started = StartService(error); started != kRunOk) return started;
  }
  const uint64_t before = model_.RecordCount();
  if (const int plugged = Plug(name, true, error); plugged != kRunOk) return plugged;
  // Arrived: the service has opened the controller; attached: its clutch wait is outstanding.
  const DWORD deadline = GetTickCount() + kDeadlineMs;
  while (model_.RecordCount() == before) {
    if (Expired(deadline)) return *error = "controller " + name + " did not arrive", kRunTimedOut;
    Sleep(10);
  }
  model_.WaitForOutstanding(name, IOCTL_WAIT_CLUTCH_EVENT, 1000);
  if (const int settled = Settle(error); settled != kRunOk) return settled;
  // Arrival broadcasts come more than once (Wine repeats them per handle registration): the
  // controller must still have one entry, with one clutch thread waiting.
  const size_t waits = model_.OutstandingCount(name, IOCTL_WAIT_CLUTCH_EVENT);
  if (waits > 1) {
    return *error = "controller " + name + " was attached " + std::to_string(waits) + " times",
           kRunTimedOut;
  }
  return kRunOk;
}

int ServiceProcess::Detach(const std::string& name, std::string* error) {
  if (const int unplugged = Plug(name, false, error); unplugged != kRunOk) return unplugged;
  return Settle(error);
}

int ServiceProcess::Plug(const std::string& name, bool present, std::string* error) {
  const auto found = present_.find(name);
  if (!present) {
    model_.Detach(name);
    if (found == present_.end()) return kRunOk;
    const std::wstring instance = found->second;
    present_.erase(found);
    if (!sim::RemoveStandInDevice(instance)) {
      return *error = "cannot remove the device of " + name, kRunTimedOut;
    }
    // With the last controller the driver ends the host's service; the next one starts anew.
    if (present_.empty() && host_.serving() && !host_.WaitEnded(kDeadlineMs)) {
      return *error = "the stand-in driver kept serving without controllers", kRunTimedOut;
    }
    return kRunOk;
  }
  if (found != present_.end()) return kRunOk;
  model_.Attach(name);
  // The controller's device is ROOT\SKYHELMSIM\<NAME>: the same interface path each time it
  // arrives, so that a service that failed to detach it would refuse its return (a path is
  // attached once). The host knows the name before the device can be opened.
  host_.MapDevice(u"ROOT\\SKYHELMSIM\\" + platform::FromUtf8(name), name);
  std::wstring instance;
  if (!journal_.Device(L"ROOT\\SKYHELMSIM\\" + Wide(name))) {
    return *error = "cannot write the run's journal", kRunTimedOut;
  }
  if (!sim::CreateStandInDevice(inf_.wstring(), Wide(name), &instance, error)) return kRunTimedOut;
  present_[name] = instance;
  if (!host_.serving() && !host_.Start(kDeadlineMs, error)) return kRunTimedOut;
  return StartService(error);
}

int ServiceProcess::Finish(std::string* error) {
  if (finished_) return kRunOk;
  finished_ = true;
  // The host goes first: the driver then fails whatever it holds for controllers still
  // attached, and the service must still end on WM_CLOSE.
  host_.Stop();
  int status = StopService(error);
  for (const auto& [name, instance] : present_) {
    if (!sim::RemoveStandInDevice(instance) && status == kRunOk) {
      *error = "cannot remove the device of " + name;
      status = kRunTimedOut;
    }
  }
  present_.clear();
  // Registry values, files and folders, and whatever else the journal holds.
  PrefixJournal::Replay();
  made_.clear();
  return status;
}

}  // namespace

int RemoveStandInDevices() {
  PrefixJournal::Replay();
  return sim::RemoveStandInDevices();
}

std::unique_ptr<ServiceSide> MakeServiceProcess(sim::DriverModel& model, const fs::path& work,
                                                bool start_late) {
  auto side = std::make_unique<ServiceProcess>(model, work, start_late);
  std::string error;
  if (!side->Prepare(&error)) {
    std::fprintf(stderr, "skyhelm-sim run: %s\n", error.c_str());
    return nullptr;
  }
  return side;
}

}  // namespace simtool

#endif  // _WIN32
