// Control code values and the byte layouts of the driver request buffers.
#include "driver/driver_buffers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/control_codes.h"

namespace {

std::string Hex(const uint8_t* bytes, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}
template <typename Container>
std::string Hex(const Container& bytes) {
  return Hex(bytes.data(), bytes.size());
}

TEST(ControlCodes, ValuesOfTheTable) {
  struct Expected {
    uint32_t code;
    uint32_t value;
    const char* name;
    bool wait;
  } table[] = {
      {IOCTL_PROFILE_LOAD, 0x222800, "IOCTL_PROFILE_LOAD", false},
      {IOCTL_PROFILE_GET_PATH, 0x222804, "IOCTL_PROFILE_GET_PATH", false},
      {IOCTL_PROFILE_CLEAR, 0x222808, "IOCTL_PROFILE_CLEAR", false},
      {IOCTL_PROFILE_ACTIVATE, 0x22280C, "IOCTL_PROFILE_ACTIVATE", false},
      {IOCTL_GET_MEMBER_GUID, 0x222818, "IOCTL_GET_MEMBER_GUID", false},
      {IOCTL_GET_CONTROLLER_GUID, 0x22281C, "IOCTL_GET_CONTROLLER_GUID", false},
      {IOCTL_WAIT_PROFILE_CHANGE, 0x222824, "IOCTL_WAIT_PROFILE_CHANGE", true},
      {IOCTL_GET_PROFILE_ID, 0x222828, "IOCTL_GET_PROFILE_ID", false},
      {IOCTL_WAIT_SHIFT_CHANGE, 0x22283C, "IOCTL_WAIT_SHIFT_CHANGE", true},
      {IOCTL_WAIT_COMMAND, 0x222840, "IOCTL_WAIT_COMMAND", true},
      {IOCTL_SET_CLUTCH_MODE, 0x222844, "IOCTL_SET_CLUTCH_MODE", false},
      {IOCTL_GET_SHIFT_STATE, 0x222848, "IOCTL_GET_SHIFT_STATE", false},
      {IOCTL_GET_DEVICE_TYPE, 0x223000, "IOCTL_GET_DEVICE_TYPE", false},
      {IOCTL_SET_STRING, 0x223004, "IOCTL_SET_STRING", false},
      {IOCTL_WAIT_CLUTCH_STATE, 0x223058, "IOCTL_WAIT_CLUTCH_STATE", true},
      {IOCTL_WAIT_SOFT_BUTTONS, 0x223080, "IOCTL_WAIT_SOFT_BUTTONS", true},
      {IOCTL_SET_SHIFT_INDICATOR, 0x223084, "IOCTL_SET_SHIFT_INDICATOR", false},
      {IOCTL_WAIT_CLUTCH_EVENT, 0x223634, "IOCTL_WAIT_CLUTCH_EVENT", true},
      {IOCTL_SET_CLUTCH_TEXT, 0x22363C, "IOCTL_SET_CLUTCH_TEXT", false},
  };
  for (const Expected& e : table) {
    EXPECT_EQ(e.code, e.value) << e.name;
    EXPECT_STREQ(ControlCodeName(e.value), e.name);
    uint32_t parsed = 0;
    EXPECT_TRUE(ControlCodeFromName(e.name, &parsed));
    EXPECT_EQ(parsed, e.value);
    EXPECT_EQ(IsWaitCode(e.value), e.wait) << e.name;
  }
  EXPECT_EQ(ControlCodeName(0x222814), nullptr);
  uint32_t unused = 0;
  EXPECT_FALSE(ControlCodeFromName("IOCTL_NOTHING", &unused));
}

TEST(DriverBuffers, ProfileLoadInput) {
  std::vector<uint8_t> input = BuildProfileLoadInput(u"C:\\\u00e9");
  EXPECT_EQ(input.size(), 12u + 2 * 4);
  EXPECT_EQ(Hex(input),
            "01000000"
            "FFFFFFFF"
            "0000"
            "43003A005C00E900"
            "0000");
  std::u16string path;
  ASSERT_TRUE(ParseProfileLoadInput(input.data(), input.size(), &path));
  EXPECT_EQ(path, u"C:\\\u00e9");
  EXPECT_EQ(Hex(BuildProfileLoadInput(u"")), "01000000FFFFFFFF00000000");
  EXPECT_FALSE(ParseProfileLoadInput(input.data(), 9, &path));
  ASSERT_TRUE(ParseProfileLoadInput(input.data(), 13, &path)) << "no terminator: up to the end";
  EXPECT_EQ(path, u"C");
}

TEST(DriverBuffers, SmallInputs) {
  EXPECT_EQ(Hex(BuildProfileIdInput(0x01020304)), "0100000004030201");
  EXPECT_EQ(Hex(BuildProfileClearInput()), "01000000FFFFFFFF");
  EXPECT_EQ(Hex(BuildWord(1)), "01000000");
  auto id_input = BuildProfileIdInput(7);
  uint32_t id = 0;
  EXPECT_TRUE(ParseProfileIdInput(id_input.data(), 8, &id));
  EXPECT_EQ(id, 7u);
  EXPECT_FALSE(ParseProfileIdInput(id_input.data(), 7, &id));
  uint32_t word = 0;
  EXPECT_FALSE(ParseWord(id_input.data(), 3, &word));
}

TEST(DriverBuffers, ClutchTextInput) {
  std::vector<uint8_t> input = BuildClutchTextInput(u"ab\u00fc");
  EXPECT_EQ(input.size(), 8u + 2 * 3);
  EXPECT_EQ(Hex(input),
            "03000000"
            "0300"
            "61006200FC00"
            "0000");
  std::u16string text;
  ASSERT_TRUE(ParseClutchTextInput(input.data(), input.size(), &text));
  EXPECT_EQ(text, u"ab\u00fc");
  ASSERT_TRUE(ParseClutchTextInput(input.data(), 9, &text)) << "a length beyond the input is cut";
  EXPECT_EQ(text, u"a");
  EXPECT_EQ(Hex(BuildClutchTextInput(u"")), "0000000003000000");
}

TEST(DriverBuffers, ProfilePathReply) {
  uint8_t reply[32] = {};
  uint32_t written = WriteProfilePathReply(reply, sizeof(reply), kProfilePathRelative, u"a\\b");
  EXPECT_EQ(written, ProfilePathRetryBytes(3));
  EXPECT_EQ(Hex(reply, written),
            "03000000"
            "0100"
            "61005C006200"
            "0000");
  ProfilePathReply parsed;
  ASSERT_TRUE(ParseProfilePathReply(reply, sizeof(reply), &parsed));
  EXPECT_EQ(parsed.length, 3u);
  EXPECT_EQ(parsed.kind, kProfilePathRelative);
  EXPECT_EQ(parsed.path, u"a\\b");
  // Without a terminator the path ends with the buffer; the length field is not trusted.
  ASSERT_TRUE(ParseProfilePathReply(reply, 10, &parsed));
  EXPECT_EQ(parsed.path, u"a\\");
  EXPECT_FALSE(ParseProfilePathReply(reply, 5, &parsed));
  EXPECT_EQ(WriteProfilePathReply(reply, 5, 0, u"x"), 0u);
  EXPECT_EQ(WriteProfilePathReply(reply, 9, 0, u"xyz"), 8u) << "as much of the path as fits";
}

TEST(DriverBuffers, EventReplies) {
  const uint8_t clutch[] = {0x05, 0x00, 0x03, 0x01};
  ClutchWords words = ClutchWords::Read(clutch);
  EXPECT_EQ(words.engaged, 5);
  EXPECT_EQ(words.event_type, 0x103);
  uint8_t written[4] = {};
  words.Write(written);
  EXPECT_EQ(Hex(written, 4), "05000301");

  CommandRecord record;
  record.control = 0x11223344;
  record.kind = 2;
  record.state = 1;
  record.command = {0x4A7D2E91, 0x3B6C, 0x4F80, {0xA1, 0xD5, 0x9E, 0x8C, 0x7B, 0x6A, 0x5F, 0x40}};
  uint8_t bytes[CommandRecord::kSize] = {};
  record.Write(bytes);
  EXPECT_EQ(Hex(bytes, sizeof(bytes)),
            "44332211"
            "02000000"
            "01000000"
            "912E7D4A"
            "6C3B"
            "804F"
            "A1D59E8C7B6A5F40");
  CommandRecord back = CommandRecord::Read(bytes);
  EXPECT_EQ(back.control, record.control);
  EXPECT_EQ(back.kind, 2u);
  EXPECT_EQ(back.state, 1u);
  EXPECT_EQ(back.command, record.command);
}

}  // namespace
