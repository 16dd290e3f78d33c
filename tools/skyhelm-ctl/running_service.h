// The running service of this session, found by its message-only window.
#pragma once

#include <windows.h>

#include <string>

namespace ctl {

struct RunningService {
  HWND window = nullptr;
  DWORD process_id = 0;
  std::wstring program;  // its executable; empty when it cannot be asked (other rights)
};

// The running instance of the current session; no window when none runs.
RunningService FindRunningService();

}  // namespace ctl
