// The decision with an injected clock: the rule in force per controller, the delay, the clutch,
// manual choices, changed files, and the paths it forms and compares.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "autoprofile/decision.h"

namespace autoprofile {
namespace {

const platform::Guid kStick = {0x8E0C5B1A, 0x6F3D, 0x4C2B, {0x9A, 0x7E, 0x1D, 0x2F, 0x3A, 0x4B, 0x5C, 0x6D}};
const platform::Guid kPanel = {0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};

Rules Parse(const char* text) {
  Rules rules;
  std::string error;
  EXPECT_TRUE(ParseRules(text, "r.toml", &rules, &error)) << error;
  return rules;
}

platform::ProgramInfo Program(const char16_t* path, const char16_t* title = u"") {
  platform::ProgramInfo info;
  info.pid = 10;
  info.path = path;
  info.title = title;
  return info;
}

// "L:<profile>" or "C" per action, in order, for compact expectations; "kept " before one that
// gives way to the user's choice.
std::vector<std::u16string> Sent(const std::vector<Action>& actions) {
  std::vector<std::u16string> out;
  for (const Action& action : actions) {
    out.push_back((action.overridden ? u"kept " : u"") +
                  (action.kind == Action::Kind::kClear ? u"C" : u"L:" + action.profile));
  }
  return out;
}
using Texts = std::vector<std::u16string>;

constexpr char kGameRules[] =
    "delay_ms = 250\n"
    "[[rule]]\nprogram = \"DCS.exe\"\ncontroller = \"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0\"\n"
    "profile = \"DCS/Panel.pr0\"\n"
    "[[rule]]\nprogram = \"DCS.exe\"\nprofile = \"DCS/A-10C.pr0\"\n"
    "[[rule]]\ntitle = \"*Falcon BMS*\"\nprofile = '/p/Falcon.pr0'\n"
    "[[rule]]\nprogram = \"Il-2.exe\"\ntrigger = \"running\"\nclear = true\n";

TEST(RuleInForceTest, FirstApplyingRuleInFileOrderPerController) {
  const Rules rules = Parse(kGameRules);
  const std::vector<platform::ProgramInfo> none;
  EXPECT_EQ(RuleInForce(rules, kPanel, Program(u"/g/DCS.exe"), none), 0);
  EXPECT_EQ(RuleInForce(rules, kStick, Program(u"/g/DCS.exe"), none), 1);
  EXPECT_EQ(RuleInForce(rules, kStick, Program(u"/g/x.exe", u"Falcon BMS 4.37"), none), 2);
  EXPECT_EQ(RuleInForce(rules, kStick, platform::ProgramInfo(), none), -1);  // the desktop
  // A running rule matches a program that is not in front; a focus rule only the one in front.
  EXPECT_EQ(RuleInForce(rules, kStick, platform::ProgramInfo(), {Program(u"/g/Il-2.exe")}), 3);
  EXPECT_EQ(RuleInForce(rules, kStick, platform::ProgramInfo(), {Program(u"/g/DCS.exe")}), -1);
}

TEST(RuleInForceTest, WineProgramsMatchByTheirWindowsNameAndUnknownPathsByTitleOnly) {
  const Rules rules = Parse(kGameRules);
  platform::ProgramInfo wine = Program(u"/usr/lib/wine/wine64-preloader");
  wine.windows_path = u"Z:\\games\\DCS World\\bin\\DCS.exe";
  EXPECT_EQ(RuleInForce(rules, kStick, wine, {}), 1);
  platform::ProgramInfo hidden = Program(u"", u"Falcon BMS");
  hidden.path_unknown = true;
  EXPECT_EQ(RuleInForce(rules, kStick, hidden, {}), 2);
  hidden.title = u"DCS";
  EXPECT_EQ(RuleInForce(rules, kStick, hidden, {}), -1);
  // A window without a process id is a window whose program is unknown, not the desktop.
  platform::ProgramInfo no_pid;
  no_pid.path_unknown = true;
  no_pid.title = u"Falcon BMS 4.37";
  EXPECT_EQ(no_pid.kind(), platform::ProgramInfo::Kind::kUnknownProgram);
  EXPECT_EQ(RuleInForce(rules, kStick, no_pid, {}), 2);
  platform::ProgramInfo desktop;
  desktop.title = u"Falcon BMS";  // a desktop's title matches nothing
  EXPECT_EQ(desktop.kind(), platform::ProgramInfo::Kind::kDesktop);
  EXPECT_EQ(RuleInForce(rules, kStick, desktop, {}), -1);
}

class DeciderTest : public ::testing::Test {
 protected:
  DeciderTest() : decider_(u'/') {}
  Decider decider_;
};

TEST_F(DeciderTest, ActsOnceAfterTheDelayAndNotForAShorterVisit) {
  decider_.SetRules(Parse(kGameRules), 0);
  decider_.Attach(u"stick", kStick, u"/root", 0);
  EXPECT_TRUE(decider_.TakeDue(0).empty());  // unmatched, keep: nothing to send
  decider_.SetFront(Program(u"/g/DCS.exe"), 1000);
  decider_.SetFront(platform::ProgramInfo(), 1100);  // gone before the delay
  EXPECT_TRUE(decider_.TakeDue(2000).empty());
  decider_.SetFront(Program(u"/g/DCS.exe"), 3000);
  EXPECT_EQ(decider_.NextDeadline(), 3250u);
  EXPECT_TRUE(decider_.TakeDue(3249).empty());
  EXPECT_EQ(Sent(decider_.TakeDue(3250)), Texts{u"L:/root/DCS/A-10C.pr0"});
  EXPECT_TRUE(decider_.TakeDue(9000).empty());  // once
  EXPECT_EQ(decider_.NextDeadline(), kNoDeadline);
  // The desktop keeps it; back to the game is a change again (the executor then finds the
  // profile active, or loads it again after a manual choice).
  decider_.SetFront(platform::ProgramInfo(), 10000);
  EXPECT_TRUE(decider_.TakeDue(11000).empty());
  decider_.SetFront(Program(u"/g/DCS.exe"), 12000);
  EXPECT_EQ(Sent(decider_.TakeDue(12250)), Texts{u"L:/root/DCS/A-10C.pr0"});
}

TEST_F(DeciderTest, AttachActsAtOnceAndWhenUnmatchedDecidesForTheDesktop) {
  decider_.SetRules(Parse("when_unmatched = \"default\"\ndefault_profile = \"D.pr0\"\n"
                          "[[rule]]\nprogram = \"DCS.exe\"\nprofile = \"/abs/A.pr0\"\n"), 0);
  decider_.SetFront(Program(u"/g/DCS.exe"), 0);
  decider_.Attach(u"stick", kStick, u"/root", 5);
  EXPECT_EQ(Sent(decider_.TakeDue(5)), Texts{u"L:/abs/A.pr0"});
  decider_.SetFront(platform::ProgramInfo(), 10);
  EXPECT_EQ(Sent(decider_.TakeDue(260)), Texts{u"L:/root/D.pr0"});
  // A changed when_unmatched is a changed outcome for the unmatched stick: it acts at once.
  decider_.SetRules(Parse("when_unmatched = \"clear\"\n[[rule]]\nprogram = \"x\"\nclear = true"), 300);
  decider_.Attach(u"panel", kPanel, u"/other", 300);
  EXPECT_EQ(Sent(decider_.TakeDue(300)), (Texts{u"C", u"C"}));
}

TEST_F(DeciderTest, NothingFallsDueWhileTheClutchIsEngaged) {
  decider_.SetRules(Parse(kGameRules), 0);
  decider_.Attach(u"stick", kStick, u"/root", 0);
  decider_.Attach(u"panel", kPanel, u"/root", 0);
  decider_.TakeDue(0);
  decider_.SetEngaged(u"stick", true);
  decider_.SetFront(Program(u"/g/DCS.exe"), 100);
  const std::u16string stick = u"stick";
  EXPECT_TRUE(decider_.TakeDue(1000, &stick).empty());
  EXPECT_EQ(Sent(decider_.TakeDue(1000)), Texts{u"L:/root/DCS/Panel.pr0"});
  EXPECT_EQ(decider_.NextDeadline(), kNoDeadline);  // the held one waits for the release
  decider_.SetEngaged(u"stick", false);
  EXPECT_EQ(Sent(decider_.TakeDue(1000, &stick)), Texts{u"L:/root/DCS/A-10C.pr0"});
}

TEST_F(DeciderTest, AChangedFileActsAtOnceOnlyWhereTheRuleInForceDiffers) {
  decider_.SetRules(Parse(kGameRules), 0);
  decider_.SetFront(Program(u"/g/DCS.exe"), 0);
  decider_.Attach(u"stick", kStick, u"/root", 0);
  decider_.Attach(u"panel", kPanel, u"/root", 0);
  EXPECT_EQ(decider_.TakeDue(0).size(), 2u);
  // The stick's rule moves to another place unchanged: no change for it. The panel's is gone.
  decider_.SetRules(Parse("[[rule]]\nprogram = \"x.exe\"\nclear = true\n"
                          "[[rule]]\nprogram = \"DCS.exe\"\nprofile = \"DCS/A-10C.pr0\"\n"),
                    50);
  const std::vector<Action> due = decider_.TakeDue(50);
  ASSERT_EQ(due.size(), 1u);
  EXPECT_EQ(due[0].controller, u"panel");
  EXPECT_EQ(due[0].rule, 2);
  EXPECT_EQ(due[0].program, u"DCS.exe");
}

TEST_F(DeciderTest, AChoiceMadeWithTheClutchAfterAChangeStaysAndAReleaseWithoutOneActs) {
  const std::u16string stick = u"stick";
  decider_.SetRules(Parse(kGameRules), 0);
  decider_.Attach(stick, kStick, u"/root", 0);
  decider_.TakeDue(0);
  // Changed in the hold, then a profile chosen in the same hold: the choice stays.
  decider_.SetEngaged(stick, true);
  decider_.SetFront(Program(u"/g/DCS.exe"), 100);
  decider_.ManualChoice(stick);
  decider_.SetEngaged(stick, false);
  EXPECT_EQ(Sent(decider_.TakeDue(1000, &stick)), Texts{u"kept L:/root/DCS/A-10C.pr0"});
  // Changed before the hold (still within the delay), chosen in it: the choice stays too.
  decider_.SetFront(Program(u"/g/x.exe", u"Falcon BMS"), 2000);
  decider_.SetEngaged(stick, true);
  decider_.ManualChoice(stick);
  decider_.SetEngaged(stick, false);
  EXPECT_EQ(Sent(decider_.TakeDue(3000)), Texts{u"kept L:/p/Falcon.pr0"});
  // Chosen, then changed in the same hold: the change acts at release.
  decider_.SetEngaged(stick, true);
  decider_.ManualChoice(stick);
  decider_.SetFront(Program(u"/g/DCS.exe"), 4000);
  decider_.SetEngaged(stick, false);
  EXPECT_EQ(Sent(decider_.TakeDue(4250)), Texts{u"L:/root/DCS/A-10C.pr0"});
  // A hold without a choice defers the change only.
  decider_.SetEngaged(stick, true);
  decider_.SetFront(Program(u"/g/x.exe", u"Falcon BMS"), 5000);
  decider_.SetEngaged(stick, false);
  EXPECT_EQ(Sent(decider_.TakeDue(5250)), Texts{u"L:/p/Falcon.pr0"});
}

TEST_F(DeciderTest, OnlyADifferentOutcomeActsAndUnmatchedSettingsAreOutcomes) {
  const std::u16string stick = u"stick";
  decider_.SetRules(Parse("when_unmatched = \"default\"\ndefault_profile = \"D.pr0\"\n"), 0);
  decider_.Attach(stick, kStick, u"/root", 0);
  EXPECT_EQ(Sent(decider_.TakeDue(0)), Texts{u"L:/root/D.pr0"});
  // Nothing matches; another default profile, then another when_unmatched, act at once.
  decider_.SetRules(Parse("when_unmatched = \"default\"\ndefault_profile = \"E.pr0\"\n"), 10);
  EXPECT_EQ(Sent(decider_.TakeDue(10)), Texts{u"L:/root/E.pr0"});
  decider_.SetRules(Parse("when_unmatched = \"clear\"\n"), 20);
  EXPECT_EQ(Sent(decider_.TakeDue(20)), Texts{u"C"});
  // A rule added that does not match, a comment, a rule whose outcome is the same clear: no
  // change, and a choice made with the clutch stays.
  decider_.SetEngaged(stick, true);
  decider_.ManualChoice(stick);
  decider_.SetEngaged(stick, false);
  decider_.SetRules(Parse("# mine\nwhen_unmatched = \"clear\"\n[[rule]]\nprogram = \"x.exe\"\n"
                          "profile = \"X.pr0\"\n[[rule]]\nprogram = \"DCS.exe\"\nclear = true\n"),
                    30);
  decider_.SetFront(Program(u"/g/DCS.exe"), 40);
  EXPECT_TRUE(decider_.TakeDue(1000).empty());
  EXPECT_EQ(decider_.NextDeadline(), kNoDeadline);
  // Another rule and program leading to the same profile is the same outcome too.
  decider_.SetRules(Parse("[[rule]]\nprogram = \"DCS.exe\"\nprofile = \"A.pr0\"\n"
                          "[[rule]]\ntitle = \"*Falcon*\"\nprofile = '/root//A.pr0'\n"), 1100);
  EXPECT_EQ(Sent(decider_.TakeDue(1100)), Texts{u"L:/root/A.pr0"});
  decider_.SetFront(Program(u"/g/x.exe", u"Falcon BMS"), 1200);
  EXPECT_TRUE(decider_.TakeDue(2000).empty());
}

TEST_F(DeciderTest, AFailedActionIsTriedAgainAtTheNextChangeOfRulesOrFront) {
  const std::u16string stick = u"stick";
  const Rules rules = Parse(kGameRules);
  decider_.SetRules(rules, 0);
  decider_.SetFront(Program(u"/g/DCS.exe"), 0);
  decider_.Attach(stick, kStick, u"/root", 0);
  std::vector<Action> due = decider_.TakeDue(0);
  ASSERT_EQ(due.size(), 1u);
  decider_.Failed(due[0]);
  decider_.SetRunning({}, 100);  // a scan is no such change
  EXPECT_TRUE(decider_.TakeDue(1000).empty());
  // The same program in front again (a new title): after the delay.
  decider_.SetFront(Program(u"/g/DCS.exe", u"Mission"), 2000);
  EXPECT_TRUE(decider_.TakeDue(2249).empty());
  due = decider_.TakeDue(2250);
  ASSERT_EQ(Sent(due), Texts{u"L:/root/DCS/A-10C.pr0"});
  decider_.SetFront(Program(u"/g/DCS.exe"), 3000);  // it worked: nothing more
  EXPECT_TRUE(decider_.TakeDue(4000).empty());
  // The same rules read again: at once.
  decider_.Failed(due[0]);
  decider_.SetRules(rules, 5000);
  due = decider_.TakeDue(5000);
  ASSERT_EQ(Sent(due), Texts{u"L:/root/DCS/A-10C.pr0"});
  // A choice made with the clutch after a failure is not overridden by a retry.
  decider_.Failed(due[0]);
  decider_.ManualChoice(stick);
  decider_.SetRules(rules, 6000);
  EXPECT_TRUE(decider_.TakeDue(6000).empty());
}

TEST_F(DeciderTest, RunningRulesFollowTheScanAndNameTheMatchedPids) {
  decider_.SetRules(Parse(kGameRules), 0);
  decider_.Attach(u"stick", kStick, u"/root", 0);
  platform::ProgramInfo il2 = Program(u"/g/Il-2.exe");
  il2.pid = 77;
  decider_.SetRunning({Program(u"/bin/sh"), il2}, 10);
  EXPECT_EQ(decider_.MatchedRunningPids(), std::vector<uint32_t>{77});
  EXPECT_EQ(Sent(decider_.TakeDue(260)), Texts{u"C"});
  decider_.SetRunning({}, 300);
  EXPECT_TRUE(decider_.MatchedRunningPids().empty());
}

TEST(ProfilePathTest, FormsAndComparesPathsAsTheDriverReportsThem) {
  EXPECT_EQ(ProfileFullPath(u"/r", u"DCS\\A-10C.pr0", u'/'), u"/r/DCS/A-10C.pr0");
  EXPECT_EQ(ProfileFullPath(u"C:\\P", u"DCS/A.pr0", u'\\'), u"C:\\P\\DCS\\A.pr0");
  EXPECT_EQ(ProfileFullPath(u"C:\\P", u"d:\\x.pr0", u'\\'), u"d:\\x.pr0");
  EXPECT_TRUE(SameProfilePath(u"/r//DCS\\A.pr0", u"/r/DCS/A.pr0"));
  EXPECT_FALSE(SameProfilePath(u"/r/DCS/A.pr0", u"/r/DCS/B.pr0"));
  // "." and ".." segments are resolved; ".." never climbs above the root.
  EXPECT_TRUE(SameProfilePath(u"/r/./Falcon.pr0", u"/r/Falcon.pr0"));
  EXPECT_TRUE(SameProfilePath(u"/r/Sub/../Falcon.pr0", u"/r/Falcon.pr0"));
  EXPECT_TRUE(SameProfilePath(u"C:\\P\\a\\b\\..\\..\\.\\F.pr0", u"C:/P/F.pr0"));
  EXPECT_TRUE(SameProfilePath(u"/../r/F.pr0", u"/r/F.pr0"));
  EXPECT_FALSE(SameProfilePath(u"/r/Sub/../F.pr0", u"/r/Sub/F.pr0"));
  EXPECT_FALSE(SameProfilePath(u"//srv/F.pr0", u"/srv/F.pr0"));
#ifdef _WIN32
  EXPECT_TRUE(SameProfilePath(u"C:\\P\\a.PR0", u"c:/p/A.pr0"));
  // As the file system compares: every unit upper-cased, so Cyrillic and Greek too, but "ß"
  // and "ẞ" stay two names.
  EXPECT_TRUE(SameProfilePath(u"C:\\\u041f\\\u0438\u043b.pr0", u"c:\\\u043f\\\u0418\u041b.PR0"));
  EXPECT_TRUE(SameProfilePath(u"C:\\\u03c3\u03c2.pr0", u"C:\\\u03a3\u03a3.pr0"));
  EXPECT_FALSE(SameProfilePath(u"C:\\\u00df.pr0", u"C:\\\u1e9e.pr0"));
#else
  EXPECT_FALSE(SameProfilePath(u"/r/a.PR0", u"/r/A.pr0"));
#endif
}

}  // namespace
}  // namespace autoprofile
