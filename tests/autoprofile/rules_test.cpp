// Glob matching and the rules reader: a table of good and bad files with their messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "autoprofile/glob.h"
#include "autoprofile/rules.h"
#include "platform/guid.h"
#include "platform/text.h"

namespace autoprofile {
namespace {

TEST(GlobTest, MatchesStarsQuestionMarksAndCaseButNothingElse) {
  struct Case {
    const char16_t* glob;
    const char16_t* text;
    bool path;
    bool matches;
  };
  const Case cases[] = {
      {u"DCS.exe", u"dcs.EXE", false, true},        {u"*", u"", false, true},
      {u"*Falcon BMS*", u"Falcon BMS 4.37", false, true},
      {u"a*b*c", u"aXbYbZc", false, true},          {u"a*b*c", u"aXbYbZ", false, false},
      {u"?.exe", u"x.exe", false, true},            {u"?.exe", u".exe", false, false},
      {u"[ab].exe", u"a.exe", false, false},        {u"[ab].exe", u"[AB].exe", false, true},
      {u"\u00c9t\u00e9.exe", u"\u00e9T\u00c9.EXE", false, true},
      {u"C:/Games/*.exe", u"c:\\games\\DCS.exe", true, true},
      {u"C:/Games/*.exe", u"c:\\games\\DCS.exe", false, false},
      {u"*\\bin\\x.exe", u"/opt/bin/x.exe", true, true},  {u"*.exe", u"a.exe.bak", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GlobMatch(c.glob, c.text, c.path), c.matches)
        << std::u16string(c.glob).size() << " glob vs text of " << std::u16string(c.text).size();
  }
}

constexpr char kIssueExample[] = R"(# Which profile each controller loads for the program in front.
when_unmatched = "keep"          # keep (default) | default | clear
default_profile = "Desktop.pr0"  # needed by when_unmatched = "default"
delay_ms = 250                   # a program must stay in front this long before its rule acts (default 250)

[[rule]]
program = "DCS.exe"              # glob on the program's file name
profile = "DCS/A-10C.pr0"        # relative: below the controller's profile folder

[[rule]]
title = "*Falcon BMS*"           # glob on the window title
controller = "8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D"   # device type; absent: every controller
profile = 'D:\Profiles\Falcon.pr0'

[[rule]]
program = "Il-2.exe"
trigger = "running"              # focus (default) | running
clear = true                     # clear the active profile instead of loading one
)";

TEST(RulesReaderTest, ReadsTheDocumentedExample) {
  Rules rules;
  std::string error;
  ASSERT_TRUE(ParseRules(kIssueExample, "rules.toml", &rules, &error)) << error;
  EXPECT_EQ(rules.when_unmatched, Unmatched::kKeep);
  EXPECT_EQ(rules.default_profile, u"Desktop.pr0");
  EXPECT_EQ(rules.delay_ms, 250u);
  ASSERT_EQ(rules.rules.size(), 3u);
  EXPECT_EQ(rules.rules[0].program, u"DCS.exe");
  EXPECT_EQ(rules.rules[0].profile, u"DCS/A-10C.pr0");
  EXPECT_FALSE(rules.rules[0].has_controller);
  platform::Guid type;
  ASSERT_TRUE(platform::ParseGuid(u"8E0C5B1A-6F3D-4C2B-9A7E-1D2F3A4B5C6D", &type));
  EXPECT_TRUE(rules.rules[1].has_controller);
  EXPECT_EQ(rules.rules[1].controller, type);
  EXPECT_EQ(rules.rules[1].title, u"*Falcon BMS*");
  EXPECT_EQ(rules.rules[1].profile, u"D:\\Profiles\\Falcon.pr0");
  EXPECT_EQ(rules.rules[2].trigger, Trigger::kRunning);
  EXPECT_TRUE(rules.rules[2].clear);
  EXPECT_EQ(rules.rules[2].number, 3);
  EXPECT_TRUE(rules.HasRunningRule());
}

TEST(RulesReaderTest, RefusesBadFilesWithPlaceAndReasonAndLeavesTheRulesAlone) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"delay_ms = ", "r.toml:1:12: "},  // the TOML error's own words follow
      {"delay = 5", "r.toml:1:1: unknown key \"delay\""},
      {"delay_ms = 60001", "r.toml:1:12: \"delay_ms\" must be an integer from 0 to 60000"},
      {"delay_ms = \"5\"", "r.toml:1:12: \"delay_ms\" must be an integer from 0 to 60000"},
      {"when_unmatched = \"drop\"",
       "r.toml:1:18: \"when_unmatched\" must be \"keep\" or \"default\" or \"clear\""},
      {"when_unmatched = \"default\"",
       "r.toml:1:18: when_unmatched = \"default\" needs \"default_profile\""},
      {"[[rule]]\nprofile = \"a.pr0\"", "r.toml:1:1: rule 1 needs \"program\", \"path\" or \"title\""},
      {"[[rule]]\nprogram = \"a.exe\"",
       "r.toml:1:1: rule 1 needs exactly one of \"profile\" and clear = true"},
      {"[[rule]]\nprogram = \"a.exe\"\nprofile = \"a.pr0\"\nclear = true",
       "r.toml:1:1: rule 1 needs exactly one of \"profile\" and clear = true"},
      {"[[rule]]\nprogram = \"a\"\nclear = true\n[[rule]]\nprogram = \"b\"\nsound = 1",
       "r.toml:6:1: unknown key \"sound\" in rule 2"},
      {"[[rule]]\nprogram = \"a\"\nclear = true\ncontroller = \"8E0C5B1A-6F3D\"",
       "r.toml:4:14: \"controller\" is not a device type GUID"},
      {"[[rule]]\ntitle = \"a\"\ntrigger = \"running\"\nclear = true",
       "r.toml:2:9: rule 1: \"title\" cannot be used with trigger = \"running\""},
      {"[[rule]]\nprogram = \"a\"\ntrigger = \"always\"\nclear = true",
       "r.toml:3:11: \"trigger\" must be \"focus\" or \"running\""},
      {"[[rule]]\nprogram = 5\nclear = true", "r.toml:2:11: \"program\" must be a string"},
      {"[[rule]]\nprogram = \"\"\nclear = true", "r.toml:2:11: \"program\" must not be empty"},
      {"[[rule]]\nprogram = \"a\"\nclear = \"yes\"", "r.toml:3:9: \"clear\" must be true or false"},
      {"rule = 3", "r.toml:1:8: \"rule\" must be a list of tables ([[rule]])"},
      {"a = \"\xff\"", "r.toml:1:"},
  };
  for (const Case& c : cases) {
    Rules rules;
    rules.delay_ms = 7;
    std::string error;
    EXPECT_FALSE(ParseRules(c.text, "r.toml", &rules, &error)) << c.text;
    EXPECT_EQ(error.rfind(c.message, 0), 0u) << c.text << "\n  gave: " << error;
    EXPECT_EQ(rules.delay_ms, 7u) << c.text;
  }
}

TEST(RulesReaderTest, GoodFilesTakeTheDefaultsAndGuidsInEitherSpelling) {
  Rules rules;
  std::string error;
  ASSERT_TRUE(ParseRules("", "r.toml", &rules, &error)) << error;
  EXPECT_EQ(rules.delay_ms, kDefaultDelayMs);
  EXPECT_EQ(rules.when_unmatched, Unmatched::kKeep);
  EXPECT_TRUE(rules.rules.empty());
  ASSERT_TRUE(ParseRules("delay_ms = 0\n[[rule]]\npath = \"*/x.exe\"\nclear = true\n"
                         "controller = \"{8e0c5b1a-6f3d-4c2b-9a7e-1d2f3a4b5c6d}\"",
                         "r.toml", &rules, &error))
      << error;
  EXPECT_EQ(rules.delay_ms, 0u);
  EXPECT_EQ(rules.rules.at(0).path, u"*/x.exe");
  EXPECT_TRUE(rules.rules.at(0).has_controller);
}

TEST(RulesReaderTest, FilesOfAnyBytesAreSafeAndThoseAbove1MbAreRefused) {
  namespace fs = std::filesystem;
  const fs::path file = fs::temp_directory_path() / "skyhelm-rules-test.toml";
  const std::u16string path = platform::FromUtf8(file.string());
  Rules rules;
  std::string error;
  fs::remove(file);
  EXPECT_EQ(ReadRulesFile(path, &rules, &error), ReadResult::kMissing);
  std::string bytes = "delay_ms = 5\n";
  for (int i = 0; i < 4096; ++i) bytes.push_back(static_cast<char>((i * 131) & 0xFF));  // NULs too
  std::ofstream(file, std::ios::binary) << bytes;
  EXPECT_EQ(ReadRulesFile(path, &rules, &error), ReadResult::kFailed);
  EXPECT_EQ(rules.delay_ms, kDefaultDelayMs);
  // A comment makes the size: exactly 1 MB is read, one byte more is not.
  std::string big = "delay_ms = 9\n#";
  big.resize(kMaxRulesFileBytes, 'x');
  std::ofstream(file, std::ios::binary | std::ios::trunc) << big;
  ASSERT_EQ(ReadRulesFile(path, &rules, &error), ReadResult::kRead) << error;
  EXPECT_EQ(rules.delay_ms, 9u);
  std::ofstream(file, std::ios::binary | std::ios::trunc) << big << 'x';
  EXPECT_EQ(ReadRulesFile(path, &rules, &error), ReadResult::kFailed);
  EXPECT_NE(error.find("larger than 1 MB"), std::string::npos) << error;
  fs::remove(file);
}

}  // namespace
}  // namespace autoprofile
