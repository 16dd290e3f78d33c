// Shift states with the button combinations that select them, shift commands and assignments.
#pragma once

#include <cstdint>

#include "document/node.h"
#include "document/node_string.h"
#include "document/stream.h"
#include "platform/guid.h"

namespace VexNode::profile {

inline constexpr char16_t kTagShifts[] = u"shifts";
inline constexpr char16_t kTagShift[] = u"shift";
inline constexpr char16_t kTagShiftCommand[] = u"shiftcommand";
inline constexpr char16_t kTagSelectionSet[] = u"selectionset";
inline constexpr char16_t kTagButtonCombo[] = u"buttoncombo";
inline constexpr char16_t kTagButtonHid[] = u"buttonhid";
inline constexpr char16_t kTagAssignments[] = u"assignments";

// The numbers do not follow the table order: true is 2, always 1.
inline constexpr EnumEntry kUsedTable[] = {{0, u"false"}, {2, u"true"}, {1, u"always"}};

// Kind code of a HID button usage node.
inline constexpr int32_t kKindButtonHid = 2;

// Holds the shift elements; it has no own value.
class CShiftListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagShifts; }
  void Serialize(IVexStream* stream) override;

  bool can_edit = true;
};

// A shift state; its selection sets hold the button combinations that select it.
class CShiftNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagShift; }
  void Serialize(IVexStream* stream) override;

  platform::Guid value;  // the shift GUID
  platform::Guid fallback;
  CNodeString name;
  int32_t used = 2;  // kUsedTable, true
};

class CShiftCommandNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagShiftCommand; }
  void Serialize(IVexStream* stream) override;

  platform::Guid value;
  int32_t parameter = 0;
};

// Holds buttoncombo elements.
class CSelectionSetNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagSelectionSet; }
};

// Holds buttonhid elements: the buttons pressed together.
class CButtonComboNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagButtonCombo; }
};

// Base of the HID usage nodes; never created by itself.
class CHidNode : public CNode {
 public:
  using CNode::CNode;
};

class CButtonHidNode : public CHidNode {
 public:
  using CHidNode::CHidNode;
  const char16_t* GetTagName() const override { return kTagButtonHid; }
  void Serialize(IVexStream* stream) override;
  virtual int32_t Kind() const { return kKindButtonHid; }

  int32_t value = 0;  // the HID button usage
};

class CAssignmentListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagAssignments; }
};

}  // namespace VexNode::profile
