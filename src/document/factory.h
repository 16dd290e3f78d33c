// The node factory that maps element tags to node classes.
#pragma once

#include <cstddef>
#include <string_view>
#include <unordered_map>

#include "document/node.h"
#include "document/parser.h"

namespace VexNode {

class IFactory {
 public:
  virtual ~IFactory() = default;
  // Enters or replaces the creator of tag. The tag text must outlive the factory (it is kept
  // by pointer, as the class's tag constant).
  virtual void Register(const char16_t* tag, NodeCreator creator) = 0;
  // Creates the node for tag under parent; *node is null and the answer false when the tag is
  // not known.
  virtual bool Create(const char16_t* tag, AttributeList attributes, CNode** node, CNode* parent) = 0;
  virtual bool IsKnown(const char16_t* tag) const = 0;
};

// Tags match case-sensitively. In generic mode every tag is known and becomes a CUnknownNode,
// and Register does nothing.
class CFactory : public IFactory {
 public:
  CFactory() = default;
  ~CFactory() override = default;

  void Register(const char16_t* tag, NodeCreator creator) override;
  bool Create(const char16_t* tag, AttributeList attributes, CNode** node, CNode* parent) override;
  bool IsKnown(const char16_t* tag) const override;

  void SetGenericMode(bool generic) { generic_ = generic; }
  bool GenericMode() const { return generic_; }

 private:
  // Tags are short words that differ in length or at their ends: a hash of the length and three
  // units spreads a vocabulary well at a fraction of the cost of hashing every byte.
  struct TagHash {
    size_t operator()(std::u16string_view tag) const noexcept {
      size_t hash = tag.size();
      if (!tag.empty()) {
        hash = hash * 0x9E3779B97F4A7C15ull ^ tag.front();
        hash = hash * 0x9E3779B97F4A7C15ull ^ tag[tag.size() / 2];
        hash = hash * 0x9E3779B97F4A7C15ull ^ tag.back();
      }
      return hash ^ (hash >> 29);
    }
  };
  // Hashed: every element of a document is looked up here.
  std::unordered_map<std::u16string_view, NodeCreator, TagHash> creators_;
  bool generic_ = false;
};

}  // namespace VexNode
