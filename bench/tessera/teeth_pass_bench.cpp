// One teeth frame on the demo's own bank (36 donors) and on a forged bank of
// 1024 donors, the cap: the stream borrow fed the demo face crop and the
// drive track's talking keypoints, as the session feeds it. Per stage, each
// frame's pooled ranking over every donor, exact ranking over the
// shortlist, blend head and blend, and the whole push in wall and CPU ms,
// at one thread (stages in CPU ms) and at the pool's two (stages in wall
// ms). The anchor is the one-thread run of the same frames in the same
// process: the two-thread ratio is its speed-up. On a shared machine the
// wall clock measures the neighbours too; the CPU figures do not.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "bundle/files.h"
#include "pool/pool.h"
#include "support/bench_forge.h"
#include "support/summary.h"
#include "tessera/head_pt.h"
#include "tessera/members.h"
#include "tessera/stream_borrow.h"

namespace {

using namespace le::tessera;

struct Teeth {
  explicit Teeth(const std::string& dir)
      : in(le::loadTesseraMembers(dir)),
        bank(loadBank(in)),
        head(loadHeadPt(in.head_pt)),
        cfg(ServeConfig::fromHeadMemberJson(in.head_json)),
        pi(UnifiedPi::fromManifestJson(in.manifest_json, bank.stamp.canvasW)),
        lip(le::readFile(dir + "/lip_template.v1.json")) {
    const std::string xd = le::readFile(dir + "/xd_talking.f32");
    kp.assign(reinterpret_cast<const float*>(xd.data()), reinterpret_cast<const float*>(xd.data() + xd.size()));
    // The face crop the bank was cut from, as the renderer's planar float crop.
    const std::string face = le::readFile(dir + "/face.rgb");
    const size_t plane = face.size() / 3;
    crop.resize(face.size());
    for (size_t i = 0; i < plane; ++i)
      for (int c = 0; c < 3; ++c) crop[c * plane + i] = static_cast<uint8_t>(face[3 * i + c]) / 255.0f;
  }
  le::TesseraAttachInputs in;
  BankData bank;
  HeadWeights head;
  ServeConfig cfg;
  UnifiedPi pi;
  std::string lip;
  std::vector<float> kp, crop;
};

Teeth& teeth(bool cap) {
  static Teeth demo(lb::forged("demo-teeth", "demo_teeth_members", "", "/manifest.json"));
  static Teeth big(lb::forged("demo-teeth", "demo_teeth_1024", "--donors 1024", "/manifest.json"));
  return cap ? big : demo;
}

// range(0): 0 the demo bank, 1 the 1024 bank; range(1): threads (1 or the pool's).
void BM_TeethFrame(benchmark::State& state) {
  const bool cap = state.range(0) == 1;
  const bool serial = state.range(1) == 1;
  Teeth& t = teeth(cap);
  std::optional<le::pool::SerialScope> one;
  if (serial) one.emplace();
  StreamBorrow borrow(t.bank, t.head, t.cfg, t.pi, t.lip);
  const int frames = static_cast<int>(t.kp.size() / 63);
  FrameResult r;
  int f = 0, served = 0;
  const auto push = [&] {
    const bool got = borrow.push(t.crop.data(), t.kp.data() + static_cast<size_t>(f++ % frames) * 63, &r);
    served += got && !r.skipped;
  };
  for (int i = 0; i < 3; ++i) push();  // warm: every thread's scratch sized
  TeethPass::Stages sum;
  const double cpu0 = lb::processCpuSeconds();
  const auto t0 = std::chrono::steady_clock::now();
  served = 0;
  for (auto _ : state) {
    push();
    const TeethPass::Stages& s = borrow.pass().lastStages();
    for (auto [into, from] : {std::pair{&sum.pooled, &s.pooled}, {&sum.exact, &s.exact}, {&sum.head, &s.head},
                              {&sum.blend, &s.blend}})
      into->ms += from->ms, into->cpuMs += from->cpuMs;
  }
  const double n = static_cast<double>(state.iterations());
  const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / n;
  const double cpu = (lb::processCpuSeconds() - cpu0) * 1e3 / n;
  // One thread: each stage's CPU time (the wall clock also measures the
  // neighbours); two: its wall time (the workers' CPU is not the caller's).
  const auto stage = [&](const TeethPass::Stage& st) { return (serial ? st.cpuMs : st.ms) / n; };
  state.counters["pooled_ms"] = stage(sum.pooled);
  state.counters["exact_ms"] = stage(sum.exact);
  state.counters["head_ms"] = stage(sum.head);
  state.counters["blend_ms"] = stage(sum.blend);
  state.counters["cpu_ms"] = cpu;
  state.counters["served"] = served / n;
  const int threads = serial ? 1 : le::pool::threads();
  static double oneThreadWall[2] = {0, 0};
  if (serial) oneThreadWall[cap] = wall;
  char text[320];
  std::snprintf(text, sizeof text,
                "%d donors (K %d, kshort %d), %d thread%s: pooled %.2f, exact %.2f, head %.2f, blend %.2f ms %s; "
                "%.2f ms a frame, %.2f ms CPU%s",
                t.bank.n, t.cfg.K, t.cfg.kshort, threads, threads == 1 ? "" : "s", stage(sum.pooled),
                stage(sum.exact), stage(sum.head), stage(sum.blend), serial ? "CPU" : "wall", wall, cpu,
                !serial && oneThreadWall[cap] > 0
                    ? (", " + std::to_string(oneThreadWall[cap] / wall).substr(0, 4) + "x the one-thread run").c_str()
                    : "");
  lb::note(std::string("teeth frame, ") + (cap ? "1024 bank" : "demo bank") + (serial ? ", 1 thread" : ", pool"),
           text);
}
BENCHMARK(BM_TeethFrame)
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

}  // namespace
