// The process entry of the service: the single-instance guard, the device notification recipient
// (the message-only window on Windows, the device folder watch on Linux) and the loop that lasts
// for the life of the process.
#pragma once

namespace app {

// The instance name: the single-instance guard and the window class are both named by it.
inline constexpr char16_t kInstanceName[] = u"Corvane.Vexmoor.Skyhelm";

// Runs the service until its window is destroyed (Windows). On Linux SIGINT and SIGTERM end the
// process at once with status 0, from wherever it is. instance is the module handle on Windows
// and unused on Linux. Returns 0 on Windows in every case; on Linux 0 for a second instance and
// 1 when the start fails (signal handlers, device folder, its watch).
int ProcessEntry(void* instance);

}  // namespace app
