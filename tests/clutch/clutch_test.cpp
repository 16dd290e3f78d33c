// The clutch against a simulated controller: where the profile root comes from, the list of a
// folder, and the event rule with its engage, step, choose, clear and release requests.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "clutch/clutch.h"
#include "platform/device_io.h"
#include "platform/files.h"
#include "session/device_session.h"
#include "support/session_rig.h"

namespace {

using Corvane::Vexmoor::CArdrithClutch;
using rig::fs::path;

constexpr uint32_t kProgram = 0xC1A7C400;
constexpr uint32_t kStepBack = 1;
constexpr uint32_t kChoose = 3;
constexpr uint32_t kStepOn = 5;
constexpr uint32_t kClear = 7;

class ClutchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = platform::OpenDevice(sim_.path(), platform::DeviceAccess::kReadWrite, true);
    ASSERT_NE(device_, nullptr);
    clutch_.SetDevice(device_);
    ASSERT_TRUE(session_.Setup(sim_.path()));
  }
  void TearDown() override { platform::CloseDevice(device_); }

  void Event(bool engaged, uint32_t type) { clutch_.HandleEvent(session_, engaged, type); }
  bool Init() { return clutch_.Init(session_); }
  std::vector<std::string> Shown() { return rig::Texts(sim_, "IOCTL_SET_CLUTCH_TEXT", "text"); }
  std::string LastShown() {
    const auto shown = Shown();
    return shown.empty() ? "" : shown.back();
  }
  // What the display shows for entry index of the current list.
  std::string Entry(size_t index) {
    const ProfileListEntry& entry = clutch_.profile_list().at(index);
    return rig::Narrow(entry.is_folder ? u"[" + entry.name + u"]" : entry.name);
  }
  void Profile(const path& relative) { rig::WriteFile(sim_.profiles() / relative); }
  void Folder(const path& relative) { rig::fs::create_directories(sim_.profiles() / relative); }

  rig::SimRig sim_{kProgram};
  platform::DeviceHandle device_ = nullptr;
  DeviceSession session_;
  CArdrithClutch clutch_;
};

std::vector<std::u16string> Names(const CClutch& clutch) {
  std::vector<std::u16string> names;
  for (const ProfileListEntry& entry : clutch.profile_list()) {
    names.push_back(entry.is_folder ? u"[" + entry.name + u"]" : entry.name);
  }
  return names;
}

using Names_t = std::vector<std::u16string>;

TEST_F(ClutchTest, RootFolderIsTheRegistryValueUnchanged) {
  ASSERT_TRUE(Init());
  EXPECT_EQ(clutch_.root_folder(), sim_.profiles().u16string());
  EXPECT_EQ(clutch_.member_guid(), sim_.config().member);
  EXPECT_EQ(clutch_.controller_guid(), sim_.config().controller);
}

TEST_F(ClutchTest, RootFolderWithoutRegistryValueIsCommonDocumentsCorvane) {
  test_env::RemoveMachineString(u"Software\\Corvane\\ProfileDirectories",
                                u"{" + platform::FormatGuid(sim_.config().member) + u"}");
  std::u16string documents;
  ASSERT_TRUE(platform::CommonDocumentsFolder(&documents));
  ASSERT_TRUE(Init());
  EXPECT_EQ(clutch_.root_folder(), documents + platform::kPathSeparator + u"Corvane");
}

TEST_F(ClutchTest, InitFailsWithoutMemberGuidAndKeepsTheRoot) {
  sim_.model().FailNext("pad", IOCTL_GET_MEMBER_GUID);
  EXPECT_FALSE(Init());
  EXPECT_EQ(clutch_.root_folder(), u"");
  sim_.model().FailNext("pad", IOCTL_GET_CONTROLLER_GUID);
  EXPECT_FALSE(Init());
  EXPECT_EQ(clutch_.root_folder(), sim_.profiles().u16string());
}

TEST_F(ClutchTest, ListHoldsFoldersThenProfilesAndNoOtherFiles) {
  Profile("a.pr0");
  Profile("b.txt");
  Profile("my.profile.pr0");
  Folder("X");
  Folder("Y/Deeper");
  ASSERT_TRUE(Init());
  clutch_.BuildList();
  Names_t names = Names(clutch_);
  ASSERT_EQ(names.size(), 4u);
  // Folders first, then profiles; within a group the file system's order.
  std::sort(names.begin(), names.begin() + 2);
  std::sort(names.begin() + 2, names.end());
  EXPECT_EQ(names, (Names_t{u"[X]", u"[Y]", u"a", u"my.profile"}));
}

TEST_F(ClutchTest, FolderWithOtherFilesOnlyListsItsSubFolders) {
  Profile("notes.txt");
  Profile("readme");
  Folder("Jets");
  ASSERT_TRUE(Init());
  clutch_.BuildList();
  EXPECT_EQ(Names(clutch_), (Names_t{u"[Jets]"}));
}

TEST_F(ClutchTest, EmptyRootShowsNoItemsAndStepsDoNothing) {
  ASSERT_TRUE(Init());
  Event(true, 0);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"No Items"}));
  EXPECT_EQ(sim_.State().clutch_mode, 1u);
  Event(true, kStepOn);
  Event(true, kStepBack);
  Event(true, kChoose);
  EXPECT_EQ(Shown().size(), 1u);
  EXPECT_TRUE(sim_.Records("IOCTL_PROFILE_LOAD").empty());
  Event(false, 0);
  EXPECT_EQ(sim_.State().clutch_mode, 0u);
}

// An empty root names no folder: it is never browsed as the file system's root, so nothing is
// listed and nothing can be loaded from there.
TEST_F(ClutchTest, EmptyRootListsNothingAndLoadsNothing) {
  const std::u16string value = u"{" + platform::FormatGuid(sim_.config().member) + u"}";
  test_env::WriteMachineString(u"Software\\Corvane\\ProfileDirectories", value, u"");
  ASSERT_TRUE(Init());
  ASSERT_EQ(clutch_.root_folder(), u"");
  Event(true, 0);
  EXPECT_TRUE(clutch_.profile_list().empty());
  Event(true, kChoose);
  Event(true, kStepOn);
  EXPECT_EQ(Shown(), (std::vector<std::string>{"No Items"}));
  EXPECT_TRUE(sim_.Records("IOCTL_PROFILE_LOAD").empty());
}

TEST_F(ClutchTest, MissingRootShowsNoItems) {
  rig::fs::remove_all(sim_.profiles());
  ASSERT_TRUE(Init());
  Event(true, 0);
  EXPECT_TRUE(clutch_.profile_list().empty());
  EXPECT_EQ(LastShown(), "No Items");
}

TEST_F(ClutchTest, EmptySubFolderListsOnlyTheParent) {
  Folder("Empty");
  ASSERT_TRUE(Init());
  Event(true, 0);
  EXPECT_EQ(LastShown(), "[Empty]");
  Event(true, kChoose);
  EXPECT_EQ(clutch_.current_folder(), std::u16string(1, platform::kPathSeparator) + u"Empty");
  EXPECT_EQ(Names(clutch_), (Names_t{u"[..]"}));
  EXPECT_EQ(LastShown(), "[..]");
}

TEST_F(ClutchTest, SteppingWrapsAroundBothWays) {
  Profile("a.pr0");
  Profile("b.pr0");
  Profile("c.pr0");
  ASSERT_TRUE(Init());
  Event(true, 0);
  Event(true, kStepBack);  // from the first to the third
  Event(true, 0);
  Event(true, kStepOn);    // from the third to the first
  EXPECT_EQ(Shown(), (std::vector<std::string>{Entry(0), Entry(2), Entry(0)}));
}

TEST_F(ClutchTest, RepeatedTypeActsOnceUntilAnotherTypeIsStored) {
  Profile("a.pr0");
  Profile("b.pr0");
  Profile("c.pr0");
  ASSERT_TRUE(Init());
  Event(true, 0);
  Event(true, kStepOn);
  Event(true, kStepOn);
  Event(true, 0);
  Event(true, kStepOn);
  EXPECT_EQ(Shown(), (std::vector<std::string>{Entry(0), Entry(1), Entry(2)}));
  EXPECT_EQ(clutch_.last_event_type(), kStepOn);
}

TEST_F(ClutchTest, EngagingEventsTypeIsNeitherActedOnNorStored) {
  Profile("a.pr0");
  Profile("b.pr0");
  ASSERT_TRUE(Init());
  Event(true, kStepOn);
  EXPECT_EQ(clutch_.last_event_type(), 0u);
  EXPECT_EQ(Shown(), (std::vector<std::string>{Entry(0)}));
  Event(true, kStepOn);
  EXPECT_EQ(Shown(), (std::vector<std::string>{Entry(0), Entry(1)}));
}

TEST_F(ClutchTest, LastTypeSurvivesRelease) {
  Profile("a.pr0");
  Profile("b.pr0");
  Profile("c.pr0");
  ASSERT_TRUE(Init());
  Event(true, 0);
  Event(true, kStepOn);
  Event(false, 0);
  EXPECT_EQ(clutch_.last_event_type(), kStepOn);
  Event(true, 0);
  Event(true, kStepOn);  // the stored type: nothing
  Event(true, kStepBack);
  EXPECT_EQ(Shown(), (std::vector<std::string>{Entry(0), Entry(1), Entry(0), Entry(2)}));
}

TEST_F(ClutchTest, ParentEntryReturnsToTheRootWithoutParent) {
  Folder("A");
  Profile("z.pr0");
  ASSERT_TRUE(Init());
  Event(true, 0);
  Event(true, kChoose);
  Event(true, 0);
  Event(true, kChoose);  // "[..]", the only entry of A
  EXPECT_EQ(clutch_.current_folder(), u"");
  EXPECT_EQ(Names(clutch_), (Names_t{u"[A]", u"z"}));
  EXPECT_EQ(Shown(), (std::vector<std::string>{"[A]", "[..]", "[A]"}));
}

TEST_F(ClutchTest, ChoosingAProfileInASubFolderLoadsAndActivatesItsPath) {
  Profile("A/MyProfile.pr0");
  ASSERT_TRUE(Init());
  Event(true, 0);
  Event(true, kChoose);  // into A
  Event(true, 0);
  Event(true, kStepOn);  // from "[..]" to MyProfile
  Event(true, 0);
  Event(true, kChoose);
  const auto loads = sim_.Records("IOCTL_PROFILE_LOAD");
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(rig::Field(loads[0], "path"), "$ROOT/profiles/A/MyProfile.pr0");
  const auto activations = sim_.Records("IOCTL_PROFILE_ACTIVATE");
  ASSERT_EQ(activations.size(), 1u);
  EXPECT_EQ(rig::Field(activations[0], "id"), rig::Field(loads[0], "id"));
  EXPECT_EQ(sim_.State().active_profile, 1u);
  EXPECT_EQ(LastShown(), "MyProfile");  // the display keeps the chosen entry
}

TEST_F(ClutchTest, FailedLoadSendsNoActivation) {
  Profile("a.pr0");
  ASSERT_TRUE(Init());
  Event(true, 0);
  sim_.model().FailNext("pad", IOCTL_PROFILE_LOAD);
  Event(true, kChoose);
  EXPECT_EQ(sim_.Records("IOCTL_PROFILE_LOAD").size(), 1u);
  EXPECT_TRUE(sim_.Records("IOCTL_PROFILE_ACTIVATE").empty());
}

TEST_F(ClutchTest, ClearSendsClearAndShowsNothingNew) {
  Profile("a.pr0");
  ASSERT_TRUE(Init());
  sim_.model().LoadAndActivate("pad", (sim_.profiles() / "a.pr0").u16string(), false);
  Event(true, 0);
  Event(true, kClear);
  EXPECT_EQ(sim_.Records("IOCTL_PROFILE_CLEAR").size(), 1u);
  EXPECT_EQ(sim_.State().active_profile, 0u);
  EXPECT_EQ(Shown().size(), 1u);
}

TEST_F(ClutchTest, EngageAgainRebuildsTheFolderBrowsedLast) {
  Profile("A/one.pr0");
  Profile("A/two.pr0");
  ASSERT_TRUE(Init());
  Event(true, 0);
  Event(true, kChoose);
  Event(true, 0);
  Event(true, kStepOn);
  Event(false, 0);
  Profile("A/three.pr0");
  Event(true, 0);
  EXPECT_EQ(LastShown(), "[..]");
  EXPECT_EQ(clutch_.selected_index(), 0u);
  EXPECT_EQ(clutch_.profile_list().size(), 4u);
  EXPECT_EQ(sim_.State().clutch_mode, 1u);
}

TEST_F(ClutchTest, NotificationHearsEngageAndRelease) {
  std::vector<bool> heard;
  clutch_.SetNotification(
      [](void* context, bool engaged) { static_cast<std::vector<bool>*>(context)->push_back(engaged); },
      &heard);
  ASSERT_TRUE(Init());
  Event(true, 0);
  Event(true, 0);
  Event(false, 0);
  Event(false, 3);
  EXPECT_EQ(heard, (std::vector<bool>{true, false}));
  clutch_.SetNotification(nullptr, nullptr);
  Event(true, 0);
  EXPECT_EQ(heard.size(), 2u);
}

TEST_F(ClutchTest, SessionClutchShowsInDisplayStringTwo) {
  Profile("Racing/x.pr0");
  CClutch own;
  ASSERT_TRUE(own.Init(session_));
  own.HandleEvent(session_, true, 0);
  EXPECT_EQ(sim_.State().display[rig::kProfileClear], u"[Racing]");
  EXPECT_TRUE(sim_.Records("IOCTL_SET_CLUTCH_TEXT").empty());
  EXPECT_TRUE(own.HandleEvent(session_, false, 0));
}

}  // namespace
