// Device interfaces on Linux: the driver's sockets in the device folder, and a watch of that
// folder as the source of arrival and removal notifications.
#include "platform/devices.h"

#include <dirent.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/posix/device_watch.h"
#include "platform/posix/private_folder.h"
#include "platform/posix/socket_device.h"
#include "platform/text.h"

namespace platform {
namespace {

struct HandleRegistration {
  uintptr_t id;
  DeviceWatch* watch;
  void* handle;
  std::string path;  // the socket the handle was opened on; empty when unknown
  bool removal_posted;
};

struct ArrivalRegistration {
  uintptr_t id;
  DeviceWatch* watch;
  Guid interface_class;
};

// Process-wide registrations. Notification handles are ids, never pointers, so that a late
// unregistration of a record already gone is harmless.
struct Registry {
  std::mutex mutex;
  uintptr_t next_id = 1;
  std::vector<HandleRegistration> handles;
  std::vector<ArrivalRegistration> arrivals;
};

Registry& Registrations() {
  static Registry* registry = new Registry;  // never destroyed: the answer poller may still call
  return *registry;
}

char ToUpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// An interface of the class is named "...#{GUID}"; the control device and anything else in the
// folder is not an interface.
bool NameIsOfClass(const std::string& name, const Guid& interface_class) {
  const std::string suffix = "#{" + ToUtf8(FormatGuid(interface_class)) + "}";
  if (name.size() <= suffix.size()) return false;
  const size_t start = name.size() - suffix.size();
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (ToUpperAscii(name[start + i]) != suffix[i]) return false;
  }
  return true;
}

bool IsSocket(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Posts query-remove then remove-complete for a handle registration. Registry lock held.
void PostRemoval(HandleRegistration& registration) {
  if (registration.removal_posted || registration.watch == nullptr) return;
  registration.removal_posted = true;
  DeviceChange change;
  change.device_type = 6;
  change.handle = registration.handle;
  change.notification = reinterpret_cast<void*>(registration.id);
  change.kind = DeviceChange::Kind::kQueryRemove;
  registration.watch->Post(change);
  change.kind = DeviceChange::Kind::kRemoveComplete;
  registration.watch->Post(change);
}

}  // namespace

namespace {

// The device folder the environment names; *shared_temp tells whether it is the /tmp fall-back.
std::string ConfiguredDeviceFolder(bool* shared_temp) {
  *shared_temp = false;
  if (const char* dir = std::getenv("SKYHELM_DEVICE_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime != nullptr && *runtime != '\0') {
    return std::string(runtime) + "/skyhelm/devices";
  }
  *shared_temp = true;
  return posix::SharedTempFolder() + "/devices";
}

}  // namespace

std::string DeviceFolder() {
  bool shared_temp = false;
  return ConfiguredDeviceFolder(&shared_temp);
}

bool PrepareDeviceFolder(std::string* folder, std::string* reason) {
  bool shared_temp = false;
  *folder = ConfiguredDeviceFolder(&shared_temp);
  if (shared_temp) {
    // Anyone may have made these first; in another user's folder that user could plant sockets
    // that the service would take for controllers.
    return posix::EnsurePrivateFolder(posix::SharedTempFolder(), reason) &&
           posix::EnsurePrivateFolder(*folder, reason);
  }
  if (!MakeFolders(*folder)) {
    *reason = *folder + " cannot be made a folder";
    return false;
  }
  return true;
}

bool MakeFolders(const std::string& folder) {
  for (size_t slash = 1; slash <= folder.size(); ++slash) {
    if (slash != folder.size() && folder[slash] != '/') continue;
    const std::string part = folder.substr(0, slash);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info;
  return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::u16string> EnumerateInterfaces(const Guid& interface_class) {
  const std::string folder = DeviceFolder();
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str()); dir != nullptr) {
    while (dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name.empty() || name[0] == '.' || !NameIsOfClass(name, interface_class)) continue;
      if (IsSocket(folder + "/" + name)) names.push_back(name);
    }
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::u16string> paths;
  for (const std::string& name : names) paths.push_back(FromUtf8(folder + "/" + name));
  return paths;
}

void* RegisterInterfaceArrivals(void* recipient, const Guid& interface_class) {
  if (recipient == nullptr) return nullptr;
  Registry& registry = Registrations();
  std::lock_guard<std::mutex> hold(registry.mutex);
  const uintptr_t id = registry.next_id++;
  registry.arrivals.push_back({id, static_cast<DeviceWatch*>(recipient), interface_class});
  return reinterpret_cast<void*>(id);
}

void* RegisterHandleRemoval(void* recipient, void* native_handle) {
  if (recipient == nullptr || native_handle == nullptr) return nullptr;
  std::string path;
  SocketDevicePath(native_handle, &path);
  WatchSocketDeviceClose(native_handle);
  Registry& registry = Registrations();
  std::lock_guard<std::mutex> hold(registry.mutex);
  const uintptr_t id = registry.next_id++;
  registry.handles.push_back(
      {id, static_cast<DeviceWatch*>(recipient), native_handle, std::move(path), false});
  // A connection the driver closed before the registration still counts as removed.
  if (SocketDeviceClosedByDriver(native_handle)) PostRemoval(registry.handles.back());
  return reinterpret_cast<void*>(id);
}

void UnregisterNotification(void* notification) {
  const uintptr_t id = reinterpret_cast<uintptr_t>(notification);
  Registry& registry = Registrations();
  std::lock_guard<std::mutex> hold(registry.mutex);
  std::erase_if(registry.handles, [id](const HandleRegistration& r) { return r.id == id; });
  std::erase_if(registry.arrivals, [id](const ArrivalRegistration& r) { return r.id == id; });
}

void NotifyDriverClosed(void* native_handle) {
  Registry& registry = Registrations();
  std::lock_guard<std::mutex> hold(registry.mutex);
  for (HandleRegistration& registration : registry.handles) {
    if (registration.handle == native_handle) PostRemoval(registration);
  }
}

DeviceWatch::DeviceWatch(std::string folder) : folder_(std::move(folder)) {}

DeviceWatch::~DeviceWatch() {
  {
    Registry& registry = Registrations();
    std::lock_guard<std::mutex> hold(registry.mutex);
    std::erase_if(registry.handles, [this](const HandleRegistration& r) { return r.watch == this; });
    std::erase_if(registry.arrivals,
                  [this](const ArrivalRegistration& r) { return r.watch == this; });
  }
  if (inotify_fd_ >= 0) close(inotify_fd_);
  if (event_fd_ >= 0) close(event_fd_);
  if (wake_fd_ >= 0) close(wake_fd_);
}

bool DeviceWatch::Start() {
  if (wake_fd_ >= 0) return true;
  if (!MakeFolders(folder_)) return false;
  inotify_fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  event_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  wake_fd_ = epoll_create1(EPOLL_CLOEXEC);
  if (inotify_fd_ < 0 || event_fd_ < 0 || wake_fd_ < 0) return false;
  const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM;
  if (inotify_add_watch(inotify_fd_, folder_.c_str(), mask) < 0) return false;
  for (int fd : {inotify_fd_, event_fd_}) {
    epoll_event interest{};
    interest.events = EPOLLIN;
    interest.data.fd = fd;
    if (epoll_ctl(wake_fd_, EPOLL_CTL_ADD, fd, &interest) != 0) return false;
  }
  return true;
}

void DeviceWatch::Post(const DeviceChange& change) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    queue_.push_back(change);
  }
  const uint64_t one = 1;
  if (event_fd_ >= 0) (void)!write(event_fd_, &one, sizeof one);
}

std::vector<DeviceChange> DeviceWatch::TakeChanges() {
  uint64_t count = 0;
  if (event_fd_ >= 0) (void)!read(event_fd_, &count, sizeof count);
  ReadFolderEvents();
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<DeviceChange> changes;
  changes.swap(queue_);
  return changes;
}

void DeviceWatch::ReadFolderEvents() {
  if (inotify_fd_ < 0) return;
  alignas(inotify_event) char buffer[8192];
  for (;;) {
    const ssize_t got = read(inotify_fd_, buffer, sizeof buffer);
    if (got <= 0) return;
    for (ssize_t at = 0; at < got;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      const std::string name = event->len > 0 ? std::string(event->name) : std::string();
      if (name.empty() || name[0] == '.') continue;
      const std::string path = folder_ + "/" + name;
      Registry& registry = Registrations();
      std::lock_guard<std::mutex> hold(registry.mutex);
      if (event->mask & (IN_CREATE | IN_MOVED_TO)) {
        if (!IsSocket(path)) continue;
        // Discovery may already have attached a socket whose creation is still queued here.
        const bool attached = std::any_of(
            registry.handles.begin(), registry.handles.end(), [&](const HandleRegistration& r) {
              return r.watch == this && r.path == path && !r.removal_posted;
            });
        if (attached) continue;
        for (const ArrivalRegistration& arrivals : registry.arrivals) {
          if (arrivals.watch != this || !NameIsOfClass(name, arrivals.interface_class)) continue;
          DeviceChange change;
          change.kind = DeviceChange::Kind::kArrival;
          change.device_type = 5;
          change.path = FromUtf8(path);
          change.interface_class = arrivals.interface_class;
          Post(change);
          break;
        }
      } else if (event->mask & (IN_DELETE | IN_MOVED_FROM)) {
        for (HandleRegistration& registration : registry.handles) {
          if (registration.watch == this && registration.path == path) PostRemoval(registration);
        }
      }
    }
  }
}

}  // namespace platform
