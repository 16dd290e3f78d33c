// Control programming nodes: initial values, values read, the own value read from the empty
// text, the curve and axis-set tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/guid.h"
#include "profile/profile_nodes.h"
#include "support/vocabulary_documents.h"

namespace profile = VexNode::profile;
using vocabulary_test::ChildAs;
using vocabulary_test::ReadText;
using vocabulary_test::ReadProfile;
using vocabulary_test::Guid;

namespace {

std::vector<int32_t> EnvelopeInts(const profile::CEnvelopeNode& e) {
  return {e.lran, e.cran, e.hran, e.lsat, e.ldead, e.hdead, e.hsat, e.lcurve, e.lcurvetype,
          e.hcurve, e.hcurvetype};
}

}  // namespace

TEST(ProfileProgramming, ElementsWithoutAttributesHoldTheirInitialValuesExceptTheOwnValue) {
  auto root = ReadProfile(
      u"[axis [calibration] [envelope] [sensitivity] [point] [map] [band] [mouse] [mouse-x]"
      u" [mouse-y] [directional] [report-as]]");
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->Children().size(), 11u);
  const auto& calibration = ChildAs<profile::CCalibrationNode>(*root, 0);
  EXPECT_EQ(std::vector<int32_t>({calibration.min, calibration.mid, calibration.max}),
            std::vector<int32_t>({0, 0x8000, 0xFFFF}));
  const auto& envelope = ChildAs<profile::CEnvelopeNode>(*root, 1);
  EXPECT_EQ(EnvelopeInts(envelope), std::vector<int32_t>({0, 0x8000, 0xFFFF, 0, 0x8000, 0x8000,
                                                          0xFFFF, 0x4000, 0, 0x4000, 0}));
  EXPECT_FALSE(envelope.invert);
  const auto& sensitivity = ChildAs<profile::CSensitivityNode>(*root, 2);
  EXPECT_EQ(sensitivity.value, 0);  // not the initial 15
  EXPECT_EQ(sensitivity.min, 1);
  EXPECT_EQ(sensitivity.max, 30);
  EXPECT_EQ(ChildAs<profile::CPointNode>(*root, 3).output, 0);
  EXPECT_EQ(ChildAs<profile::CMappingNode>(*root, 4).to, 0);
  EXPECT_TRUE(ChildAs<profile::CBandNode>(*root, 5).command.IsNull());
  const auto& mouse = ChildAs<profile::CMouseNode>(*root, 6);
  EXPECT_EQ(mouse.x_sensitivity, 1);
  EXPECT_EQ(mouse.y_sensitivity, 1);
  EXPECT_FALSE(mouse.x_invert);
  EXPECT_EQ(ChildAs<profile::CMouseXNode>(*root, 7).value, 0);  // not the initial 1
  EXPECT_FALSE(ChildAs<profile::CMouseXNode>(*root, 7).inverted);
  EXPECT_EQ(ChildAs<profile::CMouseYNode>(*root, 8).value, 0);
  EXPECT_EQ(ChildAs<profile::CDirectionalNode>(*root, 9).value, 0);
  EXPECT_EQ(ChildAs<profile::CReportAsNode>(*root, 10).value, 0);

  profile::CSensitivityNode fresh_sensitivity(nullptr);
  profile::CMouseXNode fresh_mouse_x(nullptr);
  profile::CMouseYNode fresh_mouse_y(nullptr);
  profile::CDirectionalNode fresh_directional(nullptr);
  EXPECT_EQ(fresh_sensitivity.value, 15);
  EXPECT_EQ(fresh_mouse_x.value, 1);
  EXPECT_EQ(fresh_mouse_y.value, 1);
  EXPECT_EQ(fresh_directional.value, 1);
}

TEST(ProfileProgramming, EveryAttributeIsRead) {
  auto root = ReadProfile(
      u"[axis [calibration min=0x0200 MID=0x7F00 max=65000]"
      u" [envelope lran=1 cran=2 hran=3 lsat=4 ldead=5 hdead=6 hsat=7 lcurve=8 lcurvetype=CUBIC"
      u"   hcurve=9 hcurvetype=quadratic invert=true]"
      u" [sensitivity=12 min=2 max=0x20] [points [point input=0x6000 output=0x4000]]"
      u" [maps [map=1 from=vert to=horz]]"
      u" [bands [band=0x8000 command={13B0A01B-7E7A-4E22-BEE0-359ED0957CAA} parameter=4]]"
      u" [mouse x-sensitivity=4 Y-Sensitivity=3 x-invert=true y-invert=TRUE]"
      u" [mouse-x=2 inverted=true] [mouse-y=3 inverted=no]"
      u" [directional=2 increment={91D4EAB2-638F-4706-8E33-C6B27F4217F5}"
      u"   decrement={688489A6-89A9-4E47-9346-1D9C8B9C0932}] [report-as=0x35]]");
  ASSERT_NE(root, nullptr);
  const auto& calibration = ChildAs<profile::CCalibrationNode>(*root, 0);
  EXPECT_EQ(std::vector<int32_t>({calibration.min, calibration.mid, calibration.max}),
            std::vector<int32_t>({0x200, 0x7F00, 65000}));
  const auto& envelope = ChildAs<profile::CEnvelopeNode>(*root, 1);
  EXPECT_EQ(EnvelopeInts(envelope), std::vector<int32_t>({1, 2, 3, 4, 5, 6, 7, 8, 2, 9, 1}));
  EXPECT_TRUE(envelope.invert);
  const auto& sensitivity = ChildAs<profile::CSensitivityNode>(*root, 2);
  EXPECT_EQ(std::vector<int32_t>({sensitivity.value, sensitivity.min, sensitivity.max}),
            std::vector<int32_t>({12, 2, 32}));
  const VexNode::CNode& points = *root->Children().at(3);
  EXPECT_EQ(points.GetTagName(), profile::kTagPoints);
  EXPECT_EQ(ChildAs<profile::CPointNode>(points, 0).input, 0x6000);
  EXPECT_EQ(ChildAs<profile::CPointNode>(points, 0).output, 0x4000);
  const auto& map = ChildAs<profile::CMappingNode>(*root->Children().at(4), 0);
  EXPECT_EQ(std::vector<int32_t>({map.value, map.from, map.to}), std::vector<int32_t>({1, 2, 1}));
  // A band names a command that need not exist; the GUID is kept as written.
  const auto& band = ChildAs<profile::CBandNode>(*root->Children().at(5), 0);
  EXPECT_EQ(band.value, 0x8000);
  EXPECT_EQ(band.command, Guid(u"13B0A01B-7E7A-4E22-BEE0-359ED0957CAA"));
  EXPECT_EQ(band.parameter, 4);
  const auto& mouse = ChildAs<profile::CMouseNode>(*root, 6);
  EXPECT_EQ(mouse.x_sensitivity, 4);
  EXPECT_EQ(mouse.y_sensitivity, 3);
  EXPECT_TRUE(mouse.x_invert);
  EXPECT_TRUE(mouse.y_invert);
  EXPECT_EQ(ChildAs<profile::CMouseXNode>(*root, 7).value, 2);
  EXPECT_TRUE(ChildAs<profile::CMouseXNode>(*root, 7).inverted);
  EXPECT_EQ(ChildAs<profile::CMouseYNode>(*root, 8).value, 3);
  EXPECT_FALSE(ChildAs<profile::CMouseYNode>(*root, 8).inverted);
  const auto& directional = ChildAs<profile::CDirectionalNode>(*root, 9);
  EXPECT_EQ(directional.value, 2);
  EXPECT_EQ(directional.increment, Guid(u"91D4EAB2-638F-4706-8E33-C6B27F4217F5"));
  EXPECT_EQ(directional.decrement, Guid(u"688489A6-89A9-4E47-9346-1D9C8B9C0932"));
  EXPECT_EQ(ChildAs<profile::CReportAsNode>(*root, 10).value, 0x35);
}

TEST(ProfileProgramming, CurveAndAxisSetTables) {
  auto root = ReadProfile(
      u"[axis [envelope lcurvetype=straight hcurvetype=Quadratic] [envelope lcurvetype=linear"
      u"  hcurvetype=cubic] [map from=all to=HORZ] [map from=diagonal to=vert]]");
  ASSERT_NE(root, nullptr);
  const auto& first = ChildAs<profile::CEnvelopeNode>(*root, 0);
  EXPECT_EQ(first.lcurvetype, 0);
  EXPECT_EQ(first.hcurvetype, 1);
  const auto& second = ChildAs<profile::CEnvelopeNode>(*root, 1);
  EXPECT_EQ(second.lcurvetype, 0);  // linear is not in the table
  EXPECT_EQ(second.hcurvetype, 2);
  EXPECT_EQ(ChildAs<profile::CMappingNode>(*root, 2).from, 0);
  EXPECT_EQ(ChildAs<profile::CMappingNode>(*root, 2).to, 1);
  EXPECT_EQ(ChildAs<profile::CMappingNode>(*root, 3).from, 0);
  EXPECT_EQ(ChildAs<profile::CMappingNode>(*root, 3).to, 2);
}
