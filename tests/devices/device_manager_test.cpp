// The device manager against in-process test controllers: attach, detach, the list's order and
// growth, the route of clutch events, and attach/detach racing clutch events on other threads.
#include "devices/device_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "devices/device_change.h"
#include "devices/fake_controllers.h"
#include "log/log.h"

namespace {

using fake::Controllers;

std::vector<std::u16string> Paths() {
  std::vector<std::u16string> paths;
  for (const devices::AttachedDevice& device : devices::AttachedDevices()) paths.push_back(device.path);
  return paths;
}

void* KeyOf(const std::u16string& path) {
  for (const devices::AttachedDevice& device : devices::AttachedDevices()) {
    if (device.path == path) return devices::NotificationKey(device.device);
  }
  return nullptr;
}

int Count(const std::vector<fake::Request>& requests, uint32_t code) {
  int count = 0;
  for (const fake::Request& request : requests) count += request.code == code;
  return count;
}

class DeviceManagerTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const devices::AttachedDevice& device : devices::AttachedDevices()) {
      devices::DetachDevice(devices::NotificationKey(device.device));
    }
    EXPECT_TRUE(devices::AttachedDevices().empty());
  }
  Controllers controllers_;
};

TEST(DeviceList, GrowsByHalfOrToTheNewSizeAndKeepsOrderOnRemoval) {
  devices::DeviceList list;
  devices::DeviceEntry entries[10];
  std::vector<size_t> capacities;
  for (devices::DeviceEntry& entry : entries) {
    list.Append(&entry);
    capacities.push_back(list.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<size_t>{1, 2, 3, 4, 6, 6, 9, 9, 9, 13}));
  list.RemoveAt(4);
  ASSERT_EQ(list.size(), 9u);
  EXPECT_EQ(list.at(3), &entries[3]);
  EXPECT_EQ(list.at(4), &entries[5]);
  EXPECT_EQ(list.at(8), &entries[9]);
  EXPECT_EQ(list.capacity(), 13u);
}

TEST_F(DeviceManagerTest, APathThatCannotBeOpenedAddsNothing) {
  devices::AttachDevice(nullptr, u"sim:absent");
  EXPECT_TRUE(devices::AttachedDevices().empty());
}

struct LogLines {
  static void Receive(void* context, uint8_t level, uint64_t, const char16_t* line) {
    auto* lines = static_cast<LogLines*>(context);
    std::lock_guard<std::mutex> hold(lines->mutex);
    if (level == kLogError) lines->errors.emplace_back(line);
  }
  std::mutex mutex;
  std::vector<std::u16string> errors;
};

// A path that is attached already, as discovery and a repeated arrival both give it, and in
// another case as an arrival broadcast spells it, is neither opened nor added again. With no
// window nothing is registered (in-process runs): the entry goes with its interface's removal.
TEST_F(DeviceManagerTest, AnAttachedPathInAnyCaseIsNotAttachedAgain) {
  controllers_.Add("a");
  devices::AttachDevice(nullptr, u"sim:a");
  devices::AttachDevice(nullptr, u"sim:a");
  devices::AttachDevice(nullptr, u"SIM:a");
  ASSERT_EQ(Paths(), (std::vector<std::u16string>{u"sim:a"}));
  EXPECT_EQ(controllers_.OpenConnections("a"), 1);
  EXPECT_EQ(devices::AttachedDevices()[0].notification, nullptr);

  void* registration = nullptr;
  EXPECT_FALSE(devices::DetachRegistration(nullptr, nullptr));  // no registration names nothing
  EXPECT_TRUE(devices::DetachPath(u"SIM:A", &registration));
  EXPECT_TRUE(devices::AttachedDevices().empty());
  EXPECT_EQ(controllers_.OpenConnections("a"), 0);
  EXPECT_FALSE(devices::DetachPath(u"sim:a", &registration));
}

// The removal registration of the next attach fails once, then hands out kRegistration.
std::atomic<int> g_registration_failures{0};
void* const kRegistration = reinterpret_cast<void*>(0x5151);
void* RegisterFailingOnce(void*, void*) {
  return g_registration_failures.fetch_sub(1) > 0 ? nullptr : kRegistration;
}

// The device manager behind device-change records, with the registration above.
class FailingRegistrationTarget final : public devices::DeviceChangeTarget {
 public:
  void Attach(void* window, const std::u16string& path) override {
    devices::AttachDevice(window, path, &RegisterFailingOnce);
  }
  bool DetachRegistration(void* notification, std::u16string* path) override {
    return devices::DetachRegistration(notification, path);
  }
  bool DetachPath(const std::u16string& path, void** notification) override {
    return devices::DetachPath(path, notification);
  }
  void Unregister(void* notification) override { unregistered.push_back(notification); }
  std::vector<void*> unregistered;
};

// A controller whose per-handle removal registration fails must not hold its handle open: that
// handle would veto an orderly removal the service never hears of. The failure is logged, the
// handle closed, and the next arrival record of the path attaches the controller, whose removal
// records then reach it.
TEST_F(DeviceManagerTest, AFailedRemovalRegistrationClosesTheHandleUntilTheNextArrival) {
  LogLines lines;
  g_log_sink = LogSink{1, &lines, &LogLines::Receive, 4, kLogCategory};
  controllers_.Add("a");
  FailingRegistrationTarget target;
  int window = 0;
  platform::DeviceChange arrival;
  arrival.kind = platform::DeviceChange::Kind::kArrival;
  arrival.device_type = 5;
  arrival.path = u"sim:a";
  arrival.interface_class = devices::kControllerInterfaceClass;
  g_registration_failures = 1;
  devices::HandleDeviceChange(&window, arrival, target);
  EXPECT_TRUE(devices::AttachedDevices().empty());
  EXPECT_EQ(controllers_.OpenConnections("a"), 0);
  ASSERT_EQ(lines.errors.size(), 1u);
  EXPECT_NE(lines.errors[0].find(u"Device Removal Registration Failed sim:a"), std::u16string::npos);

  devices::HandleDeviceChange(&window, arrival, target);
  g_log_sink = LogSink{};
  ASSERT_EQ(devices::AttachedDevices().size(), 1u);
  EXPECT_EQ(devices::AttachedDevices()[0].notification, kRegistration);
  EXPECT_EQ(controllers_.OpenConnections("a"), 1);
  EXPECT_TRUE(controllers_.ClutchWaitOutstanding("a"));
  EXPECT_EQ(lines.errors.size(), 1u);

  platform::DeviceChange query_remove;
  query_remove.kind = platform::DeviceChange::Kind::kQueryRemove;
  query_remove.device_type = 6;
  query_remove.notification = kRegistration;
  devices::HandleDeviceChange(&window, query_remove, target);
  EXPECT_TRUE(devices::AttachedDevices().empty());
  EXPECT_EQ(controllers_.OpenConnections("a"), 0);
  query_remove.kind = platform::DeviceChange::Kind::kRemoveComplete;
  devices::HandleDeviceChange(&window, query_remove, target);
  EXPECT_EQ(target.unregistered, (std::vector<void*>{kRegistration}));
}

// Without the arrival registration only the controllers present at start would ever be served.
TEST_F(DeviceManagerTest, AFailedArrivalRegistrationIsLogged) {
  LogLines lines;
  g_log_sink = LogSink{1, &lines, &LogLines::Receive, 4, kLogCategory};
  devices::DiscoverDevices(nullptr, [] { return std::vector<std::u16string>{}; });
  g_log_sink = LogSink{};
  ASSERT_EQ(lines.errors.size(), 1u);
  EXPECT_NE(lines.errors[0].find(u"Device Arrival Registration Failed"), std::u16string::npos);
}

TEST_F(DeviceManagerTest, AttachStartsTheClutchThreadAndDetachClosesEveryHandle) {
  controllers_.Add("a");
  devices::AttachDevice(nullptr, u"sim:a");
  ASSERT_EQ(Paths(), (std::vector<std::u16string>{u"sim:a"}));
  EXPECT_TRUE(controllers_.ClutchWaitOutstanding("a"));
  devices::DetachDevice(KeyOf(u"sim:a"));
  EXPECT_TRUE(devices::AttachedDevices().empty());
  EXPECT_EQ(controllers_.OpenConnections("a"), 0);
}

TEST_F(DeviceManagerTest, DetachingTheMiddleOfThreeKeepsTheOthersInOrder) {
  for (const char* name : {"a", "b", "c"}) controllers_.Add(name);
  for (const char16_t* path : {u"sim:a", u"sim:b", u"sim:c"}) devices::AttachDevice(nullptr, path);
  devices::DetachDevice(KeyOf(u"sim:b"));
  EXPECT_EQ(Paths(), (std::vector<std::u16string>{u"sim:a", u"sim:c"}));
  devices::DetachDevice(KeyOf(u"sim:b"));  // already gone: nothing happens
  EXPECT_EQ(Paths(), (std::vector<std::u16string>{u"sim:a", u"sim:c"}));
}

TEST_F(DeviceManagerTest, AClutchEventReachesOnlyItsOwnController) {
  controllers_.Add("a");
  controllers_.Add("b");
  devices::AttachDevice(nullptr, u"sim:a");
  devices::AttachDevice(nullptr, u"sim:b");
  const int mode_before_a = Count(controllers_.Requests("a"), fake::kSetClutchMode);
  ASSERT_TRUE(controllers_.RaiseClutch("b", 1, 0));
  EXPECT_EQ(Count(controllers_.Requests("b"), fake::kSetClutchMode), 1);
  EXPECT_GE(Count(controllers_.Requests("b"), fake::kSetClutchText), 1);
  EXPECT_EQ(Count(controllers_.Requests("a"), fake::kSetClutchMode), mode_before_a);
  EXPECT_EQ(Count(controllers_.Requests("a"), fake::kSetClutchText), 0);
}

TEST_F(DeviceManagerTest, AControllerThatReturnsIsAttachedAsANewEntry) {
  controllers_.Add("a");
  devices::AttachDevice(nullptr, u"sim:a");
  void* first = KeyOf(u"sim:a");
  devices::DetachDevice(first);
  devices::AttachDevice(nullptr, u"sim:a");
  ASSERT_EQ(Paths().size(), 1u);
  ASSERT_TRUE(controllers_.RaiseClutch("a", 1, 0));  // the new entry has a running clutch thread
}

// Attach and detach on this thread while clutch events run on two controllers' threads: no
// deadlock (every step has a deadline) and no data race (run under ThreadSanitizer).
TEST_F(DeviceManagerTest, AttachAndDetachRaceClutchEventsOfTwoControllers) {
  for (const char* name : {"a", "b", "c"}) controllers_.Add(name);
  devices::AttachDevice(nullptr, u"sim:a");
  devices::AttachDevice(nullptr, u"sim:b");
  std::atomic<int> failures{0};
  auto drive = [&](const char* name) {
    for (int i = 0; i < 20; ++i) {
      if (!controllers_.RaiseClutch(name, 1, 0) || !controllers_.RaiseClutch(name, 1, 5) ||
          !controllers_.RaiseClutch(name, 0, 0)) {
        ++failures;
        return;
      }
    }
  };
  std::thread first(drive, "a");
  std::thread second(drive, "b");
  for (int i = 0; i < 20; ++i) {
    devices::AttachDevice(nullptr, u"sim:c");
    devices::DetachDevice(KeyOf(u"sim:c"));
  }
  first.join();
  second.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(Paths(), (std::vector<std::u16string>{u"sim:a", u"sim:b"}));
  EXPECT_EQ(Count(controllers_.Requests("a"), fake::kSetClutchMode), 40);
  // Detaching while an event is being handled waits for it and then stops the thread.
  ASSERT_TRUE(controllers_.CompleteClutch("a", 1, 0));
  devices::DetachDevice(KeyOf(u"sim:a"));
  EXPECT_EQ(Paths(), (std::vector<std::u16string>{u"sim:b"}));
}

}  // namespace
