// The display state of a session on a simulated controller: the active profile's path, the
// summary it builds, the shift indicator, the command text, and the output enabled setting.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

#include "display/display_state.h"
#include "session/device_session.h"
#include "support/profiles.h"
#include "support/session_rig.h"

namespace {

constexpr uint32_t kProgram = 0xD15B1A00;
constexpr uint32_t kHat = 2;
constexpr uint32_t kButton = 3;

class DisplayTest : public ::testing::Test {
 protected:
  // Writes Alpha for the rig's controller into the profile folder and makes it active.
  void ActivateAlpha() {
    const auto file = sim_.profiles() / "alpha.pr0";
    rig::WriteDocument(file, profiles::Alpha(sim_.config().member, sim_.config().controller));
    sim_.model().LoadAndActivate("pad", file.u16string(), false);
  }

  // Constructs and sets up the session with output enabled on or off.
  void Start(bool output_enabled = false) {
    test_env::DisplayStrings setting(output_enabled);
    session_ = std::make_unique<DeviceSession>();
    ASSERT_TRUE(session_->Setup(sim_.path()));
  }

  CDisplayState& display() { return session_->display_state(); }

  // Runs raise once the wait request of code is outstanding, and returns once the session's
  // thread has handled the completion and waits again.
  void Deliver(uint32_t code, const std::function<void()>& raise) {
    ASSERT_TRUE(sim_.model().WaitForOutstanding("pad", code, 5000));
    const uint64_t issued = sim_.Issued(code);
    raise();
    ASSERT_TRUE(sim_.model().WaitForIssued("pad", code, issued + 1, 5000));
  }

  void Command(const platform::Guid& command, uint32_t control, uint32_t kind, uint32_t state) {
    Deliver(IOCTL_WAIT_COMMAND, [&] {
      CommandRecord record;
      record.control = control;
      record.kind = kind;
      record.state = state;
      record.command = command;
      sim_.model().RaiseCommand("pad", record);
    });
  }

  void Shift(const platform::Guid& shift) {
    Deliver(IOCTL_WAIT_SHIFT_CHANGE, [&] { sim_.model().SetShiftState("pad", shift); });
  }

  void ProfileChange(const rig::fs::path& file, bool relative = false) {
    Deliver(IOCTL_WAIT_PROFILE_CHANGE,
            [&] { sim_.model().LoadAndActivate("pad", file.u16string(), relative); });
  }

  rig::SimRig sim_{kProgram};
  std::unique_ptr<DeviceSession> session_;
};

TEST_F(DisplayTest, AbsoluteProfilePathGivesItsSummary) {
  ActivateAlpha();
  Start();
  EXPECT_EQ(display().profile_text(), u"Alpha");
  const ProfileSummary summary = display().summary();
  EXPECT_EQ(summary.command_names.size(), 2u);  // the string command has no name to show
  EXPECT_EQ(summary.shift_names.at(profiles::kShifted), u"Shifted");
}

TEST_F(DisplayTest, RelativeProfilePathIsAppendedToTheWindowsFolder) {
  std::u16string windows;
  ASSERT_TRUE(platform::WindowsFolderFromShell(&windows) || platform::WindowsDirectory(&windows));
  const rig::fs::path file = rig::fs::path(windows) / "Profiles" / "a.pr0";
  rig::WriteDocument(file, profiles::Alpha(sim_.config().member, sim_.config().controller));
  const std::u16string relative = std::u16string(u"Profiles") + platform::kPathSeparator + u"a.pr0";
  sim_.model().LoadAndActivate("pad", relative, true);
  Start();
  EXPECT_EQ(display().profile_text(), u"Alpha");
  rig::fs::remove_all(rig::fs::path(windows) / "Profiles");
}

TEST_F(DisplayTest, TooSmallBufferIsAskedForOnceMore) {
  ActivateAlpha();
  sim_.model().InjectPathKind("pad", 2);
  Start();
  const auto queries = sim_.Records("IOCTL_PROFILE_GET_PATH");
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(rig::Field(queries[0], "kind"), "2");
  EXPECT_EQ(rig::Field(queries[1], "kind"), "0");
  EXPECT_EQ(display().profile_text(), u"Alpha");
}

TEST_F(DisplayTest, PathFailuresShowNoProfile) {
  ActivateAlpha();
  sim_.model().InjectPathKind("pad", 3);
  Start();
  EXPECT_EQ(sim_.Records("IOCTL_PROFILE_GET_PATH").size(), 2u);
  EXPECT_EQ(display().profile_text(), u"No Profile");

  // A path of 260 units does not fit with its terminator.
  const std::u16string long_path =
      (sim_.profiles() / std::u16string(260 - sim_.profiles().u16string().size() - 1, u'p'))
          .u16string();
  ASSERT_EQ(long_path.size(), 260u);
  ProfileChange(long_path);
  EXPECT_EQ(display().profile_text(), u"No Profile");
}

TEST_F(DisplayTest, NoActiveProfileShowsNoProfile) {
  Start();
  EXPECT_EQ(display().profile_text(), u"No Profile");
  EXPECT_EQ(display().shift_text(), u"");
  EXPECT_EQ(sim_.State().shift_indicator, 0u);
}

TEST_F(DisplayTest, CommandTextFollowsTheMostRecentActiveCommand) {
  ActivateAlpha();
  Start();
  std::vector<std::u16string> texts;
  Command(profiles::kGear, 1, kButton, 1);
  texts.push_back(display().command_text());
  Command(profiles::kFlaps, 2, kButton, 1);
  texts.push_back(display().command_text());
  Command(profiles::kFlaps, 2, kButton, 0);
  texts.push_back(display().command_text());
  Command(profiles::kGear, 1, kButton, 0);
  texts.push_back(display().command_text());
  EXPECT_EQ(texts, (std::vector<std::u16string>{u"Gear", u"Flaps", u"Gear", u""}));
}

TEST_F(DisplayTest, RepeatedPressLeavesOneEntry) {
  ActivateAlpha();
  Start();
  Command(profiles::kGear, 1, kButton, 1);
  Command(profiles::kGear, 1, kButton, 1);
  EXPECT_EQ(display().active_commands().size(), 1u);
  Command(profiles::kGear, 1, kHat, 1);  // another kind on the same number is another entry
  EXPECT_EQ(display().active_commands().size(), 2u);
}

TEST_F(DisplayTest, ShiftSelectionButtonIsIgnoredOnlyAsAButton) {
  ActivateAlpha();
  Start();
  Command(profiles::kGear, 6, kButton, 1);
  Command(profiles::kGear, 12, kButton, 1);
  EXPECT_TRUE(display().active_commands().empty());
  EXPECT_EQ(display().command_text(), u"");
  Command(profiles::kGear, 6, kHat, 1);
  EXPECT_EQ(display().command_text(), u"Gear");
  Command(profiles::kFlaps, 6, 1, 1);  // an axis: not a command event that is shown
  EXPECT_EQ(display().command_text(), u"Gear");
  EXPECT_EQ(display().active_commands().size(), 1u);
}

TEST_F(DisplayTest, UnknownCommandIsNamedByItsControl) {
  ActivateAlpha();
  Start();
  Command(profiles::kUnknown, 9, kButton, 1);
  EXPECT_EQ(display().command_text(), u"Spare");
  Command(profiles::kHello, 7, kHat, 1);  // string commands are not named
  EXPECT_EQ(display().command_text(), u"Coolie");
  Command(profiles::kUnknown, 99, kButton, 1);
  EXPECT_EQ(display().command_text(), u"");
}

TEST_F(DisplayTest, ShiftIndicatorFollowsTheShiftState) {
  ActivateAlpha();
  sim_.model().SetShiftState("pad", profiles::kShifted);
  Start();
  // The summary built while the session is set up sees no shift buttons yet: Shifted, selected
  // by the shift button, counts as a non-default state.
  EXPECT_EQ(display().shift_text(), u"Shifted");
  EXPECT_EQ(sim_.State().shift_indicator, 1u);
  Shift(platform::Guid{});
  EXPECT_EQ(display().shift_text(), u"");
  EXPECT_EQ(sim_.State().shift_indicator, 0u);
  Shift(profiles::kCombo);
  EXPECT_EQ(sim_.State().shift_indicator, 1u);
  Shift(profiles::kNormal);
  EXPECT_EQ(display().shift_text(), u"Normal");
  EXPECT_EQ(sim_.State().shift_indicator, 0u);
}

TEST_F(DisplayTest, ProfileChangeSeesShiftButtonsAndResendsTheIndicator) {
  ActivateAlpha();
  sim_.model().SetShiftState("pad", profiles::kShifted);
  Start();
  EXPECT_FALSE(display().summary().default_shifts.at(profiles::kShifted));
  const size_t sent = sim_.Records("IOCTL_SET_SHIFT_INDICATOR").size();
  ProfileChange(sim_.profiles() / "alpha.pr0");
  // Now the output configuration's shift button 6 is known: Shifted is a default state.
  EXPECT_TRUE(display().summary().default_shifts.at(profiles::kShifted));
  EXPECT_FALSE(display().summary().default_shifts.at(profiles::kCombo));
  const auto records = sim_.Records("IOCTL_SET_SHIFT_INDICATOR");
  ASSERT_EQ(records.size(), sent + 1);
  EXPECT_EQ(rig::Field(records.back(), "on"), "0");
}

// A session that changes the profile and ends at once (a clutch choose) still reports the new
// profile: the pause after the change is not cut short by the stop.
TEST_F(DisplayTest, ProfileChangeRightBeforeTheSessionEndsStillSetsTheIndicator) {
  const auto file = sim_.profiles() / "alpha.pr0";
  rig::WriteDocument(file, profiles::Alpha(sim_.config().member, sim_.config().controller));
  sim_.model().SetShiftState("pad", profiles::kCombo);
  Start();
  ASSERT_EQ(sim_.State().shift_indicator, 0u);  // no profile: no shift state matches
  const size_t sent = sim_.Records("IOCTL_SET_SHIFT_INDICATOR").size();
  ASSERT_TRUE(sim_.model().WaitForOutstanding("pad", IOCTL_WAIT_PROFILE_CHANGE, 5000));
  sim_.model().LoadAndActivate("pad", file.u16string(), false);
  session_.reset();
  const auto records = sim_.Records("IOCTL_SET_SHIFT_INDICATOR");
  ASSERT_EQ(records.size(), sent + 1);
  EXPECT_EQ(rig::Field(records.back(), "on"), "1");  // Combo is not a default shift of Alpha
  EXPECT_EQ(sim_.State().shift_indicator, 1u);
}

TEST_F(DisplayTest, SecondProfileReplacesEveryName) {
  ActivateAlpha();
  Start();
  ASSERT_FALSE(display().summary().control_names.empty());
  const auto beta = sim_.profiles() / "beta.pr0";
  rig::WriteDocument(beta, profiles::Beta());
  ProfileChange(beta);
  const ProfileSummary summary = display().summary();
  EXPECT_EQ(summary.profile_name, u"Beta");
  EXPECT_EQ(display().profile_text(), u"Beta");
  ASSERT_EQ(summary.command_names.size(), 1u);
  EXPECT_EQ(summary.command_names.begin()->second, u"Lights");
  EXPECT_TRUE(summary.control_names.empty());
  EXPECT_TRUE(summary.shift_names.empty());
  EXPECT_TRUE(summary.default_shifts.empty());
  EXPECT_TRUE(summary.command_ignore.empty());
}

TEST_F(DisplayTest, OutputDisabledKeepsTextsButWritesNoString) {
  ActivateAlpha();
  Start(false);
  EXPECT_FALSE(display().output_enabled());
  Shift(profiles::kShifted);
  Command(profiles::kGear, 1, kButton, 1);
  ProfileChange(sim_.profiles() / "alpha.pr0");
  EXPECT_EQ(display().shift_text(), u"Shifted");
  EXPECT_EQ(display().command_text(), u"Gear");
  EXPECT_TRUE(sim_.Records("IOCTL_SET_STRING").empty());
  // The session's own clutch does not act either.
  Deliver(IOCTL_WAIT_CLUTCH_STATE, [&] { sim_.model().SetClutchState("pad", 1, 0); });
  EXPECT_TRUE(sim_.Records("IOCTL_SET_CLUTCH_MODE").empty());
}

TEST_F(DisplayTest, OutputEnabledWritesTheThreeStrings) {
  ActivateAlpha();
  Start(true);
  EXPECT_TRUE(display().output_enabled());
  // Setup writes what the display's initialisation wrote once the output tables are loaded:
  // the profile text, then the shift text; never the command line, which it would clear.
  EXPECT_EQ(sim_.State().display[rig::kProfileClear], u"Alpha");
  EXPECT_EQ(rig::Texts(sim_, "IOCTL_SET_STRING", "clear"),
            (std::vector<std::string>{std::to_string(rig::kProfileClear),
                                      std::to_string(rig::kShiftClear)}));
  Shift(profiles::kNormal);
  EXPECT_EQ(sim_.State().display[rig::kShiftClear], u"Normal");
  Command(profiles::kFlaps, 2, kButton, 1);
  EXPECT_EQ(sim_.State().display[rig::kCommandClear], u"Flaps");
  Command(profiles::kFlaps, 2, kButton, 0);
  EXPECT_EQ(sim_.State().display[rig::kCommandClear], u"");
}

TEST_F(DisplayTest, SessionClutchShowsItsEntryUntilReleased) {
  ActivateAlpha();
  Start(true);
  Deliver(IOCTL_WAIT_CLUTCH_STATE, [&] { sim_.model().SetClutchState("pad", 1, 0); });
  EXPECT_EQ(sim_.State().display[rig::kProfileClear], u"alpha");
  EXPECT_EQ(sim_.State().clutch_mode, 1u);
  Deliver(IOCTL_WAIT_CLUTCH_STATE, [&] { sim_.model().SetClutchState("pad", 0, 0); });
  EXPECT_EQ(sim_.State().display[rig::kProfileClear], u"Alpha");
  EXPECT_EQ(sim_.State().clutch_mode, 0u);
}

TEST_F(DisplayTest, ClutchWithoutMemberGuidLeavesTheDefaultsAndStartsNoThread) {
  ActivateAlpha();
  sim_.model().FailNext("pad", IOCTL_GET_MEMBER_GUID);
  Start(true);
  EXPECT_TRUE(sim_.Records("IOCTL_SET_STRING").empty()) << "nothing was initialised to show";
  EXPECT_EQ(display().shift_text(), u"Mode 1");
  EXPECT_EQ(display().command_text(), u"");
  EXPECT_EQ(display().profile_text(), u"No Profile");
  session_.reset();
  EXPECT_EQ(sim_.Issued(IOCTL_WAIT_CLUTCH_STATE), 0u);
  EXPECT_EQ(sim_.Issued(IOCTL_WAIT_PROFILE_CHANGE), 0u);
  EXPECT_EQ(sim_.Issued(IOCTL_WAIT_SHIFT_CHANGE), 0u);
  EXPECT_EQ(sim_.Issued(IOCTL_WAIT_COMMAND), 0u);
  EXPECT_TRUE(sim_.Records("IOCTL_PROFILE_GET_PATH").empty());
}

}  // namespace
