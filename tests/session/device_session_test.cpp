// The device session's lifetime on a simulated controller: what Setup starts at each failing
// step, and that destruction returns only after every thread has ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "session/device_session.h"
#include "session/log_capture.h"
#include "sim_test_support.h"
#include "support/profiles.h"
#include "support/session_rig.h"

namespace {

constexpr uint32_t kProgram = 0x5E551000;

const std::vector<std::u16string> kThreadEnds = {
    u"Clutch Thread Terminating", u"Profile Thread Terminating", u"Shift Thread Terminating",
    u"Command Thread Terminating", u"HID Thread Terminating", u"Soft Button Thread Terminating"};

std::vector<std::u16string> Texts(const LogCapture& log) {
  std::vector<std::u16string> texts;
  for (const auto& line : log.Lines()) texts.push_back(line.text);
  return texts;
}

size_t IndexOf(const std::vector<std::u16string>& texts, const std::u16string& text) {
  return std::find(texts.begin(), texts.end(), text) - texts.begin();
}

uint64_t Waits(rig::SimRig& sim) {
  uint64_t issued = 0;
  for (uint32_t code : {IOCTL_WAIT_CLUTCH_STATE, IOCTL_WAIT_PROFILE_CHANGE,
                        IOCTL_WAIT_SHIFT_CHANGE, IOCTL_WAIT_COMMAND, IOCTL_WAIT_SOFT_BUTTONS}) {
    issued += sim.Issued(code);
  }
  return issued;
}

TEST(DeviceSession, WithoutSetupLogsCreatedAndDestroyedOnly) {
  LogCapture log;
  { DeviceSession session; }
  EXPECT_EQ(Texts(log), (std::vector<std::u16string>{u"Device Created", u"Device Destroyed"}));
}

TEST(DeviceSession, SetStringBeforeSetupHasNoHandle) {
  DeviceSession session;
  EXPECT_EQ(session.SetString(0, 1, u"x"), 0x80070006u);
}

TEST(DeviceSession, UnopenablePathStartsNoThread) {
  rig::SimRig sim(kProgram);
  LogCapture log;
  {
    DeviceSession session;
    EXPECT_FALSE(session.Setup(sim::DriverModel::InterfacePath("nobody")));
    sim.model().FailOpens("pad");
    EXPECT_FALSE(DeviceSession().Setup(sim.path()));
    EXPECT_FALSE(session.hid_thread_started());
  }
  for (const auto& end : kThreadEnds) EXPECT_EQ(log.Count(end), 0) << platform::ToUtf8(end);
  EXPECT_EQ(Waits(sim), 0u);
}

TEST(DeviceSession, FailedDeviceTypeStartsNoThread) {
  rig::SimRig sim(kProgram);
  sim.model().FailNext("pad", IOCTL_GET_DEVICE_TYPE);
  LogCapture log;
  {
    DeviceSession session;
    EXPECT_FALSE(session.Setup(sim.path()));
  }
  EXPECT_EQ(log.Count(u"Clutch Thread Terminating"), 0);
  EXPECT_TRUE(sim.Records("IOCTL_GET_MEMBER_GUID").empty());  // the display was not touched
  EXPECT_EQ(Waits(sim), 0u);
}

TEST(DeviceSession, MissingOutputConfigurationStartsOnlyTheDisplayThreads) {
  rig::SimRig sim(kProgram, false);
  LogCapture log;
  {
    DeviceSession session;
    EXPECT_FALSE(session.Setup(sim.path()));
    EXPECT_FALSE(session.hid_thread_started());
    EXPECT_FALSE(session.soft_button_thread_started());
    EXPECT_TRUE(sim.model().WaitForOutstanding("pad", IOCTL_WAIT_COMMAND, 5000));
  }
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(log.Count(kThreadEnds[i]), 1);
  EXPECT_EQ(log.Count(u"HID Thread Terminating"), 0);
  EXPECT_EQ(log.Count(u"Soft Button Thread Terminating"), 0);
  EXPECT_EQ(sim.Issued(IOCTL_WAIT_SOFT_BUTTONS), 0u);
}

TEST(DeviceSession, DestructionWaitsForEveryThread) {
  rig::SimRig sim(kProgram);
  LogCapture log;
  {
    DeviceSession session;
    ASSERT_TRUE(session.Setup(sim.path()));
    EXPECT_TRUE(session.hid_thread_started());
    EXPECT_TRUE(session.soft_button_thread_started());
    EXPECT_EQ(session.output_tables().strings.size(), 3u);
    EXPECT_EQ(session.output_tables().shift_buttons.count(6), 1u);
    for (uint32_t code : {IOCTL_WAIT_CLUTCH_STATE, IOCTL_WAIT_PROFILE_CHANGE,
                          IOCTL_WAIT_SHIFT_CHANGE, IOCTL_WAIT_COMMAND, IOCTL_WAIT_SOFT_BUTTONS}) {
      EXPECT_TRUE(sim.model().WaitForOutstanding("pad", code, 5000)) << code;
    }
    // A string longer than its line runs a marquee until the session ends.
    EXPECT_EQ(session.SetString(1, 20, u"twenty units of text"), 0u);
  }
  const auto texts = Texts(log);
  const size_t destroyed = IndexOf(texts, u"Device Destroyed");
  ASSERT_LT(destroyed, texts.size());
  for (const auto& end : kThreadEnds) {
    EXPECT_LT(IndexOf(texts, end), destroyed) << platform::ToUtf8(end);
  }
  EXPECT_LT(IndexOf(texts, u"Marquee Thread Finished"), destroyed);
  for (uint32_t code : {IOCTL_WAIT_CLUTCH_STATE, IOCTL_WAIT_PROFILE_CHANGE,
                        IOCTL_WAIT_SHIFT_CHANGE, IOCTL_WAIT_COMMAND, IOCTL_WAIT_SOFT_BUTTONS}) {
    EXPECT_EQ(sim.model().OutstandingCount("pad", code), 0u) << code;
  }
  EXPECT_EQ(sim.model().OutstandingCount("pad", sim::kReadRequest), 0u);
}

TEST(DeviceSession, SoftButtonHandlerHearsEachWord) {
  rig::SimRig sim(kProgram);
  std::atomic<uint32_t> heard{0};
  DeviceSession session;
  session.SetSoftButtonHandler(
      [](uint32_t word, void* context) { static_cast<std::atomic<uint32_t>*>(context)->store(word); },
      &heard);
  ASSERT_TRUE(session.Setup(sim.path()));
  ASSERT_TRUE(sim.model().WaitForOutstanding("pad", IOCTL_WAIT_SOFT_BUTTONS, 5000));
  sim.model().SetSoftButtons("pad", 0x15);
  ASSERT_TRUE(sim.model().WaitForIssued("pad", IOCTL_WAIT_SOFT_BUTTONS, 2, 5000));
  EXPECT_EQ(heard.load(), 0x15u);
}

// Profile changes handled while sessions are set up and torn down: the handlers read the output
// tables that Setup publishes and write strings through slots that destruction takes down. Every
// fifth session lives until its shift and profile threads have each handled a change (their
// waits issued again): the strings written after Setup returned come from those handlers.
TEST(DeviceSession, EventsDuringSetupAndTeardownAreSafe) {
  rig::SimRig sim(kProgram);
  const auto file = sim.profiles() / "alpha.pr0";
  rig::WriteDocument(file, profiles::Alpha(sim.config().member, sim.config().controller));
  test_env::DisplayStrings on(true);
  std::atomic<bool> done{false};
  std::thread driver([&] {
    while (!done.load()) {
      sim.model().LoadAndActivate("pad", file.u16string(), false);
      for (int i = 0; i < 50; ++i) {
        sim.model().SetShiftState("pad", i % 2 ? profiles::kShifted : profiles::kNormal);
        std::this_thread::yield();
      }
    }
  });
  size_t from_handlers = 0;
  for (int round = 0; round < 20; ++round) {
    const uint64_t shift_waits = sim.Issued(IOCTL_WAIT_SHIFT_CHANGE);
    const uint64_t profile_waits = sim.Issued(IOCTL_WAIT_PROFILE_CHANGE);
    DeviceSession session;
    EXPECT_TRUE(session.Setup(sim.path()));
    if (round % 5 != 0) continue;
    const size_t after_setup = sim.Records("IOCTL_SET_STRING").size();
    // Past the profile thread's pause: each thread waits again once its handler has returned.
    ASSERT_TRUE(sim.model().WaitForIssued("pad", IOCTL_WAIT_SHIFT_CHANGE, shift_waits + 2,
                                          sim_test::kDeadlineMs));
    ASSERT_TRUE(sim.model().WaitForIssued("pad", IOCTL_WAIT_PROFILE_CHANGE, profile_waits + 2,
                                          sim_test::kDeadlineMs));
    from_handlers += sim.Records("IOCTL_SET_STRING").size() - after_setup;
  }
  done.store(true);
  driver.join();
  // At least the shift and the profile handler of each of the four sessions wrote a string.
  EXPECT_GE(from_handlers, 8u);
}

}  // namespace
