// SeparableResize beside what runs without it, on the demo director's two
// upsamples: the sampling grid's linear x16 (2 x 32 x 32 up to 512 x 512)
// against ONNX Runtime's Resize, and the head's cubic x2 (8 x 256 x 256 up
// to 512 x 512, then the head's 1x1 Conv) against the Pad + 5x5 depthwise
// Conv + DepthToSpace form the head took before. Small sessions, interleaved
// call by call.
#include <benchmark/benchmark.h>

#include <string>

#include "graph/numerical_rewrites.h"
#include "graph/resize_rewrite.h"
#include "support/onnx_session.h"
#include "support/versus.h"

namespace {

void versusRewrite(benchmark::State& state, const char* model, const char* output, int C, int side,
                   const std::string& label, bool anchorAsConv) {
  const int threads = static_cast<int>(state.range(0));
  const std::vector<uint8_t> standard = lb::fileBytes(lb::graphModel(model));
  std::vector<uint8_t> ours = standard, anchor = standard;
  if (le::rewriteResizeToSeparable(ours) != 1 || (anchorAsConv && le::rewriteHeadCubicResize(anchor) != 1)) {
    state.SkipWithError("the Resize was not rewritten");
    return;
  }
  const std::vector<lb::Input> inputs = {
      {"X", {1, C, side, side}, lb::uniformFloats(size_t(C) * side * side, -1, 1, 5)}};
  lb::OnnxRun a(ours, threads, inputs, output), b(anchor, threads, inputs, output);
  lb::versusAnchor(state, label, [&] { a.run(); }, [&] { b.run(); });
}

void BM_SeparableResizeVsOrtGridLinear16(benchmark::State& state) {
  versusRewrite(state, "resize_linear_16.onnx", "Y", 2, 32, "grid linear 2x32->512 vs ORT Resize", false);
}
BENCHMARK(BM_SeparableResizeVsOrtGridLinear16)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SeparableResizeVsPadConvD2sHeadCubic2(benchmark::State& state) {
  versusRewrite(state, "cubic_head.onnx", "y", 8, 256, "head cubic 8x256->512 vs Pad+Conv5x5(dw)+DepthToSpace",
                true);
}
BENCHMARK(BM_SeparableResizeVsPadConvD2sHeadCubic2)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
