// Loading a document file into a node tree: skipping, partial trees and the standard-error lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "document/factory.h"
#include "document/node_reader.h"
#include "document/stream.h"
#include "document/unknown_node.h"
#include "parse_harness.h"

namespace {

using VexNode::CFactory;
using VexNode::CNode;

inline constexpr char16_t kTagGroup[] = u"group";
inline constexpr char16_t kTagItem[] = u"item";

// A small vocabulary: groups hold items; both have an integer own value.
class GroupNode : public CNode {
 public:
  explicit GroupNode(CNode* parent) : CNode(parent) {}
  const char16_t* GetTagName() const override { return kTagGroup; }
  void Serialize(VexNode::IVexStream* stream) override {
    stream->ExchangeInt(kTagGroup, &number, 0);
    stream->ExchangeString(u"name", &name);
  }
  int32_t number = 77;
  VexNode::CNodeString name;
};

class ItemNode : public CNode {
 public:
  explicit ItemNode(CNode* parent) : CNode(parent) {}
  const char16_t* GetTagName() const override { return kTagItem; }
  void Serialize(VexNode::IVexStream* stream) override { stream->ExchangeInt(kTagItem, &number, 0); }
  int32_t number = 77;
};

void RegisterTestNodes(VexNode::IFactory* factory) {
  factory->Register(kTagGroup, [](CNode* parent) -> CNode* { return new GroupNode(parent); });
  factory->Register(kTagItem, [](CNode* parent) -> CNode* { return new ItemNode(parent); });
}

struct ReadResult {
  bool ok = false;
  CNode* root = nullptr;
  std::string printed;
};

// Reads the document text (a byte order mark is added) from a temporary file, with the test
// vocabulary or, when generic, with every element as a generic node.
ReadResult ReadDocument(std::u16string_view text, bool generic = false,
                        VexNode::RegisterNodesFn register_nodes = RegisterTestNodes) {
  const std::string bytes = document_test::DocumentBytes(text);
  std::FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  auto* state = new VexNode::ReaderState;
  VexNode::CNode_Reader reader(state);
  CFactory factory;
  factory.SetGenericMode(generic);
  register_nodes(&factory);  // nothing is registered in generic mode
  state->file = file;
  ReadResult result;
  testing::internal::CaptureStderr();
  result.ok = reader.Read(state, &factory, &result.root);
  result.printed = testing::internal::GetCapturedStderr();
  std::fclose(file);
  return result;
}

std::string Said(std::initializer_list<const char*> lines) {
  std::string out;
  for (const char* line : lines) out += std::string(" - - - - - Pr0 Parser says... \"") + line + "\"\n";
  return out;
}

TEST(ReaderTest, BuildsTheTreeAndSetsFields) {
  ReadResult r = ReadDocument(u"[group=3 name='first' [item=0x10] [item]]");
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.printed, Said({"Parsing", "Parsed OK"}));
  auto* group = dynamic_cast<GroupNode*>(r.root);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->number, 3);
  EXPECT_EQ(group->name.View(), u"first");
  ASSERT_EQ(group->Children().size(), 2u);
  EXPECT_EQ(static_cast<ItemNode*>(group->Children()[0])->number, 16);
  // No own value: the field is set from the empty text, overriding the constructor's 77.
  EXPECT_EQ(static_cast<ItemNode*>(group->Children()[1])->number, 0);
  delete r.root;
}

TEST(ReaderTest, UnregisteredSubtreesAreSkipped) {
  ReadResult r = ReadDocument(u"[group=1 [item=1] [other [item=2] [group=9 [item=3]]] [item=4]]");
  ASSERT_TRUE(r.ok);
  ASSERT_NE(r.root, nullptr);
  std::vector<int32_t> items;
  for (CNode* child : r.root->Children()) {
    ASSERT_EQ(child->GetTagName(), kTagItem);
    items.push_back(static_cast<ItemNode*>(child)->number);
  }
  // The item after the unregistered element lands under the group that was current before it.
  EXPECT_EQ(items, (std::vector<int32_t>{1, 4}));
  delete r.root;
}

TEST(ReaderTest, UnregisteredTopLevelGivesNoRoot) {
  ReadResult r = ReadDocument(u"[other [group=1]]");
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.root, nullptr);
  EXPECT_EQ(r.printed, Said({"Parsing", "Parsed OK", "root is null"}));
  ReadResult empty = ReadDocument(u"");
  EXPECT_TRUE(empty.ok);
  EXPECT_EQ(empty.printed, Said({"Parsing", "Parsed OK", "root is null"}));
}

TEST(ReaderTest, SyntaxErrorLeavesAPartialTree) {
  ReadResult r = ReadDocument(u"[group=1 [item=1] [item=2 x]]");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.printed, Said({"Parsing", "Attribute value missing"}));
  ASSERT_NE(r.root, nullptr);
  EXPECT_EQ(r.root->Children().size(), 1u);
  delete r.root;
  ReadResult none = ReadDocument(u"[group");
  EXPECT_FALSE(none.ok);
  EXPECT_EQ(none.root, nullptr);
  EXPECT_EQ(none.printed, Said({"Parsing", "Syntax error - attributes should end with '[' or ']'", "root is null"}));
}

TEST(ReaderTest, KnownTagsNestUnderAnyKnownParent) {
  // The reader does not check where an element stands.
  ReadResult r = ReadDocument(u"[item=1 [group=2 [item=3]]]");
  ASSERT_TRUE(r.ok);
  ASSERT_EQ(r.root->Children().size(), 1u);
  EXPECT_EQ(r.root->Children()[0]->GetTagName(), kTagGroup);
  EXPECT_EQ(r.root->Children()[0]->Children().size(), 1u);
  delete r.root;
}

TEST(ReaderTest, DeepTreeLoadsAndStaysTheCallersToChange) {
  // Nested far deeper than any recursion could go: reading, searching and deleting the tree all
  // work without the stack.
  constexpr int kDepth = 300000;
  std::u16string text = u"[group=1 name='top'";
  for (int i = 0; i < kDepth; ++i) text += u"[item=2";
  // A head every so often among the closing brackets: the reader keeps the latest head in its
  // window, so a document cannot end in a run of closing brackets longer than the window.
  for (int i = 0; i < kDepth; ++i) text += i % 1000 == 500 ? u"][item=3]" : u"]";
  text += u"]";
  ReadResult r = ReadDocument(text);
  ASSERT_TRUE(r.ok) << r.printed;
  CNode* deepest = r.root;
  int depth = 0;
  while (!deepest->Children().empty()) {
    deepest = deepest->Children().front();
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_EQ(static_cast<ItemNode*>(deepest)->number, 2);
  // After the read the tree is the caller's: a text grows past what the document gave it and
  // nodes are added; deleting the root still frees every piece exactly once.
  auto* group = static_cast<GroupNode*>(r.root);
  group->name.Assign(std::u16string(200, u'n').c_str());
  EXPECT_EQ(group->name.Length(), 200u);
  for (int i = 0; i < 40; ++i) new ItemNode(i % 2 == 0 ? r.root : deepest);
  EXPECT_EQ(r.root->Children().size(), 21u);
  EXPECT_EQ(deepest->Children().size(), 20u);
  static const char16_t kNoSuchKind[] = u"item";  // same text, another constant: no node has it
  EXPECT_EQ(VexNode::FindNode(r.root, kNoSuchKind), nullptr);
  delete r.root;  // AddressSanitizer reports anything freed twice or left behind
}

// Generic nodes copy their heads out of the window: texts of every length from 0 to 40 units,
// starting anywhere in the window and running across its refills, come out whole, and so do the
// heads with a raw value, which are laid out text by text. Quoted texts with escaped quotes
// (shorter once read than as written) stand first or last in their heads.
TEST(ReaderTest, GenericNodesKeepEveryTextWhereverItLies) {
  auto text_of = [](size_t length, size_t seed) {
    std::u16string text;
    for (size_t i = 0; i < length; ++i) text += static_cast<char16_t>(i % 7 == 3 ? u' ' : (i % 11 == 5 ? 0x4E2D : u'a' + (seed + i) % 26));
    return text;
  };
  std::u16string document = u"[root";
  std::vector<std::pair<std::u16string, std::u16string>> expected;  // each child's quoted value and word
  for (size_t i = 0; i < 900; ++i) {
    std::u16string quoted = text_of(i % 41, i);
    if (i % 4 == 2) quoted.insert(i % (quoted.size() + 1), u"'");
    const std::u16string word = u"w" + std::u16string((i * 7) % 40, u'x');
    const std::string count = std::to_string(quoted.size());
    std::u16string written;
    for (char16_t unit : quoted) written += unit == u'\'' ? u"\\'" : std::u16string(1, unit);
    const std::u16string value =
        i % 10 == 9 ? u"<" + std::u16string(count.begin(), count.end()) + u" " + quoted + u">" : u"='" + written + u"'";
    const std::u16string q = u" q" + value;
    const std::u16string w = u" w=" + word;
    document += u"\n  [e" + std::u16string(i % 5, u'e') + (i % 3 == 0 ? w + q : q + w) + u"]";
    expected.emplace_back(quoted, word);
  }
  document += u"]";
  const ReadResult read = ReadDocument(document, true);
  std::unique_ptr<CNode> owned(read.root);
  ASSERT_TRUE(read.ok);
  const CNode* root = read.root;
  ASSERT_EQ(root->Children().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto* node = dynamic_cast<const VexNode::CUnknownNode*>(root->Children()[i]);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(node->PairCount(), 3u) << i;
    EXPECT_EQ(node->GetTagName(), u"e" + std::u16string(i % 5, u'e')) << i;
    const size_t q = i % 3 == 0 ? 2 : 1;
    EXPECT_EQ(node->PairName(q), u"q");
    EXPECT_EQ(node->PairValue(q), expected[i].first) << i;
    EXPECT_EQ(node->PairName(3 - q), u"w");
    EXPECT_EQ(node->PairValue(3 - q), expected[i].second) << i;
  }
}

TEST(ReaderTest, ValuesOfEveryLengthAreReadWhole) {
  // Words and quoted texts from 0 to 40 units long, wherever they fall in the window: the
  // attribute lookup measures each one where it lies.
  std::u16string text = u"[group=0";
  std::vector<std::u16string> names;
  for (size_t i = 0; i < 700; ++i) {
    names.push_back(std::u16string(i % 41, static_cast<char16_t>(u'a' + i % 26)));
    text += std::u16string(i % 3, u' ') + u"[group=" + std::u16string(1 + i % 9, u'7') +
            (i % 2 == 0 ? u" name='" + names.back() + u"'" : u" name=" + (names.back().empty() ? u"''" : names.back())) + u"]";
  }
  ReadResult r = ReadDocument(text + u"]");
  std::unique_ptr<CNode> owned(r.root);
  ASSERT_TRUE(r.ok) << r.printed;
  ASSERT_EQ(r.root->Children().size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const auto* group = static_cast<const GroupNode*>(r.root->Children()[i]);
    EXPECT_EQ(group->name.View(), names[i]) << i;
    EXPECT_EQ(group->number, std::stoi(std::string(1 + i % 9, '7'))) << i;
  }
}

TEST(ReaderTest, GenericNodesKeepHeadsOfAnyLengthInAWideWindow) {
  // In a window wider than the reader's own, a head may span more than 65535 units.
  struct Input {
    VexNode::ReaderState reader;  // first: the reader's callbacks take the user context as one
    std::u16string units;
    size_t at = 0;
  } in;
  in.units = u"\uFEFF[e q='" + std::u16string(70000, u'x') + u"' w=1]";
  CFactory factory;
  factory.SetGenericMode(true);
  in.reader.factory = &factory;
  VexNode::ParseContext context;
  context.ReadInput = [](void* user, char16_t* destination, size_t* count) {
    auto* input = static_cast<Input*>(user);
    *count = input->units.copy(destination, *count, input->at);
    input->at += *count;
    return *count != 0;
  };
  context.OnElementStart = VexNode::CNode_Reader::OnElementStart;
  context.OnElementEnd = VexNode::CNode_Reader::OnElementEnd;
  std::vector<char16_t> window(80000);
  ASSERT_TRUE(context.Parse(window.data(), &in, window.size()));
  std::unique_ptr<CNode> root(in.reader.root);
  const auto* node = dynamic_cast<const VexNode::CUnknownNode*>(root.get());
  ASSERT_NE(node, nullptr);
  ASSERT_EQ(node->PairCount(), 3u);
  EXPECT_EQ(node->GetTagName(), std::u16string_view(u"e"));
  EXPECT_EQ(node->PairValue(1), std::u16string(70000, u'x'));
  EXPECT_EQ(node->PairName(2), u"w");
  EXPECT_EQ(node->PairValue(2), u"1");
}

// Logs its own value when destroyed.
std::vector<int32_t> g_destroyed;
class TracedNode : public CNode {
 public:
  explicit TracedNode(CNode* parent) : CNode(parent) {}
  ~TracedNode() override { g_destroyed.push_back(number); }
  const char16_t* GetTagName() const override { return kTagItem; }
  void Serialize(VexNode::IVexStream* stream) override { stream->ExchangeInt(kTagItem, &number, 0); }
  int32_t number = 0;
};
// With nothing to release: a tree read from a document skips its destructor.
class PlainNode final : public CNode {
 public:
  using CNode::CNode;
  static void* operator new(std::size_t size) { return AllocatePlain(size); }
  static void operator delete(void* node) { CNode::operator delete(node); }
  const char16_t* GetTagName() const override { return kTagGroup; }
};

TEST(ReaderTest, ATreeReadGoesWithItsArenaAndEveryDestructorThatMustRunRunsOnceInPreOrder) {
  const auto register_nodes = [](VexNode::IFactory* factory) {
    factory->Register(kTagItem, [](CNode* parent) -> CNode* { return new TracedNode(parent); });
    factory->Register(kTagGroup, [](CNode* parent) -> CNode* { return new PlainNode(parent); });
  };
  const std::u16string_view text = u"[item=1 [item=2 [group] [item=3]] [group [item=4]] [item=5]]";
  ReadResult whole = ReadDocument(text, false, register_nodes);
  ASSERT_TRUE(whole.ok);
  g_destroyed.clear();
  delete whole.root;  // AddressSanitizer reports anything freed twice or left behind
  EXPECT_EQ(g_destroyed, (std::vector<int32_t>{1, 2, 3, 4, 5}));
  // A node added after the read, here under a node whose destructor is skipped, is deleted too.
  ReadResult grown = ReadDocument(text, false, register_nodes);
  ASSERT_TRUE(grown.ok);
  (new TracedNode(grown.root->Children()[1]))->number = 6;
  g_destroyed.clear();
  delete grown.root;
  EXPECT_EQ(g_destroyed, (std::vector<int32_t>{1, 2, 3, 4, 6, 5}));
}

TEST(ReaderTest, OddTrailingByteIsNeverRead) {
  std::string bytes = document_test::DocumentBytes(u"[item=5]");
  bytes.push_back('[');
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::rewind(file);
  VexNode::ReaderState state;
  state.file = file;
  char16_t units[8] = {};
  size_t count = 8;
  EXPECT_TRUE(VexNode::CNode_Reader::ReadInput(&state, units, &count));
  EXPECT_EQ(count, 8u);  // the mark and 8 units of text are in the file; 8 fit
  count = 8;
  EXPECT_TRUE(VexNode::CNode_Reader::ReadInput(&state, units, &count));
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(units[0], u']');
  count = 8;
  EXPECT_FALSE(VexNode::CNode_Reader::ReadInput(&state, units, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_FALSE(VexNode::CNode_Reader::ReadInput(nullptr, units, &count));
  std::fclose(file);
}

}  // namespace

namespace {

// Writes the document text (after a byte order mark) to a file in the temporary folder.
std::u16string WriteTemporaryDocument(const char* name, std::u16string_view text) {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
  const std::string bytes = document_test::DocumentBytes(text);
  std::FILE* file = std::fopen(path.string().c_str(), "wb");
  EXPECT_NE(file, nullptr);
  if (file != nullptr) {
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  return path.u16string();
}

TEST(LoadDocumentTest, LoadsOpensAndFails) {
  const std::u16string good = WriteTemporaryDocument("skyhelm_load_good.pr0", u"[group=2 [item=5]]");
  std::unique_ptr<CNode> root;
  testing::internal::CaptureStderr();
  EXPECT_EQ(VexNode::LoadDocument(good, RegisterTestNodes, &root), VexNode::LoadStatus::kLoaded);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), Said({"Parsing", "Parsed OK"}));
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(static_cast<GroupNode*>(root.get())->number, 2);
  const CNode* item = VexNode::FindNode(root.get(), kTagItem);
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(static_cast<const ItemNode*>(item)->number, 5);

  // Without a registration function every element becomes a generic node.
  testing::internal::CaptureStderr();
  EXPECT_EQ(VexNode::LoadDocument(good, nullptr, &root), VexNode::LoadStatus::kLoaded);
  testing::internal::GetCapturedStderr();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(std::u16string(root->GetTagName()), u"group");

  const std::u16string bad = WriteTemporaryDocument("skyhelm_load_bad.pr0", u"[group=2 [item=5]");
  testing::internal::CaptureStderr();
  EXPECT_EQ(VexNode::LoadDocument(bad, RegisterTestNodes, &root), VexNode::LoadStatus::kSyntaxError);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(root, nullptr);  // the partial tree was deleted

  const std::u16string missing = good + u".missing";
  testing::internal::CaptureStderr();
  EXPECT_EQ(VexNode::LoadDocument(missing, RegisterTestNodes, &root), VexNode::LoadStatus::kCannotOpen);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed.rfind("Could not open file ", 0), 0u) << printed;
  EXPECT_NE(printed.find("skyhelm_load_good.pr0.missing\n"), std::string::npos) << printed;
  std::filesystem::remove(std::filesystem::path(good));
  std::filesystem::remove(std::filesystem::path(bad));
}

}  // namespace
