// The base class of document nodes, their creators and the tree search.
#pragma once

#include <cstdint>
#include <vector>

namespace VexNode {

class IVexStream;

// One element of a document, owning its children. The constructor attaches the new node to its
// parent (when there is one), which owns it from then on; deleting a root deletes the tree.
class CNode {
 public:
  explicit CNode(CNode* parent);
  CNode(const CNode&) = delete;
  CNode& operator=(const CNode&) = delete;
  // Deletes every descendant once, in pre-order (a node before its children, siblings first to
  // last). A derived destructor finds its children already taken over: do not use them there.
  virtual ~CNode();

  // The class's own tag constant; its address, not its text, identifies the node's kind.
  virtual const char16_t* GetTagName() const = 0;
  // Exchanges the node's fields with the stream; this one exchanges nothing.
  virtual void Serialize(IVexStream* stream);

  CNode* Parent() const { return parent_; }
  const std::vector<CNode*>& Children() const { return children_; }

 private:
  CNode* parent_;
  std::vector<CNode*> children_;
  [[maybe_unused]] bool flag_ = true;      // set by the constructor, not read here
  [[maybe_unused]] int64_t reserved_ = 0;  // set by the constructor, not read here
};

// Creates a node of one class under parent (which may be null).
using NodeCreator = CNode* (*)(CNode* parent);

// The first node in depth-first pre-order, starting with node itself, whose GetTagName returns
// exactly the pointer tag. Null when there is none or when node is null.
CNode* FindNode(CNode* node, const char16_t* tag);
const CNode* FindNode(const CNode* node, const char16_t* tag);

}  // namespace VexNode
