// The demo's director (crop 512, the warp node on, as the demo runs it) with
// its Resize nodes as com.velomark::SeparableResize against the same director
// with LE_RESIZE_FAST=0 (ONNX Runtime's Resize for the grid and the features,
// Pad + depthwise Conv + DepthToSpace for the head's cubic x2): whole render
// calls interleaved in one process, and how far the two crops differ.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "render/renderer.h"
#include "support/director512.h"
#include "support/env_default.h"
#include "support/summary.h"
#include "support/versus.h"

namespace {

void BM_DirectorSeparableResizeVsStandard(benchmark::State& state) {
  lb::Director512& b = lb::director512();
  const int threads = static_cast<int>(state.range(0));
  const lb::EnvDefault warpNode("LE_WARP_NODE", "1");
  ::setenv("LE_RESIZE_FAST", "0", 1);
  le::Renderer standard(b.manifest, b.identity, "render", threads, "");
  ::unsetenv("LE_RESIZE_FAST");
  le::Renderer ours(b.manifest, b.identity, "render", threads, "");
  const size_t crop = size_t(3) * b.manifest.crop * b.manifest.crop;
  float worst = 0;
  for (int si = 0; si < lb::kDirectorFrames; ++si) {
    const float* xs = b.drive.xs.data() + si * 63;
    const float* xd = b.drive.xd.data() + (si + 5) * 63;  // a driven frame, not the source's own pose
    const float* want = standard.render(&si, xs, xd, 1);
    const std::vector<float> kept(want, want + crop);
    const float* got = ours.render(&si, xs, xd, 1);
    for (size_t i = 0; i < crop; ++i) worst = std::max(worst, std::fabs(got[i] - kept[i]));
  }
  const int si = 0;
  lb::versusAnchor(
      state, "director, SeparableResize vs standard Resize",
      [&] { ours.render(&si, b.drive.xs.data(), b.drive.xd.data() + 7 * 63, 1); },
      [&] { standard.render(&si, b.drive.xs.data(), b.drive.xd.data() + 7 * 63, 1); });
  state.counters["max_abs_diff"] = worst;
  char text[96];
  std::snprintf(text, sizeof text, "%.2e over %d frames", worst, lb::kDirectorFrames);
  lb::note("director SeparableResize crop vs standard", text);
}
BENCHMARK(BM_DirectorSeparableResizeVsStandard)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace
