// skyhelm-sim hostile: the real service process against the stand-in kernel driver whose host
// turns hostile (sim/win32/hostile_host.h) while controllers come and go, then checks that the
// service stayed up, attaches the controllers again and answers a clutch event, attaches a
// controller that answers neither its open nor its HID question nor a cancel without holding its
// window thread for long, gave back its handles and threads, and ends with 0 within a second of
// WM_CLOSE.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "commands.h"

#ifndef _WIN32

namespace simtool {

int RunHostile(const std::vector<std::string>&) {
  std::fputs("skyhelm-sim hostile: only on Windows (the Linux service has hostile_driver.py)\n",
             stderr);
  return 2;
}

}  // namespace simtool

#else

#include <windows.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>

#include "driver/control_codes.h"
#include "scenario.h"
#include "sim/win32/hostile_host.h"

namespace simtool {
namespace {

namespace fs = std::filesystem;

constexpr wchar_t kServiceWindowClass[] = L"Corvane.Vexmoor.Skyhelm";
// How far the service's handles and threads may stay above their counts before the faults.
constexpr DWORD kHandleSlack = 8;
constexpr DWORD kThreadSlack = 1;
// How long the service may take to come back after the faults (sessions caught in a fault end
// by the service's own request time limits).
constexpr DWORD kRecoveryMs = 60000;
constexpr DWORD kCloseLimitMs = 1000;
// How long one controller that answers nothing may hold the service's window thread.
constexpr DWORD kWindowHeldLimitMs = 30000;

bool Expired(ULONGLONG deadline) { return GetTickCount64() >= deadline; }

struct Counts {
  DWORD handles = 0;
  DWORD threads = 0;
  bool operator==(const Counts& other) const {
    return handles == other.handles && threads == other.threads;
  }
};

class HostileRun {
 public:
  HostileRun(Scenario& scenario, ServiceSide& side, sim::HostileHost& hostile, uint64_t seed,
             int controllers)
      : scenario_(scenario), side_(side), hostile_(hostile), random_(seed + 1) {
    for (int i = 1; i <= controllers; ++i) names_.push_back("H" + std::to_string(i));
  }

  // Returns the exit status; says why on standard error.
  int Play(uint32_t seconds);

 private:
  bool Fail(const std::string& why) {
    failure_ = why;
    return false;
  }
  bool Step(std::vector<std::string> words);
  bool Alive();
  bool Measure(Counts* out);
  // Waits until the counts stay the same for a second; false when they never do.
  bool Steady(Counts* out, DWORD limit_ms);
  bool Calm();
  bool Chaos(uint32_t seconds);
  bool AttachAll();
  bool ClutchRound(const std::vector<std::string>& names);
  bool Close();
  void Toggle(const std::string& name);
  bool SilentController();
  bool WaitSilenced(sim::HostileHost::Silence what, const std::string& name);
  bool WindowAnswers(ULONGLONG since, const std::string& figure);
  bool Replug(const std::string& name);

  Scenario& scenario_;
  ServiceSide& side_;
  sim::HostileHost& hostile_;
  std::mt19937_64 random_;
  std::vector<std::string> names_;
  std::map<std::string, bool> present_;
  std::multimap<ULONGLONG, std::string> returns_;  // controllers due to come back
  std::map<std::string, uint64_t> figures_;
  std::string failure_;
  const ULONGLONG start_ = GetTickCount64();
};

// Seconds since start, for the figures of each phase.
double Since(ULONGLONG start) { return static_cast<double>(GetTickCount64() - start) / 1000.0; }

bool HostileRun::Step(std::vector<std::string> words) {
  std::string error;
  const int status = scenario_.Step(words, &error);
  if (status == kRunOk) return true;
  std::string line;
  for (const std::string& word : words) line += word + " ";
  return Fail("step '" + line + "' failed: " + error);
}

bool HostileRun::Alive() {
  HANDLE process = side_.ServiceProcessHandle();
  if (process == nullptr) return Fail("the service is not running");
  if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
    return Fail(std::string("the service ended with ") + hex);
  }
  return true;
}

// The handles of process pid in the system's handle table; 0 when it cannot be read.
DWORD HandlesInSystemTable(DWORD pid) {
  using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return 0;
  constexpr ULONG kSystemHandleInformation = 16;
  std::vector<unsigned char> buffer(1 << 20);
  for (int tries = 0; tries < 6; ++tries) {
    ULONG needed = 0;
    const LONG status = query(kSystemHandleInformation, buffer.data(),
                              static_cast<ULONG>(buffer.size()), &needed);
    if (status == 0) {
      const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
      DWORD count = 0;
      for (ULONG i = 0; i < table->Count; ++i) count += table->Handle[i].OwnerPid == pid ? 1 : 0;
      return count;
    }
    buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
  }
  return 0;
}

bool HostileRun::Measure(Counts* out) {
  HANDLE process = side_.ServiceProcessHandle();
  if (process == nullptr || !GetProcessHandleCount(process, &out->handles)) {
    return Fail("cannot read the service's handle count (error " +
                std::to_string(GetLastError()) + ")");
  }
  const DWORD id = GetProcessId(process);
  // Wine answers 0 for another process; its system handle table has the count.
  if (out->handles == 0) out->handles = HandlesInSystemTable(id);
  if (out->handles == 0) return Fail("cannot read the service's handle count");
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return Fail("cannot list the service's threads");
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  out->threads = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == id) ++out->threads;
  }
  CloseHandle(snapshot);
  return true;
}

bool HostileRun::Steady(Counts* out, DWORD limit_ms) {
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  Counts last;
  int same = 0;
  while (!Expired(deadline)) {
    Sleep(200);
    Counts now;
    if (!Alive() || !Measure(&now)) return false;
    same = now == last ? same + 1 : 0;
    last = now;
    if (same >= 5) {
      *out = now;
      return true;
    }
  }
  *out = last;
  return false;
}

// Every controller attached, its clutch wait outstanding once.
bool HostileRun::AttachAll() {
  std::string error;
  for (const std::string& name : names_) {
    if (side_.Plug(name, true, &error) != kRunOk) return Fail(error);
    present_[name] = true;
  }
  sim::DriverModel& model = scenario_.model();
  const ULONGLONG deadline = GetTickCount64() + kRecoveryMs;
  for (const std::string& name : names_) {
    for (;;) {
      if (!Alive()) return false;
      if (model.OutstandingCount(name, IOCTL_WAIT_CLUTCH_EVENT) == 1) break;
      if (Expired(deadline)) {
        return Fail("controller " + name + " was not attached again within " +
                    std::to_string(kRecoveryMs / 1000) + " s (" +
                    std::to_string(model.OutstandingCount(name, IOCTL_WAIT_CLUTCH_EVENT)) +
                    " clutch waits outstanding)");
      }
      model.WaitForOutstanding(name, IOCTL_WAIT_CLUTCH_EVENT, 500);
    }
  }
  std::string ignored;
  side_.Settle(&ignored);
  return true;
}

// Engage and release on each controller: answered with the clutch text and mode.
bool HostileRun::ClutchRound(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    scenario_.model().ClearTrace();
    if (!Step({"clutch", name, "1", "0"}) || !Step({"clutch", name, "0", "0"})) return false;
    bool text = false, mode = false;
    const std::string dev = "\"dev\":\"" + name + "\"";
    for (const std::string& line : scenario_.model().Trace()) {
      if (line.find(dev) == std::string::npos) continue;
      text = text || line.find("\"code\":\"IOCTL_SET_CLUTCH_TEXT\",\"ok\":true") != std::string::npos;
      mode = mode || line.find("\"code\":\"IOCTL_SET_CLUTCH_MODE\",\"ok\":true") != std::string::npos;
    }
    if (!text || !mode) return Fail("the clutch events on " + name + " were not answered");
  }
  scenario_.model().ClearTrace();
  return true;
}

void HostileRun::Toggle(const std::string& name) {
  std::string error;
  if (present_[name]) {
    const bool pending = hostile_.Holds(name);
    if (side_.Plug(name, false, &error) != kRunOk) return;
    present_[name] = false;
    ++figures_["controllers removed"];
    if (pending) ++figures_["controllers removed with requests held unanswered"];
    if (std::uniform_real_distribution<double>(0, 1)(random_) < 0.7) {
      returns_.emplace(GetTickCount64() + 50 + random_() % 1450, name);
    }
  } else if (side_.Plug(name, true, &error) == kRunOk) {
    present_[name] = true;
    ++figures_["controllers arrived"];
  }
}

bool HostileRun::Chaos(uint32_t seconds) {
  hostile_.SetHostile(true);
  std::exponential_distribution<double> event_gap(20.0), toggle_gap(1.0);
  const ULONGLONG start = GetTickCount64();
  const ULONGLONG end = start + seconds * 1000ull;
  ULONGLONG next_event = start, next_toggle = start + 500, next_check = start + 1000;
  while (!Expired(end)) {
    const ULONGLONG now = GetTickCount64();
    if (now >= next_event) {
      std::vector<std::string> present;
      for (const std::string& name : names_) {
        if (present_[name]) present.push_back(name);
      }
      hostile_.RaiseEvent(present);
      next_event = now + static_cast<ULONGLONG>(event_gap(random_) * 1000);
    }
    if (now >= next_toggle) {
      Toggle(names_[random_() % names_.size()]);
      next_toggle = GetTickCount64() + static_cast<ULONGLONG>(toggle_gap(random_) * 1000);
    }
    while (!returns_.empty() && returns_.begin()->first <= GetTickCount64()) {
      const std::string name = returns_.begin()->second;
      returns_.erase(returns_.begin());
      if (!present_[name]) Toggle(name);
    }
    if (now >= next_check) {
      if (!Alive()) return false;
      scenario_.model().ClearTrace();  // the trace of a long run would only grow
      next_check = now + 1000;
    }
    Sleep(5);
  }
  figures_["requests the service made"] = scenario_.model().RecordCount();
  hostile_.SetHostile(false);
  returns_.clear();
  return true;
}

bool HostileRun::Calm() {
  // Every controller arrives anew: one whose open was refused at its last arrival stays
  // unattached until then, as a real controller would until it is plugged in again.
  std::string error;
  for (const std::string& name : names_) {
    if (side_.Plug(name, false, &error) != kRunOk) return Fail(error);
    present_[name] = false;
  }
  if (!AttachAll()) return false;
  // A request the driver never answers, met while handling a clutch event: the service gets
  // past it by itself (its request time limit) and waits for the next event. The other
  // controllers meanwhile answer theirs.
  const std::string& stuck = names_.front();
  sim::DriverModel& model = scenario_.model();
  const uint64_t issued = model.IssuedCount(stuck, IOCTL_WAIT_CLUTCH_EVENT);
  hostile_.NeverAnswerNext(stuck);
  // A release while released: the event is handled (a session is set up for it) and leaves the
  // clutch as the round below expects it.
  model.RaiseClutchEvent(stuck, 0, 0);
  if (!ClutchRound({names_.begin() + 1, names_.end()})) return false;
  const ULONGLONG deadline = GetTickCount64() + kRecoveryMs;
  while (!model.WaitForIssued(stuck, IOCTL_WAIT_CLUTCH_EVENT, issued + 1, 500)) {
    if (!Alive()) return false;
    if (Expired(deadline)) {
      return Fail(std::string("the clutch event on ") + stuck + " that met a request never " +
                  (hostile_.NeverAnswered() ? "answered" : "answered (it never came)") +
                  " was not handled within " + std::to_string(kRecoveryMs / 1000) + " s");
    }
  }
  ++figures_["requests never answered that the service gave up on"];
  return ClutchRound({stuck}) && SilentController();
}

bool HostileRun::Replug(const std::string& name) {
  std::string error;
  if (side_.Plug(name, false, &error) != kRunOk || side_.Plug(name, true, &error) != kRunOk) {
    return Fail(error);
  }
  return true;
}

bool HostileRun::WaitSilenced(sim::HostileHost::Silence what, const std::string& name) {
  const ULONGLONG deadline = GetTickCount64() + 20000;
  while (hostile_.Armed(what)) {
    if (!Alive()) return false;
    if (Expired(deadline)) return Fail("the service never asked " + name + " what was to go unanswered");
    Sleep(20);
  }
  return true;
}

// The window thread attaches controllers: it must answer again within the limit however
// silent the controller it attaches. The time from the arrival until it answered is a figure.
bool HostileRun::WindowAnswers(ULONGLONG since, const std::string& figure) {
  HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kServiceWindowClass, nullptr);
  if (window == nullptr) return Fail("the service's window is gone");
  DWORD_PTR ignored = 0;
  if (!SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_NORMAL, kWindowHeldLimitMs, &ignored)) {
    return Fail("the service's window thread was held for more than " +
                std::to_string(kWindowHeldLimitMs / 1000) + " s (" + figure + ")");
  }
  figures_[figure] = GetTickCount64() - since;
  return true;
}

// One controller answers nothing of what its attach asks at first: its open, then, arriving
// again, its HID question and a cancel. The service gives each up and attaches it all the same.
bool HostileRun::SilentController() {
  using Silence = sim::HostileHost::Silence;
  const std::string& stuck = names_.front();
  hostile_.SilenceNext(stuck, Silence::kOpen);
  if (!Replug(stuck)) return false;
  ULONGLONG arrived = GetTickCount64();
  if (!WaitSilenced(Silence::kOpen, stuck) ||
      !WindowAnswers(arrived, "ms the window thread was held by an open never answered")) {
    return false;
  }
  // The removal ends the open the driver still holds.
  std::string error;
  if (side_.Plug(stuck, false, &error) != kRunOk) return Fail(error);
  Sleep(300);  // the detach's own cancels come first
  hostile_.SilenceNext(stuck, Silence::kHidQuestion);
  hostile_.SilenceNext(stuck, Silence::kCancel);
  if (side_.Plug(stuck, true, &error) != kRunOk) return Fail(error);
  arrived = GetTickCount64();
  if (!WaitSilenced(Silence::kHidQuestion, stuck) ||
      !WindowAnswers(arrived,
                     "ms the window thread was held by a HID question and a cancel never answered")) {
    return false;
  }
  if (!hostile_.Armed(Silence::kCancel)) ++figures_["cancels never answered while attaching"];
  hostile_.SilenceNext("", Silence::kCancel);
  sim::DriverModel& model = scenario_.model();
  const ULONGLONG deadline = GetTickCount64() + kRecoveryMs;
  while (model.OutstandingCount(stuck, IOCTL_WAIT_CLUTCH_EVENT) != 1) {
    if (!Alive()) return false;
    if (Expired(deadline)) return Fail("the silent controller " + stuck + " was never attached");
    model.WaitForOutstanding(stuck, IOCTL_WAIT_CLUTCH_EVENT, 500);
  }
  std::string ignored;
  side_.Settle(&ignored);
  return ClutchRound({stuck});
}

bool HostileRun::Close() {
  HANDLE process = side_.ServiceProcessHandle();
  HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kServiceWindowClass, nullptr);
  if (window == nullptr) return Fail("the service's window is gone");
  const ULONGLONG start = GetTickCount64();
  if (!PostMessageW(window, WM_CLOSE, 0, 0)) return Fail("cannot post WM_CLOSE");
  const DWORD waited = WaitForSingleObject(process, 5000);
  const ULONGLONG elapsed = GetTickCount64() - start;
  DWORD code = 1;
  if (waited != WAIT_OBJECT_0) return Fail("the service still ran 5 s after WM_CLOSE");
  GetExitCodeProcess(process, &code);
  std::printf("WM_CLOSE: the service ended with %lu after %llu ms\n",
              static_cast<unsigned long>(code), elapsed);
  if (code != 0) return Fail("the service ended with " + std::to_string(code) + " on WM_CLOSE");
  if (elapsed > kCloseLimitMs) {
    return Fail("the service took " + std::to_string(elapsed) + " ms to end on WM_CLOSE");
  }
  return true;
}

int HostileRun::Play(uint32_t seconds) {
  bool ok = Step({"folder", "documents/Corvane/Sub"}) &&
            Step({"document", "documents/Corvane/Alpha.pr0", "[profile]"}) &&
            Step({"document", "documents/Corvane/Beta.pr0", "[profile]"}) &&
            Step({"document", "documents/Corvane/Sub/Gamma.pr0", "[profile]"});
  for (const std::string& name : names_) ok = ok && Step({"controller", name});
  ok = ok && AttachAll() && ClutchRound(names_);
  Counts before, after;
  if (ok && !Steady(&before, 30000)) ok = Fail(failure_.empty() ? "the service never settled" : failure_);
  if (ok) {
    std::printf("before the faults (at %.1f s): %lu handles, %lu threads\n", Since(start_),
                static_cast<unsigned long>(before.handles), static_cast<unsigned long>(before.threads));
    std::fflush(stdout);
  }
  ok = ok && Chaos(seconds);
  const ULONGLONG calm = GetTickCount64();
  ok = ok && Calm();
  if (ok) std::printf("after the faults: attached and answering again after %.1f s\n", Since(calm));
  if (ok) {
    // Sessions that ended late may still be giving back what they held.
    const ULONGLONG deadline = GetTickCount64() + 20000;
    do {
      ok = Steady(&after, 10000);
    } while (ok && (after.handles > before.handles + kHandleSlack ||
                    after.threads > before.threads + kThreadSlack) &&
             !Expired(deadline));
    if (ok) {
      std::printf("after the faults (at %.1f s): %lu handles, %lu threads\n", Since(start_),
                  static_cast<unsigned long>(after.handles), static_cast<unsigned long>(after.threads));
      if (after.handles > before.handles + kHandleSlack ||
          after.threads > before.threads + kThreadSlack) {
        ok = Fail("the service kept handles or threads");
      }
    } else if (failure_.empty()) {
      ok = Fail("the service's handles and threads never settled");
    }
  }
  std::printf("faults served: %s\n", hostile_.CountsJson().c_str());
  std::string figures;
  for (const auto& [what, count] : figures_) {
    figures += (figures.empty() ? "" : ", ") + ("\"" + what + "\": ") + std::to_string(count);
  }
  std::printf("run: {%s}\n", figures.c_str());
  std::fflush(stdout);
  ok = ok && Close();
  if (!ok) {
    std::fprintf(stderr, "FAIL: %s\n", failure_.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int RunHostile(const std::vector<std::string>& args) {
  uint64_t seed = 13;
  uint32_t seconds = 60;
  int controllers = 3;
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    const std::string& option = args[i];
    const unsigned long long value = std::strtoull(args[i + 1].c_str(), nullptr, 10);
    if (option == "--seed") seed = value;
    else if (option == "--seconds") seconds = static_cast<uint32_t>(value);
    else if (option == "--controllers" && value >= 1 && value <= 9) controllers = static_cast<int>(value);
    else return 2;
  }
  if (args.size() % 2 != 0) return 2;
  const fs::path work = fs::temp_directory_path() /
                        ("skyhelm-hostile-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(GetTickCount()));
  if (!MakeRoot(work / "root") || !PrepareServiceFolder(work / "bin")) {
    std::fprintf(stderr, "skyhelm-sim hostile: cannot prepare %s\n", Utf8Of(work).c_str());
    return 1;
  }
  // Each line as it comes, also through a pipe: a run that hangs shows how far it got.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  std::printf("seed %llu, %u s of faults, %d controllers\n", static_cast<unsigned long long>(seed),
              seconds, controllers);
  int status = 1;
  {
    Scenario scenario(Utf8Of(work / "root"), Utf8Of(work / "bin"), stdout);
    std::unique_ptr<ServiceSide> side = MakeServiceProcess(scenario.model(), work, false);
    if (side != nullptr) {
      scenario.SetServiceSide(side.get());
      sim::HostileHost hostile(*side->Host(), scenario.model(), seed);
      side->Host()->SetInterceptor(&hostile);
      HostileRun run(scenario, *side, hostile, seed, controllers);
      status = run.Play(seconds);
      // Late answers end before the host does.
      hostile.Stop();
      std::string error;
      if (side->Finish(&error) != kRunOk && status == 0) {
        std::fprintf(stderr, "FAIL: %s\n", error.c_str());
        status = 1;
      }
    }
  }
  std::error_code ignored;
  fs::remove_all(work, ignored);
  if (status == 0) std::printf("PASS\n");
  return status;
}

}  // namespace simtool

#endif  // _WIN32
