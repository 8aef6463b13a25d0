// The source cone and the warp block on purpose-built graphs the onnx package
// wrote: which graphs each builder takes, every refusal's reason, and what the
// prep, per-frame and warp-node models declare. Their numbers are checked
// against ONNX Runtime in tests/ops.
#include "graph/source_cone.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/gridsample_rewrite.h"
#include "graph/warp_block.h"
#include "graph/wire.h"
#include "support/fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct ConeCase {
  const char* name;
  size_t concats;        // Concat nodes reading P_rgb
  const char* hoist;     // the graph builders' reason, "" when they succeed
  const char* warpNode;  // the warp rewrite's reason, "" when it succeeds
};

const ConeCase kCases[] = {
    {"plain", 1, "", ""},
    {"two_concats", 2, "", "not one Concat consuming P_rgb"},
    {"cone_reads_kp", 1, "cone reads graph input 'kp_source'", "cone reads graph input 'kp_source'"},
    {"prgb_outside", 1, "P_rgb is also read outside the cone by Identity",
     "P_rgb is also read outside the cone by Identity"},
    {"escape", 1, "' escapes to Identity", "' escapes to Identity"},
    {"two_exits", 1, "", "the recombination has 2 exits, not 1"},
    {"same_exit_twice", 1, "", ""},
    {"align1", 1, "", "the fused GridSample is not bilinear/border/align_corners=0"},
    {"tip_outside", 1, "", "the cone's tip is also read outside the warp block by Identity"},
    {"grid_input", 1, "", "the grid has no producer"},
};

TEST(SourceCone, EveryCaseTakenOrRefusedWithItsReason) {
  for (const ConeCase& c : kCases) {
    SCOPED_TRACE(c.name);
    const Bytes model = lt::modelBytes(std::string("warp_") + c.name + ".onnx");
    std::string tip;
    ASSERT_EQ(le::findSourceConeBoundary(model, tip), c.concats);
    EXPECT_EQ(tip, c.concats == 1 ? "cone_tip" : "");
    if (c.concats == 1) {
      Bytes prep, perFrame;
      std::string prepWhy, frameWhy;
      const bool prepOk = le::buildSourceConePrep(model, tip, prep, prepWhy),
                 frameOk = le::buildSourceConePerFrame(model, tip, nullptr, 4, perFrame, frameWhy);
      EXPECT_EQ(prepOk, !*c.hoist);
      EXPECT_EQ(frameOk, !*c.hoist);
      EXPECT_TRUE(prepOk || prepWhy.ends_with(c.hoist)) << prepWhy;
      EXPECT_TRUE(frameOk || frameWhy.ends_with(c.hoist)) << frameWhy;
    }
    Bytes m = model;
    std::string why;
    EXPECT_EQ(le::rewriteWarpBlockToCustomOp(m, why), *c.warpNode ? 0u : 11u) << why;
    EXPECT_TRUE(!*c.warpNode || (why.ends_with(c.warpNode) && m == model)) << why;  // a refusal leaves the model alone
  }
}

TEST(SourceCone, PrepAndPerFrameDeclarations) {
  const Bytes model = lt::modelBytes("warp_plain.onnx");
  Bytes prep, perFrame, symbolic;
  std::string reason;
  ASSERT_TRUE(le::buildSourceConePrep(model, "cone_tip", prep, reason)) << reason;
  EXPECT_EQ(lt::declared(prep, 11), std::vector<std::string>{"P_rgb"});
  EXPECT_EQ(lt::declared(prep, 12), std::vector<std::string>{"cone_tip"});
  std::vector<std::string> ops;
  for (const le::GsNodeInfo& n : lt::graphOf(prep).nodes) ops.push_back(n.op_type);
  EXPECT_EQ(ops, (std::vector<std::string>{"Pad", "Conv", "Conv", "Conv", "Concat"}));

  const long dims[] = {1, -1, 0, 8};  // a dim not above 0 is declared symbolic
  ASSERT_TRUE(le::buildSourceConePerFrame(model, "cone_tip", dims, 4, perFrame, reason)) << reason;
  EXPECT_EQ(lt::declared(perFrame, 11), (std::vector<std::string>{"grid_in", "cone_tip"}));
  EXPECT_EQ(lt::declared(perFrame, 12), std::vector<std::string>{"Y"});
  int64_t first = -7, last = -7;
  int rank = -7;
  le::ldInputDims(le::gsGraphOf(le::gsSliceOf(perFrame)), "cone_tip", first, last, rank);
  EXPECT_EQ((std::vector<int64_t>{first, last, rank}), (std::vector<int64_t>{1, 8, 4}));
  const std::string text(perFrame.begin(), perFrame.end());
  for (const char* d : {"le_hoist_d0", "le_hoist_d3"}) EXPECT_EQ(text.find(d), std::string::npos) << d;
  for (const char* d : {"le_hoist_d1", "le_hoist_d2"}) EXPECT_NE(text.find(d), std::string::npos) << d;
  le::ldInputDims(le::gsGraphOf(le::gsSliceOf(perFrame)), "absent", first, last, rank);
  EXPECT_EQ((std::vector<int64_t>{first, last, rank}), (std::vector<int64_t>{0, 0, 0}));
  for (const le::GsNodeInfo& n : lt::graphOf(perFrame).nodes) EXPECT_NE(n.op_type, "Conv");

  ASSERT_TRUE(le::buildSourceConePerFrame(model, "cone_tip", nullptr, 4, symbolic, reason)) << reason;
  le::ldInputDims(le::gsGraphOf(le::gsSliceOf(symbolic)), "cone_tip", first, last, rank);
  EXPECT_EQ((std::vector<int64_t>{first, last, rank}), (std::vector<int64_t>{0, 0, 4}));
  const std::string sym(symbolic.begin(), symbolic.end());
  for (const char* d : {"le_hoist_d0", "le_hoist_d1", "le_hoist_d2", "le_hoist_d3"})
    EXPECT_NE(sym.find(d), std::string::npos) << d;
}

TEST(WarpBlock, FoundOnTheBlockAndOnItsFastForm) {
  Bytes model = lt::modelBytes("warp_plain.onnx");
  le::WarpBlock block;
  std::string reason;
  ASSERT_EQ(le::findWarpBlock(model, &block, reason), 11u) << reason;
  EXPECT_EQ(block.source, "cone_tip");
  EXPECT_EQ(block.grid, "grid");
  EXPECT_EQ(block.out, "warped");
  ASSERT_EQ(le::rewriteGridSampleToFast(model), 1u);  // GridSampleFast is taken as it is
  ASSERT_EQ(le::findWarpBlock(model, &block, reason), 11u) << reason;

  EXPECT_EQ(le::findWarpBlock(model, nullptr, reason), 0u);
  EXPECT_EQ(reason, "no out param");
  EXPECT_EQ(le::findWarpBlock({}, &block, reason), 0u);
  EXPECT_EQ(reason, "no graph");
  EXPECT_TRUE(block.source.empty() && block.out.empty() && block.nodes == 0);  // cleared by every call
  Bytes none;
  EXPECT_FALSE(le::buildSourceConePrep(none, "t", none, reason));
  EXPECT_EQ(reason, "no graph");
  EXPECT_FALSE(le::buildSourceConePrep(lt::modelBytes("gridsample.onnx"), "t", none, reason));
  EXPECT_EQ(reason, "no P_rgb input");
  std::string tip = "stale";
  EXPECT_EQ(le::findSourceConeBoundary({}, tip), 0u);
  EXPECT_EQ(tip, "");
}

TEST(WarpBlock, RewriteLeavesOneNodeOnPrgbAndTheGrid) {
  Bytes m = lt::modelBytes("warp_plain.onnx");
  std::string reason;
  ASSERT_EQ(le::rewriteWarpBlockToCustomOp(m, reason), 11u) << reason;
  const lt::Graph t = lt::graphOf(m);
  size_t warp = 0, slices = 0;
  for (const le::GsNodeInfo& n : t.nodes) {
    EXPECT_NE(n.op_type, "GridSample");
    EXPECT_NE(n.op_type, "Conv");  // the cone went with the block
    slices += n.op_type == "Slice";
    if (n.op_type != "WarpDirector") continue;
    ++warp;
    const le::GsSlice node = le::hcPayload(n.raw);
    EXPECT_EQ(n.inputs, (std::vector<std::string>{"P_rgb", "grid"}));
    EXPECT_EQ(n.outputs, std::vector<std::string>{"warped"});
    EXPECT_EQ(le::gsFirstStr(node, 3), "le_warp_director");
    EXPECT_EQ(le::gsFirstStr(node, 7), "com.velomark");
    EXPECT_EQ(le::gsFirstStr(node, 5), "");
  }
  EXPECT_EQ(warp, 1u);
  EXPECT_EQ(slices, 2u);  // only the corrections' grid slices stay, now unread
  EXPECT_EQ(le::gsDropUnreadNodes(m), 23u);  // two axes of 11, and their product
  EXPECT_EQ(lt::graphOf(m).nodes.size(), 3u);  // the grid's Identity, WarpDirector, the output's Identity
  EXPECT_EQ(le::gsDropUnreadNodes(m), 0u);
  EXPECT_TRUE(le::velomarkImportTail(m).empty());
  EXPECT_EQ(le::rewriteWarpBlockToCustomOp(m, reason), 0u);
  EXPECT_EQ(reason, "not one Concat consuming P_rgb");
}

}  // namespace
