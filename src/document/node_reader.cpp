// Reads one document file into a tree of nodes through a factory (being written).
#include "document/node_reader.h"

namespace VexNode {

bool CNode_Reader::Read(ReaderState* state, IFactory* factory, CNode** root) { return false; }
bool CNode_Reader::ReadInput(void* user, char16_t* destination, size_t* count) { return false; }
void CNode_Reader::OnElementStart(void* user, const char16_t* name, AttributeList attributes) {}
void CNode_Reader::OnElementEnd(void* user) {}

LoadStatus LoadDocument(std::u16string_view path, RegisterNodesFn register_nodes, std::unique_ptr<CNode>* root) {
  root->reset();
  return LoadStatus::kCannotOpen;
}

}  // namespace VexNode
