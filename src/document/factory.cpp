// The node factory that maps element tags to node classes.
#include "document/factory.h"

#include <cstdint>
#include <cstring>

#include "document/unknown_node.h"

namespace VexNode {
namespace {

// Tags are short words that differ in length or at their ends: a hash of the length and three
// units spreads a vocabulary well at a fraction of the cost of hashing every unit.
size_t TagHash(const char16_t* tag, size_t length) {
  size_t hash = length;
  if (length != 0) {
    hash = hash * 0x9E3779B97F4A7C15ull ^ tag[0];
    hash = hash * 0x9E3779B97F4A7C15ull ^ tag[length / 2];
    hash = hash * 0x9E3779B97F4A7C15ull ^ tag[length - 1];
  }
  return hash ^ (hash >> 29);
}

size_t TagLength(const char16_t* tag) {
  size_t length = 0;
  while (tag[length] != u'\0') ++length;
  return length;
}

// Four units a step while they last: tags are a dozen units or so.
bool SameUnits(const char16_t* a, const char16_t* b, size_t length) {
  size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    uint64_t x, y;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    if (x != y) return false;
  }
  for (; i < length; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

size_t CFactory::Lookup(const char16_t* tag, size_t length, size_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t at = hash & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.tag == nullptr) return at;
    if (slot.hash == hash && slot.length == length && SameUnits(slot.tag, tag, length)) return at;
  }
}

const CFactory::Slot* CFactory::Find(const char16_t* tag, size_t length) const {
  if (slots_.empty()) return nullptr;
  const Slot& slot = slots_[Lookup(tag, length, TagHash(tag, length))];
  return slot.tag != nullptr ? &slot : nullptr;
}

void CFactory::Grow() {
  std::vector<Slot> old = std::move(slots_);
  slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
  for (const Slot& slot : old) {
    if (slot.tag != nullptr) slots_[Lookup(slot.tag, slot.length, slot.hash)] = slot;
  }
}

void CFactory::Register(const char16_t* tag, NodeCreator creator) {
  if (generic_ || tag == nullptr) return;
  if (2 * (used_ + 1) > slots_.size()) Grow();
  const size_t length = TagLength(tag);
  const size_t hash = TagHash(tag, length);
  Slot& slot = slots_[Lookup(tag, length, hash)];
  if (slot.tag == nullptr) {
    ++used_;
    slot.tag = tag;
    slot.length = length;
    slot.hash = hash;
  }
  slot.creator = creator;  // a second registration of the same tag keeps the later creator
}

bool CFactory::Create(const char16_t* tag, AttributeList attributes, CNode** node, CNode* parent) {
  *node = nullptr;
  if (tag == nullptr) return false;
  if (generic_) {
    *node = CUnknownNode::Make(parent, tag, attributes);
    return true;
  }
  const Slot* found = Find(tag, TagLength(tag));
  if (found == nullptr || found->creator == nullptr) return false;
  *node = found->creator(parent);
  return *node != nullptr;
}

bool CFactory::IsKnown(const char16_t* tag) const {
  if (generic_) return true;
  return tag != nullptr && Find(tag, TagLength(tag)) != nullptr;
}

}  // namespace VexNode
