// The node factory that maps element tags to node classes.
#include "document/factory.h"

#include "document/unknown_node.h"

namespace VexNode {

void CFactory::Register(const char16_t* tag, NodeCreator creator) {
  if (generic_ || tag == nullptr) return;
  creators_.insert_or_assign(tag, creator);
}

bool CFactory::Create(const char16_t* tag, AttributeList attributes, CNode** node, CNode* parent) {
  *node = nullptr;
  if (tag == nullptr) return false;
  if (generic_) {
    *node = new CUnknownNode(parent, tag, attributes);
    return true;
  }
  auto found = creators_.find(tag);
  if (found == creators_.end() || found->second == nullptr) return false;
  *node = found->second(parent);
  return *node != nullptr;
}

bool CFactory::IsKnown(const char16_t* tag) const {
  if (generic_) return true;
  return tag != nullptr && creators_.count(tag) != 0;
}

}  // namespace VexNode
