// The base class of document nodes and the tree search.
#include "document/node.h"

#include <cstddef>
#include <new>
#include <utility>

#include "document/node_arena.h"

namespace VexNode {
namespace {

constexpr std::size_t kNodeHeader = CNode::kHeader;
static_assert(sizeof(NodeArena*) <= kNodeHeader);

NodeArena*& HeaderOf(void* node) { return *reinterpret_cast<NodeArena**>(static_cast<char*>(node) - kNodeHeader); }

// Allocates a node; plain: its class's destructor has nothing to do for a node in an arena.
void* AllocateNode(std::size_t size, bool plain) {
  NodeArena* arena = node_memory::Current();
  void* block = nullptr;
  if (arena != nullptr) {
    block = size <= SIZE_MAX - kNodeHeader ? arena->Allocate(size + kNodeHeader) : nullptr;
    if (block == nullptr) throw std::bad_alloc();
    arena->AddNode();
  } else {
    if (size > SIZE_MAX - kNodeHeader) throw std::bad_alloc();
    block = ::operator new(size + kNodeHeader);
  }
  void* node = static_cast<char*>(block) + kNodeHeader;
  HeaderOf(node) = arena;
  if (arena != nullptr) {
    arena->Tree().allocated = node;
    arena->Tree().allocated_plain = plain;
  }
  return node;
}

}  // namespace

void* CNode::operator new(std::size_t size) { return AllocateNode(size, false); }

void* CNode::AllocatePlain(std::size_t size) { return AllocateNode(size, true); }

void CNode::operator delete(void* node) {
  if (node == nullptr) return;
  NodeArena* arena = HeaderOf(node);
  if (arena == nullptr) {
    ::operator delete(static_cast<char*>(node) - kNodeHeader);
  } else if (arena->RemoveNode()) {
    delete arena;
  }
}



CNode::CNode(CNode* parent) : parent_(parent), children_(NodeAllocator<CNode*>(node_memory::Current())) {
  NodeArena* arena = children_.get_allocator().Arena();
  NodeArena* parent_arena = parent_ != nullptr ? parent_->children_.get_allocator().Arena() : arena;
  if (parent_arena != arena) {
    // A node made elsewhere under a node of an arena (a heap node added after the read), or one
    // of an arena under a node elsewhere: each tree is then released node by node.
    if (parent_arena != nullptr) parent_arena->Tree().node_by_node = true;
    if (arena != nullptr) arena->Tree().node_by_node = true;
  }
  if (arena != nullptr) {
    // The tree of the arena can be released whole while every node made here is one that
    // operator new allocated here and the first one is the only one without a parent.
    NodeArena::TreeRecord& tree = arena->Tree();
    if (tree.allocated != this || (parent_ == nullptr) != (tree.root == nullptr)) {
      tree.node_by_node = true;
    } else if (parent_ == nullptr) {
      tree.root = this;
    } else if (!tree.allocated_plain) {
      tree.destructible.push_back(this);
    }
    tree.allocated = nullptr;
  }
  if (parent_ == nullptr) return;
  // Most parents have a few children: room for four at the first saves the regrowths at one and two.
  if (parent_->children_.capacity() == 0) parent_->children_.reserve(4);
  parent_->children_.push_back(this);
}

CNode::~CNode() {
  if (NodeArena* arena = children_.get_allocator().Arena()) {
    NodeArena::TreeRecord& tree = arena->Tree();
    if (tree.releasing) return;  // the root releases the arena, and every child list with it
    if (tree.root == this && !tree.node_by_node) {
      ReleaseTree(arena);
      return;
    }
    // A node deleted on its own: the others are found only by visiting the tree from now on.
    if (tree.root != this) tree.node_by_node = true;
  }
  // Deletes the subtree in pre-order (each node before its children, siblings first to last)
  // without recursion, so that a document nested a million deep cannot exhaust the stack. Each
  // node's children are taken over before it is deleted; its destructor then finds none.
  std::vector<CNode*> pending(children_.rbegin(), children_.rend());
  children_.clear();
  while (!pending.empty()) {
    CNode* node = pending.back();
    pending.pop_back();
    pending.insert(pending.end(), node->children_.rbegin(), node->children_.rend());
    node->children_.clear();
    delete node;
  }
}

void CNode::ReleaseTree(NodeArena* arena) {
  NodeArena::TreeRecord& tree = arena->Tree();
  tree.releasing = true;
  for (CNode* node : tree.destructible) node->~CNode();
  // The arena goes when this root's own memory is given back.
  arena->KeepOneNode();
}

void CNode::Serialize(IVexStream*) {}

CNode* FindNode(CNode* node, const char16_t* tag) {
  return const_cast<CNode*>(FindNode(static_cast<const CNode*>(node), tag));
}

const CNode* FindNode(const CNode* node, const char16_t* tag) {
  // Depth-first pre-order without recursion: documents may nest deeper than the stack allows.
  if (node == nullptr) return nullptr;
  std::vector<std::pair<const CNode*, std::size_t>> path;  // a node and the next child to visit
  if (node->GetTagName() == tag) return node;
  path.emplace_back(node, 0);
  while (!path.empty()) {
    auto& [parent, next] = path.back();
    if (next == parent->Children().size()) {
      path.pop_back();
      continue;
    }
    const CNode* child = parent->Children()[next++];
    if (child->GetTagName() == tag) return child;
    path.emplace_back(child, 0);
  }
  return nullptr;
}

}  // namespace VexNode
