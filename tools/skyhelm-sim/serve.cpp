// skyhelm-sim serve: simulated controllers published on the socket transport and drawn in the
// terminal, with keys for the clutch, navigation, shift and commands.
#include "commands.h"

#ifdef _WIN32

#include <cstdio>

namespace simtool {

int Serve(const std::vector<std::string>&) {
  std::fputs("skyhelm-sim serve: the socket transport exists on Linux only\n", stderr);
  return 2;
}

}  // namespace simtool

#else

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "driver/control_codes.h"
#include "platform/posix/device_watch.h"
#include "platform/programs.h"
#include "platform/text.h"
#include "serve_programs.h"
#include "sim/in_process.h"
#include "sim/model.h"
#include "sim/socket_server.h"

namespace simtool {
namespace {

constexpr char kHelp[] =
    "keys: tab next controller | space clutch on/off | up/k previous | down/j next | "
    "enter choose | x clear profile | s shift | c command | r remove/return | "
    "p next program in front | q quit";

// The two shift states the 's' key toggles between.
constexpr platform::Guid kShifted = {0x5D1C3B2A, 0x4E6F, 0x4A80, {0x91, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88}};

volatile std::sig_atomic_t g_stop = 0;
void OnStopSignal(int) { g_stop = 1; }

class RawTerminal {
 public:
  RawTerminal() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawTerminal() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }

 private:
  termios saved_{};
  bool active_ = false;
};

std::string SocketName(const std::string& name) {
  return platform::ToUtf8(sim::DriverModel::InterfacePath(name).substr(4));  // after "\\?\"
}

class Server {
 public:
  explicit Server(const std::vector<std::string>& names)
      : names_(names), transport_(model_), sockets_(platform::DeviceFolder(), &transport_) {}

  bool Start() {
    for (const std::string& name : names_) {
      if (!model_.Declare(name) || !model_.Attach(name) || !Publish(name)) return false;
    }
    return true;
  }
  bool Publish(const std::string& name) {
    return sockets_.Publish(SocketName(name), sim::DriverModel::InterfacePath(name));
  }
  void Key(int key);
  void Draw(bool tty);

 private:
  const std::string& Current() const { return names_[selected_]; }
  // Completes the controller's clutch wait, waiting a moment for the service to issue it.
  void Clutch(uint16_t engaged, uint16_t type) {
    model_.WaitForOutstanding(Current(), IOCTL_WAIT_CLUTCH_EVENT, 1000);
    model_.RaiseClutchEvent(Current(), engaged, type);
  }
  // A navigation press: the event type, then the rest position, so that a repeat acts again.
  void Navigate(uint16_t type) {
    Clutch(1, type);
    Clutch(1, 0);
  }

  std::vector<std::string> names_;
  sim::DriverModel model_;
  sim::InProcessTransport transport_;
  sim::SocketServer sockets_;
  size_t selected_ = 0;
  bool engaged_[16] = {};
  bool shifted_[16] = {};
  bool removed_[16] = {};
  std::string last_drawn_;
  DemoPrograms programs_;  // brought to the front with 'p', for automatic profiles
};

void Server::Key(int key) {
  switch (key) {
    case '\t': selected_ = (selected_ + 1) % names_.size(); break;
    case ' ':
      engaged_[selected_] = !engaged_[selected_];
      Clutch(engaged_[selected_] ? 1 : 0, 0);
      break;
    case 'k': case 'A': Navigate(1); break;  // 'A': the end of the up-arrow sequence
    case 'j': case 'B': Navigate(5); break;  // 'B': down arrow
    case '\n': case '\r': case 'l': Navigate(3); break;
    case 'x': Navigate(7); break;
    case 's':
      shifted_[selected_] = !shifted_[selected_];
      model_.SetShiftState(Current(), shifted_[selected_] ? kShifted : platform::Guid{});
      break;
    case 'c': {
      CommandRecord command;
      command.control = 1;
      command.state = 1;
      command.command = kShifted;
      model_.RaiseCommand(Current(), command);
      break;
    }
    case 'p': programs_.Next(); break;
    case 'r':
      removed_[selected_] = !removed_[selected_];
      if (removed_[selected_]) {
        sockets_.Unpublish(SocketName(Current()));
        model_.Detach(Current());
      } else {
        model_.Attach(Current());
        Publish(Current());
      }
      break;
    default: break;
  }
}

void Server::Draw(bool tty) {
  std::string screen;
  for (size_t i = 0; i < names_.size(); ++i) {
    sim::ControllerState state;
    model_.State(names_[i], &state);
    screen += (i == selected_ ? "> " : "  ") + names_[i] + (state.present ? "" : " (removed)") +
              "  clutch " + (state.clutch_mode ? "ON " : "off") + "  shift LED " +
              (state.shift_indicator ? "ON" : "off") + "\n";
    // The profile the service made active (loaded by the clutch or by automatic profiles).
    for (const sim::ProfileRecord& profile : state.profiles) {
      if (profile.id == state.active_profile && state.active_profile != 0) {
        screen += "    profile: " + platform::ToUtf8(platform::FileNameOf(profile.path)) + "\n";
      }
    }
    for (const auto& [command, text] : state.display) {
      screen += "    [" + platform::ToUtf8(text) + "]\n";
    }
    if (state.clutch_mode) screen += "    entry: " + platform::ToUtf8(state.clutch_text) + "\n";
  }
  screen += "in front: " + programs_.Describe() + "\n";
  if (screen == last_drawn_) return;
  last_drawn_ = screen;
  if (tty) {
    std::printf("\x1b[H\x1b[2J%s\n%s\n", screen.c_str(), kHelp);
  } else {
    std::printf("%s\n", screen.c_str());
  }
  std::fflush(stdout);
}

}  // namespace

int Serve(const std::vector<std::string>& names) {
  if (names.size() > 16) return 2;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  std::signal(SIGHUP, OnStopSignal);  // the terminal closed: end as on 'q', demo programs too
  Server server(names);
  if (!server.Start()) {
    std::fprintf(stderr, "skyhelm-sim serve: cannot publish in %s\n", platform::DeviceFolder().c_str());
    return 1;
  }
  const bool tty = isatty(STDOUT_FILENO);
  RawTerminal raw;
  bool input_open = true;
  while (!g_stop) {
    server.Draw(tty);
    pollfd wait{STDIN_FILENO, POLLIN, 0};
    if (poll(&wait, input_open ? 1 : 0, 100) <= 0) continue;
    char key = 0;
    const ssize_t got = read(STDIN_FILENO, &key, 1);
    if (got <= 0) {
      input_open = false;  // keep serving when standard input ends
      continue;
    }
    if (key == 'q') break;
    server.Key(key);
  }
  return 0;
}

}  // namespace simtool

#endif  // _WIN32
