// The generic node that records any element's tag and attributes as text.
#include "document/unknown_node.h"

#include "document/stream.h"

namespace VexNode {

CUnknownNode::CUnknownNode(CNode* parent, const char16_t* tag, AttributeList attributes)
    : CNode(parent), tag_(tag) {
  if (attributes == nullptr) return;
  for (const AttributePair* entry = attributes; entry->name != nullptr; ++entry) {
    pairs_.emplace_back(CNodeString(entry->Name()), CNodeString(entry->ValueView()));
  }
}

void CUnknownNode::Serialize(IVexStream* stream) {
  if (!stream->IsStoring()) return;
  for (auto& [name, value] : pairs_) stream->ExchangeString(name.Text(), &value);
}

}  // namespace VexNode
