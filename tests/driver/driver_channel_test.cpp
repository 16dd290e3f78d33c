// DriverChannel against the simulated driver: opening with its fall-backs, requests, closing and
// borrowed handles; the interface path to instance identifier rule.
#include "driver/driver_channel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "sim_test_support.h"

#ifndef _WIN32
#include <stdlib.h>

#include "sim/socket_server.h"
#endif

namespace {

using sim_test::kDeadlineMs;
using sim_test::SharedRoot;

class DriverChannelTest : public sim_test::SimulatedDriver {};

// Registry entries that give the device behind instance_id the legacy link link.
void WriteLegacyLink(const std::string& instance_id, const std::string& driver_key,
                     const std::string& link) {
  SharedRoot().WriteRegistry("System\\CurrentControlSet\\Enum\\" + instance_id, "Driver",
                             driver_key);
  SharedRoot().WriteRegistry("System\\CurrentControlSet\\Control\\Class\\" + driver_key,
                             "LegacyLink", link);
}

TEST(InstanceId, FromInterfacePath) {
  std::u16string id;
  ASSERT_TRUE(
      InstanceIdFromInterfacePath(u"\\\\?\\A#B#C#{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}", &id));
  EXPECT_EQ(id, u"A\\B\\C");
  ASSERT_TRUE(InstanceIdFromInterfacePath(u"?\\\\?USB#VID_1&PID_2#7#x", &id));
  EXPECT_EQ(id, u"USB\\VID_1&PID_2\\7") << "every leading '\\' and '?' is skipped";
  ASSERT_TRUE(InstanceIdFromInterfacePath(u"\\\\?\\A\\?#B", &id));
  EXPECT_EQ(id, u"A\\?") << "only leading ones";
  EXPECT_FALSE(InstanceIdFromInterfacePath(u"\\\\?\\no-hash-at-all", &id));
  EXPECT_FALSE(InstanceIdFromInterfacePath(u"", &id));
  EXPECT_FALSE(InstanceIdFromInterfacePath(u"\\\\??", &id));
}

TEST(InstanceId, MustBeShorterThan260Units) {
  std::u16string id;
  std::u16string prefix = u"\\\\?\\";
  EXPECT_TRUE(InstanceIdFromInterfacePath(prefix + std::u16string(259, u'x') + u"#{c}", &id));
  EXPECT_EQ(id.size(), 259u);
  EXPECT_FALSE(InstanceIdFromInterfacePath(prefix + std::u16string(260, u'x') + u"#{c}", &id));
}

TEST_F(DriverChannelTest, OpensAndSendsSynchronouslyAndOverlapped) {
  std::u16string path = AddController("pad");
  for (bool overlapped : {false, true}) {
    DriverChannel channel;
    ASSERT_TRUE(channel.Open(path, overlapped));
    EXPECT_TRUE(channel.IsOpen());
    EXPECT_TRUE(channel.owns());
    EXPECT_EQ(channel.overlapped(), overlapped);
    uint8_t guid[16] = {};
    ASSERT_TRUE(channel.Control(IOCTL_GET_DEVICE_TYPE, nullptr, 0, guid, sizeof(guid)));
    EXPECT_EQ(driver_bytes::GetGuid(guid), sim::kDefaultDeviceType);
  }
  EXPECT_EQ(TraceOf("open").size(), 2u);
  EXPECT_EQ(TraceOf("close").size(), 2u) << "destroying a channel closes it";
}

TEST_F(DriverChannelTest, RequestWithoutOutputSucceeds) {
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(AddController("pad"), false));
  auto mode = BuildWord(1);
  EXPECT_TRUE(channel.Control(IOCTL_SET_CLUTCH_MODE, mode.data(), 4, nullptr, 0));
  sim::ControllerState state;
  ASSERT_TRUE(model_.State("pad", &state));
  EXPECT_EQ(state.clutch_mode, 1u);
}

TEST_F(DriverChannelTest, FailedRequestLeavesOutputAsPrepared) {
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(AddController("pad"), true));
  model_.FailNext("pad", IOCTL_GET_MEMBER_GUID);
  uint8_t guid[16];
  std::fill(std::begin(guid), std::end(guid), 0xEE);
  EXPECT_FALSE(channel.Control(IOCTL_GET_MEMBER_GUID, nullptr, 0, guid, sizeof(guid)));
  for (uint8_t byte : guid) ASSERT_EQ(byte, 0xEE);
  EXPECT_TRUE(channel.Control(IOCTL_GET_MEMBER_GUID, nullptr, 0, guid, sizeof(guid)));
  EXPECT_EQ(driver_bytes::GetGuid(guid), sim::kDefaultMember);
}

TEST_F(DriverChannelTest, ControlOnClosedChannelTouchesNothing) {
  std::u16string path = AddController("pad");
  DriverChannel never_opened;
  uint8_t output[4] = {9, 9, 9, 9};
  EXPECT_FALSE(never_opened.Control(IOCTL_GET_PROFILE_ID, nullptr, 0, output, 4));
  DriverChannel closed;
  ASSERT_TRUE(closed.Open(path, false));
  closed.Close();
  EXPECT_FALSE(closed.IsOpen());
  EXPECT_FALSE(closed.Control(IOCTL_GET_PROFILE_ID, nullptr, 0, output, 4));
  EXPECT_EQ(output[0], 9);
  EXPECT_EQ(model_.IssuedCount("pad", IOCTL_GET_PROFILE_ID), 0u);
  closed.Close();  // closing twice is harmless
  EXPECT_EQ(TraceOf("close").size(), 1u);
}

TEST_F(DriverChannelTest, ReopeningClosesTheOwnedHandleFirst) {
  std::u16string path = AddController("pad");
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(path, false));
  ASSERT_TRUE(channel.Open(path, true));
  EXPECT_EQ(TraceOf("close").size(), 1u);
  EXPECT_TRUE(channel.overlapped());
}

TEST_F(DriverChannelTest, BorrowedHandleIsNeverClosedByTheChannel) {
  std::u16string path = AddController("pad");
  platform::DeviceHandle handle =
      platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, true);
  ASSERT_NE(handle, nullptr);
  {
    DriverChannel borrowed(handle, true);
    EXPECT_FALSE(borrowed.owns());
    auto text = BuildClutchTextInput(u"Folder");
    EXPECT_TRUE(borrowed.Control(IOCTL_SET_CLUTCH_TEXT, text.data(),
                                 static_cast<uint32_t>(text.size()), nullptr, 0));
    borrowed.Close();
    EXPECT_FALSE(borrowed.IsOpen());
  }
  EXPECT_TRUE(TraceOf("close").empty());
  DriverChannel again(handle, false);
  uint8_t id[4] = {};
  EXPECT_TRUE(again.Control(IOCTL_GET_PROFILE_ID, nullptr, 0, id, 4)) << "the handle still works";
  platform::CloseDevice(handle);
  EXPECT_EQ(TraceOf("close").size(), 1u);
}

TEST_F(DriverChannelTest, OverlappedControlWaitsForTheDriverToComplete) {
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(AddController("pad"), true));
  std::thread raiser([this] {
    if (model_.WaitForOutstanding("pad", IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs)) {
      model_.RaiseClutchEvent("pad", 1, 3);
    }
  });
  uint8_t words[4] = {};
  bool ok = channel.Control(IOCTL_WAIT_CLUTCH_EVENT, nullptr, 0, words, sizeof(words));
  raiser.join();
  ASSERT_TRUE(ok);
  EXPECT_EQ(ClutchWords::Read(words).engaged, 1);
  EXPECT_EQ(ClutchWords::Read(words).event_type, 3);
}

// Shortens the request time limit for one test.
class ShortTimeLimit {
 public:
  explicit ShortTimeLimit(uint32_t ms) : saved_(platform::RequestTimeLimitMs()) {
    platform::SetRequestTimeLimitMs(ms);
  }
  ~ShortTimeLimit() { platform::SetRequestTimeLimitMs(saved_); }

 private:
  uint32_t saved_;
};

TEST_F(DriverChannelTest, RequestTheDriverNeverAnswersIsCancelledAtTheTimeLimitAndFails) {
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(AddController("pad"), true));
  ShortTimeLimit limit(50);
  // A shift wait that no event completes: only the time limit ends it. Should it hang, the
  // test's deadline completes it, so that the test fails instead of hanging.
  platform::Event ended(platform::Event::Kind::kManualReset);
  bool ok = true;
  std::thread asker([&] {
    uint8_t shift[16] = {};
    ok = channel.Control(IOCTL_WAIT_SHIFT_CHANGE, nullptr, 0, shift, sizeof shift);
    ended.Set();
  });
  const bool in_time = ended.Wait(kDeadlineMs);
  if (!in_time) model_.SetShiftState("pad", platform::Guid{});
  asker.join();
  ASSERT_TRUE(in_time) << "the request outlived the time limit";
  EXPECT_FALSE(ok);
  const auto waits = TraceOf("IOCTL_WAIT_SHIFT_CHANGE");
  ASSERT_EQ(waits.size(), 2u);
  EXPECT_NE(waits[1].find("\"state\":\"cancelled\""), std::string::npos) << waits[1];
}

// Sets one of the seam's limits for one test.
class ScopedLimit {
 public:
  ScopedLimit(uint32_t (*get)(), void (*set)(uint32_t), uint32_t ms) : set_(set), saved_(get()) {
    set_(ms);
  }
  ~ScopedLimit() { set_(saved_); }

 private:
  void (*set_)(uint32_t);
  uint32_t saved_;
};

TEST_F(DriverChannelTest, CancelledRequestTheDriverNeverEndsIsAbandonedAfterTheGrace) {
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(AddController("pad"), true));
  ScopedLimit limit(platform::RequestTimeLimitMs, platform::SetRequestTimeLimitMs, 50);
  ScopedLimit grace(platform::CancelGraceMs, platform::SetCancelGraceMs, 50);
  model_.IgnoreCancels("pad");
  // The answer buffer is freed as soon as Control returns: a late answer written into it would
  // be a use after free (seen by AddressSanitizer).
  platform::Event ended(platform::Event::Kind::kManualReset);
  bool ok = true;
  std::thread asker([&] {
    auto shift = std::make_unique<uint8_t[]>(16);
    ok = channel.Control(IOCTL_WAIT_SHIFT_CHANGE, nullptr, 0, shift.get(), 16);
    ended.Set();
  });
  const bool in_time = ended.Wait(kDeadlineMs);
  if (!in_time) model_.SetShiftState("pad", platform::Guid{});
  asker.join();
  ASSERT_TRUE(in_time) << "the wait for the cancelled request had no limit";
  EXPECT_FALSE(ok);
  // The driver still holds the request; its answer now reaches no one.
  EXPECT_EQ(model_.OutstandingCount("pad", IOCTL_WAIT_SHIFT_CHANGE), 1u);
  EXPECT_EQ(model_.SetShiftState("pad", platform::Guid{7}), 1);
  EXPECT_EQ(model_.OutstandingCount("pad", IOCTL_WAIT_SHIFT_CHANGE), 0u);
  // The channel works on.
  uint8_t guid[16] = {};
  EXPECT_TRUE(channel.Control(IOCTL_GET_CONTROLLER_GUID, nullptr, 0, guid, 16));
}

TEST_F(DriverChannelTest, OpenTheDriverAnswersTooLateFailsAndItsHandleIsClosedAgain) {
  const std::u16string path = AddController("pad");
  ScopedLimit limit(platform::OpenTimeLimitMs, platform::SetOpenTimeLimitMs, 50);
  model_.DelayOpens("pad", 1500);
  const auto start = std::chrono::steady_clock::now();
  platform::DeviceHandle late =
      platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, true);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(late, nullptr);
  EXPECT_EQ(platform::LastDeviceError(), platform::kErrorTimeout);
  EXPECT_LT(waited, std::chrono::milliseconds(1000)) << "the open waited for the driver";
  // The handle granted after the open gave up is closed by the helper that got it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while ((TraceOf("open").empty() || TraceOf("close").empty()) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::vector<std::string> opens = TraceOf("open");
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_NE(opens[0].find("\"ok\":true"), std::string::npos) << opens[0];
  EXPECT_EQ(TraceOf("close").size(), 1u);
  EXPECT_EQ(model_.ConnectionCount("pad"), 0u);
  platform::DeviceHandle device = platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, true);
  EXPECT_NE(device, nullptr);
  platform::CloseDevice(device);
}

TEST_F(DriverChannelTest, OpenFallsBackToTheLegacyLinkFromTheRegistry) {
  if (!sim_test::kHasRegistryStandIn) GTEST_SKIP() << "needs the registry stand-in";
  std::u16string path = AddController("linked");
  WriteLegacyLink("SIM\\VEXMOOR\\linked", "{4D36E96C-E325-11CE-BFC1-08002BE10318}\\0003",
                  "sim:linked");
  model_.FailOpens("linked", 1);
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(path, false));
  std::vector<std::string> opens = TraceOf("open");
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_NE(opens[0].find("\"ok\":false"), std::string::npos) << opens[0];
  EXPECT_NE(opens[1].find("\"ok\":true,\"path\":\"sim:linked\""), std::string::npos) << opens[1];
  uint8_t guid[16] = {};
  EXPECT_TRUE(channel.Control(IOCTL_GET_CONTROLLER_GUID, nullptr, 0, guid, 16));
  EXPECT_EQ(driver_bytes::GetGuid(guid), sim::kDefaultController);
}

#ifndef _WIN32
// On Linux the control device is the socket "VexmoorLegacyDevice" in the device folder; here it
// leads to the controller, as a driver's control device answers for its controllers.
TEST_F(DriverChannelTest, OpenFallsBackToTheControlDeviceWithoutALegacyLink) {
  const std::u16string path = AddController("pad");
  char pattern[] = "/tmp/skyhelm-control-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  setenv("SKYHELM_DEVICE_DIR", folder.c_str(), 1);
  {
    sim::SocketServer server(folder, &transport_);
    ASSERT_TRUE(server.Publish("VexmoorLegacyDevice", path));
    model_.FailOpens("pad", 1);  // the interface path itself cannot be opened
    DriverChannel channel;
    ASSERT_TRUE(channel.Open(path, false));
    EXPECT_TRUE(channel.IsOpen());
    uint8_t guid[16] = {};
    EXPECT_TRUE(channel.Control(IOCTL_GET_CONTROLLER_GUID, nullptr, 0, guid, 16));
    EXPECT_EQ(driver_bytes::GetGuid(guid), sim::kDefaultController);
    const std::vector<std::string> opens = TraceOf("open");
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_NE(opens[0].find("\"ok\":false"), std::string::npos) << opens[0];
    EXPECT_NE(opens[1].find("\"ok\":true"), std::string::npos) << opens[1];
  }
  unsetenv("SKYHELM_DEVICE_DIR");
  ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
}
#endif

TEST_F(DriverChannelTest, WithoutLegacyLinkNorControlDeviceOpenFails) {
  DriverChannel channel;
  EXPECT_FALSE(
      channel.Open(u"\\\\?\\SIM#VEXMOOR#absent#{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}", true));
  EXPECT_FALSE(channel.IsOpen());
  EXPECT_EQ(channel.handle(), nullptr);
  EXPECT_FALSE(channel.Control(IOCTL_GET_PROFILE_ID, nullptr, 0, nullptr, 0));
  EXPECT_EQ(TraceOf("open").size(), 1u) << "the control device is not a simulated path";
}

TEST(FindLegacyLink, ReadsTheDriverKeysValue) {
  if (!sim_test::kHasRegistryStandIn) GTEST_SKIP() << "needs the registry stand-in";
  WriteLegacyLink("USB\\VID_0001&PID_0002\\A1", "{CLASS}\\0001", "\\\\.\\VexmoorLegacy1");
  char16_t name[kLegacyLinkUnits];
  ASSERT_TRUE(FindLegacyLink(
      u"\\\\?\\USB#VID_0001&PID_0002#A1#{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}", name));
  EXPECT_EQ(std::u16string(name), u"\\\\.\\VexmoorLegacy1");
  EXPECT_FALSE(FindLegacyLink(u"\\\\?\\USB#VID_0001&PID_0002#A2#{c}", name)) << "unknown device";
}

TEST(FindLegacyLink, PathWithoutHashFindsNothing) {
  if (!sim_test::kHasRegistryStandIn) GTEST_SKIP() << "needs the registry stand-in";
  // The entry exists for the identifier the path would give if it were split at all.
  WriteLegacyLink("nohash", "{CLASS}\\0002", "sim:nohash");
  char16_t name[kLegacyLinkUnits];
  EXPECT_FALSE(FindLegacyLink(u"nohash", name));
}

TEST(FindLegacyLink, InstanceIdOf260UnitsFindsNothing) {
  if (!sim_test::kHasRegistryStandIn) GTEST_SKIP() << "needs the registry stand-in";
  // Identifiers of 259 and 260 units, each in folders of at most 200 characters.
  std::string head(200, 'h');
  std::string id259 = head + "\\" + std::string(58, 'a');
  std::string id260 = head + "\\" + std::string(59, 'b');
  ASSERT_EQ(id259.size(), 259u);
  WriteLegacyLink(id259, "{CLASS}\\0259", "sim:ok");
  WriteLegacyLink(id260, "{CLASS}\\0260", "sim:too-long");
  auto path_of = [](const std::string& id) {
    std::u16string path = u"\\\\?\\" + platform::FromUtf8(id) + u"#{c}";
    for (char16_t& unit : path) {
      if (unit == u'\\' && &unit > &path[3]) unit = u'#';
    }
    return path;
  };
  char16_t name[kLegacyLinkUnits];
  EXPECT_TRUE(FindLegacyLink(path_of(id259), name));
  EXPECT_EQ(std::u16string(name), u"sim:ok");
  EXPECT_FALSE(FindLegacyLink(path_of(id260), name));
}

TEST(FindLegacyLink, OverlongValueFails) {
  if (!sim_test::kHasRegistryStandIn) GTEST_SKIP() << "needs the registry stand-in";
  WriteLegacyLink("LONG\\LINK\\1", "{CLASS}\\0003", std::string(32, 'x'));
  WriteLegacyLink("LONG\\LINK\\2", "{CLASS}\\0004", std::string(31, 'y'));
  char16_t name[kLegacyLinkUnits];
  EXPECT_FALSE(FindLegacyLink(u"\\\\?\\LONG#LINK#1#{c}", name))
      << "32 units and a terminator do not fit";
  EXPECT_TRUE(FindLegacyLink(u"\\\\?\\LONG#LINK#2#{c}", name));
  EXPECT_EQ(std::u16string(name).size(), 31u);
}

}  // namespace
