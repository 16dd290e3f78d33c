// Device-interface enumeration and device-change notifications.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/guid.h"

namespace platform {

// Paths of the present interfaces of a device-interface class, in the OS's enumeration order.
// Linux: the sockets of the driver's device folder, in name order.
std::vector<std::u16string> EnumerateInterfaces(const Guid& interface_class);

// What a device-change notification carries, already decoded from the OS record.
struct DeviceChange {
  enum class Kind {
    kArrival,
    kQueryRemove,
    kQueryRemoveFailed,
    kRemovePending,
    kRemoveComplete,
    kOther
  };
  Kind kind = Kind::kOther;
  uint32_t device_type = 0;      // 5 device interface, 6 handle
  std::u16string path;           // device type 5: the interface path
  Guid interface_class;          // device type 5: the class of the interface
  void* handle = nullptr;        // device type 6: the handle the notification was registered for
  void* notification = nullptr;  // device type 6: the per-handle registration it came through
};

// Registration of a recipient (the message window on Windows) for arrivals of a class and for
// removal of one handle. Null on failure.
void* RegisterInterfaceArrivals(void* recipient, const Guid& interface_class);
void* RegisterHandleRemoval(void* recipient, void* native_handle);
void UnregisterNotification(void* notification);

}  // namespace platform
