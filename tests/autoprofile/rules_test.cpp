// Glob matching and the rules reader: a table of good and bad files with their messages.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "autoprofile/glob.h"
#include "autoprofile/rules.h"
#include "platform/guid.h"
#include "platform/text.h"

namespace autoprofile {
namespace {

TEST(GlobTest, MatchesStarsQuestionMarksClassesAndCaseButNothingElse) {
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
      // "?" is one character, also outside the BMP (two UTF-16 units).
      {u"?.exe", u"\U0001F680.exe", false, true},    {u"??.exe", u"\U0001F680.exe", false, false},
      // Case is ignored for every letter with a simple case folding.
      {u"\u00c9t\u00e9.exe", u"\u00e9T\u00c9.EXE", false, true},
      {u"*\u0438\u043b-2*", u"\u0418\u041b-2 \u0428\u0422\u0423\u0420\u041c\u041e\u0412\u0418\u041a", false, true},
      {u"\u03c3\u03af\u03c3\u03c5\u03c6\u03bf\u03c2", u"\u03a3\u038a\u03a3\u03a5\u03a6\u039f\u03a3", false, true},
      {u"stra\u00dfe", u"STRA\u1E9EE", false, true},  {u"\U00010428", u"\U00010400", false, true},
      {u"\u0438", u"\u0439", false, false},
      // Classes as in shell globs; a "[" that nothing closes is itself.
      {u"[ab].exe", u"B.exe", false, true},        {u"[ab].exe", u"c.exe", false, false},
      {u"[a-z]x", u"Qx", false, true},             {u"[A-Z]x", u"qx", false, true},
      {u"[0-9]x", u"ax", false, false},            {u"[\u0430-\u044f]", u"\u0416", false, true},
      {u"[!x].exe", u"y.exe", false, true},        {u"[!x].exe", u"X.exe", false, false},
      {u"[^x]", u"x", false, false},               {u"[]a]", u"]", false, true},
      {u"[a-]", u"-", false, true},                {u"[*]", u"x", false, false},
      {u"[?]", u"?", false, true},                 {u"[ab", u"[AB", false, true},
      {u"[!]", u"!", false, false},                {u"[!]", u"[!]", false, true},
      {u"C:/Games/*.exe", u"c:\\games\\DCS.exe", true, true},
      {u"C:/Games/*.exe", u"c:\\games\\DCS.exe", false, false},
      {u"*\\bin\\x.exe", u"/opt/bin/x.exe", true, true},  {u"*.exe", u"a.exe.bak", false, false},
      {u"a[/]b", u"a\\b", true, true},               {u"a[/]b", u"a\\b", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GlobMatch(c.glob, c.text, c.path), c.matches)
        << platform::ToUtf8(c.glob) << " vs " << platform::ToUtf8(c.text);
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
      // toml++ 3.3.0 reached an unreachable point on U+0379 where it looks for whitespace, and
      // asserted (aborting builds without NDEBUG) on a control character beginning a header key.
      {"a = \xcd\xb9", "r.toml:1:5: "},
      {"[[\x04]]", "r.toml:1:3: "},
      {"s = \"\"\"\\\n\xef\xb8\x80\"\"\"", "r.toml:1:1: unknown key \"s\""},
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

TEST(RulesReaderTest, ListsEveryMistakeOnceWithTheFirstAsTheError) {
  Rules rules;
  std::string error;
  std::vector<std::string> errors;
  EXPECT_FALSE(ParseRules("delay = 5\nwhen_unmatched = \"default\"\n"
                          "[[rule]]\nprogram = 5\nclear = true\n"
                          "[[rule]]\ntitle = \"t\"\ntrigger = \"running\"\nprofile = \"p\"\nclear = 1\n",
                          "r.toml", &rules, &error, &errors));
  const std::vector<std::string> expected = {
      "r.toml:1:1: unknown key \"delay\"",
      "r.toml:2:18: when_unmatched = \"default\" needs \"default_profile\"",
      "r.toml:4:11: \"program\" must be a string",
      "r.toml:10:9: \"clear\" must be true or false",
      "r.toml:7:9: rule 2: \"title\" cannot be used with trigger = \"running\"",
  };
  EXPECT_EQ(errors, expected);
  EXPECT_EQ(error, expected.front());
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
  // A folder, or a file that cannot be opened, is an error with its reason, not an empty file.
  fs::create_directory(file);
  EXPECT_EQ(ReadRulesFile(path, &rules, &error), ReadResult::kFailed);
  EXPECT_EQ(error, file.string() + ": is a folder, not a file");
  fs::remove(file);
#ifdef __linux__
  // Opens, but its first page is not mapped: reading fails.
  EXPECT_EQ(ReadRulesFile(u"/proc/self/mem", &rules, &error), ReadResult::kFailed);
  EXPECT_EQ(error, "/proc/self/mem: cannot be read: Input/output error");
#endif
}

}  // namespace
}  // namespace autoprofile
