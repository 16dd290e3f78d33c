// Reads one document file into a tree of nodes through a factory.
#include "document/node_reader.h"

#include <algorithm>
#include <bit>
#include <new>
#include <string>
#include <string_view>

#include "document/node_arena.h"
#include "document/parser.h"
#include "document/stream.h"
#include "log/log.h"

namespace VexNode {
namespace {

void Say(const char16_t* text) { PrintToStderr(" - - - - - Pr0 Parser says... \"%ls\"\n", text); }

}  // namespace

bool CNode_Reader::Read(ReaderState* state, IFactory* factory, CNode** root) {
  if (state->say_start) Say(u"Parsing");
  state->factory = factory;
  state->current = nullptr;
  state->skip_depth = 0;
  state->root = *root;
  CPr0Parser parser;
  ParseContext* context = parser.Context();
  bool parsed = false;
  char16_t* window = new (std::nothrow) char16_t[kWindowUnits];
  if (window == nullptr) {
    state->outcome = u"malloc failed when trying to allocate pBuf";
  } else {
    std::fill_n(window, kWindowUnits, u'\0');
    context->ReadInput = &CNode_Reader::ReadInput;
    context->OnElementStart = &CNode_Reader::OnElementStart;
    context->OnElementEnd = &CNode_Reader::OnElementEnd;
    parsed = Parse(context, window, state);
    delete[] window;
    state->outcome = parsed ? u"Parsed OK" : context->Message();
  }
  *root = state->root;
  if (state->say_end) SayEnd(*state, *root);
  return parsed;
}

void CNode_Reader::SayEnd(const ReaderState& state, const CNode* root) {
  if (state.outcome != nullptr) Say(state.outcome);
  if (root == nullptr) Say(u"root is null");
}

bool CNode_Reader::ReadInput(void* user, char16_t* destination, size_t* count) {
  auto* state = static_cast<ReaderState*>(user);
  if (state == nullptr || state->file == nullptr) {
    *count = 0;
    return false;
  }
  // Whole units only: an odd trailing byte is never read.
  *count = std::fread(destination, sizeof(char16_t), *count, state->file);
  if constexpr (std::endian::native == std::endian::big) {
    for (size_t i = 0; i < *count; ++i) destination[i] = static_cast<char16_t>((destination[i] >> 8) | (destination[i] << 8));
  }
  return *count != 0;
}

void CNode_Reader::OnElementStart(void* user, const char16_t* name, AttributeList attributes) {
  auto* state = static_cast<ReaderState*>(user);
  if (state->skip_depth > 0) {
    ++state->skip_depth;
    if (state->watched != nullptr && !state->watched_skipped) {
      for (const char16_t* const* tag = state->watched; *tag != nullptr; ++tag) {
        if (name[0] == (*tag)[0] && std::u16string_view(name) == *tag) {
          state->watched_skipped = true;
          break;
        }
      }
    }
    return;
  }
  if (state->factory == nullptr) {
    state->skip_depth = 1;
    return;
  }
  // The first node of a document starts its arena; every later one joins its parent's. Nodes and
  // the texts their Serialize stores are then allocated from it.
  NodeArena* arena = state->current != nullptr ? CNode::ArenaOf(state->current) : new NodeArena;
  node_memory::Scope scope(arena);
  CNode* node = nullptr;
  if (!state->factory->Create(name, attributes, &node, state->current)) {
    if (arena != nullptr && arena->Nodes() == 0) delete arena;
    state->skip_depth = 1;  // an unregistered tag: skip it and everything inside it
    if (state->current == nullptr) state->watched_skipped = true;
    return;
  }
  if (state->root == nullptr) state->root = node;
  state->current = node;
  if (attributes != nullptr) {
    CAttributeStream_Expat stream(attributes);
    node->Serialize(&stream);
  }
}

void CNode_Reader::OnElementEnd(void* user) {
  auto* state = static_cast<ReaderState*>(user);
  if (state->skip_depth > 0) {
    --state->skip_depth;
    return;
  }
  if (state->current != nullptr && state->current->Parent() != nullptr) state->current = state->current->Parent();
}

}  // namespace VexNode
