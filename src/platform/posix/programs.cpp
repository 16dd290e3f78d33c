// Programs on Linux: the window in front from X11 (_NET_ACTIVE_WINDOW through libxcb, and the
// title of that window as it changes), the running programs from /proc, and their ends through pidfd_open.
#include "platform/programs.h"

#include <X11/Xauth.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <system_error>
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

// Where $DISPLAY is: [protocol/][host]:number[.screen]. A local display (no host, "unix") is
// reached through its socket, a host through TCP port 6000 + number, as libxcb does.
struct DisplayAddress {
  bool local = true;
  std::string host;
  std::string number;  // as written: the X authority file keys its cookies by it
  int screen = 0;
};

bool ParseDisplay(std::string text, DisplayAddress* out) {
  bool tcp = false;
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    const std::string protocol = text.substr(0, slash);
    if (protocol == "tcp" || protocol == "inet" || protocol == "inet6") {
      tcp = true;
    } else if (protocol != "unix") {
      return false;
    }
    text.erase(0, slash + 1);
  }
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  out->host = text.substr(0, colon);
  if (!out->host.empty() && out->host.back() == ':') return false;  // DECnet's host::n
  if (out->host.size() > 2 && out->host.front() == '[' && out->host.back() == ']') {
    out->host = out->host.substr(1, out->host.size() - 2);
  }
  const std::string rest = text.substr(colon + 1);
  const size_t dot = rest.find('.');
  out->number = rest.substr(0, dot);
  const std::string screen = dot == std::string::npos ? "0" : rest.substr(dot + 1);
  const auto digits = [](const std::string& part) {
    return !part.empty() && part.size() < 6 &&
           std::all_of(part.begin(), part.end(), [](unsigned char c) { return std::isdigit(c); });
  };
  if (!digits(out->number) || !digits(screen)) return false;
  out->screen = std::atoi(screen.c_str());
  out->local = slash != std::string::npos ? !tcp : out->host.empty() || out->host == "unix";
  if (!out->local && out->host.empty()) out->host = "localhost";
  return true;
}

// The address the X authority file knows the server by: the machine's own name for a local
// server (its socket, or TCP to a loopback address), else the server's IP address.
struct AuthAddress {
  uint16_t family = FamilyLocal;
  std::string address;
};

constexpr uint16_t kFamilyInternet = 0, kFamilyInternet6 = 6;  // X11's address families

AuthAddress AuthAddressOf(const sockaddr* peer) {
  AuthAddress auth;
  if (peer != nullptr && peer->sa_family == AF_INET) {
    const auto* ip = &reinterpret_cast<const sockaddr_in*>(peer)->sin_addr;
    const auto* bytes = reinterpret_cast<const char*>(ip);
    if (static_cast<unsigned char>(bytes[0]) != 127) {
      auth = {kFamilyInternet, std::string(bytes, 4)};
    }
  } else if (peer != nullptr && peer->sa_family == AF_INET6) {
    const in6_addr* ip = &reinterpret_cast<const sockaddr_in6*>(peer)->sin6_addr;
    const auto* bytes = reinterpret_cast<const char*>(ip);
    if (IN6_IS_ADDR_V4MAPPED(ip)) {
      if (static_cast<unsigned char>(bytes[12]) != 127) {
        auth = {kFamilyInternet, std::string(bytes + 12, 4)};
      }
    } else if (!IN6_IS_ADDR_LOOPBACK(ip)) {
      auth = {kFamilyInternet6, std::string(bytes, 16)};
    }
  }
  if (auth.family == FamilyLocal) {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0) auth.address = name;
  }
  return auth;
}

// A local server's socket: the abstract one first, then the file (the server makes both).
int ConnectLocal(const std::string& number) {
  const std::string path = "/tmp/.X11-unix/X" + number;
  for (const bool abstract : {true, false}) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const size_t at = abstract ? 1 : 0;  // an abstract name starts with a NUL
    std::memcpy(address.sun_path + at, path.data(), path.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + at + path.size());
    // A local connect ends at once: made, refused, or a backlog that is full (tried again later).
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) return fd;
    close(fd);
  }
  return -1;
}

// TCP to host, port 6000 + number, each address in turn; a connect in progress waits for the
// socket and for stop_fd only (the caller gives a try up through stop_fd). The host's name is
// looked up first, which waits at most for the resolver's own time-outs.
int ConnectTcp(const std::string& host, const std::string& number, int stop_fd, AuthAddress* auth) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(6000 + std::atoi(number.c_str()));
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  int connected = -1;
  for (addrinfo* at = found; at != nullptr && connected < 0; at = at->ai_next) {
    const int fd = socket(at->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) continue;
    bool made = connect(fd, at->ai_addr, at->ai_addrlen) == 0;
    if (!made && errno == EINPROGRESS) {
      pollfd waits[2] = {{fd, POLLOUT, 0}, {stop_fd, POLLIN, 0}};
      int ready;
      do ready = poll(waits, 2, -1);
      while (ready < 0 && errno == EINTR);
      if (ready > 0 && waits[1].revents != 0) {
        close(fd);
        break;  // given up
      }
      int error = 0;
      socklen_t size = sizeof error;
      made = ready > 0 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
    }
    if (!made) {
      close(fd);
      continue;
    }
    const int on = 1;  // requests are small and each waits for its reply
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    *auth = AuthAddressOf(at->ai_addr);
    connected = fd;
  }
  freeaddrinfo(found);
  return connected;
}

struct ForegroundWatch::State {
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = 0;
  xcb_atom_t active = 0, pid = 0, net_name = 0, utf8 = 0;
  xcb_window_t last = 0;  // the active window; its property changes are selected
  ProgramInfo front;      // what was last reported

  // The try to connect, from BeginConnect to EndConnect, on thread.
  std::string display;     // $DISPLAY, read on the caller's thread
  bool connecting = false;  // the caller's thread only
  bool connected = false;   // the try's result: written by thread, read after its join
  int done_fd = -1;         // readable once the try has ended
  int stop_fd = -1;         // readable once the try is given up
  std::mutex mutex;
  bool stopping = false;  // guarded by mutex
  int cancel_fd = -1;     // guarded by mutex: the socket's duplicate, shut down to wake libxcb
  std::thread thread;

  ~State() {
    Cancel();
    if (connection != nullptr) xcb_disconnect(connection);
    for (const int fd : {done_fd, stop_fd, cancel_fd}) {
      if (fd >= 0) close(fd);
    }
  }

  // Ends the try at once, whichever wait it is in: the connect's poll sees stop_fd, and libxcb,
  // which waits for the socket alone, sees it shut down (after which every read and write on it
  // fails at once, so no wait can begin again).
  void Cancel() {
    {
      std::lock_guard<std::mutex> hold(mutex);
      stopping = true;
      if (cancel_fd >= 0) shutdown(cancel_fd, SHUT_RDWR);
    }
    const uint64_t one = 1;
    if (stop_fd >= 0 && write(stop_fd, &one, sizeof one) < 0) {
      // Fails only when the counter would overflow: it is readable anyway.
    }
    if (thread.joinable()) thread.join();
  }

  // The try itself (on thread): the socket, the set-up with the user's cookie, the atoms, the
  // root's selection and the program in front. False when the display cannot be reached.
  bool Connect() {
    DisplayAddress where;
    if (!ParseDisplay(display, &where)) return false;
    AuthAddress auth = AuthAddressOf(nullptr);
    const int fd = where.local ? ConnectLocal(where.number)
                               : ConnectTcp(where.host, where.number, stop_fd, &auth);
    if (fd < 0) return false;
    {
      std::lock_guard<std::mutex> hold(mutex);
      if (!stopping) cancel_fd = fcntl(fd, F_DUPFD_CLOEXEC, 0);
      if (cancel_fd < 0) {
        close(fd);
        return false;
      }
    }
    // The cookie libxcb's own connect would send: MIT-MAGIC-COOKIE-1 from $XAUTHORITY or
    // ~/.Xauthority; none when the file has none (a server without access control).
    char cookie_name[] = "MIT-MAGIC-COOKIE-1";
    char* names[] = {cookie_name};
    const int name_lengths[] = {static_cast<int>(sizeof cookie_name - 1)};
    Xauth* cookie = XauGetBestAuthByAddr(
        auth.family, static_cast<unsigned short>(auth.address.size()), auth.address.data(),
        static_cast<unsigned short>(where.number.size()), where.number.data(), 1, names,
        name_lengths);
    xcb_auth_info_t info{};
    if (cookie != nullptr) {
      info = {cookie->name_length, cookie->name, cookie->data_length, cookie->data};
    }
    connection = xcb_connect_to_fd(fd, cookie != nullptr ? &info : nullptr);  // owns fd now
    if (cookie != nullptr) XauDisposeAuth(cookie);
    if (xcb_connection_has_error(connection)) return false;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = 0; i < where.screen && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) return false;
    root = screens.data->root;
    active = Atom("_NET_ACTIVE_WINDOW");
    pid = Atom("_NET_WM_PID");
    net_name = Atom("_NET_WM_NAME");
    utf8 = Atom("UTF8_STRING");
    const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(connection, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    if (active == 0 || xcb_connection_has_error(connection)) return false;
    Follow(Word(root, active, XCB_ATOM_WINDOW));
    return !xcb_connection_has_error(connection);
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
  if (!BeginConnect()) return false;
  pollfd wait{state_->done_fd, POLLIN, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectMs);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = poll(&wait, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready > 0) return EndConnect();
    if (ready == 0 || errno != EINTR) break;
  }
  Stop();
  return false;
}

bool ForegroundWatch::BeginConnect() {
  Stop();
  const char* display = std::getenv("DISPLAY");
  if (display == nullptr || *display == '\0') return false;
  auto state = std::make_unique<State>();
  state->display = display;
  state->done_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  state->stop_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (state->done_fd < 0 || state->stop_fd < 0) return false;
  State* s = state.get();
  try {
    state->thread = std::thread([s] {
      s->connected = s->Connect();
      const uint64_t one = 1;
      if (write(s->done_fd, &one, sizeof one) < 0) {
        // A fresh eventfd's counter cannot overflow.
      }
    });
  } catch (const std::system_error&) {
    return false;  // no thread to be had
  }
  state->connecting = true;
  state_ = std::move(state);
  return true;
}

bool ForegroundWatch::Connecting() const { return state_ != nullptr && state_->connecting; }

bool ForegroundWatch::EndConnect() {
  if (!Connecting()) return false;
  state_->thread.join();
  state_->connecting = false;
  if (!state_->connected) {
    state_.reset();
    return false;
  }
  sink_(context_, state_->front);
  return true;
}

int ForegroundWatch::PollFd() const {
  if (state_ == nullptr) return -1;
  return state_->connecting ? state_->done_fd : xcb_get_file_descriptor(state_->connection);
}

bool ForegroundWatch::Dispatch() {
  if (state_ == nullptr) return false;
  if (state_->connecting) return true;  // nothing to read before EndConnect
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
