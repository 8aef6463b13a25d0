// The teeth inputs on the demo avatar: the bank decode from memory, the
// delivered lip mask and the contour the renderer feeds per frame on the
// 512 canvas, and the director's whole render with the contour bound, or
// spliced from compose v2, beside the same director serving its own ellipse
// (the anchor), call by call in one process. The single-threaded parts report
// CPU time: on a shared machine the wall clock measures the neighbours.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "bundle/drive.h"
#include "bundle/files.h"
#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "driver/cursor.h"
#include "render/renderer.h"
#include "support/bench_forge.h"
#include "support/summary.h"
#include "tessera/bank_decode.h"
#include "tessera/lip_contour.h"
#include "tessera/members.h"
#include "tessera/unified_pi.h"

namespace {

struct Demo {
  Demo()
      : manifest(le::loadManifest(lb::forgedBundle("demo-bundle", "demo_teeth", "--frames 24"))),
        identity(manifest, le::openPriorStream),
        drive(le::loadDrive(manifest)),
        members(le::loadTesseraMembers(manifest)) {}
  le::Manifest manifest;
  le::Identity identity;
  le::Drive drive;
  le::TesseraAttachInputs members;
};

Demo& demo() {
  static Demo d;
  return d;
}

void BM_BankDecode(benchmark::State& state) {
  const le::TesseraAttachInputs& in = demo().members;
  const std::string track = le::readFile(in.bank_track_path);
  const auto* data = reinterpret_cast<const uint8_t*>(track.data());
  // CPU time: one decoding thread, and on a shared machine the wall clock measures the neighbours.
  const double cpu0 = lb::processCpuSeconds();
  for (auto _ : state)
    benchmark::DoNotOptimize(le::tessera::decodeBankTrack(data, track.size(), in.n_donors, in.band_h, in.band_w,
                                                          in.track_order));
  const double per = (lb::processCpuSeconds() - cpu0) * 1e3 / static_cast<double>(state.iterations());
  state.counters["cpu_ms"] = per;
  char text[160];
  std::snprintf(text, sizeof text, "%.2f ms CPU for %d donors of %dx%d (%zu KiB of track)", per, in.n_donors,
                in.band_w, in.band_h, track.size() / 1024);
  lb::note("bank decode", text);
}
BENCHMARK(BM_BankDecode)->Unit(benchmark::kMillisecond)->MinTime(1.0);

// kind 0: the delivered u8 mask (pi cut down to the contour); 1: the float
// contour canvas the renderer binds as lip_delivery.
void BM_LipMask(benchmark::State& state) {
  Demo& d = demo();
  const int c = d.manifest.crop;
  le::tessera::LipContour lc = le::tessera::LipContour::fromTemplateJson(d.manifest.lipTemplate, c);
  const le::tessera::UnifiedPi pi = le::tessera::UnifiedPi::fromManifestJson(d.members.manifest_json, c);
  std::vector<uint8_t> mask(static_cast<size_t>(c) * c);
  std::vector<float> canvas(mask.size());
  const int frames = d.manifest.frames;
  int f = 0;
  const bool delivered = state.range(0) == 0;
  const double cpu0 = lb::processCpuSeconds();
  for (auto _ : state) {
    const float* kp = d.drive.xd.data() + static_cast<size_t>(f++ % frames) * 63;
    if (delivered)
      lc.deliveredU8(kp, pi, mask.data());
    else
      lc.contourF32Canvas(kp, canvas.data());
    benchmark::ClobberMemory();
  }
  const double us = (lb::processCpuSeconds() - cpu0) * 1e6 / static_cast<double>(state.iterations());
  state.counters["cpu_us_per_frame"] = us;
  char text[120];
  std::snprintf(text, sizeof text, "%.0f us CPU per frame on the %d canvas (%d verts, feather %.1f px)", us, c, lc.nv,
                lc.feather_px);
  lb::note(delivered ? "delivered lip mask" : "lip_delivery contour", text);
}
BENCHMARK(BM_LipMask)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// range 0: 0 binds the contour (the template without its compose v2 block),
// 1 splices compose v2; the anchor renders the same frames without a template.
void BM_LipDirector(benchmark::State& state) {
  Demo& d = demo();
  le::Manifest ellipse = d.manifest, lip = d.manifest;
  ellipse.lipTemplate.clear();
  if (state.range(0) == 0) {
    const size_t at = lip.lipTemplate.find(", \"compose_v2\"");
    if (at != std::string::npos) lip.lipTemplate = lip.lipTemplate.substr(0, at) + "}";
  }
  le::Renderer ours(lip, d.identity, "render", 2, ""), anchor(ellipse, d.identity, "render", 2, "");
  int f = 0;
  const auto render = [&](le::Renderer& r) {
    const int si = f % d.manifest.NT;
    const size_t row = static_cast<size_t>(f % d.manifest.frames) * 63;
    benchmark::DoNotOptimize(r.render(&si, d.drive.xs.data() + row, d.drive.xd.data() + row, 1));
  };
  for (int i = 0; i < 2; ++i) render(ours), render(anchor);  // settle both sessions
  double oursMs = 0, anchorMs = 0;
  const auto ms = [&](le::Renderer& r) {
    const auto t0 = std::chrono::steady_clock::now();
    render(r);
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  for (auto _ : state) oursMs += ms(ours), anchorMs += ms(anchor), ++f;
  const double n = static_cast<double>(state.iterations());
  state.counters["ours_ms"] = oursMs / n;
  state.counters["ellipse_ms"] = anchorMs / n;
  state.counters["ratio"] = oursMs / anchorMs;
  char text[160];
  std::snprintf(text, sizeof text, "%.1f ms per frame vs %.1f ms serving the ellipse (%.3fx)", oursMs / n,
                anchorMs / n, oursMs / anchorMs);
  lb::note(state.range(0) ? "compose v2 director" : "lip-bound director", text);
}
BENCHMARK(BM_LipDirector)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(12);

}  // namespace
