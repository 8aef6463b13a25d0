// A director through ONNX Runtime, float against its int8 variant (its
// convolutions Int8ConvVNNI nodes), whole render calls interleaved in one
// process, and how far the int8 crop strays from the float one on the forged
// identity. Two directors: the fused m4b at its realistic size (about 2.5
// GMAC a frame, crop 512), where convolutions are the work, and the demo
// avatar's (about 0.08 GMAC), which the host simulation runs; the demo's with
// the warp node on, as the demo runs it. At one thread the operator's worker
// pool is held to the calling thread too.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "pool/pool.h"
#include "render/renderer.h"
#include "support/bench_forge.h"
#include "support/env_default.h"
#include "support/summary.h"
#include "support/versus.h"

namespace {

struct ForgedBundle {
  explicit ForgedBundle(const std::string& dir)
      : manifest(le::loadManifest(dir)), identity(manifest, le::openPriorStream), drive(le::loadDrive(manifest)) {}
  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
};

void int8VsFloat(benchmark::State& state, ForgedBundle& b, const std::string& label) {
  const int threads = static_cast<int>(state.range(0));
  le::Renderer fp32(b.manifest, b.identity, "render", threads, ""), int8(b.manifest, b.identity, "render_int8",
                                                                           threads, "");
  std::optional<le::pool::SerialScope> serial;
  if (threads == 1) serial.emplace();
  const size_t crop = size_t(3) * b.manifest.crop * b.manifest.crop;
  float worst = 0;
  const int frames = b.manifest.NT;
  for (int si = 0; si < frames; ++si) {
    const float* xs = b.drive.xs.data() + si * 63;
    const float* xd = b.drive.xd.data() + si * 63;
    const std::vector<float> want(fp32.render(&si, xs, xd, 1), fp32.render(&si, xs, xd, 1) + crop);
    const float* got = int8.render(&si, xs, xd, 1);
    for (size_t i = 0; i < crop; ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
  }
  const int si = 0;
  lb::versusAnchor(
      state, label + " int8 vs float (ORT)", [&] { int8.render(&si, b.drive.xs.data(), b.drive.xd.data(), 1); },
      [&] { fp32.render(&si, b.drive.xs.data(), b.drive.xd.data(), 1); });
  state.counters["max_abs_diff_x255"] = worst * 255;
  char text[96];
  std::snprintf(text, sizeof text, "%.4f (%.2f/255) over %d frames", worst, worst * 255, frames);
  lb::note(label + " int8 crop vs float", text);
}

void BM_M4bInt8VsFloat(benchmark::State& state) {
  static ForgedBundle b(lb::forgedBundle("m4b-bundle", "m4b_full", "--size full --batch 1"));
  int8VsFloat(state, b, "m4b");
}
BENCHMARK(BM_M4bInt8VsFloat)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);

void BM_DemoDirectorInt8VsFloat(benchmark::State& state) {
  const lb::EnvDefault warpNode("LE_WARP_NODE", "1");
  static ForgedBundle b(lb::forged("demo-bundle", "demo8", "--frames 8", "/model_render_int8.onnx"));
  int8VsFloat(state, b, "demo director");
}
BENCHMARK(BM_DemoDirectorInt8VsFloat)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace
