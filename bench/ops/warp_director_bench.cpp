// WarpDirector beside the ONNX Runtime nodes it replaces (the edge Pad, three
// depthwise Convs and the Concat of the source cone, the 12-channel
// GridSample and the Slice/Mul/Sub/Add recombination) on the director's
// warp at 512 x 512: both are one-output sessions of the same forged block,
// before and after the rewrite, interleaved call by call.
#include <benchmark/benchmark.h>

#include <string>

#include "graph/warp_block.h"
#include "support/onnx_session.h"
#include "support/versus.h"

namespace {

void BM_WarpDirectorVsOrtBlock512(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const std::vector<uint8_t> block = lb::fileBytes(lb::graphModel("warp_block_512x512.onnx"));
  std::vector<uint8_t> node = block;
  std::string reason;
  if (le::rewriteWarpBlockToCustomOp(node, reason) == 0) {
    state.SkipWithError(("warp block not rewritten: " + reason).c_str());
    return;
  }
  const std::vector<lb::Input> inputs = {{"P_rgb", {1, 3, 512, 512}, lb::uniformFloats(3 * 512 * 512, 0, 1, 1)},
                                         {"grid_in", {1, 512, 512, 2}, lb::warpGrid(512, 512)}};
  lb::OnnxRun ours(node, threads, inputs, "warped"), anchor(block, threads, inputs, "warped");
  lb::versusAnchor(
      state, "WarpDirector 3x512x512", [&] { ours.run(); }, [&] { anchor.run(); });
}
BENCHMARK(BM_WarpDirectorVsOrtBlock512)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
