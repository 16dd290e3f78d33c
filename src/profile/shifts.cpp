// Field exchange of the shift nodes.
#include "profile/shifts.h"

#include "profile/exchange.h"

namespace VexNode::profile {

void CShiftListNode::Serialize(IVexStream* stream) {
  stream->ExchangeBool(u"can_edit", &can_edit, true);
}

void CShiftNode::Serialize(IVexStream* stream) {
  stream->ExchangeGuid(kTagShift, &value);
  stream->ExchangeGuid(u"fallback", &fallback);
  stream->ExchangeString(u"name", &name);
  ExchangeTable(stream, u"used", &used, kUsedTable, 2);
}

void CShiftCommandNode::Serialize(IVexStream* stream) {
  stream->ExchangeGuid(kTagShiftCommand, &value);
  stream->ExchangeInt(u"parameter", &parameter, 0);
}

void CButtonHidNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagButtonHid, &value, 0);
}

}  // namespace VexNode::profile
