// The base class of document nodes, their creators and the tree search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "document/node_arena.h"

namespace VexNode {

class IVexStream;
class CNode;

// Allocates from a document's arena when it has one (and never frees there: the arena goes as a
// whole), otherwise from the heap.
template <class T>
class NodeAllocator {
 public:
  using value_type = T;
  explicit NodeAllocator(NodeArena* arena = nullptr) noexcept : arena_(arena) {}
  template <class U>
  NodeAllocator(const NodeAllocator<U>& other) noexcept : arena_(other.Arena()) {}

  T* allocate(std::size_t count) {
    if (arena_ == nullptr) return std::allocator<T>().allocate(count);
    void* memory = count <= SIZE_MAX / sizeof(T) ? arena_->Allocate(count * sizeof(T)) : nullptr;
    if (memory == nullptr) throw std::bad_alloc();
    return static_cast<T*>(memory);
  }
  void deallocate(T* memory, std::size_t count) noexcept {
    if (arena_ == nullptr) std::allocator<T>().deallocate(memory, count);
  }
  NodeArena* Arena() const { return arena_; }
  friend bool operator==(const NodeAllocator& a, const NodeAllocator& b) { return a.arena_ == b.arena_; }

 private:
  NodeArena* arena_;
};

// A node's children in document order.
using ChildList = std::vector<CNode*, NodeAllocator<CNode*>>;

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

  // A node made while a document is read lives in that document's arena (node_arena.h), any
  // other in the heap; `delete` is right for both. The arena goes when its last node is deleted,
  // or with its root when every other node of the arena lies in the root's tree as it was read.
  static void* operator new(std::size_t size);
  static void operator delete(void* node);
  // The arena the node lives in, or null for a heap node. Only for nodes made with `new`.
  static NodeArena* ArenaOf(const CNode* node) {
    return node != nullptr ? *reinterpret_cast<NodeArena* const*>(reinterpret_cast<const char*>(node) - kHeader) : nullptr;
  }

  // The class's own tag constant; its address, not its text, identifies the node's kind.
  virtual const char16_t* GetTagName() const = 0;
  // Exchanges the node's fields with the stream; this one exchanges nothing.
  virtual void Serialize(IVexStream* stream);

  CNode* Parent() const { return parent_; }
  const ChildList& Children() const { return children_; }

  // Every node made with `new` is preceded by the arena it came from (null for the heap), one
  // alignment unit long.
  static constexpr std::size_t kHeader = NodeArena::kAlignment;

 protected:
  // The operator new of a final class whose destructor has nothing to release for a node in an
  // arena (every field it owns lives there too). A tree read from a document is then released
  // with its arena, and the destructors of such nodes are not called.
  static void* AllocatePlain(std::size_t size);

 private:
  // Deletes the rest of a tree this root heads in its arena: the destructors that must run, in
  // the order the nodes were made (pre-order), and no visit to any other node.
  void ReleaseTree(NodeArena* arena);

  CNode* parent_;
  ChildList children_;  // in the arena of the document being read, if any
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
