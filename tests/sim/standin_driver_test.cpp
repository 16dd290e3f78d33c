// The stand-in kernel driver under Wine, driven through its host protocol directly: this test
// is the host and the program that opens the controller, so that it decides when the driver
// may hand over each message.
#ifdef _WIN32

#include <windows.h>
#include <setupapi.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

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

}  // namespace

#endif  // _WIN32
