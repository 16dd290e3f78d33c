// The memory of one loaded document tree: its nodes and their texts, in a few large blocks.
#pragma once

#include <cstddef>

namespace VexNode {

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

  // bytes aligned to kAlignment; null when memory runs out.
  void* Allocate(size_t bytes);
  void AddNode() { ++nodes_; }
  // True when that was the last node: the caller then deletes the arena.
  bool RemoveNode() { return --nodes_ == 0; }
  size_t Nodes() const { return nodes_; }

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
};

namespace node_memory {

// The arena that node and text allocations of this thread go to, or null for the heap. The
// reader sets it while it creates and fills one element's node.
NodeArena* Current();

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
