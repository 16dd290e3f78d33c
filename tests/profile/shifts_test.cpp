// Shift and assignment nodes: shift attributes with the used table, selection sets and HID
// buttons.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/guid.h"
#include "profile/profile_nodes.h"
#include "support/vocabulary_documents.h"

namespace profile = VexNode::profile;
using vocabulary_test::ChildAs;
using vocabulary_test::ReadText;
using vocabulary_test::ReadProfile;
using vocabulary_test::Guid;

namespace {

}  // namespace

TEST(ProfileShifts, ShiftListCanEditIsTrueOnlyWhenAbsentOrTrue) {
  auto root = ReadProfile(
      u"[controller [shifts] [shifts can_edit=TRUE] [shifts can_edit=yes] [shifts Can_Edit=false]]");
  ASSERT_NE(root, nullptr);
  std::vector<bool> values;
  for (size_t i = 0; i < 4; ++i) values.push_back(ChildAs<profile::CShiftListNode>(*root, i).can_edit);
  EXPECT_EQ(values, std::vector<bool>({true, true, false, false}));
}

TEST(ProfileShifts, ShiftAttributesAndTheUsedTable) {
  auto root = ReadProfile(
      u"[shifts [shift={EF567C31-0EB8-49B3-92EF-6ADC4849056B} fallback={CB939691-2B9C-4896-9799-7AFBFB9E7CDC}"
      u"   name='Shifted' used=always]"
      u" [shift used=false] [shift used=TRUE] [shift] [shift used=sometimes]"
      u" [shift fallback=CB939691-2B9C-4896-9799-7AFBFB9E7CD]]");
  ASSERT_NE(root, nullptr);
  const auto& shift = ChildAs<profile::CShiftNode>(*root, 0);
  EXPECT_EQ(shift.value, Guid(u"EF567C31-0EB8-49B3-92EF-6ADC4849056B"));
  EXPECT_EQ(shift.fallback, Guid(u"CB939691-2B9C-4896-9799-7AFBFB9E7CDC"));
  EXPECT_EQ(shift.name, u"Shifted");
  std::vector<int32_t> used;
  for (size_t i = 0; i < 5; ++i) used.push_back(ChildAs<profile::CShiftNode>(*root, i).used);
  EXPECT_EQ(used, std::vector<int32_t>({1, 0, 2, 2, 2}));
  // A GUID text of 35 units is the null GUID.
  EXPECT_TRUE(ChildAs<profile::CShiftNode>(*root, 5).fallback.IsNull());
}

TEST(ProfileShifts, SelectionSetsButtonCombosAndHidButtons) {
  auto root = ReadProfile(
      u"[shift [selectionset [buttoncombo [buttonhid=6] [buttonhid=0x0A]] [buttoncombo [buttonhid]]"
      u"  [buttonhid=9]]"
      u" [shiftcommand={EF567C31-0EB8-49B3-92EF-6ADC4849056B} parameter=3] [assignments [shiftcommand]]]");
  ASSERT_NE(root, nullptr);
  const VexNode::CNode& set = *root->Children().at(0);
  EXPECT_EQ(set.GetTagName(), profile::kTagSelectionSet);
  const VexNode::CNode& combo = *set.Children().at(0);
  EXPECT_EQ(combo.GetTagName(), profile::kTagButtonCombo);
  EXPECT_EQ(ChildAs<profile::CButtonHidNode>(combo, 0).value, 6);
  EXPECT_EQ(ChildAs<profile::CButtonHidNode>(combo, 1).value, 10);
  EXPECT_EQ(ChildAs<profile::CButtonHidNode>(combo, 1).Kind(), 2);
  EXPECT_EQ(ChildAs<profile::CButtonHidNode>(*set.Children().at(1), 0).value, 0);
  // Loaded where it stands, though the three-level walk of the readers would not see it.
  EXPECT_EQ(ChildAs<profile::CButtonHidNode>(set, 2).value, 9);

  const auto& command = ChildAs<profile::CShiftCommandNode>(*root, 1);
  EXPECT_EQ(command.value, Guid(u"EF567C31-0EB8-49B3-92EF-6ADC4849056B"));
  EXPECT_EQ(command.parameter, 3);
  const VexNode::CNode& assignments = *root->Children().at(2);
  EXPECT_EQ(assignments.GetTagName(), profile::kTagAssignments);
  EXPECT_TRUE(ChildAs<profile::CShiftCommandNode>(assignments, 0).value.IsNull());
}
