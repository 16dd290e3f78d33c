// The document-reading procedure shared by every document user: factory, open, read, close.
#include <string>

#include "document/node_reader.h"
#include "log/log.h"
#include "platform/files.h"

namespace VexNode {

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
