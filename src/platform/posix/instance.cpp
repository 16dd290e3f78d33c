// The single-instance guard on Linux: an exclusive flock on a lock file named after the instance,
// in the runtime folder (the parent of the device folder), held until the process ends.
#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/device_watch.h"
#include "platform/text.h"

namespace platform {

InstanceGuard AcquireInstanceGuard(std::u16string_view name) {
  const std::string devices = DeviceFolder();
  const size_t slash = devices.find_last_of('/');
  const std::string runtime = slash == std::string::npos || slash == 0 ? "/tmp" : devices.substr(0, slash);
  if (!MakeFolders(runtime)) return InstanceGuard::kFailed;
  const std::string path = runtime + "/" + ToUtf8(name) + ".lock";
  // Never closed: the lock lasts as long as the process.
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return InstanceGuard::kFailed;
  if (flock(fd, LOCK_EX | LOCK_NB) == 0) return InstanceGuard::kAcquired;
  const int reason = errno;
  close(fd);
  return reason == EWOULDBLOCK ? InstanceGuard::kAlreadyRunning : InstanceGuard::kFailed;
}

}  // namespace platform
