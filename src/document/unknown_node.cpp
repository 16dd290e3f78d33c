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

}  // namespace

bool CUnknownNode::CopyHead(const char16_t* tag, AttributeList attributes, size_t count) {
  const ParseWindow window = CurrentParseWindow();
  if (count == 0 || tag != attributes[0].name) return false;
  const char16_t* end = nullptr;  // the U+0000 that ends the last text
  if (tag == window.head_begin) {
    // Read in one pass: the reader vouches that every text lies between the tag and head_end.
    end = window.head_end - 1;
  } else {
    if (!window.Holds(tag)) return false;
    // The texts follow the tag in the window, each ending in U+0000 before the next begins. An
    // empty one may lie anywhere (an absent own value is the reader's end marker).
    const char16_t* last = tag;
    for (size_t i = 0; i < count; ++i) {
      const AttributePair& entry = attributes[i];
      if (entry.IsRaw()) return false;
      for (const char16_t* text : {entry.name, entry.value}) {
        if (*text == u'\0') continue;
        if (!window.Holds(text) || text < tag) return false;
        if (text > last) last = text;
      }
    }
    end = std::find(last, window.end, u'\0');
    if (end == window.end) return false;
  }
  const size_t header = 2 * text_count_;
  const auto span = static_cast<size_t>(end + 1 - tag);
  block_ = node_memory::AllocateUnits(header + span, &in_arena_);
  if (block_ == nullptr) throw std::bad_alloc();
  std::memcpy(block_ + header, tag, span * sizeof(char16_t));
  auto set_start = [&](size_t index, const char16_t* text) {
    const size_t at = header + static_cast<size_t>((*text == u'\0' ? end : text) - tag);
    block_[2 * index] = static_cast<char16_t>(at & 0xFFFF);
    block_[2 * index + 1] = static_cast<char16_t>(at >> 16);
  };
  set_start(0, tag);
  for (size_t i = 0; i < count; ++i) {
    set_start(1 + 2 * i, attributes[i].name);
    set_start(2 + 2 * i, attributes[i].value);
  }
  head_copy_ = true;
  return true;
}

CUnknownNode::CUnknownNode(CNode* parent, const char16_t* tag, AttributeList attributes) : CNode(parent) {
  size_t count = 0;
  while (attributes != nullptr && attributes[count].name != nullptr) ++count;
  text_count_ = 1 + 2 * count;
  if (CopyHead(tag, attributes, count)) return;
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
