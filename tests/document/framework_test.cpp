// The node framework: node ownership and search, node strings, the factory and the unknown node.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document/factory.h"
#include "document/node.h"
#include "document/node_string.h"
#include "document/stream.h"
#include "document/unknown_node.h"

namespace {

using VexNode::AttributePair;
using VexNode::CFactory;
using VexNode::CNode;
using VexNode::CNodeString;
using VexNode::FindNode;

inline constexpr char16_t kTagA[] = u"a";
inline constexpr char16_t kTagB[] = u"b";

// Records its construction and destruction by name.
std::vector<std::string> g_log;

class TracedNode : public CNode {
 public:
  TracedNode(CNode* parent, const char16_t* tag, std::string name) : CNode(parent), tag_(tag), name_(std::move(name)) {}
  ~TracedNode() override { g_log.push_back(name_); }
  const char16_t* GetTagName() const override { return tag_; }

 private:
  const char16_t* tag_;
  std::string name_;
};

TEST(NodeTest, ConstructorAttachesToParentInOrder) {
  TracedNode root(nullptr, kTagA, "root");
  auto* first = new TracedNode(&root, kTagA, "first");
  auto* second = new TracedNode(&root, kTagB, "second");
  EXPECT_EQ(root.Parent(), nullptr);
  EXPECT_EQ(first->Parent(), &root);
  EXPECT_EQ(std::vector<CNode*>(root.Children().begin(), root.Children().end()), (std::vector<CNode*>{first, second}));
  g_log.clear();
}

TEST(NodeTest, DeletingTheRootDeletesEveryDescendantOnceInPreOrder) {
  g_log.clear();
  auto* root = new TracedNode(nullptr, kTagA, "r");
  auto* a = new TracedNode(root, kTagA, "a");
  new TracedNode(a, kTagA, "a1");
  new TracedNode(a, kTagA, "a2");
  auto* b = new TracedNode(root, kTagA, "b");
  new TracedNode(b, kTagA, "b1");
  delete root;  // AddressSanitizer reports any node freed twice or left behind
  EXPECT_EQ(g_log, (std::vector<std::string>{"r", "a", "a1", "a2", "b", "b1"}));
}

class CountedNode : public CNode {
 public:
  explicit CountedNode(CNode* parent) : CNode(parent) {}
  ~CountedNode() override { ++deleted; }
  const char16_t* GetTagName() const override { return kTagA; }
  static inline int deleted = 0;
};

TEST(NodeTest, DeletingAVeryDeepTreeNeedsNoStack) {
  // Far deeper than a recursive destructor could go on a 1 MB (Windows) or 8 MB stack.
  CountedNode::deleted = 0;
  auto* root = new CountedNode(nullptr);
  CNode* at = root;
  for (int i = 0; i < 300000; ++i) at = new CountedNode(at);
  delete root;
  EXPECT_EQ(CountedNode::deleted, 300001);
}

TEST(FindNodeTest, DepthFirstPreOrderByTagIdentity) {
  TracedNode root(nullptr, kTagA, "root");
  auto* x = new TracedNode(&root, kTagA, "x");
  auto* x_child = new TracedNode(x, kTagB, "x_child");
  new TracedNode(&root, kTagB, "y");
  EXPECT_EQ(FindNode(&root, kTagA), &root);
  // The whole subtree of x comes before its next sibling.
  EXPECT_EQ(FindNode(&root, kTagB), x_child);
  // The same text at another address is another kind.
  const char16_t other_b[] = u"b";
  EXPECT_EQ(FindNode(&root, other_b), nullptr);
  EXPECT_EQ(FindNode(static_cast<CNode*>(nullptr), kTagA), nullptr);
  g_log.clear();
}

TEST(NodeStringTest, CapacityRules) {
  CNodeString empty;
  EXPECT_EQ(empty.Capacity(), 33u);
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_EQ(std::u16string(empty.Text()), u"");

  CNodeString text(u"hello");
  EXPECT_EQ(text.Capacity(), 6u);
  EXPECT_EQ(text.View(), u"hello");

  CNodeString copy(text);
  EXPECT_EQ(copy.Capacity(), 6u);
  EXPECT_EQ(copy.View(), u"hello");

  // Shorter texts reuse the buffer; one as long as the capacity grows it to length + 1.
  text.Assign(u"hi");
  EXPECT_EQ(text.Capacity(), 6u);
  EXPECT_EQ(text.View(), u"hi");
  EXPECT_EQ(text.Text()[2], u'\0');
  text.Assign(u"sixsix");
  EXPECT_EQ(text.Capacity(), 7u);
  EXPECT_EQ(text.View(), u"sixsix");

  text.Assign(static_cast<const char16_t*>(nullptr));
  EXPECT_EQ(text.Length(), 0u);
  EXPECT_EQ(text.Capacity(), 7u);
  EXPECT_EQ(std::u16string(text.Text()), u"");

  copy = text;
  EXPECT_EQ(copy.View(), u"");
  CNodeString self(u"abcdef");
  self.Assign(self.View().substr(2));
  EXPECT_EQ(self.View(), u"cdef");
}

CNode* CreateA(CNode* parent) { return new TracedNode(parent, kTagA, "created-a"); }
CNode* CreateB(CNode* parent) { return new TracedNode(parent, kTagB, "created-b"); }

TEST(FactoryTest, RegisteredTagsCaseSensitiveLaterRegistrationWins) {
  CFactory factory;
  const AttributePair list[] = {{kTagA, u""}, {}};
  factory.Register(u"led", CreateA);
  factory.Register(u"led", CreateB);
  CNode* node = reinterpret_cast<CNode*>(1);
  EXPECT_FALSE(factory.Create(u"LED", list, &node, nullptr));
  EXPECT_EQ(node, nullptr);
  EXPECT_FALSE(factory.IsKnown(u"LED"));
  // Keys compare by text, so another copy of the tag finds the creator.
  const std::u16string led = u"led";
  EXPECT_TRUE(factory.IsKnown(led.c_str()));
  ASSERT_TRUE(factory.Create(led.c_str(), list, &node, nullptr));
  EXPECT_EQ(node->GetTagName(), kTagB);
  delete node;
  g_log.clear();
}

TEST(FactoryTest, GenericModeMakesUnknownNodesForEveryTag) {
  CFactory factory;
  factory.SetGenericMode(true);
  factory.Register(u"led", CreateA);  // ignored in generic mode
  EXPECT_TRUE(factory.IsKnown(u"anything"));
  TracedNode parent(nullptr, kTagA, "parent");
  const AttributePair list[] = {{u"led", u"own"}, {u"k", u"v"}, {}};
  CNode* node = nullptr;
  ASSERT_TRUE(factory.Create(u"led", list, &node, &parent));
  EXPECT_EQ(node->Parent(), &parent);
  auto* unknown = dynamic_cast<VexNode::CUnknownNode*>(node);
  ASSERT_NE(unknown, nullptr);
  EXPECT_EQ(std::u16string(unknown->GetTagName()), u"led");
  ASSERT_EQ(unknown->PairCount(), 2u);
  EXPECT_EQ(unknown->PairName(0), u"led");
  EXPECT_EQ(unknown->PairValue(0), u"own");
  EXPECT_EQ(unknown->PairName(1), u"k");
  EXPECT_EQ(unknown->PairValue(1), u"v");
  g_log.clear();
}

// A storing stream that records what it is given.
class RecordingStream : public VexNode::CAttributeStream_Expat {
 public:
  RecordingStream() : CAttributeStream_Expat(nullptr) {}
  bool IsLoading() const override { return false; }
  bool IsStoring() const override { return true; }
  bool ExchangeString(const char16_t* name, CNodeString* value) override {
    written.emplace_back(name, value->View());
    return true;
  }
  std::vector<std::pair<std::u16string, std::u16string>> written;
};

TEST(UnknownNodeTest, SerializeWritesPairsBackOnlyWhenStoring) {
  const AttributePair list[] = {{u"x", u""}, {u"a", u"1"}, {u"b", u"2"}, {}};
  VexNode::CUnknownNode node(nullptr, u"x", list);
  RecordingStream storing;
  node.Serialize(&storing);
  EXPECT_EQ(storing.written, (std::vector<std::pair<std::u16string, std::u16string>>{{u"x", u""}, {u"a", u"1"}, {u"b", u"2"}}));
  // Loading changes nothing: the pairs were captured when the node was made.
  const AttributePair other[] = {{u"x", u"changed"}, {}};
  VexNode::CAttributeStream_Expat loading(other);
  node.Serialize(&loading);
  EXPECT_EQ(node.PairValue(0), u"");
}

}  // namespace
