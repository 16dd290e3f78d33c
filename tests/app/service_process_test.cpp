// skyhelm.exe as a process: a second start ends at once with 0 and makes no window, and WM_CLOSE
// sent to the first one's message-only window ends it with 0. Every wait has a deadline and a
// started process is always ended, whatever fails.
#ifdef _WIN32

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kClassName[] = L"Corvane.Vexmoor.Skyhelm";
constexpr DWORD kDeadlineMs = 10000;

// skyhelm.exe of this build: one folder above the test program's.
std::wstring ServicePath() {
  std::vector<wchar_t> module(32768);
  const DWORD length = GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
  std::wstring path(module.data(), length);
  for (int up = 0; up < 2; ++up) path.erase(path.find_last_of(L"\\/"));
  return path + L"\\skyhelm.exe";
}

// The message-only windows of the instance class that belong to process id.
std::vector<HWND> WindowsOf(DWORD process_id) {
  std::vector<HWND> windows;
  for (HWND window = FindWindowExW(HWND_MESSAGE, nullptr, kClassName, nullptr); window != nullptr;
       window = FindWindowExW(HWND_MESSAGE, window, kClassName, nullptr)) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == process_id) windows.push_back(window);
  }
  return windows;
}

// A started skyhelm.exe, ended on destruction if it still runs.
class Service {
 public:
  bool Start() {
    std::wstring command = L"\"" + ServicePath() + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process_) != 0;
  }
  ~Service() {
    if (process_.hProcess == nullptr) return;
    if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.hProcess, 99);
      WaitForSingleObject(process_.hProcess, kDeadlineMs);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
  DWORD id() const { return process_.dwProcessId; }
  bool Running() const { return WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT; }
  // The exit status, once the process ended within the deadline; -1 when it still runs.
  long long ExitStatus(DWORD deadline_ms = kDeadlineMs) const {
    if (WaitForSingleObject(process_.hProcess, deadline_ms) != WAIT_OBJECT_0) return -1;
    DWORD status = 0;
    GetExitCodeProcess(process_.hProcess, &status);
    return status;
  }

 private:
  PROCESS_INFORMATION process_{};
};

TEST(ServiceProcess, ASecondStartEndsAtOnceAndWmCloseEndsTheFirstWithZero) {
  // Under Wine a process joins the desktop at its first window call, and a service started
  // while no process has joined it yet may be given a desktop of its own, where its window
  // cannot be found from here. A process on Windows always starts on its desktop.
  GetDesktopWindow();
  Service first;
  ASSERT_TRUE(first.Start()) << "cannot start skyhelm.exe: error " << GetLastError();
  HWND window = nullptr;
  for (DWORD waited = 0; window == nullptr && waited < kDeadlineMs; waited += 20) {
    ASSERT_TRUE(first.Running()) << "skyhelm.exe ended at once: does another instance run?";
    const std::vector<HWND> windows = WindowsOf(first.id());
    if (!windows.empty()) window = windows[0];
    else Sleep(20);
  }
  ASSERT_NE(window, nullptr) << "no message-only window within " << kDeadlineMs << " ms";

  Service second;
  ASSERT_TRUE(second.Start());
  bool second_made_a_window = false;
  long long second_status = -1;
  for (DWORD waited = 0; second_status == -1 && waited < kDeadlineMs; waited += 10) {
    second_made_a_window = second_made_a_window || !WindowsOf(second.id()).empty();
    second_status = second.ExitStatus(10);
  }
  EXPECT_EQ(second_status, 0) << "-1: the second start still ran after " << kDeadlineMs << " ms";
  EXPECT_FALSE(second_made_a_window);
  EXPECT_EQ(WindowsOf(first.id()), std::vector<HWND>{window});

  ASSERT_TRUE(PostMessageW(window, WM_CLOSE, 0, 0));
  EXPECT_EQ(first.ExitStatus(), 0);
}

}  // namespace

#endif  // _WIN32
