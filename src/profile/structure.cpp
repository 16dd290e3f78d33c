// The structural profile nodes, the registration of the profile vocabulary and FindController.
#include "profile/structure.h"

#include "profile/commands.h"
#include "profile/controls.h"
#include "profile/programming.h"
#include "profile/shifts.h"

namespace VexNode::profile {
namespace {

template <class Node>
CNode* Create(CNode* parent) {
  return new Node(parent);
}

// A node that is nothing but its tag: it keeps the tree's shape where the fields are not wanted.
template <const char16_t* kTag>
class CBareNode final : public CNode {
 public:
  using CNode::CNode;
  // No field: its destructor has nothing to do.
  static void* operator new(std::size_t size) { return AllocatePlain(size); }
  static void operator delete(void* node) { CNode::operator delete(node); }
  const char16_t* GetTagName() const override { return kTag; }
};

template <const char16_t* kTag>
CNode* CreateBare(CNode* parent) {
  return new CBareNode<kTag>(parent);
}

// An empty name takes the short name, then an empty short name takes the name.
void FillInMemberNames(CMemberNode* member) {
  if (member->name.Length() == 0) member->name.Assign(member->shortname);
  if (member->shortname.Length() == 0) member->shortname.Assign(member->name);
}

}  // namespace

void CProfileNode::Serialize(IVexStream* stream) {
  stream->ExchangeString(kTagProfile, &value);
  stream->ExchangeInt(u"version", &version, 0);
}

void CControllerNode::Serialize(IVexStream* stream) {
  stream->ExchangeGuid(kTagController, &value);
  stream->ExchangeString(u"group", &group);
}

void CMemberNode::Serialize(IVexStream* stream) {
  if (stream->IsStoring()) FillInMemberNames(this);
  stream->ExchangeGuid(kTagMember, &value);
  stream->ExchangeString(u"name", &name);
  stream->ExchangeString(u"shortname", &shortname);
  if (stream->IsLoading()) FillInMemberNames(this);
}

void RegisterProfileNodes(IFactory* factory) {
  factory->Register(kTagProfile, Create<CProfileNode>);
  factory->Register(kTagControllers, Create<CControllerListNode>);
  factory->Register(kTagController, Create<CControllerNode>);
  factory->Register(kTagMember, Create<CMemberNode>);
  factory->Register(kTagControls, Create<CControlListNode>);
  factory->Register(kTagShifts, Create<CShiftListNode>);
  factory->Register(kTagShift, Create<CShiftNode>);
  factory->Register(kTagShiftCommand, Create<CShiftCommandNode>);
  factory->Register(kTagSelectionSet, Create<CSelectionSetNode>);
  factory->Register(kTagButtonCombo, Create<CButtonComboNode>);
  factory->Register(kTagButtonHid, Create<CButtonHidNode>);
  factory->Register(kTagAssignments, Create<CAssignmentListNode>);
  factory->Register(kTagMinistick, Create<CMinistickNode>);
  factory->Register(kTagSlider, Create<CSliderNode>);
  factory->Register(kTagMousePointer, Create<CMousePointerNode>);
  factory->Register(kTagAxis, Create<CAxisNode>);
  factory->Register(kTagMouseAxis, Create<CMouseAxisNode>);
  factory->Register(kTagButton, Create<CButtonNode>);
  factory->Register(kTagHat, Create<CHatNode>);
  factory->Register(kTagAnalogButton, Create<CAnalogButtonNode>);
  factory->Register(kTagCalibration, Create<CCalibrationNode>);
  factory->Register(kTagBands, Create<CBandsNode>);
  factory->Register(kTagMouse, Create<CMouseNode>);
  factory->Register(kTagMouseX, Create<CMouseXNode>);
  factory->Register(kTagMouseY, Create<CMouseYNode>);
  factory->Register(kTagDirectional, Create<CDirectionalNode>);
  factory->Register(kTagReportAs, Create<CReportAsNode>);
  factory->Register(kTagEnvelope, Create<CEnvelopeNode>);
  factory->Register(kTagSensitivity, Create<CSensitivityNode>);
  factory->Register(kTagPoints, Create<CPointListNode>);
  factory->Register(kTagPoint, Create<CPointNode>);
  factory->Register(kTagMaps, Create<CMappingsNode>);
  factory->Register(kTagMap, Create<CMappingNode>);
  factory->Register(kTagBand, Create<CBandNode>);
  factory->Register(kTagCommands, Create<CCommandListNode>);
  factory->Register(kTagActionCommand, Create<CActionCommandNode>);
  factory->Register(kTagActionBlock, Create<CActionBlockNode>);
  factory->Register(kTagAction, Create<CActionNode>);
  factory->Register(kTagString, Create<CStringNode>);
  factory->Register(kTagCycleCommand, Create<CCycleCommandNode>);
  factory->Register(kTagCycle, Create<CCycleNode>);
  factory->Register(kTagTemporalCommand, Create<CTemporalCommandNode>);
  factory->Register(kTagTemporal, Create<CTemporalNode>);
  factory->Register(kTagStringCommand, Create<CStringCommandNode>);
  factory->Register(kTagBlasts, Create<CBlastListNode>);
  factory->Register(kTagBlast, Create<CBlastNode>);
}

void RegisterProfileSummaryNodes(IFactory* factory) {
  RegisterProfileNodes(factory);
  // A later registration of a tag replaces the earlier one.
  factory->Register(kTagShiftCommand, CreateBare<kTagShiftCommand>);
  factory->Register(kTagAssignments, CreateBare<kTagAssignments>);
  factory->Register(kTagAnalogButton, CreateBare<kTagAnalogButton>);
  factory->Register(kTagCalibration, CreateBare<kTagCalibration>);
  factory->Register(kTagBands, CreateBare<kTagBands>);
  factory->Register(kTagMouse, CreateBare<kTagMouse>);
  factory->Register(kTagMouseX, CreateBare<kTagMouseX>);
  factory->Register(kTagMouseY, CreateBare<kTagMouseY>);
  factory->Register(kTagDirectional, CreateBare<kTagDirectional>);
  factory->Register(kTagReportAs, CreateBare<kTagReportAs>);
  factory->Register(kTagEnvelope, CreateBare<kTagEnvelope>);
  factory->Register(kTagSensitivity, CreateBare<kTagSensitivity>);
  factory->Register(kTagPoints, CreateBare<kTagPoints>);
  factory->Register(kTagPoint, CreateBare<kTagPoint>);
  factory->Register(kTagMaps, CreateBare<kTagMaps>);
  factory->Register(kTagMap, CreateBare<kTagMap>);
  factory->Register(kTagBand, CreateBare<kTagBand>);
  factory->Register(kTagActionBlock, CreateBare<kTagActionBlock>);
  factory->Register(kTagAction, CreateBare<kTagAction>);
  factory->Register(kTagString, CreateBare<kTagString>);
  factory->Register(kTagCycle, CreateBare<kTagCycle>);
  factory->Register(kTagTemporal, CreateBare<kTagTemporal>);
  factory->Register(kTagStringCommand, CreateBare<kTagStringCommand>);
  factory->Register(kTagBlasts, CreateBare<kTagBlasts>);
  factory->Register(kTagBlast, CreateBare<kTagBlast>);
}

void RegisterProfileSummaryLightNodes(IFactory* factory) {
  RegisterProfileSummaryNodes(factory);
  for (const char16_t* tag : {kTagActionBlock, kTagString, kTagCycle, kTagTemporal, kTagBlasts, kTagCalibration,
                              kTagEnvelope, kTagBands, kTagDirectional, kTagAssignments}) {
    factory->Register(tag, nullptr);
  }
}

// The summary's searches: FindNode from the root for the profile, its commands and the
// controllers, and from the controller for its controls and shifts.
const char16_t* const kProfileSummaryWatched[] = {kTagProfile, kTagCommands, kTagControllers, kTagControls, kTagShifts,
                                                  nullptr};

CControllerNode* FindController(CNode* root, const platform::Guid* member,
                                const platform::Guid* controller) {
  if (root == nullptr) return nullptr;
  // FindNode tries the root itself first, then each child's subtree in order.
  CNode* list = FindNode(root, kTagControllers);
  if (list == nullptr) return nullptr;
  if (member != nullptr) {
    for (CNode* child : list->Children()) {
      if (child == nullptr || child->GetTagName() != kTagController) continue;
      for (CNode* grandchild : child->Children()) {
        if (grandchild == nullptr || grandchild->GetTagName() != kTagMember) continue;
        if (static_cast<CMemberNode*>(grandchild)->value == *member) {
          return static_cast<CControllerNode*>(child);
        }
      }
    }
  }
  if (controller == nullptr) return nullptr;
  for (CNode* child : list->Children()) {
    if (child == nullptr || child->GetTagName() != kTagController) continue;
    auto* candidate = static_cast<CControllerNode*>(child);
    if (candidate->value == *controller) return candidate;  // all 16 bytes
  }
  return nullptr;
}

}  // namespace VexNode::profile
