// The document-reading procedure shared by every document user: factory, open, read, close.
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "document/node_reader.h"
#include "log/log.h"
#include "platform/files.h"

namespace VexNode {
namespace {

constexpr size_t kFileBufferBytes = 64 * 1024;

// One read of an open file into a tree, with the reader's state set up as given; *after gets the
// state as the read left it.
bool ReadTree(std::FILE* file, RegisterNodesFn register_nodes, const ReaderState& settings, ReaderState* after,
              CNode** tree) {
  auto* state = new ReaderState(settings);
  CNode_Reader reader(state);  // owns state
  CFactory factory;
  if (register_nodes != nullptr) {
    register_nodes(&factory);
  } else {
    factory.SetGenericMode(true);
  }
  state->file = file;
  const bool parsed = reader.Read(state, &factory, tree);
  state->file = nullptr;
  *after = *state;
  return parsed;
}

// Opens path for shared reading with a large buffer; null (after the message) when it cannot.
std::FILE* Open(std::u16string_view path, std::unique_ptr<char[]>* buffer) {
  std::FILE* file = platform::OpenSharedRead(path, "rb");
  if (file == nullptr) {
    PrintToStderr("Could not open file %S\n", std::u16string(path).c_str());
    return nullptr;
  }
  // The reader asks for at most one window (8 KB) at a time, and after most refills for less: a
  // larger buffer takes a profile in a few system calls instead of two or three per window. The
  // buffer must outlive the file.
  buffer->reset(new (std::nothrow) char[kFileBufferBytes]);
  if (*buffer != nullptr) std::setvbuf(file, buffer->get(), _IOFBF, kFileBufferBytes);
  return file;
}

LoadStatus Finish(bool parsed, CNode* tree, std::unique_ptr<CNode>* root) {
  if (!parsed) {
    delete tree;
    return LoadStatus::kSyntaxError;
  }
  root->reset(tree);
  return LoadStatus::kLoaded;
}

}  // namespace

LoadStatus LoadDocument(std::u16string_view path, RegisterNodesFn register_nodes, std::unique_ptr<CNode>* root) {
  root->reset();
  std::unique_ptr<char[]> buffer;
  std::FILE* file = Open(path, &buffer);
  if (file == nullptr) return LoadStatus::kCannotOpen;
  CNode* tree = nullptr;
  ReaderState after;
  const bool parsed = ReadTree(file, register_nodes, ReaderState{}, &after, &tree);
  std::fclose(file);
  return Finish(parsed, tree, root);
}

LoadStatus LoadDocumentSkipping(std::u16string_view path, RegisterNodesFn register_light, RegisterNodesFn register_full,
                                const char16_t* const* watched, std::unique_ptr<CNode>* root) {
  root->reset();
  std::unique_ptr<char[]> buffer;
  std::FILE* file = Open(path, &buffer);
  if (file == nullptr) return LoadStatus::kCannotOpen;
  ReaderState light;
  light.watched = watched;
  light.say_end = false;
  ReaderState after;
  CNode* tree = nullptr;
  bool parsed = ReadTree(file, register_light, light, &after, &tree);
  if (after.watched_skipped) {
    // The light tree could answer a search differently: read the whole document again, from its
    // start, saying only what the first read has not said yet.
    delete tree;
    tree = nullptr;
    ReaderState full;
    full.say_start = false;
    if (std::fseek(file, 0, SEEK_SET) == 0) {
      parsed = ReadTree(file, register_full, full, &after, &tree);
    } else {
      after.outcome = u"Error reading from input";
      CNode_Reader::SayEnd(after, nullptr);
      parsed = false;
    }
  } else {
    CNode_Reader::SayEnd(after, tree);
  }
  std::fclose(file);
  return Finish(parsed, tree, root);
}

}  // namespace VexNode
