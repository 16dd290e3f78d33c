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

// "L:<profile>" or "C" per action, in order, for compact expectations.
std::vector<std::u16string> Sent(const std::vector<Action>& actions) {
  std::vector<std::u16string> out;
  for (const Action& action : actions) {
    out.push_back(action.kind == Action::Kind::kClear ? u"C" : u"L:" + action.profile);
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
  decider_.SetRules(Parse("when_unmatched = \"clear\"\n[[rule]]\nprogram = \"x\"\nclear = true"), 300);
  decider_.Attach(u"panel", kPanel, u"/other", 300);
  EXPECT_EQ(Sent(decider_.TakeDue(300)), Texts{u"C"});  // the stick stays unmatched: no change
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
#ifdef _WIN32
  EXPECT_TRUE(SameProfilePath(u"C:\\P\\a.PR0", u"c:/p/A.pr0"));
#else
  EXPECT_FALSE(SameProfilePath(u"/r/a.PR0", u"/r/A.pr0"));
#endif
}

}  // namespace
}  // namespace autoprofile
