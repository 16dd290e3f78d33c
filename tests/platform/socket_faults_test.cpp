// The socket transport against drivers that misbehave: one that never answers (with short limits
// given to the connection), and answers that are well-formed frames with wrong contents. Each
// case runs on both reading paths: a connection read by the caller of a synchronous request, and
// one handed to the answer poller by an overlapped request.
#ifndef _WIN32

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/socket_device.h"
#include "platform/text.h"
#include "test_driver.h"

namespace {

using socket_test::Frame;
using socket_test::TestDriver;

constexpr uint32_t kDeadlineMs = 10000;
constexpr uint32_t kWaitCode = 0x223634;
constexpr uint32_t kRequestCode = 0x223004;
// Limits a test can tell from the service's own (5 s, 10 s, 2 s), long enough for a driver
// thread on a loaded machine to answer what it means to answer.
constexpr platform::SocketLimits kShortLimits{1000, 1000, 300};
// The service's request limit with a short cancel grace: the wait the poller path leaves
// outstanding is cancelled at the end of each test, and these drivers never answer cancels.
constexpr platform::SocketLimits kShortGrace{5000, 10000, 300};

std::vector<unsigned char> AnswerFrame(uint64_t id, uint32_t returned,
                                       const std::vector<unsigned char>& carried) {
  std::vector<unsigned char> frame = TestDriver::AnswerFrame(id, 0, carried);
  std::memcpy(&frame[16], &returned, 4);
  return frame;
}

// The connection sets its deadlines on a clock read in whole milliseconds, so each limit can end
// up to a millisecond before the same time measured here has passed.
constexpr uint64_t kClockSlackMs = 2;

uint64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - since)
                                   .count());
}

class SocketFaultsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/skyhelm-socket-faults-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    path_ = folder_ + "/device";
  }
  void TearDown() override {
    if (polling_ != nullptr) {
      platform::CancelAndDrain(device_, *polling_);
      polling_.reset();
    }
    if (device_ != nullptr) platform::CloseDevice(device_);
    ASSERT_EQ(std::system(("rm -rf '" + folder_ + "'").c_str()), 0);
  }
  // Opens the device; with the parameter set, an overlapped wait that the driver leaves
  // outstanding hands the connection to the answer poller first.
  void Open(const platform::SocketLimits& limits) {
    uint32_t error = 0;
    device_ = platform::OpenSocketDevice(platform::FromUtf8(path_),
                                         platform::DeviceAccess::kReadWrite, true, limits, &error);
    ASSERT_NE(device_, nullptr) << "error " << error;
    if (!GetParam()) return;
    polling_ = std::make_unique<platform::Overlapped>(polling_done_);
    ASSERT_TRUE(platform::IssueControl(device_, kWaitCode, nullptr, 0, nullptr, 0, *polling_));
  }
  bool Request(unsigned char* output, uint32_t size, uint32_t* returned) {
    return platform::DeviceControl(device_, kRequestCode, nullptr, 0, output, size, returned);
  }

  std::string folder_;
  std::string path_;
  platform::DeviceHandle device_ = nullptr;
  platform::Event polling_done_{platform::Event::Kind::kManualReset};
  std::unique_ptr<platform::Overlapped> polling_;
};

INSTANTIATE_TEST_SUITE_P(ReadingPaths, SocketFaultsTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Polled" : "Direct"; });

// The first request and its cancel go unanswered until the next request comes; its answer then
// arrives late, just before the next one's.
TEST_P(SocketFaultsTest, ARequestNeverAnsweredFailsAtItsLimitAndTheConnectionServesTheNext) {
  std::mutex mutex;
  std::vector<uint64_t> ignored;
  TestDriver driver(path_, [&](TestDriver& d, int fd, const Frame& frame) {
    if (frame.code != kRequestCode) return;
    std::lock_guard<std::mutex> hold(mutex);
    if (ignored.empty()) {
      ignored.push_back(frame.id);
      return;
    }
    d.Answer(fd, ignored[0], 0, {0xAA});
    d.Answer(fd, frame.id, 0, {0x55});
  });
  Open(kShortLimits);
  unsigned char output[1] = {};
  uint32_t returned = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Request(output, 1, &returned));
  const uint64_t waited = ElapsedMs(start);
  EXPECT_GE(waited + kClockSlackMs, kShortLimits.request_ms + kShortLimits.cancel_grace_ms);
  EXPECT_LT(waited, kDeadlineMs) << "the connection's own limits were not used";
  EXPECT_EQ(output[0], 0) << "a failed request leaves the output as it was";
  std::vector<Frame> seen = driver.Seen();
  for (uint32_t waited = 0; waited < kDeadlineMs && seen.back().code != platform::kSocketCancelCode;
       waited += 10) {
    usleep(10000);
    seen = driver.Seen();
  }
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen.back().code, platform::kSocketCancelCode);
  EXPECT_EQ(seen.back().id, seen[seen.size() - 2].id) << "the cancel names the request";

  ASSERT_TRUE(Request(output, 1, &returned)) << "the connection stays usable";
  EXPECT_EQ(output[0], 0x55) << "the late answer to the failed request was taken for this one";
  EXPECT_FALSE(platform::SocketDeviceClosedByDriver(device_->NativeHandle()));
}

TEST_P(SocketFaultsTest, AnAnswerClaimingMoreBytesThanItCarriesGivesOnlyThoseItCarries) {
  TestDriver driver(path_, [](TestDriver& d, int fd, const Frame& frame) {
    if (frame.code == kRequestCode) d.SendRaw(fd, AnswerFrame(frame.id, 64, {1, 2}));
  });
  Open(kShortGrace);
  unsigned char output[8];
  std::memset(output, 0xEE, sizeof output);
  uint32_t returned = 0;
  ASSERT_TRUE(Request(output, sizeof output, &returned));
  EXPECT_EQ(returned, 2u);
  EXPECT_EQ(output[0], 1);
  EXPECT_EQ(output[1], 2);
  for (int i = 2; i < 8; ++i) EXPECT_EQ(output[i], 0xEE) << "byte " << i << " was not carried";
}

// Before each answer the driver sends one for an id never issued, and after it the same answer
// again with other bytes: the request gets its own answer, and the repeat reaches neither it
// nor the next request.
TEST_P(SocketFaultsTest, AnswersWithUnknownOrRepeatedIdsAreDropped) {
  TestDriver driver(path_, [](TestDriver& d, int fd, const Frame& frame) {
    if (frame.code != kRequestCode) return;
    std::vector<unsigned char> bytes = AnswerFrame(frame.id + 1000, 1, {0x99});
    const std::vector<unsigned char> right = AnswerFrame(frame.id, 1, {static_cast<unsigned char>(frame.id)});
    const std::vector<unsigned char> again = AnswerFrame(frame.id, 1, {0x77});
    bytes.insert(bytes.end(), right.begin(), right.end());
    bytes.insert(bytes.end(), again.begin(), again.end());
    d.SendRaw(fd, bytes);
  });
  Open(kShortGrace);
  unsigned char first[1] = {}, second[1] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(Request(first, 1, &returned));
  ASSERT_TRUE(Request(second, 1, &returned));
  const std::vector<Frame> seen = driver.Seen();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(first[0], static_cast<unsigned char>(seen[seen.size() - 2].id));
  EXPECT_EQ(second[0], static_cast<unsigned char>(seen.back().id));
  EXPECT_FALSE(platform::SocketDeviceClosedByDriver(device_->NativeHandle()));
}

// A length above the largest frame cannot be followed: the connection ends at once, long before
// the request's own limit (30 s here, so that waiting for the frame cannot pass for ending at
// once), and later requests fail.
TEST_P(SocketFaultsTest, AFrameLongerThanTheLargestEndsTheConnectionAtOnce) {
  TestDriver driver(path_, [](TestDriver& d, int fd, const Frame& frame) {
    if (frame.code != kRequestCode) return;
    std::vector<unsigned char> header = AnswerFrame(frame.id, 0, {});
    const uint32_t length = platform::kSocketMaxFrameSize + 1;
    std::memcpy(&header[0], &length, 4);
    d.SendRaw(fd, header);
  });
  Open(platform::SocketLimits{5000, 30000, 300});
  uint32_t returned = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Request(nullptr, 0, &returned));
  EXPECT_LT(ElapsedMs(start), kDeadlineMs) << "waited for the frame";
  EXPECT_TRUE(platform::SocketDeviceClosedByDriver(device_->NativeHandle()));
  EXPECT_FALSE(Request(nullptr, 0, &returned));
}

// A driver that accepts the connection and never gives the open answer.
TEST(SocketOpenLimit, AnOpenNeverAnsweredFailsAtItsLimit) {
  char pattern[] = "/tmp/skyhelm-socket-open-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  const std::string path = folder + "/silent";
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);  // connections wait in the backlog, never accepted
  uint32_t error = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform::OpenSocketDevice(platform::FromUtf8(path), platform::DeviceAccess::kReadWrite,
                                       false, kShortLimits, &error),
            nullptr);
  const uint64_t waited = ElapsedMs(start);
  EXPECT_EQ(error, platform::kErrorFileNotFound);
  EXPECT_GE(waited + kClockSlackMs, kShortLimits.open_ms);
  EXPECT_LT(waited, platform::SocketLimits{}.open_ms) << "the given open limit was not used";
  close(listener);
  ASSERT_EQ(std::system(("rm -rf '" + folder + "'").c_str()), 0);
}

}  // namespace

#endif  // _WIN32
