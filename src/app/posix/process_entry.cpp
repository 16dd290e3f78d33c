// The service's process entry on Linux: the flock guard, the device folder watch as notification
// recipient, discovery, and a loop that SIGINT or SIGTERM ends as WM_DESTROY does on Windows.
#include "app/process_entry.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

#include "devices/device_change.h"
#include "devices/device_manager.h"
#include "log/log.h"
#include "platform/instance.h"
#include "platform/posix/device_watch.h"

namespace app {
namespace {

// Blocks SIGINT and SIGTERM in this thread and every thread started later, and returns a
// descriptor that becomes readable when one of them arrives; -1 on failure.
int BlockStopSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return -1;
  return signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

// Hands the watch's records to the device manager until a stop signal arrives.
void RunWatchLoop(platform::DeviceWatch& watch, int signal_fd) {
  for (;;) {
    pollfd waits[2] = {{signal_fd, POLLIN, 0}, {watch.PollFd(), POLLIN, 0}};
    if (poll(waits, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (waits[0].revents != 0) return;
    for (const platform::DeviceChange& change : watch.TakeChanges()) {
      devices::HandleDeviceChange(&watch, change, devices::DeviceManagerTarget());
    }
  }
}

}  // namespace

int ProcessEntry(void* /*instance*/) {
  if (platform::AcquireInstanceGuard(kInstanceName) == platform::InstanceGuard::kAlreadyRunning) {
    return 0;
  }
  const int signal_fd = BlockStopSignals();
  if (signal_fd < 0) return 0;
  InstallLogReceiverFromEnvironment();
  // Like the window on Windows, the watch is never torn down: it lives until process exit.
  static platform::DeviceWatch* watch = new platform::DeviceWatch(platform::DeviceFolder());
  if (!watch->Start()) return 0;
  devices::DiscoverDevices(watch);
  RunWatchLoop(*watch, signal_fd);
  return 0;
}

}  // namespace app
