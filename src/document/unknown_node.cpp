// The generic node that records any element's tag and attributes as text.
#include "document/unknown_node.h"

#include <algorithm>
#include <new>
#include <vector>

#include "document/node_arena.h"
#include "document/node_string.h"
#include "document/stream.h"

namespace VexNode {

CUnknownNode::CUnknownNode(CNode* parent, const char16_t* tag, AttributeList attributes) : CNode(parent) {
  size_t count = 0;
  while (attributes != nullptr && attributes[count].name != nullptr) ++count;
  text_count_ = 1 + 2 * count;
  // Measure every text once; most elements have few attributes and need no heap for this.
  // Plain pieces, not views: a local array of views would be zero-filled on every call.
  struct Piece {
    const char16_t* data;
    size_t size;
    Piece& operator=(std::u16string_view text) {
      data = text.data();
      size = text.size();
      return *this;
    }
    const char16_t* begin() const { return data; }
    const char16_t* end() const { return data + size; }
  };
  constexpr size_t kInline = 33;
  Piece inline_texts[kInline];
  std::vector<Piece> heap_texts;
  Piece* texts = inline_texts;
  if (text_count_ > kInline) {
    heap_texts.resize(text_count_);
    texts = heap_texts.data();
  }
  texts[0] = tag;
  size_t units = 2 * (text_count_ + 1) + texts[0].size + 1;
  for (size_t i = 0; i < count; ++i) {
    texts[1 + 2 * i] = attributes[i].Name();
    texts[2 + 2 * i] = attributes[i].ValueView();
    units += texts[1 + 2 * i].size + texts[2 + 2 * i].size + 2;
  }
  block_ = node_memory::AllocateUnits(units, &in_arena_);
  if (block_ == nullptr) throw std::bad_alloc();
  size_t at = 2 * (text_count_ + 1);
  for (size_t i = 0; i <= text_count_; ++i) {
    block_[2 * i] = static_cast<char16_t>(at & 0xFFFF);
    block_[2 * i + 1] = static_cast<char16_t>(at >> 16);
    if (i == text_count_) break;
    std::copy(texts[i].begin(), texts[i].end(), block_ + at);
    at += texts[i].size;
    block_[at++] = u'\0';
  }
}

CUnknownNode::~CUnknownNode() { node_memory::ReleaseUnits(block_, in_arena_); }

void CUnknownNode::Serialize(IVexStream* stream) {
  if (!stream->IsStoring()) return;
  for (size_t i = 0; i < PairCount(); ++i) {
    const std::u16string name(PairName(i));
    CNodeString value(PairValue(i));
    stream->ExchangeString(name.c_str(), &value);
  }
}

}  // namespace VexNode
