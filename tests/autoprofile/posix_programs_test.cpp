// The Linux seams of automatic profiles: the /proc scan with a Wine-style command line, the pidfd
// exit watch, the inotify watch of the rules file, and (under Xvfb, run by
// tests/system/x11_foreground.sh) the X11 foreground watch with a window carrying a real child's
// _NET_WM_PID.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_watch.h"
#include "platform/programs.h"
#include "platform/text.h"
#include "sim_test_support.h"

namespace {

using sim_test::kDeadlineMs;

// A shell that stays alive with "Z:\games\DCS.exe" as its argv[0], as Wine's loader shows the
// game it runs.
class Child {
 public:
  Child() {
    pid_ = fork();
    if (pid_ == 0) {
      // Its own group, so that ending it ends its sleep too.
      setpgid(0, 0);
      execl("/bin/sh", "Z:\\games\\DCS.exe", "-c", "sleep 30; :", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until its exec has finished, the child's command line is not yet the shell's.
    const std::string cmdline = "/proc/" + std::to_string(pid_) + "/cmdline";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream in(cmdline, std::ios::binary);
      const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (line.find("DCS.exe") != std::string::npos) break;
      usleep(1000);
    }
  }
  ~Child() { End(); }
  void End() {
    if (pid_ <= 0) return;
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  uint32_t pid() const { return static_cast<uint32_t>(pid_); }

 private:
  pid_t pid_ = -1;
};

TEST(PosixProgramsTest, TheScanListsAChildWithItsPathAndWindowsName) {
  Child child;
  ASSERT_GT(child.pid(), 0u);
  // The child has exec'd once its executable is the shell.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  platform::ProgramInfo found;
  while (found.windows_path.empty() && std::chrono::steady_clock::now() < deadline) {
    std::vector<platform::ProgramInfo> running;
    ASSERT_TRUE(platform::RunningPrograms(&running));
    for (const platform::ProgramInfo& info : running) {
      if (info.pid == child.pid()) found = info;
    }
    if (found.windows_path.empty()) usleep(20000);
  }
  EXPECT_EQ(found.windows_path, u"Z:\\games\\DCS.exe");
  char target[4096] = {};
  ASSERT_GT(readlink("/bin/sh", target, sizeof target - 1), 0);  // dash, bash, ...
  EXPECT_EQ(platform::FileNameOf(found.path), platform::FileNameOf(platform::FromUtf8(target)));
}

TEST(PosixProgramsTest, AWineProgramIsTheExeWineRunsNotAnyExeInTheArguments) {
  using platform::WineProgramOf;
  const auto line = [](std::initializer_list<const char*> arguments) {
    std::string out;
    for (const char* argument : arguments) out += std::string(argument) + '\0';
    return out;
  };
  // Wine's loader shows the game as argv[0].
  EXPECT_EQ(WineProgramOf("/usr/lib/wine/wine64-preloader", line({"Z:\\games\\DCS.exe"})),
            "Z:\\games\\DCS.exe");
  // A loader started with the game: its first .exe argument.
  EXPECT_EQ(WineProgramOf("/usr/lib/wine/wine64", line({"wine64", "/games/Il-2.exe", "x.exe"})),
            "/games/Il-2.exe");
  EXPECT_EQ(WineProgramOf("/usr/bin/dash", line({"/bin/sh", "/usr/bin/wine", "start", "g.EXE"})),
            "g.EXE");
  EXPECT_EQ(WineProgramOf("/usr/bin/python3.11",
                          line({"python3", "/steam/Proton 8.0/proton", "waitforexitandrun",
                                "/games/Falcon BMS.exe"})),
            "/games/Falcon BMS.exe");
  // Other programs with an .exe among their arguments are themselves.
  EXPECT_EQ(WineProgramOf("/usr/bin/tail", line({"tail", "-f", "game.exe"})), "");
  EXPECT_EQ(WineProgramOf("/usr/bin/dash", line({"sh", "-c", "sleep 30", "Z:\\games\\DCS.exe"})), "");
  EXPECT_EQ(WineProgramOf("/usr/bin/python3", line({"python3", "notes.py", "wine.exe"})), "");
  EXPECT_EQ(WineProgramOf("/usr/bin/winetricks", line({"winetricks", "setup.exe"})), "");
  EXPECT_EQ(WineProgramOf("", ""), "");
}

TEST(PosixProgramsTest, TheExitWatchSeesAChildEndAtOnce) {
  Child child;
  std::mutex mutex;
  std::condition_variable ended;
  std::vector<uint32_t> pids;
  struct Context {
    std::mutex* mutex;
    std::condition_variable* ended;
    std::vector<uint32_t>* pids;
  } context{&mutex, &ended, &pids};
  platform::ExitWatch watch(
      [](void* raw, uint32_t pid) {
        auto* c = static_cast<Context*>(raw);
        std::lock_guard<std::mutex> hold(*c->mutex);
        c->pids->push_back(pid);
        c->ended->notify_all();
      },
      &context);
  ASSERT_TRUE(watch.Watch(child.pid()));
  EXPECT_TRUE(watch.Watch(child.pid()));  // a second watch of the same pid adds nothing
  const uint32_t pid = child.pid();
  child.End();
  std::unique_lock<std::mutex> hold(mutex);
  ASSERT_TRUE(ended.wait_for(hold, std::chrono::milliseconds(kDeadlineMs), [&] { return !pids.empty(); }));
  EXPECT_EQ(pids, std::vector<uint32_t>{pid});
  hold.unlock();
  EXPECT_FALSE(watch.Watch(pid));  // gone: the caller's scan is the fall-back
  watch.Stop();
}

// Counts the watch's reports and waits for the next one.
class ChangeCounter {
 public:
  static void Changed(void* self) {
    auto* counter = static_cast<ChangeCounter*>(self);
    std::lock_guard<std::mutex> hold(counter->mutex_);
    ++counter->count_;
    counter->changed_.notify_all();
  }
  int count() {
    std::lock_guard<std::mutex> hold(mutex_);
    return count_;
  }
  bool WaitMoreThan(int count) {
    std::unique_lock<std::mutex> hold(mutex_);
    return changed_.wait_for(hold, std::chrono::milliseconds(kDeadlineMs), [&] { return count_ > count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

TEST(FileWatchTest, SeesTheFileCreatedWrittenRenamedOverAndDeleted) {
  namespace fs = std::filesystem;
  const fs::path folder = fs::temp_directory_path() / ("skyhelm-watch-" + std::to_string(getpid()));
  fs::remove_all(folder);
  const fs::path file = folder / "config" / "rules.toml";  // the folder is created by Start
  ChangeCounter counter;
  platform::FileWatch watch(platform::FromUtf8(file.string()), &ChangeCounter::Changed, &counter);
  ASSERT_TRUE(watch.Start());
  ASSERT_TRUE(fs::is_directory(file.parent_path()));
  int seen = counter.count();
  std::ofstream(file) << "delay_ms = 1\n";  // created and written: one report once closed
  ASSERT_TRUE(counter.WaitMoreThan(seen));
  seen = counter.count();
  std::ofstream(folder / "config" / "new.toml") << "delay_ms = 2\n";
  fs::rename(folder / "config" / "new.toml", file);  // replaced by a rename
  ASSERT_TRUE(counter.WaitMoreThan(seen));
  seen = counter.count();
  fs::remove(file);
  ASSERT_TRUE(counter.WaitMoreThan(seen));
  watch.Stop();
  fs::remove_all(folder);
}

// Sets a property of window on the test's own X11 connection.
void SetProperty(xcb_connection_t* x, xcb_window_t window, const char* name, xcb_atom_t type,
                 uint8_t format, const void* data, uint32_t count) {
  xcb_intern_atom_reply_t* atom =
      xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, std::strlen(name), name), nullptr);
  ASSERT_NE(atom, nullptr);
  xcb_change_property(x, XCB_PROP_MODE_REPLACE, window, atom->atom, type, format, count, data);
  free(atom);
  xcb_flush(x);
}

xcb_atom_t AtomOf(xcb_connection_t* x, const char* name) {
  xcb_intern_atom_reply_t* atom =
      xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, std::strlen(name), name), nullptr);
  const xcb_atom_t value = atom != nullptr ? atom->atom : 0;
  free(atom);
  return value;
}

TEST(X11ForegroundTest, ReportsTheActiveWindowsProgramTitleAndTheDesktop) {
  if (std::getenv("SKYHELM_X11_TEST") == nullptr) GTEST_SKIP() << "run by x11_foreground.sh under Xvfb";
  Child child;
  int screen_number = 0;
  xcb_connection_t* x = xcb_connect(nullptr, &screen_number);
  ASSERT_EQ(xcb_connection_has_error(x), 0);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
  const xcb_window_t game = xcb_generate_id(x);
  xcb_create_window(x, XCB_COPY_FROM_PARENT, game, root, 0, 0, 10, 10, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  const uint32_t pid = child.pid();
  SetProperty(x, game, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, &pid, 1);
  const std::string title = "Falcon BMS \xE2\x80\x93 4.37";
  SetProperty(x, game, "_NET_WM_NAME", AtomOf(x, "UTF8_STRING"), 8, title.data(), title.size());
  const xcb_window_t notes = xcb_generate_id(x);
  xcb_create_window(x, XCB_COPY_FROM_PARENT, notes, root, 0, 0, 10, 10, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  const char latin1[] = "Caf\xE9";
  SetProperty(x, notes, "WM_NAME", XCB_ATOM_STRING, 8, latin1, 4);

  std::vector<platform::ProgramInfo> seen;
  platform::ForegroundWatch watch(
      [](void* out, const platform::ProgramInfo& front) {
        static_cast<std::vector<platform::ProgramInfo>*>(out)->push_back(front);
      },
      &seen);
  ASSERT_TRUE(watch.Start());
  ASSERT_EQ(seen.size(), 1u);  // what is in front at the start: nothing yet
  EXPECT_EQ(seen[0].pid, 0u);
  // Each change of _NET_ACTIVE_WINDOW, and of the active window's title, is one report, read
  // when the watch's descriptor wakes.
  auto report_after = [&](auto change) {
    const size_t before = seen.size();
    change();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
    while (seen.size() == before && std::chrono::steady_clock::now() < deadline) {
      pollfd wait{watch.PollFd(), POLLIN, 0};
      poll(&wait, 1, 100);
      ASSERT_TRUE(watch.Dispatch());
    }
    ASSERT_EQ(seen.size(), before + 1);
  };
  auto activate = [&](xcb_window_t window) {
    report_after([&] { SetProperty(x, root, "_NET_ACTIVE_WINDOW", XCB_ATOM_WINDOW, 32, &window, 1); });
  };
  activate(game);
  EXPECT_EQ(seen.back().pid, pid);
  EXPECT_EQ(seen.back().title, platform::FromUtf8(title));
  EXPECT_EQ(seen.back().windows_path, u"Z:\\games\\DCS.exe");
  EXPECT_FALSE(seen.back().path.empty());
  // The game's real title after "Loading...": the same program, the new title.
  report_after([&] { SetProperty(x, game, "_NET_WM_NAME", AtomOf(x, "UTF8_STRING"), 8, "Loaded", 6); });
  EXPECT_EQ(seen.back().pid, pid);
  EXPECT_EQ(seen.back().windows_path, u"Z:\\games\\DCS.exe");
  EXPECT_EQ(seen.back().title, u"Loaded");
  activate(notes);  // no _NET_WM_PID: a window whose program is unknown, by its title
  EXPECT_EQ(seen.back().kind(), platform::ProgramInfo::Kind::kUnknownProgram);
  EXPECT_EQ(seen.back().title, u"Caf\u00e9");
  // The game is no longer followed: only the title of the window in front is reported (WM_NAME
  // too, for a window without _NET_WM_NAME).
  report_after([&] {
    SetProperty(x, game, "_NET_WM_NAME", AtomOf(x, "UTF8_STRING"), 8, "Behind", 6);
    SetProperty(x, notes, "WM_NAME", XCB_ATOM_STRING, 8, "Notes", 5);
  });
  EXPECT_EQ(seen.back().title, u"Notes");
  activate(XCB_WINDOW_NONE);
  EXPECT_EQ(seen.back().pid, 0u);
  EXPECT_TRUE(seen.back().path.empty());
  watch.Stop();
  xcb_disconnect(x);
}

}  // namespace
#endif
