// Checks of folders made in /tmp: whoever makes such a folder first owns it, so a folder that
// already exists may belong to another user who could plant sockets or lock files in it.
#include "platform/posix/private_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::posix {

bool EnsurePrivateFolder(const std::string& folder, std::string* reason) {
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    *reason = folder + " cannot be created: " + std::strerror(errno);
    return false;
  }
  struct stat info;
  // lstat: a link planted in the folder's place must not lead elsewhere.
  if (lstat(folder.c_str(), &info) != 0) {
    *reason = folder + " cannot be examined: " + std::strerror(errno);
    return false;
  }
  if (!S_ISDIR(info.st_mode)) {
    *reason = folder + " is not a folder";
    return false;
  }
  if (info.st_uid != getuid()) {
    *reason = folder + " belongs to user " + std::to_string(info.st_uid);
    return false;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *reason = folder + " may be written by other users";
    return false;
  }
  return true;
}

std::string SharedTempFolder() { return "/tmp/skyhelm-" + std::to_string(getuid()); }

}  // namespace platform::posix
