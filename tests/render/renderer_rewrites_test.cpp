// The director as the renderer loads it, every load-time rewrite on, against
// the untouched model run by ONNX Runtime, at the demo's crop of 512.
#include <gtest/gtest.h>

#include "render/renderer_support.h"

namespace {

TEST(RendererRewrites, WholeDirectorMatchesTheUntouchedModel) {
  const std::string dir = lt::scratchDir() + "/director512";
  lt::forge("director-bundle " + dir + " --crop 512 --nt 2 --frames 6 --model model_render.onnx:1");
  const lt::OpenBundle b(dir);
  std::unique_ptr<le::Renderer> r;
  lt::stderrOf([&] { r = b.renderer("render", "", 2); });
  for (const auto& [si, row] : {std::pair{0, 3}, {1, 5}}) {
    const float worst = lt::renderDiff(*r, b, si, row, true);
    EXPECT_LE(worst, 1e-4f) << "frame " << si << " row " << row;
    RecordProperty("max_abs_diff_frame" + std::to_string(si), ::testing::PrintToString(worst));
  }
}

}  // namespace
