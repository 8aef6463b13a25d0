// Director renders at crop 512 on the forged director, batch 1 and batch 24,
// with the renderer's own share of each frame (everything but Session::Run),
// and the widening of one frame's half-float members.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "render/renderer.h"
#include "render/renderer_impl.h"
#include "simd/kernels.h"

namespace {

constexpr int kCrop = 512;
constexpr int kFrames = 4;

struct Bundle512 {
  Bundle512() : manifest(le::loadManifest(forge())), identity(manifest, le::openPriorStream), drive(le::loadDrive(manifest)) {}
  static std::string forge() {
    const std::string dir = std::string(LE_BENCH_SCRATCH) + "/director512";
    const std::string cmd = std::string(LE_BENCH_PYTHON) + " " + LE_BENCH_FORGE + " director-bundle " + dir +
                            " --crop 512 --nt " + std::to_string(kFrames) +
                            " --frames 24 --model model_render.onnx:1 --model model_b24.onnx:24 > /dev/null";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("forge failed: " + cmd);
    return dir;
  }
  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
};

Bundle512& bundle() {
  static Bundle512 b;
  return b;
}

void renderFrames(benchmark::State& state, const char* key) {
  Bundle512& b = bundle();
  le::Renderer r(b.manifest, b.identity, key, 0, "");
  const int n = r.batch();
  std::vector<int> si(n);
  for (int i = 0; i < n; ++i) si[i] = i % kFrames;
  const float* xs = b.drive.xs.data();
  const float* xd = b.drive.xd.data();
  r.render(si.data(), xs, xd, n);  // first run settles the runtime

  const le::Renderer::Impl& im = r.internals();
  const double runMs0 = im.runMs;
  double wallMs = 0.0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(r.render(si.data(), xs, xd, n));
    wallMs += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  }
  const double frames = static_cast<double>(state.iterations()) * n;
  const double ownMs = wallMs - (im.runMs - runMs0);
  state.counters["ms_per_frame"] = wallMs / frames;
  state.counters["own_ms_per_frame"] = ownMs / frames;
  state.counters["own_pct"] = 100.0 * ownMs / wallMs;
  state.SetItemsProcessed(static_cast<int64_t>(frames));
}

void BM_RenderCrop512Batch1(benchmark::State& state) { renderFrames(state, "render"); }
BENCHMARK(BM_RenderCrop512Batch1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_RenderCrop512Batch24(benchmark::State& state) { renderFrames(state, "b24"); }
BENCHMARK(BM_RenderCrop512Batch24)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// pooled64 and P of one frame, as a render widens them.
void BM_HalfToFloatOneFrameCrop512(benchmark::State& state) {
  Bundle512& b = bundle();
  std::vector<float> pooled(le::kPooledFloats), P(static_cast<size_t>(kCrop) * kCrop * 3);
  int frame = 0;
  for (auto _ : state) {
    le::simd::f16ToF32(b.identity.pooled64(frame), pooled.data(), pooled.size());
    le::simd::f16ToF32(b.identity.P(frame), P.data(), P.size());
    benchmark::DoNotOptimize(P.data());
    frame = (frame + 1) % kFrames;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (pooled.size() + P.size()) * 2);
}
BENCHMARK(BM_HalfToFloatOneFrameCrop512)->Unit(benchmark::kMicrosecond);

}  // namespace
