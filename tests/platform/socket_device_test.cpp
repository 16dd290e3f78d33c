// The Linux socket transport and device folder watch, against a small driver in the test.
#ifndef _WIN32

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices.h"
#include "platform/posix/answer_poller.h"
#include "platform/posix/device_watch.h"
#include "platform/posix/socket_device.h"
#include "platform/text.h"
#include "test_driver.h"

namespace {

using platform::DeviceChange;

constexpr char kClassSuffix[] = "#{19D936F8-BAC2-4636-82B7-BC2C35F33F2A}";
const platform::Guid kClass = {0x19D936F8, 0xBAC2, 0x4636, {0x82, 0xB7, 0xBC, 0x2C, 0x35, 0xF3, 0x3F, 0x2A}};

using socket_test::Frame;
using socket_test::TestDriver;

constexpr uint32_t kDeadlineMs = 10000;

// Waits up to the shared deadline until the driver has seen count frames; false if it has not.
bool WaitForSeen(TestDriver& driver, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (driver.Seen().size() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    usleep(1000);
  }
  return true;
}

class SocketDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/skyhelm-socket-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    setenv("SKYHELM_DEVICE_DIR", folder_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("SKYHELM_DEVICE_DIR");
    std::string command = "rm -rf '" + folder_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string Device(const std::string& name) { return folder_ + "/" + name + kClassSuffix; }
  platform::DeviceHandle Open(const std::string& path) {
    uint32_t error = 0;
    return platform::OpenSocketDevice(platform::FromUtf8(path), platform::DeviceAccess::kReadWrite,
                                      true, &error);
  }
  // Waits up to rounds tenths of a second for the watch to report count records.
  std::vector<DeviceChange> Collect(platform::DeviceWatch& watch, size_t count, int rounds = 50) {
    std::vector<DeviceChange> all;
    for (int round = 0; round < rounds && all.size() < count; ++round) {
      pollfd wait{watch.PollFd(), POLLIN, 0};
      poll(&wait, 1, 100);
      for (DeviceChange& change : watch.TakeChanges()) all.push_back(std::move(change));
    }
    return all;
  }

  std::string folder_;
};

void Echo(TestDriver& driver, int fd, const Frame& frame) {
  if (frame.code == platform::kSocketCancelCode) return;
  std::vector<unsigned char> output(frame.input.rbegin(), frame.input.rend());
  driver.Answer(fd, frame.id, 0, output);
}

TEST_F(SocketDeviceTest, OpeningAMissingSocketFailsAsFileNotFound) {
  uint32_t error = 0;
  EXPECT_EQ(platform::OpenSocketDevice(platform::FromUtf8(Device("none")),
                                       platform::DeviceAccess::kReadWrite, true, &error),
            nullptr);
  EXPECT_EQ(error, platform::kErrorFileNotFound);
}

TEST_F(SocketDeviceTest, AnOpenTheDriverRefusesFailsWithTheDriversError) {
  TestDriver driver(Device("a"), Echo);
  driver.FailOpens(platform::kErrorGenFailure);
  uint32_t error = 0;
  EXPECT_EQ(platform::OpenSocketDevice(platform::FromUtf8(Device("a")),
                                       platform::DeviceAccess::kReadWrite, true, &error),
            nullptr);
  EXPECT_EQ(error, platform::kErrorGenFailure);
}

TEST_F(SocketDeviceTest, SynchronousRequestCarriesCodeInputAndOutputSize) {
  TestDriver driver(Device("a"), Echo);
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  const unsigned char input[3] = {1, 2, 3};
  unsigned char output[8] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(platform::DeviceControl(device, 0x223004, input, 3, output, 2, &returned));
  EXPECT_EQ(returned, 2u);  // three bytes answered, two fit
  EXPECT_EQ(output[0], 3);
  EXPECT_EQ(output[1], 2);
  EXPECT_EQ(output[2], 0);
  platform::CloseDevice(device);
  ASSERT_EQ(driver.Seen().size(), 1u);
  EXPECT_EQ(driver.Seen()[0].code, 0x223004u);
  EXPECT_EQ(driver.Seen()[0].output_length, 2u);
}

TEST_F(SocketDeviceTest, OutstandingRequestsCompleteOutOfOrderEachWithItsOwnResult) {
  std::mutex mutex;
  std::vector<std::pair<int, Frame>> held;
  TestDriver driver(Device("a"), [&](TestDriver& d, int fd, const Frame& frame) {
    std::lock_guard<std::mutex> hold(mutex);
    held.emplace_back(fd, frame);
    if (held.size() == 2) {  // answer the second first, the first with an error
      d.Answer(held[1].first, held[1].second.id, 0, {7, 7, 7, 7});
      d.Answer(held[0].first, held[0].second.id, 31, {});
    }
  });
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  platform::Event first_done(platform::Event::Kind::kManualReset);
  platform::Event second_done(platform::Event::Kind::kManualReset);
  platform::Overlapped first(first_done), second(second_done);
  unsigned char first_out[4] = {}, second_out[4] = {};
  ASSERT_TRUE(platform::IssueControl(device, 0x223634, nullptr, 0, first_out, 4, first));
  ASSERT_TRUE(platform::IssueControl(device, 0x223058, nullptr, 0, second_out, 4, second));
  ASSERT_TRUE(second_done.Wait(5000));
  ASSERT_TRUE(first_done.Wait(5000));
  uint32_t returned = 0;
  EXPECT_TRUE(platform::GetOverlappedResult(device, second, &returned, false));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(second_out[3], 7);
  EXPECT_FALSE(platform::GetOverlappedResult(device, first, &returned, false));
  EXPECT_EQ(first_out[0], 0);
  platform::CloseDevice(device);
}

TEST_F(SocketDeviceTest, CancelSendsACancelFrameAndEndsTheRequestAborted) {
  TestDriver driver(Device("a"), [](TestDriver& d, int fd, const Frame& frame) {
    if (frame.code == platform::kSocketCancelCode) d.Answer(fd, frame.id, 995, {});
  });
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  platform::Event done(platform::Event::Kind::kManualReset);
  platform::Overlapped overlapped(done);
  unsigned char output[4] = {};
  ASSERT_TRUE(platform::IssueControl(device, 0x223634, nullptr, 0, output, 4, overlapped));
  EXPECT_FALSE(done.Wait(50));
  platform::CancelAndDrain(device, overlapped);
  EXPECT_TRUE(done.Wait(0));
  uint32_t returned = 0;
  EXPECT_FALSE(platform::GetOverlappedResult(device, overlapped, &returned, false));
  const std::vector<Frame> seen = driver.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].code, platform::kSocketCancelCode);
  EXPECT_EQ(seen[1].id, seen[0].id);
  platform::CloseDevice(device);
}

TEST_F(SocketDeviceTest, CancelOfARequestTheDriverNeverAnswersEndsAfterTheGracePeriod) {
  TestDriver driver(Device("a"), [](TestDriver&, int, const Frame&) {});
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  platform::Event done(platform::Event::Kind::kManualReset);
  platform::Overlapped overlapped(done);
  ASSERT_TRUE(platform::IssueControl(device, 0x223634, nullptr, 0, nullptr, 0, overlapped));
  platform::CancelAndDrain(device, overlapped);  // returns within the grace period
  EXPECT_TRUE(done.Wait(0));
  platform::CloseDevice(device);
}

TEST_F(SocketDeviceTest, DriverClosingTheConnectionFailsOutstandingAndLaterRequests) {
  TestDriver driver(Device("a"), [](TestDriver&, int, const Frame&) {});
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  platform::Event done(platform::Event::Kind::kManualReset);
  platform::Overlapped overlapped(done);
  unsigned char output[4] = {};
  ASSERT_TRUE(platform::IssueControl(device, 0x223634, nullptr, 0, output, 4, overlapped));
  for (int i = 0; i < 100 && driver.Seen().empty(); ++i) usleep(10000);
  driver.CloseConnections();
  ASSERT_TRUE(done.Wait(5000));
  uint32_t returned = 0;
  EXPECT_FALSE(platform::GetOverlappedResult(device, overlapped, &returned, true));
  EXPECT_FALSE(platform::DeviceControl(device, 0x223004, nullptr, 0, nullptr, 0, &returned));
  EXPECT_TRUE(platform::SocketDeviceClosedByDriver(device->NativeHandle()));
  platform::CloseDevice(device);
}

TEST_F(SocketDeviceTest, EnumerationListsSocketsOfTheClassInNameOrder) {
  TestDriver b(Device("SIM#B"), Echo);
  TestDriver a(Device("SIM#A"), Echo);
  TestDriver control(folder_ + "/VexmoorLegacyDevice", Echo);
  ASSERT_EQ(std::system(("touch '" + Device("SIM#C") + "'").c_str()), 0);  // not a socket
  const std::vector<std::u16string> paths = platform::EnumerateInterfaces(kClass);
  ASSERT_EQ(paths.size(), 2u);
  EXPECT_EQ(platform::ToUtf8(paths[0]), Device("SIM#A"));
  EXPECT_EQ(platform::ToUtf8(paths[1]), Device("SIM#B"));
}

TEST_F(SocketDeviceTest, WatchReportsArrivalsOfTheRegisteredClassOnly) {
  platform::DeviceWatch watch(folder_);
  ASSERT_TRUE(watch.Start());
  TestDriver before(Device("SIM#EARLY"), Echo);  // not yet registered: no record
  EXPECT_TRUE(Collect(watch, 1, 3).empty());
  void* registration = platform::RegisterInterfaceArrivals(&watch, kClass);
  ASSERT_NE(registration, nullptr);
  TestDriver control(folder_ + "/VexmoorLegacyDevice", Echo);
  TestDriver arrived(Device("SIM#LATE"), Echo);
  const std::vector<DeviceChange> changes = Collect(watch, 1);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].kind, DeviceChange::Kind::kArrival);
  EXPECT_EQ(changes[0].device_type, 5u);
  EXPECT_EQ(platform::ToUtf8(changes[0].path), Device("SIM#LATE"));
}

TEST_F(SocketDeviceTest, SocketVanishingRemovesEveryHandleOpenedOnItOnce) {
  platform::DeviceWatch watch(folder_);
  ASSERT_TRUE(watch.Start());
  auto driver = std::make_unique<TestDriver>(Device("SIM#A"), Echo);
  platform::DeviceHandle device = Open(Device("SIM#A"));
  ASSERT_NE(device, nullptr);
  void* notification = platform::RegisterHandleRemoval(&watch, device->NativeHandle());
  ASSERT_NE(notification, nullptr);
  driver.reset();  // unlinks the socket and closes the connection: two causes, one removal
  const std::vector<DeviceChange> changes = Collect(watch, 3, 10);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].kind, DeviceChange::Kind::kQueryRemove);
  EXPECT_EQ(changes[1].kind, DeviceChange::Kind::kRemoveComplete);
  for (const DeviceChange& change : changes) {
    EXPECT_EQ(change.device_type, 6u);
    EXPECT_EQ(change.handle, device->NativeHandle());
    EXPECT_EQ(change.notification, notification);
  }
  platform::CloseDevice(device);
  platform::UnregisterNotification(notification);
  platform::UnregisterNotification(notification);  // a second time is harmless
}

// A connection used only synchronously is read by the caller itself; one with overlapped
// requests is read by the shared answer poller. These cases cross between the two.

TEST_F(SocketDeviceTest, SynchronousRequestsFromSeveralThreadsOnOneHandleEachGetTheirOwnAnswer) {
  TestDriver driver(Device("a"), Echo);
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        const unsigned char input[2] = {static_cast<unsigned char>(t), static_cast<unsigned char>(i)};
        unsigned char output[2] = {};
        uint32_t returned = 0;
        if (!platform::DeviceControl(device, 0x223004, input, 2, output, 2, &returned) ||
            returned != 2 || output[0] != i || output[1] != t) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
  platform::CloseDevice(device);
}

TEST_F(SocketDeviceTest, OverlappedRequestIssuedDuringASynchronousOneIsAnsweredAfterIt) {
  const size_t clients_before = platform::AnswerPoller::Shared().ClientCount();
  std::mutex mutex;
  std::vector<Frame> held;
  // Holds the synchronous request until the overlapped one has come; answers the overlapped one
  // only after the caller of the synchronous one has had its answer and stopped reading.
  TestDriver driver(Device("a"), [&](TestDriver& d, int fd, const Frame& frame) {
    std::lock_guard<std::mutex> hold(mutex);
    held.push_back(frame);
    if (held.size() < 2) return;
    d.Answer(fd, held[0].id, 0, {1});
    usleep(50000);
    d.Answer(fd, held[1].id, 0, {2});
  });
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  unsigned char sync_out[1] = {};
  bool sync_ok = false;
  std::thread caller([&] {
    uint32_t returned = 0;
    sync_ok = platform::DeviceControl(device, 0x223004, nullptr, 0, sync_out, 1, &returned);
  });
  const bool sync_arrived = WaitForSeen(driver, 1);
  platform::Event done(platform::Event::Kind::kManualReset);
  platform::Overlapped overlapped(done);
  unsigned char out[1] = {};
  const bool issued = platform::IssueControl(device, 0x223634, nullptr, 0, out, 1, overlapped);
  caller.join();
  ASSERT_TRUE(sync_arrived);
  ASSERT_TRUE(issued);
  const std::vector<Frame> seen = driver.Seen();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].code, 0x223004u);
  EXPECT_EQ(seen[1].code, 0x223634u);
  EXPECT_TRUE(sync_ok);
  EXPECT_EQ(sync_out[0], 1);
  ASSERT_TRUE(done.Wait(kDeadlineMs));
  uint32_t returned = 0;
  EXPECT_TRUE(platform::GetOverlappedResult(device, overlapped, &returned, false));
  EXPECT_EQ(out[0], 2);
  EXPECT_EQ(platform::AnswerPoller::Shared().ClientCount(), clients_before + 1);
  platform::CloseDevice(device);
  EXPECT_EQ(platform::AnswerPoller::Shared().ClientCount(), clients_before);
}

TEST_F(SocketDeviceTest, AnswersInPiecesAndSeveralInOneWriteAreEachCompleted) {
  std::mutex mutex;
  std::vector<Frame> held;
  TestDriver driver(Device("a"), [&](TestDriver& d, int fd, const Frame& frame) {
    std::lock_guard<std::mutex> hold(mutex);
    held.push_back(frame);
    if (held.size() == 1) {  // one answer cut in three
      const std::vector<unsigned char> bytes = TestDriver::AnswerFrame(frame.id, 0, {5, 6, 7});
      d.SendRaw(fd, {bytes.begin(), bytes.begin() + 3});
      usleep(20000);
      d.SendRaw(fd, {bytes.begin() + 3, bytes.begin() + 21});
      usleep(20000);
      d.SendRaw(fd, {bytes.begin() + 21, bytes.end()});
    } else if (held.size() == 3) {  // two answers in one write
      std::vector<unsigned char> both = TestDriver::AnswerFrame(held[2].id, 0, {3});
      const std::vector<unsigned char> other = TestDriver::AnswerFrame(held[1].id, 0, {2});
      both.insert(both.end(), other.begin(), other.end());
      d.SendRaw(fd, both);
    }
  });
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  platform::Event done[3] = {platform::Event(platform::Event::Kind::kManualReset),
                             platform::Event(platform::Event::Kind::kManualReset),
                             platform::Event(platform::Event::Kind::kManualReset)};
  platform::Overlapped first(done[0]), second(done[1]), third(done[2]);
  unsigned char out[3][3] = {};
  ASSERT_TRUE(platform::IssueControl(device, 0x223634, nullptr, 0, out[0], 3, first));
  ASSERT_TRUE(done[0].Wait(5000));
  ASSERT_TRUE(platform::IssueControl(device, 0x223634, nullptr, 0, out[1], 3, second));
  ASSERT_TRUE(platform::IssueControl(device, 0x223634, nullptr, 0, out[2], 3, third));
  ASSERT_TRUE(done[1].Wait(5000));
  ASSERT_TRUE(done[2].Wait(5000));
  uint32_t returned = 0;
  EXPECT_TRUE(platform::GetOverlappedResult(device, first, &returned, false));
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(out[0][2], 7);
  EXPECT_TRUE(platform::GetOverlappedResult(device, second, &returned, false));
  EXPECT_EQ(out[1][0], 2);
  EXPECT_TRUE(platform::GetOverlappedResult(device, third, &returned, false));
  EXPECT_EQ(out[2][0], 3);
  platform::CloseDevice(device);
}

TEST_F(SocketDeviceTest, DriverClosingDuringASynchronousRequestFailsItAndMarksTheHandleClosed) {
  TestDriver driver(Device("a"), [](TestDriver&, int fd, const Frame&) { shutdown(fd, SHUT_RDWR); });
  platform::DeviceHandle device = Open(Device("a"));
  ASSERT_NE(device, nullptr);
  uint32_t returned = 0;
  EXPECT_FALSE(platform::DeviceControl(device, 0x223004, nullptr, 0, nullptr, 0, &returned));
  EXPECT_TRUE(platform::SocketDeviceClosedByDriver(device->NativeHandle()));
  EXPECT_FALSE(platform::DeviceControl(device, 0x223004, nullptr, 0, nullptr, 0, &returned));
  platform::CloseDevice(device);
}

TEST_F(SocketDeviceTest, AnAnswerThatIsNotAFrameEndsTheConnectionOnEitherReadingPath) {
  TestDriver driver(Device("a"), [](TestDriver& d, int fd, const Frame& frame) {
    if (frame.code != platform::kSocketCancelCode) d.SendRaw(fd, {3, 0, 0, 0, 9, 9, 9});
  });
  platform::DeviceHandle direct = Open(Device("a"));
  ASSERT_NE(direct, nullptr);
  uint32_t returned = 0;
  EXPECT_FALSE(platform::DeviceControl(direct, 0x223004, nullptr, 0, nullptr, 0, &returned));
  EXPECT_TRUE(platform::SocketDeviceClosedByDriver(direct->NativeHandle()));
  platform::CloseDevice(direct);

  platform::DeviceHandle polled = Open(Device("a"));
  ASSERT_NE(polled, nullptr);
  platform::Event done(platform::Event::Kind::kManualReset);
  platform::Overlapped overlapped(done);
  ASSERT_TRUE(platform::IssueControl(polled, 0x223634, nullptr, 0, nullptr, 0, overlapped));
  ASSERT_TRUE(done.Wait(5000));
  EXPECT_FALSE(platform::GetOverlappedResult(polled, overlapped, &returned, false));
  EXPECT_TRUE(platform::SocketDeviceClosedByDriver(polled->NativeHandle()));
  platform::CloseDevice(polled);
}

TEST_F(SocketDeviceTest, RemovalRegistrationNoticesTheDriverClosingAHandleWithNothingOutstanding) {
  platform::DeviceWatch watch(folder_);
  ASSERT_TRUE(watch.Start());
  TestDriver driver(Device("SIM#A"), Echo);
  platform::DeviceHandle device = Open(Device("SIM#A"));
  ASSERT_NE(device, nullptr);
  void* notification = platform::RegisterHandleRemoval(&watch, device->NativeHandle());
  ASSERT_NE(notification, nullptr);
  driver.CloseConnections();  // the socket stays: only the connection tells
  const std::vector<DeviceChange> changes = Collect(watch, 2);
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0].kind, DeviceChange::Kind::kQueryRemove);
  EXPECT_EQ(changes[1].kind, DeviceChange::Kind::kRemoveComplete);
  EXPECT_EQ(changes[1].handle, device->NativeHandle());
  platform::UnregisterNotification(notification);
  platform::CloseDevice(device);
}

}  // namespace

TEST_F(SocketDeviceTest, DeviceNamespaceNameOpensTheSocketOfThatNameInTheDeviceFolder) {
  TestDriver driver(folder_ + "/VexmoorLegacyDevice", Echo);
  platform::DeviceHandle device = platform::OpenDevice(u"\\\\.\\VexmoorLegacyDevice",
                                                       platform::DeviceAccess::kReadWrite, false);
  ASSERT_NE(device, nullptr);
  const unsigned char input[2] = {7, 9};
  unsigned char output[2] = {};
  uint32_t returned = 0;
  ASSERT_TRUE(platform::DeviceControl(device, 0x222818, input, 2, output, 2, &returned));
  EXPECT_EQ(output[0], 9);
  platform::CloseDevice(device);
  EXPECT_EQ(platform::OpenDevice(u"\\\\.\\NoSuchDevice", platform::DeviceAccess::kReadWrite, false),
            nullptr);
  EXPECT_EQ(platform::LastDeviceError(), platform::kErrorFileNotFound);
}

#endif  // _WIN32
