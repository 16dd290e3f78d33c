// Field exchange of the control programming nodes.
#include "profile/programming.h"

#include "profile/exchange.h"

namespace VexNode::profile {
namespace {

// CMouseXNode and CMouseYNode: a sensitivity of their own and the direction.
template <class Node>
void SerializeMouseAxis(Node& node, IVexStream* stream) {
  stream->ExchangeInt(node.GetTagName(), &node.value, 0);
  stream->ExchangeBool(u"inverted", &node.inverted, false);
}

}  // namespace

void CCalibrationNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(u"min", &min, 0);
  stream->ExchangeInt(u"mid", &mid, 0);
  stream->ExchangeInt(u"max", &max, 0);
}

void CEnvelopeNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(u"lran", &lran, 0);
  stream->ExchangeInt(u"cran", &cran, 0);
  stream->ExchangeInt(u"hran", &hran, 0);
  stream->ExchangeInt(u"lsat", &lsat, 0);
  stream->ExchangeInt(u"ldead", &ldead, 0);
  stream->ExchangeInt(u"hdead", &hdead, 0);
  stream->ExchangeInt(u"hsat", &hsat, 0);
  stream->ExchangeInt(u"lcurve", &lcurve, 0);
  ExchangeTable(stream, u"lcurvetype", &lcurvetype, kCurveTable, 0);
  stream->ExchangeInt(u"hcurve", &hcurve, 0);
  ExchangeTable(stream, u"hcurvetype", &hcurvetype, kCurveTable, 0);
  stream->ExchangeBool(u"invert", &invert, false);
}

void CSensitivityNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagSensitivity, &value, 0);
  stream->ExchangeInt(u"min", &min, 1);
  stream->ExchangeInt(u"max", &max, 30);
}

void CPointNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(u"input", &input, 0);
  stream->ExchangeInt(u"output", &output, 0);
}

void CMappingNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagMap, &value, 0);
  ExchangeTable(stream, u"from", &from, kAxisSetTable, 0);
  ExchangeTable(stream, u"to", &to, kAxisSetTable, 0);
}

void CBandNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagBand, &value, 0);
  stream->ExchangeGuid(u"command", &command);
  stream->ExchangeInt(u"parameter", &parameter, 0);
}

void CMouseNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(u"x-sensitivity", &x_sensitivity, 0);
  stream->ExchangeInt(u"y-sensitivity", &y_sensitivity, 0);
  stream->ExchangeBool(u"x-invert", &x_invert, false);
  stream->ExchangeBool(u"y-invert", &y_invert, false);
}

void CMouseXNode::Serialize(IVexStream* stream) { SerializeMouseAxis(*this, stream); }

void CMouseYNode::Serialize(IVexStream* stream) { SerializeMouseAxis(*this, stream); }

void CDirectionalNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagDirectional, &value, 1);
  stream->ExchangeGuid(u"increment", &increment);
  stream->ExchangeGuid(u"decrement", &decrement);
}

void CReportAsNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagReportAs, &value, 0);
}

}  // namespace VexNode::profile
