// The hoisted source cone and the warp node in whole render calls of the
// forged crop-512 director (the demo's), each beside its anchor in the same
// process, interleaved call by call:
//   - the hoisted render against the un-hoisted one: the same prepared graph
//     (GridSample, student-blend and cubic rewrites) run directly, with the
//     source frame widened per call as an un-hoisted render does; the driver
//     plays the source frames back and forth, so the prefetch has work, and
//     the fills on the render's own thread show whether it kept ahead;
//   - the render with every rewrite on (the warp node in place of the hoist)
//     against a direct run of the untouched model, and the memory of the tip
//     ring a hoisted renderer holds.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "graph/gridsample_rewrite.h"
#include "graph/numerical_rewrites.h"
#include "render/renderer.h"
#include "render/renderer_impl.h"
#include "support/director512.h"
#include "support/onnx_session.h"
#include "support/summary.h"
#include "support/versus.h"

namespace {

// 0 1 2 3 2 1 0 1 ...: a driver playing the source frames forwards and backwards.
int pingPong(int64_t i) {
  const int period = 2 * (lb::kDirectorFrames - 1);
  const int p = static_cast<int>(i % period);
  return p < lb::kDirectorFrames ? p : period - p;
}

// Render calls beside the anchor's, call by call, both on the same source
// frame: the anchor widens it first, as a render that holds no cone does.
void versusUnhoisted(benchmark::State& state, const std::string& label, le::Renderer& r, lb::DirectRun& anchor) {
  const lb::Director512& b = lb::director512();
  int64_t call = 0;
  int si = 0;
  lb::versusAnchor(
      state, label,
      [&] {
        si = pingPong(call++);
        benchmark::DoNotOptimize(r.render(&si, b.drive.xs.data(), b.drive.xd.data(), 1));
      },
      [&] {
        anchor.stage(si);
        anchor.run();
      });
}

// CPU time of the whole process (every thread) per render, renders alone:
// on a shared machine the wall clock measures the neighbours, this does not.
double cpuMsPerRender(le::Renderer& r, int frames) {
  const lb::Director512& b = lb::director512();
  const auto cpuMs = [] { return lb::processCpuSeconds() * 1e3; };
  const double t0 = cpuMs();
  for (int i = 0; i < frames; ++i) {
    const int si = pingPong(i);
    benchmark::DoNotOptimize(r.render(&si, b.drive.xs.data(), b.drive.xd.data(), 1));
  }
  return (cpuMs() - t0) / frames;
}

void BM_HoistedRenderVsUnhoistedCrop512(benchmark::State& state) {
  lb::Director512& b = lb::director512();
  const int threads = static_cast<int>(state.range(0));
  le::Renderer r(b.manifest, b.identity, "render", threads, "");
  le::Renderer::Impl& im = r.internals();
  if (!im.ring) {
    state.SkipWithError("the director was not hoisted");
    return;
  }
  std::vector<uint8_t> prepared = lb::fileBytes(b.manifest.modelPath("render"));
  le::rewriteGridSampleToFast(prepared);
  le::normaliseStudentBlend(prepared);
  le::rewriteHeadCubicResize(prepared);
  lb::DirectRun unhoisted(prepared, threads, 1);
  const long sync0 = im.ring->synchronous(), ahead0 = im.ring->prefetched();
  versusUnhoisted(state, "hoisted render", r, unhoisted);
  const long sync = im.ring->synchronous() - sync0, ahead = im.ring->prefetched() - ahead0;
  state.counters["cpu_ms_per_render"] = cpuMsPerRender(r, 8);
  const double ringMiB = 2.0 * im.boundaryElements * sizeof(float) / (1024.0 * 1024.0);
  state.counters["prefetched"] = static_cast<double>(ahead);
  state.counters["synchronous_fills"] = static_cast<double>(sync);
  state.counters["ring_MiB"] = ringMiB;
  char text[200];
  std::snprintf(text, sizeof text,
                "%ld boundaries prefetched, %ld filled on the render thread; tip ring %.1f MiB (2 x [1,%zu,512,512] "
                "float)",
                ahead, sync, ringMiB, im.boundaryElements / (512 * 512));
  lb::note("hoisted ring@" + std::to_string(threads) + "t", text);
}
BENCHMARK(BM_HoistedRenderVsUnhoistedCrop512)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

void BM_EveryRewriteRenderVsDirectRunCrop512(benchmark::State& state) {
  lb::Director512& b = lb::director512();
  const int threads = static_cast<int>(state.range(0));
  ::setenv("LE_WARP_NODE", "1", 1);
  le::Renderer r(b.manifest, b.identity, "render", threads, "");
  ::unsetenv("LE_WARP_NODE");
  lb::DirectRun direct(b.manifest.modelPath("render"), threads, 1);
  versusUnhoisted(state, "every rewrite, warp node, vs the untouched model", r, direct);
  const double cpu = cpuMsPerRender(r, 8);
  state.counters["cpu_ms_per_render"] = cpu;
  char text[120];
  std::snprintf(text, sizeof text, "%.1f CPU ms per render, all threads (wall at best %.1f ms on %d free cores)", cpu,
                cpu / threads, threads);
  lb::note("every rewrite CPU@" + std::to_string(threads) + "t", text);
}
BENCHMARK(BM_EveryRewriteRenderVsDirectRunCrop512)
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace
