// The driver side of the socket transport, spoken to byte by byte as any client would: open
// answers, requests cut anywhere or packed together, pending waits, cancels, malformed frames
// and removal.
#ifndef _WIN32

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/control_codes.h"
#include "platform/posix/socket_device.h"
#include "platform/text.h"
#include "sim/in_process.h"
#include "sim/model.h"
#include "sim/socket_server.h"
#include "sim_test_support.h"

namespace {

using sim_test::kDeadlineMs;
constexpr char kName[] = "SRV";

std::vector<unsigned char> RequestFrame(uint64_t id, uint32_t code, uint32_t output_size) {
  std::vector<unsigned char> frame(24);
  const uint32_t length = 24;
  std::memcpy(&frame[0], &length, 4);
  std::memcpy(&frame[4], &id, 8);
  std::memcpy(&frame[12], &code, 4);
  std::memset(&frame[16], 0, 4);
  std::memcpy(&frame[20], &output_size, 4);
  return frame;
}

struct AnswerFrame {
  uint64_t id = 0;
  uint32_t status = 0;
  std::vector<unsigned char> data;
};

class SocketServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/skyhelm-server-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    model_.Declare(kName);
    model_.Attach(kName);
    server_ = std::make_unique<sim::SocketServer>(folder_, &transport_);
    ASSERT_TRUE(server_->Publish("srv", sim::DriverModel::InterfacePath(kName)));
  }
  void TearDown() override {
    server_.reset();
    ASSERT_EQ(std::system(("rm -rf '" + folder_ + "'").c_str()), 0);
  }

  // Connects and reads the open answer; -1 when either fails.
  int Connect(uint32_t* open_status) {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = folder_ + "/srv";
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      return -1;
    }
    unsigned char answer[8];
    if (!ReadBytes(fd, answer, 8)) {
      close(fd);
      return -1;
    }
    std::memcpy(open_status, answer + 4, 4);
    return fd;
  }
  // Reads size bytes within the shared deadline.
  static bool ReadBytes(int fd, unsigned char* out, size_t size) {
    while (size > 0) {
      pollfd wait{fd, POLLIN, 0};
      if (poll(&wait, 1, kDeadlineMs) != 1) return false;
      const ssize_t got = recv(fd, out, size, 0);
      if (got <= 0) return false;
      out += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }
  static bool ReadAnswer(int fd, AnswerFrame* answer) {
    unsigned char header[20];
    if (!ReadBytes(fd, header, 20)) return false;
    uint32_t length = 0;
    std::memcpy(&length, header, 4);
    std::memcpy(&answer->id, header + 4, 8);
    std::memcpy(&answer->status, header + 12, 4);
    answer->data.resize(length - 20);
    return answer->data.empty() || ReadBytes(fd, answer->data.data(), answer->data.size());
  }
  // True when the server closes the connection within the shared deadline.
  static bool ClosedByServer(int fd) {
    pollfd wait{fd, POLLIN, 0};
    unsigned char byte = 0;
    return poll(&wait, 1, kDeadlineMs) == 1 && recv(fd, &byte, 1, 0) == 0;
  }
  static void Send(int fd, const std::vector<unsigned char>& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
  }

  // Polls condition every 10 ms until it holds or the shared deadline passes.
  static void Eventually(const std::function<bool()>& condition) {
    for (uint32_t waited = 0; !condition() && waited < kDeadlineMs; waited += 10) usleep(10000);
  }

  // The threads of this process, as the kernel lists them.
  static size_t ThreadCount() {
    size_t count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
      while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
      closedir(tasks);
    }
    return count;
  }

  std::string folder_;
  sim::DriverModel model_;
  sim::InProcessTransport transport_{model_};
  std::unique_ptr<sim::SocketServer> server_;
};

TEST_F(SocketServerTest, RequestsCutAnywhereOrPackedTogetherAreEachAnswered) {
  uint32_t status = 99;
  const int fd = Connect(&status);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(status, 0u);
  const std::vector<unsigned char> first = RequestFrame(7, IOCTL_GET_DEVICE_TYPE, 16);
  Send(fd, {first.begin(), first.begin() + 5});
  usleep(20000);
  Send(fd, {first.begin() + 5, first.end()});
  AnswerFrame answer;
  ASSERT_TRUE(ReadAnswer(fd, &answer));
  EXPECT_EQ(answer.id, 7u);
  EXPECT_EQ(answer.status, 0u);
  EXPECT_EQ(answer.data.size(), 16u);

  std::vector<unsigned char> both = RequestFrame(8, IOCTL_GET_MEMBER_GUID, 16);
  const std::vector<unsigned char> second = RequestFrame(9, IOCTL_GET_CONTROLLER_GUID, 16);
  both.insert(both.end(), second.begin(), second.end());
  Send(fd, both);
  AnswerFrame a, b;
  ASSERT_TRUE(ReadAnswer(fd, &a));
  ASSERT_TRUE(ReadAnswer(fd, &b));
  EXPECT_EQ(a.id, 8u);
  EXPECT_EQ(b.id, 9u);
  close(fd);
}

TEST_F(SocketServerTest, PendingWaitIsAnsweredWhenTheEventComesAndCancelledWhenAsked) {
  uint32_t status = 99;
  const int fd = Connect(&status);
  ASSERT_GE(fd, 0);
  Send(fd, RequestFrame(1, IOCTL_WAIT_CLUTCH_EVENT, 4));
  ASSERT_TRUE(model_.WaitForOutstanding(kName, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs));
  model_.RaiseClutchEvent(kName, 1, 5);
  AnswerFrame answer;
  ASSERT_TRUE(ReadAnswer(fd, &answer));
  EXPECT_EQ(answer.id, 1u);
  EXPECT_EQ(answer.status, 0u);
  ASSERT_EQ(answer.data.size(), 4u);

  Send(fd, RequestFrame(2, IOCTL_WAIT_CLUTCH_EVENT, 4));
  ASSERT_TRUE(model_.WaitForOutstanding(kName, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs));
  Send(fd, RequestFrame(2, platform::kSocketCancelCode, 0));
  ASSERT_TRUE(ReadAnswer(fd, &answer));
  EXPECT_EQ(answer.id, 2u);
  EXPECT_NE(answer.status, 0u);
  EXPECT_EQ(model_.OutstandingCount(kName, IOCTL_WAIT_CLUTCH_EVENT), 0u);
  close(fd);
}

TEST_F(SocketServerTest, ClosingTheConnectionEndsItsOutstandingWaits) {
  uint32_t status = 99;
  const int fd = Connect(&status);
  ASSERT_GE(fd, 0);
  Send(fd, RequestFrame(1, IOCTL_WAIT_CLUTCH_EVENT, 4));
  Send(fd, RequestFrame(2, IOCTL_WAIT_SHIFT_CHANGE, 16));
  ASSERT_TRUE(model_.WaitForOutstanding(kName, IOCTL_WAIT_SHIFT_CHANGE, kDeadlineMs));
  close(fd);
  Eventually([&] {
    return model_.OutstandingCount(kName, IOCTL_WAIT_CLUTCH_EVENT) +
               model_.OutstandingCount(kName, IOCTL_WAIT_SHIFT_CHANGE) ==
           0;
  });
  EXPECT_EQ(model_.OutstandingCount(kName, IOCTL_WAIT_CLUTCH_EVENT), 0u);
  EXPECT_EQ(model_.OutstandingCount(kName, IOCTL_WAIT_SHIFT_CHANGE), 0u);
  // The socket still serves new connections.
  const int again = Connect(&status);
  ASSERT_GE(again, 0);
  EXPECT_EQ(status, 0u);
  close(again);
}

TEST_F(SocketServerTest, AFrameThatIsNotARequestEndsThatConnectionOnly) {
  uint32_t status = 99;
  const int bad = Connect(&status);
  const int good = Connect(&status);
  ASSERT_GE(bad, 0);
  ASSERT_GE(good, 0);
  std::vector<unsigned char> frame = RequestFrame(1, IOCTL_GET_DEVICE_TYPE, 16);
  const uint32_t too_short = 10;
  std::memcpy(&frame[0], &too_short, 4);
  Send(bad, frame);
  EXPECT_TRUE(ClosedByServer(bad));
  Send(good, RequestFrame(3, IOCTL_GET_DEVICE_TYPE, 16));
  AnswerFrame answer;
  ASSERT_TRUE(ReadAnswer(good, &answer));
  EXPECT_EQ(answer.id, 3u);
  close(bad);
  close(good);
}

TEST_F(SocketServerTest, RefusedOpenIsAnsweredWithTheErrorAndUnpublishClosesConnections) {
  model_.FailOpens(kName);
  uint32_t status = 0;
  const int refused = Connect(&status);
  ASSERT_GE(refused, 0);
  EXPECT_NE(status, 0u);
  EXPECT_TRUE(ClosedByServer(refused));
  close(refused);

  const int fd = Connect(&status);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(status, 0u);
  Send(fd, RequestFrame(1, IOCTL_WAIT_CLUTCH_EVENT, 4));
  ASSERT_TRUE(model_.WaitForOutstanding(kName, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs));
  server_->Unpublish("srv");
  // The outstanding wait is ended; whatever the service reads next, the connection then ends.
  AnswerFrame answer;
  while (ReadAnswer(fd, &answer)) EXPECT_EQ(answer.id, 1u);
  EXPECT_EQ(model_.OutstandingCount(kName, IOCTL_WAIT_CLUTCH_EVENT), 0u);
  EXPECT_NE(access((folder_ + "/srv").c_str(), F_OK), 0);
  close(fd);
}

TEST_F(SocketServerTest, PendingRequestsReuseTheServersThreadsWhichItJoinsWhenItGoes) {
  server_.reset();
  const size_t before = ThreadCount();
  server_ = std::make_unique<sim::SocketServer>(folder_, &transport_);
  ASSERT_TRUE(server_->Publish("srv", sim::DriverModel::InterfacePath(kName)));
  constexpr int kConnections = 3;
  int fds[kConnections];
  for (int& fd : fds) {
    uint32_t status = 99;
    fd = Connect(&status);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(status, 0u);
  }
  for (uint64_t round = 1; round <= 20; ++round) {
    for (int fd : fds) {
      Send(fd, RequestFrame(round * 10 + 1, IOCTL_WAIT_CLUTCH_EVENT, 4));
      Send(fd, RequestFrame(round * 10 + 2, IOCTL_WAIT_SHIFT_CHANGE, 16));
    }
    ASSERT_TRUE(model_.WaitForOutstanding(kName, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs, kConnections));
    ASSERT_TRUE(model_.WaitForOutstanding(kName, IOCTL_WAIT_SHIFT_CHANGE, kDeadlineMs, kConnections));
    AnswerFrame answer;
    if (round == 1) {
      // A second request under the id of a pending one is refused; the pending one stays.
      Send(fds[0], RequestFrame(11, IOCTL_GET_DEVICE_TYPE, 16));
      ASSERT_TRUE(ReadAnswer(fds[0], &answer));
      EXPECT_EQ(answer.id, 11u);
      EXPECT_NE(answer.status, 0u);
    }
    // Each connection's answers come as their requests complete: the clutch wait, then the shift.
    model_.RaiseClutchEvent(kName, 1, static_cast<uint16_t>(round % 7));
    for (int fd : fds) {
      ASSERT_TRUE(ReadAnswer(fd, &answer)) << "round " << round;
      EXPECT_EQ(answer.id, round * 10 + 1);
      EXPECT_EQ(answer.status, 0u);
      EXPECT_EQ(answer.data.size(), 4u);
    }
    model_.SetShiftState(kName, platform::Guid{static_cast<uint32_t>(round), 0, 0, {}});
    for (int fd : fds) {
      ASSERT_TRUE(ReadAnswer(fd, &answer)) << "round " << round;
      EXPECT_EQ(answer.id, round * 10 + 2);
      EXPECT_EQ(answer.status, 0u);
      EXPECT_EQ(answer.data.size(), 16u);
    }
  }
  // Threads are reused: beside the socket's own, a few rounds' worth at most (a thread still
  // finishing one answer when the next request comes adds one), never one per request (120).
  EXPECT_LE(ThreadCount(), before + 1 + 6 * kConnections);

  // Going with waits outstanding ends them and every thread the server started.
  for (int fd : fds) Send(fd, RequestFrame(1000, IOCTL_WAIT_CLUTCH_EVENT, 4));
  ASSERT_TRUE(model_.WaitForOutstanding(kName, IOCTL_WAIT_CLUTCH_EVENT, kDeadlineMs, kConnections));
  server_.reset();
  EXPECT_EQ(model_.OutstandingCount(kName, IOCTL_WAIT_CLUTCH_EVENT), 0u);
  for (int fd : fds) {
    AnswerFrame answer;
    while (ReadAnswer(fd, &answer)) EXPECT_EQ(answer.id, 1000u);
    close(fd);
  }
  // A joined thread leaves the kernel's list a moment after the join returns.
  Eventually([&] { return ThreadCount() <= before; });
  EXPECT_LE(ThreadCount(), before);
}

}  // namespace

#endif  // _WIN32
