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
  // A read that skips elements a full read would make nodes of: the tags whose appearance inside
  // a skipped element, or a skipped first element, would make its tree answer differently; then
  // watched_skipped is set.
  const char16_t* const* watched = nullptr;  // null-terminated
  bool watched_skipped = false;
  bool say_start = true;  // print "Parsing" when the read starts
  bool say_end = true;    // print the outcome when it ends
  const char16_t* outcome = nullptr;  // "Parsed OK", the parser's message, or why it could not run
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
  // The lines Read prints at its end: the outcome, then "root is null" when there is no root.
  static void SayEnd(const ReaderState& state, const CNode* root);

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

// The same tree, read first with register_light, which leaves out elements whose contents the
// caller never looks at; when one of the watched tags lies inside such an element (or the first
// element is one), the document is read again with register_full, so the tree always answers the
// caller's searches as the full one would. What is printed is what one full read prints.
LoadStatus LoadDocumentSkipping(std::u16string_view path, RegisterNodesFn register_light, RegisterNodesFn register_full,
                                const char16_t* const* watched, std::unique_ptr<CNode>* root);

}  // namespace VexNode
