// Whole render calls of the forged crop-512 director (every load-time rewrite
// on) beside their anchor: a direct Session::Run of the untouched model file,
// default run options, the same intra-op threads, in the same process and
// interleaved call by call; a third column runs the anchor with the per-run
// arena shrink renders used to ask for. RSS shows the memory bound without
// it: the arena keeps what it grew to and does not climb over a long run,
// the 24-frame chunk model included.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "ort/api.h"
#include "render/renderer.h"
#include "simd/kernels.h"
#include "support/director512.h"
#include "support/summary.h"

namespace {

constexpr int kFrames = lb::kDirectorFrames;
constexpr int kRssFrames = 96;  // frames rendered alone while RSS is watched

lb::Director512& bundle() { return lb::director512(); }

using lb::DirectRun;

double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void renderVsDirect(benchmark::State& state, const char* key, const char* file) {
  lb::Director512& b = bundle();
  const int threads = static_cast<int>(state.range(0));
  le::Renderer r(b.manifest, b.identity, key, threads, "");
  const int n = r.batch();
  DirectRun direct(b.manifest.dir + "/" + file, threads, n);
  std::vector<int> si(n);
  for (int i = 0; i < n; ++i) si[i] = i % kFrames;
  const float* xs = b.drive.xs.data();
  const float* xd = b.drive.xd.data();
  for (int i = 0; i < 2; ++i) r.render(si.data(), xs, xd, n), direct.run();  // settle both arenas
  // The memory bound: renders alone, long after the arena settled, add nothing.
  const double rss0 = lb::rssMiB();
  for (int i = 0; i < kRssFrames / n; ++i) r.render(si.data(), xs, xd, n);
  const double rssGrowth = lb::rssMiB() - rss0;
  double renderMs = 0, directMs = 0, shrinkMs = 0;
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(r.render(si.data(), xs, xd, n));
    renderMs += msSince(t0);
    t0 = std::chrono::steady_clock::now();
    direct.run();
    directMs += msSince(t0);
    t0 = std::chrono::steady_clock::now();
    direct.run(direct.shrinking);
    shrinkMs += msSince(t0);
  }
  const double frames = static_cast<double>(state.iterations()) * n, rss = lb::rssMiB();
  state.counters["render_ms_per_frame"] = renderMs / frames;
  state.counters["direct_ms_per_frame"] = directMs / frames;
  state.counters["ratio"] = renderMs / directMs;
  state.counters["shrink_ms_per_frame"] = shrinkMs / frames;  // the direct run with the old per-run shrink
  state.counters["rss_MiB"] = rss;
  state.counters["rss_growth_MiB"] = rssGrowth;  // over kRssFrames frames of renders alone
  state.SetItemsProcessed(static_cast<int64_t>(frames));
  char text[200];
  std::snprintf(text, sizeof text,
                "%.1f ms/frame vs direct %.1f (%.2fx; direct with per-run shrink %.1f), RSS %.0f MiB (%+.1f over %d "
                "frames)",
                renderMs / frames, directMs / frames, renderMs / directMs, shrinkMs / frames, rss, rssGrowth,
                kRssFrames);
  lb::note(std::string(key) + "@" + std::to_string(threads) + "t", text);
}

void BM_RenderVsDirectRunCrop512Batch1(benchmark::State& state) {
  renderVsDirect(state, "render", "model_render.onnx");
}
BENCHMARK(BM_RenderVsDirectRunCrop512Batch1)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

void BM_RenderVsDirectRunCrop512Batch24(benchmark::State& state) { renderVsDirect(state, "b24", "model_b24.onnx"); }
BENCHMARK(BM_RenderVsDirectRunCrop512Batch24)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);

// pooled64 and P of one frame, as a render widens them.
void BM_HalfToFloatOneFrameCrop512(benchmark::State& state) {
  lb::Director512& b = bundle();
  std::vector<float> pooled(64 * 32 * 32), P(size_t(b.manifest.crop) * b.manifest.crop * 3);
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
