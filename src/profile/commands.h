// The commands of a profile (action, temporal, cycle and string commands), their content
// (action blocks, actions, strings, cycle and temporal steps) and the named data blocks.
#pragma once

#include <cstdint>

#include "document/node.h"
#include "document/node_string.h"
#include "document/stream.h"
#include "platform/guid.h"

namespace VexNode::profile {

inline constexpr char16_t kTagCommands[] = u"commands";
inline constexpr char16_t kTagCommand[] = u"command";
inline constexpr char16_t kTagActionCommand[] = u"actioncommand";
inline constexpr char16_t kTagTemporalCommand[] = u"temporalcommand";
inline constexpr char16_t kTagCycleCommand[] = u"cyclecommand";
inline constexpr char16_t kTagStringCommand[] = u"stringcommand";
inline constexpr char16_t kTagActionBlock[] = u"actionblock";
inline constexpr char16_t kTagAction[] = u"action";
inline constexpr char16_t kTagString[] = u"string";
inline constexpr char16_t kTagCycle[] = u"cycle";
inline constexpr char16_t kTagTemporal[] = u"temporal";
inline constexpr char16_t kTagBlasts[] = u"blasts";
inline constexpr char16_t kTagBlast[] = u"blast";

inline constexpr EnumEntry kBlockKindTable[] = {{0, u"regular"}, {1, u"macro"}};
inline constexpr EnumEntry kBlockTypeTable[] = {{0, u"press"}, {1, u"repeat"}, {2, u"release"}};
// The numbers do not follow the table order: joystick is 4, hotkey 3.
inline constexpr EnumEntry kDeviceTable[] = {
    {0, u"self"}, {1, u"keyboard"}, {2, u"mouse"}, {4, u"joystick"}, {3, u"hotkey"}};

// Holds the command elements.
class CCommandListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagCommands; }
};

// What every command has; never created from a document by itself.
class CCommandNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagCommand; }
  void Serialize(IVexStream* stream) override;

  platform::Guid value;  // the command GUID
  CNodeString name;
  platform::Guid icon;
};

class CActionCommandNode : public CCommandNode {
 public:
  using CCommandNode::CCommandNode;
  const char16_t* GetTagName() const override { return kTagActionCommand; }
};

class CTemporalCommandNode : public CCommandNode {
 public:
  using CCommandNode::CCommandNode;
  const char16_t* GetTagName() const override { return kTagTemporalCommand; }
};

class CCycleCommandNode : public CCommandNode {
 public:
  using CCommandNode::CCommandNode;
  const char16_t* GetTagName() const override { return kTagCycleCommand; }
};

class CStringCommandNode : public CCommandNode {
 public:
  using CCommandNode::CCommandNode;
  const char16_t* GetTagName() const override { return kTagStringCommand; }
  void Serialize(IVexStream* stream) override;

  platform::Guid type;
  CNodeString data;
};

class CActionBlockNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagActionBlock; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;  // kBlockKindTable, regular
  int32_t type = 0;   // kBlockTypeTable, press
};

// One input action; it has no own value, value is an ordinary attribute here.
class CActionNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagAction; }
  void Serialize(IVexStream* stream) override;

  int32_t device = 0;  // kDeviceTable, self
  int64_t time = 0;    // negative, in 100 ns units
  int32_t usage = 0;
  int32_t page = 0;
  int32_t value = 0;
};

// The profile's own string element; the output description has another.
class CStringNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagString; }
  void Serialize(IVexStream* stream) override;

  CNodeString value;  // the text
  platform::Guid type;
  int64_t time = 0;
};

class CCycleNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagCycle; }
  void Serialize(IVexStream* stream) override;

  platform::Guid value;
  int32_t parameter = 0;
};

class CTemporalNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagTemporal; }
  void Serialize(IVexStream* stream) override;

  platform::Guid value;
  int64_t time = 0;
  int32_t parameter = 0;
};

// Holds the blast elements.
class CBlastListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagBlasts; }
};

// A named block of data.
class CBlastNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagBlast; }
  void Serialize(IVexStream* stream) override;

  platform::Guid value;
  CNodeString name;
  CNodeString data;
};

}  // namespace VexNode::profile
