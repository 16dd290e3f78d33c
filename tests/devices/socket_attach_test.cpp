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
  // Hands the watch's records to the device manager until the list has count entries (five
  // seconds at most).
  bool PumpUntil(platform::DeviceWatch& watch, size_t count) {
    for (int round = 0; round < 50; ++round) {
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

}  // namespace

#endif  // _WIN32
