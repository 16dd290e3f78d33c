// Discovery, attach, detach and the clutch event route of the device manager.
#include "devices/device_manager.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "clutch/clutch.h"
#include "devices/device_change.h"
#include "log/log.h"
#include "platform/devices.h"
#include "session/ardrith_clutch_thread.h"
#include "session/device_session.h"

namespace devices {
namespace {

using Corvane::Vexmoor::CArdrithClutch;
using Corvane::Vexmoor::CArdrithClutchThread;

// The list is changed only on the main thread and read by every clutch thread. The lock is held
// only to read or change the list, never across a session or a thread stop: DetachDevice waits
// for the clutch event in progress, which may itself be waiting to read the list.
std::mutex& ListLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

// Never destroyed: clutch threads of controllers still attached at exit may read it.
DeviceList& Devices() {
  static DeviceList* list = new DeviceList;
  return *list;
}

class ManagerTarget final : public DeviceChangeTarget {
 public:
  void Attach(void* window, const std::u16string& path) override { AttachDevice(window, path); }
  bool DetachRegistration(void* notification, std::u16string* path) override {
    return devices::DetachRegistration(notification, path);
  }
  bool DetachPath(const std::u16string& path, void** notification) override {
    return devices::DetachPath(path, notification);
  }
  void Unregister(void* notification) override { platform::UnregisterNotification(notification); }
};

// The first entry that matches, or null. Main thread: only it changes the list, so the entry
// stays valid after the lock is released.
template <typename Match>
DeviceEntry* FindEntry(Match match) {
  std::lock_guard<std::mutex> hold(ListLock());
  DeviceList& list = Devices();
  for (size_t i = 0; i < list.size(); ++i) {
    if (match(*list.at(i))) return list.at(i);
  }
  return nullptr;
}

std::atomic<DeviceObserver*> observer{nullptr};

// Stops the entry's clutch thread, frees its clutch, closes its device and removes it from the
// list. Main thread.
void DetachEntry(DeviceEntry* entry) {
  if (DeviceObserver* watcher = observer.load()) watcher->Detached(entry->path);
  // Waits for a clutch event in progress on this controller; no lock is held meanwhile.
  entry->clutch_thread->Stop();
  std::unique_ptr<CArdrithClutchThread> thread;
  std::unique_ptr<CArdrithClutch> clutch;
  {
    std::lock_guard<std::mutex> hold(ListLock());
    thread = std::move(entry->clutch_thread);
    clutch = std::move(entry->clutch);
  }
  thread.reset();
  clutch.reset();
  platform::CloseDevice(entry->device);
  {
    std::lock_guard<std::mutex> hold(ListLock());
    DeviceList& list = Devices();
    for (size_t i = 0; i < list.size(); ++i) {
      if (list.at(i) == entry) {
        list.RemoveAt(i);
        break;
      }
    }
  }
  delete entry;
}

}  // namespace

DeviceChangeTarget& DeviceManagerTarget() {
  static ManagerTarget* target = new ManagerTarget;
  return *target;
}

DeviceEntry::DeviceEntry() = default;
DeviceEntry::~DeviceEntry() = default;

DeviceList::~DeviceList() { ::operator delete(items_); }

void DeviceList::Append(DeviceEntry* entry) {
  if (size_ == capacity_) {
    const size_t grown = std::max(capacity_ + capacity_ / 2, size_ + 1);
    auto** items = static_cast<DeviceEntry**>(::operator new(grown * sizeof(DeviceEntry*)));
    std::copy(items_, items_ + size_, items);
    ::operator delete(items_);
    items_ = items;
    capacity_ = grown;
  }
  items_[size_++] = entry;
}

void DeviceList::RemoveAt(size_t index) {
  std::copy(items_ + index + 1, items_ + size_, items_ + index);
  --size_;
}

void* NotificationKey(platform::DeviceHandle device) {
  if (device == nullptr) return nullptr;
  void* native = device->NativeHandle();
  return native != nullptr ? native : device;
}

std::vector<std::u16string> EnumerateDevices() {
  return platform::EnumerateInterfaces(kControllerInterfaceClass);
}

void DiscoverDevices(void* window, std::vector<std::u16string> (*enumerate)()) {
  // The registration is never undone: arrivals are wanted for the life of the process. Without
  // it only the controllers present now are served, which a user would not see otherwise.
  if (platform::RegisterInterfaceArrivals(window, kControllerInterfaceClass) == nullptr) {
    LogMessage(kLogError, kLogCategory, u"Device Arrival Registration Failed");
  }
  for (const std::u16string& path : enumerate()) AttachDevice(window, path);
}

void AttachDevice(void* window, const std::u16string& path,
                  RemovalRegistration register_removal) {
  // Arrivals repeat what discovery found, and some systems send each arrival more than once.
  if (FindEntry([&](const DeviceEntry& e) { return SameInterfacePath(e.path, path); })) return;
  platform::DeviceHandle device =
      platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, /*overlapped=*/true);
  if (device == nullptr) return;
  void* notification = nullptr;
  if (window != nullptr) {
    notification = register_removal(window, NotificationKey(device));
    if (notification == nullptr) {
      // Unregistered, the open handle would veto an orderly removal (disabling or uninstalling
      // the device) that the service never hears of. The controller is left closed until its
      // interface arrives again.
      LogMessage(kLogError, kLogCategory, u"Device Removal Registration Failed %ws", path.c_str());
      platform::CloseDevice(device);
      return;
    }
  }

  DeviceObserver* watcher = observer.load();
  {
    DeviceSession session;
    session.Setup(path);  // attaching goes on when setup fails

    auto clutch = std::make_unique<CArdrithClutch>(device);
    clutch->SetNotification(nullptr, nullptr);
    clutch->Init(session);
    const std::u16string profile_root = clutch->root_folder();
    auto thread = std::make_unique<CArdrithClutchThread>(device, &OnClutchEvent);

    auto* entry = new DeviceEntry;
    entry->path = path;
    entry->device = device;
    entry->notification = notification;
    CArdrithClutchThread* started = thread.get();
    entry->clutch_thread = std::move(thread);
    entry->clutch = std::move(clutch);
    {
      std::lock_guard<std::mutex> hold(ListLock());
      Devices().Append(entry);
    }
    // Known to the observer before any clutch event: an engage that comes before Attached is not
    // lost.
    if (watcher != nullptr) watcher->Attaching(path, session.device_type(), profile_root);
    started->Start();
    // The session ends here, stopping every thread it started.
  }
  if (watcher != nullptr) watcher->Attached(path);
}

void DetachDevice(void* handle) {
  if (handle == nullptr) return;
  DeviceEntry* entry =
      FindEntry([&](const DeviceEntry& e) { return NotificationKey(e.device) == handle; });
  if (entry != nullptr) DetachEntry(entry);
}

bool DetachRegistration(void* notification, std::u16string* path) {
  if (notification == nullptr) return false;
  DeviceEntry* entry =
      FindEntry([&](const DeviceEntry& e) { return e.notification == notification; });
  if (entry == nullptr) return false;
  *path = entry->path;
  DetachEntry(entry);
  return true;
}

bool DetachPath(const std::u16string& path, void** notification) {
  DeviceEntry* entry =
      FindEntry([&](const DeviceEntry& e) { return SameInterfacePath(e.path, path); });
  if (entry == nullptr) return false;
  *notification = entry->notification;
  DetachEntry(entry);
  return true;
}

void OnClutchEvent(uint32_t engaged, uint32_t event_type, CArdrithClutchThread* thread) {
  // A snapshot of this thread's entries; each stays alive until its thread has been stopped,
  // which waits for this call to return.
  std::vector<std::pair<std::u16string, CArdrithClutch*>> targets;
  {
    std::lock_guard<std::mutex> hold(ListLock());
    const DeviceList& list = Devices();
    for (size_t i = 0; i < list.size(); ++i) {
      DeviceEntry* entry = list.at(i);
      if (entry->clutch_thread.get() == thread) targets.emplace_back(entry->path, entry->clutch.get());
    }
  }
  DeviceObserver* watcher = observer.load();
  for (auto& [path, clutch] : targets) {
    if (watcher != nullptr && engaged != 0 && !clutch->engaged()) watcher->ClutchEngaging(path);
    bool released = false;
    const uint64_t choices = clutch->choices();
    {
      DeviceSession session;
      session.Setup(path);
      released = clutch->HandleEvent(session, engaged != 0, event_type);
    }
    if (watcher != nullptr && clutch->choices() != choices) watcher->ClutchChose(path);
    if (watcher != nullptr && released) watcher->ClutchReleased(path);
  }
}

void SetDeviceObserver(DeviceObserver* installed) { observer.store(installed); }

std::vector<AttachedDevice> AttachedDevices() {
  std::lock_guard<std::mutex> hold(ListLock());
  std::vector<AttachedDevice> devices;
  const DeviceList& list = Devices();
  for (size_t i = 0; i < list.size(); ++i) {
    const DeviceEntry& entry = *list.at(i);
    devices.push_back({entry.path, entry.device, entry.notification});
  }
  return devices;
}

size_t DeviceListCapacity() {
  std::lock_guard<std::mutex> hold(ListLock());
  return Devices().capacity();
}

}  // namespace devices
