// One finished frame through the C API at crop 512: the director render and
// the paste into a 1280x720 and a 1920x1080 driver frame, each also as a share
// of the 40 ms a frame may take at 25 fps.
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "le/le.h"
#include "support/bench_forge.h"

namespace {

constexpr double kFrameBudgetMs = 40.0;

struct CtxCloser {
  void operator()(le_ctx* c) const { le_destroy(c); }
};

void BM_FrameRenderAndPaste(benchmark::State& state) {
  const int W = static_cast<int>(state.range(0)), H = static_cast<int>(state.range(1));
  const std::string dir = lb::forgedBundle(
      "director-bundle", "frame512_" + std::to_string(H) + "p",
      "--crop 512 --nt 4 --frames 8 --driver mp4 --model model_render.onnx:1 --w " + std::to_string(W) + " --h " +
          std::to_string(H));
  std::unique_ptr<le_ctx, CtxCloser> ctx(le_create(dir.c_str(), "render", 2, nullptr));
  if (!ctx) throw std::runtime_error(le_last_error());
  le_render_drive_crop(ctx.get(), 0);  // builds the director

  using clock = std::chrono::steady_clock;
  double renderMs = 0, pasteMs = 0;
  int i = 0;
  for (auto _ : state) {
    const int frame = i++ % le_drive_frames(ctx.get());
    const auto t0 = clock::now();
    benchmark::DoNotOptimize(le_render_drive_crop(ctx.get(), frame));
    const auto t1 = clock::now();
    benchmark::DoNotOptimize(le_paste_last(ctx.get(), frame % le_nt(ctx.get())));
    const auto t2 = clock::now();
    renderMs += std::chrono::duration<double, std::milli>(t1 - t0).count();
    pasteMs += std::chrono::duration<double, std::milli>(t2 - t1).count();
  }
  const double n = static_cast<double>(state.iterations());
  state.counters["render_ms"] = renderMs / n;
  state.counters["paste_ms"] = pasteMs / n;
  state.counters["render_budget"] = renderMs / n / kFrameBudgetMs;
  state.counters["paste_budget"] = pasteMs / n / kFrameBudgetMs;
}
BENCHMARK(BM_FrameRenderAndPaste)
    ->Args({1280, 720})
    ->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);

}  // namespace
