// Reads one document file into a tree of nodes through a factory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string_view>

#include "document/factory.h"
#include "document/node.h"

namespace VexNode {

// Shared by the reader's parser callbacks through the parser's user context.
struct ReaderState {
  IFactory* factory = nullptr;
  int32_t skip_depth = 0;      // open elements being skipped (unregistered tag and all inside it)
  CNode* current = nullptr;    // where new nodes are created
  CNode* root = nullptr;       // the first node created
  std::FILE* file = nullptr;   // opened by the caller, read as little-endian UTF-16 units
};

class CNode_Reader {
 public:
  // Takes ownership of state.
  explicit CNode_Reader(ReaderState* state) : state_(state) {}
  virtual ~CNode_Reader() = default;
  ReaderState* State() const { return state_.get(); }

  // Parses state->file. *root is the initial root on entry (callers pass null) and the root built
  // on return, which may be a partial tree after a failure (the caller deletes it). Prints
  // "Parsing", then "Parsed OK" or the parser's message, then "root is null" when no node was made.
  bool Read(ReaderState* state, IFactory* factory, CNode** root);

  // The parser callbacks; user is the ReaderState.
  static bool ReadInput(void* user, char16_t* destination, size_t* count);
  static void OnElementStart(void* user, const char16_t* name, AttributeList attributes);
  static void OnElementEnd(void* user);

 private:
  std::unique_ptr<ReaderState> state_;
};

// A document type's registration function (the output description or the profile vocabulary).
using RegisterNodesFn = void (*)(IFactory* factory);

enum class LoadStatus { kLoaded, kCannotOpen, kSyntaxError };

// The procedure every document user follows: a fresh CFactory with register_nodes applied (or in
// generic mode when register_nodes is null), open the file for shared reading, read, close. On
// kLoaded *root holds the tree (null for a document without elements or with an unregistered
// top-level tag); otherwise *root is null and any partial tree has been deleted.
LoadStatus LoadDocument(std::u16string_view path, RegisterNodesFn register_nodes, std::unique_ptr<CNode>* root);

}  // namespace VexNode
