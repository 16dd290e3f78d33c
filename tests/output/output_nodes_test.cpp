// The output description vocabulary: registration, defaults, values read and tag matching.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "document/node.h"
#include "output/output_nodes.h"
#include "support/vocabulary_documents.h"

namespace lumivox = VexNode::lumivoxdriver;
using vocabulary_test::ReadText;
using vocabulary_test::ChildAs;
using vocabulary_test::RegistrationLog;

namespace {

std::unique_ptr<VexNode::CNode> ReadOutput(std::u16string_view text) {
  return ReadText(text, lumivox::RegisterOutputNodes);
}

}  // namespace

TEST(OutputNodes, RegistersTheSeventeenTagsInOrderEachCreatingItsOwnKind) {
  RegistrationLog log;
  lumivox::RegisterOutputNodes(&log);
  const std::vector<std::u16string> expected = {
      u"device", u"outputlist", u"ledcaps", u"stringcaps", u"imagecaps", u"brightnesscaps",
      u"shiftbutton", u"pagelist", u"page", u"led", u"ledcondition", u"string", u"image",
      u"variable", u"text", u"font", u"softbutton"};
  ASSERT_EQ(log.entries.size(), expected.size());
  lumivox::CDeviceNode parent(nullptr);
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto& [tag, creator] = log.entries[i];
    EXPECT_EQ(std::u16string(tag), expected[i]);
    VexNode::CNode* node = creator(&parent);
    // The node's kind is the very constant it was registered under.
    EXPECT_EQ(node->GetTagName(), tag);
    EXPECT_EQ(node->Parent(), &parent);
    EXPECT_EQ(parent.Children().back(), node);
  }
}

TEST(OutputNodes, ElementsWithoutAttributesKeepTheDefaultsButReadTheirOwnValue) {
  auto root = ReadOutput(
      u"[device [outputlist [ledcaps] [stringcaps] [brightnesscaps] [imagecaps] [font]"
      u" [softbutton] [page] [ledcondition] [variable] [text] [led=4] [shiftbutton=5]]]");
  ASSERT_NE(root, nullptr);
  const VexNode::CNode& list = *root->Children().at(0);
  ASSERT_EQ(list.Children().size(), 12u);
  const auto& led = ChildAs<lumivox::CLedCapsNode>(list, 0);
  EXPECT_EQ(led.value, 0);
  EXPECT_EQ(led.maxvalue, 1);
  EXPECT_EQ(led.defaultvalue, 1);
  EXPECT_EQ(led.command, 0);
  EXPECT_EQ(led.index, 0);
  EXPECT_EQ(ChildAs<lumivox::CStringCapsNode>(list, 1).marqueetime, 200);
  EXPECT_EQ(ChildAs<lumivox::CStringCapsNode>(list, 1).maxlength, 0);
  EXPECT_EQ(ChildAs<lumivox::CBrightnessCapsNode>(list, 2).maxvalue, 127);
  EXPECT_EQ(ChildAs<lumivox::CImageCapsNode>(list, 3).width, 0);
  // A font element always reads its name: without an own value the name is empty.
  const auto& font = ChildAs<lumivox::CFontNode>(list, 4);
  EXPECT_EQ(font.value, u"");
  EXPECT_EQ(font.size, 10);
  EXPECT_EQ(font.color, 0xFFFFFF);
  EXPECT_EQ(ChildAs<lumivox::CSoftButtonNode>(list, 5).mask, 0);
  EXPECT_EQ(ChildAs<lumivox::CPageNode>(list, 6).name, u"");
  EXPECT_EQ(ChildAs<lumivox::CLedConditionNode>(list, 7).value, u"");
  EXPECT_EQ(ChildAs<lumivox::CVariableNode>(list, 8).left, 0);
  EXPECT_EQ(ChildAs<lumivox::CTextNode>(list, 9).bottom, 0);
  EXPECT_EQ(ChildAs<lumivox::CLedNode>(list, 10).value, 4);
  EXPECT_EQ(ChildAs<lumivox::CShiftButtonNode>(list, 11).value, 5);
}

TEST(OutputNodes, FontBuiltWithoutADocumentIsArial) {
  lumivox::CFontNode font(nullptr);
  EXPECT_EQ(font.value, u"Arial");
  EXPECT_EQ(font.size, 10);
  EXPECT_EQ(font.color, 0xFFFFFF);
}

TEST(OutputNodes, EveryAttributeIsReadInAnyCaseAndNumberForm) {
  auto root = ReadOutput(
      u"[device"
      u" [ledcaps=7 MAXVALUE=3 Default=0 COMMAND=0x0102 index=258]"
      u" [stringcaps=2 maxlength=16 setcommand=0X0121 clearcommand=288 MarqueeTime=250]"
      u" [imagecaps=1 width=128 height=64 bpp=1 setcommand=5 clearcommand=6]"
      u" [brightnesscaps=3 maxvalue=15 command=0x0210 index=2]"
      u" [pagelist [page=1 name='Radios' [string=2] [image=1]"
      u"   [ledcondition='gear.down' true=1 false=2]"
      u"   [variable='alt' left=1 right=2 top=3 bottom=4] [text='ALT' left=5 right=6 top=7 bottom=8]"
      u"   [font='Courier New' size=12 color=0x00FF00] [softbutton=2 mask=0x0004]]]]");
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->Children().size(), 5u);
  const auto& led = ChildAs<lumivox::CLedCapsNode>(*root, 0);
  EXPECT_EQ(led.value, 7);
  EXPECT_EQ(led.maxvalue, 3);
  EXPECT_EQ(led.defaultvalue, 0);
  EXPECT_EQ(led.command, 258);  // 0x0102
  EXPECT_EQ(led.index, 258);
  const auto& string = ChildAs<lumivox::CStringCapsNode>(*root, 1);
  EXPECT_EQ(string.value, 2);
  EXPECT_EQ(string.maxlength, 16);
  EXPECT_EQ(string.setcommand, 0x121);
  EXPECT_EQ(string.clearcommand, 0x120);
  EXPECT_EQ(string.marqueetime, 250);
  const auto& image = ChildAs<lumivox::CImageCapsNode>(*root, 2);
  EXPECT_EQ(image.value, 1);
  EXPECT_EQ(image.width, 128);
  EXPECT_EQ(image.height, 64);
  EXPECT_EQ(image.bpp, 1);
  EXPECT_EQ(image.setcommand, 5);
  EXPECT_EQ(image.clearcommand, 6);
  const auto& brightness = ChildAs<lumivox::CBrightnessCapsNode>(*root, 3);
  EXPECT_EQ(brightness.value, 3);
  EXPECT_EQ(brightness.maxvalue, 15);
  EXPECT_EQ(brightness.command, 0x210);
  EXPECT_EQ(brightness.index, 2);

  const VexNode::CNode& page_node = *root->Children().at(4)->Children().at(0);
  const auto& page = static_cast<const lumivox::CPageNode&>(page_node);
  EXPECT_EQ(page.value, 1);
  EXPECT_EQ(page.name, u"Radios");
  ASSERT_EQ(page.Children().size(), 7u);
  EXPECT_EQ(ChildAs<lumivox::CStringNode>(page, 0).value, 2);
  EXPECT_EQ(ChildAs<lumivox::CImageNode>(page, 1).value, 1);
  const auto& condition = ChildAs<lumivox::CLedConditionNode>(page, 2);
  EXPECT_EQ(condition.value, u"gear.down");
  EXPECT_EQ(condition.true_value, 1);
  EXPECT_EQ(condition.false_value, 2);
  const auto& variable = ChildAs<lumivox::CVariableNode>(page, 3);
  EXPECT_EQ(variable.value, u"alt");
  EXPECT_EQ(std::vector<int>({variable.left, variable.right, variable.top, variable.bottom}),
            std::vector<int>({1, 2, 3, 4}));
  const auto& text = ChildAs<lumivox::CTextNode>(page, 4);
  EXPECT_EQ(text.value, u"ALT");
  EXPECT_EQ(std::vector<int>({text.left, text.right, text.top, text.bottom}),
            std::vector<int>({5, 6, 7, 8}));
  const auto& font = ChildAs<lumivox::CFontNode>(page, 5);
  EXPECT_EQ(font.value, u"Courier New");
  EXPECT_EQ(font.size, 12);
  EXPECT_EQ(font.color, 0x00FF00);
  EXPECT_EQ(ChildAs<lumivox::CSoftButtonNode>(page, 6).value, 2);
  EXPECT_EQ(ChildAs<lumivox::CSoftButtonNode>(page, 6).mask, 4);
}

TEST(OutputNodes, TagsMatchOnlyInTheirOwnCase) {
  auto root = ReadOutput(u"[device [LEDCAPS=1 [ledcaps=2]] [ledcaps=3] [Shiftbutton=6]]");
  ASSERT_NE(root, nullptr);
  // The capitalised elements are skipped with everything inside them.
  ASSERT_EQ(root->Children().size(), 1u);
  EXPECT_EQ(ChildAs<lumivox::CLedCapsNode>(*root, 0).value, 3);
}

TEST(OutputNodes, FindNodeTellsKindsApartByTheirConstant) {
  auto root = ReadOutput(u"[device [page=1 [text='string'] [string=2]]]");
  ASSERT_NE(root, nullptr);
  const VexNode::CNode* found = VexNode::FindNode(root.get(), lumivox::kTagString);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(static_cast<const lumivox::CStringNode*>(found)->value, 2);
  // A different constant with the same text is another kind.
  static const char16_t kOtherString[] = u"string";
  EXPECT_EQ(VexNode::FindNode(root.get(), kOtherString), nullptr);
}
