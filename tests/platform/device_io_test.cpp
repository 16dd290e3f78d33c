// Device handles: routing of simulated paths, overlapped requests, cancel and drain.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/device_io.h"
#include "platform/thread.h"

namespace platform {
namespace {

constexpr uint32_t kDeadlineMs = 10000;
constexpr uint32_t kWaitCode = 0x223634;

// A device that keeps every overlapped request pending until the test completes or cancels it.
class PendingDevice : public DeviceConnection {
 public:
  struct Record {
    bool finished;
    uint32_t status;
    uint32_t returned;
  };

  bool Control(uint32_t code, const void*, uint32_t, void*, uint32_t, uint32_t* returned) override {
    *returned = 0;
    return code != 0;
  }
  bool IssueControl(uint32_t code, const void*, uint32_t, void* output, uint32_t output_size,
                    Overlapped& overlapped) override {
    std::lock_guard<std::mutex> hold(lock_);
    *RecordOf(overlapped) = Record{false, kErrorIoPending, 0};
    pending_.push_back(Pending{&overlapped, static_cast<unsigned char*>(output), output_size});
    return true;
  }
  bool IssueRead(void* buffer, uint32_t size, Overlapped& overlapped) override {
    return IssueControl(0, nullptr, 0, buffer, size, overlapped);
  }
  bool GetResult(Overlapped& overlapped, uint32_t* returned, bool wait) override {
    if (wait) overlapped.done->Wait();
    std::lock_guard<std::mutex> hold(lock_);
    Record* record = RecordOf(overlapped);
    if (!record->finished) return false;
    *returned = record->returned;
    return record->status == kErrorSuccess;
  }
  void Cancel(Overlapped& overlapped) override { Finish(&overlapped, kErrorOperationAborted, 0); }
  bool InputReportLength(uint16_t* length) override { return false; }

  // Completes the oldest pending request, writing fill into its output.
  bool CompleteOldest(unsigned char fill) {
    Overlapped* overlapped = nullptr;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (pending_.empty()) return false;
      std::memset(pending_.front().output, fill, pending_.front().size);
      overlapped = pending_.front().overlapped;
    }
    return Finish(overlapped, kErrorSuccess, 4);
  }
  size_t PendingCount() {
    std::lock_guard<std::mutex> hold(lock_);
    return pending_.size();
  }
  static uint32_t StatusOf(Overlapped& overlapped) { return RecordOf(overlapped)->status; }

 private:
  struct Pending {
    Overlapped* overlapped;
    unsigned char* output;
    uint32_t size;
  };
  static Record* RecordOf(Overlapped& overlapped) {
    static_assert(sizeof(Record) <= sizeof(overlapped.os));
    return reinterpret_cast<Record*>(overlapped.os);
  }
  bool Finish(Overlapped* overlapped, uint32_t status, uint32_t returned) {
    std::lock_guard<std::mutex> hold(lock_);
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](const Pending& p) { return p.overlapped == overlapped; });
    if (it == pending_.end()) return false;
    pending_.erase(it);
    *RecordOf(*overlapped) = Record{true, status, returned};
    overlapped->done->Set();
    return true;
  }

  std::mutex lock_;
  std::vector<Pending> pending_;
};

class TestProvider : public DeviceProvider {
 public:
  DeviceConnection* Open(std::u16string_view path, DeviceAccess, bool, uint32_t* error) override {
    opened.emplace_back(path);
    if (path.find(u"MISSING") != std::u16string_view::npos) {
      *error = kErrorDeviceNotConnected;
      return nullptr;
    }
    last = new PendingDevice;
    return last;
  }
  std::vector<std::u16string> opened;
  PendingDevice* last = nullptr;
};

class DeviceIo : public ::testing::Test {
 protected:
  void SetUp() override { SetInProcessDeviceProvider(&provider_); }
  void TearDown() override { SetInProcessDeviceProvider(nullptr); }
  TestProvider provider_;
};

TEST_F(DeviceIo, RoutesSimulatedPathsInAnyCaseToTheProvider) {
  EXPECT_TRUE(IsInProcessDevicePath(u"\\\\?\\SIM#VEXMOOR#0001#{x}"));
  EXPECT_TRUE(IsInProcessDevicePath(u"\\\\?\\sim#vexmoor"));
  EXPECT_TRUE(IsInProcessDevicePath(u"SIM:one"));
  EXPECT_FALSE(IsInProcessDevicePath(u"\\\\?\\USB#VID_1234"));
  EXPECT_FALSE(IsInProcessDevicePath(u"\\\\.\\SIM#"));
  EXPECT_FALSE(IsInProcessDevicePath(u"si"));

  DeviceHandle a = OpenDevice(u"\\\\?\\sim#VEXMOOR#0001", DeviceAccess::kReadWrite, true);
  DeviceHandle b = OpenDevice(u"Sim:second", DeviceAccess::kRead, false);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(provider_.opened.size(), 2u);
  EXPECT_EQ(provider_.opened[1], u"Sim:second");
  uint32_t returned = 99;
  EXPECT_TRUE(DeviceControl(a, 1, nullptr, 0, nullptr, 0, &returned));
  EXPECT_EQ(returned, 0u);
  CloseDevice(a);
  CloseDevice(b);
}

TEST_F(DeviceIo, FailedOpensReportTheirErrorPerThread) {
  EXPECT_EQ(OpenDevice(u"sim:MISSING", DeviceAccess::kReadWrite, false), nullptr);
  EXPECT_EQ(LastDeviceError(), kErrorDeviceNotConnected);
  EXPECT_EQ(OpenDevice(u"\\\\.\\SkyhelmNoSuchDevice", DeviceAccess::kReadWrite, false), nullptr);
  EXPECT_EQ(LastDeviceError(), kErrorFileNotFound);
  EXPECT_EQ(provider_.opened.size(), 1u) << "OS paths never reach the provider";

  uint32_t other_thread_error = 12345;
  Thread thread;
  ASSERT_TRUE(thread.Start(
      [](void* argument) -> uint32_t {
        *static_cast<uint32_t*>(argument) = LastDeviceError();
        return 0;
      },
      &other_thread_error));
  thread.Join();
  EXPECT_EQ(other_thread_error, kErrorSuccess);

  SetInProcessDeviceProvider(nullptr);
  EXPECT_EQ(OpenDevice(u"sim:any", DeviceAccess::kReadWrite, false), nullptr);
  EXPECT_EQ(LastDeviceError(), kErrorFileNotFound);
  EXPECT_EQ(provider_.opened.size(), 1u) << "a removed provider is not called";
}

TEST_F(DeviceIo, NullHandleFailsEveryCall) {
  Event done(Event::Kind::kManualReset);
  Overlapped overlapped(done);
  uint32_t returned = 0;
  uint16_t length = 0;
  EXPECT_FALSE(DeviceControl(nullptr, 1, nullptr, 0, nullptr, 0, &returned));
  EXPECT_FALSE(IssueControl(nullptr, 1, nullptr, 0, nullptr, 0, overlapped));
  EXPECT_FALSE(IssueRead(nullptr, nullptr, 0, overlapped));
  EXPECT_FALSE(GetOverlappedResult(nullptr, overlapped, &returned, false));
  EXPECT_FALSE(InputReportLength(nullptr, &length));
  CancelAndDrain(nullptr, overlapped);
  CloseDevice(nullptr);
}

TEST_F(DeviceIo, CompletedRequestDeliversItsOutputAndIssuingResetsTheEvent) {
  DeviceHandle device = OpenDevice(u"sim:one", DeviceAccess::kReadWrite, true);
  ASSERT_NE(device, nullptr);
  Event done(Event::Kind::kManualReset, true);  // left set by an earlier request
  Overlapped overlapped(done);
  unsigned char output[4] = {};
  ASSERT_TRUE(IssueControl(device, kWaitCode, nullptr, 0, output, 4, overlapped));
  uint32_t returned = 0;
  EXPECT_FALSE(done.Wait(0)) << "issuing resets the completion event";
  EXPECT_FALSE(GetOverlappedResult(device, overlapped, &returned, false));
  ASSERT_TRUE(provider_.last->CompleteOldest(0x5A));
  ASSERT_TRUE(done.Wait(kDeadlineMs));
  ASSERT_TRUE(GetOverlappedResult(device, overlapped, &returned, false));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(output[3], 0x5A);
  CloseDevice(device);
}

TEST_F(DeviceIo, CancelledPendingRequestFailsAbortedAndItsBuffersMayGo) {
  DeviceHandle device = OpenDevice(u"sim:one", DeviceAccess::kReadWrite, true);
  ASSERT_NE(device, nullptr);
  auto done = std::make_unique<Event>(Event::Kind::kManualReset);
  auto overlapped = std::make_unique<Overlapped>(*done);
  auto output = std::make_unique<unsigned char[]>(16);
  ASSERT_TRUE(IssueControl(device, kWaitCode, nullptr, 0, output.get(), 16, *overlapped));
  ASSERT_EQ(provider_.last->PendingCount(), 1u);
  CancelAndDrain(device, *overlapped);
  EXPECT_EQ(provider_.last->PendingCount(), 0u);
  uint32_t returned = 0;
  EXPECT_FALSE(GetOverlappedResult(device, *overlapped, &returned, false));
  EXPECT_EQ(PendingDevice::StatusOf(*overlapped), kErrorOperationAborted);
  // Nothing refers to the request any more: freeing its buffers is safe (ASan would tell).
  output.reset();
  overlapped.reset();
  done.reset();
  EXPECT_FALSE(provider_.last->CompleteOldest(1));
  CloseDevice(device);
}

// The worker pattern: one request outstanding, a wait on (completion, stop), cancel on stop.
struct Worker {
  DeviceHandle device;
  Event stop{Event::Kind::kAutoReset};
  int completions = 0;
  bool stopped = false;
};

uint32_t WorkerMain(void* argument) {
  auto* worker = static_cast<Worker*>(argument);
  Event done(Event::Kind::kManualReset);
  Overlapped overlapped(done);
  unsigned char output[4];
  for (;;) {
    if (!IssueControl(worker->device, kWaitCode, nullptr, 0, output, 4, overlapped)) return 1;
    int which = WaitAny({&done, &worker->stop});
    uint32_t returned = 0;
    if (which != 0) {
      CancelAndDrain(worker->device, overlapped);
      worker->stopped = which == 1;
      return 0;
    }
    if (!GetOverlappedResult(worker->device, overlapped, &returned, false)) return 2;
    ++worker->completions;
  }
}

TEST_F(DeviceIo, WaitOnCompletionAndStopEndsPromptlyWhenStopped) {
  Worker worker;
  worker.device = OpenDevice(u"sim:worker", DeviceAccess::kReadWrite, true);
  ASSERT_NE(worker.device, nullptr);
  PendingDevice* device = provider_.last;
  Thread thread;
  ASSERT_TRUE(thread.Start(WorkerMain, &worker));
  for (int round = 0; round < 3; ++round) {
    uint64_t until = TickMs() + kDeadlineMs;
    while (device->PendingCount() == 0 && TickMs() < until) SleepMs(1);
    ASSERT_TRUE(device->CompleteOldest(static_cast<unsigned char>(round)));
  }
  uint64_t until = TickMs() + kDeadlineMs;
  while (device->PendingCount() == 0 && TickMs() < until) SleepMs(1);
  uint64_t stop_at = TickMs();
  worker.stop.Set();
  thread.Join();
  EXPECT_LT(TickMs() - stop_at, 5000u);
  EXPECT_TRUE(worker.stopped);
  EXPECT_EQ(worker.completions, 3);
  EXPECT_EQ(device->PendingCount(), 0u);
  CloseDevice(worker.device);
}

}  // namespace
}  // namespace platform
