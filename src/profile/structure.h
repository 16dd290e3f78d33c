// The profile document's structural elements (profile, controllers, controller, member), the
// registration of the whole profile vocabulary and the lookup of a device's controller.
#pragma once

#include <cstdint>

#include "document/factory.h"
#include "document/node.h"
#include "document/node_string.h"
#include "document/stream.h"
#include "platform/guid.h"

namespace VexNode::profile {

inline constexpr char16_t kTagProfile[] = u"profile";
inline constexpr char16_t kTagControllers[] = u"controllers";
inline constexpr char16_t kTagController[] = u"controller";
inline constexpr char16_t kTagMember[] = u"member";

class CProfileNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagProfile; }
  void Serialize(IVexStream* stream) override;

  CNodeString value;  // the profile name
  int32_t version = 0x01000001;
};

// Holds the controller elements.
class CControllerListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagControllers; }
};

class CControllerNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagController; }
  void Serialize(IVexStream* stream) override;

  platform::Guid value;  // the controller GUID
  CNodeString group;
};

// One device model that the controller stands for. Once read, an empty name takes the short
// name and an empty short name takes the name.
class CMemberNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagMember; }
  void Serialize(IVexStream* stream) override;

  platform::Guid value;  // the member GUID
  CNodeString name;
  CNodeString shortname;
};

// Registers the 46 profile elements, profile first and blast last.
void RegisterProfileNodes(IFactory* factory);

// The same vocabulary for reading a profile's summary: the same tags, so the same tree, but the
// elements whose fields the summary never reads (action blocks, actions, programming, assignments
// and the like: most of a large profile) become bare nodes of their tag, which hold no fields and
// exchange no attributes.
void RegisterProfileSummaryNodes(IFactory* factory);

// A first, lighter read for the summary: the elements under which the summary never looks (action
// blocks, bands, calibrations, envelopes and the like) are left out with everything inside them.
// The summary then reads the document again with RegisterProfileSummaryNodes when one of
// kProfileSummaryWatched lay inside a left-out element, where the searches of the full tree could
// have found it.
void RegisterProfileSummaryLightNodes(IFactory* factory);
extern const char16_t* const kProfileSummaryWatched[];

// The controller of a device: the first controller that lists a member with the given member
// GUID; failing that, the first controller whose own GUID is the given controller GUID. Either
// GUID may be null (not given). The controllers node searched is the root itself when it is
// one, else the first found below the root.
CControllerNode* FindController(CNode* root, const platform::Guid* member,
                                const platform::Guid* controller);

}  // namespace VexNode::profile
