// Finding the running service.
#include "running_service.h"

#include "app/process_entry.h"

namespace ctl {

RunningService FindRunningService() {
  RunningService running;
  running.window = FindWindowExW(HWND_MESSAGE, nullptr,
                                 reinterpret_cast<const wchar_t*>(app::kInstanceName), nullptr);
  if (running.window == nullptr) return running;
  GetWindowThreadProcessId(running.window, &running.process_id);
  if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, running.process_id)) {
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (QueryFullProcessImageNameW(process, 0, path.data(), &size)) {
      path.resize(size);
      running.program = path;
    }
    CloseHandle(process);
  }
  return running;
}

}  // namespace ctl
