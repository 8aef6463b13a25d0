// The GridSample rewrite, its detector and the student-blend normalisation on
// models the onnx package wrote: which nodes each rule takes and what the
// rewritten graph keeps. The cubic rewrite's numbers are checked against ONNX
// Runtime in tests/ops.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/conv_widths.h"
#include "graph/gridsample_rewrite.h"
#include "graph/numerical_rewrites.h"
#include "graph/wire.h"
#include "support/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

// "domain:version" of every opset import, in stored order.
std::vector<std::string> importsOf(const Bytes& model) {
  std::vector<std::string> out;
  le::GsReader r(le::gsSliceOf(model));
  le::GsField f, g;
  while (r.next(f)) {
    if (f.field != 8) continue;
    std::string version;
    for (le::GsReader v(f.payload); v.next(g);)
      if (g.field == 2) version = std::to_string(g.varint);
    out.push_back(le::gsFirstStr(f.payload, 1) + ":" + version);
  }
  return out;
}

// gs_rules.onnx holds one GridSample per case of the forge's GS_RULES, in order.
const bool kTaken[] = {true, true, true, false, false, false, false, false, false, false};

TEST(GridSampleRewrite, MatchRuleRewrittenNodesAndTheBakedDetector) {
  const Bytes model = lt::modelBytes("gs_rules.onnx");
  const std::vector<le::GsNodeInfo> before = lt::graphOf(model).nodes;
  ASSERT_EQ(before.size(), std::size(kTaken) + 1);
  for (size_t i = 0; i < std::size(kTaken); ++i)
    EXPECT_EQ(le::gsIsRewritableGridSample(le::hcPayload(before[i].raw)), kTaken[i]) << before[i].outputs[0];
  EXPECT_FALSE(le::graphHasBakedGridSampleFast(model));

  Bytes m = model;
  ASSERT_EQ(le::rewriteGridSampleToFast(m), 3u);
  const std::vector<le::GsNodeInfo> after = lt::graphOf(m).nodes;
  ASSERT_EQ(after.size(), before.size());
  for (size_t i = 0; i < after.size(); ++i) {
    if (i < std::size(kTaken) && kTaken[i]) {
      const le::GsSlice node = le::hcPayload(after[i].raw);
      EXPECT_EQ(after[i].op_type, "GridSampleFast");
      EXPECT_EQ(le::gsFirstStr(node, 7), "com.velomark");
      EXPECT_EQ(le::gsFirstStr(node, 3), "/" + before[i].outputs[0]);  // name kept
      EXPECT_EQ(after[i].inputs, (std::vector<std::string>{"X", "grid"}));
      EXPECT_EQ(after[i].outputs, before[i].outputs);
      EXPECT_TRUE(le::gsFirstStr(node, 5).empty());  // no attributes
    } else {
      EXPECT_EQ(after[i].raw.str(), before[i].raw.str()) << i;  // byte for byte
    }
  }
  EXPECT_EQ(importsOf(m), (std::vector<std::string>{":16", "com.velomark:1"}));
  EXPECT_TRUE(le::graphHasBakedGridSampleFast(m));
  const Bytes once = m;
  EXPECT_EQ(le::rewriteGridSampleToFast(m), 0u);
  EXPECT_TRUE(m == once);

  // An existing import of the domain, at any version, is the only one.
  Bytes imported = model, opset;
  le::gsPutStr(opset, 1, "com.velomark");
  le::gsPutVarintField(opset, 2, 5);
  le::gsPutBytes(imported, 8, opset.data(), opset.size());
  ASSERT_EQ(le::rewriteGridSampleToFast(imported), 3u);
  EXPECT_EQ(importsOf(imported), (std::vector<std::string>{":16", "com.velomark:5"}));

  // The detector wants the velomark domain.
  for (const char* domain : {"com.other", "", "com.velomark"}) {
    Bytes graph, m;
    le::gsRetypeNode(graph, le::hcPayload(lt::graphOf(model).nodes[0].raw), "GridSampleFast", domain, true);
    le::gsPutBytes(m, 7, graph.data(), graph.size());
    EXPECT_EQ(le::graphHasBakedGridSampleFast(m), std::string(domain) == "com.velomark") << domain;
  }
  EXPECT_FALSE(le::graphHasBakedGridSampleFast({}));
}

TEST(StudentBlend, MatMulBecomesDefaultGemm) {
  Bytes m = lt::modelBytes("gs_rules.onnx");
  const le::GsSlice blend = le::hcPayload(lt::graphOf(m).nodes.back().raw);
  ASSERT_TRUE(le::gsIsStudentBlendMatMul(blend));
  const auto variant = [&](uint32_t field, const std::string& text) {
    Bytes node(blend.p, blend.p + blend.n);
    if (field == 5)
      le::hcAttrI(node, "transA", 0);
    else
      le::gsPutStr(node, field, text);
    return node;
  };
  const Bytes refused[] = {variant(5, ""), variant(1, "bias"), variant(7, "com.other"), variant(3, "/s2/blend2")};
  for (const Bytes& node : refused) EXPECT_FALSE(le::gsIsStudentBlendMatMul(le::gsSliceOf(node)));
  EXPECT_TRUE(le::gsIsStudentBlendMatMul(le::gsSliceOf(variant(7, "ai.onnx"))));

  ASSERT_EQ(le::normaliseStudentBlend(m), 1u);
  const le::GsNodeInfo gemm = lt::graphOf(m).nodes.back();
  EXPECT_EQ(gemm.op_type, "Gemm");
  EXPECT_EQ(gemm.inputs, (std::vector<std::string>{"rows", "blend_w"}));
  EXPECT_EQ(le::gsFirstStr(le::hcPayload(gemm.raw), 7), "");
  EXPECT_EQ(le::normaliseStudentBlend(m), 0u);
}

TEST(HeadCubic, RefusesWhatItCannotReproduce) {
  for (const char* name : {"cubic_scales.onnx", "cubic_roi.onnx", "cubic_twice.onnx", "gridsample.onnx"}) {
    Bytes m = lt::modelBytes(name);
    const Bytes before = m;
    EXPECT_EQ(le::rewriteHeadCubicResize(m), 0u) << name;
    EXPECT_TRUE(m == before) << name;
  }
  Bytes m = lt::modelBytes("cubic_head.onnx");
  ASSERT_EQ(le::rewriteHeadCubicResize(m), 1u);
  std::vector<std::string> ops;
  for (const le::GsNodeInfo& n : lt::graphOf(m).nodes) ops.push_back(n.op_type);
  EXPECT_EQ(ops, (std::vector<std::string>{"Pad", "Conv", "DepthToSpace", "Conv"}));
}

// The forged demo director's convolutions stay under 16 channels (its depthwise
// cubic head reads one channel per group); the m4b's encoder does not.
TEST(ConvWidths, NarrowDirectorsAndWideOnes) {
  std::vector<uint8_t> director = lt::modelBytes("bundle_director/model_render.onnx");
  EXPECT_FALSE(le::graphHasWideConv(director, 16));
  ASSERT_EQ(le::rewriteHeadCubicResize(director), 1u);
  EXPECT_FALSE(le::graphHasWideConv(director, 16));
  EXPECT_TRUE(le::graphHasWideConv(lt::modelBytes("m4b_skel_ok.onnx"), 1) == false);  // initializers alone, no Conv
  EXPECT_TRUE(le::graphHasWideConv(lt::modelBytes("bundle_m4b/model_render.onnx"), 16));
}

}  // namespace
