// The single-instance guard on Linux: an exclusive flock on a lock file named after the instance
// in the runtime folder, held open for the life of the process.
#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/posix/private_folder.h"
#include "platform/text.h"

namespace platform {
namespace {

// $XDG_RUNTIME_DIR, else /tmp/skyhelm-$UID, accepted only when it is private to the user: in
// another user's folder that user could hold or replace our lock file. False when the folder
// cannot be used safely.
bool RuntimeFolder(std::string* out) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') {
    *out = runtime;
    return true;
  }
  std::string reason;
  *out = posix::SharedTempFolder();
  return posix::EnsurePrivateFolder(*out, &reason);
}

// The instance name as a file name: characters that cannot stand in one become '_'.
std::string LockFileName(std::u16string_view name) {
  std::string file = ToUtf8(name);
  for (char& c : file) {
    if (c == '/' || c == '\0') c = '_';
  }
  if (file.empty() || file == "." || file == "..") file = "_" + file;
  return file + ".lock";
}

}  // namespace

InstanceGuard AcquireInstanceGuard(std::u16string_view name) {
  std::string folder;
  if (!RuntimeFolder(&folder)) return InstanceGuard::kFailed;
  std::string path = folder + "/" + LockFileName(name);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return InstanceGuard::kFailed;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    close(fd);
    return error == EWOULDBLOCK ? InstanceGuard::kAlreadyRunning : InstanceGuard::kFailed;
  }
  // The descriptor stays open, and the lock held, until the process ends.
  return InstanceGuard::kAcquired;
}

}  // namespace platform
