// Field exchange and registration of the output description vocabulary.
#include "output/output_nodes.h"

namespace VexNode::lumivoxdriver {
namespace {

template <class Node>
CNode* Create(CNode* parent) {
  return new Node(parent);
}

// CLedNode, CStringNode, CImageNode and CShiftButtonNode: the own value is all there is.
template <class Node>
void SerializeOwnId(Node& node, IVexStream* stream) {
  stream->ExchangeInt(node.GetTagName(), &node.value, 0);
}

// CVariableNode and CTextNode: a text and the rectangle it occupies.
template <class Node>
void SerializeArea(Node& node, IVexStream* stream) {
  stream->ExchangeString(node.GetTagName(), &node.value);
  stream->ExchangeInt(u"left", &node.left, 0);
  stream->ExchangeInt(u"right", &node.right, 0);
  stream->ExchangeInt(u"top", &node.top, 0);
  stream->ExchangeInt(u"bottom", &node.bottom, 0);
}

}  // namespace

// The declared defaults handed to the stream are the initial values of the fields.

void CLedCapsNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagLedCaps, &value, 0);
  stream->ExchangeInt(u"maxvalue", &maxvalue, 1);
  stream->ExchangeInt(u"default", &defaultvalue, 1);
  stream->ExchangeInt(u"command", &command, 0);
  stream->ExchangeInt(u"index", &index, 0);
}

void CStringCapsNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagStringCaps, &value, 0);
  stream->ExchangeInt(u"maxlength", &maxlength, 0);
  stream->ExchangeInt(u"setcommand", &setcommand, 0);
  stream->ExchangeInt(u"clearcommand", &clearcommand, 0);
  stream->ExchangeInt(u"marqueetime", &marqueetime, 200);
}

void CImageCapsNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagImageCaps, &value, 0);
  stream->ExchangeInt(u"width", &width, 0);
  stream->ExchangeInt(u"height", &height, 0);
  stream->ExchangeInt(u"bpp", &bpp, 0);
  stream->ExchangeInt(u"setcommand", &setcommand, 0);
  stream->ExchangeInt(u"clearcommand", &clearcommand, 0);
}

void CBrightnessCapsNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagBrightnessCaps, &value, 0);
  stream->ExchangeInt(u"maxvalue", &maxvalue, 127);
  stream->ExchangeInt(u"command", &command, 0);
  stream->ExchangeInt(u"index", &index, 0);
}

void CShiftButtonNode::Serialize(IVexStream* stream) { SerializeOwnId(*this, stream); }

void CPageNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagPage, &value, 0);
  stream->ExchangeString(u"name", &name);
}

void CLedNode::Serialize(IVexStream* stream) { SerializeOwnId(*this, stream); }

void CLedConditionNode::Serialize(IVexStream* stream) {
  stream->ExchangeString(kTagLedCondition, &value);
  stream->ExchangeInt(u"true", &true_value, 0);
  stream->ExchangeInt(u"false", &false_value, 0);
}

void CStringNode::Serialize(IVexStream* stream) { SerializeOwnId(*this, stream); }

void CImageNode::Serialize(IVexStream* stream) { SerializeOwnId(*this, stream); }

void CVariableNode::Serialize(IVexStream* stream) { SerializeArea(*this, stream); }

void CTextNode::Serialize(IVexStream* stream) { SerializeArea(*this, stream); }

void CFontNode::Serialize(IVexStream* stream) {
  stream->ExchangeString(kTagFont, &value);
  stream->ExchangeInt(u"size", &size, 10);
  stream->ExchangeInt(u"color", &color, 0xFFFFFF);
}

void CSoftButtonNode::Serialize(IVexStream* stream) {
  stream->ExchangeInt(kTagSoftButton, &value, 0);
  stream->ExchangeInt(u"mask", &mask, 0);
}

void RegisterOutputNodes(IFactory* factory) {
  factory->Register(kTagDevice, Create<CDeviceNode>);
  factory->Register(kTagOutputList, Create<COutputListNode>);
  factory->Register(kTagLedCaps, Create<CLedCapsNode>);
  factory->Register(kTagStringCaps, Create<CStringCapsNode>);
  factory->Register(kTagImageCaps, Create<CImageCapsNode>);
  factory->Register(kTagBrightnessCaps, Create<CBrightnessCapsNode>);
  factory->Register(kTagShiftButton, Create<CShiftButtonNode>);
  factory->Register(kTagPageList, Create<CPageListNode>);
  factory->Register(kTagPage, Create<CPageNode>);
  factory->Register(kTagLed, Create<CLedNode>);
  factory->Register(kTagLedCondition, Create<CLedConditionNode>);
  factory->Register(kTagString, Create<CStringNode>);
  factory->Register(kTagImage, Create<CImageNode>);
  factory->Register(kTagVariable, Create<CVariableNode>);
  factory->Register(kTagText, Create<CTextNode>);
  factory->Register(kTagFont, Create<CFontNode>);
  factory->Register(kTagSoftButton, Create<CSoftButtonNode>);
}

}  // namespace VexNode::lumivoxdriver
