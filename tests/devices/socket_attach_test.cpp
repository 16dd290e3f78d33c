// Controllers served over the socket transport: discovery, arrival and removal through the
// device folder watch, and clutch events, with the device manager on this thread.
#ifndef _WIN32

#include <poll.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>

#include "devices/device_change.h"
#include "devices/device_manager.h"
#include "devices/fake_controllers.h"
#include "platform/posix/device_watch.h"
#include "platform/text.h"
#include "sim/socket_server.h"

namespace {

const std::string kClassSuffix = "#{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}";

class SocketAttachTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/skyhelm-attach-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    setenv("SKYHELM_DEVICE_DIR", folder_.c_str(), 1);
    controllers_.Add("a");
    controllers_.Add("b");
  }
  void TearDown() override {
    for (const devices::AttachedDevice& device : devices::AttachedDevices()) {
      devices::DetachDevice(devices::NotificationKey(device.device));
    }
    server_.reset();
    unsetenv("SKYHELM_DEVICE_DIR");
    ASSERT_EQ(std::system(("rm -rf '" + folder_ + "'").c_str()), 0);
  }
  // Hands the watch's records to the device manager until the list has count entries (rounds
  // tenths of a second at most).
  bool PumpUntil(platform::DeviceWatch& watch, size_t count, int rounds = 50) {
    for (int round = 0; round < rounds; ++round) {
      if (devices::AttachedDevices().size() == count) return true;
      pollfd wait{watch.PollFd(), POLLIN, 0};
      poll(&wait, 1, 100);
      for (const platform::DeviceChange& change : watch.TakeChanges()) {
        devices::HandleDeviceChange(&watch, change, devices::DeviceManagerTarget());
      }
    }
    return devices::AttachedDevices().size() == count;
  }

  std::string folder_;
  fake::Controllers controllers_;
  std::unique_ptr<sim::SocketServer> server_ = nullptr;
};

TEST_F(SocketAttachTest, PresentAndArrivingControllersAttachAndRemovalDetaches) {
  server_ = std::make_unique<sim::SocketServer>(folder_, &controllers_);
  ASSERT_TRUE(server_->Publish("SIM#A" + kClassSuffix, u"sim:a"));
  platform::DeviceWatch watch(folder_);
  ASSERT_TRUE(watch.Start());
  devices::DiscoverDevices(&watch);
  ASSERT_EQ(devices::AttachedDevices().size(), 1u);
  EXPECT_EQ(platform::ToUtf8(devices::AttachedDevices()[0].path), folder_ + "/SIM#A" + kClassSuffix);

  ASSERT_TRUE(server_->Publish("SIM#B" + kClassSuffix, u"sim:b"));
  ASSERT_TRUE(PumpUntil(watch, 2));

  // A clutch event travels the socket both ways: engaging shows an entry and sets the mode.
  ASSERT_TRUE(controllers_.RaiseClutch("b", 1, 0));
  EXPECT_GE(controllers_.Requests("b").size(), 2u);

  server_->Unpublish("SIM#A" + kClassSuffix);
  ASSERT_TRUE(PumpUntil(watch, 1));
  EXPECT_EQ(platform::ToUtf8(devices::AttachedDevices()[0].path), folder_ + "/SIM#B" + kClassSuffix);
  EXPECT_EQ(controllers_.OpenConnections("a"), 0);

  // The controller returns: a new entry.
  ASSERT_TRUE(server_->Publish("SIM#A" + kClassSuffix, u"sim:a"));
  ASSERT_TRUE(PumpUntil(watch, 2));
  ASSERT_TRUE(controllers_.RaiseClutch("a", 1, 0));
}

TEST_F(SocketAttachTest, ADriverThatGoesAwayMidRequestIsDetachedAndANewOneServes) {
  server_ = std::make_unique<sim::SocketServer>(folder_, &controllers_);
  ASSERT_TRUE(server_->Publish("SIM#A" + kClassSuffix, u"sim:a"));
  platform::DeviceWatch watch(folder_);
  ASSERT_TRUE(watch.Start());
  devices::DiscoverDevices(&watch);
  ASSERT_EQ(devices::AttachedDevices().size(), 1u);
  ASSERT_TRUE(controllers_.ClutchWaitOutstanding("a"));
  server_.reset();  // every socket and connection of the driver goes at once
  ASSERT_TRUE(PumpUntil(watch, 0));
  server_ = std::make_unique<sim::SocketServer>(folder_, &controllers_);
  ASSERT_TRUE(server_->Publish("SIM#A" + kClassSuffix, u"sim:a"));
  ASSERT_TRUE(PumpUntil(watch, 1));
  ASSERT_TRUE(controllers_.RaiseClutch("a", 1, 0));
}

// Discovery registers for arrivals before it enumerates: a controller that appears after the
// enumeration's snapshot, and whose arrival is handled at once (as a Windows broadcast is, never
// queued for later), is attached all the same.
sim::SocketServer* g_discovery_server = nullptr;
platform::DeviceWatch* g_discovery_watch = nullptr;

std::vector<std::u16string> EnumerateThenArrive() {
  std::vector<std::u16string> snapshot = devices::EnumerateDevices();
  EXPECT_TRUE(g_discovery_server->Publish("SIM#B" + kClassSuffix, u"sim:b"));
  for (const platform::DeviceChange& change : g_discovery_watch->TakeChanges()) {
    devices::HandleDeviceChange(g_discovery_watch, change, devices::DeviceManagerTarget());
  }
  return snapshot;
}

TEST_F(SocketAttachTest, AControllerArrivingDuringDiscoveryIsAttachedOnce) {
  server_ = std::make_unique<sim::SocketServer>(folder_, &controllers_);
  ASSERT_TRUE(server_->Publish("SIM#A" + kClassSuffix, u"sim:a"));
  platform::DeviceWatch watch(folder_);
  ASSERT_TRUE(watch.Start());
  g_discovery_server = server_.get();
  g_discovery_watch = &watch;
  devices::DiscoverDevices(&watch, &EnumerateThenArrive);
  g_discovery_server = nullptr;
  g_discovery_watch = nullptr;
  std::vector<std::string> paths;
  for (const devices::AttachedDevice& device : devices::AttachedDevices()) {
    paths.push_back(platform::ToUtf8(device.path));
  }
  EXPECT_EQ(paths, (std::vector<std::string>{folder_ + "/SIM#B" + kClassSuffix,
                                             folder_ + "/SIM#A" + kClassSuffix}));
  // The arrival was seen once by the watch; discovery listed A, which is not attached again.
  EXPECT_FALSE(PumpUntil(watch, 3, /*rounds=*/5));
  EXPECT_EQ(controllers_.OpenConnections("a"), 1);
  EXPECT_EQ(controllers_.OpenConnections("b"), 1);
}

// Removal records of a handle name their entry by the registration they came through: a record
// whose handle value is another controller's leaves that controller attached.
TEST_F(SocketAttachTest, AHandleRemovalFindsItsEntryByItsRegistration) {
  server_ = std::make_unique<sim::SocketServer>(folder_, &controllers_);
  ASSERT_TRUE(server_->Publish("SIM#A" + kClassSuffix, u"sim:a"));
  ASSERT_TRUE(server_->Publish("SIM#B" + kClassSuffix, u"sim:b"));
  platform::DeviceWatch watch(folder_);
  ASSERT_TRUE(watch.Start());
  devices::DiscoverDevices(&watch);
  const std::vector<devices::AttachedDevice> attached = devices::AttachedDevices();
  ASSERT_EQ(attached.size(), 2u);
  ASSERT_NE(attached[0].notification, nullptr);
  ASSERT_NE(attached[0].notification, attached[1].notification);
  platform::DeviceChange change;
  change.device_type = 6;
  change.kind = platform::DeviceChange::Kind::kQueryRemove;
  change.notification = attached[0].notification;
  change.handle = devices::NotificationKey(attached[1].device);
  devices::HandleDeviceChange(&watch, change, devices::DeviceManagerTarget());
  ASSERT_EQ(devices::AttachedDevices().size(), 1u);
  EXPECT_EQ(platform::ToUtf8(devices::AttachedDevices()[0].path), folder_ + "/SIM#B" + kClassSuffix);
  // The removal of A's socket then completes A's removal and leaves B alone.
  server_->Unpublish("SIM#A" + kClassSuffix);
  EXPECT_FALSE(PumpUntil(watch, 0, /*rounds=*/5));
  EXPECT_EQ(devices::AttachedDevices().size(), 1u);
  EXPECT_EQ(controllers_.OpenConnections("a"), 0);
  EXPECT_EQ(controllers_.OpenConnections("b"), 1);
}

}  // namespace

#endif  // _WIN32
