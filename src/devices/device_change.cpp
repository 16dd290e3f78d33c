// Device-change records to device manager calls.
#include "devices/device_change.h"

namespace devices {
namespace {

constexpr uint32_t kDeviceTypeInterface = 5;
constexpr uint32_t kDeviceTypeHandle = 6;

}  // namespace

void HandleDeviceChange(void* window, const platform::DeviceChange& change,
                        DeviceChangeTarget& target) {
  using Kind = platform::DeviceChange::Kind;
  switch (change.kind) {
    case Kind::kArrival:
      if (change.device_type == kDeviceTypeInterface) target.Attach(window, change.path);
      break;
    case Kind::kQueryRemove:
      if (change.device_type == kDeviceTypeHandle) target.Detach(change.handle);
      break;
    case Kind::kRemoveComplete:
      if (change.device_type == kDeviceTypeHandle) {
        target.Unregister(change.notification);
        target.Detach(change.handle);
      }
      break;
    case Kind::kQueryRemoveFailed:  // the device stays detached until it arrives again
    case Kind::kOther:
      break;
  }
}

}  // namespace devices
