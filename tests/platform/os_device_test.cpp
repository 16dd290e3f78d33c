// Device handles on the OS: on Windows a named pipe stands in for a device, so that overlapped
// reads, cancel and drain run through the real Win32 connection.
#include <gtest/gtest.h>

#include "platform/device_io.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#include <thread>

namespace platform {
namespace {

class PipeDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = u"\\\\.\\pipe\\skyhelm-test-" + std::u16string(1, u'a') +
            reinterpret_cast<const char16_t*>(std::to_wstring(GetCurrentProcessId()).c_str());
    server_ = CreateNamedPipeW(reinterpret_cast<const wchar_t*>(path_.c_str()),
                               PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                               nullptr);
    ASSERT_NE(server_, INVALID_HANDLE_VALUE);
  }
  void TearDown() override {
    if (server_ != INVALID_HANDLE_VALUE) CloseHandle(server_);
  }
  std::u16string path_;
  HANDLE server_ = INVALID_HANDLE_VALUE;
};

TEST_F(PipeDevice, CancelledReadFailsAbortedThenANewReadCompletes) {
  DeviceHandle device = OpenDevice(path_, DeviceAccess::kReadWrite, true);
  ASSERT_NE(device, nullptr) << LastDeviceError();
  EXPECT_NE(device->NativeHandle(), nullptr);
  Event done(Event::Kind::kManualReset, true);
  Overlapped overlapped(done);
  char buffer[16] = {};
  ASSERT_TRUE(IssueRead(device, buffer, sizeof buffer, overlapped));
  EXPECT_FALSE(done.Wait(0)) << "nothing was written: the read is pending";
  uint32_t returned = 0;
  EXPECT_FALSE(GetOverlappedResult(device, overlapped, &returned, false));
  CancelAndDrain(device, overlapped);
  EXPECT_FALSE(GetOverlappedResult(device, overlapped, &returned, false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  ASSERT_TRUE(IssueRead(device, buffer, sizeof buffer, overlapped));
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(server_, "hello", 5, &written, nullptr));
  ASSERT_TRUE(done.Wait(10000));
  ASSERT_TRUE(GetOverlappedResult(device, overlapped, &returned, false));
  EXPECT_EQ(returned, 5u);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  uint16_t length = 0;
  EXPECT_FALSE(InputReportLength(device, &length)) << "a pipe has no HID capabilities";
  CloseDevice(device);
}

TEST_F(PipeDevice, RequestThatFailsAtOnceNeverReportsSuccess) {
  DeviceHandle device = OpenDevice(path_, DeviceAccess::kReadWrite, true);
  ASSERT_NE(device, nullptr) << LastDeviceError();
  uint32_t returned = 0;
  unsigned char output[4] = {};
  EXPECT_FALSE(DeviceControl(device, 0x222800, nullptr, 0, output, 4, &returned))
      << "a pipe answers no driver control code";
  Event done(Event::Kind::kManualReset);
  Overlapped overlapped(done);
  ASSERT_FALSE(IssueControl(device, 0x222800, nullptr, 0, output, 4, overlapped));
  EXPECT_FALSE(GetOverlappedResult(device, overlapped, &returned, false));
  DWORD error = GetLastError();
  EXPECT_NE(error, static_cast<DWORD>(ERROR_SUCCESS));
  // A request that never started must not look pending: draining it would wait for ever.
  ASSERT_NE(error, static_cast<DWORD>(ERROR_IO_INCOMPLETE));
  CancelAndDrain(device, overlapped);  // nothing in flight: returns at once
  CloseDevice(device);
}

TEST_F(PipeDevice, RequestOnAHandleWithoutOverlappedIoThatNeverEndsFailsAtTheTimeLimit) {
  DeviceHandle device = OpenDevice(path_, DeviceAccess::kReadWrite, false);
  ASSERT_NE(device, nullptr) << LastDeviceError();
  const uint32_t saved = RequestTimeLimitMs();
  SetRequestTimeLimitMs(50);
  // Nothing is written: the read would wait for ever. Should it, the test's deadline writes,
  // so that the test fails instead of hanging.
  Event ended(Event::Kind::kManualReset);
  Event done(Event::Kind::kManualReset);
  Overlapped overlapped(done);
  char buffer[8] = {};
  bool issued = true;
  std::thread reader([&] {
    issued = IssueRead(device, buffer, sizeof buffer, overlapped);
    ended.Set();
  });
  const bool in_time = ended.Wait(10000);
  DWORD written = 0;
  if (!in_time) WriteFile(server_, "late", 4, &written, nullptr);
  reader.join();
  SetRequestTimeLimitMs(saved);
  ASSERT_TRUE(in_time) << "the read outlived the time limit";
  EXPECT_FALSE(issued);
  EXPECT_FALSE(done.Wait(0)) << "a request that failed sets no event";
  uint32_t returned = 0;
  EXPECT_FALSE(GetOverlappedResult(device, overlapped, &returned, false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  CloseDevice(device);
}

TEST_F(PipeDevice, NonOverlappedReadCompletesItsEventAtOnce) {
  DeviceHandle device = OpenDevice(path_, DeviceAccess::kReadWrite, false);
  ASSERT_NE(device, nullptr) << LastDeviceError();
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(server_, "abc", 3, &written, nullptr));
  Event done(Event::Kind::kManualReset);
  Overlapped overlapped(done);
  char buffer[8] = {};
  ASSERT_TRUE(IssueRead(device, buffer, sizeof buffer, overlapped));
  EXPECT_TRUE(done.Wait(0));
  uint32_t returned = 0;
  ASSERT_TRUE(GetOverlappedResult(device, overlapped, &returned, false));
  EXPECT_EQ(returned, 3u);
  CloseDevice(device);
}

}  // namespace
}  // namespace platform
#endif
