// The memory of one loaded document tree: its nodes and their texts, in a few large blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace VexNode {

class CNode;

// A bump allocator for the nodes of one tree and the texts they hold. Each node allocated here is
// counted; the arena frees all of its blocks when its last node is deleted, so deleting the root
// releases the whole document at once. Nothing is freed piecemeal: a text that is replaced by a
// longer one leaves its old buffer unused until then.
class NodeArena {
 public:
  NodeArena() = default;
  NodeArena(const NodeArena&) = delete;
  NodeArena& operator=(const NodeArena&) = delete;
  ~NodeArena();

  // bytes aligned to kAlignment; null when memory runs out. Inline: every node and text asks.
  void* Allocate(size_t bytes) {
    if (bytes > SIZE_MAX - kAlignment) return nullptr;
    bytes = (bytes + kAlignment - 1) & ~(kAlignment - 1);
    if (static_cast<size_t>(end_ - cursor_) >= bytes) {
      void* at = cursor_;
      cursor_ += bytes;
      return at;
    }
    return AllocateSlow(bytes);
  }
  void AddNode() { ++nodes_; }
  // True when that was the last node: the caller then deletes the arena.
  bool RemoveNode() { return --nodes_ == 0; }
  size_t Nodes() const { return nodes_; }

  // What the node classes record to release the arena's tree whole, without visiting each node:
  // kept and read by node.cpp only (see CNode's destructor).
  struct TreeRecord {
    const CNode* root = nullptr;    // the first node made here, without a parent
    const void* allocated = nullptr;  // the latest node allocated here, until its constructor runs
    bool allocated_plain = false;     // its class's destructor has nothing to do in an arena
    bool node_by_node = false;        // a node does not fit the record: release each node in turn
    bool releasing = false;           // the whole tree is being released
    std::vector<CNode*> destructible;  // every node made here whose destructor must run, in order
  };
  TreeRecord& Tree() { return tree_; }
  // Every node but the one being deleted is gone with the tree.
  void KeepOneNode() { nodes_ = 1; }

  static constexpr size_t kAlignment = alignof(std::max_align_t);

 private:
  struct Block {
    Block* next;
    size_t bytes;  // the whole block, this header included
  };
  void* AllocateSlow(size_t bytes);

  char* cursor_ = nullptr;
  char* end_ = nullptr;
  Block* blocks_ = nullptr;
  size_t nodes_ = 0;
  TreeRecord tree_;
};

namespace node_memory {

namespace internal {
inline constinit thread_local NodeArena* current = nullptr;
}  // namespace internal

// The arena that node and text allocations of this thread go to, or null for the heap. The
// reader sets it while it creates and fills one element's node. Inline: every node asks.
inline NodeArena* Current() { return internal::current; }

class Scope {
 public:
  explicit Scope(NodeArena* arena);
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

 private:
  NodeArena* previous_;
};

// Text buffers of nodes: from the current arena when there is one (*in_arena is then true and
// the buffer is never released by itself), otherwise from the heap. Null when memory runs out.
char16_t* AllocateUnits(size_t units, bool* in_arena);
void ReleaseUnits(char16_t* units, bool in_arena);

}  // namespace node_memory
}  // namespace VexNode
