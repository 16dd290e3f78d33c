// The generic node that records any element's tag and attributes as text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <memory>

#include "document/node.h"
#include "document/parser.h"

namespace VexNode {

// Keeps the tag and every (name, value) pair of the element's attribute list, entry 0 included
// (for a raw value, the name in its block and all of its data). The texts and their offsets share
// one block, so a node costs two allocations (itself and the block) however many attributes it has.
// An element head read from the reader's window is copied whole, the texts where they lie in it.
class CUnknownNode final : public CNode {
 public:
  CUnknownNode(CNode* parent, const char16_t* tag, AttributeList attributes);
  // As `new CUnknownNode`, with the block in the node's own allocation when the head lies in the
  // reader's window (one allocation instead of two). Deleted with `delete` like any node.
  static CUnknownNode* Make(CNode* parent, const char16_t* tag, AttributeList attributes);
  ~CUnknownNode() override;
  // Its one block lies in the node's arena, if it has one: the destructor has nothing to do there.
  static void* operator new(std::size_t size) { return AllocatePlain(size); }
  static void operator delete(void* node) { CNode::operator delete(node); }

  // The copied tag text: a search by a class's tag constant never finds an unknown node.
  const char16_t* GetTagName() const override { return block_ + Start(0); }
  // A storing stream gets every pair back with ExchangeString; a loading one changes nothing.
  void Serialize(IVexStream* stream) override;

  size_t PairCount() const { return (text_count_ - 1) / 2; }
  std::u16string_view PairName(size_t index) const { return Text(1 + 2 * index); }
  std::u16string_view PairValue(size_t index) const { return Text(2 + 2 * index); }

 private:
  // Offsets are stored as two units each, low half first; in a head copy (which lies in a window
  // of a few thousand units) as one unit each.
  size_t Start(size_t index) const {
    if (head_copy_) return block_[index];
    return block_[2 * index] | (static_cast<size_t>(block_[2 * index + 1]) << 16);
  }
  std::u16string_view Text(size_t index) const {
    if (head_copy_) return std::u16string_view(block_ + Start(index));
    return std::u16string_view(block_ + Start(index), Start(index + 1) - Start(index) - 1);
  }
  // A node whose block follows it in its allocation: the head of count pairs lies in the reader's
  // window up to end.
  CUnknownNode(CNode* parent, const char16_t* tag, AttributeList attributes, size_t count, const char16_t* end);
  // Copies the head from the tag to end, the U+0000 that ends its last text, into block_.
  void CopyHead(const char16_t* tag, AttributeList attributes, size_t count, const char16_t* end);

  size_t text_count_ = 0;  // the tag, then the name and the value of each pair
  // Packed: the offset of each text and one past the last, then the texts, each ending in U+0000.
  // A head copy: the offset of each text (one unit each), then the head as it lay in the window,
  // where every text ends in U+0000 and none holds one.
  char16_t* block_ = nullptr;
  bool in_arena_ = false;  // the block belongs to the document's arena or to the node's allocation
  bool head_copy_ = false;
};

}  // namespace VexNode
