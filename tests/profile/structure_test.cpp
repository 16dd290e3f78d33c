// The profile vocabulary as a whole and its structural elements: registration, profile,
// controller and member values, the member name fill-in, tag matching and FindController.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "output/output_nodes.h"
#include "platform/guid.h"
#include "profile/profile_nodes.h"
#include "support/vocabulary_documents.h"

namespace profile = VexNode::profile;
using vocabulary_test::ChildAs;
using vocabulary_test::ReadText;
using vocabulary_test::ReadProfile;
using vocabulary_test::Guid;
using vocabulary_test::RegistrationLog;

namespace {

const char16_t kMemberA[] = u"4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40";
const char16_t kMemberB[] = u"DF057CA1-2681-43E8-95FD-FFAF1FADEFDC";
const char16_t kControllerA[] = u"C3E1F5A7-9B2D-4E6F-8A0C-1B3D5F7E9A2C";
const char16_t kControllerB[] = u"E3344098-EA35-410B-9F5C-5EF4B14592A7";

}  // namespace

TEST(ProfileVocabulary, RegistersTheFortySixElementsInOrderEachCreatingItsOwnKind) {
  RegistrationLog log;
  profile::RegisterProfileNodes(&log);
  const std::vector<std::u16string> expected = {
      u"profile", u"controllers", u"controller", u"member", u"controls", u"shifts", u"shift",
      u"shiftcommand", u"selectionset", u"buttoncombo", u"buttonhid", u"assignments",
      u"ministick", u"slider", u"mousepointer", u"axis", u"mouseaxis", u"button", u"hat",
      u"analogbutton", u"calibration", u"bands", u"mouse", u"mouse-x", u"mouse-y",
      u"directional", u"report-as", u"envelope", u"sensitivity", u"points", u"point", u"maps",
      u"map", u"band", u"commands", u"actioncommand", u"actionblock", u"action", u"string",
      u"cyclecommand", u"cycle", u"temporalcommand", u"temporal", u"stringcommand", u"blasts",
      u"blast"};
  ASSERT_EQ(log.entries.size(), expected.size());
  profile::CProfileNode parent(nullptr);
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& [tag, creator] = log.entries[i];
    EXPECT_EQ(std::u16string(tag), expected[i]);
    VexNode::CNode* node = creator(&parent);
    EXPECT_EQ(node->GetTagName(), tag) << "creator " << i;
    EXPECT_EQ(parent.Children().back(), node);
  }
  // The two string elements are different kinds.
  EXPECT_NE(static_cast<const void*>(profile::kTagString),
            static_cast<const void*>(VexNode::lumivoxdriver::kTagString));
}

TEST(ProfileStructure, InitialValuesAndValuesRead) {
  profile::CProfileNode fresh(nullptr);
  EXPECT_EQ(fresh.version, 0x01000001);
  EXPECT_EQ(fresh.value, u"");

  auto root = ReadProfile(
      u"[profile='Cessna 172' VERSION=0x02000000 [controllers"
      u" [controller={C3E1F5A7-9B2D-4E6F-8A0C-1B3D5F7E9A2C} Group='Throttle Quadrant'"
      u"  [member=4a7d2e91-3b6c-4f80-a1d5-9e8c7b6a5f40 name='Throttle Unit' shortname='TQ']]]]");
  ASSERT_NE(root, nullptr);
  const auto& read = static_cast<const profile::CProfileNode&>(*root);
  EXPECT_EQ(read.value, u"Cessna 172");
  EXPECT_EQ(read.version, 0x02000000);
  const auto& controller = ChildAs<profile::CControllerNode>(*root->Children().at(0), 0);
  EXPECT_EQ(controller.value, Guid(kControllerA));
  EXPECT_EQ(controller.group, u"Throttle Quadrant");
  const auto& member = ChildAs<profile::CMemberNode>(controller, 0);
  EXPECT_EQ(member.value, Guid(kMemberA));
  EXPECT_EQ(member.name, u"Throttle Unit");
  EXPECT_EQ(member.shortname, u"TQ");

  auto bare = ReadProfile(u"[profile [controllers [controller [member]]]]");
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(static_cast<const profile::CProfileNode&>(*bare).version, 0x01000001);
  const auto& bare_controller = ChildAs<profile::CControllerNode>(*bare->Children().at(0), 0);
  EXPECT_TRUE(bare_controller.value.IsNull());
  EXPECT_EQ(bare_controller.group, u"");
}

TEST(ProfileStructure, MemberNamesFillEachOtherIn) {
  auto root = ReadProfile(
      u"[controller [member shortname='Pedals'] [member name='Skyhelm Stick'] [member]"
      u" [member name='Long' shortname='S']]");
  ASSERT_NE(root, nullptr);
  const auto& only_short = ChildAs<profile::CMemberNode>(*root, 0);
  EXPECT_EQ(only_short.name, u"Pedals");
  EXPECT_EQ(only_short.shortname, u"Pedals");
  const auto& only_name = ChildAs<profile::CMemberNode>(*root, 1);
  EXPECT_EQ(only_name.name, u"Skyhelm Stick");
  EXPECT_EQ(only_name.shortname, u"Skyhelm Stick");
  const auto& neither = ChildAs<profile::CMemberNode>(*root, 2);
  EXPECT_EQ(neither.name, u"");
  EXPECT_EQ(neither.shortname, u"");
  const auto& both = ChildAs<profile::CMemberNode>(*root, 3);
  EXPECT_EQ(both.name, u"Long");
  EXPECT_EQ(both.shortname, u"S");
}

TEST(ProfileStructure, TagsMatchOnlyInTheirOwnCase) {
  auto root = ReadProfile(
      u"[profile='P' [Profile='Inner' [commands]] [AXIS=1 [axis=2]] [controls [axis=3]]]");
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->Children().size(), 1u);
  const VexNode::CNode& controls = *root->Children().at(0);
  EXPECT_EQ(controls.GetTagName(), profile::kTagControls);
  ASSERT_EQ(controls.Children().size(), 1u);
  EXPECT_EQ(ChildAs<profile::CAxisNode>(controls, 0).value, 3);
  EXPECT_EQ(VexNode::FindNode(root.get(), profile::kTagCommands), nullptr);
}

class FindControllerTest : public testing::Test {
 protected:
  // Controller A lists members A and B, controller B lists member B again.
  void SetUp() override {
    root_ = ReadProfile(
        u"[profile [commands] [controllers"
        u" [controller={C3E1F5A7-9B2D-4E6F-8A0C-1B3D5F7E9A2C} group='first'"
        u"  [controls] [member={4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40}]"
        u"  [member={DF057CA1-2681-43E8-95FD-FFAF1FADEFDC}]]"
        u" [controller={E3344098-EA35-410B-9F5C-5EF4B14592A7} group='second'"
        u"  [member={DF057CA1-2681-43E8-95FD-FFAF1FADEFDC}]]"
        u" [controller={E3344098-EA35-410B-9F5C-5EF4B14592A7} group='third']]]");
    ASSERT_NE(root_, nullptr);
  }

  std::u16string GroupFound(const platform::Guid* member, const platform::Guid* controller) {
    const profile::CControllerNode* found = profile::FindController(root_.get(), member, controller);
    return found == nullptr ? u"none" : std::u16string(found->group.View());
  }

  std::unique_ptr<VexNode::CNode> root_;
};

TEST_F(FindControllerTest, MemberWinsOverControllerAndTheFirstInDocumentOrderWins) {
  const platform::Guid member_a = Guid(kMemberA), member_b = Guid(kMemberB);
  const platform::Guid controller_a = Guid(kControllerA), controller_b = Guid(kControllerB);
  EXPECT_EQ(GroupFound(&member_a, &controller_b), u"first");
  EXPECT_EQ(GroupFound(&member_b, nullptr), u"first");
  const platform::Guid unknown = Guid(u"00000000-0000-0000-0000-000000000001");
  EXPECT_EQ(GroupFound(&unknown, &controller_b), u"second");
  EXPECT_EQ(GroupFound(&unknown, nullptr), u"none");
  EXPECT_EQ(GroupFound(nullptr, &controller_a), u"first");
  EXPECT_EQ(GroupFound(nullptr, &unknown), u"none");
  EXPECT_EQ(GroupFound(nullptr, nullptr), u"none");
}

TEST(FindController, SearchesFromARootThatIsTheControllersNodeItself) {
  auto root = ReadProfile(
      u"[controllers [controller={C3E1F5A7-9B2D-4E6F-8A0C-1B3D5F7E9A2C} group='only']]");
  ASSERT_NE(root, nullptr);
  const platform::Guid controller = Guid(kControllerA);
  const profile::CControllerNode* found = profile::FindController(root.get(), nullptr, &controller);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->group, u"only");
  EXPECT_EQ(profile::FindController(nullptr, nullptr, &controller), nullptr);
}

TEST(FindController, OnlyDirectChildrenOfTheFirstControllersNodeCount) {
  // A member nested deeper than a controller's children does not count, nor does a second
  // controllers node.
  auto root = ReadProfile(
      u"[profile [controllers [controller={C3E1F5A7-9B2D-4E6F-8A0C-1B3D5F7E9A2C} group='outer'"
      u"   [controls [member={4A7D2E91-3B6C-4F80-A1D5-9E8C7B6A5F40}]]]]"
      u" [controllers [controller={E3344098-EA35-410B-9F5C-5EF4B14592A7} group='later']]]");
  ASSERT_NE(root, nullptr);
  const platform::Guid member = Guid(kMemberA), controller = Guid(kControllerB);
  EXPECT_EQ(profile::FindController(root.get(), &member, nullptr), nullptr);
  EXPECT_EQ(profile::FindController(root.get(), &member, &controller), nullptr);
}
