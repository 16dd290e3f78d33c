// The service's own log file: the lines of the standard receiver appended as UTF-8 text to a
// file of bounded size, with one previous file kept beside it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

// The log file's name and the most it holds before it is rolled over.
inline constexpr char16_t kLogFileName[] = u"skyhelm.log";
inline constexpr uint64_t kLogFileLimit = 1024 * 1024;

// Appends lines to FOLDER/skyhelm.log. A line that would take the file past the limit first
// moves it to skyhelm.log.1, replacing the one before in the same step, and starts a new file.
// When the file cannot be moved (on Windows: a program reading it holds it open), both files
// stay as they are and the lines go on into the current file; the move is tried again once that
// has grown by another sixteenth of the limit. Safe for concurrent calls; failures after Open
// only lose lines.
class LogFile {
 public:
  explicit LogFile(uint64_t limit = kLogFileLimit) : limit_(limit) {}
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Creates the folder when missing and opens the file for appending. False when it cannot.
  bool Open(const std::u16string& folder);
  // Appends line and a line break (CR LF, for the editors of Windows).
  void Append(std::u16string_view line);
  // The path of the file; empty before Open.
  const std::u16string& path() const { return path_; }

 private:
  bool Reopen(const char* mode);
  void RollOver();

  std::mutex mutex_;
  const uint64_t limit_;
  std::u16string path_;
  std::FILE* file_ = nullptr;
  uint64_t size_ = 0;
  uint64_t retry_at_ = 0;  // after a move that failed: the size at which to try again
};
