// LogMessage: the filter, the prefix, cutting of long lines, concurrent callers, and the standard
// receiver.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "allocation_counter.h"
#include "log/log.h"
#include "log/log_file.h"
#include "platform/sync.h"
#include "platform/text.h"

namespace {

struct Received {
  uint8_t level;
  uint64_t mask;
  std::u16string line;
};

// Collects what reaches the receiver; restores the all-zero sink afterwards.
class LogTest : public testing::Test {
 protected:
  void TearDown() override { g_log_sink = LogSink{}; }

  void Install(uint8_t maximum_level, uint64_t mask) {
    g_log_sink.context = this;
    g_log_sink.receiver = &LogTest::Receive;
    g_log_sink.maximum_level = maximum_level;
    g_log_sink.category_mask = mask;
    g_log_sink.enabled = 1;
  }
  static void Receive(void* context, uint8_t level, uint64_t mask, const char16_t* line) {
    auto* self = static_cast<LogTest*>(context);
    std::lock_guard<std::mutex> hold(self->mutex_);
    self->received_.push_back({level, mask, line});
  }
  // The line without its "[...]" prefix.
  static std::u16string Message(const std::u16string& line) {
    return line.substr(line.find(u']') + 1);
  }

  std::mutex mutex_;
  std::vector<Received> received_;
};

TEST_F(LogTest, ZeroSinkAllocatesAndCallsNothing) {
  ASSERT_EQ(g_log_sink.enabled, 0);
  long before = AllocationCount();
  // %S converts narrow text with an allocation: formatting anything would show in the count.
  for (int i = 0; i < 100; ++i) LogMessage(1, ~uint64_t{0}, u"%S %d", "narrow", i);
  EXPECT_EQ(AllocationCount(), before);
}

TEST_F(LogTest, EachFilterConditionAloneDropsTheLine) {
  Install(4, 2);
  long before = AllocationCount();
  g_log_sink.enabled = 2;
  LogMessage(1, 2, u"%S", "enabled must be exactly 1");
  g_log_sink.enabled = 1;
  g_log_sink.context = nullptr;
  LogMessage(1, 2, u"%S", "context must be set");
  g_log_sink.context = this;
  LogMessage(5, 2, u"%S", "level above the maximum");
  LogMessage(1, 1 | 4, u"%S", "no shared category bit");
  EXPECT_EQ(AllocationCount(), before) << "a filtered line is not formatted";
  EXPECT_TRUE(received_.empty());
  LogMessage(4, 3, u"passes");
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(received_[0].level, 4);
  EXPECT_EQ(received_[0].mask, 3u) << "the receiver gets the caller's mask";
}

TEST_F(LogTest, MaximumLevelThree) {
  Install(3, ~uint64_t{0});
  LogMessage(kLogError, kLogCategory, u"eek - pointer");
  LogMessage(kLogEvent, kLogCategory, u"Profile Changed \"%ws\"", u"C:\\p\\a.pr0");
  LogMessage(kLogLifecycle, kLogCategory, u"Device Created");
  ASSERT_EQ(received_.size(), 2u);
  EXPECT_EQ(Message(received_[0].line), u"eek - pointer");
  EXPECT_EQ(Message(received_[1].line), u"Profile Changed \"C:\\p\\a.pr0\"");
}

TEST_F(LogTest, CategoryMaskOneLetsNothingThrough) {
  Install(4, 1);
  LogMessage(kLogError, kLogCategory, u"eek - pointer");
  LogMessage(kLogLifecycle, kLogCategory, u"Device Created");
  EXPECT_TRUE(received_.empty());
}

TEST_F(LogTest, PrefixHoldsEmptyNameAndLowerCaseIds) {
  Install(4, 2);
  LogMessage(3, 2, u"Soft Buttons Changed %08X", 5u);
  ASSERT_EQ(received_.size(), 1u);
  char expected[64];
  std::snprintf(expected, sizeof(expected), "[(0x%x)(0x%x)]Soft Buttons Changed 00000005",
                platform::CurrentProcessId(), platform::CurrentThreadId());
  EXPECT_EQ(platform::ToUtf8(received_[0].line), expected);
}

TEST_F(LogTest, GuidArgumentsAsTheLogTableWritesThem) {
  Install(4, 2);
  LogMessage(3, 2,
             u"Command State Changed %08X %d %d "
             u"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
             0x2Au, 1, 0, 0x4A7D2E91u, 0x3B6Cu, 0x4F80u, 0xA1, 0xD5, 0x9E, 0x8C, 0x7B, 0x6A,
             0x5F, 0x40);
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(Message(received_[0].line),
            u"Command State Changed 0000002A 1 0 {4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40}");
}

TEST_F(LogTest, LongMessageIsCutToFitAndTerminated) {
  Install(4, 2);
  std::u16string long_text(3000, u'x');
  long_text[0] = u'<';
  LogMessage(3, 2, u"SetString(%d, %d, \"%ws\")", 2, 3000, long_text.c_str());
  ASSERT_EQ(received_.size(), 1u);
  const std::u16string& line = received_[0].line;
  EXPECT_EQ(line.size(), static_cast<size_t>(kLogLineUnits - 2));
  EXPECT_EQ(Message(line).substr(0, 21), u"SetString(2, 3000, \"<");
  EXPECT_EQ(line.back(), u'x');
}

TEST_F(LogTest, ConcurrentCallersEachGetTheirOwnLine) {
  Install(4, 2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) LogMessage(3, 2, u"thread %d line %d", t, i);
    });
  }
  for (std::thread& thread : threads) thread.join();
  ASSERT_EQ(received_.size(), 800u);
  int per_thread[4] = {};
  for (const Received& r : received_) {
    int t = Message(r.line)[7] - u'0';
    ASSERT_TRUE(t >= 0 && t < 4) << platform::ToUtf8(r.line);
    ++per_thread[t];
  }
  for (int count : per_thread) EXPECT_EQ(count, 200);
}

TEST(LogReceiver, LevelFromTheEnvironmentValue) {
  uint8_t level = 0;
  for (const char* good : {"1", "2", "3", "4"}) {
    EXPECT_TRUE(ParseLogLevel(good, &level)) << good;
    EXPECT_EQ(level, good[0] - '0');
  }
  for (const char* bad : {"0", "5", "", "33", " 3", "3 ", "x"}) {
    EXPECT_FALSE(ParseLogLevel(bad, &level)) << bad;
  }
  EXPECT_FALSE(ParseLogLevel(nullptr, &level));
}

TEST(LogReceiver, StandardReceiverWritesUtf8LinesToStandardError) {
  InstallStandardLogReceiver(3);
  testing::internal::CaptureStderr();
  LogMessage(3, 2, u"Profile Changed \"%ws\"", u"caf\u00e9.pr0");
  LogMessage(4, 2, u"Device Created");
  std::string captured = testing::internal::GetCapturedStderr();
  g_log_sink = LogSink{};
  EXPECT_NE(captured.find("]Profile Changed \"caf\xc3\xa9.pr0\"\n"), std::string::npos) << captured;
  EXPECT_EQ(captured.find("Device Created"), std::string::npos);
}

std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The file grows to its limit and no further: a line that would take it past moves it to .1
// (replacing the one before), nothing is lost but the file older than that, and a reopened file
// counts what it holds already. Lines are UTF-8 with CR LF.
TEST(LogFile, RollsOverAtItsLimitKeepingOnePreviousFile) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("skyhelm-log-file-" + std::to_string(platform::CurrentProcessId())) / "Skyhelm";
  std::filesystem::remove_all(folder.parent_path());
  const std::filesystem::path current = folder / "skyhelm.log";
  const std::filesystem::path previous = folder / "skyhelm.log.1";
  {
    LogFile file(/*limit=*/24);
    ASSERT_TRUE(file.Open(folder.u16string()));  // creates the folder
    file.Append(u"caf\u00e9 0");  // 9 bytes with the line break
    file.Append(u"line 1");       // 8: 17 in all
    EXPECT_EQ(ReadAll(current), "caf\xc3\xa9 0\r\nline 1\r\n");
    EXPECT_FALSE(std::filesystem::exists(previous));
    file.Append(u"line 2");  // 25 would pass the limit
    EXPECT_EQ(ReadAll(previous), "caf\xc3\xa9 0\r\nline 1\r\n");
    EXPECT_EQ(ReadAll(current), "line 2\r\n");
    file.Append(u"line 3");
    file.Append(u"line 4");  // 24 bytes: at the limit, not past it
  }
  EXPECT_EQ(ReadAll(current), "line 2\r\nline 3\r\nline 4\r\n");
  {
    LogFile reopened(/*limit=*/24);
    ASSERT_TRUE(reopened.Open(folder.u16string()));
    reopened.Append(u"line 5");
    reopened.Append(u"line 6");
    EXPECT_EQ(ReadAll(previous), "line 2\r\nline 3\r\nline 4\r\n");
    EXPECT_EQ(ReadAll(current), "line 5\r\nline 6\r\n");
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder.parent_path(), ignored);
}

// A file that cannot be moved at its limit is neither emptied nor lost, and neither is the
// previous one: the lines go on into it, and it rolls over once it can be moved again. On Windows
// a reader holds it open without sharing its deletion, which makes the move fail; on Linux, where
// an open file can always be moved, a folder named skyhelm.log.1 stands in the way.
TEST(LogFile, AFileThatCannotBeMovedKeepsItsLinesAndLoggingGoesOn) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("skyhelm-log-held-" + std::to_string(platform::CurrentProcessId())) / "Skyhelm";
  std::filesystem::remove_all(folder.parent_path());
  std::filesystem::create_directories(folder);
  const std::filesystem::path current = folder / "skyhelm.log";
  const std::filesystem::path previous = folder / "skyhelm.log.1";
  LogFile file(/*limit=*/24);
  ASSERT_TRUE(file.Open(folder.u16string()));
  for (const char16_t* line : {u"line 0", u"line 1", u"line 2"}) file.Append(line);  // 24 bytes
#ifdef _WIN32
  std::ofstream(previous, std::ios::binary) << "older\r\n";
  HANDLE reader = CreateFileW(current.wstring().c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
#else
  std::filesystem::create_directories(previous / "in the way");
#endif
  file.Append(u"line 3");  // past the limit: the move fails
  file.Append(u"line 4");  // and is tried again
  EXPECT_EQ(ReadAll(current), "line 0\r\nline 1\r\nline 2\r\nline 3\r\nline 4\r\n");
#ifdef _WIN32
  EXPECT_EQ(ReadAll(previous), "older\r\n");
  CloseHandle(reader);
#else
  EXPECT_TRUE(std::filesystem::exists(previous / "in the way"));
  std::filesystem::remove_all(previous);
#endif
  file.Append(u"line 5");
  EXPECT_EQ(ReadAll(previous), "line 0\r\nline 1\r\nline 2\r\nline 3\r\nline 4\r\n");
  EXPECT_EQ(ReadAll(current), "line 5\r\n");
  std::error_code ignored;
  std::filesystem::remove_all(folder.parent_path(), ignored);
}

}  // namespace
