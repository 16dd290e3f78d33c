// Finding, closing and starting the service.
#include "running_service.h"

#include "app/process_entry.h"
#include "console.h"
#include "folders.h"

namespace setup {
namespace {

constexpr DWORD kStopTimeoutMs = 10000;
constexpr DWORD kStartTimeoutMs = 10000;

const wchar_t* WindowClass() { return reinterpret_cast<const wchar_t*>(app::kInstanceName); }

std::wstring ImagePath(HANDLE process) {
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  if (!QueryFullProcessImageNameW(process, 0, path.data(), &size)) return {};
  path.resize(size);
  return path;
}

void CannotClose(DWORD process_id, const std::wstring& why) {
  Complain(L"Skyhelm is running (process " + std::to_wstring(process_id) + L") and setup cannot " +
           L"close it: " + why + L". It was probably started with other rights (as administrator " +
           L"or by another user). End skyhelm.exe in Task Manager (Details), or sign out and in, " +
           L"then run setup again");
}

}  // namespace

RunningService FindRunningService() {
  RunningService running;
  running.window = FindWindowExW(HWND_MESSAGE, nullptr, WindowClass(), nullptr);
  if (running.window != nullptr) GetWindowThreadProcessId(running.window, &running.process_id);
  return running;
}

StopResult StopRunningService(std::wstring* stopped_exe) {
  StopResult result = StopResult::kNotRunning;
  for (int attempt = 0; attempt < 3; ++attempt) {
    const RunningService running = FindRunningService();
    if (running.window == nullptr) return result;
    HANDLE process =
        OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, running.process_id);
    if (process == nullptr) {
      CannotClose(running.process_id, L"its process cannot be opened (" + ErrorText(GetLastError()) + L")");
      return StopResult::kCannot;
    }
    const std::wstring exe = ImagePath(process);
    if (!PostMessageW(running.window, WM_CLOSE, 0, 0)) {
      const DWORD error = GetLastError();
      CloseHandle(process);
      CannotClose(running.process_id, L"it does not accept the request to close (" + ErrorText(error) + L")");
      return StopResult::kCannot;
    }
    const DWORD waited = WaitForSingleObject(process, kStopTimeoutMs);
    CloseHandle(process);
    if (waited != WAIT_OBJECT_0) {
      Complain(L"Skyhelm (process " + std::to_wstring(running.process_id) +
               L") was asked to close and still runs after " + std::to_wstring(kStopTimeoutMs / 1000) +
               L" s. End skyhelm.exe in Task Manager (Details), then run setup again");
      return StopResult::kCannot;
    }
    Say(L"Stopped Skyhelm (process " + std::to_wstring(running.process_id) + L").");
    if (!exe.empty()) *stopped_exe = exe;
    result = StopResult::kStopped;
  }
  return FindRunningService().window == nullptr ? result : StopResult::kCannot;
}

bool StartService(const std::wstring& exe) {
  const std::wstring folder = ParentFolder(exe);
  std::wstring command_line = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, FALSE,
                      DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, folder.c_str(), &startup,
                      &process)) {
    Complain(L"could not start " + exe + L": " + ErrorText(GetLastError()));
    return false;
  }
  CloseHandle(process.hThread);
  bool started = false;
  for (DWORD waited = 0; waited < kStartTimeoutMs; waited += 50) {
    const RunningService running = FindRunningService();
    if (running.window != nullptr && running.process_id == process.dwProcessId) {
      started = true;
      break;
    }
    if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0) break;
  }
  DWORD exit_code = STILL_ACTIVE;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hProcess);
  if (started) {
    Say(L"Skyhelm is running (process " + std::to_wstring(process.dwProcessId) + L").");
  } else if (exit_code != STILL_ACTIVE) {
    Complain(L"Skyhelm ended at once (exit code " + std::to_wstring(exit_code) +
             L"); another instance may be running");
  } else {
    Complain(L"Skyhelm started but showed no window within " +
             std::to_wstring(kStartTimeoutMs / 1000) + L" s");
  }
  return started;
}

}  // namespace setup
