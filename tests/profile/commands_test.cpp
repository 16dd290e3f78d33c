// Command nodes: the command attributes, the content elements and their value tables, times
// and raw data.
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

const char16_t kFlaps[] = u"392EBBDD-AF37-49AB-B574-1585EF0D71BA";
const char16_t kIcon[] = u"42726D86-9680-4501-806B-44C9456158C7";
const char16_t kType[] = u"2E9BB737-59C6-4CE1-A950-3F9D999EA5BB";

}  // namespace

TEST(ProfileCommands, EveryCommandKindReadsTheCommandAttributes) {
  auto root = ReadProfile(
      u"[commands"
      u" [actioncommand={392EBBDD-AF37-49AB-B574-1585EF0D71BA} name='Flaps Up'"
      u"   icon={42726D86-9680-4501-806B-44C9456158C7}]"
      u" [temporalcommand=392EBBDD-AF37-49AB-B574-1585EF0D71BA name='Trim']"
      u" [cyclecommand={392EBBDD-AF37-49AB-B574-1585EF0D71BA} NAME='Lights']"
      u" [stringcommand={392EBBDD-AF37-49AB-B574-1585EF0D71BA} name='Callsign'"
      u"   type={2E9BB737-59C6-4CE1-A950-3F9D999EA5BB} data='N172SP']"
      u" [actioncommand]]");
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->Children().size(), 5u);
  const std::vector<const char16_t*> kinds = {profile::kTagActionCommand, profile::kTagTemporalCommand,
                                              profile::kTagCycleCommand, profile::kTagStringCommand};
  const std::vector<std::u16string> names = {u"Flaps Up", u"Trim", u"Lights", u"Callsign"};
  for (size_t i = 0; i < kinds.size(); ++i) {
    const auto& command = ChildAs<profile::CCommandNode>(*root, i);
    EXPECT_EQ(command.GetTagName(), kinds[i]);
    EXPECT_EQ(command.value, Guid(kFlaps));
    EXPECT_EQ(command.name, names[i]);
  }
  EXPECT_EQ(ChildAs<profile::CCommandNode>(*root, 0).icon, Guid(kIcon));
  const auto& string_command = ChildAs<profile::CStringCommandNode>(*root, 3);
  EXPECT_EQ(string_command.type, Guid(kType));
  EXPECT_EQ(string_command.data, u"N172SP");
  const auto& bare = ChildAs<profile::CCommandNode>(*root, 4);
  EXPECT_TRUE(bare.value.IsNull());
  EXPECT_EQ(bare.name, u"");
  EXPECT_TRUE(bare.icon.IsNull());
  profile::CCommandNode base(nullptr);
  EXPECT_EQ(std::u16string(base.GetTagName()), u"command");
}

TEST(ProfileCommands, ActionBlocksAndTheirTables) {
  auto root = ReadProfile(
      u"[actioncommand [actionblock=MACRO type=release] [actionblock type=Repeat]"
      u" [actionblock=regular type=press] [actionblock=burst type=hold]]");
  ASSERT_NE(root, nullptr);
  const auto& macro = ChildAs<profile::CActionBlockNode>(*root, 0);
  EXPECT_EQ(macro.value, 1);
  EXPECT_EQ(macro.type, 2);
  // An enumeration own value is left alone by the empty text.
  EXPECT_EQ(ChildAs<profile::CActionBlockNode>(*root, 1).value, 0);
  EXPECT_EQ(ChildAs<profile::CActionBlockNode>(*root, 1).type, 1);
  EXPECT_EQ(ChildAs<profile::CActionBlockNode>(*root, 2).value, 0);
  EXPECT_EQ(ChildAs<profile::CActionBlockNode>(*root, 3).value, 0);
  EXPECT_EQ(ChildAs<profile::CActionBlockNode>(*root, 3).type, 0);
}

TEST(ProfileCommands, ActionDeviceTableIsOutOfOrder) {
  auto root = ReadProfile(
      u"[actionblock [action device=self] [action device=keyboard] [action device=Mouse]"
      u" [action device=joystick] [action device=HOTKEY] [action device=gamepad]"
      u" [action device=keyboard time=1000 usage=0x0A page=7 value=1] [action time=0] [action=5]]");
  ASSERT_NE(root, nullptr);
  std::vector<int32_t> devices;
  for (size_t i = 0; i < 6; ++i) devices.push_back(ChildAs<profile::CActionNode>(*root, i).device);
  EXPECT_EQ(devices, std::vector<int32_t>({0, 1, 2, 4, 3, 0}));
  const auto& full = ChildAs<profile::CActionNode>(*root, 6);
  EXPECT_EQ(full.time, -1000LL * 10000);
  EXPECT_EQ(full.usage, 10);
  EXPECT_EQ(full.page, 7);
  EXPECT_EQ(full.value, 1);
  EXPECT_EQ(ChildAs<profile::CActionNode>(*root, 7).time, 0);
  // An action has no own value: "value" is an ordinary attribute, not the element's value.
  EXPECT_EQ(ChildAs<profile::CActionNode>(*root, 8).value, 0);
}

TEST(ProfileCommands, StringsCyclesTemporalsAndBlasts) {
  auto root = ReadProfile(
      u"[profile [stringcommand [string='Cabin crew, \\'seats\\'' type={2E9BB737-59C6-4CE1-A950-3F9D999EA5BB}"
      u"   time=250] [string]]"
      u" [cyclecommand [cycle={392EBBDD-AF37-49AB-B574-1585EF0D71BA} parameter=2] [cycle]]"
      u" [temporalcommand [temporal={392EBBDD-AF37-49AB-B574-1585EF0D71BA} time=750 parameter=1]]"
      u" [blasts [blast={42726D86-9680-4501-806B-44C9456158C7} name='Cold' data<9 A=1;]B=2;>]"
      u"  [blast data='plain']]]");
  ASSERT_NE(root, nullptr);
  const VexNode::CNode& strings = *root->Children().at(0);
  const auto& string = ChildAs<profile::CStringNode>(strings, 0);
  EXPECT_EQ(string.value, u"Cabin crew, 'seats'");
  EXPECT_EQ(string.type, Guid(kType));
  EXPECT_EQ(string.time, -2500000);
  EXPECT_EQ(ChildAs<profile::CStringNode>(strings, 1).value, u"");

  const VexNode::CNode& cycles = *root->Children().at(1);
  EXPECT_EQ(ChildAs<profile::CCycleNode>(cycles, 0).value, Guid(kFlaps));
  EXPECT_EQ(ChildAs<profile::CCycleNode>(cycles, 0).parameter, 2);
  EXPECT_TRUE(ChildAs<profile::CCycleNode>(cycles, 1).value.IsNull());

  const auto& temporal = ChildAs<profile::CTemporalNode>(*root->Children().at(2), 0);
  EXPECT_EQ(temporal.value, Guid(kFlaps));
  EXPECT_EQ(temporal.time, -7500000);
  EXPECT_EQ(temporal.parameter, 1);

  const VexNode::CNode& blasts = *root->Children().at(3);
  EXPECT_EQ(blasts.GetTagName(), profile::kTagBlasts);
  const auto& blast = ChildAs<profile::CBlastNode>(blasts, 0);
  EXPECT_EQ(blast.value, Guid(kIcon));
  EXPECT_EQ(blast.name, u"Cold");
  EXPECT_EQ(blast.data, u"A=1;]B=2;");
  EXPECT_EQ(ChildAs<profile::CBlastNode>(blasts, 1).data, u"plain");
}
