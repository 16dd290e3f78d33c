// The device-change handler against a model of the device list: which records attach, detach and
// unregister, found by what, and in what order.
#include "devices/device_change.h"
#include "devices/device_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/fake_controllers.h"

namespace {

using platform::DeviceChange;
using Kind = platform::DeviceChange::Kind;

std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }
std::string Name(void* pointer) { return std::to_string(reinterpret_cast<uintptr_t>(pointer)); }
void* Ptr(uintptr_t value) { return reinterpret_cast<void*>(value); }

// Records the calls the handler makes. Entries hold a path and a registration; each attach adds
// one, registered with the next number from 100 on. (The device manager's own refusal of a path
// already attached is checked against it, below.)
class ModelTarget : public devices::DeviceChangeTarget {
 public:
  struct Entry {
    std::u16string path;
    void* notification;
  };
  void Attach(void* window, const std::u16string& path) override {
    calls.push_back("attach " + Narrow(path));
    windows.push_back(window);
    entries.push_back({path, Ptr(next_registration++)});
  }
  bool DetachRegistration(void* notification, std::u16string* path) override {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (it->notification != notification) continue;
      calls.push_back("detach " + Narrow(it->path));
      *path = it->path;
      entries.erase(it);
      return true;
    }
    return false;
  }
  bool DetachPath(const std::u16string& path, void** notification) override {
    for (auto it = entries.begin(); it != entries.end(); ++it) {
      if (!devices::SameInterfacePath(it->path, path)) continue;
      calls.push_back("detach " + Narrow(it->path));
      *notification = it->notification;
      entries.erase(it);
      return true;
    }
    return false;
  }
  void Unregister(void* notification) override { calls.push_back("unregister " + Name(notification)); }

  std::vector<std::u16string> Paths() const {
    std::vector<std::u16string> paths;
    for (const Entry& entry : entries) paths.push_back(entry.path);
    return paths;
  }
  void* RegistrationOf(const std::u16string& path) const {
    for (const Entry& entry : entries) {
      if (entry.path == path) return entry.notification;
    }
    return nullptr;
  }

  std::vector<Entry> entries;
  std::vector<std::string> calls;
  std::vector<void*> windows;
  uintptr_t next_registration = 100;
};

DeviceChange Interface(Kind kind, std::u16string path, uint32_t device_type = 5,
                       const platform::Guid& interface_class = devices::kControllerInterfaceClass) {
  DeviceChange change;
  change.kind = kind;
  change.device_type = device_type;
  change.path = std::move(path);
  change.interface_class = interface_class;
  return change;
}

DeviceChange Handle(Kind kind, void* notification, uintptr_t handle = 0x40) {
  DeviceChange change;
  change.kind = kind;
  change.device_type = 6;
  change.handle = Ptr(handle);
  change.notification = notification;
  return change;
}

// Every arrival is handed on, repeated ones too: the device manager decides what is attached.
TEST(DeviceChange, ArrivalOfInterfaceAttachesItsPathWithTheWindow) {
  ModelTarget target;
  int window = 0;
  devices::HandleDeviceChange(&window, Interface(Kind::kArrival, u"dev#1"), target);
  devices::HandleDeviceChange(&window, Interface(Kind::kArrival, u"DEV#1"), target);
  EXPECT_EQ(target.calls, (std::vector<std::string>{"attach dev#1", "attach DEV#1"}));
  EXPECT_EQ(target.windows, (std::vector<void*>{&window, &window}));
}

// Through the device manager: a repeated arrival, spelt in another case, opens the controller
// once and leaves one entry; its interface removal then closes it.
TEST(DeviceChange, RepeatedArrivalsOfAControllerOpenItOnce) {
  fake::Controllers controllers;
  controllers.Add("a");
  devices::DeviceChangeTarget& manager = devices::DeviceManagerTarget();
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"sim:a"), manager);
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"SIM:a"), manager);
  ASSERT_EQ(devices::AttachedDevices().size(), 1u);
  EXPECT_EQ(devices::AttachedDevices()[0].path, u"sim:a");
  EXPECT_EQ(controllers.OpenConnections("a"), 1);
  devices::HandleDeviceChange(nullptr, Interface(Kind::kRemoveComplete, u"SIM:A"), manager);
  EXPECT_TRUE(devices::AttachedDevices().empty());
  EXPECT_EQ(controllers.OpenConnections("a"), 0);
}

TEST(DeviceChange, InterfacePathsCompareWithoutRegardToCase) {
  EXPECT_TRUE(devices::SameInterfacePath(u"\\\\?\\root#sim#0001#{19d936f8}",
                                         u"\\\\?\\ROOT#SIM#0001#{19D936F8}"));
  EXPECT_FALSE(devices::SameInterfacePath(u"\\\\?\\root#sim#0001", u"\\\\?\\root#sim#0002"));
  EXPECT_FALSE(devices::SameInterfacePath(u"root#sim#0001", u"root#sim#00011"));
  EXPECT_FALSE(devices::SameInterfacePath(u"a[", u"A{"));  // only letters fold
}

// The order on Windows: per-handle query-remove, per-handle remove-complete, then the interface
// removal, which finds nothing left. The registration is unregistered exactly once.
TEST(DeviceChange, QueryRemoveDetachesRemoveCompleteUnregistersAndTheInterfaceRemovalFindsNothing) {
  ModelTarget target;
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"dev#1"), target);
  void* registration = target.RegistrationOf(u"dev#1");
  devices::HandleDeviceChange(nullptr, Handle(Kind::kQueryRemove, registration), target);
  EXPECT_TRUE(target.entries.empty());
  devices::HandleDeviceChange(nullptr, Handle(Kind::kRemoveComplete, registration), target);
  devices::HandleDeviceChange(nullptr, Interface(Kind::kRemoveComplete, u"DEV#1"), target);
  // A late duplicate names a registration no longer ours: it is left alone.
  devices::HandleDeviceChange(nullptr, Handle(Kind::kRemoveComplete, registration), target);
  EXPECT_EQ(target.calls,
            (std::vector<std::string>{"attach dev#1", "detach dev#1", "unregister 100"}));
}

// Under Wine no per-handle record ever comes (and a failed per-handle registration sends none):
// the interface removal detaches the entry of its path, in any case, and ends its registration.
TEST(DeviceChange, InterfaceRemovalDetachesTheEntryOfItsPathAndUnregistersIt) {
  ModelTarget target;
  for (const char16_t* path : {u"\\\\?\\root#sim#0001#{c}", u"\\\\?\\root#sim#0002#{c}"}) {
    devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, path), target);
  }
  target.calls.clear();
  devices::HandleDeviceChange(nullptr, Interface(Kind::kRemoveComplete, u"\\\\?\\ROOT#SIM#0001#{C}"),
                              target);
  devices::HandleDeviceChange(nullptr, Interface(Kind::kRemoveComplete, u"\\\\?\\ROOT#SIM#0001#{C}"),
                              target);  // the duplicate finds nothing
  EXPECT_EQ(target.calls,
            (std::vector<std::string>{"detach \\\\?\\root#sim#0001#{c}", "unregister 100"}));
  EXPECT_EQ(target.Paths(), (std::vector<std::u16string>{u"\\\\?\\root#sim#0002#{c}"}));

  // Removal broadcasts of other device types (ports, volumes, device nodes) change nothing, even
  // when they carry a matching name.
  target.calls.clear();
  for (uint32_t type : {0u, 2u, 3u, 7u}) {
    devices::HandleDeviceChange(nullptr,
                                Interface(Kind::kRemoveComplete, u"\\\\?\\root#sim#0002#{c}", type),
                                target);
  }
  devices::HandleDeviceChange(nullptr, Interface(Kind::kQueryRemove, u"\\\\?\\root#sim#0002#{c}"),
                              target);
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"x", 6), target);
  // Interfaces of other classes (Wine sends them to windows with per-handle registrations)
  // neither attach nor detach.
  const platform::Guid hid = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"\\\\?\\hid#x#1#{4d1e55b2}", 5, hid),
                              target);
  devices::HandleDeviceChange(
      nullptr, Interface(Kind::kRemoveComplete, u"\\\\?\\root#sim#0002#{c}", 5, hid), target);
  EXPECT_TRUE(target.calls.empty());
  EXPECT_EQ(target.Paths().size(), 1u);
}

// The handle value is closed at query-remove and may be handed to another controller's new
// handle: records are matched by the registration they came through, never by the handle value.
TEST(DeviceChange, PerHandleRecordsFindTheirEntryByRegistrationNotByHandleValue) {
  ModelTarget target;
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"a"), target);
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"b"), target);
  void* a = target.RegistrationOf(u"a");
  void* b = target.RegistrationOf(u"b");
  target.calls.clear();
  // a's query-remove carries a handle value equal to b's handle: a goes, b stays.
  devices::HandleDeviceChange(nullptr, Handle(Kind::kQueryRemove, a, /*handle=*/0xB0), target);
  EXPECT_EQ(target.Paths(), (std::vector<std::u16string>{u"b"}));
  // a returns with a new registration; the old remove-complete leaves it attached.
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"a"), target);
  devices::HandleDeviceChange(nullptr, Handle(Kind::kRemoveComplete, a, /*handle=*/0xB0), target);
  EXPECT_EQ(target.Paths(), (std::vector<std::u16string>{u"b", u"a"}));
  // A record without a registration names nothing.
  devices::HandleDeviceChange(nullptr, Handle(Kind::kQueryRemove, nullptr, 0xB0), target);
  devices::HandleDeviceChange(nullptr, Handle(Kind::kRemoveComplete, b), target);
  EXPECT_EQ(target.calls, (std::vector<std::string>{"detach a", "attach a", "unregister 100",
                                                     "detach b", "unregister 101"}));
  EXPECT_EQ(target.Paths(), (std::vector<std::u16string>{u"a"}));
}

TEST(DeviceChange, AVetoedRemovalAttachesThePathAgainAndRemovePendingCountsAsComplete) {
  ModelTarget target;
  int window = 0;
  devices::HandleDeviceChange(&window, Interface(Kind::kArrival, u"a"), target);
  void* first = target.RegistrationOf(u"a");
  devices::HandleDeviceChange(&window, Handle(Kind::kQueryRemove, first), target);
  devices::HandleDeviceChange(&window, Handle(Kind::kQueryRemoveFailed, first), target);
  ASSERT_EQ(target.Paths(), (std::vector<std::u16string>{u"a"}));
  EXPECT_EQ(target.windows.back(), &window);
  void* second = target.RegistrationOf(u"a");
  EXPECT_NE(second, first);
  // A second failure for the same registration, or one never queried, changes nothing.
  devices::HandleDeviceChange(&window, Handle(Kind::kQueryRemoveFailed, first), target);
  devices::HandleDeviceChange(&window, Handle(Kind::kQueryRemoveFailed, second), target);

  // Remove-pending ends the entry as remove-complete does, with or without a query first.
  devices::HandleDeviceChange(&window, Handle(Kind::kRemovePending, second), target);
  EXPECT_TRUE(target.entries.empty());
  devices::HandleDeviceChange(&window, Interface(Kind::kArrival, u"a"), target);
  void* third = target.RegistrationOf(u"a");
  devices::HandleDeviceChange(&window, Handle(Kind::kQueryRemove, third), target);
  devices::HandleDeviceChange(&window, Handle(Kind::kRemovePending, third), target);
  devices::HandleDeviceChange(&window, Handle(Kind::kRemoveComplete, third), target);
  devices::HandleDeviceChange(&window, Handle(Kind::kQueryRemoveFailed, third), target);
  EXPECT_TRUE(target.entries.empty());
  EXPECT_EQ(target.calls,
            (std::vector<std::string>{"attach a", "detach a", "unregister 100", "attach a",
                                      "detach a", "unregister 101", "attach a", "detach a",
                                      "unregister 102"}));
}

// An entry detached at query-remove whose remove-complete never comes (its registration failed
// later, or the OS skipped it) is forgotten, and its registration ended, at the interface removal.
TEST(DeviceChange, InterfaceRemovalEndsARegistrationKeptSinceQueryRemove) {
  ModelTarget target;
  devices::HandleDeviceChange(nullptr, Interface(Kind::kArrival, u"a"), target);
  void* registration = target.RegistrationOf(u"a");
  devices::HandleDeviceChange(nullptr, Handle(Kind::kQueryRemove, registration), target);
  devices::HandleDeviceChange(nullptr, Interface(Kind::kRemovePending, u"A"), target);
  devices::HandleDeviceChange(nullptr, Handle(Kind::kQueryRemoveFailed, registration), target);
  EXPECT_EQ(target.calls, (std::vector<std::string>{"attach a", "detach a", "unregister 100"}));
  EXPECT_TRUE(target.entries.empty());
}

}  // namespace
