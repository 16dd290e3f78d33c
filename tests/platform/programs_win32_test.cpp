// The Windows program seam with real windows of a real stand-in program: the foreground hook's
// callback (called directly, since Wine never delivers its events), the 250 ms comparison of
// window and title under Wine, the running-program list, the watch of a process's end, and the rules folder watch.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/file_watch.h"
#include "platform/programs.h"
#include "platform/sync.h"
#include "platform/win32/foreground_hook.h"

namespace {

constexpr DWORD kDeadlineMs = 10000;

// The stand-in program of this build: one folder above the test program's.
std::wstring ProgramPath() {
  std::vector<wchar_t> module(32768);
  std::wstring path(module.data(), GetModuleFileNameW(nullptr, module.data(), 32768));
  for (int up = 0; up < 2; ++up) path.erase(path.find_last_of(L"\\/"));
  return path + L"\\skyhelm-sim-program.exe";
}

// A running stand-in program, ended on destruction. Wine, busy starting its desktop, now and
// then leaves a new process without windows: such a copy is replaced.
class Program {
 public:
  Program() { Restart(); }
  ~Program() { End(); }
  bool Ready() const { return control_ != nullptr; }
  DWORD id() const { return process_.dwProcessId; }
  // A window of the program titled title, brought to the front.
  HWND Front(const std::wstring& title) {
    COPYDATASTRUCT data{1, static_cast<DWORD>(title.size() * sizeof(wchar_t)),
                        const_cast<wchar_t*>(title.data())};
    for (int attempt = 0; attempt < 3; ++attempt) {
      SendMessageW(control_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
      if (HWND window = FindWindowW(L"SkyhelmSimProgramWindow", title.c_str())) return window;
      End();
      Restart();
    }
    return nullptr;
  }
  void Close() { PostMessageW(control_, WM_CLOSE, 0, 0); }
  // The window last brought to the front is titled title.
  bool Retitle(const std::wstring& title) {
    COPYDATASTRUCT data{2, static_cast<DWORD>(title.size() * sizeof(wchar_t)),
                        const_cast<wchar_t*>(title.data())};
    return SendMessageW(control_, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data)) == 1;
  }

 private:
  void Restart() {
    for (int attempt = 0; attempt < 3 && !Ready(); ++attempt) {
      End();
      std::wstring command = L"\"" + ProgramPath() + L"\"";
      STARTUPINFOW startup{};
      startup.cb = sizeof startup;
      if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process_)) {
        return;
      }
      const std::wstring name = std::to_wstring(process_.dwProcessId);
      for (DWORD start = GetTickCount(); GetTickCount() - start < kDeadlineMs &&
                                         WaitForSingleObject(process_.hProcess, 10) == WAIT_TIMEOUT;) {
        control_ = FindWindowExW(HWND_MESSAGE, nullptr, L"SkyhelmSimProgram", name.c_str());
        if (control_ != nullptr) return;
      }
    }
  }
  void End() {
    control_ = nullptr;
    if (process_.hProcess == nullptr) return;
    TerminateProcess(process_.hProcess, 1);
    WaitForSingleObject(process_.hProcess, kDeadlineMs);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
    process_ = {};
  }

  PROCESS_INFORMATION process_{};
  HWND control_ = nullptr;
};

struct Reports {
  std::vector<platform::ProgramInfo> seen;
  static void Sink(void* self, const platform::ProgramInfo& front) {
    static_cast<Reports*>(self)->seen.push_back(front);
  }
};

bool EndsWith(const std::u16string& text, const std::u16string& end) {
  return text.size() >= end.size() &&
         CompareStringOrdinal(reinterpret_cast<const wchar_t*>(text.c_str() + text.size() - end.size()),
                              static_cast<int>(end.size()), reinterpret_cast<const wchar_t*>(end.c_str()),
                              static_cast<int>(end.size()), TRUE) == CSTR_EQUAL;
}

void Hook(DWORD event, HWND window, LONG object = OBJID_WINDOW) {
  platform::ForegroundEventProc(nullptr, event, window, object, CHILDID_SELF, 0, 0);
}

TEST(ForegroundHook, ReportsEachNewWindowWithPathAndTitleButNeverItsOwnOrOtherEvents) {
  Program program;
  ASSERT_TRUE(program.Ready());
  const HWND game = program.Front(L"Game Window");
  const HWND briefing = program.Front(L"Briefing");
  ASSERT_NE(game, nullptr);
  ASSERT_NE(briefing, nullptr);
  Reports reports;
  platform::ForegroundWatch watch(&Reports::Sink, &reports);
  ASSERT_TRUE(watch.Start());
  ASSERT_EQ(reports.seen.size(), 1u);  // what is in front at the start
  reports.seen.clear();

  Hook(EVENT_SYSTEM_FOREGROUND, game);
  ASSERT_EQ(reports.seen.size(), 1u);
  EXPECT_EQ(reports.seen[0].pid, program.id());
  EXPECT_EQ(reports.seen[0].title, u"Game Window");
  EXPECT_TRUE(EndsWith(reports.seen[0].path, u"\\skyhelm-sim-program.exe"));
  EXPECT_FALSE(reports.seen[0].path_unknown);
  Hook(EVENT_SYSTEM_FOREGROUND, game);  // the same window again is no change
  Hook(EVENT_OBJECT_CREATE, briefing);
  Hook(EVENT_SYSTEM_FOREGROUND, briefing, OBJID_CLIENT);
  const HWND own = CreateWindowExW(0, L"STATIC", L"Own", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                   nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(own, nullptr);
  Hook(EVENT_SYSTEM_FOREGROUND, own);
  DestroyWindow(own);
  EXPECT_EQ(reports.seen.size(), 1u);

  Hook(EVENT_SYSTEM_MINIMIZEEND, briefing);
  // The window in front changes its title: reported once; a name change of a window that is not
  // in front, or of a part of one, is not.
  ASSERT_EQ(GetForegroundWindow(), briefing);
  ASSERT_TRUE(program.Retitle(L"Briefing 2"));
  Hook(EVENT_OBJECT_NAMECHANGE, briefing);
  Hook(EVENT_OBJECT_NAMECHANGE, briefing);
  Hook(EVENT_OBJECT_NAMECHANGE, game);
  Hook(EVENT_OBJECT_NAMECHANGE, briefing, OBJID_CLIENT);
  Hook(EVENT_SYSTEM_FOREGROUND, nullptr);  // nothing in front: the desktop
  ASSERT_EQ(reports.seen.size(), 4u);
  EXPECT_EQ(reports.seen[1].title, u"Briefing");
  EXPECT_EQ(reports.seen[2].title, u"Briefing 2");
  EXPECT_EQ(reports.seen[2].pid, program.id());
  EXPECT_EQ(reports.seen[3].pid, 0u);
  EXPECT_TRUE(reports.seen[3].path.empty());

  watch.Stop();
  Hook(EVENT_SYSTEM_FOREGROUND, game);
  EXPECT_EQ(reports.seen.size(), 4u);
}

// Under Wine the comparison of GetForegroundWindow sees the change; on Windows the hook does.
// Either way it arrives through this thread's message loop.
TEST(ForegroundWatch, SeesARealForegroundChangeThroughTheMessageLoop) {
  Program program;
  ASSERT_TRUE(program.Ready());
  Reports reports;
  platform::ForegroundWatch watch(&Reports::Sink, &reports);
  ASSERT_TRUE(watch.Start());
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  EXPECT_EQ(watch.Polling(), GetProcAddress(ntdll, "wine_get_version") != nullptr);
  ASSERT_NE(program.Front(L"Polled"), nullptr);
  const DWORD start = GetTickCount();
  while (reports.seen.back().title != u"Polled" && GetTickCount() - start < kDeadlineMs) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  EXPECT_EQ(reports.seen.back().title, u"Polled");
  EXPECT_EQ(reports.seen.back().pid, program.id());
  // The same window with a new title is a change too.
  ASSERT_TRUE(program.Retitle(L"Polled again"));
  const DWORD retitled = GetTickCount();
  while (reports.seen.back().title != u"Polled again" && GetTickCount() - retitled < kDeadlineMs) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  EXPECT_EQ(reports.seen.back().title, u"Polled again");
  EXPECT_EQ(reports.seen.back().pid, program.id());
}

TEST(RunningPrograms, ListTheProgramWithItsPathAndSeeItsEndAtOnce) {
  Program program;
  ASSERT_TRUE(program.Ready());
  std::vector<platform::ProgramInfo> running;
  ASSERT_TRUE(platform::RunningPrograms(&running));
  bool listed = false;
  for (const platform::ProgramInfo& info : running) {
    listed = listed || (info.pid == program.id() && EndsWith(info.path, u"\\skyhelm-sim-program.exe"));
  }
  EXPECT_TRUE(listed);

  struct Ended {
    platform::Event event{platform::Event::Kind::kManualReset};
    std::mutex lock;
    std::vector<uint32_t> pids;
    static void Sink(void* self, uint32_t pid) {
      auto* ended = static_cast<Ended*>(self);
      std::lock_guard<std::mutex> hold(ended->lock);
      ended->pids.push_back(pid);
      ended->event.Set();
    }
  } ended;
  platform::ExitWatch exits(&Ended::Sink, &ended);
  ASSERT_TRUE(exits.Watch(program.id()));
  EXPECT_TRUE(exits.Watch(program.id()));  // a second watch of the same process adds nothing
  program.Close();
  ASSERT_TRUE(ended.event.Wait(kDeadlineMs));
  exits.Stop();
  EXPECT_EQ(ended.pids, std::vector<uint32_t>{program.id()});
}

TEST(RulesFile, LiesInAppDataUnlessNamedAndItsFolderWatchSeesEveryKindOfChange) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("skyhelm-watch-" + std::to_string(GetCurrentProcessId()));
  fs::remove_all(folder);
  SetEnvironmentVariableW(L"SKYHELM_RULES", nullptr);
  SetEnvironmentVariableW(L"APPDATA", folder.c_str());
  EXPECT_EQ(fs::path(platform::RulesFilePath()), folder / "Skyhelm" / "rules.toml");
  SetEnvironmentVariableW(L"SKYHELM_RULES", L"D:\\elsewhere.toml");
  EXPECT_EQ(platform::RulesFilePath(), u"D:\\elsewhere.toml");
  SetEnvironmentVariableW(L"SKYHELM_RULES", nullptr);

  // Each kind of change with a fresh watch, so that no report of an earlier step can count.
  const fs::path file = folder / "Skyhelm" / "rules.toml";
  const fs::path next = folder / "Skyhelm" / "next.toml";
  const std::pair<const char*, void (*)(const fs::path&, const fs::path&)> changes[] = {
      {"created", [](const fs::path& file, const fs::path&) { std::ofstream(file) << "a = 1\n"; }},
      {"written", [](const fs::path& file, const fs::path&) { std::ofstream(file, std::ios::app) << "b = 2\n"; }},
      {"replaced by a rename", [](const fs::path& file, const fs::path& next) { fs::rename(next, file); }},
      {"deleted", [](const fs::path& file, const fs::path&) { fs::remove(file); }}};
  for (const auto& [kind, change] : changes) {
    std::ofstream(next) << "c = 3\n";
    platform::Event changed(platform::Event::Kind::kAutoReset);
    platform::FileWatch watch(file.u16string(),
                              [](void* event) { static_cast<platform::Event*>(event)->Set(); }, &changed);
    ASSERT_TRUE(watch.Start()) << kind;  // the first one creates the folder
    change(file, next);
    EXPECT_TRUE(changed.Wait(kDeadlineMs)) << kind;
  }
  fs::remove_all(folder);
}

}  // namespace

#endif  // _WIN32
