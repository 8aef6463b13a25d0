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
#include "ops/ort_api.h"
#include "render/renderer.h"
#include "simd/kernels.h"
#include "support/bench_forge.h"
#include "support/summary.h"

namespace {

constexpr int kFrames = 4;
constexpr int kRssFrames = 96;  // frames rendered alone while RSS is watched

struct Bundle512 {
  Bundle512()
      : manifest(le::loadManifest(lb::forgedBundle(
            "director-bundle", "director512",
            "--crop 512 --nt 4 --frames 24 --model model_render.onnx:1 --model model_b24.onnx:24"))),
        identity(manifest, le::openPriorStream),
        drive(le::loadDrive(manifest)) {}
  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
};

Bundle512& bundle() {
  static Bundle512 b;
  return b;
}

// The untouched model run directly on inputs laid out once.
struct DirectRun {
  DirectRun(const std::string& path, int threads, int batch) {
    le::ort::api();
    Ort::SessionOptions o;
    o.SetIntraOpNumThreads(threads);
    o.SetInterOpNumThreads(1);
    o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    o.AddConfigEntry("session.intra_op.allow_spinning", "0");
    session = std::make_unique<Ort::Session>(env, path.c_str(), o);
    const Bundle512& b = bundle();
    const int64_t crop = b.manifest.crop;
    pooled.resize(size_t(batch) * 64 * 32 * 32), P.resize(size_t(batch) * 3 * crop * crop);
    for (int i = 0; i < batch; ++i) {
      le::simd::f16ToF32(b.identity.pooled64(i % kFrames), pooled.data() + i * 65536, 65536);
      le::simd::f16ToF32(b.identity.P(i % kFrames), P.data() + i * 3 * crop * crop, 3 * crop * crop);
    }
    kd.assign(b.drive.xd.begin(), b.drive.xd.begin() + batch * 63);
    ks.assign(b.drive.xs.begin(), b.drive.xs.begin() + batch * 63);
    out.resize(P.size());
    const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    const int64_t pooledShape[] = {batch, 64, 32, 32}, pShape[] = {batch, 3, crop, crop}, kpShape[] = {batch, 21, 3};
    inputs.push_back(Ort::Value::CreateTensor<float>(mem, pooled.data(), pooled.size(), pooledShape, 4));
    inputs.push_back(Ort::Value::CreateTensor<float>(mem, P.data(), P.size(), pShape, 4));
    inputs.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), kpShape, 3));
    inputs.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), kpShape, 3));
    output = Ort::Value::CreateTensor<float>(mem, out.data(), out.size(), pShape, 4);
  }
  void run(const Ort::RunOptions& options) {
    const char* in[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
    const char* outName = "rgb";
    session->Run(options, in, inputs.data(), inputs.size(), &outName, &output, 1);
  }
  void run() { run(defaults); }
  Ort::Env env{ORT_LOGGING_LEVEL_ERROR, "anchor"};
  Ort::RunOptions defaults;
  // What every render used to ask for: the arena handed back after each run.
  Ort::RunOptions shrinking = [] {
    Ort::RunOptions o;
    o.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
    return o;
  }();
  std::unique_ptr<Ort::Session> session;
  std::vector<float> pooled, P, kd, ks, out;
  std::vector<Ort::Value> inputs;
  Ort::Value output{nullptr};
};

double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

void renderVsDirect(benchmark::State& state, const char* key, const char* file) {
  Bundle512& b = bundle();
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
BENCHMARK(BM_RenderVsDirectRunCrop512Batch1)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_RenderVsDirectRunCrop512Batch24(benchmark::State& state) { renderVsDirect(state, "b24", "model_b24.onnx"); }
BENCHMARK(BM_RenderVsDirectRunCrop512Batch24)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(6);

// pooled64 and P of one frame, as a render widens them.
void BM_HalfToFloatOneFrameCrop512(benchmark::State& state) {
  Bundle512& b = bundle();
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
