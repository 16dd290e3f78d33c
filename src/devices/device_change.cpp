// Device-change records to device manager calls.
#include "devices/device_change.h"

#include <algorithm>

#include "devices/device_manager.h"

namespace devices {
namespace {

constexpr uint32_t kDeviceTypeInterface = 5;
constexpr uint32_t kDeviceTypeHandle = 6;

char16_t FoldAscii(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

}  // namespace

bool SameInterfacePath(std::u16string_view a, std::u16string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char16_t x, char16_t y) { return FoldAscii(x) == FoldAscii(y); });
}

void HandleDeviceChange(void* window, const platform::DeviceChange& change,
                        DeviceChangeTarget& target) {
  using Kind = platform::DeviceChange::Kind;
  auto& query_removed = target.query_removed_;
  if (change.device_type == kDeviceTypeInterface) {
    // Only the controller class is registered for, but some systems (Wine) also send the
    // interfaces of every other class to a window with per-handle registrations.
    if (!(change.interface_class == kControllerInterfaceClass)) return;
    switch (change.kind) {
      case Kind::kArrival:
        target.Attach(window, change.path);
        break;
      case Kind::kRemovePending:
      case Kind::kRemoveComplete: {
        void* notification = nullptr;
        if (target.DetachPath(change.path, &notification) && notification != nullptr) {
          target.Unregister(notification);
        }
        // Registrations of an entry detached at query-remove whose own remove-complete never came.
        std::erase_if(query_removed, [&](const DeviceChangeTarget::QueryRemoved& kept) {
          if (!SameInterfacePath(kept.path, change.path)) return false;
          target.Unregister(kept.notification);
          return true;
        });
        break;
      }
      default:
        break;
    }
    return;
  }
  if (change.device_type != kDeviceTypeHandle || change.notification == nullptr) return;
  auto kept = std::find_if(query_removed.begin(), query_removed.end(),
                           [&](const DeviceChangeTarget::QueryRemoved& item) {
                             return item.notification == change.notification;
                           });
  switch (change.kind) {
    case Kind::kQueryRemove: {
      std::u16string path;
      if (kept == query_removed.end() && target.DetachRegistration(change.notification, &path)) {
        query_removed.push_back({change.notification, std::move(path)});
      }
      break;
    }
    case Kind::kQueryRemoveFailed:
      // The removal was vetoed: the device stays, so it is attached again with a new handle and
      // a new registration.
      if (kept != query_removed.end()) {
        const std::u16string path = std::move(kept->path);
        query_removed.erase(kept);
        target.Unregister(change.notification);
        target.Attach(window, path);
      }
      break;
    case Kind::kRemovePending:
    case Kind::kRemoveComplete: {
      // Only a registration that is still ours is unregistered: one already unregistered may
      // have been handed out again.
      std::u16string path;
      if (kept != query_removed.end()) {
        query_removed.erase(kept);
        target.Unregister(change.notification);
      } else if (target.DetachRegistration(change.notification, &path)) {
        target.Unregister(change.notification);
      }
      break;
    }
    default:
      break;
  }
}

}  // namespace devices
