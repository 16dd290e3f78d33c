// Maps the device-change records of the OS (window messages on Windows, the device folder watch on
// Linux) to attach and detach calls of the device manager.
#pragma once

#include <string>
#include <vector>

#include "platform/devices.h"

namespace devices {

// What a device-change record can ask for. The device manager implements it; tests model it.
// The target also remembers, for HandleDeviceChange, the per-handle registrations whose entry was
// detached at query-remove: the registration stays until removal completes or is vetoed.
class DeviceChangeTarget {
 public:
  virtual ~DeviceChangeTarget() = default;
  // Attaches path, unless an attached entry has the same path compared without regard to case.
  virtual void Attach(void* window, const std::u16string& path) = 0;
  // Detaches the entry whose per-handle registration is notification and gives its path. False
  // when no entry has it.
  virtual bool DetachRegistration(void* notification, std::u16string* path) = 0;
  // Detaches the entry attached from path (compared without regard to case) and gives its
  // per-handle registration (null when it has none). False when no entry has the path.
  virtual bool DetachPath(const std::u16string& path, void** notification) = 0;
  virtual void Unregister(void* notification) = 0;

 private:
  friend void HandleDeviceChange(void*, const platform::DeviceChange&, DeviceChangeTarget&);
  struct QueryRemoved {
    void* notification;
    std::u16string path;
  };
  std::vector<QueryRemoved> query_removed_;  // changed on the main thread only
};

// Records of device interfaces (type 5) of another class than the controllers' change nothing.
// Arrival of a device interface (type 5): attach its path.
// Per-handle records (type 6) name their entry by the registration (notification) they came
// through, never by the handle value, which the OS reuses once the handle is closed:
// - query-remove: detach the entry, always granting the removal; its registration is kept;
// - query-remove failed (the removal was vetoed): unregister the kept registration and attach the
//   path again;
// - remove-pending or remove-complete: unregister the registration, then detach its entry if
//   still attached.
// Remove-pending or remove-complete of a device interface (type 5): detach the entry of that path
// and unregister its registration. This is how an entry goes when no per-handle record comes.
// Anything else changes nothing.
void HandleDeviceChange(void* window, const platform::DeviceChange& change,
                        DeviceChangeTarget& target);

// Paths of device interfaces compare without regard to case (ASCII letters).
bool SameInterfacePath(std::u16string_view a, std::u16string_view b);

// The target that calls the device manager and UnregisterNotification.
DeviceChangeTarget& DeviceManagerTarget();

}  // namespace devices
