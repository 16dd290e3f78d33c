// Test helper: collects the diagnostic log lines (without their prefix) while it is installed.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "log/log.h"

class LogCapture {
 public:
  // Installs the capture as the process-wide receiver for every level. Install before starting
  // any thread that logs, and let the capture go only after those threads have ended.
  LogCapture() {
    saved_ = g_log_sink;
    g_log_sink = LogSink{1, this, &LogCapture::Receive, 4, ~uint64_t{0}};
  }
  ~LogCapture() { g_log_sink = saved_; }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  struct Line {
    uint8_t level;
    std::u16string text;
  };

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  int Count(const std::u16string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    int count = 0;
    for (const Line& line : lines_) count += line.text == text ? 1 : 0;
    return count;
  }

  // Waits until text has been logged at least count times; false after timeout.
  bool WaitFor(const std::u16string& text, int count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      int seen = 0;
      for (const Line& line : lines_) seen += line.text == text ? 1 : 0;
      return seen >= count;
    });
  }

 private:
  static void Receive(void* context, uint8_t level, uint64_t, const char16_t* line) {
    auto* self = static_cast<LogCapture*>(context);
    std::u16string text(line);
    const size_t prefix_end = text.find(u']');
    if (prefix_end != std::u16string::npos) text.erase(0, prefix_end + 1);
    {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->lines_.push_back({level, std::move(text)});
    }
    self->changed_.notify_all();
  }

  LogSink saved_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Line> lines_;
};
