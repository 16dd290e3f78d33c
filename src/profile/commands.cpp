// Field exchange of the command nodes.
#include "profile/commands.h"

#include "profile/exchange.h"

namespace VexNode::profile {

void CCommandNode::Serialize(IVexStream* stream) {
  stream->ExchangeGuid(GetTagName(), &value);
  stream->ExchangeString(u"name", &name);
  stream->ExchangeGuid(u"icon", &icon);
}

void CStringCommandNode::Serialize(IVexStream* stream) {
  CCommandNode::Serialize(stream);
  stream->ExchangeGuid(u"type", &type);
  stream->ExchangeString(u"data", &data);
}

void CActionBlockNode::Serialize(IVexStream* stream) {
  ExchangeTable(stream, kTagActionBlock, &value, kBlockKindTable, 0);
  ExchangeTable(stream, u"type", &type, kBlockTypeTable, 0);
}

void CActionNode::Serialize(IVexStream* stream) {
  ExchangeTable(stream, u"device", &device, kDeviceTable, 0);
  stream->ExchangeTimeout(u"time", &time, 0);
  stream->ExchangeInt(u"usage", &usage, 0);
  stream->ExchangeInt(u"page", &page, 0);
  stream->ExchangeInt(u"value", &value, 0);
}

void CStringNode::Serialize(IVexStream* stream) {
  stream->ExchangeString(kTagString, &value);
  stream->ExchangeGuid(u"type", &type);
  stream->ExchangeTimeout(u"time", &time, 1);
}

void CCycleNode::Serialize(IVexStream* stream) {
  stream->ExchangeGuid(kTagCycle, &value);
  stream->ExchangeInt(u"parameter", &parameter, 0);
}

void CTemporalNode::Serialize(IVexStream* stream) {
  stream->ExchangeGuid(kTagTemporal, &value);
  stream->ExchangeTimeout(u"time", &time, 0);
  stream->ExchangeInt(u"parameter", &parameter, 0);
}

void CBlastNode::Serialize(IVexStream* stream) {
  stream->ExchangeGuid(kTagBlast, &value);
  stream->ExchangeString(u"name", &name);
  stream->ExchangeData(u"data", &data);
}

}  // namespace VexNode::profile
