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

}  // namespace

LoadStatus LoadDocument(std::u16string_view path, RegisterNodesFn register_nodes, std::unique_ptr<CNode>* root) {
  root->reset();
  auto* state = new ReaderState;
  CNode_Reader reader(state);
  CFactory factory;
  if (register_nodes != nullptr) {
    register_nodes(&factory);
  } else {
    factory.SetGenericMode(true);
  }
  std::FILE* file = platform::OpenSharedRead(path, "rb");
  if (file == nullptr) {
    PrintToStderr("Could not open file %S\n", std::u16string(path).c_str());
    return LoadStatus::kCannotOpen;
  }
  // The reader asks for at most one window (8 KB) at a time, and after most refills for less: a
  // larger buffer takes a profile in a few system calls instead of two or three per window. The
  // buffer must outlive the file.
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kFileBufferBytes]);
  if (buffer != nullptr) std::setvbuf(file, buffer.get(), _IOFBF, kFileBufferBytes);
  state->file = file;
  CNode* tree = nullptr;
  const bool parsed = reader.Read(state, &factory, &tree);
  std::fclose(file);
  state->file = nullptr;
  if (!parsed) {
    delete tree;
    return LoadStatus::kSyntaxError;
  }
  root->reset(tree);
  return LoadStatus::kLoaded;
}

}  // namespace VexNode
