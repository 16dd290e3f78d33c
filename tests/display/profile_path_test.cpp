// Asking the driver for a profile's path with replies no well-behaved driver gives: a device
// that answers each path request from a script and records the buffer size it was given.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "display/profile_path.h"
#include "driver/control_codes.h"
#include "driver/driver_buffers.h"
#include "driver/driver_channel.h"
#include "platform/device_io.h"
#include "platform/folders.h"

namespace {

struct PathReply {
  uint32_t length;
  uint16_t kind;
  std::u16string path;
};

class ScriptedDevice : public platform::DeviceProvider {
 public:
  ScriptedDevice() { platform::SetInProcessDeviceProvider(this); }
  ~ScriptedDevice() override { platform::SetInProcessDeviceProvider(nullptr); }

  platform::DeviceConnection* Open(std::u16string_view, platform::DeviceAccess, bool,
                                   uint32_t*) override {
    return new Handle(this);
  }

  bool Answer(uint32_t code, void* output, uint32_t output_size, uint32_t* returned) {
    if (code != IOCTL_PROFILE_GET_PATH || replies.empty()) return false;
    sizes.push_back(output_size);
    const PathReply reply = replies.front();
    replies.pop_front();
    auto* out = static_cast<uint8_t*>(output);
    driver_bytes::PutU32(out, reply.length);
    driver_bytes::PutU16(out + 4, reply.kind);
    const size_t units = std::min<size_t>(reply.path.size(), (output_size - 6) / 2);
    for (size_t i = 0; i < units; ++i) driver_bytes::PutU16(out + 6 + 2 * i, reply.path[i]);
    *returned = output_size;
    return true;
  }

  std::deque<PathReply> replies;
  std::vector<uint32_t> sizes;

 private:
  // One open handle: synchronous requests only, answered by the device, which outlives it.
  class Handle : public platform::DeviceConnection {
   public:
    explicit Handle(ScriptedDevice* device) : device_(device) {}
    bool Control(uint32_t code, const void*, uint32_t, void* output, uint32_t output_size,
                 uint32_t* returned) override {
      return device_->Answer(code, output, output_size, returned);
    }
    bool IssueControl(uint32_t, const void*, uint32_t, void*, uint32_t,
                      platform::Overlapped&) override { return false; }
    bool IssueRead(void*, uint32_t, platform::Overlapped&) override { return false; }
    bool GetResult(platform::Overlapped&, uint32_t*, bool) override { return false; }
    void Cancel(platform::Overlapped&) override {}
    bool InputReportLength(uint16_t*) override { return false; }

   private:
    ScriptedDevice* device_;
  };
};

class ProfilePathTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(channel_.Open(u"sim:scripted", false)); }

  bool Query() { return QueryProfilePath(channel_, 7, &path_, &absolute_); }

  ScriptedDevice device_;
  DriverChannel channel_;
  std::u16string path_;
  bool absolute_ = false;
};

TEST_F(ProfilePathTest, TooSmallReplyIsAskedAgainWithRoomForTheLength) {
  device_.replies = {{300, 2, u""}, {7, 0, u"C:\\a.pr0"}};
  ASSERT_TRUE(Query());
  EXPECT_EQ(device_.sizes, (std::vector<uint32_t>{1024, 608}));
  EXPECT_EQ(path_, u"C:\\a.pr0");
  EXPECT_TRUE(absolute_);
}

TEST_F(ProfilePathTest, SecondTooSmallReplyFails) {
  device_.replies = {{300, 2, u""}, {300, 2, u""}};
  EXPECT_FALSE(Query());
  EXPECT_EQ(device_.sizes.size(), 2u);
}

TEST_F(ProfilePathTest, KindOfTheFinalReplyDecides) {
  device_.replies = {{300, 2, u""}, {9, 1, u"Profiles\\a.pr0"}};
  ASSERT_TRUE(Query());
  EXPECT_FALSE(absolute_);
  device_.replies = {{9, 3, u"Profiles\\a.pr0"}, {9, 3, u"Profiles\\a.pr0"}};
  EXPECT_FALSE(Query());
}

TEST_F(ProfilePathTest, PathMustFitTwoHundredSixtyUnitsWithItsTerminator) {
  device_.replies = {{259, 0, std::u16string(259, u'a')}};
  ASSERT_TRUE(Query());
  EXPECT_EQ(path_.size(), 259u);
  device_.replies = {{260, 0, std::u16string(260, u'a')}};
  EXPECT_FALSE(Query());
}

// A length no path can have is a faulty reply: it fails instead of asking for a buffer of
// gigabytes.
TEST_F(ProfilePathTest, ImpossibleLengthFailsWithoutAskingAgain) {
  device_.replies = {{0xFFFFFFF0u, 2, u""}, {7, 0, u"C:\\a.pr0"}};
  EXPECT_FALSE(Query());
  EXPECT_EQ(device_.sizes, (std::vector<uint32_t>{1024}));
}

// A relative path joined to the Windows folder must fit 260 units with its terminator; one that
// does not is no path at all, never the Windows folder alone.
TEST(ResolveProfilePath, RelativePathThatCannotBeJoinedGivesNoPath) {
  std::u16string windows;
  ASSERT_TRUE(platform::WindowsFolderFromShell(&windows) || platform::WindowsDirectory(&windows));
  ASSERT_LT(windows.size(), 200u);
  const std::u16string fits(platform::kMaxPath - 1 - windows.size() - 1, u'a');
  EXPECT_EQ(ResolveProfilePath(fits, false), windows + platform::kPathSeparator + fits);
  EXPECT_EQ(ResolveProfilePath(fits + u"a", false), u"");
  EXPECT_EQ(ResolveProfilePath(fits + u"a", true), fits + u"a");
}

}  // namespace
