// The simulated driver's answers to the immediate control codes, its profile table and display
// model, and the trace records they leave; driven through DriverChannel.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "driver/driver_channel.h"
#include "sim_test_support.h"

namespace {

class SimRequests : public sim_test::SimulatedDriver {
 protected:
  void SetUp() override { ASSERT_TRUE(channel_.Open(AddController("pad"), false)); }

  uint32_t Load(std::u16string_view path) {
    std::vector<uint8_t> input = BuildProfileLoadInput(path);
    uint8_t id[4] = {};
    EXPECT_TRUE(channel_.Control(IOCTL_PROFILE_LOAD, input.data(),
                                 static_cast<uint32_t>(input.size()), id, 4));
    return driver_bytes::GetU32(id);
  }
  bool Activate(uint32_t id) {
    auto input = BuildProfileIdInput(id);
    uint8_t out[4] = {};
    return channel_.Control(IOCTL_PROFILE_ACTIVATE, input.data(), 8, out, 4);
  }
  uint32_t ActiveId() {
    uint8_t id[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_TRUE(channel_.Control(IOCTL_GET_PROFILE_ID, nullptr, 0, id, 4));
    return driver_bytes::GetU32(id);
  }
  // Sends IOCTL_PROFILE_GET_PATH with an output of size bytes; false when the request failed.
  bool GetPath(uint32_t id, uint32_t size, ProfilePathReply* reply) {
    auto input = BuildProfileIdInput(id);
    std::vector<uint8_t> output(size, 0);
    if (!channel_.Control(IOCTL_PROFILE_GET_PATH, input.data(), 8, output.data(), size))
      return false;
    return ParseProfilePathReply(output.data(), output.size(), reply);
  }
  void SendString(const std::vector<uint8_t>& packet) {
    ASSERT_TRUE(channel_.Control(IOCTL_SET_STRING, packet.data(),
                                 static_cast<uint32_t>(packet.size()), nullptr, 0));
  }
  sim::ControllerState State() {
    sim::ControllerState state;
    EXPECT_TRUE(model_.State("pad", &state));
    return state;
  }

  DriverChannel channel_;
};

TEST_F(SimRequests, IdentityGuids) {
  sim::ControllerConfig config;
  config.device_type = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  DriverChannel other;
  ASSERT_TRUE(other.Open(AddController("other", config), false));
  uint8_t guid[16] = {};
  ASSERT_TRUE(other.Control(IOCTL_GET_DEVICE_TYPE, nullptr, 0, guid, 16));
  EXPECT_EQ(driver_bytes::GetGuid(guid), config.device_type);
  ASSERT_TRUE(other.Control(IOCTL_GET_MEMBER_GUID, nullptr, 0, guid, 16));
  EXPECT_EQ(driver_bytes::GetGuid(guid), sim::kDefaultMember);
  EXPECT_FALSE(other.Control(IOCTL_GET_MEMBER_GUID, nullptr, 0, guid, 15)) << "too small an output";
  ASSERT_TRUE(other.Control(IOCTL_GET_SHIFT_STATE, nullptr, 0, guid, 16));
  EXPECT_TRUE(driver_bytes::GetGuid(guid).IsNull()) << "no shift state yet";
}

TEST_F(SimRequests, ProfileTableGivesNewIdsAndTracksTheActiveOne) {
  EXPECT_EQ(ActiveId(), 0u);
  EXPECT_EQ(Load(u"C:\\p\\one.pr0"), 1u);
  EXPECT_EQ(Load(u"C:\\p\\one.pr0"), 2u) << "each load gets a new id";
  EXPECT_EQ(ActiveId(), 0u) << "loading does not activate";
  EXPECT_TRUE(Activate(2));
  EXPECT_EQ(ActiveId(), 2u);
  EXPECT_FALSE(Activate(3)) << "unknown id";
  EXPECT_FALSE(Activate(0));
  EXPECT_EQ(ActiveId(), 2u);
  auto clear = BuildProfileClearInput();
  EXPECT_TRUE(channel_.Control(IOCTL_PROFILE_CLEAR, clear.data(), 8, nullptr, 0));
  EXPECT_EQ(ActiveId(), 0u);
}

TEST_F(SimRequests, ProfilePathReplies) {
  uint32_t id = Load(u"C:\\p\\one.pr0");
  ProfilePathReply reply;
  ASSERT_TRUE(GetPath(id, kProfilePathFirstReplyBytes, &reply));
  EXPECT_EQ(reply.kind, kProfilePathAbsolute);
  EXPECT_EQ(reply.length, 12u);
  EXPECT_EQ(reply.path, u"C:\\p\\one.pr0");
  uint32_t relative = model_.LoadAndActivate("pad", u"Profiles\\two.pr0", true);
  ASSERT_TRUE(GetPath(relative, kProfilePathFirstReplyBytes, &reply));
  EXPECT_EQ(reply.kind, kProfilePathRelative);
  EXPECT_EQ(reply.path, u"Profiles\\two.pr0");
  EXPECT_FALSE(GetPath(0, kProfilePathFirstReplyBytes, &reply));
  EXPECT_FALSE(GetPath(99, kProfilePathFirstReplyBytes, &reply));
}

TEST_F(SimRequests, PathThatDoesNotFitIsAnsweredWithItsLengthAndAskedAgain) {
  std::u16string long_path = u"C:\\" + std::u16string(600, u'x') + u".pr0";
  uint32_t id = Load(long_path);
  ProfilePathReply reply;
  ASSERT_TRUE(GetPath(id, kProfilePathFirstReplyBytes, &reply));
  EXPECT_GT(reply.kind, 1);
  EXPECT_EQ(reply.length, long_path.size());
  ASSERT_TRUE(GetPath(id, ProfilePathRetryBytes(reply.length), &reply));
  EXPECT_EQ(reply.kind, kProfilePathAbsolute);
  EXPECT_EQ(reply.path, long_path);
}

TEST_F(SimRequests, InjectedPathKinds) {
  uint32_t id = Load(u"C:\\a.pr0");
  ProfilePathReply reply;
  model_.InjectPathKind("pad", 2);
  ASSERT_TRUE(GetPath(id, kProfilePathFirstReplyBytes, &reply));
  EXPECT_EQ(reply.kind, 2);
  EXPECT_EQ(reply.length, 8u);
  ASSERT_TRUE(GetPath(id, ProfilePathRetryBytes(reply.length), &reply));
  EXPECT_EQ(reply.kind, 0) << "kind 2 answers one reply";
  model_.InjectPathKind("pad", 3);
  ASSERT_TRUE(GetPath(id, kProfilePathFirstReplyBytes, &reply));
  EXPECT_EQ(reply.kind, 3);
  ASSERT_TRUE(GetPath(id, ProfilePathRetryBytes(reply.length), &reply));
  EXPECT_EQ(reply.kind, 3) << "kind 3 answers the repeated request too";
  ASSERT_TRUE(GetPath(id, kProfilePathFirstReplyBytes, &reply));
  EXPECT_EQ(reply.kind, 0);
  std::vector<std::string> records = TraceOf("IOCTL_PROFILE_GET_PATH");
  ASSERT_EQ(records.size(), 5u);
  EXPECT_EQ(WithoutSeq(records[2]),
            "{\"dev\":\"pad\",\"code\":\"IOCTL_PROFILE_GET_PATH\",\"ok\":true,\"id\":1,\"kind\":3,"
            "\"in\":\"0100000001000000\"}");
}

TEST_F(SimRequests, OutputsAndTheirTraceRecords) {
  auto on = BuildWord(1);
  ASSERT_TRUE(channel_.Control(IOCTL_SET_SHIFT_INDICATOR, on.data(), 4, nullptr, 0));
  ASSERT_TRUE(channel_.Control(IOCTL_SET_CLUTCH_MODE, on.data(), 4, nullptr, 0));
  auto text = BuildClutchTextInput(u"[Caf\u00e9]");
  ASSERT_TRUE(channel_.Control(IOCTL_SET_CLUTCH_TEXT, text.data(),
                               static_cast<uint32_t>(text.size()), nullptr, 0));
  sim::ControllerState state = State();
  EXPECT_EQ(state.shift_indicator, 1u);
  EXPECT_EQ(state.clutch_mode, 1u);
  EXPECT_EQ(state.clutch_text, u"[Caf\u00e9]");
  EXPECT_EQ(WithoutSeq(TraceOf("IOCTL_SET_SHIFT_INDICATOR")[0]),
            "{\"dev\":\"pad\",\"code\":\"IOCTL_SET_SHIFT_INDICATOR\",\"ok\":true,\"on\":1,\"in\":"
            "\"01000000\"}");
  EXPECT_EQ(WithoutSeq(TraceOf("IOCTL_SET_CLUTCH_MODE")[0]),
            "{\"dev\":\"pad\",\"code\":\"IOCTL_SET_CLUTCH_MODE\",\"ok\":true,\"mode\":1,\"in\":"
            "\"01000000\"}");
  EXPECT_EQ(
      WithoutSeq(TraceOf("IOCTL_SET_CLUTCH_TEXT")[0]),
      "{\"dev\":\"pad\",\"code\":\"IOCTL_SET_CLUTCH_TEXT\",\"ok\":true,\"text\":\"[Caf\xc3\xa9]\","
      "\"in\":\"0600000003005B00430061006600E9005D000000\"}");
}

TEST_F(SimRequests, DisplayLinesAreDecodedThroughTheInverseCharacterMap) {
  // Clear command 0x10, set command 0x11, text "Hi\u00e9" (odd: the last record pads with 0).
  SendString({0x10, 0, 0, 0, 0x11, 0, 'i', 'H', 0x11, 0, 0, 0x82});
  EXPECT_EQ(State().display.at(0x10), u"Hi\u00e9");
  EXPECT_EQ(WithoutSeq(TraceOf("IOCTL_SET_STRING")[0]),
            "{\"dev\":\"pad\",\"code\":\"IOCTL_SET_STRING\",\"ok\":true,\"clear\":16,\"set\":17,"
            "\"codes\":[72,105,130,0],\"text\":\"Hi\xc3\xa9\\u0000\",\"in\":"
            "\"100000001100694811000082\"}");
  // Code 0x12 is shared by U+0012 and U+00A7: the lower unit is shown. Code 0xE7 has no unit.
  SendString({0x20, 0, 0, 0, 0x21, 0, 0xE7, 0x12});
  EXPECT_EQ(State().display.at(0x20), u"\u0012\uFFFD");
  // The clear record alone empties the line.
  SendString({0x10, 0, 0, 0});
  EXPECT_EQ(State().display.at(0x10), u"");
  EXPECT_NE(TraceOf("IOCTL_SET_STRING")[2].find("\"set\":null,\"codes\":[],\"text\":\"\""),
            std::string::npos);
  EXPECT_EQ(State().display_requests, 3u);
  uint8_t partial[3] = {};
  EXPECT_FALSE(channel_.Control(IOCTL_SET_STRING, partial, 3, nullptr, 0));
}

TEST_F(SimRequests, LoadPathsInsideTheRootAreWrittenRelativeToIt) {
  model_.SetTraceRoot(u"/tmp/run-1/");
  Load(u"/tmp/run-1/documents/Corvane/a.pr0");
  Load(u"/tmp/run-10/b.pr0");
  Load(u"C:\\other\\c.pr0");
  std::vector<std::string> records = TraceOf("IOCTL_PROFILE_LOAD");
  ASSERT_EQ(records.size(), 3u);
  EXPECT_NE(records[0].find("\"path\":\"$ROOT/documents/Corvane/a.pr0\",\"id\":1,"),
            std::string::npos)
      << records[0];
  EXPECT_NE(records[1].find("\"path\":\"/tmp/run-10/b.pr0\""), std::string::npos) << records[1];
  EXPECT_NE(records[2].find("\"path\":\"C:\\\\other\\\\c.pr0\""), std::string::npos) << records[2];
  model_.SetTraceRoot(u"C:\\Temp\\run");
  Load(u"C:\\Temp\\run\\documents\\d.pr0");
  EXPECT_NE(TraceOf("IOCTL_PROFILE_LOAD")[3].find("\"path\":\"$ROOT/documents/d.pr0\""),
            std::string::npos);
}

TEST_F(SimRequests, UnknownCodeAndShortInputsFail) {
  uint8_t out[4] = {};
  EXPECT_FALSE(channel_.Control(DriverControlCode(0xA05), nullptr, 0, out, 4));
  EXPECT_FALSE(channel_.Control(IOCTL_SET_CLUTCH_MODE, out, 3, nullptr, 0));
  EXPECT_FALSE(channel_.Control(IOCTL_PROFILE_LOAD, out, 4, out, 4));
  std::vector<std::string> trace = model_.Trace();
  ASSERT_GE(trace.size(), 2u);
  EXPECT_NE(trace[1].find("\"code\":\"0x00222814\",\"ok\":false,\"error\":1"), std::string::npos)
      << trace[1];
}

}  // namespace
