// Maps the device-change records of the OS (window messages on Windows, the device folder watch on
// Linux) to attach and detach calls of the device manager.
#pragma once

#include <string>

#include "platform/devices.h"

namespace devices {

// What a device-change record can ask for. The device manager implements it; tests record it.
class DeviceChangeTarget {
 public:
  virtual ~DeviceChangeTarget() = default;
  virtual void Attach(void* window, const std::u16string& path) = 0;
  virtual void Detach(void* handle) = 0;
  virtual void Unregister(void* notification) = 0;
};

// Arrival of a device interface (type 5): attach its path. Query-remove of a handle (type 6):
// detach it, always granting the removal. Remove-complete of a handle (type 6): unregister the
// handle's notification first, then detach. Anything else changes nothing.
void HandleDeviceChange(void* window, const platform::DeviceChange& change,
                        DeviceChangeTarget& target);

// The target that calls AttachDevice, DetachDevice and UnregisterNotification.
DeviceChangeTarget& DeviceManagerTarget();

}  // namespace devices
