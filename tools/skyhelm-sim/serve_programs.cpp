// The demo programs of skyhelm-sim serve: copies of sleep(1) named like games (in
// /tmp/skyhelm-demo-PID-XXXXXX, PID serve's), which end with serve, each with an X11 window that
// carries its _NET_WM_PID and title, made active through _NET_ACTIVE_WINDOW on the root window
// (what a window manager does when a window takes the focus).
#include "serve_programs.h"

#ifndef _WIN32

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace simtool {
namespace {

namespace fs = std::filesystem;

struct Demo {
  const char* program;
  const char* title;
};
// Index 0 is the desktop.
const Demo kDemos[] = {{"", ""}, {"DCS.exe", "DCS World"}, {"Il-2.exe", "IL-2 Sturmovik"},
                       {"Falcon BMS.exe", "Falcon BMS 4.37"}};
constexpr size_t kCount = sizeof kDemos / sizeof kDemos[0];

}  // namespace

struct DemoPrograms::State {
  fs::path folder;
  pid_t pids[kCount] = {};
  xcb_connection_t* x = nullptr;
  xcb_window_t root = 0;
  xcb_window_t windows[kCount] = {};
  size_t front = 0;

  xcb_atom_t Atom(const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        x, xcb_intern_atom(x, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : 0;
    std::free(reply);
    return atom;
  }

  void StartProgram(size_t index) {
    if (pids[index] > 0) return;
    const fs::path program = folder / kDemos[index].program;
    std::error_code ignored;
    fs::copy_file("/bin/sleep", program, fs::copy_options::overwrite_existing, ignored);
    const pid_t serve = getpid();
    pids[index] = fork();
    if (pids[index] == 0) {
      // Ends with serve however serve ends (a kill too), never running on by itself; serve may
      // have ended already before the request took hold.
      if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != serve) _exit(127);
      execl(program.c_str(), kDemos[index].program, "infinity", static_cast<char*>(nullptr));
      _exit(127);
    }
    // Until the child has run exec, /proc names this program as its executable.
    const fs::path exe = "/proc/" + std::to_string(pids[index]) + "/exe";
    for (int tries = 0; tries < 100 && fs::read_symlink(exe, ignored) != program; ++tries) {
      usleep(10000);
    }
  }

  void ShowWindow(size_t index) {
    if (x == nullptr) return;
    if (index != 0 && windows[index] == 0) {
      windows[index] = xcb_generate_id(x);
      xcb_create_window(x, XCB_COPY_FROM_PARENT, windows[index], root, 0, 0, 1, 1, 0,
                        XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
      const uint32_t pid = static_cast<uint32_t>(pids[index]);
      xcb_change_property(x, XCB_PROP_MODE_REPLACE, windows[index], Atom("_NET_WM_PID"),
                          XCB_ATOM_CARDINAL, 32, 1, &pid);
      const char* title = kDemos[index].title;
      xcb_change_property(x, XCB_PROP_MODE_REPLACE, windows[index], Atom("_NET_WM_NAME"),
                          Atom("UTF8_STRING"), 8, static_cast<uint32_t>(std::strlen(title)), title);
    }
    const xcb_window_t active = windows[index];
    xcb_change_property(x, XCB_PROP_MODE_REPLACE, root, Atom("_NET_ACTIVE_WINDOW"), XCB_ATOM_WINDOW,
                        32, 1, &active);
    xcb_flush(x);
  }
};

// Removes the folders of demo programs whose serve has ended without removing them (killed):
// /tmp/skyhelm-demo-PID-XXXXXX, PID serve's.
void RemoveStaleFolders() {
  std::error_code failed;
  for (fs::directory_iterator it("/tmp", failed), end; !failed && it != end; it.increment(failed)) {
    const std::string name = it->path().filename().string();
    constexpr char kPrefix[] = "skyhelm-demo-";
    if (name.rfind(kPrefix, 0) != 0) continue;
    char* after = nullptr;
    const long pid = std::strtol(name.c_str() + sizeof kPrefix - 1, &after, 10);
    if (pid <= 0 || *after != '-') continue;  // not one of these
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      fs::remove_all(it->path(), ignored);  // another user's stays: not ours to remove
    }
  }
}

DemoPrograms::DemoPrograms() : state_(std::make_unique<State>()) {
  RemoveStaleFolders();
  std::string pattern = "/tmp/skyhelm-demo-" + std::to_string(getpid()) + "-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) state_->folder = pattern;
  const char* display = std::getenv("DISPLAY");
  if (display != nullptr && *display != '\0') {
    state_->x = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(state_->x)) {
      xcb_disconnect(state_->x);
      state_->x = nullptr;
    } else {
      state_->root = xcb_setup_roots_iterator(xcb_get_setup(state_->x)).data->root;
    }
  }
}

DemoPrograms::~DemoPrograms() {
  for (pid_t pid : state_->pids) {
    if (pid <= 0) continue;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
  if (state_->x != nullptr) xcb_disconnect(state_->x);
  std::error_code ignored;
  if (!state_->folder.empty()) fs::remove_all(state_->folder, ignored);
}

void DemoPrograms::Next() {
  if (state_->folder.empty()) return;
  state_->front = (state_->front + 1) % kCount;
  if (state_->front != 0) state_->StartProgram(state_->front);
  state_->ShowWindow(state_->front);
}

std::string DemoPrograms::Describe() const {
  const Demo& demo = kDemos[state_->front];
  std::string text = state_->front == 0 ? "desktop"
                                        : std::string(demo.program) + " \"" + demo.title + "\"";
  if (state_->x == nullptr) text += " (no X11 display: running only)";
  return text;
}

}  // namespace simtool

#endif  // _WIN32
