// The generic node that records any element's tag and attributes as text.
#include "document/unknown_node.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <new>
#include <vector>

#include "document/node_arena.h"
#include "document/node_string.h"
#include "document/parser.h"
#include "document/stream.h"

namespace VexNode {

namespace {

// Lays out the block of a node in a buffer of capacity units: the offsets of the texts (two units
// each, low half first) and one past the last, then the texts, each ending in U+0000. Each text
// is measured while it is copied. Zero when the buffer is too small.
size_t LayOut(char16_t* out, size_t capacity, const char16_t* tag, AttributeList attributes, size_t count) {
  const size_t text_count = 1 + 2 * count;
  size_t at = 2 * (text_count + 1);
  if (at > capacity) return 0;
  size_t index = 0;
  auto start_text = [&] {
    out[2 * index] = static_cast<char16_t>(at & 0xFFFF);
    out[2 * index + 1] = static_cast<char16_t>(at >> 16);
    ++index;
  };
  auto put = [&](const char16_t* text) {
    start_text();
    for (;;) {
      if (at == capacity) return false;
      if ((out[at++] = *text++) == u'\0') return true;
    }
  };
  // A raw value's data may hold U+0000 units: it is copied by its length.
  auto put_view = [&](std::u16string_view text) {
    start_text();
    if (capacity - at < text.size() + 1) return false;
    std::copy(text.begin(), text.end(), out + at);
    at += text.size();
    out[at++] = u'\0';
    return true;
  };
  if (!put(tag)) return 0;
  for (size_t i = 0; i < count; ++i) {
    const AttributePair& entry = attributes[i];
    const bool stored = entry.IsRaw() ? put(entry.Name()) && put_view(entry.ValueView())
                                      : put(entry.name) && put(entry.value);
    if (!stored) return 0;
  }
  start_text();  // one past the last text
  return at;
}

size_t CountPairs(AttributeList attributes) {
  size_t count = 0;
  while (attributes != nullptr && attributes[count].name != nullptr) ++count;
  return count;
}

// The U+0000 that ends the last text of a head of count pairs that lies whole in the reader's
// window from its tag on; null when it does not, or when the copy's block would be too long for
// offsets of one unit (never in a window of the usual 4096 units).
const char16_t* HeadEnd(const char16_t* tag, AttributeList attributes, size_t count) {
  const ParseWindow window = CurrentParseWindow();
  if (count == 0 || tag != attributes[0].name) return nullptr;
  if (static_cast<size_t>(window.end - window.begin) + 2 * count + 1 > 0xFFFF) return nullptr;
  // Read in one pass: the reader vouches that every text lies between the tag and head_end.
  if (tag == window.head_begin) return window.head_end - 1;
  if (!window.Holds(tag)) return nullptr;
  // The texts follow the tag in the window, each ending in U+0000 before the next begins. An
  // empty one may lie anywhere (an absent own value is the reader's end marker).
  const char16_t* last = tag;
  for (size_t i = 0; i < count; ++i) {
    const AttributePair& entry = attributes[i];
    if (entry.IsRaw()) return nullptr;
    for (const char16_t* text : {entry.name, entry.value}) {
      if (*text == u'\0') continue;
      if (!window.Holds(text) || text < tag) return nullptr;
      if (text > last) last = text;
    }
  }
  const char16_t* end = std::find(last, window.end, u'\0');
  return end != window.end ? end : nullptr;
}

// The units of the block of a head copy: one for the offset of each text, then the head.
size_t HeadCopyUnits(const char16_t* tag, size_t count, const char16_t* end) {
  return (1 + 2 * count) + static_cast<size_t>(end + 1 - tag);
}

}  // namespace

void CUnknownNode::CopyHead(const char16_t* tag, AttributeList attributes, size_t count, const char16_t* end) {
  const size_t header = text_count_;
  std::memcpy(block_ + header, tag, static_cast<size_t>(end + 1 - tag) * sizeof(char16_t));
  auto start = [&](const char16_t* text) {
    return static_cast<char16_t>(header + static_cast<size_t>((*text == u'\0' ? end : text) - tag));
  };
  block_[0] = static_cast<char16_t>(header);
  for (size_t i = 0; i < count; ++i) {
    block_[1 + 2 * i] = start(attributes[i].name);
    block_[2 + 2 * i] = start(attributes[i].value);
  }
  head_copy_ = true;
}

CUnknownNode* CUnknownNode::Make(CNode* parent, const char16_t* tag, AttributeList attributes) {
  const size_t count = CountPairs(attributes);
  const char16_t* end = HeadEnd(tag, attributes, count);
  if (end == nullptr) return new CUnknownNode(parent, tag, attributes);
  // The block's units follow the node; a head lies in a window of a few thousand units.
  void* memory = AllocatePlain(sizeof(CUnknownNode) + HeadCopyUnits(tag, count, end) * sizeof(char16_t));
  return ::new (memory) CUnknownNode(parent, tag, attributes, count, end);
}

CUnknownNode::CUnknownNode(CNode* parent, const char16_t* tag, AttributeList attributes, size_t count,
                           const char16_t* end)
    : CNode(parent), text_count_(1 + 2 * count), block_(reinterpret_cast<char16_t*>(this + 1)), in_arena_(true) {
  CopyHead(tag, attributes, count, end);
}

CUnknownNode::CUnknownNode(CNode* parent, const char16_t* tag, AttributeList attributes) : CNode(parent) {
  const size_t count = CountPairs(attributes);
  text_count_ = 1 + 2 * count;
  if (const char16_t* end = HeadEnd(tag, attributes, count)) {
    block_ = node_memory::AllocateUnits(HeadCopyUnits(tag, count, end), &in_arena_);
    if (block_ == nullptr) throw std::bad_alloc();
    CopyHead(tag, attributes, count, end);
    return;
  }
  // Most elements are small: lay the block out on the stack in one pass, then copy it whole.
  constexpr size_t kScratchUnits = 2048;
  char16_t scratch[kScratchUnits];
  size_t units = LayOut(scratch, kScratchUnits, tag, attributes, count);
  if (units != 0) {
    block_ = node_memory::AllocateUnits(units, &in_arena_);
    if (block_ == nullptr) throw std::bad_alloc();
    std::copy_n(scratch, units, block_);
    return;
  }
  // A larger one is measured first.
  units = 2 * (text_count_ + 1) + std::char_traits<char16_t>::length(tag) + 1;
  for (size_t i = 0; i < count; ++i) {
    units += std::char_traits<char16_t>::length(attributes[i].Name()) + attributes[i].ValueView().size() + 2;
  }
  block_ = node_memory::AllocateUnits(units, &in_arena_);
  if (block_ == nullptr) throw std::bad_alloc();
  LayOut(block_, units, tag, attributes, count);
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
