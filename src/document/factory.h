// The node factory that maps element tags to node classes.
#pragma once

#include <cstddef>
#include <vector>

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
  // One registered tag. The table is open-addressed with linear probing, a power of two in size
  // and at most half full: every element of a document is looked up here, and a lookup is one
  // pass over the tag's units, a hash and usually a single comparison.
  struct Slot {
    const char16_t* tag = nullptr;  // null: the slot is free
    size_t length = 0;
    size_t hash = 0;
    NodeCreator creator = nullptr;
  };
  // The index of the slot holding tag, or of the free slot where it belongs; the table must not
  // be empty.
  size_t Lookup(const char16_t* tag, size_t length, size_t hash) const;
  // The slot of tag (length units long), or null.
  const Slot* Find(const char16_t* tag, size_t length) const;
  void Grow();

  std::vector<Slot> slots_;
  size_t used_ = 0;
  bool generic_ = false;
};

}  // namespace VexNode
