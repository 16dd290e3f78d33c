// The diagnostic log: one installable receiver for levelled, categorised wide lines, and plain
// narrow text on the C runtime's standard error stream.
#pragma once

#include <cstdint>

// Called once per emitted line, on the logging thread; must be safe for concurrent calls.
using LogReceiver = void (*)(void* context, uint8_t level, uint64_t category_mask,
                             const char16_t* line);

// The process-wide receiver record. It is used only while enabled is exactly 1 and context is
// non-null. Fill it before any thread logs: it is read without synchronisation.
struct LogSink {
  int32_t enabled = 0;
  void* context = nullptr;
  LogReceiver receiver = nullptr;
  uint8_t maximum_level = 0;    // lines with a higher level are dropped
  uint64_t category_mask = 0;  // lines sharing no bit with it are dropped
};

extern LogSink g_log_sink;

// Levels and the category used at every call site.
inline constexpr uint8_t kLogError = 1;
inline constexpr uint8_t kLogEvent = 3;
inline constexpr uint8_t kLogLifecycle = 4;
inline constexpr uint64_t kLogCategory = 2;

// Units of one log line, terminator included; a line holds at most kLogLineUnits - 2 units.
inline constexpr int kLogLineUnits = 1024;

// Formats one line behind the prefix "[name(0xPID)(0xTID)]" and hands it to the receiver.
// format is wide: %s and %ws take const char16_t*, %S takes const char* (UTF-8), %d int,
// %u/%x/%X unsigned int (width and the 0 and - flags apply). Costs four comparisons when the
// sink filters the line out. Never fails visibly.
void LogMessage(uint8_t level, uint64_t category_mask, const char16_t* format, ...);

// printf to standard error. Besides the C conversions, %ls and %S take const char16_t*,
// written as UTF-8.
void PrintToStderr(const char* format, ...);

// Parses the value of SKYHELM_LOG: "1" to "4" give a maximum level; anything else fails.
bool ParseLogLevel(const char* text, uint8_t* level);

// Installs the standard receiver (standard error as UTF-8, and the debugger output channel
// where the OS has one) for every category up to maximum_level.
void InstallStandardLogReceiver(uint8_t maximum_level);

// Installs the standard receiver when the environment variable SKYHELM_LOG names a maximum
// level from 1 to 4; otherwise the sink stays as it is. Called by the process entry before any
// thread starts. True when a receiver was installed.
bool InstallLogReceiverFromEnvironment();

// Once the standard receiver is installed, also appends its lines to the service's log file in
// platform::LogFileFolder (Windows: %LOCALAPPDATA%\Skyhelm\skyhelm.log, at most 1 MB, with one
// previous file kept as skyhelm.log.1), after a line that marks the start. Called by the service's
// process entry only, before any thread starts: the tools never write into the user's log. False
// when there is no receiver, no such folder (Linux) or the file cannot be opened.
bool OpenLogFile();
