// Programs on Linux: the window in front from X11 (_NET_ACTIVE_WINDOW through libxcb, and the
// title of that window as it changes), the running programs from /proc, and their ends through pidfd_open.
#include "platform/programs.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/text.h"

namespace platform {
namespace {

bool EndsWithExe(const std::string& text) {
  if (text.size() < 4) return false;
  std::string tail = text.substr(text.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".exe";
}

// The file name after the last '/' (Wine's own paths and scripts are Unix paths).
std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsWineLoader(const std::string& path) {
  const std::string name = BaseName(path);
  return name == "wine" || name == "wine64" || name == "wine-preloader" ||
         name == "wine64-preloader" || name == "proton";
}

// A shell or Python: a loader that is a script (Debian's wine, Proton) runs under one of them.
bool IsInterpreter(const std::string& path) {
  const std::string name = BaseName(path);
  return name == "sh" || name == "bash" || name == "dash" || name.rfind("python", 0) == 0;
}

// The process's executable, and for a Wine or Proton program the .exe it runs.
ProgramInfo ProgramOfPid(uint32_t pid) {
  ProgramInfo info;
  info.pid = pid;
  const std::string folder = "/proc/" + std::to_string(pid);
  std::string target(4096, '\0');
  const ssize_t length = readlink((folder + "/exe").c_str(), target.data(), target.size());
  if (length > 0 && static_cast<size_t>(length) < target.size()) {
    target.resize(static_cast<size_t>(length));
    info.path = FromUtf8(target);
  } else {
    target.clear();
    info.path_unknown = true;  // another user's process, or one that has just ended
  }
  std::ifstream in(folder + "/cmdline", std::ios::binary);
  const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  info.windows_path = FromUtf8(WineProgramOf(target, line));
  // A program whose own file is the .exe (the demo programs) is no Wine program.
  if (FileNameOf(info.windows_path) == FileNameOf(info.path)) info.windows_path.clear();
  // The .exe is known even when the loader's own path is not.
  if (!info.windows_path.empty()) info.path_unknown = false;
  return info;
}

}  // namespace

std::string WineProgramOf(const std::string& executable, const std::string& command_line) {
  std::vector<std::string> arguments;
  for (size_t start = 0; start < command_line.size();) {
    size_t end = command_line.find('\0', start);
    if (end == std::string::npos) end = command_line.size();
    arguments.push_back(command_line.substr(start, end - start));
    start = end + 1;
  }
  if (arguments.empty()) return std::string();
  if (EndsWithExe(arguments[0])) return arguments[0];
  const bool loader = IsWineLoader(executable) || IsWineLoader(arguments[0]) ||
                      (arguments.size() > 1 && IsInterpreter(arguments[0]) &&
                       IsWineLoader(arguments[1]));
  if (!loader) return std::string();
  for (size_t i = 1; i < arguments.size(); ++i) {
    if (EndsWithExe(arguments[i])) return arguments[i];
  }
  return std::string();
}

// ---- foreground ----

struct ForegroundWatch::State {
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = 0;
  xcb_atom_t active = 0, pid = 0, net_name = 0, utf8 = 0;
  xcb_window_t last = 0;  // the active window; its property changes are selected
  ProgramInfo front;      // what was last reported

  ~State() {
    if (connection != nullptr) xcb_disconnect(connection);
  }

  xcb_atom_t Atom(const char* name) {
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(strlen(name)), name),
        nullptr);
    const xcb_atom_t atom = reply != nullptr ? reply->atom : 0;
    free(reply);
    return atom;
  }

  // The bytes of property of window (type any), empty when it has none.
  std::string Property(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, type, 0, 4096), nullptr);
    std::string bytes;
    if (reply != nullptr && reply->type != XCB_ATOM_NONE) {
      const auto* value = static_cast<const char*>(xcb_get_property_value(reply));
      bytes.assign(value, static_cast<size_t>(xcb_get_property_value_length(reply)));
    }
    free(reply);
    return bytes;
  }

  uint32_t Word(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
    const std::string bytes = Property(window, property, type);
    uint32_t value = 0;
    if (bytes.size() >= sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
  }

  std::u16string Title(xcb_window_t window) {
    const std::string title = Property(window, net_name, utf8);
    if (!title.empty()) return FromUtf8(title);
    std::u16string latin1;  // WM_NAME is Latin-1 text
    for (unsigned char c : Property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING)) latin1 += c;
    return latin1;
  }

  ProgramInfo Front(xcb_window_t window) {
    if (window == 0) return ProgramInfo();  // the desktop
    const uint32_t process = Word(window, pid, XCB_ATOM_CARDINAL);
    ProgramInfo info = process != 0 ? ProgramOfPid(process) : ProgramInfo();
    // A window without _NET_WM_PID (many X11 programs and some games) is a window whose
    // program is unknown, never the desktop: title rules still match it.
    if (process == 0) info.path_unknown = true;
    info.title = Title(window);
    return info;
  }

  // Makes window the active one: its title changes are followed from now on, the previous
  // window's no longer (the root's own selection stays).
  void Follow(xcb_window_t window) {
    if (last != 0 && last != root) {
      const uint32_t none = XCB_EVENT_MASK_NO_EVENT;
      xcb_change_window_attributes(connection, last, XCB_CW_EVENT_MASK, &none);
    }
    last = window;
    if (window != 0 && window != root) {
      const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
      xcb_change_window_attributes(connection, window, XCB_CW_EVENT_MASK, &mask);
    }
    xcb_flush(connection);
    // Selected before the read: a title set in between is in the read or in an event.
    front = Front(window);
  }
};

ForegroundWatch::ForegroundWatch(ForegroundSink sink, void* context)
    : sink_(sink), context_(context) {}

ForegroundWatch::~ForegroundWatch() { Stop(); }

bool ForegroundWatch::Start() {
  Stop();
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  auto state = std::make_unique<State>();
  int screen_number = 0;
  state->connection = xcb_connect(nullptr, &screen_number);
  if (xcb_connection_has_error(state->connection)) return false;
  xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(state->connection));
  for (int i = 0; i < screen_number && screens.rem > 0; ++i) xcb_screen_next(&screens);
  if (screens.rem == 0) return false;
  state->root = screens.data->root;
  state->active = state->Atom("_NET_ACTIVE_WINDOW");
  state->pid = state->Atom("_NET_WM_PID");
  state->net_name = state->Atom("_NET_WM_NAME");
  state->utf8 = state->Atom("UTF8_STRING");
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(state->connection, state->root, XCB_CW_EVENT_MASK, &mask);
  xcb_flush(state->connection);
  if (state->active == 0 || xcb_connection_has_error(state->connection)) return false;
  state_ = std::move(state);
  state_->Follow(state_->Word(state_->root, state_->active, XCB_ATOM_WINDOW));
  sink_(context_, state_->front);
  return true;
}

int ForegroundWatch::PollFd() const {
  return state_ != nullptr ? xcb_get_file_descriptor(state_->connection) : -1;
}

bool ForegroundWatch::Dispatch() {
  if (state_ == nullptr) return false;
  bool active_changed = false, title_changed = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(state_->connection)) {
    if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
      const auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event);
      if (change->window == state_->root && change->atom == state_->active) {
        active_changed = true;
      } else if (change->window == state_->last && change->window != state_->root &&
                 (change->atom == state_->net_name || change->atom == XCB_ATOM_WM_NAME)) {
        title_changed = true;
      }
    }
    // Anything else (an error for a window destroyed before its selection) has nothing to say.
    free(event);
  }
  if (xcb_connection_has_error(state_->connection)) {
    state_.reset();
    return false;
  }
  const xcb_window_t window =
      active_changed ? state_->Word(state_->root, state_->active, XCB_ATOM_WINDOW) : state_->last;
  // The property is set again for the same window by some window managers: not a change.
  if (window != state_->last) {
    state_->Follow(window);
    sink_(context_, state_->front);
  } else if (title_changed) {
    // The same window, so the same program: only the title is read again.
    std::u16string title = state_->Title(window);
    if (title != state_->front.title) {
      state_->front.title = std::move(title);
      sink_(context_, state_->front);
    }
  }
  return !xcb_connection_has_error(state_->connection);
}

void ForegroundWatch::Stop() { state_.reset(); }

// ---- running programs ----

bool RunningPrograms(std::vector<ProgramInfo>* out) {
  out->clear();
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return false;
  while (const dirent* entry = readdir(proc)) {
    char* end = nullptr;
    const unsigned long pid = std::strtoul(entry->d_name, &end, 10);
    if (*end != '\0' || pid == 0) continue;
    ProgramInfo info = ProgramOfPid(static_cast<uint32_t>(pid));
    // Kernel threads have neither an executable nor a command line.
    if (!info.path.empty() || !info.windows_path.empty()) out->push_back(std::move(info));
  }
  closedir(proc);
  return true;
}

// ---- exits ----

struct ExitWatch::State {
  int wake_fd = -1;
  bool stopping = false;                          // guarded by mutex
  std::vector<std::pair<uint32_t, int>> watched;  // pid and pidfd, guarded by mutex
  std::mutex mutex;
  std::thread thread;

  ~State() {
    for (auto& [pid, fd] : watched) close(fd);
    if (wake_fd >= 0) close(wake_fd);
  }
  void Wake() {
    const uint64_t one = 1;
    if (write(wake_fd, &one, sizeof one) < 0) {
      // Fails only when the counter would overflow: a wake-up is pending anyway.
    }
  }
};

ExitWatch::ExitWatch(ExitSink sink, void* context) : sink_(sink), context_(context) {}

ExitWatch::~ExitWatch() { Stop(); }

bool ExitWatch::Watch(uint32_t pid) {
  if (state_ == nullptr) {
    auto state = std::make_unique<State>();
    state->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (state->wake_fd < 0) return false;
    State* s = state.get();
    state->thread = std::thread([this, s] {
      for (;;) {
        std::vector<pollfd> waits{{s->wake_fd, POLLIN, 0}};
        {
          std::lock_guard<std::mutex> hold(s->mutex);
          if (s->stopping) return;
          for (auto& [watched_pid, fd] : s->watched) waits.push_back({fd, POLLIN, 0});
        }
        if (poll(waits.data(), waits.size(), -1) < 0 && errno != EINTR) return;
        uint64_t count = 0;
        if (read(s->wake_fd, &count, sizeof count) < 0) {
          // Nothing to read: a pidfd woke the poll.
        }
        std::vector<uint32_t> ended;
        {
          std::lock_guard<std::mutex> hold(s->mutex);
          for (size_t i = 1; i < waits.size(); ++i) {
            if (waits[i].revents == 0) continue;
            auto at = std::find_if(s->watched.begin(), s->watched.end(),
                                   [&](const auto& w) { return w.second == waits[i].fd; });
            ended.push_back(at->first);
            close(at->second);
            s->watched.erase(at);
          }
        }
        for (uint32_t pid_ended : ended) sink_(context_, pid_ended);
      }
    });
    state_ = std::move(state);
  }
  std::lock_guard<std::mutex> hold(state_->mutex);
  for (auto& [watched_pid, fd] : state_->watched) {
    if (watched_pid == pid) return true;
  }
  const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  if (fd < 0) return false;
  state_->watched.emplace_back(pid, fd);
  state_->Wake();
  return true;
}

void ExitWatch::Stop() {
  if (state_ == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(state_->mutex);
    state_->stopping = true;
  }
  state_->Wake();
  state_->thread.join();
  state_.reset();
}

}  // namespace platform
