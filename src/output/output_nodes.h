// The output description vocabulary: one node class per element of a controller's .dat file.
#pragma once

#include <cstdint>

#include "document/factory.h"
#include "document/node.h"
#include "document/node_string.h"
#include "document/stream.h"

namespace VexNode::lumivoxdriver {

// Tag constants: a node's kind is the address its GetTagName returns, so compare with these.
inline constexpr char16_t kTagDevice[] = u"device";
inline constexpr char16_t kTagOutputList[] = u"outputlist";
inline constexpr char16_t kTagLedCaps[] = u"ledcaps";
inline constexpr char16_t kTagStringCaps[] = u"stringcaps";
inline constexpr char16_t kTagImageCaps[] = u"imagecaps";
inline constexpr char16_t kTagBrightnessCaps[] = u"brightnesscaps";
inline constexpr char16_t kTagShiftButton[] = u"shiftbutton";
inline constexpr char16_t kTagPageList[] = u"pagelist";
inline constexpr char16_t kTagPage[] = u"page";
inline constexpr char16_t kTagLed[] = u"led";
inline constexpr char16_t kTagLedCondition[] = u"ledcondition";
inline constexpr char16_t kTagString[] = u"string";
inline constexpr char16_t kTagImage[] = u"image";
inline constexpr char16_t kTagVariable[] = u"variable";
inline constexpr char16_t kTagText[] = u"text";
inline constexpr char16_t kTagFont[] = u"font";
inline constexpr char16_t kTagSoftButton[] = u"softbutton";

// Every class below reads its own value (when it has one) under its tag, then its attributes
// in the order listed; fields keep the values given here when an attribute is absent.

class CDeviceNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagDevice; }
};

class COutputListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagOutputList; }
};

class CLedCapsNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagLedCaps; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // LED id
  int32_t maxvalue = 1;
  int32_t defaultvalue = 1;  // attribute "default"; read, never used
  int32_t command = 0;       // 16-bit command code of the controller
  int32_t index = 0;
};

class CStringCapsNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagStringCaps; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // string id
  int32_t maxlength = 0;     // characters of one display line
  int32_t setcommand = 0;    // 16-bit command codes of the controller
  int32_t clearcommand = 0;
  int32_t marqueetime = 200;  // milliseconds per marquee step
};

class CImageCapsNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagImageCaps; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // image id
  int32_t width = 0;
  int32_t height = 0;
  int32_t bpp = 0;
  int32_t setcommand = 0;
  int32_t clearcommand = 0;
};

class CBrightnessCapsNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagBrightnessCaps; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // id
  int32_t maxvalue = 127;
  int32_t command = 0;
  int32_t index = 0;
};

class CShiftButtonNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagShiftButton; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // HID usage of the shift button
};

class CPageListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagPageList; }
};

class CPageNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagPage; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // page number
  CNodeString name;
};

class CLedNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagLed; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // LED id
};

class CLedConditionNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagLedCondition; }
  void Serialize(IVexStream* stream) override;

  CNodeString value;  // condition
  int32_t true_value = 0;   // attribute "true"
  int32_t false_value = 0;  // attribute "false"
};

// The output description's own string element; the profile vocabulary has another.
class CStringNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagString; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // string id
};

class CImageNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagImage; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // image id
};

// CVariableNode and CTextNode share their fields and Serialize; only the tag differs.
class CVariableNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagVariable; }
  void Serialize(IVexStream* stream) override;

  CNodeString value;  // variable name
  int32_t left = 0;
  int32_t right = 0;
  int32_t top = 0;
  int32_t bottom = 0;
};

class CTextNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagText; }
  void Serialize(IVexStream* stream) override;

  CNodeString value;  // the text
  int32_t left = 0;
  int32_t right = 0;
  int32_t top = 0;
  int32_t bottom = 0;
};

class CFontNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagFont; }
  void Serialize(IVexStream* stream) override;

  // A font element always sets the name, so one written without an own value has none.
  CNodeString value{u"Arial"};  // font name
  int32_t size = 10;
  int32_t color = 0xFFFFFF;
};

class CSoftButtonNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagSoftButton; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // id
  int32_t mask = 0;
};

// Registers the 17 output description tags, device first and softbutton last.
void RegisterOutputNodes(IFactory* factory);

}  // namespace VexNode::lumivoxdriver
