// Programs on Linux: the window in front from X11 (_NET_ACTIVE_WINDOW through libxcb), the
// running programs from /proc, and their ends through pidfd_open.
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
#include <thread>
#include <utility>

#include "platform/text.h"

namespace platform {
namespace {

bool EndsWithExe(const std::string& text) {
  if (text.size() < 4) return false;
  std::string tail = text.substr(text.size() - 4);
  std::transform(tail.begin(), tail.end(), tail.begin(), [](unsigned char c) { return std::tolower(c); });
  return tail == ".exe";
}

// The process's executable, and for a Wine or Proton program the .exe its command line names
// (Wine's loader runs with "Z:\...\DCS.exe" or the Unix path of the .exe as an argument).
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
    info.path_unknown = true;  // another user's process, or one that has just ended
  }
  std::ifstream in(folder + "/cmdline", std::ios::binary);
  const std::string line((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t start = 0;
  for (int argument = 0; argument < 4 && start < line.size(); ++argument) {
    size_t end = line.find('\0', start);
    if (end == std::string::npos) end = line.size();
    const std::string word = line.substr(start, end - start);
    if (EndsWithExe(word)) {
      info.windows_path = FromUtf8(word);
      break;
    }
    start = end + 1;
  }
  return info;
}

}  // namespace

// ---- foreground ----

struct ForegroundWatch::State {
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = 0;
  xcb_atom_t active = 0, pid = 0, net_name = 0, utf8 = 0;
  xcb_window_t last = 0;
  bool reported = false;

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

  ProgramInfo Front(xcb_window_t window) {
    if (window == 0) return ProgramInfo();  // the desktop
    const uint32_t process = Word(window, pid, XCB_ATOM_CARDINAL);
    ProgramInfo info = process != 0 ? ProgramOfPid(process) : ProgramInfo();
    if (process == 0) info.path_unknown = true;
    std::string title = Property(window, net_name, utf8);
    if (title.empty()) {
      // WM_NAME is Latin-1 text.
      for (unsigned char c : Property(window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING)) {
        info.title += static_cast<char16_t>(c);
      }
    } else {
      info.title = FromUtf8(title);
    }
    return info;
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
  state_->last = state_->Word(state_->root, state_->active, XCB_ATOM_WINDOW);
  sink_(context_, state_->Front(state_->last));
  return true;
}

int ForegroundWatch::PollFd() const {
  return state_ != nullptr ? xcb_get_file_descriptor(state_->connection) : -1;
}

bool ForegroundWatch::Dispatch() {
  if (state_ == nullptr) return false;
  bool changed = false;
  while (xcb_generic_event_t* event = xcb_poll_for_event(state_->connection)) {
    if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY &&
        reinterpret_cast<xcb_property_notify_event_t*>(event)->atom == state_->active) {
      changed = true;
    }
    free(event);
  }
  if (xcb_connection_has_error(state_->connection)) {
    state_.reset();
    return false;
  }
  if (!changed) return true;
  const xcb_window_t window = state_->Word(state_->root, state_->active, XCB_ATOM_WINDOW);
  // The property is set again for the same window by some window managers: not a change.
  if (window != state_->last) {
    state_->last = window;
    sink_(context_, state_->Front(window));
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
