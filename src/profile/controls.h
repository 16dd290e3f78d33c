// The controls of a profile's controller: axes, buttons, hats, analogue buttons, mouse axes and
// the collections (slider, ministick, mouse pointer) that group them.
#pragma once

#include <cstdint>

#include "document/node.h"
#include "document/node_string.h"
#include "document/stream.h"

namespace VexNode::profile {

inline constexpr char16_t kTagControls[] = u"controls";
inline constexpr char16_t kTagControlBase[] = u"control_base";
inline constexpr char16_t kTagAxis[] = u"axis";
inline constexpr char16_t kTagButton[] = u"button";
inline constexpr char16_t kTagHat[] = u"hat";
inline constexpr char16_t kTagAnalogButton[] = u"analogbutton";
inline constexpr char16_t kTagMouseAxis[] = u"mouseaxis";
inline constexpr char16_t kTagSlider[] = u"slider";
inline constexpr char16_t kTagMinistick[] = u"ministick";
inline constexpr char16_t kTagMousePointer[] = u"mousepointer";

// Kind codes of the controls (no code 4).
inline constexpr int32_t kKindMouseAxis = 0;
inline constexpr int32_t kKindAxis = 1;
inline constexpr int32_t kKindHat = 2;
inline constexpr int32_t kKindButton = 3;
inline constexpr int32_t kKindAnalogButton = 5;

// Value tables. In the role table fallback and unprogrammed are swapped against the others.
inline constexpr EnumEntry kRoleTable[] = {
    {0, u"fallback"}, {1, u"unprogrammed"}, {2, u"bands"},      {3, u"mouse"},
    {4, u"mouse-x"},  {5, u"mouse-y"},      {6, u"directional"}, {7, u"report-as"}};
inline constexpr EnumEntry kMappingTable[] = {{0, u"unprogrammed"}, {1, u"fallback"}, {2, u"maps"}};
inline constexpr EnumEntry kAxisEnvelopeTable[] = {
    {0, u"unprogrammed"}, {1, u"fallback"}, {2, u"envelope"}, {3, u"sensitivity"}, {4, u"points"}};
inline constexpr EnumEntry kMouseAxisEnvelopeTable[] = {
    {0, u"unprogrammed"}, {1, u"fallback"}, {2, u"envelope"}, {3, u"sensitivity"}};
inline constexpr EnumEntry kHatEnvelopeTable[] = {{0, u"unprogrammed"}, {1, u"fallback"}, {2, u"envelope"}};
inline constexpr EnumEntry kDrawOrientationTable[] = {{0, u"horz"}, {1, u"vert"}, {2, u"invert"}};

// Holds the controls and collections of a controller.
class CControlListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagControls; }
};

// What every control and collection has: its number and its name.
class CControlBaseNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagControlBase; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // the control's number
  CNodeString name;
};

// A single control. role, mapping and envelope name the kind of child element that programs
// it; each subclass reads only those its element carries, the others keep their values.
class CControlNode : public CControlBaseNode {
 public:
  using CControlBaseNode::CControlBaseNode;
  const char16_t* GetTagName() const override = 0;
  void Serialize(IVexStream* stream) override;
  virtual int32_t Kind() const = 0;

  int32_t role = 0;      // kRoleTable, fallback
  int32_t mapping = 1;   // kMappingTable, fallback
  int32_t envelope = 1;  // the subclass's envelope table, fallback
};

class CAxisNode : public CControlNode {
 public:
  using CControlNode::CControlNode;
  const char16_t* GetTagName() const override { return kTagAxis; }
  void Serialize(IVexStream* stream) override;
  int32_t Kind() const override { return kKindAxis; }

  int32_t draworientation = 0;  // kDrawOrientationTable, horz
};

class CButtonNode : public CControlNode {
 public:
  using CControlNode::CControlNode;
  const char16_t* GetTagName() const override { return kTagButton; }
  void Serialize(IVexStream* stream) override;
  int32_t Kind() const override { return kKindButton; }

  bool latched = false;
  bool latchable = true;
};

class CHatNode : public CControlNode {
 public:
  using CControlNode::CControlNode;
  const char16_t* GetTagName() const override { return kTagHat; }
  void Serialize(IVexStream* stream) override;
  int32_t Kind() const override { return kKindHat; }

  int32_t way = 9;
};

// Reads only the attributes common to all controls.
class CAnalogButtonNode : public CControlNode {
 public:
  using CControlNode::CControlNode;
  const char16_t* GetTagName() const override { return kTagAnalogButton; }
  int32_t Kind() const override { return kKindAnalogButton; }
};

class CMouseAxisNode : public CControlNode {
 public:
  using CControlNode::CControlNode;
  const char16_t* GetTagName() const override { return kTagMouseAxis; }
  void Serialize(IVexStream* stream) override;
  int32_t Kind() const override { return kKindMouseAxis; }
};

// A group of controls (and further collections) held as children.
class CControlCollectionNode : public CControlBaseNode {
 public:
  using CControlBaseNode::CControlBaseNode;
  const char16_t* GetTagName() const override = 0;
};

class CSliderNode : public CControlCollectionNode {
 public:
  using CControlCollectionNode::CControlCollectionNode;
  const char16_t* GetTagName() const override { return kTagSlider; }
};

class CMinistickNode : public CControlCollectionNode {
 public:
  using CControlCollectionNode::CControlCollectionNode;
  const char16_t* GetTagName() const override { return kTagMinistick; }
};

class CMousePointerNode : public CControlCollectionNode {
 public:
  using CControlCollectionNode::CControlCollectionNode;
  const char16_t* GetTagName() const override { return kTagMousePointer; }
};

}  // namespace VexNode::profile
