// The head cubic rewrite (edge Pad, 5x5 depthwise Conv, DepthToSpace) beside
// ONNX Runtime's cubic Resize on the forge head's shape, 8 x 256 x 256 up to
// 512 x 512; both sessions also run the same 1x1 Conv that reads the result.
#include <benchmark/benchmark.h>

#include "graph/numerical_rewrites.h"
#include "support/onnx_session.h"
#include "support/versus.h"

namespace {

void BM_HeadCubicRewriteVsOrtResize8x256(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const std::vector<uint8_t> standard = lb::fileBytes(lb::graphModel("cubic_head.onnx"));
  std::vector<uint8_t> rewritten = standard;
  le::rewriteHeadCubicResize(rewritten);
  const std::vector<lb::Input> inputs = {{"X", {1, 8, 256, 256}, lb::uniformFloats(8 * 256 * 256, -1, 1, 3)}};
  lb::OnnxRun ours(rewritten, threads, inputs, "y"), anchor(standard, threads, inputs, "y");
  lb::versusAnchor(state, "head cubic 8x256->512", [&] { ours.run(); }, [&] { anchor.run(); });
}
BENCHMARK(BM_HeadCubicRewriteVsOrtResize8x256)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
