// Wait requests and input reads of the simulated driver: held until an event completes them,
// cancellable, traced when issued and when they end; driven through the device seam.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "driver/driver_channel.h"
#include "platform/device_io.h"
#include "platform/sync.h"
#include "sim_test_support.h"

namespace {

using sim_test::kDeadlineMs;

// One overlapped request with its own event and output buffer.
struct Request {
  platform::Event done{platform::Event::Kind::kManualReset};
  platform::Overlapped overlapped{done};
  uint8_t output[64] = {};
  uint32_t returned = 0;
};

class SimWaits : public sim_test::SimulatedDriver {
 protected:
  void SetUp() override {
    handle_ = platform::OpenDevice(AddController("pad"), platform::DeviceAccess::kReadWrite, true);
    ASSERT_NE(handle_, nullptr);
  }
  void TearDown() override { platform::CloseDevice(handle_); }

  bool Issue(Request& request, uint32_t code, uint32_t size) {
    return platform::IssueControl(handle_, code, nullptr, 0, request.output, size,
                                  request.overlapped);
  }
  // Waits for the request to end; true when it succeeded.
  bool Finish(Request& request) {
    EXPECT_TRUE(request.done.Wait(kDeadlineMs)) << "the request never completed";
    return platform::GetOverlappedResult(handle_, request.overlapped, &request.returned, false);
  }

  platform::DeviceHandle handle_ = nullptr;
};

TEST_F(SimWaits, ClutchEventIsHeldUntilRaised) {
  Request request;
  ASSERT_TRUE(Issue(request, IOCTL_WAIT_CLUTCH_EVENT, 4));
  EXPECT_FALSE(request.done.Wait(0));
  EXPECT_FALSE(platform::GetOverlappedResult(handle_, request.overlapped, &request.returned, false))
      << "still pending";
  EXPECT_EQ(model_.OutstandingCount("pad", IOCTL_WAIT_CLUTCH_EVENT), 1u);
  EXPECT_EQ(model_.RaiseClutchEvent("pad", 5, 3), 1);
  ASSERT_TRUE(Finish(request));
  EXPECT_EQ(request.returned, 4u);
  EXPECT_EQ(ClutchWords::Read(request.output).engaged, 5);
  EXPECT_EQ(ClutchWords::Read(request.output).event_type, 3);
  EXPECT_EQ(model_.RaiseClutchEvent("pad", 0, 0), 0) << "nothing outstanding any more";
  std::vector<std::string> records = TraceOf("IOCTL_WAIT_CLUTCH_EVENT");
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(WithoutSeq(records[0]),
            "{\"dev\":\"pad\",\"code\":\"IOCTL_WAIT_CLUTCH_EVENT\",\"ok\":true,\"state\":"
            "\"pending\",\"in\":\"\"}");
  EXPECT_EQ(
      WithoutSeq(records[1]),
      "{\"dev\":\"pad\",\"code\":\"IOCTL_WAIT_CLUTCH_EVENT\",\"ok\":true,\"state\":\"completed\","
      "\"engaged\":5,\"type\":3,\"in\":\"\"}");
}

TEST_F(SimWaits, EachEventCompletesItsOwnKind) {
  Request state, shift, command, buttons, profile;
  ASSERT_TRUE(Issue(state, IOCTL_WAIT_CLUTCH_STATE, 4));
  ASSERT_TRUE(Issue(shift, IOCTL_WAIT_SHIFT_CHANGE, 16));
  ASSERT_TRUE(Issue(command, IOCTL_WAIT_COMMAND, 28));
  ASSERT_TRUE(Issue(buttons, IOCTL_WAIT_SOFT_BUTTONS, 4));
  ASSERT_TRUE(Issue(profile, IOCTL_WAIT_PROFILE_CHANGE, 0));

  platform::Guid shift_id = {0x11, 0x22, 0x33, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(model_.SetShiftState("pad", shift_id), 1);
  ASSERT_TRUE(Finish(shift));
  EXPECT_EQ(driver_bytes::GetGuid(shift.output), shift_id);
  EXPECT_FALSE(state.done.Wait(0));

  CommandRecord record{7, 2, 1, shift_id};
  EXPECT_EQ(model_.RaiseCommand("pad", record), 1);
  ASSERT_TRUE(Finish(command));
  EXPECT_EQ(command.returned, 28u);
  EXPECT_EQ(CommandRecord::Read(command.output).control, 7u);

  EXPECT_EQ(model_.SetSoftButtons("pad", 0x80000005u), 1);
  ASSERT_TRUE(Finish(buttons));
  EXPECT_EQ(driver_bytes::GetU32(buttons.output), 0x80000005u);

  EXPECT_EQ(model_.SetClutchState("pad", 1, 9), 1);
  ASSERT_TRUE(Finish(state));
  EXPECT_EQ(ClutchWords::Read(state.output).event_type, 9);

  EXPECT_FALSE(profile.done.Wait(0));
  model_.LoadAndActivate("pad", u"C:\\x.pr0", false);
  ASSERT_TRUE(Finish(profile));
  EXPECT_EQ(profile.returned, 0u);

  sim::ControllerState snapshot;
  ASSERT_TRUE(model_.State("pad", &snapshot));
  EXPECT_EQ(snapshot.shift_state, shift_id);
  EXPECT_EQ(snapshot.soft_buttons, 0x80000005u);
  EXPECT_EQ(snapshot.clutch_state.event_type, 9);
  std::string completed = TraceOf("IOCTL_WAIT_COMMAND")[1];
  EXPECT_NE(completed.find("\"control\":7,\"kind\":2,\"commandstate\":1,"
                           "\"command\":\"{00000011-0022-0033-0102-030405060708}\""),
            std::string::npos)
      << completed;
}

TEST_F(SimWaits, ActivateAndClearCompleteProfileChangeWaits) {
  DriverChannel channel;
  ASSERT_TRUE(channel.Open(sim::DriverModel::InterfacePath("pad"), false));
  auto load = BuildProfileLoadInput(u"C:\\p.pr0");
  uint8_t id[4] = {};
  ASSERT_TRUE(
      channel.Control(IOCTL_PROFILE_LOAD, load.data(), static_cast<uint32_t>(load.size()), id, 4));
  Request first;
  ASSERT_TRUE(Issue(first, IOCTL_WAIT_PROFILE_CHANGE, 0));
  EXPECT_FALSE(first.done.Wait(0)) << "a load alone changes nothing";
  auto activate = BuildProfileIdInput(driver_bytes::GetU32(id));
  ASSERT_TRUE(channel.Control(IOCTL_PROFILE_ACTIVATE, activate.data(), 8, id, 4));
  ASSERT_TRUE(Finish(first));
  Request second;
  ASSERT_TRUE(Issue(second, IOCTL_WAIT_PROFILE_CHANGE, 0));
  auto clear = BuildProfileClearInput();
  ASSERT_TRUE(channel.Control(IOCTL_PROFILE_CLEAR, clear.data(), 8, nullptr, 0));
  ASSERT_TRUE(Finish(second));
  // The request's own record comes before the completion it caused.
  std::vector<std::string> trace = model_.Trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_NE(trace[trace.size() - 2].find("IOCTL_PROFILE_CLEAR"), std::string::npos);
  EXPECT_NE(trace.back().find(
                "\"code\":\"IOCTL_WAIT_PROFILE_CHANGE\",\"ok\":true,\"state\":\"completed\""),
            std::string::npos);
}

TEST_F(SimWaits, CancelEndsTheRequestWithOperationAborted) {
  Request request;
  ASSERT_TRUE(Issue(request, IOCTL_WAIT_SHIFT_CHANGE, 16));
  std::fill(std::begin(request.output), std::end(request.output), 0xAB);
  platform::CancelAndDrain(handle_, request.overlapped);
  EXPECT_TRUE(request.done.Wait(0));
  EXPECT_FALSE(
      platform::GetOverlappedResult(handle_, request.overlapped, &request.returned, false));
  EXPECT_EQ(request.output[0], 0xAB) << "a cancelled request writes no output";
  EXPECT_EQ(model_.OutstandingCount("pad", IOCTL_WAIT_SHIFT_CHANGE), 0u);
  EXPECT_EQ(model_.SetShiftState("pad", platform::Guid{}), 0);
  EXPECT_EQ(WithoutSeq(TraceOf("IOCTL_WAIT_SHIFT_CHANGE").back()),
            "{\"dev\":\"pad\",\"code\":\"IOCTL_WAIT_SHIFT_CHANGE\",\"ok\":false,\"error\":995,"
            "\"state\":\"cancelled\",\"in\":\"\"}");
  platform::CancelAndDrain(handle_, request.overlapped);  // a second cancel finds nothing to do
}

TEST_F(SimWaits, ClosingTheHandleCancelsWhatIsOutstanding) {
  platform::DeviceHandle second = platform::OpenDevice(sim::DriverModel::InterfacePath("pad"),
                                                       platform::DeviceAccess::kReadWrite, true);
  ASSERT_NE(second, nullptr);
  Request mine, theirs;
  ASSERT_TRUE(Issue(mine, IOCTL_WAIT_COMMAND, 28));
  ASSERT_TRUE(platform::IssueControl(second, IOCTL_WAIT_COMMAND, nullptr, 0, theirs.output, 28,
                                     theirs.overlapped));
  platform::CloseDevice(second);
  EXPECT_TRUE(theirs.done.Wait(0)) << "ended before the close returned";
  EXPECT_FALSE(mine.done.Wait(0)) << "another handle's request stays";
  EXPECT_EQ(model_.RaiseCommand("pad", CommandRecord{}), 1);
  EXPECT_TRUE(Finish(mine));
}

TEST_F(SimWaits, WaitWithTooSmallOutputFailsAtOnce) {
  Request request;
  EXPECT_FALSE(Issue(request, IOCTL_WAIT_COMMAND, 27));
  EXPECT_FALSE(request.done.Wait(0)) << "a request that failed at once sets no event";
  EXPECT_EQ(model_.OutstandingCount("pad", IOCTL_WAIT_COMMAND), 0u);
}

TEST_F(SimWaits, InputReportReads) {
  uint16_t length = 0;
  ASSERT_TRUE(platform::InputReportLength(handle_, &length));
  EXPECT_EQ(length, 8u);
  Request read;
  ASSERT_TRUE(platform::IssueRead(handle_, read.output, length, read.overlapped));
  EXPECT_TRUE(model_.WaitForOutstanding("pad", sim::kReadRequest, kDeadlineMs));
  EXPECT_EQ(model_.RaiseInputReport("pad", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 1);
  ASSERT_TRUE(Finish(read));
  EXPECT_EQ(read.returned, 8u) << "cut to the read's size";
  EXPECT_EQ(read.output[7], 8);
  EXPECT_EQ(read.output[8], 0);
  EXPECT_EQ(TraceOf("read").size(), 2u);
  Request small;
  EXPECT_FALSE(platform::IssueRead(handle_, small.output, 4, small.overlapped));
}

TEST_F(SimWaits, ControllerWithoutInputReports) {
  sim::ControllerConfig config;
  config.input_report_length = 0;
  platform::DeviceHandle handle =
      platform::OpenDevice(AddController("bare", config), platform::DeviceAccess::kRead, true);
  ASSERT_NE(handle, nullptr);
  uint16_t length = 99;
  EXPECT_FALSE(platform::InputReportLength(handle, &length));
  Request read;
  EXPECT_FALSE(platform::IssueRead(handle, read.output, 8, read.overlapped));
  platform::CloseDevice(handle);
}

}  // namespace
