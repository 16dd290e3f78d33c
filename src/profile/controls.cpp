// Field exchange of the control nodes.
#include "profile/controls.h"

#include "profile/exchange.h"

namespace VexNode::profile {

void CControlBaseNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(GetTagName(), &value, 0);
  stream->ExchangeString(u"name", &name);
}

void CControlNode::Serialize(IVexStream* stream) {
  CControlBaseNode::Serialize(stream);
  ExchangeTable(stream, u"role", &role, kRoleTable, 0);
}

void CAxisNode::Serialize(IVexStream* stream) {
  CControlNode::Serialize(stream);
  ExchangeTable(stream, u"mapping", &mapping, kMappingTable, 1);
  ExchangeTable(stream, u"envelope", &envelope, kAxisEnvelopeTable, 1);
  ExchangeTable(stream, u"draworientation", &draworientation, kDrawOrientationTable, 0);
}

void CButtonNode::Serialize(IVexStream* stream) {
  CControlNode::Serialize(stream);
  ExchangeTable(stream, u"mapping", &mapping, kMappingTable, 1);
  stream->ExchangeBool(u"latched", &latched, false);
  stream->ExchangeBool(u"latchable", &latchable, true);
}

void CHatNode::Serialize(IVexStream* stream) {
  CControlNode::Serialize(stream);
  ExchangeTable(stream, u"mapping", &mapping, kMappingTable, 1);
  ExchangeTable(stream, u"envelope", &envelope, kHatEnvelopeTable, 1);
  stream->ExchangeInt(u"way", &way, 9);
}

void CMouseAxisNode::Serialize(IVexStream* stream) {
  CControlNode::Serialize(stream);
  ExchangeTable(stream, u"envelope", &envelope, kMouseAxisEnvelopeTable, 1);
}

}  // namespace VexNode::profile
