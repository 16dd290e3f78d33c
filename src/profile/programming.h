// The elements that program a control: calibration, response envelope, sensitivity, points,
// bands, maps, mouse settings, directional commands and report-as.
#pragma once

#include <cstdint>

#include "document/node.h"
#include "document/stream.h"
#include "platform/guid.h"

namespace VexNode::profile {

inline constexpr char16_t kTagCalibration[] = u"calibration";
inline constexpr char16_t kTagBands[] = u"bands";
inline constexpr char16_t kTagMouse[] = u"mouse";
inline constexpr char16_t kTagMouseX[] = u"mouse-x";
inline constexpr char16_t kTagMouseY[] = u"mouse-y";
inline constexpr char16_t kTagDirectional[] = u"directional";
inline constexpr char16_t kTagReportAs[] = u"report-as";
inline constexpr char16_t kTagEnvelope[] = u"envelope";
inline constexpr char16_t kTagSensitivity[] = u"sensitivity";
inline constexpr char16_t kTagPoints[] = u"points";
inline constexpr char16_t kTagPoint[] = u"point";
inline constexpr char16_t kTagMaps[] = u"maps";
inline constexpr char16_t kTagMap[] = u"map";
inline constexpr char16_t kTagBand[] = u"band";

inline constexpr EnumEntry kCurveTable[] = {{0, u"straight"}, {1, u"quadratic"}, {2, u"cubic"}};
inline constexpr EnumEntry kAxisSetTable[] = {{0, u"all"}, {1, u"horz"}, {2, u"vert"}};

// Holds band elements.
class CBandsNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagBands; }
};

// Holds point elements.
class CPointListNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagPoints; }
};

// Holds map elements.
class CMappingsNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagMaps; }
};

class CCalibrationNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagCalibration; }
  void Serialize(IVexStream* stream) override;

  int32_t min = 0;
  int32_t mid = 0x8000;
  int32_t max = 0xFFFF;
};

// The response curve of an axis: ranges, saturation, dead zone and the two half curves.
class CEnvelopeNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagEnvelope; }
  void Serialize(IVexStream* stream) override;

  int32_t lran = 0;
  int32_t cran = 0x8000;
  int32_t hran = 0xFFFF;
  int32_t lsat = 0;
  int32_t ldead = 0x8000;
  int32_t hdead = 0x8000;
  int32_t hsat = 0xFFFF;
  int32_t lcurve = 0x4000;
  int32_t lcurvetype = 0;  // kCurveTable, straight
  int32_t hcurve = 0x4000;
  int32_t hcurvetype = 0;  // kCurveTable, straight
  bool invert = false;
};

class CSensitivityNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagSensitivity; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 15;  // 0 once read from an element without an own value
  int32_t min = 1;
  int32_t max = 30;
};

class CPointNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagPoint; }
  void Serialize(IVexStream* stream) override;

  int32_t input = 0;
  int32_t output = 0;
};

class CMappingNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagMap; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;
  int32_t from = 0;  // kAxisSetTable, all
  int32_t to = 0;    // kAxisSetTable, all
};

// One band of a control's range, naming the command it triggers.
class CBandNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagBand; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;
  platform::Guid command;
  int32_t parameter = 0;
};

class CMouseNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagMouse; }
  void Serialize(IVexStream* stream) override;

  int32_t x_sensitivity = 1;  // attribute "x-sensitivity"
  int32_t y_sensitivity = 1;  // attribute "y-sensitivity"
  bool x_invert = false;      // attribute "x-invert"
  bool y_invert = false;      // attribute "y-invert"
};

// CMouseXNode and CMouseYNode have the same fields.
class CMouseXNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagMouseX; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 1;  // 0 once read from an element without an own value
  bool inverted = false;
};

class CMouseYNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagMouseY; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 1;  // 0 once read from an element without an own value
  bool inverted = false;
};

// The commands a control triggers when moved up and down.
class CDirectionalNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagDirectional; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 1;  // 0 once read from an element without an own value
  platform::Guid increment;
  platform::Guid decrement;
};

class CReportAsNode : public CNode {
 public:
  using CNode::CNode;
  const char16_t* GetTagName() const override { return kTagReportAs; }
  void Serialize(IVexStream* stream) override;

  int32_t value = 0;
};

}  // namespace VexNode::profile
