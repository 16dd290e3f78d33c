// The Linux recipient of device-change notifications: a watch of the driver's device folder that
// turns sockets appearing and vanishing, and connections the driver closes, into DeviceChange
// records for the process's main loop.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/devices.h"

namespace platform {

// The device folder: $SKYHELM_DEVICE_DIR, else $XDG_RUNTIME_DIR/skyhelm/devices, else
// /tmp/skyhelm-$UID/devices.
std::string DeviceFolder();

// The device folder made ready for the watch: created with its missing parents. The /tmp
// fall-back, which another user may have made first, is accepted only when it and its parent
// are private to the user (posix::EnsurePrivateFolder). False, with *reason for the log, when
// the folder cannot be used.
bool PrepareDeviceFolder(std::string* folder, std::string* reason);

// Creates folder and its missing parents (mode 0700 for the ones it creates). True when it is a
// directory afterwards.
bool MakeFolders(const std::string& folder);

// One watch per main loop; it is the recipient given to RegisterInterfaceArrivals and
// RegisterHandleRemoval. Records are queued in the order the events were seen and taken by the
// thread that owns the watch.
class DeviceWatch {
 public:
  explicit DeviceWatch(std::string folder);
  ~DeviceWatch();
  DeviceWatch(const DeviceWatch&) = delete;
  DeviceWatch& operator=(const DeviceWatch&) = delete;

  // Creates the folder when missing and starts watching it. False when that is impossible.
  bool Start();
  const std::string& folder() const { return folder_; }
  // A descriptor that becomes readable when records may be waiting (for poll).
  int PollFd() const { return wake_fd_; }
  // The records seen since the last call, oldest first. Never blocks.
  std::vector<DeviceChange> TakeChanges();

  // Queues a record and wakes the owner (used by the registrations; any thread).
  void Post(const DeviceChange& change);

 private:
  void ReadFolderEvents();

  std::string folder_;
  int inotify_fd_ = -1;
  int event_fd_ = -1;  // written by Post
  int wake_fd_ = -1;   // epoll over the inotify descriptor and event_fd_
  std::mutex mutex_;
  std::vector<DeviceChange> queue_;  // guarded by mutex_
};

// Called by a socket connection whose driver closed it: every registration for the handle posts
// query-remove and then remove-complete, once.
void NotifyDriverClosed(void* native_handle);

}  // namespace platform
