// Editors' ways of saving the rules file: the service's reading (a file deleted and written again
// is one change, a removal counts after 2 s), the watch of a folder made again and, on Linux, of
// a file reached through a symbolic link.
#include <gtest/gtest.h>

#include <algorithm>
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

// A fresh folder of the test's own.
fs::path Scratch(const char* name) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path folder = fs::temp_directory_path() / ("skyhelm-" + std::string(name) + "-" + std::to_string(stamp));
  fs::create_directories(folder);
  return folder;
}

// Things that happen on other threads, counted: the service's log lines, or the watch's reports.
class Seen {
 public:
  // Until the next one after those looked at so far, or one that contains part.
  bool Next(const std::string& part = "") {
    std::unique_lock<std::mutex> hold(mutex_);
    const bool found = grew_.wait_for(hold, std::chrono::milliseconds(kDeadlineMs), [&] {
      for (size_t at = looked_; at < lines_.size(); ++at) {
        if (lines_[at].find(part) != std::string::npos) return true;
      }
      return false;
    });
    looked_ = lines_.size();
    return found;
  }
  int Count(const std::string& part) {
    std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<int>(std::count_if(lines_.begin(), lines_.end(), [&](const std::string& line) {
      return line.find(part) != std::string::npos;
    }));
  }
  // Forgets what may still be on its way.
  void Settle() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::lock_guard<std::mutex> hold(mutex_);
    looked_ = lines_.size();
  }
  static void Report(void* self) { static_cast<Seen*>(self)->Add(""); }
  void Add(std::string line) {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.push_back(std::move(line));
    grew_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable grew_;
  std::vector<std::string> lines_;
  size_t looked_ = 0;
};

// The service's log lines, kept while the test runs.
struct LogLines : Seen {
  LogLines() {
    g_log_sink = LogSink{0, this, &Receive, kLogLifecycle, ~uint64_t{0}};
    g_log_sink.enabled = 1;
  }
  ~LogLines() { g_log_sink = LogSink{}; }
  static void Receive(void* self, uint8_t, uint64_t, const char16_t* line) {
    static_cast<LogLines*>(self)->Add(platform::ToUtf8(line));
  }
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
  ASSERT_TRUE(log.Next(" is missing; it counts as removed if it stays away 2 s"));
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

TEST(RulesReading, AFileWrittenInPiecesIsReadOnceWhole) {
  LogLines log;
  const fs::path folder = Scratch("pieces");
  const fs::path file = folder / "skyhelm" / "rules.toml";
  fs::create_directories(file.parent_path());
  autoprofile::Service service;
  ASSERT_TRUE(service.Start(file.u16string(), {nullptr, nullptr, false}));
  {
    // Each piece alone is not a valid rules file; the pieces come closer together than the
    // quiet time the service waits for.
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const char* piece : {"[[rule]]\n", "program = \"Game.exe\"\n", "profile = \"One.pr0\"\n"}) {
      out << piece << std::flush;
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
  }
  ASSERT_TRUE(log.Next("1 rules read from "));
  EXPECT_EQ(log.Count("the rules in force stay"), 0);
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
  ASSERT_TRUE(log.Next("1 rules read from "));
  EXPECT_EQ(log.Count("the rules in force stay"), 0);
  EXPECT_GT(service.ReadCount(), first);
  service.Stop();
  fs::remove_all(folder);
}

#endif  // _WIN32

TEST(RulesFileWatch, WatchesAFolderDeletedAndMadeAgain) {
  const fs::path folder = Scratch("remade");
  const fs::path file = folder / "skyhelm" / "rules.toml";
  Seen reports;
  platform::FileWatch watch(file.u16string(), &Seen::Report, &reports);
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
  watch.Stop();
  fs::remove_all(folder);
}

#ifndef _WIN32

TEST(RulesFileWatch, FollowsASymbolicLinkToItsTargetAndToANewTarget) {
  const fs::path folder = Scratch("linked");
  const fs::path file = folder / "config" / "rules.toml";
  for (const char* made : {"config", "dotfiles/one", "dotfiles/two"}) fs::create_directories(folder / made);
  fs::create_symlink("../dotfiles/one/rules.toml", file);
  Seen reports;
  platform::FileWatch watch(platform::FromUtf8(file.string()), &Seen::Report, &reports);
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
