// Machine registry reads: found, missing, buffer limits, names without regard to case.
#include <gtest/gtest.h>

#include <string>

#include "platform/registry.h"
#include "stand_in.h"

namespace platform {
namespace {

using testing::kTestKey;
using testing::WriteMachineValue;

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { testing::RemoveTestKey(); }
  void TearDown() override { testing::RemoveTestKey(); }
  std::u16string Key(std::u16string_view below = {}) {
    std::u16string key = kTestKey;
    if (!below.empty()) key += u"\\" + std::u16string(below);
    return key;
  }
  testing::TempRoot root_;
  char16_t buffer_[260] = {};
};

TEST_F(Registry, ReadsAValueWithKeyAndValueNamesInAnyCase) {
  ASSERT_TRUE(WriteMachineValue(Key(u"ProfileDirectories"), u"{4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40}",
                                u"D:\\Profiles"));
  ASSERT_TRUE(ReadMachineString(u"SOFTWARE\\skyhelmtest\\profiledirectories",
                                u"{4a7d2e91-3b6c-4f80-a1d5-9e8c7b6a5f40}", buffer_, 260));
  EXPECT_EQ(std::u16string(buffer_), u"D:\\Profiles");
}

TEST_F(Registry, MissingKeyOrValueFails) {
  ASSERT_TRUE(WriteMachineValue(Key(u"Present"), u"Value", u"text"));
  buffer_[0] = u'x';
  EXPECT_FALSE(ReadMachineString(Key(u"Absent"), u"Value", buffer_, 260));
  EXPECT_FALSE(ReadMachineString(Key(u"Present"), u"Other", buffer_, 260));
  EXPECT_EQ(buffer_[0], u'x') << "a failed read leaves the buffer alone";
  EXPECT_TRUE(ReadMachineString(Key(u"Present"), u"Value", buffer_, 260));
}

TEST_F(Registry, ValueMustFitWithItsTerminator) {
  ASSERT_TRUE(WriteMachineValue(Key(), u"Seven", u"ABCDEFG"));
  ASSERT_TRUE(WriteMachineValue(Key(), u"Eight", u"ABCDEFGH"));
  ASSERT_TRUE(WriteMachineValue(Key(), u"Nine", u"ABCDEFGHI"));
  ASSERT_TRUE(WriteMachineValue(Key(), u"Terminated", std::u16string(u"ABCDEFG\0", 8)));
  char16_t small[8];
  EXPECT_TRUE(ReadMachineString(Key(), u"Seven", small, 8));
  EXPECT_EQ(std::u16string(small), u"ABCDEFG");
  EXPECT_FALSE(ReadMachineString(Key(), u"Eight", small, 8)) << "fills the buffer, no terminator";
  EXPECT_FALSE(ReadMachineString(Key(), u"Nine", small, 8));
  EXPECT_TRUE(ReadMachineString(Key(), u"Terminated", small, 8));
  EXPECT_EQ(std::u16string(small), u"ABCDEFG");
}

TEST_F(Registry, TextEndsAtItsFirstNul) {
  ASSERT_TRUE(WriteMachineValue(Key(), u"Embedded", std::u16string(u"abc\0def", 7)));
  ASSERT_TRUE(ReadMachineString(Key(), u"Embedded", buffer_, 260));
  EXPECT_EQ(std::u16string(buffer_), u"abc");
}

TEST_F(Registry, DotDotInAKeyPathNamesNoOtherKey) {
  ASSERT_TRUE(WriteMachineValue(Key(), u"Outer", u"outside"));
  ASSERT_TRUE(WriteMachineValue(Key(u"Sub"), u"Inner", u"inside"));
  EXPECT_FALSE(ReadMachineString(Key(u"Sub\\.."), u"Outer", buffer_, 260));
  EXPECT_FALSE(ReadMachineString(Key(u"Sub"), u"..\\Outer", buffer_, 260));
}

TEST_F(Registry, UnknownDeviceHasNoDriverKey) {
  EXPECT_FALSE(DeviceDriverKey(u"SKYHELMTEST\\NO_SUCH_DEVICE\\0001", buffer_, 260));
  EXPECT_FALSE(DeviceDriverKey(u"", buffer_, 260));
}

#ifndef _WIN32
// The Linux stand-in: a device's driver key is the Driver value of its Enum key, and a value
// file that ends with a line break (as editors write it) reads without it.
TEST_F(Registry, LinuxStandInDriverKeyAndLineBreak) {
  ASSERT_TRUE(WriteMachineValue(u"System\\CurrentControlSet\\Enum\\USB\\VID_1234&PID_5678\\0001",
                                u"Driver", u"{36FC9E60-C465-11CF-8056-444553540000}\\0003\n"));
  ASSERT_TRUE(DeviceDriverKey(u"usb\\vid_1234&pid_5678\\0001", buffer_, 260));
  EXPECT_EQ(std::u16string(buffer_), u"{36FC9E60-C465-11CF-8056-444553540000}\\0003");
}
#endif

}  // namespace
}  // namespace platform
