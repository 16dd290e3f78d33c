// Editors' ways of saving the rules file: the service's reading (a file deleted and written again
// is one change, a removal counts after 2 s), the watch of a folder made again and, on Linux, of
// a file reached through a symbolic link.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "autoprofile/service.h"
#include "log/log.h"
#include "platform/file_watch.h"
#include "platform/text.h"
#include "sim_test_support.h"

namespace {

namespace fs = std::filesystem;
using sim_test::kDeadlineMs;

// A fresh folder of the test's own, removed afterwards.
fs::path Scratch(const char* name) {
  const fs::path folder = fs::temp_directory_path() / ("skyhelm-" + std::string(name) + "-" +
                                                       std::to_string(std::chrono::steady_clock::now()
                                                                          .time_since_epoch()
                                                                          .count()));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

// The log lines of the service, kept while the test runs.
class LogLines {
 public:
  LogLines() {
    g_log_sink.context = this;
    g_log_sink.receiver = &LogLines::Receive;
    g_log_sink.maximum_level = kLogLifecycle;
    g_log_sink.category_mask = ~uint64_t{0};
    g_log_sink.enabled = 1;
  }
  ~LogLines() { g_log_sink = LogSink{}; }
  bool WaitFor(const std::string& part) {
    std::unique_lock<std::mutex> hold(mutex_);
    return grew_.wait_for(hold, std::chrono::milliseconds(kDeadlineMs), [&] { return Has(part); });
  }
  int Count(const std::string& part) {
    std::lock_guard<std::mutex> hold(mutex_);
    int count = 0;
    for (const std::string& line : lines_) count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
  }

 private:
  static void Receive(void* self, uint8_t, uint64_t, const char16_t* line) {
    auto* log = static_cast<LogLines*>(self);
    std::lock_guard<std::mutex> hold(log->mutex_);
    log->lines_.push_back(platform::ToUtf8(line));
    log->grew_.notify_all();
  }
  bool Has(const std::string& part) const {
    for (const std::string& line : lines_) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }
  std::mutex mutex_;
  std::condition_variable grew_;
  std::vector<std::string> lines_;
};

void Write(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
}

constexpr char kRules[] = "[[rule]]\nprogram = \"Game.exe\"\nprofile = \"One.pr0\"\n";

TEST(RulesReading, AFileDeletedAndWrittenAgainIsOneChangeAndARemovalCountsAfterTwoSeconds) {
  LogLines log;
  const fs::path folder = Scratch("reading");
  const fs::path file = folder / "skyhelm" / "rules.toml";
  fs::create_directories(file.parent_path());
  Write(file, kRules);
  autoprofile::Service service;
  ASSERT_TRUE(service.Start(file.u16string(), {nullptr, nullptr, false}));
  const uint64_t first = service.ReadCount();

  // Deleted, then written again once the service has seen it gone: one read, of the new text.
  fs::remove(file);
  ASSERT_TRUE(log.WaitFor(" is missing; it counts as removed if it stays away 2 s"));
  Write(file, std::string(kRules) + "# saved again\n");
  ASSERT_TRUE(service.WaitReadMoreThan(first, kDeadlineMs));
  EXPECT_EQ(service.ReadCount(), first + 1);
  EXPECT_EQ(log.Count(" is gone, no rules"), 0);
  EXPECT_EQ(log.Count("1 rules read from "), 2);

  // Away for good: removed once 2 s have passed, with no further change to wake the service.
  const auto removed = std::chrono::steady_clock::now();
  fs::remove(file);
  ASSERT_TRUE(service.WaitReadMoreThan(first + 1, kDeadlineMs));
  EXPECT_GE(std::chrono::steady_clock::now() - removed, std::chrono::milliseconds(1900));
  EXPECT_EQ(log.Count(" is gone, no rules"), 1);
  service.Stop();
  fs::remove_all(folder);
}

#ifdef _WIN32

TEST(RulesReading, AFileAnEditorStillHoldsIsReadOnceItLetsGo) {
  LogLines log;
  const fs::path folder = Scratch("held");
  const fs::path file = folder / "Skyhelm" / "rules.toml";
  fs::create_directories(file.parent_path());
  autoprofile::Service service;
  ASSERT_TRUE(service.Start(file.u16string(), {nullptr, nullptr, false}));
  const uint64_t first = service.ReadCount();
  // Written by a program that shares nothing and keeps the file a while after writing.
  HANDLE held = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(held, kRules, sizeof kRules - 1, &written, nullptr));
  FlushFileBuffers(held);
  ASSERT_TRUE(platform::FileHeldByAnother(file.u16string()));
  Sleep(600);
  CloseHandle(held);
  EXPECT_FALSE(platform::FileHeldByAnother(file.u16string()));
  ASSERT_TRUE(log.WaitFor("1 rules read from "));
  EXPECT_EQ(log.Count("the rules in force stay"), 0);
  EXPECT_GT(service.ReadCount(), first);
  service.Stop();
  fs::remove_all(folder);
}

#endif  // _WIN32

// Counts the watch's reports and waits for the next one.
class Reports {
 public:
  static void Changed(void* self) {
    auto* reports = static_cast<Reports*>(self);
    std::lock_guard<std::mutex> hold(reports->mutex_);
    ++reports->count_;
    reports->changed_.notify_all();
  }
  // Waits for a report after the ones seen so far.
  bool Next() {
    std::unique_lock<std::mutex> hold(mutex_);
    const int seen = seen_;
    const bool more =
        changed_.wait_for(hold, std::chrono::milliseconds(kDeadlineMs), [&] { return count_ > seen; });
    seen_ = count_;
    return more;
  }
  // Forgets reports that may still be on their way.
  void Settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> hold(mutex_);
    seen_ = count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
  int seen_ = 0;
};

TEST(RulesFileWatch, WatchesAFolderDeletedAndMadeAgain) {
  const fs::path folder = Scratch("remade");
  const fs::path file = folder / "skyhelm" / "rules.toml";
  Reports reports;
  platform::FileWatch watch(file.u16string(), &Reports::Changed, &reports);
  ASSERT_TRUE(watch.Start());
  Write(file, kRules);
  ASSERT_TRUE(reports.Next());
  fs::remove_all(file.parent_path());
  ASSERT_TRUE(reports.Next());
  reports.Settle();
  fs::create_directories(file.parent_path());
  reports.Settle();
  Write(file, kRules);
  EXPECT_TRUE(reports.Next());
  // Made again twice: still followed.
  fs::remove_all(file.parent_path());
  fs::create_directories(file.parent_path());
  reports.Settle();
  Write(file, kRules);
  EXPECT_TRUE(reports.Next());
  watch.Stop();
  fs::remove_all(folder);
}

#ifndef _WIN32

TEST(RulesFileWatch, FollowsASymbolicLinkToItsTargetAndToANewTarget) {
  const fs::path folder = Scratch("linked");
  const fs::path file = folder / "config" / "rules.toml";
  fs::create_directories(folder / "config");
  fs::create_directories(folder / "dotfiles" / "one");
  fs::create_directories(folder / "dotfiles" / "two");
  Write(folder / "dotfiles" / "one" / "rules.toml", kRules);
  Write(folder / "dotfiles" / "two" / "rules.toml", kRules);
  fs::create_symlink("../dotfiles/one/rules.toml", file);
  Reports reports;
  platform::FileWatch watch(platform::FromUtf8(file.string()), &Reports::Changed, &reports);
  ASSERT_TRUE(watch.Start());
  // The target written in place, in its own folder.
  Write(folder / "dotfiles" / "one" / "rules.toml", std::string(kRules) + "# one\n");
  ASSERT_TRUE(reports.Next());
  // The link pointed elsewhere (made anew, as ln -sf does): a change, and the new target is
  // followed from then on.
  fs::remove(file);
  fs::create_symlink(folder / "dotfiles" / "two" / "rules.toml", file);
  ASSERT_TRUE(reports.Next());
  reports.Settle();
  Write(folder / "dotfiles" / "two" / "rules.toml", std::string(kRules) + "# two\n");
  EXPECT_TRUE(reports.Next());
  // Made another name of the target (a hard link): whole at once, so a change.
  fs::remove(file);
  reports.Settle();
  fs::create_hard_link(folder / "dotfiles" / "one" / "rules.toml", file);
  EXPECT_TRUE(reports.Next());
  watch.Stop();
  fs::remove_all(folder);
}

#endif  // _WIN32

}  // namespace
