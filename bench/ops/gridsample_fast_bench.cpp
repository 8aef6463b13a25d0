// GridSampleFast beside ONNX Runtime's own GridSample (bilinear, border,
// align_corners 0) on the director's warp shape, 12 x 512 x 512, both as
// one-node sessions of the same forged model, before and after the rewrite;
// and the bare sampler per SIMD target.
#include <benchmark/benchmark.h>

#include "graph/gridsample_rewrite.h"
#include "ops/gridsample_fast.h"
#include "simd/per_target.h"
#include "support/onnx_session.h"
#include "support/versus.h"

namespace {

void BM_GridSampleFastVsOrtGridSample12x512(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  const std::vector<uint8_t> standard = lb::fileBytes(lb::graphModel("gridsample.onnx"));
  std::vector<uint8_t> fast = standard;
  le::rewriteGridSampleToFast(fast);
  const std::vector<lb::Input> inputs = {{"X", {1, 12, 512, 512}, lb::uniformFloats(12 * 512 * 512, 0, 1, 1)},
                                         {"grid", {1, 512, 512, 2}, lb::warpGrid(512, 512)}};
  lb::OnnxRun ours(fast, threads, inputs, "Y"), anchor(standard, threads, inputs, "Y");
  lb::versusAnchor(
      state, "GridSampleFast 12x512x512", [&] { ours.run(); }, [&] { anchor.run(); });
}
BENCHMARK(BM_GridSampleFastVsOrtGridSample12x512)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

namespace {

// The bare sampler on one thread, on the best and the baseline SIMD target.
void gridSampleFastKernel(benchmark::State& state) {
  const int C = 12, H = 512, W = 512;
  const std::vector<float> x = lb::uniformFloats(size_t(C) * H * W, 0, 1, 1);
  const std::vector<float> grid = lb::warpGrid(H, W);
  std::vector<float> out(x.size());
  for (auto _ : state) {
    le::gridsample_fast(x.data(), grid.data(), out.data(), C, H, W);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * H * W);
}
const int kRegistered = (lb::registerPerTarget("BM_GridSampleFastKernel12x512", gridSampleFastKernel), 0);

}  // namespace
