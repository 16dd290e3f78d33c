// The running service of this session: found by its message-only window, asked to close, and
// started.
#pragma once

#include <windows.h>

#include <string>

namespace setup {

struct RunningService {
  HWND window = nullptr;
  DWORD process_id = 0;
};

// The running instance of the current session: its message-only window and its process.
RunningService FindRunningService();

enum class StopResult {
  kNotRunning,  // nothing was running
  kStopped,     // an instance was asked to close and ended
  kCannot,      // an instance runs that setup cannot close (said so, with what to do)
};

// Asks the running instance to close (WM_CLOSE) and waits up to 10 s for its process to end.
// An instance that runs with other rights than setup's (it cannot be opened, or the message
// cannot be posted) is reported at once. The executable of a stopped instance goes to
// *stopped_exe, so that it can be started again when setup gives up.
StopResult StopRunningService(std::wstring* stopped_exe);

// Starts the service from exe and waits until its window exists. False (said so) when it could
// not be started or ended before its window appeared.
bool StartService(const std::wstring& exe);

}  // namespace setup
