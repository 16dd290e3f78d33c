// Fault injection of the simulated driver: failing requests and opens, removal with requests
// outstanding, delayed completions; and many threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "driver/driver_channel.h"
#include "platform/device_io.h"
#include "platform/sync.h"
#include "sim_test_support.h"

namespace {

using sim_test::kDeadlineMs;

class SimFaults : public sim_test::SimulatedDriver {};

bool GetProfileId(DriverChannel& channel, uint32_t* id) {
  uint8_t out[4] = {};
  bool ok = channel.Control(IOCTL_GET_PROFILE_ID, nullptr, 0, out, 4);
  *id = driver_bytes::GetU32(out);
  return ok;
}

TEST_F(SimFaults, NextRequestsOfACodeFail) {
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(AddController("pad"), false));
  model_.FailNext("pad", IOCTL_SET_CLUTCH_MODE, 2);
  auto mode = BuildWord(1);
  uint32_t id = 0;
  EXPECT_TRUE(GetProfileId(channel, &id)) << "other codes are not affected";
  EXPECT_FALSE(channel.Control(IOCTL_SET_CLUTCH_MODE, mode.data(), 4, nullptr, 0));
  EXPECT_FALSE(channel.Control(IOCTL_SET_CLUTCH_MODE, mode.data(), 4, nullptr, 0));
  sim::ControllerState state;
  ASSERT_TRUE(model_.State("pad", &state));
  EXPECT_EQ(state.clutch_mode, 0u) << "a failed request has no effect";
  EXPECT_TRUE(channel.Control(IOCTL_SET_CLUTCH_MODE, mode.data(), 4, nullptr, 0));
  std::vector<std::string> records = TraceOf("IOCTL_SET_CLUTCH_MODE");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(
      WithoutSeq(records[0]),
      "{\"dev\":\"pad\",\"code\":\"IOCTL_SET_CLUTCH_MODE\",\"ok\":false,\"error\":31,\"mode\":1,"
      "\"in\":\"01000000\"}")
      << "failed requests keep their decoded fields";
}

TEST_F(SimFaults, NextOpensFailInOrder) {
  std::u16string path = AddController("pad");
  model_.FailOpens("pad", 2);
  EXPECT_EQ(platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, false), nullptr);
  EXPECT_EQ(platform::OpenDevice(sim::DriverModel::LegacyLinkPath("pad"),
                                 platform::DeviceAccess::kRead, true),
            nullptr)
      << "every path of the controller counts";
  platform::DeviceHandle handle =
      platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, false);
  ASSERT_NE(handle, nullptr);
  platform::CloseDevice(handle);
  std::vector<std::string> opens = TraceOf("open");
  ASSERT_EQ(opens.size(), 3u);
  EXPECT_NE(opens[0].find("\"ok\":false,\"error\":31,"), std::string::npos) << opens[0];
}

TEST_F(SimFaults, AbsentAndUnknownControllersCannotBeOpened) {
  ASSERT_TRUE(model_.Declare("later"));
  std::u16string path = sim::DriverModel::InterfacePath("later");
  EXPECT_EQ(platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, false), nullptr);
  EXPECT_EQ(platform::LastDeviceError(), platform::kErrorFileNotFound);
  EXPECT_TRUE(model_.PresentInterfacePaths().empty());
  ASSERT_TRUE(model_.Attach("LATER")) << "names match without regard to case";
  EXPECT_EQ(model_.PresentInterfacePaths(), std::vector<std::u16string>{path});
  platform::DeviceHandle handle =
      platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, false);
  EXPECT_NE(handle, nullptr);
  platform::CloseDevice(handle);
  EXPECT_EQ(platform::OpenDevice(u"sim:nobody", platform::DeviceAccess::kReadWrite, false),
            nullptr);
  EXPECT_FALSE(model_.Declare("later")) << "declared twice";
  EXPECT_EQ(model_.RaiseClutchEvent("nobody", 1, 0), -1);
}

TEST_F(SimFaults, RemovalEndsOutstandingRequestsAndKillsTheHandles) {
  std::u16string path = AddController("pad");
  platform::DeviceHandle handle =
      platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, true);
  ASSERT_NE(handle, nullptr);
  platform::Event done(platform::Event::Kind::kManualReset);
  platform::Overlapped overlapped(done);
  uint8_t words[4] = {};
  ASSERT_TRUE(
      platform::IssueControl(handle, IOCTL_WAIT_CLUTCH_EVENT, nullptr, 0, words, 4, overlapped));
  ASSERT_TRUE(model_.Detach("pad"));
  ASSERT_TRUE(done.Wait(kDeadlineMs));
  uint32_t returned = 0;
  EXPECT_FALSE(platform::GetOverlappedResult(handle, overlapped, &returned, false));
  EXPECT_NE(TraceOf("IOCTL_WAIT_CLUTCH_EVENT")
                .back()
                .find("\"ok\":false,\"error\":1167,\"state\":\"completed\""),
            std::string::npos);
  DriverChannel borrowed(handle, false);
  uint32_t id = 0;
  EXPECT_FALSE(GetProfileId(borrowed, &id)) << "further requests fail";
  EXPECT_EQ(platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, false), nullptr);
  ASSERT_TRUE(model_.Attach("pad"));
  EXPECT_FALSE(GetProfileId(borrowed, &id)) << "a handle of the earlier presence stays dead";
  DriverChannel fresh;
  ASSERT_TRUE(fresh.Open(path, false));
  EXPECT_TRUE(GetProfileId(fresh, &id));
  platform::CloseDevice(handle);
}

// The answer is held for the delay: still pending when looked at before it is due, and never
// seen sooner than the delay after the request was issued, however busy the machine.
TEST_F(SimFaults, DelayedCompletionArrivesLater) {
  constexpr auto kDelay = std::chrono::milliseconds(300);
  const std::u16string path = AddController("pad");
  model_.SetCompletionDelay("pad", static_cast<uint32_t>(kDelay.count()));
  platform::DeviceHandle handle =
      platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, true);
  ASSERT_NE(handle, nullptr);
  platform::Event done(platform::Event::Kind::kManualReset);
  platform::Overlapped overlapped(done);
  uint8_t out[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  const auto issued = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform::IssueControl(handle, IOCTL_GET_PROFILE_ID, nullptr, 0, out, 4, overlapped));
  const bool early = done.Wait(0);
  if (std::chrono::steady_clock::now() - issued < kDelay) {
    EXPECT_FALSE(early) << "answered before its delay";
  }
  ASSERT_TRUE(done.Wait(kDeadlineMs));
  // The driver's clock counts whole milliseconds.
  EXPECT_GE(std::chrono::steady_clock::now() - issued, kDelay - std::chrono::milliseconds(1));
  uint32_t returned = 0;
  EXPECT_TRUE(platform::GetOverlappedResult(handle, overlapped, &returned, false));
  EXPECT_EQ(driver_bytes::GetU32(out), 0u);
  platform::CloseDevice(handle);

  DriverChannel channel;
  ASSERT_TRUE(channel.Open(path, true));
  uint32_t id = 99;
  EXPECT_TRUE(GetProfileId(channel, &id)) << "an overlapped channel waits for the delayed answer";
  EXPECT_EQ(id, 0u);
  DriverChannel sync;
  ASSERT_TRUE(sync.Open(sim::DriverModel::InterfacePath("pad"), false));
  EXPECT_TRUE(GetProfileId(sync, &id));
}

TEST_F(SimFaults, DelayedAnswerIsHeldUntilDueAndDeliveredOnClose) {
  std::u16string path = AddController("pad");
  model_.SetCompletionDelay("pad", 600000);
  platform::DeviceHandle handle =
      platform::OpenDevice(path, platform::DeviceAccess::kReadWrite, true);
  ASSERT_NE(handle, nullptr);
  platform::Event done(platform::Event::Kind::kManualReset);
  platform::Overlapped overlapped(done);
  uint8_t guid[16] = {};
  ASSERT_TRUE(
      platform::IssueControl(handle, IOCTL_GET_MEMBER_GUID, nullptr, 0, guid, 16, overlapped));
  uint32_t returned = 0;
  EXPECT_FALSE(platform::GetOverlappedResult(handle, overlapped, &returned, false))
      << "not due yet";
  EXPECT_FALSE(done.Wait(0));
  EXPECT_EQ(TraceOf("IOCTL_GET_MEMBER_GUID").size(), 1u) << "the driver answered at once";
  platform::CloseDevice(handle);
  EXPECT_TRUE(done.Wait(0)) << "closing delivers what the driver already answered";
  EXPECT_EQ(driver_bytes::GetGuid(guid), sim::kDefaultMember);
}

TEST_F(SimFaults, ManyThreadsAtOnce) {
  std::u16string path = AddController("pad");
  constexpr int kThreads = 4;
  constexpr int kEvents = 50;
  std::atomic<int> received{0};
  std::vector<std::thread> waiters;
  for (int t = 0; t < kThreads; ++t) {
    waiters.emplace_back([&, t] {
      DriverChannel channel;
      if (!channel.Open(path, true)) return;
      for (int i = 0; i < kEvents; ++i) {
        uint8_t buttons[4] = {};
        if (!channel.Control(IOCTL_WAIT_SOFT_BUTTONS, nullptr, 0, buttons, 4)) return;
        received.fetch_add(1);
        auto text = BuildClutchTextInput(u"thread");
        channel.Control(IOCTL_SET_CLUTCH_TEXT, text.data(), static_cast<uint32_t>(text.size()),
                        nullptr, 0);
      }
    });
  }
  for (int i = 0; i < kEvents; ++i) {
    ASSERT_TRUE(model_.WaitForOutstanding("pad", IOCTL_WAIT_SOFT_BUTTONS, kDeadlineMs, kThreads))
        << i;
    EXPECT_EQ(model_.SetSoftButtons("pad", static_cast<uint32_t>(i)), kThreads);
  }
  for (std::thread& thread : waiters) thread.join();
  EXPECT_EQ(received.load(), kThreads * kEvents);
  EXPECT_EQ(model_.IssuedCount("pad", IOCTL_SET_CLUTCH_TEXT),
            static_cast<uint64_t>(kThreads * kEvents));
  EXPECT_EQ(TraceOf("close").size(), static_cast<size_t>(kThreads));
}

}  // namespace
