// Control nodes: kinds, the common and the per-kind attributes, the value tables and nesting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "profile/profile_nodes.h"
#include "support/vocabulary_documents.h"

namespace profile = VexNode::profile;
using vocabulary_test::ChildAs;
using vocabulary_test::ReadText;
using vocabulary_test::ReadProfile;

namespace {

// The value an attribute of one control element reads as, for each of the given texts.
template <class Node>
std::vector<int32_t> ReadEach(const std::u16string& element, const std::u16string& attribute,
                              const std::vector<std::u16string>& texts, int32_t Node::*field) {
  std::vector<int32_t> values;
  for (const auto& text : texts) {
    auto root = ReadProfile(u"[" + element + u" " + attribute + u"=" + text + u"]");
    values.push_back(root == nullptr ? -1 : static_cast<const Node&>(*root).*field);
  }
  return values;
}

}  // namespace

TEST(ProfileControls, KindsAndInitialValues) {
  profile::CAxisNode axis(nullptr);
  profile::CButtonNode button(nullptr);
  profile::CHatNode hat(nullptr);
  profile::CAnalogButtonNode analog(nullptr);
  profile::CMouseAxisNode mouse_axis(nullptr);
  EXPECT_EQ(axis.Kind(), 1);
  EXPECT_EQ(hat.Kind(), 2);
  EXPECT_EQ(button.Kind(), 3);
  EXPECT_EQ(analog.Kind(), 5);
  EXPECT_EQ(mouse_axis.Kind(), 0);
  EXPECT_EQ(axis.role, 0);
  EXPECT_EQ(axis.mapping, 1);
  EXPECT_EQ(axis.envelope, 1);
  EXPECT_EQ(axis.draworientation, 0);
  EXPECT_FALSE(button.latched);
  EXPECT_TRUE(button.latchable);
  EXPECT_EQ(hat.way, 9);
  profile::CControlBaseNode base(nullptr);
  EXPECT_EQ(std::u16string(base.GetTagName()), u"control_base");
}

TEST(ProfileControls, EveryAttributeOfEveryControlIsRead) {
  auto root = ReadProfile(
      u"[controls"
      u" [axis=0x30 name='Throttle' role=bands mapping=maps envelope=points draworientation=invert]"
      u" [button=7 NAME='Gear' role=mouse mapping=unprogrammed latched=true latchable=False]"
      u" [hat=1 name='Trim' role=directional mapping=fallback envelope=envelope way=4]"
      u" [analogbutton=64 name='Brake' role=report-as]"
      u" [mouseaxis=16 name='Cursor X' role=mouse-x envelope=sensitivity]"
      u" [slider=2 name='Wheel'] [ministick=3 name='Thumb'] [mousepointer=4 name='Pointer']]");
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->Children().size(), 8u);
  const auto& axis = ChildAs<profile::CAxisNode>(*root, 0);
  EXPECT_EQ(axis.value, 0x30);
  EXPECT_EQ(axis.name, u"Throttle");
  EXPECT_EQ(axis.role, 2);
  EXPECT_EQ(axis.mapping, 2);
  EXPECT_EQ(axis.envelope, 4);
  EXPECT_EQ(axis.draworientation, 2);
  const auto& button = ChildAs<profile::CButtonNode>(*root, 1);
  EXPECT_EQ(button.value, 7);
  EXPECT_EQ(button.name, u"Gear");
  EXPECT_EQ(button.role, 3);
  EXPECT_EQ(button.mapping, 0);
  EXPECT_TRUE(button.latched);
  EXPECT_FALSE(button.latchable);
  const auto& hat = ChildAs<profile::CHatNode>(*root, 2);
  EXPECT_EQ(hat.role, 6);
  EXPECT_EQ(hat.mapping, 1);
  EXPECT_EQ(hat.envelope, 2);
  EXPECT_EQ(hat.way, 4);
  const auto& analog = ChildAs<profile::CAnalogButtonNode>(*root, 3);
  EXPECT_EQ(analog.value, 64);
  EXPECT_EQ(analog.role, 7);
  const auto& mouse_axis = ChildAs<profile::CMouseAxisNode>(*root, 4);
  EXPECT_EQ(mouse_axis.name, u"Cursor X");
  EXPECT_EQ(mouse_axis.role, 4);
  EXPECT_EQ(mouse_axis.envelope, 3);
  const std::vector<std::u16string> collection_names = {u"Wheel", u"Thumb", u"Pointer"};
  for (size_t i = 0; i < 3; ++i) {
    const auto& collection = ChildAs<profile::CControlCollectionNode>(*root, 5 + i);
    EXPECT_EQ(collection.value, static_cast<int32_t>(2 + i));
    EXPECT_EQ(collection.name, collection_names[i]);
  }
}

TEST(ProfileControls, RoleTableHasFallbackAndUnprogrammedSwapped) {
  EXPECT_EQ(ReadEach(u"axis", u"role",
                     {u"fallback", u"unprogrammed", u"bands", u"mouse", u"mouse-x", u"mouse-y",
                      u"directional", u"Report-As", u"linear"},
                     &profile::CAxisNode::role),
            std::vector<int32_t>({0, 1, 2, 3, 4, 5, 6, 7, 0}));
  EXPECT_EQ(ReadEach(u"button", u"mapping", {u"unprogrammed", u"FALLBACK", u"maps", u"bands"},
                     &profile::CButtonNode::mapping),
            std::vector<int32_t>({0, 1, 2, 1}));
}

TEST(ProfileControls, EachControlHasItsOwnEnvelopeTable) {
  const std::vector<std::u16string> names = {u"unprogrammed", u"fallback", u"envelope",
                                             u"sensitivity", u"points"};
  EXPECT_EQ(ReadEach(u"axis", u"envelope", names, &profile::CAxisNode::envelope),
            std::vector<int32_t>({0, 1, 2, 3, 4}));
  EXPECT_EQ(ReadEach(u"mouseaxis", u"envelope", names, &profile::CMouseAxisNode::envelope),
            std::vector<int32_t>({0, 1, 2, 3, 1}));
  EXPECT_EQ(ReadEach(u"hat", u"envelope", names, &profile::CHatNode::envelope),
            std::vector<int32_t>({0, 1, 2, 1, 1}));
  EXPECT_EQ(ReadEach(u"axis", u"draworientation", {u"horz", u"VERT", u"invert", u"diagonal"},
                     &profile::CAxisNode::draworientation),
            std::vector<int32_t>({0, 1, 2, 0}));
}

TEST(ProfileControls, AttributesAKindDoesNotCarryAreNotRead) {
  auto root = ReadProfile(
      u"[controls [analogbutton=1 mapping=maps envelope=envelope draworientation=vert]"
      u" [mouseaxis=2 mapping=maps draworientation=vert] [button=3 envelope=envelope]"
      u" [slider=4 role=bands]]");
  ASSERT_NE(root, nullptr);
  const auto& analog = ChildAs<profile::CAnalogButtonNode>(*root, 0);
  EXPECT_EQ(analog.mapping, 1);
  EXPECT_EQ(analog.envelope, 1);
  EXPECT_EQ(ChildAs<profile::CMouseAxisNode>(*root, 1).mapping, 1);
  EXPECT_EQ(ChildAs<profile::CButtonNode>(*root, 2).envelope, 1);
}

TEST(ProfileControls, OwnValueReadsFromTheEmptyTextAndNumbersStopAtTheFirstNonDigit) {
  auto root = ReadProfile(u"[controls [axis] [hat=12abc way=x8] [button=-5 latchable=yes]]");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(ChildAs<profile::CAxisNode>(*root, 0).value, 0);
  EXPECT_EQ(ChildAs<profile::CAxisNode>(*root, 0).name, u"");
  EXPECT_EQ(ChildAs<profile::CHatNode>(*root, 1).value, 12);
  EXPECT_EQ(ChildAs<profile::CHatNode>(*root, 1).way, 0);
  EXPECT_EQ(ChildAs<profile::CButtonNode>(*root, 2).value, 0);
  EXPECT_FALSE(ChildAs<profile::CButtonNode>(*root, 2).latchable);
}

TEST(ProfileControls, CollectionsNestToAnyDepth) {
  auto root = ReadProfile(
      u"[controls [ministick=1 name='Thumb' [slider=2 name='Inner' [axis=0x33 name='X']"
      u"  [axis=0x34 name='Y']]] [mousepointer=5 [mouseaxis=0x10]]]");
  ASSERT_NE(root, nullptr);
  const auto& ministick = ChildAs<profile::CMinistickNode>(*root, 0);
  const auto& slider = ChildAs<profile::CSliderNode>(ministick, 0);
  EXPECT_EQ(slider.name, u"Inner");
  ASSERT_EQ(slider.Children().size(), 2u);
  EXPECT_EQ(ChildAs<profile::CAxisNode>(slider, 1).name, u"Y");
  EXPECT_EQ(ChildAs<profile::CMouseAxisNode>(*root->Children().at(1), 0).value, 0x10);
}
