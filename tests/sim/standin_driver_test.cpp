// The stand-in kernel driver under Wine, driven through its host protocol directly: this test
// is the host and the program that opens the controller, so that it decides when the driver
// may hand over each message.
#ifdef _WIN32

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/device_io.h"
#include "sim/win32/standin_devices.h"
#include "tests/sim_test_support.h"

extern "C" {
#include "sim/windows-driver/host_protocol.h"
}

namespace {

constexpr GUID kControllerInterface = {0x19D936F8, 0xBAC2, 0x4636,
                                       {0x82, 0xB7, 0xBC, 0x2C, 0x35, 0xF3, 0x3F, 0x2A}};
constexpr wchar_t kHostDevice[] = L"\\\\.\\SkyhelmSimHost";
constexpr DWORD kBuffered = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr int32_t kStatusPending = 0x00000103;
constexpr int32_t kStatusInformational = 0x40000003;

std::wstring DriverPackage() {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return (std::filesystem::path(self).parent_path().parent_path() / "driver" / "skyhelmsim.inf")
      .wstring();
}

// The interface path of the device whose instance id contains name, or empty.
std::wstring InterfacePath(const std::wstring& name) {
  HDEVINFO set = SetupDiGetClassDevsW(&kControllerInterface, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  std::wstring found;
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  for (DWORD i = 0; set != INVALID_HANDLE_VALUE &&
                    SetupDiEnumDeviceInterfaces(set, nullptr, &kControllerInterface, i, &data);
       ++i) {
    std::vector<BYTE> buffer(4096);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, 4096, nullptr, nullptr)) continue;
    std::wstring path = detail->DevicePath;
    std::wstring upper = path;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    if (upper.find(name) != std::wstring::npos) found = path;
  }
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  return found;
}

// A request on an overlapped handle, waited for up to the suite's deadline; the Win32 error.
DWORD Control(HANDLE handle, DWORD code, const void* input, DWORD input_size, void* output,
              DWORD output_size, DWORD* returned) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD error = ERROR_SUCCESS;
  if (!DeviceIoControl(handle, code, const_cast<void*>(input), input_size, output, output_size,
                       returned, &overlapped)) {
    error = GetLastError();
    if (error == ERROR_IO_PENDING) {
      error = WaitForSingleObject(overlapped.hEvent, sim_test::kDeadlineMs) == WAIT_OBJECT_0 &&
                      GetOverlappedResult(handle, &overlapped, returned, FALSE)
                  ? ERROR_SUCCESS
                  : GetLastError();
    }
  }
  CloseHandle(overlapped.hEvent);
  return error;
}

struct Message {
  SkyhelmHostRequest header{};
  std::wstring device;
};

class StandInDriver : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    // A device of its own per test: the same device installed again at once may start late.
    static int tests = 0;
    name_ = L"DRIVERTEST" + std::to_wstring(++tests);
    sim::RemoveStandInDevice(L"ROOT\\SKYHELMSIM\\" + name_);  // left by a test that crashed
    ASSERT_TRUE(sim::CreateStandInDevice(DriverPackage(), name_, &instance_, &error)) << error;
    host_ = OpenHost(GENERIC_READ | GENERIC_WRITE);
    ASSERT_NE(host_, INVALID_HANDLE_VALUE);
    DWORD returned = 0;
    ASSERT_EQ(Control(host_, IOCTL_SKYHELM_HOST_SERVE, nullptr, 0, nullptr, 0, &returned), 0u);
    // The interface is enabled once the device has started, which may come after the install.
    const DWORD deadline = GetTickCount() + sim_test::kDeadlineMs;
    while ((path_ = InterfacePath(name_ + L"#")).empty() &&
           static_cast<int32_t>(GetTickCount() - deadline) < 0) {
      Sleep(20);
    }
    ASSERT_FALSE(path_.empty());
  }
  void TearDown() override {
    for (HANDLE client : clients_) CloseHandle(client);
    if (host_ != INVALID_HANDLE_VALUE) CloseHandle(host_);
    if (!instance_.empty()) sim::RemoveStandInDevice(instance_);
  }

  static HANDLE OpenHost(DWORD access) {
    return CreateFileW(kHostDevice, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
  }

  // The driver's next message for the host.
  Message Next() {
    std::vector<uint8_t> buffer(sizeof(SkyhelmHostRequest) + 4096);
    DWORD returned = 0;
    Message message;
    EXPECT_EQ(Control(host_, IOCTL_SKYHELM_HOST_NEXT, nullptr, 0, buffer.data(),
                      static_cast<DWORD>(buffer.size()), &returned),
              0u);
    if (returned < sizeof message.header) return message;
    std::memcpy(&message.header, buffer.data(), sizeof message.header);
    for (size_t i = 0; i < SKYHELM_HOST_NAME_UNITS && message.header.device[i] != 0; ++i) {
      message.device.push_back(static_cast<wchar_t>(message.header.device[i]));
    }
    return message;
  }

  DWORD Answer(HANDLE on, uint64_t tag, int32_t status, const std::vector<uint8_t>& output = {}) {
    std::vector<uint8_t> buffer(sizeof(SkyhelmHostAnswer) + output.size());
    const SkyhelmHostAnswer header{tag, status, static_cast<uint32_t>(output.size())};
    std::memcpy(buffer.data(), &header, sizeof header);
    if (!output.empty()) std::memcpy(buffer.data() + sizeof header, output.data(), output.size());
    DWORD returned = 0;
    return Control(on, IOCTL_SKYHELM_HOST_ANSWER, buffer.data(),
                   static_cast<DWORD>(buffer.size()), nullptr, 0, &returned);
  }

  // Opens the controller as a program would (synchronous handle unless overlapped), with the
  // host answering the create; the create's message.
  Message OpenClient(DWORD flags = 0) {
    HANDLE client = INVALID_HANDLE_VALUE;
    std::thread opener([&] {
      client = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    });
    const Message create = Next();
    EXPECT_EQ(create.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CREATE));
    EXPECT_EQ(Answer(host_, create.header.tag, 0), 0u);
    opener.join();
    EXPECT_NE(client, INVALID_HANDLE_VALUE);
    clients_.push_back(client);
    return create;
  }

  std::wstring name_;
  std::wstring instance_;
  std::wstring path_;
  HANDLE host_ = INVALID_HANDLE_VALUE;
  std::vector<HANDLE> clients_;
};

TEST_F(StandInDriver, OnlyTheServingHandleTakesAndAnswersRequests) {
  HANDLE other = OpenHost(GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(other, INVALID_HANDLE_VALUE);
  std::vector<uint8_t> buffer(sizeof(SkyhelmHostRequest) + 64);
  DWORD returned = 0;
  EXPECT_EQ(Control(other, IOCTL_SKYHELM_HOST_NEXT, nullptr, 0, buffer.data(),
                    static_cast<DWORD>(buffer.size()), &returned),
            static_cast<DWORD>(ERROR_ACCESS_DENIED));

  HANDLE client = INVALID_HANDLE_VALUE;
  std::thread opener([&] {
    client = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         0, nullptr);
  });
  const Message create = Next();
  ASSERT_EQ(create.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CREATE));
  EXPECT_EQ(Answer(other, create.header.tag, 0), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  // A pending or informational status would leave the open neither done nor failed.
  EXPECT_EQ(Answer(host_, create.header.tag, kStatusPending),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(Answer(host_, create.header.tag, kStatusInformational),
            static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  // Refused answers leave the request held: the right one still completes it.
  EXPECT_EQ(Answer(host_, create.header.tag, 0), 0u);
  opener.join();
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  clients_.push_back(client);
  CloseHandle(other);

  // Handles are known by a counter, not by an address.
  const Message second = OpenClient();
  EXPECT_EQ(second.header.file, create.header.file + 1);
  EXPECT_EQ(second.device, create.device);
}

TEST_F(StandInDriver, OnlyBufferedRequestsAreForwarded) {
  OpenClient(FILE_FLAG_OVERLAPPED);
  HANDLE client = clients_.back();
  uint8_t input[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint8_t output[8] = {};
  DWORD returned = 0;
  for (DWORD method : {METHOD_NEITHER, METHOD_IN_DIRECT, METHOD_OUT_DIRECT}) {
    const DWORD code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, method, FILE_ANY_ACCESS);
    EXPECT_EQ(Control(client, code, input, sizeof input, output, sizeof output, &returned),
              static_cast<DWORD>(ERROR_INVALID_FUNCTION))
        << method;
  }
  // The host never heard of them: its next message is the buffered request that follows.
  DWORD sent = ERROR_IO_PENDING;
  std::thread sender([&] {
    sent = Control(client, kBuffered, input, sizeof input, output, sizeof output, &returned);
  });
  const Message control = Next();
  EXPECT_EQ(control.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CONTROL));
  EXPECT_EQ(control.header.code, kBuffered);
  EXPECT_EQ(control.header.input_size, sizeof input);
  EXPECT_EQ(control.header.output_capacity, sizeof output);
  // An answer longer than the sender's buffer is cut to it.
  EXPECT_EQ(Answer(host_, control.header.tag, 0, std::vector<uint8_t>(64, 0xAB)), 0u);
  sender.join();
  EXPECT_EQ(sent, 0u);
  EXPECT_EQ(returned, sizeof output);
  EXPECT_EQ(output[7], 0xAB);
}

// A removal notice made while the host has no "next" request pending is handed over after the
// device is gone; it must still name the device, or the host never ends its connections.
TEST_F(StandInDriver, RemovalNoticeNamesTheDeviceAfterItIsGone) {
  // Another controller stays: with the last one the host's service would end altogether.
  std::wstring other;
  std::string error;
  ASSERT_TRUE(sim::CreateStandInDevice(DriverPackage(), name_ + L"KEEP", &other, &error)) << error;
  const Message create = OpenClient(FILE_FLAG_OVERLAPPED);
  ASSERT_FALSE(create.device.empty());
  HANDLE client = clients_.back();
  OVERLAPPED wait{};
  wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  uint8_t output[4] = {};
  ASSERT_FALSE(DeviceIoControl(client, kBuffered, nullptr, 0, output, sizeof output, nullptr,
                               &wait));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  const Message held = Next();
  ASSERT_EQ(held.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CONTROL));

  ASSERT_TRUE(sim::RemoveStandInDevice(instance_));
  instance_.clear();
  DWORD returned = 0;
  ASSERT_EQ(WaitForSingleObject(wait.hEvent, sim_test::kDeadlineMs), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(client, &wait, &returned, FALSE));
  CloseHandle(wait.hEvent);

  const Message cancel = Next();
  EXPECT_EQ(cancel.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CANCEL));
  EXPECT_EQ(cancel.header.tag, held.header.tag);
  const Message removed = Next();
  EXPECT_EQ(removed.header.kind, static_cast<uint32_t>(SKYHELM_HOST_REMOVED));
  EXPECT_EQ(removed.device, create.device);
  EXPECT_TRUE(sim::RemoveStandInDevice(other));
}

// The control devices go with the last controller, so that the driver can unload, and come
// back with the next one.
TEST_F(StandInDriver, ControlDevicesGoWithTheLastController) {
  OpenClient();
  ASSERT_TRUE(sim::RemoveStandInDevice(instance_));
  instance_.clear();
  std::vector<uint8_t> buffer(sizeof(SkyhelmHostRequest) + 64);
  DWORD returned = 0;
  EXPECT_NE(Control(host_, IOCTL_SKYHELM_HOST_NEXT, nullptr, 0, buffer.data(),
                    static_cast<DWORD>(buffer.size()), &returned),
            0u);
  EXPECT_EQ(OpenHost(GENERIC_READ | GENERIC_WRITE), INVALID_HANDLE_VALUE);
  // The old host handle cannot serve again; a new one on the new host device can.
  std::string error;
  ASSERT_TRUE(sim::CreateStandInDevice(DriverPackage(), name_, &instance_, &error)) << error;
  EXPECT_NE(Control(host_, IOCTL_SKYHELM_HOST_SERVE, nullptr, 0, nullptr, 0, &returned), 0u);
  HANDLE again = OpenHost(GENERIC_READ | GENERIC_WRITE);
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_EQ(Control(again, IOCTL_SKYHELM_HOST_SERVE, nullptr, 0, nullptr, 0, &returned), 0u);
  CloseHandle(again);
}

// Sets one of the device seam's limits for one test.
class ScopedLimit {
 public:
  ScopedLimit(uint32_t (*get)(), void (*set)(uint32_t), uint32_t ms) : set_(set), saved_(get()) {
    set_(ms);
  }
  ~ScopedLimit() { set_(saved_); }

 private:
  void (*set_)(uint32_t);
  uint32_t saved_;
};

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// An open the driver does not answer costs the opener the open limit at most. Windows waits in
// CreateFileW for the driver's answer: the open is then given up and the handle granted later is
// closed again by the helper left waiting for it. Wine 8 does not wait: CreateFileW returns the
// handle at once, before the driver has answered. Either way the handle ends up closed.
TEST_F(StandInDriver, OpenTheDriverDoesNotAnswerEndsInTimeAndItsHandleIsClosed) {
  ScopedLimit limit(platform::OpenTimeLimitMs, platform::SetOpenTimeLimitMs, 300);
  platform::DeviceHandle device = nullptr;
  uint32_t error = 0;
  double took = 0;
  std::thread opener([&] {
    const auto start = std::chrono::steady_clock::now();
    device = platform::OpenDevice(reinterpret_cast<const char16_t*>(path_.c_str()),
                                  platform::DeviceAccess::kReadWrite, true);
    error = platform::LastDeviceError();
    took = SecondsSince(start);
  });
  const Message create = Next();
  ASSERT_EQ(create.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CREATE));
  opener.join();
  EXPECT_LT(took, 3.0);
  if (device != nullptr) {
    platform::CloseDevice(device);  // the handle came before the answer
  } else {
    EXPECT_EQ(error, platform::kErrorTimeout);
    EXPECT_EQ(Answer(host_, create.header.tag, 0), 0u);
  }
  Message close = Next();
  if (close.header.kind == SKYHELM_HOST_CANCEL) close = Next();  // the create, failed by the close
  EXPECT_EQ(close.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CLOSE));
  EXPECT_EQ(close.header.file, create.header.file);
}

// Opens the controller through the device seam, overlapped, the host answering the create.
platform::DeviceHandle OpenThroughSeam(const std::wstring& path,
                                       const std::function<Message()>& next,
                                       const std::function<DWORD(uint64_t)>& grant) {
  platform::DeviceHandle device = nullptr;
  std::thread opener([&] {
    device = platform::OpenDevice(reinterpret_cast<const char16_t*>(path.c_str()),
                                  platform::DeviceAccess::kReadWrite, true);
  });
  const Message create = next();
  EXPECT_EQ(grant(create.header.tag), 0u);
  opener.join();
  return device;
}

// A cancelled request the driver keeps is abandoned after the grace: the caller's buffer may go
// at once, and the driver's late answer lands in memory the seam keeps for it.
TEST_F(StandInDriver, CancelledRequestTheDriverNeverEndsIsAbandonedAfterTheGrace) {
  const ULONG flags = SKYHELM_HOST_SERVE_CANCELS;
  DWORD returned = 0;
  ASSERT_EQ(Control(host_, IOCTL_SKYHELM_HOST_SERVE, &flags, sizeof flags, nullptr, 0, &returned),
            0u);
  ScopedLimit grace(platform::CancelGraceMs, platform::SetCancelGraceMs, 300);
  platform::DeviceHandle device = OpenThroughSeam(
      path_, [this] { return Next(); }, [this](uint64_t tag) { return Answer(host_, tag, 0); });
  ASSERT_NE(device, nullptr);
  platform::Event done(platform::Event::Kind::kManualReset);
  auto output = std::make_unique<platform::Overlapped>(done);
  auto buffer = std::make_unique<uint8_t[]>(8);
  ASSERT_TRUE(platform::IssueControl(device, kBuffered, nullptr, 0, buffer.get(), 8, *output));
  const Message held = Next();
  ASSERT_EQ(held.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CONTROL));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(platform::CancelAndDrain(device, *output));
  EXPECT_LT(SecondsSince(start), 3.0);
  uint32_t bytes = 0;
  EXPECT_FALSE(platform::GetOverlappedResult(device, *output, &bytes, false));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  output.reset();
  buffer.reset();
  const Message cancel = Next();
  EXPECT_EQ(cancel.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CANCEL));
  // The request was still the driver's: it takes the late answer.
  EXPECT_EQ(Answer(host_, held.header.tag, 0, std::vector<uint8_t>(8, 0xAB)), 0u);
  // The handle serves on.
  uint8_t answer[4] = {};
  bool ok = false;
  std::thread asker([&] { ok = platform::DeviceControl(device, kBuffered, nullptr, 0, answer, 4, &bytes); });
  const Message next = Next();
  EXPECT_EQ(Answer(host_, next.header.tag, 0, {1, 2, 3, 4}), 0u);
  asker.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(answer[3], 4);
  platform::CloseDevice(device);
}

// A synchronous request the driver neither answers nor ends when cancelled fails after the time
// limit and the grace, and the handle serves on.
TEST_F(StandInDriver, SynchronousRequestTheDriverKeepsAfterItsCancelFailsInTime) {
  const ULONG flags = SKYHELM_HOST_SERVE_CANCELS;
  DWORD returned = 0;
  ASSERT_EQ(Control(host_, IOCTL_SKYHELM_HOST_SERVE, &flags, sizeof flags, nullptr, 0, &returned),
            0u);
  ScopedLimit limit(platform::RequestTimeLimitMs, platform::SetRequestTimeLimitMs, 300);
  ScopedLimit grace(platform::CancelGraceMs, platform::SetCancelGraceMs, 300);
  platform::DeviceHandle device = OpenThroughSeam(
      path_, [this] { return Next(); }, [this](uint64_t tag) { return Answer(host_, tag, 0); });
  ASSERT_NE(device, nullptr);
  bool ok = true;
  double took = 0;
  std::thread asker([&] {
    const auto start = std::chrono::steady_clock::now();
    uint8_t answer[8] = {};
    uint32_t bytes = 0;
    ok = platform::DeviceControl(device, kBuffered, nullptr, 0, answer, sizeof answer, &bytes);
    took = SecondsSince(start);
  });
  const Message held = Next();
  EXPECT_EQ(Next().header.kind, static_cast<uint32_t>(SKYHELM_HOST_CANCEL));  // left unanswered
  asker.join();
  EXPECT_FALSE(ok);
  EXPECT_LT(took, 3.0);
  EXPECT_EQ(Answer(host_, held.header.tag, 0, std::vector<uint8_t>(8, 0xAB)), 0u);
  std::thread again([&] {
    uint8_t answer[4] = {};
    uint32_t bytes = 0;
    ok = platform::DeviceControl(device, kBuffered, nullptr, 0, answer, sizeof answer, &bytes);
  });
  EXPECT_EQ(Answer(host_, Next().header.tag, 0, {1, 2, 3, 4}), 0u);
  again.join();
  EXPECT_TRUE(ok);
  platform::CloseDevice(device);
}

// HidD_GetPreparsedData asks the driver synchronously: a driver that never answers costs the
// asker the request time limit, no more; the question is cancelled on the way out.
TEST_F(StandInDriver, HidQuestionTheDriverNeverAnswersIsGivenUp) {
  ScopedLimit limit(platform::RequestTimeLimitMs, platform::SetRequestTimeLimitMs, 300);
  platform::DeviceHandle device = OpenThroughSeam(
      path_, [this] { return Next(); }, [this](uint64_t tag) { return Answer(host_, tag, 0); });
  ASSERT_NE(device, nullptr);
  bool has_length = true;
  double took = 0;
  std::thread asker([&] {
    const auto start = std::chrono::steady_clock::now();
    uint16_t length = 0;
    has_length = platform::InputReportLength(device, &length);
    took = SecondsSince(start);
  });
  const Message question = Next();
  EXPECT_EQ(question.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CONTROL));
  EXPECT_EQ(question.header.code, 0x000B01A8u);
  asker.join();
  EXPECT_FALSE(has_length);
  EXPECT_LT(took, 3.0);
  const Message cancel = Next();
  EXPECT_EQ(cancel.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CANCEL));
  EXPECT_EQ(cancel.header.tag, question.header.tag);
  platform::CloseDevice(device);
}

// The descriptor size in the collection information is the driver's word: a size past any real
// device's is refused at once, never allocated nor asked for. Asked for, a size of 2 GB or more
// makes Wine kill the asking thread, and the question then costs the whole time limit.
TEST_F(StandInDriver, HidQuestionWithAHugeDescriptorSizeIsRefusedAtOnce) {
  ScopedLimit limit(platform::RequestTimeLimitMs, platform::SetRequestTimeLimitMs, 3000);
  platform::DeviceHandle device = OpenThroughSeam(
      path_, [this] { return Next(); }, [this](uint64_t tag) { return Answer(host_, tag, 0); });
  ASSERT_NE(device, nullptr);
  bool has_length = true;
  double took = 0;
  std::thread asker([&] {
    const auto start = std::chrono::steady_clock::now();
    uint16_t length = 0;
    has_length = platform::InputReportLength(device, &length);
    took = SecondsSince(start);
  });
  const Message question = Next();
  EXPECT_EQ(question.header.code, 0x000B01A8u);
  // DescriptorSize near 4 GB, then Polled, a reserved byte, vendor, product and version.
  std::vector<uint8_t> information(12, 0);
  const uint32_t huge = 0xFFFFF000u;
  std::memcpy(information.data(), &huge, sizeof huge);
  EXPECT_EQ(Answer(host_, question.header.tag, 0, information), 0u);
  asker.join();
  EXPECT_FALSE(has_length);
  EXPECT_LT(took, 1.5) << "the request time limit is 3 s";
  platform::CloseDevice(device);
  // Nothing more was asked: the next message is the handle's close.
  const Message close = Next();
  EXPECT_EQ(close.header.kind, static_cast<uint32_t>(SKYHELM_HOST_CLOSE));
}

// The HID thread asks with its stop event: a session that ends does not wait out the limit.
TEST_F(StandInDriver, HidQuestionTheDriverNeverAnswersEndsWithTheStop) {
  platform::DeviceHandle device = OpenThroughSeam(
      path_, [this] { return Next(); }, [this](uint64_t tag) { return Answer(host_, tag, 0); });
  ASSERT_NE(device, nullptr);
  platform::Event stop(platform::Event::Kind::kManualReset);
  bool has_length = true;
  std::thread asker([&] {
    uint16_t length = 0;
    has_length = platform::InputReportLength(device, &length, stop);
  });
  const Message question = Next();
  EXPECT_EQ(question.header.code, 0x000B01A8u);
  const auto start = std::chrono::steady_clock::now();
  stop.Set();
  asker.join();
  EXPECT_FALSE(has_length);
  EXPECT_LT(SecondsSince(start), 3.0) << "the request time limit is 10 s";
  EXPECT_EQ(Next().header.kind, static_cast<uint32_t>(SKYHELM_HOST_CANCEL));
  platform::CloseDevice(device);
}

}  // namespace

#endif  // _WIN32
