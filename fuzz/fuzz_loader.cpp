// libFuzzer target: loading any byte sequence into a tree with a generic-mode factory, then
// searching and deleting the tree.
#include <cstdint>
#include <vector>

#include "document/factory.h"
#include "document/node_reader.h"
#include "document/parser.h"
#include "document/unknown_node.h"
#include "fuzz_input.h"

namespace {

struct State {
  VexNode::ReaderState reader;  // first member: the reader's callbacks see a ReaderState
  fuzz::Input input;
};

bool ReadFromInput(void* user, char16_t* destination, size_t* count) {
  return fuzz::ReadUnits(&static_cast<State*>(user)->input, destination, count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t capacity = fuzz::Input::Capacity(data[0]);
  VexNode::CFactory factory;
  factory.SetGenericMode(true);
  State state{{}, fuzz::Input{data + 1, size - 1}};
  state.reader.factory = &factory;
  VexNode::ParseContext context;
  context.ReadInput = ReadFromInput;
  context.OnElementStart = VexNode::CNode_Reader::OnElementStart;
  context.OnElementEnd = VexNode::CNode_Reader::OnElementEnd;
  std::vector<char16_t> window(capacity, u'\0');
  context.Parse(window.data(), &state, capacity);
  VexNode::CNode* root = state.reader.root;
  if (root != nullptr) {
    if (root->Parent() != nullptr) __builtin_trap();
    // Unknown nodes keep copies of their tag: no search by a constant may find one.
    static const char16_t kTag[] = u"a";
    if (VexNode::FindNode(root, kTag) != nullptr) __builtin_trap();
    auto* unknown = static_cast<VexNode::CUnknownNode*>(root);
    uint64_t checksum = 0;
    for (size_t i = 0; i < unknown->PairCount(); ++i) {
      for (char16_t unit : unknown->PairName(i)) checksum += unit;
      for (char16_t unit : unknown->PairValue(i)) checksum += unit;
    }
    if (unknown->PairCount() == 0 || unknown->PairName(0) != unknown->GetTagName()) __builtin_trap();
    (void)checksum;
  }
  delete root;
  return 0;
}
