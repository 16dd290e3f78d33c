// The service's process entry on Linux: the flock guard, the device folder watch as notification
// recipient, discovery, and a loop that lasts until SIGINT or SIGTERM ends the process. A start
// that fails ends with status 1 and a level-1 log line.
#include "app/process_entry.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "autoprofile/service.h"
#include "devices/device_change.h"
#include "devices/device_manager.h"
#include "log/log.h"
#include "platform/file_watch.h"
#include "platform/instance.h"
#include "platform/programs.h"
#include "platform/posix/device_watch.h"

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

constexpr int kForegroundRetryMs = 10000;

void OnForeground(void* service, const platform::ProgramInfo& front) {
  static_cast<autoprofile::Service*>(service)->OnForeground(front);
}

// Connects the foreground watch to X11; false when there is no display or it refused.
bool ConnectForeground(platform::ForegroundWatch& foreground) {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr && *display != '\0' && foreground.Start();
}

// Hands the watch's records to the device manager, and X11's foreground changes to the
// automatic profiles, for the life of the process; returns only when the watch cannot be
// waited for. A lost X11 connection is retried every 10 s.
void RunWatchLoop(platform::DeviceWatch& watch, platform::ForegroundWatch& foreground,
                  bool retry_foreground) {
  for (;;) {
    pollfd waits[2] = {{watch.PollFd(), POLLIN, 0}, {foreground.PollFd(), POLLIN, 0}};
    const bool connected = waits[1].fd >= 0;
    const int timeout = !connected && retry_foreground ? kForegroundRetryMs : -1;
    if (poll(waits, connected ? 2 : 1, timeout) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (!connected && retry_foreground && ConnectForeground(foreground)) {
      LogMessage(kLogEvent, kLogCategory, u"Auto Profile: connected to X11 again");
    }
    if (connected && waits[1].revents != 0 && !foreground.Dispatch()) {
      LogMessage(kLogError, kLogCategory,
                 u"Auto Profile: the X11 connection was lost; retrying every 10 s");
    }
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
  const bool has_display = ConnectForeground(*foreground);
  if (!has_display) autoprofiles->SetFocusAvailable(false);
  devices::DiscoverDevices(watch);
  RunWatchLoop(*watch, *foreground, has_display);
  LogMessage(kLogError, kLogCategory, u"Cannot wait for the device folder watch");
  return 1;
}

}  // namespace app
