// The memory of one loaded document tree: its nodes and their texts, in a few large blocks.
#include "document/node_arena.h"

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

namespace VexNode {
namespace {

// Blocks stay below the C library's usual threshold for mapping memory afresh from the system
// (128 KB with glibc), and freed blocks are kept for the next document up to kPooledBlocks: the
// service reads the active profile on every clutch event, and memory handed back to the system
// in between would cost page faults on every read.
constexpr size_t kBlockBytes = 64 * 1024 - 64;
constexpr size_t kPooledBlocks = 32;
constexpr size_t kHeaderBytes = (sizeof(void*) + NodeArena::kAlignment - 1) / NodeArena::kAlignment * NodeArena::kAlignment;

// Free blocks of kBlockBytes, shared by every thread.
class BlockPool {
 public:
  void* Take() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (free_ != nullptr) {
        --count_;
        return std::exchange(free_, *reinterpret_cast<void**>(free_));
      }
    }
    return std::malloc(kBlockBytes);
  }
  void Give(void* block) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (count_ < kPooledBlocks) {
        *reinterpret_cast<void**>(block) = free_;
        free_ = block;
        ++count_;
        return;
      }
    }
    std::free(block);
  }

 private:
  std::mutex mutex_;
  void* free_ = nullptr;
  size_t count_ = 0;
};

// Never destroyed: a thread may still read a document while the process exits.
BlockPool& Pool() {
  static BlockPool* const pool = new BlockPool;
  return *pool;
}

}  // namespace

NodeArena::~NodeArena() {
  while (blocks_ != nullptr) {
    Block* block = blocks_;
    blocks_ = block->next;
    if (block->bytes == kBlockBytes) {
      Pool().Give(block);
    } else {
      std::free(block);
    }
  }
}

void* NodeArena::AllocateSlow(size_t bytes) {
  if (bytes > kBlockBytes - kHeaderBytes) {
    // A text larger than a block gets a block of its own; the current block goes on being filled.
    if (bytes > SIZE_MAX - kHeaderBytes) return nullptr;
    auto* block = static_cast<Block*>(std::malloc(bytes + kHeaderBytes));
    if (block == nullptr) return nullptr;
    *block = {blocks_, bytes + kHeaderBytes};
    blocks_ = block;
    return reinterpret_cast<char*>(block) + kHeaderBytes;
  }
  auto* block = static_cast<Block*>(Pool().Take());
  if (block == nullptr) return nullptr;
  *block = {blocks_, kBlockBytes};
  blocks_ = block;
  cursor_ = reinterpret_cast<char*>(block) + kHeaderBytes + bytes;
  end_ = reinterpret_cast<char*>(block) + kBlockBytes;
  return reinterpret_cast<char*>(block) + kHeaderBytes;
}

namespace node_memory {

Scope::Scope(NodeArena* arena) : previous_(internal::current) { internal::current = arena; }
Scope::~Scope() { internal::current = previous_; }

char16_t* AllocateUnits(size_t units, bool* in_arena) {
  if (units > SIZE_MAX / sizeof(char16_t)) {
    *in_arena = false;
    return nullptr;
  }
  if (NodeArena* arena = internal::current) {
    *in_arena = true;
    return static_cast<char16_t*>(arena->Allocate(units * sizeof(char16_t)));
  }
  *in_arena = false;
  return new (std::nothrow) char16_t[units];
}

void ReleaseUnits(char16_t* units, bool in_arena) {
  if (!in_arena) delete[] units;
}

}  // namespace node_memory
}  // namespace VexNode
