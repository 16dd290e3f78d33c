// skyhelm-sim run against the real service process on Windows: the service runs as its own
// process from the run's bin/ folder and talks to real device handles of the stand-in kernel
// driver, whose requests the simulated driver of this process answers through its host.
// Controllers arrive and go as root-enumerated devices (SetupAPI), registry steps write the
// real registry, and the common documents folder points into the run's root for the run.
// Programs are copies of a stand-in program with real windows brought to the front; the rules
// file lies in the run's own %APPDATA%. The service's log (level 4, on its standard error) tells
// when it has read the rules and seen a change of the window in front.
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
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cwctype>
#include <map>
#include <mutex>
#include <set>
#include <thread>
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
constexpr wchar_t kProgramControlClass[] = L"SkyhelmSimProgram";
constexpr wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr wchar_t kUserShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
constexpr wchar_t kCommonDocuments[] = L"Common Documents";
constexpr DWORD kDeadlineMs = 5000;
// How long a step may take the service to come back to rest (a loaded machine under Wine).
constexpr DWORD kSettleMs = 10000;
// Once at rest, the service counts as finished with a step when neither the driver nor its log
// has had anything new for this long.
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
        appdata_(work / "root" / "config"), start_late_(start_late) {}
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
  int Rules(const std::string* text, std::string* error) override;
  int Foreground(const std::string& program, const std::string& title,
                 std::string* error) override;
  int StartProgram(const std::string& program, std::string* error) override;
  int ExitProgram(const std::string& program, std::string* error) override;
  int Desktop(std::string* error) override;
  int Title(const std::string& title, std::string* error) override;
  int Finish(std::string* error) override;
  sim::DriverHost* Host() override { return &host_; }
  void* ServiceProcessHandle() override { return service_.hProcess; }
  int Plug(const std::string& name, bool present, std::string* error) override;

 private:
  // A running copy of the stand-in program.
  struct Program {
    PROCESS_INFORMATION process{};
    HWND control = nullptr;
  };

  // The service's log lines from its standard error, read on a thread of their own.
  void ReadLog(HANDLE pipe);
  size_t LogSize();
  // Waits until a line from index from on contains every one of parts; false after the deadline.
  bool WaitForLog(size_t from, std::initializer_list<std::wstring> parts);
  bool ServiceRuns() const { return service_.hProcess != nullptr; }
  uint64_t LoadsIssued();  // IOCTL_PROFILE_LOAD requests of the present controllers so far
  // Whether the rules the service read last hold any rule: only then does it log foreground
  // changes.
  bool ServiceHasRules();
  fs::path ProgramPath(const std::string& program) const;
  int Run(const std::string& program, Program** out, std::string* error);
  std::wstring ProgramKey(const std::string& program) const;  // lower-case full path
  void Forget(const std::string& program);                     // ends it if it runs
  void EndProgram(Program& program);
  // After a change of the window in front from before: waits until the service has seen it
  // (within its 250 ms comparison under Wine), then settles.
  int AfterFront(HWND before, size_t mark, std::string* error);

  bool AtRest() const;
  bool SetValue(const std::wstring& key, const std::wstring& value, DWORD type,
                const std::wstring& text);
  int StartService(std::string* error);
  int StopService(std::string* error);

  sim::DriverModel& model_;
  sim::DriverHost host_;
  const fs::path root_;
  const fs::path bin_;
  // The service's %APPDATA%, where its rules file lies: inside the root, as on Linux, so that
  // steps reach the file as config/skyhelm/rules.toml.
  const fs::path appdata_;
  const bool start_late_;  // the service starts once the first controller is present
  fs::path windows_;
  fs::path inf_;
  PROCESS_INFORMATION service_{};
  bool finished_ = false;
  std::map<std::string, std::wstring> present_;  // controller name -> device instance
  std::set<std::string> known_;                  // every controller that has been attached
  PrefixJournal journal_;       // every change to the system, before it is made
  std::vector<fs::path> made_;  // topmost files and folders created outside the root
  std::map<std::wstring, Program> programs_;  // by lower-case full path
  std::thread log_reader_;
  std::mutex log_lock_;
  std::condition_variable log_grew_;
  std::vector<std::wstring> log_;  // guarded by log_lock_
  bool echo_log_ = false;          // the service's log goes on to this program's standard error
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
  // What the service started later inherits: the run's %APPDATA% and its log on standard error.
  echo_log_ = GetEnvironmentVariableW(L"SKYHELM_LOG", nullptr, 0) != 0;
  // Wine sets %APPDATA% afresh in every process it starts: the service is told the file.
  SetEnvironmentVariableW(L"APPDATA", appdata_.c_str());
  SetEnvironmentVariableW(L"SKYHELM_RULES", (appdata_ / "skyhelm" / "rules.toml").c_str());
  SetEnvironmentVariableW(L"SKYHELM_LOG", L"4");
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

// At rest, the service holds one handle on each attached controller, with its clutch wait
// outstanding, and none on a removed one: every session has ended and closed its handles, and
// the driver sees nothing more until the next step. This is the driver's own view, so that no
// pause of the service's threads (a profile thread's 100 ms) counts as the end of a step.
bool ServiceProcess::AtRest() const {
  for (const std::string& name : known_) {
    const size_t open = model_.ConnectionCount(name);
    if (present_.count(name) == 0) {
      if (open != 0) return false;
      continue;
    }
    const size_t clutch_waits = model_.OutstandingCount(name, IOCTL_WAIT_CLUTCH_EVENT);
    if (open > 1 || model_.OutstandingTotal(name) != clutch_waits) return false;
  }
  return true;
}

int ServiceProcess::Settle(std::string* error) {
  const DWORD deadline = GetTickCount() + kSettleMs;
  // At rest, then quiet: neither the driver nor the service's log has had anything new for a
  // while (work the driver cannot see, such as the service noticing a window in front).
  uint64_t seen = model_.RecordCount() + LogSize();
  DWORD since = GetTickCount();
  for (;;) {
    if (Expired(deadline)) {
      // Not an error of the run: the trace shows what kept the service busy.
      std::fprintf(stderr, "skyhelm-sim run: the service was not at rest after %u ms\n",
                   static_cast<unsigned>(kSettleMs));
      return kRunOk;
    }
    Sleep(5);
    const uint64_t now = model_.RecordCount() + LogSize();
    if (now != seen || !AtRest()) {
      seen = now;
      since = GetTickCount();
    } else if (GetTickCount() - since >= kQuietMs) {
      return kRunOk;
    }
  }
}

// The service reads the rules at its start; while it runs, each change is read within 1 s. The
// file is replaced by a rename, so that the one read it causes sees the whole text.
int ServiceProcess::Rules(const std::string* text, std::string* error) {
  const fs::path file = appdata_ / "skyhelm" / "rules.toml";
  const size_t mark = LogSize();
  std::error_code failed;
  if (text == nullptr) {
    if (!fs::remove(file, failed)) return failed ? (*error = failed.message(), kRunMalformed) : kRunOk;
  } else {
    // Paths of the run's root inside TOML strings: written with '/', as '\' is an escape there.
    std::string placed = *text;
    const std::string root = Utf8Of(root_), generic = Utf8Of(root_.generic_wstring());
    for (size_t at = 0; (at = placed.find(root, at)) != std::string::npos; at += generic.size()) {
      placed.replace(at, root.size(), generic);
    }
    fs::create_directories(file.parent_path(), failed);
    const fs::path next = file.parent_path() / "rules.toml.new";
    std::FILE* out = _wfopen(next.c_str(), L"wb");
    const bool written = out != nullptr && std::fwrite(placed.data(), 1, placed.size(), out) == placed.size();
    if (out != nullptr) std::fclose(out);
    if (!written || !MoveFileExW(next.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      return *error = "cannot write " + Utf8Of(file), kRunMalformed;
    }
  }
  if (!ServiceRuns()) return kRunOk;
  // Every read of the file ends in one of these lines.
  std::unique_lock<std::mutex> hold(log_lock_);
  const bool read = log_grew_.wait_for(hold, std::chrono::milliseconds(kDeadlineMs), [&] {
    return std::any_of(log_.begin() + mark, log_.end(), [](const std::wstring& line) {
      return line.find(L"Auto Profile: ") != std::wstring::npos &&
             (line.find(L" rules read from ") != std::wstring::npos ||
              line.find(L"; the rules in force stay") != std::wstring::npos ||
              line.find(L" is gone, no rules") != std::wstring::npos ||
              line.find(L"Auto Profile: no rules file ") != std::wstring::npos);
    });
  });
  hold.unlock();
  if (!read) return *error = "the service did not read the rules file", kRunTimedOut;
  return Settle(error);
}

fs::path ServiceProcess::ProgramPath(const std::string& program) const {
  const bool named = program.find_first_of("/\\") == std::string::npos;
  return (named ? root_ / "programs" / PathFromUtf8(program) : PathFromUtf8(program)).lexically_normal();
}

// The program's copy of the stand-in, started when it does not run yet, with its control window.
int ServiceProcess::Run(const std::string& program, Program** out, std::string* error) {
  const fs::path path = ProgramPath(program);
  const std::wstring key = ProgramKey(program);
  if (auto found = programs_.find(key); found != programs_.end()) {
    if (WaitForSingleObject(found->second.process.hProcess, 0) == WAIT_TIMEOUT) {
      *out = &found->second;
      return kRunOk;
    }
    Forget(program);
  }
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::error_code failed;
  fs::create_directories(path.parent_path(), failed);
  fs::copy_file(fs::path(self).parent_path() / "skyhelm-sim-program.exe", path,
                fs::copy_options::overwrite_existing, failed);
  if (failed) return *error = "cannot place " + Utf8Of(path) + ": " + failed.message(), kRunMalformed;
  // Wine, busy starting its desktop, now and then leaves a new process without a window; such
  // a copy ends or makes no window, and another is started.
  for (int attempt = 0; attempt < 3; ++attempt) {
    Program started;
    std::wstring command = L"\"" + path.wstring() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        path.parent_path().c_str(), &startup, &started.process)) {
      return *error = "cannot start " + Utf8Of(path), kRunTimedOut;
    }
    const std::wstring name = std::to_wstring(started.process.dwProcessId);
    const DWORD deadline = GetTickCount() + kDeadlineMs;
    while ((started.control = FindWindowExW(HWND_MESSAGE, nullptr, kProgramControlClass,
                                            name.c_str())) == nullptr &&
           WaitForSingleObject(started.process.hProcess, 10) == WAIT_TIMEOUT && !Expired(deadline)) {
    }
    Program& placed = programs_[key] = started;
    if (placed.control != nullptr) {
      *out = &placed;
      return kRunOk;
    }
    Forget(program);
  }
  return *error = program + " made no window", kRunTimedOut;
}

std::wstring ServiceProcess::ProgramKey(const std::string& program) const {
  std::wstring key = ProgramPath(program).wstring();
  std::transform(key.begin(), key.end(), key.begin(), [](wchar_t c) { return std::towlower(c); });
  return key;
}

void ServiceProcess::Forget(const std::string& program) {
  if (auto found = programs_.find(ProgramKey(program)); found != programs_.end()) {
    EndProgram(found->second);
    programs_.erase(found);
  }
}

void ServiceProcess::EndProgram(Program& program) {
  if (program.control != nullptr) PostMessageW(program.control, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(program.process.hProcess, kDeadlineMs) != WAIT_OBJECT_0) {
    TerminateProcess(program.process.hProcess, 1);
    WaitForSingleObject(program.process.hProcess, kDeadlineMs);
  }
  CloseHandle(program.process.hThread);
  CloseHandle(program.process.hProcess);
  program = {};
}

bool ServiceProcess::ServiceHasRules() {
  std::lock_guard<std::mutex> hold(log_lock_);
  for (auto line = log_.rbegin(); line != log_.rend(); ++line) {
    const size_t at = line->find(L"Auto Profile: ");
    if (at == std::wstring::npos) continue;
    if (line->find(L" rules read from ") != std::wstring::npos) {
      return std::wcstol(line->c_str() + at + 14, nullptr, 10) > 0;  // "Auto Profile: N rules"
    }
    if (line->find(L" is gone, no rules") != std::wstring::npos ||
        line->find(L"Auto Profile: no rules file ") != std::wstring::npos) {
      return false;
    }
  }
  return false;
}

int ServiceProcess::AfterFront(HWND before, size_t mark, std::string* error) {
  HWND now = GetForegroundWindow();
  if (now == GetDesktopWindow()) now = nullptr;  // the desktop, as the service sees it
  if (ServiceRuns() && now != before && ServiceHasRules()) {
    DWORD pid = 0;
    if (now != nullptr) GetWindowThreadProcessId(now, &pid);
    const std::wstring seen = now == nullptr ? L"foreground: the desktop"
                                             : L"(process " + std::to_wstring(pid) + L")";
    if (!WaitForLog(mark, {L"Auto Profile: foreground: ", seen})) {
      return *error = "the service did not see the change of the window in front", kRunTimedOut;
    }
  }
  return Settle(error);
}

int ServiceProcess::Foreground(const std::string& program, const std::string& title,
                               std::string* error) {
  Program* running = nullptr;
  if (const int status = Run(program, &running, error); status != kRunOk) return status;
  const HWND before = GetForegroundWindow();
  const size_t mark = LogSize();
  const std::wstring wide = Wide(title);
  COPYDATASTRUCT data{1, static_cast<DWORD>(wide.size() * sizeof(wchar_t)),
                      const_cast<wchar_t*>(wide.data())};
  const uint64_t loads = LoadsIssued();
  const auto start = std::chrono::steady_clock::now();
  DWORD_PTR in_front = 0;
  // A copy that cannot make its window (see Run) is replaced.
  for (int attempt = 0; in_front != 1; ++attempt) {
    if (attempt > 0) {
      Forget(program);
      if (const int status = Run(program, &running, error); status != kRunOk) return status;
    }
    if (attempt == 3) return *error = "cannot bring " + program + " to the front", kRunTimedOut;
    AllowSetForegroundWindow(running->process.dwProcessId);
    if (!SendMessageTimeoutW(running->control, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                             SMTO_ABORTIFHUNG, kDeadlineMs, &in_front)) {
      in_front = 0;
    }
  }
  // For bench/wine_autoprofile.sh: from the change to the first IOCTL_PROFILE_LOAD it causes.
  if (GetEnvironmentVariableW(L"SKYHELM_SIM_LOAD_LATENCY", nullptr, 0) != 0) {
    const DWORD deadline = GetTickCount() + kDeadlineMs;
    while (LoadsIssued() == loads && !Expired(deadline)) Sleep(1);
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    if (LoadsIssued() != loads) std::fprintf(stderr, "foreground to load: %.1f ms\n", took.count());
  }
  return AfterFront(before, mark, error);
}

uint64_t ServiceProcess::LoadsIssued() {
  uint64_t loads = 0;
  for (const auto& [name, instance] : present_) loads += model_.IssuedCount(name, IOCTL_PROFILE_LOAD);
  return loads;
}

int ServiceProcess::StartProgram(const std::string& program, std::string* error) {
  Program* running = nullptr;
  if (const int status = Run(program, &running, error); status != kRunOk) return status;
  return Settle(error);
}

int ServiceProcess::ExitProgram(const std::string& program, std::string* error) {
  const auto found = programs_.find(ProgramKey(program));
  if (found == programs_.end()) return *error = program + " is not running", kRunMalformed;
  const HWND before = GetForegroundWindow();
  DWORD front_pid = 0;
  if (before != nullptr) GetWindowThreadProcessId(before, &front_pid);
  const bool was_front = front_pid == found->second.process.dwProcessId;
  const size_t mark = LogSize();
  EndProgram(found->second);
  programs_.erase(found);
  if (!was_front) return Settle(error);
  // Its window went: the desktop comes to the front, whatever window the system would pick.
  SetForegroundWindow(GetDesktopWindow());
  return AfterFront(before, mark, error);
}

int ServiceProcess::Desktop(std::string* error) {
  const HWND before = GetForegroundWindow();
  const size_t mark = LogSize();
  SetForegroundWindow(GetDesktopWindow());
  return AfterFront(before == GetDesktopWindow() ? nullptr : before, mark, error);
}

// The stand-in program that owns the window in front gives it the new title; the service sees
// it through its hook on Windows, through its 250 ms comparison under Wine.
int ServiceProcess::Title(const std::string& title, std::string* error) {
  const HWND front = GetForegroundWindow();
  DWORD pid = 0;
  if (front != nullptr && front != GetDesktopWindow()) GetWindowThreadProcessId(front, &pid);
  const auto owner = std::find_if(programs_.begin(), programs_.end(), [&](const auto& entry) {
    return pid != 0 && entry.second.process.dwProcessId == pid;
  });
  if (owner == programs_.end()) return *error = "the desktop is in front", kRunMalformed;
  const size_t mark = LogSize();
  const std::wstring wide = Wide(title);
  COPYDATASTRUCT data{2, static_cast<DWORD>(wide.size() * sizeof(wchar_t)),
                      const_cast<wchar_t*>(wide.data())};
  DWORD_PTR done = 0;
  if (!SendMessageTimeoutW(owner->second.control, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data),
                           SMTO_ABORTIFHUNG, kDeadlineMs, &done) ||
      done != 1) {
    return *error = "cannot change the title of the window in front", kRunTimedOut;
  }
  if (ServiceRuns() && ServiceHasRules() &&
      !WaitForLog(mark, {L"Auto Profile: foreground: ", L"(process " + std::to_wstring(pid) + L")",
                         L"title \"" + wide + L"\""})) {
    return *error = "the service did not see the new title of the window in front", kRunTimedOut;
  }
  return Settle(error);
}

int ServiceProcess::StartService(std::string* error) {
  if (service_.hProcess != nullptr) return kRunOk;
  // Join the desktop before the service starts: under Wine a service started while no process
  // has joined it may be given a desktop of its own, where its window is not found from here.
  GetDesktopWindow();
  const std::wstring program = (bin_ / "skyhelm.exe").wstring();
  const std::wstring folder = bin_.wstring();
  std::wstring command = L"\"" + program + L"\"";
  if (!journal_.Service()) return *error = "cannot write the run's journal", kRunTimedOut;
  // The service's standard error is a pipe whose lines this process reads.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return *error = "no pipe", kRunTimedOut;
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end;
  startup.hStdError = write_end;
  const BOOL started = CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, folder.c_str(), &startup, &service_);
  CloseHandle(write_end);
  if (!started) {
    CloseHandle(read_end);
    service_ = {};
    return *error = "cannot start " + Narrow(program), kRunTimedOut;
  }
  log_reader_ = std::thread(&ServiceProcess::ReadLog, this, read_end);
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
  // The pipe breaks with the service's end, which ends the reader.
  if (log_reader_.joinable()) log_reader_.join();
  return status;
}

void ServiceProcess::ReadLog(HANDLE pipe) {
  std::string pending;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
    if (echo_log_) std::fwrite(buffer, 1, got, stderr);
    pending.append(buffer, got);
    size_t end = 0;
    std::lock_guard<std::mutex> hold(log_lock_);
    for (size_t line; (line = pending.find('\n', end)) != std::string::npos; end = line + 1) {
      log_.push_back(Wide(pending.substr(end, line - end)));
    }
    pending.erase(0, end);
    log_grew_.notify_all();
  }
  CloseHandle(pipe);
}

size_t ServiceProcess::LogSize() {
  std::lock_guard<std::mutex> hold(log_lock_);
  return log_.size();
}

bool ServiceProcess::WaitForLog(size_t from, std::initializer_list<std::wstring> parts) {
  std::unique_lock<std::mutex> hold(log_lock_);
  return log_grew_.wait_for(hold, std::chrono::milliseconds(kDeadlineMs), [&] {
    for (size_t index = from; index < log_.size(); ++index) {
      if (std::all_of(parts.begin(), parts.end(), [&](const std::wstring& part) {
            return log_[index].find(part) != std::wstring::npos;
          })) {
        return true;
      }
    }
    return false;
  });
}

// The controller's device is ROOT\SKYHELMSIM\<NAME>: the same interface path each time it
// arrives, so that a service that failed to detach it would refuse its return (a path is
// attached once).
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
  // Its clutch wait comes once the service has set it up, unless the service has no handle
  // left on it (its open failed).
  const DWORD attached_by = GetTickCount() + kSettleMs;
  while (model_.OutstandingCount(name, IOCTL_WAIT_CLUTCH_EVENT) == 0 &&
         model_.ConnectionCount(name) != 0 && !Expired(attached_by)) {
    Sleep(5);
  }
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
  known_.insert(name);
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
  for (auto& [path, program] : programs_) EndProgram(program);
  programs_.clear();
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
