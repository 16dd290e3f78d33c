// The generic node that records any element's tag and attributes as text.
#pragma once

#include <utility>
#include <vector>

#include "document/node.h"
#include "document/node_string.h"
#include "document/parser.h"

namespace VexNode {

class CUnknownNode : public CNode {
 public:
  // Copies the tag and every entry of attributes, entry 0 included.
  CUnknownNode(CNode* parent, const char16_t* tag, AttributeList attributes);
  ~CUnknownNode() override = default;

  // The copied tag text: a search by a class's tag constant never finds an unknown node.
  const char16_t* GetTagName() const override { return tag_.Text(); }
  // A storing stream gets every pair back; a loading one changes nothing.
  void Serialize(IVexStream* stream) override;

  const std::vector<std::pair<CNodeString, CNodeString>>& Pairs() const { return pairs_; }

 private:
  CNodeString tag_;
  std::vector<std::pair<CNodeString, CNodeString>> pairs_;
};

}  // namespace VexNode
