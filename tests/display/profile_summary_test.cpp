// The profile summary read from profile documents: names, default shifts, the shift selection
// buttons that are not shown as commands, and the log lines.
#include <gtest/gtest.h>

#include <string>

#include "display/profile_summary.h"
#include "session/log_capture.h"
#include "support/profiles.h"
#include "support/session_rig.h"

namespace {

const platform::Guid kMember = {0x5EED0001, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
const platform::Guid kController = {0x5EED0002, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};

class SummaryTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = test_env::FreshRoot(); }
  void TearDown() override { rig::fs::remove_all(folder_); }

  // Writes text as a profile and summarises it for the device kMember/kController.
  SummaryOutcome Read(const std::string& text, const ShiftButtonSet& shift_buttons = {}) {
    const auto file = folder_ / "p.pr0";
    rig::WriteDocument(file, text);
    return ReadProfileSummary(file.u16string(), shift_buttons, Ids, &summary_);
  }

  static void Ids(platform::Guid* member, platform::Guid* controller) {
    *member = kMember;
    *controller = kController;
  }

  rig::fs::path folder_;
  ProfileSummary summary_;
};

std::string Wrap(const std::string& controller_body) {
  return "[profile='P' [controllers [controller=" + profiles::Braced(kController) + "\n" +
         controller_body + "]]]";
}

TEST_F(SummaryTest, StringCommandsAreNotNamed) {
  LogCapture log;
  ASSERT_EQ(Read(profiles::Alpha(kMember, kController)), SummaryOutcome::kRead);
  EXPECT_EQ(summary_.profile_name, u"Alpha");
  EXPECT_EQ(summary_.command_names.size(), 2u);
  EXPECT_EQ(summary_.command_names.count(profiles::kHello), 0u);
  EXPECT_EQ(log.Count(u"Command : {A0000001-1111-4111-8100-000000000001} = \"Gear\""), 1);
  EXPECT_EQ(log.Count(u"Profile : Alpha"), 1);
}

TEST_F(SummaryTest, CommandsAreNamedByGuidAndLaterNamesWin) {
  const platform::Guid low = {0x10, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const platform::Guid mid = {0x10, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 11}};
  const platform::Guid high = {0x11, 0x0, 0x0, {0, 0, 0, 0, 0, 0, 0, 0}};
  LogCapture log;
  Read("[profile='P' [commands [actioncommand=" + profiles::Braced(high) + " name='H1'] [cyclecommand=" +
       profiles::Braced(mid) + " name='M'] [temporalcommand=" + profiles::Braced(high) + " name='H2'] [actioncommand=" +
       profiles::Braced(low) + " name='L'] [actioncommand=" + profiles::Braced(high) + " name='H3']]]");
  EXPECT_EQ(summary_.command_names,
            (std::map<platform::Guid, std::u16string>{{low, u"L"}, {mid, u"M"}, {high, u"H3"}}));
  EXPECT_EQ(log.Count(u"Command : {00000011-0000-0000-0000-000000000000} = \"H1\""), 1);
}

TEST_F(SummaryTest, SearchesFindWhatAFullReadFindsInsideElementsTheSummaryNeverReads) {
  // The first read leaves out action blocks, bands and the like. Commands (or controls) inside one
  // of them come first in the tree's order, so the document is read again in full, saying its
  // lines once.
  const platform::Guid inner = {0x20, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  const platform::Guid outer = {0x21, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
  testing::internal::CaptureStderr();
  ASSERT_EQ(Read("[profile='P' [actionblock [commands [actioncommand=" + profiles::Braced(inner) +
                 " name='Inner']]] [commands [actioncommand=" + profiles::Braced(outer) + " name='Outer']]]"),
            SummaryOutcome::kRead);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            " - - - - - Pr0 Parser says... \"Parsing\"\n - - - - - Pr0 Parser says... \"Parsed OK\"\n");
  EXPECT_EQ(summary_.command_names, (std::map<platform::Guid, std::u16string>{{inner, u"Inner"}}));

  ASSERT_EQ(Read(Wrap("[axis=0x30 name='X' [bands [controls [button=1 name='Hidden']]]] [controls [button=2 name='Shown']]")),
            SummaryOutcome::kRead);
  EXPECT_EQ(summary_.control_names, (std::map<uint32_t, std::u16string>{{1, u"Hidden"}}));

  // A first element left out would leave no root, where a full read has one.
  testing::internal::CaptureStderr();
  ASSERT_EQ(Read("[actionblock [action]]"), SummaryOutcome::kRead);
  EXPECT_EQ(testing::internal::GetCapturedStderr().find("root is null"), std::string::npos);
}

TEST_F(SummaryTest, ThousandsOfCommandsAreNamedByGuidAndLaterNamesWin) {
  // Repeated GUIDs, GUIDs that differ only in their last byte, and a long run sharing their
  // first bytes, in no order.
  std::string commands;
  std::map<platform::Guid, std::u16string> expected;
  for (uint32_t i = 0; i < 1500; ++i) {
    platform::Guid guid = {(i * 2654435761u) % 997, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 0}};
    if (i % 3 == 0) guid = {0x4242, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, static_cast<uint8_t>(i % 40)}};
    const std::string name = "N" + std::to_string(i);
    commands += "[actioncommand=" + profiles::Braced(guid) + " name='" + name + "']\n";
    expected[guid] = std::u16string(name.begin(), name.end());
  }
  Read("[profile='P' [commands " + commands + "]]");
  EXPECT_EQ(summary_.command_names, expected);
  // A summary read into the same place keeps nothing of the one before.
  const platform::Guid one = {0x4242, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 3}};
  Read("[profile='Q' [commands [actioncommand=" + profiles::Braced(one) + " name='Only']]]");
  EXPECT_EQ(summary_.command_names, (std::map<platform::Guid, std::u16string>{{one, u"Only"}}));
  Read("[profile='P' [commands " + commands + "]]");
  EXPECT_EQ(summary_.command_names, expected);
}

TEST_F(SummaryTest, ControlsAreNamedAtAnyDepthAndLaterNamesWin) {
  LogCapture log;
  Read(Wrap("[controls [button=3 name='First'] [button=3 name='Second'] [analogbutton=4 "
            "name='Skipped'] [ministick=0 [slider=0 [axis=0x31 name='Deep']]] [mouseaxis=5 "
            "name='Mouse']]"));
  EXPECT_EQ(summary_.control_names,
            (std::map<uint32_t, std::u16string>{{3, u"Second"}, {5, u"Mouse"}, {0x31, u"Deep"}}));
  EXPECT_EQ(log.Count(u"Control : 00000003 = \"First\""), 1);
  EXPECT_EQ(log.Count(u"Control : 00000003 = \"Second\""), 1);
  EXPECT_EQ(log.Count(u"Control : 00000031 = \"Deep\""), 1);
}

TEST_F(SummaryTest, DefaultShiftsAreThoseSelectedOnlyByShiftButtons) {
  LogCapture log;
  Read(profiles::Alpha(kMember, kController), ShiftButtonSet{{6, 6}});
  EXPECT_TRUE(summary_.default_shifts.at(profiles::kNormal));   // no selection set
  EXPECT_TRUE(summary_.default_shifts.at(profiles::kShifted));  // only button 6
  EXPECT_FALSE(summary_.default_shifts.at(profiles::kCombo));   // button 12 too
  EXPECT_EQ(log.Count(u"Shift : {B0000003-2222-4222-8200-000000000003} = \"Combo\" (Non-Default)"), 1);
  EXPECT_EQ(log.Count(u"Shift : {B0000001-2222-4222-8200-000000000001} = \"Normal\" (Default)"), 1);
}

TEST_F(SummaryTest, WithoutShiftButtonsOnlyShiftsWithoutButtonsAreDefault) {
  Read(profiles::Alpha(kMember, kController));
  EXPECT_TRUE(summary_.default_shifts.at(profiles::kNormal));
  EXPECT_FALSE(summary_.default_shifts.at(profiles::kShifted));
}

TEST_F(SummaryTest, EverySelectionButtonIsIgnoredInWalkOrderWithRepeats) {
  Read(profiles::Alpha(kMember, kController));
  EXPECT_EQ(summary_.command_ignore,
            (std::vector<IgnoredCommand>{{3, 6}, {3, 6}, {3, 12}, {3, 12}}));
}

TEST_F(SummaryTest, ButtonsOutsideTheThreeLevelsAreNotSeen) {
  Read(Wrap("[shifts [shift={B0000009-2222-4222-8200-000000000009} name='Loose' "
            "[selectionset [buttonhid=5]]]]"));
  EXPECT_TRUE(summary_.command_ignore.empty());
  EXPECT_TRUE(summary_.default_shifts.begin()->second);
}

TEST_F(SummaryTest, NoMatchingControllerLeavesControlsAndShiftsEmpty) {
  Read(profiles::Alpha(platform::Guid{}, platform::Guid{}));
  EXPECT_EQ(summary_.profile_name, u"Alpha");
  EXPECT_EQ(summary_.command_names.size(), 2u);
  EXPECT_TRUE(summary_.control_names.empty());
  EXPECT_TRUE(summary_.shift_names.empty());
  EXPECT_TRUE(summary_.command_ignore.empty());
}

TEST_F(SummaryTest, UnreadableFilesLeaveAResetSummary) {
  Read(profiles::Alpha(kMember, kController));
  EXPECT_EQ(ReadProfileSummary(u"", {}, Ids, &summary_), SummaryOutcome::kNotOpened);
  EXPECT_EQ(summary_.profile_name, u"No Profile");
  EXPECT_TRUE(summary_.command_names.empty());
  EXPECT_EQ(Read("[profile='Broken' [commands"), SummaryOutcome::kNotRead);
  EXPECT_EQ(summary_.profile_name, u"No Profile");
  EXPECT_EQ(Read("[controllers]"), SummaryOutcome::kRead);
  EXPECT_EQ(summary_.profile_name, u"No Profile");
}

}  // namespace
