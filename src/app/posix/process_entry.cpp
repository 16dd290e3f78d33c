// The service's process entry on Linux: the flock guard, the device folder watch as notification
// recipient, discovery, and a loop that lasts until SIGINT or SIGTERM ends the process. A start
// that fails ends with status 1 and a level-1 log line.
#include "app/process_entry.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "autoprofile/service.h"
#include "devices/device_change.h"
#include "devices/device_manager.h"
#include "log/log.h"
#include "platform/file_watch.h"
#include "platform/instance.h"
#include "platform/posix/device_watch.h"
#include "platform/programs.h"
#include "platform/sync.h"

namespace app {
namespace {

// Ends the process at once with status 0. Nothing is torn down, as on Windows, where everything
// is left to process exit: the main thread may be inside an attach that waits for a driver that
// does not answer, and worker threads may be waiting for theirs, so no orderly shutdown could
// promise to finish in time. Every log line is already flushed when it is written.
void EndOnStopSignal(int /*signal*/) { _exit(0); }

// Installs EndOnStopSignal for SIGINT and SIGTERM and makes sure neither is blocked in this
// thread (threads started later inherit the mask). False on failure.
bool EndOnStopSignals() {
  struct sigaction action {};
  action.sa_handler = EndOnStopSignal;
  sigemptyset(&action.sa_mask);
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
         pthread_sigmask(SIG_UNBLOCK, &signals, nullptr) == 0;
}

void OnForeground(void* service, const platform::ProgramInfo& front) {
  static_cast<autoprofile::Service*>(service)->OnForeground(front);
}

// Waits, without cost, for the X11 display to come (the service may start before the desktop)
// or to come back (a server that ended): a try is due when a socket appears in the folder where
// local X servers make theirs, and otherwise after 2 s, doubling up to 30 s between tries (for
// displays reached another way: TCP, abstract sockets only).
class DisplayWait {
 public:
  static constexpr uint64_t kFirstMs = 2000, kMostMs = 30000;
  // A socket has just appeared: the server answers once it has set up its screens.
  static constexpr uint64_t kAfterSocketMs = 500;

  DisplayWait() {
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    WatchFolder();
  }
  ~DisplayWait() {
    if (fd_ >= 0) close(fd_);
  }
  DisplayWait(const DisplayWait&) = delete;
  DisplayWait& operator=(const DisplayWait&) = delete;

  // The display cannot be reached (now): the next try after the first interval.
  void Begin(uint64_t now) {
    interval_ = kFirstMs;
    next_ = now + interval_;
  }
  // A try failed: the interval doubles.
  void Failed(uint64_t now) {
    interval_ = std::min(interval_ * 2, kMostMs);
    next_ = now + interval_;
    WatchFolder();  // made since (the folder is made at boot, or by the first server)
  }
  int PollFd() const { return watching_ ? fd_ : -1; }
  // Reads the folder's events: a socket that appeared brings the next try near.
  void Readable(uint64_t now) {
    alignas(inotify_event) char buffer[4096];
    bool appeared = false;
    for (;;) {
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if ((event->mask & (IN_CREATE | IN_MOVED_TO)) != 0) appeared = true;
        if ((event->mask & IN_IGNORED) != 0) watching_ = false;  // the folder went
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
    }
    if (appeared) {
      interval_ = kFirstMs;
      next_ = std::min(next_, now + kAfterSocketMs);
    }
  }
  bool Due(uint64_t now) const { return now >= next_; }
  int TimeoutMs(uint64_t now) const { return Due(now) ? 0 : static_cast<int>(next_ - now); }

 private:
  void WatchFolder() {
    if (fd_ < 0 || watching_) return;
    watching_ = inotify_add_watch(fd_, "/tmp/.X11-unix", IN_CREATE | IN_MOVED_TO | IN_ONLYDIR) >= 0;
  }

  int fd_ = -1;
  bool watching_ = false;
  uint64_t interval_ = kFirstMs;
  uint64_t next_ = 0;
};

// The foreground watch's connection to X11 as the loop keeps it: a try runs on the watch's own
// thread while the loop serves the devices; a try that fails, or a connection that is lost, is
// tried again as display_wait says (when DISPLAY names a display); a try that has not ended
// after ForegroundWatch::kConnectMs (a server that accepts and never answers) is given up.
class ForegroundLink {
 public:
  ForegroundLink(platform::ForegroundWatch& foreground, autoprofile::Service& autoprofiles,
                 DisplayWait* display_wait)
      : foreground_(foreground), autoprofiles_(autoprofiles), display_wait_(display_wait) {}

  void Try(uint64_t now) {
    if (foreground_.BeginConnect()) {
      give_up_at_ = now + platform::ForegroundWatch::kConnectMs;
    } else {
      Failed(now);
    }
  }
  // What the loop waits for: the connection's events, the try's end, or the display's folder.
  int PollFd() const {
    if (foreground_.PollFd() >= 0) return foreground_.PollFd();
    return display_wait_ != nullptr ? display_wait_->PollFd() : -1;
  }
  int TimeoutMs(uint64_t now) const {
    if (foreground_.Connecting()) {
      return now >= give_up_at_ ? 0 : static_cast<int>(give_up_at_ - now);
    }
    if (foreground_.PollFd() >= 0 || display_wait_ == nullptr) return -1;
    return display_wait_->TimeoutMs(now);
  }
  // After the loop's poll: revents are PollFd's.
  void Serve(short revents, uint64_t now) {
    if (foreground_.Connecting()) {
      if (revents != 0) {
        if (foreground_.EndConnect()) {
          Connected();
        } else {
          Failed(now);
        }
      } else if (now >= give_up_at_) {
        foreground_.Stop();
        Failed(now);
      }
      return;
    }
    if (foreground_.PollFd() >= 0) {
      if (revents != 0 && !foreground_.Dispatch()) {
        LogMessage(kLogError, kLogCategory,
                   u"Auto Profile: the X11 connection was lost; trying again until it is back");
        autoprofiles_.SetFocusAvailable(false);
        retrying_ = true;
        if (display_wait_ != nullptr) display_wait_->Begin(now);
      }
      return;
    }
    if (display_wait_ == nullptr) return;
    if (revents != 0) display_wait_->Readable(now);
    if (display_wait_->Due(now)) Try(now);
  }

 private:
  void Connected() {
    if (retrying_) {
      LogMessage(kLogEvent, kLogCategory, u"Auto Profile: connected to X11");
      autoprofiles_.SetFocusAvailable(true);
    }
    retrying_ = false;
  }
  void Failed(uint64_t now) {
    if (retrying_) {
      if (display_wait_ != nullptr) display_wait_->Failed(now);
      return;
    }
    // The first try: without DISPLAY there is nothing to wait for; with it, a display that
    // cannot be reached yet (the service started before the desktop) is tried again.
    retrying_ = true;
    autoprofiles_.SetFocusAvailable(false);
    if (display_wait_ != nullptr) {
      LogMessage(kLogEvent, kLogCategory,
                 u"Auto Profile: cannot reach the X11 display %S yet; trying again until it can",
                 std::getenv("DISPLAY"));
      display_wait_->Begin(now);
    }
  }

  platform::ForegroundWatch& foreground_;
  autoprofile::Service& autoprofiles_;
  DisplayWait* display_wait_;
  bool retrying_ = false;  // a try failed, or the connection was lost: the next one is logged
  uint64_t give_up_at_ = 0;
};

// Hands the watch's records to the device manager, and X11's foreground changes to the
// automatic profiles, for the life of the process; returns only when the watch cannot be
// waited for.
void RunWatchLoop(platform::DeviceWatch& watch, ForegroundLink& link) {
  for (;;) {
    pollfd waits[2] = {{watch.PollFd(), POLLIN, 0}, {link.PollFd(), POLLIN, 0}};
    if (poll(waits, 2, link.TimeoutMs(platform::TickMs())) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    link.Serve(waits[1].revents, platform::TickMs());
    for (const platform::DeviceChange& change : watch.TakeChanges()) {
      devices::HandleDeviceChange(&watch, change, devices::DeviceManagerTarget());
    }
  }
}

}  // namespace

int ProcessEntry(void* /*instance*/) {
  const platform::InstanceGuard guard = platform::AcquireInstanceGuard(kInstanceName);
  if (guard == platform::InstanceGuard::kAlreadyRunning) return 0;
  InstallLogReceiverFromEnvironment();
  // A guard that cannot be taken (no usable runtime folder) does not keep the controllers
  // without their service: it runs unguarded, as on Windows when the mutex cannot be made.
  if (guard == platform::InstanceGuard::kFailed) {
    LogMessage(kLogError, kLogCategory, u"Single-instance guard unavailable: running unguarded");
  }
  // A failed start ends with status 1, so that a supervisor (systemd's Restart=on-failure) sees
  // it; only a second instance ends with 0.
  if (!EndOnStopSignals()) {
    LogMessage(kLogError, kLogCategory, u"Cannot install the stop signal handlers");
    return 1;
  }
  std::string folder, reason;
  if (!platform::PrepareDeviceFolder(&folder, &reason)) {
    LogMessage(kLogError, kLogCategory, u"Device folder unusable: %S", reason.c_str());
    return 1;
  }
  // Like the window on Windows, the watch is never torn down: it lives until process exit.
  static platform::DeviceWatch* watch = new platform::DeviceWatch(folder);
  if (!watch->Start()) {
    LogMessage(kLogError, kLogCategory, u"Cannot watch the device folder %S", folder.c_str());
    return 1;
  }
  // Automatic profiles: acting only when a rules file exists, and watching for one.
  static auto* autoprofiles = new autoprofile::Service;
  autoprofiles->Start(platform::RulesFilePath());
  static auto* foreground = new platform::ForegroundWatch(&OnForeground, autoprofiles);
  const char* display = std::getenv("DISPLAY");
  static DisplayWait* display_wait =
      display != nullptr && *display != '\0' ? new DisplayWait : nullptr;
  // The first try runs beside the discovery: neither waits for the other.
  static auto* link = new ForegroundLink(*foreground, *autoprofiles, display_wait);
  link->Try(platform::TickMs());
  devices::DiscoverDevices(watch);
  RunWatchLoop(*watch, *link);
  LogMessage(kLogError, kLogCategory, u"Cannot wait for the device folder watch");
  return 1;
}

}  // namespace app
