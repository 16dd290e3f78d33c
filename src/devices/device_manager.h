// The device manager: discovery of the controllers, the list of attached controllers, attach and
// detach, and the route of each clutch event to its controller's clutch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_io.h"
#include "platform/devices.h"
#include "platform/guid.h"

namespace Corvane::Vexmoor {
class CArdrithClutch;
class CArdrithClutchThread;
}  // namespace Corvane::Vexmoor

namespace devices {

// The controller device-interface class {19D936F8-BAC2-4636-82B7-BC2C35F33F2A}.
inline constexpr platform::Guid kControllerInterfaceClass = {
    0x19D936F8, 0xBAC2, 0x4636, {0x82, 0xB7, 0xBC, 0x2C, 0x35, 0xF3, 0x3F, 0x2A}};

// One attached controller. The device handle is shared with the clutch and the clutch thread;
// only DetachDevice closes it, after stopping the thread.
struct DeviceEntry {
  DeviceEntry();
  ~DeviceEntry();
  std::u16string path;
  platform::DeviceHandle device = nullptr;
  // The per-handle removal registration of the device; null when attached without a window.
  // Removal records of the handle name it.
  void* notification = nullptr;
  std::unique_ptr<Corvane::Vexmoor::CArdrithClutchThread> clutch_thread;
  std::unique_ptr<Corvane::Vexmoor::CArdrithClutch> clutch;
};

// An ordered, growable array of entry pointers. Appending to a full array grows its capacity to
// the larger of one and a half times the old capacity and the new size; removal keeps the order
// of the others. It never owns the entries' lifetime decisions: the device manager does.
class DeviceList {
 public:
  DeviceList() = default;
  ~DeviceList();
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  DeviceEntry* at(size_t index) const { return items_[index]; }
  void Append(DeviceEntry* entry);
  void RemoveAt(size_t index);

 private:
  DeviceEntry** items_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// The handle value that device notifications carry for an open device: the OS handle where
// there is one, else the connection itself (in-process devices).
void* NotificationKey(platform::DeviceHandle device);

// The paths of the present controller interfaces, in the OS's enumeration order.
std::vector<std::u16string> EnumerateDevices();
// Registers window for arrivals of the controller class, then attaches every present controller.
// Registering first loses no controller that arrives in between: the OS does not replay the
// interfaces present at registration, and an arrival of a path already attached adds nothing.
// enumerate lists the present controllers (EnumerateDevices unless a test gives another).
void DiscoverDevices(void* window,
                     std::vector<std::u16string> (*enumerate)() = &EnumerateDevices);
// Registers a recipient for the removal of one open device (the notification key of the
// handle); null on failure. platform::RegisterHandleRemoval unless a test gives another.
using RemovalRegistration = void* (*)(void* recipient, void* native_handle);
// Opens path, registers window for the removal of its handle, brings the controller's outputs up
// to date with one session, and adds an entry whose clutch thread runs until it is detached.
// Nothing is added when the path cannot be opened or an attached entry has the same path
// (compared without regard to case). When the removal registration fails, the failure is logged,
// the handle is closed again and nothing is added: the next arrival of the path attaches it. A
// null window registers nothing (in-process runs and tests, whose removals come as records of
// the interface).
void AttachDevice(void* window, const std::u16string& path,
                  RemovalRegistration register_removal = &platform::RegisterHandleRemoval);
// Detaches the first entry whose device has the notification key handle; ignores unknown ones.
void DetachDevice(void* handle);
// Detaches the entry whose removal registration is notification; its path goes to *path. False
// when no entry has it.
bool DetachRegistration(void* notification, std::u16string* path);
// Detaches the entry attached from path (compared without regard to case); its removal
// registration goes to *notification. False when no entry has the path.
bool DetachPath(const std::u16string& path, void** notification);
// The clutch thread's handler: runs the clutch event rule on the thread's entry with a fresh
// session.
void OnClutchEvent(uint32_t engaged, uint32_t event_type,
                   Corvane::Vexmoor::CArdrithClutchThread* thread);

// Told of controllers coming and going and of their clutches (automatic profiles). Attaching
// runs on the attaching thread once the controller is in the list, just before its clutch thread
// starts, so that the observer knows the controller before any of its clutch events; Attached
// once its attach session has ended; Detached on the detaching thread before the controller
// goes. The clutch calls on its clutch thread: engaging before the event's session starts,
// chose after the user loaded or cleared a profile with it, released after the release is sent.
class DeviceObserver {
 public:
  virtual ~DeviceObserver() = default;
  virtual void Attaching(const std::u16string& path, const platform::Guid& device_type,
                         const std::u16string& profile_root) = 0;
  virtual void Attached(const std::u16string& path) = 0;
  virtual void Detached(const std::u16string& path) = 0;
  virtual void ClutchEngaging(const std::u16string& path) = 0;
  virtual void ClutchChose(const std::u16string& path) = 0;
  virtual void ClutchReleased(const std::u16string& path) = 0;
};
// Installs (null: removes) the observer; none by default.
void SetDeviceObserver(DeviceObserver* observer);

// A copy of what the list holds, for tools and tests.
struct AttachedDevice {
  std::u16string path;
  platform::DeviceHandle device;
  void* notification;
};
std::vector<AttachedDevice> AttachedDevices();
size_t DeviceListCapacity();

}  // namespace devices
