// The director as the renderer loads it, every load-time rewrite on, against
// the untouched model run by ONNX Runtime, at the demo's crop of 512; and the
// account lines that say which rewrites ran.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <list>

#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

const lt::OpenBundle& director512() {
  static const lt::OpenBundle b([] {
    const std::string dir = lt::scratchDir() + "/director512";
    lt::forge("director-bundle " + dir + " --crop 512 --nt 2 --frames 6 --model model_render.onnx:1");
    return dir;
  }());
  return b;
}

const char* const kGridSampleLine = "[le] std GridSample -> com.velomark::GridSampleFast load-time rewrite: 1 node(s)";
const char* const kBlendLine = "[le] L3 student blend MatMul -> Gemm load-time normalisation: 1 node(s)";
const char* const kCubicLine = "[le] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: 1";

TEST(RendererRewrites, WholeDirectorMatchesTheUntouchedModel) {
  const lt::OpenBundle& b = director512();
  std::unique_ptr<le::Renderer> r;
  const std::string log = lt::stderrOf([&] { r = std::make_unique<le::Renderer>(b.manifest, *b.identity, "render", 2, ""); });
  for (const char* line : {kGridSampleLine, kBlendLine, kCubicLine}) EXPECT_NE(log.find(line), std::string::npos) << line;
  for (const auto& [si, row] : {std::pair{0, 3}, {1, 5}}) {
    const std::vector<float> xs = lt::gatherRows(b.drive.xs, {row}), xd = lt::gatherRows(b.drive.xd, {row});
    const float* got = r->render(&si, xs.data(), xd.data(), 1);
    const std::vector<float> want = lt::referenceRender(b, "render", false, {si}, {row}, -1, true);
    float worst = 0;
    for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
    EXPECT_LE(worst, 1e-4f) << "frame " << si << " row " << row;
    RecordProperty("max_abs_diff_frame" + std::to_string(si), ::testing::PrintToString(worst));
  }
}

TEST(RendererRewrites, SwitchesTurnTheGridSampleRewriteOff) {
  const lt::OpenBundle& b = lt::bundle("bundle_director");
  for (const char* name : {"LE_GS_REWRITE", "LE_GS_FAST"}) {
    lt::ScopedEnv off(name, "0");
    const std::string log = lt::stderrOf([&] { b.renderer("render"); });
    EXPECT_EQ(log.find(kGridSampleLine), std::string::npos) << name;
    EXPECT_NE(log.find(kCubicLine), std::string::npos) << name;  // the numerical rewrites always run
  }
}

}  // namespace
