// yuv420RowToRgb24 against swscale's YUV420P -> RGB24: over a 1080p frame
// (9 MB of traffic, bound by memory, so the machine's neighbours move it), and
// over a 32-row strip of it that stays in L2 (the kernel's own speed).
#include <benchmark/benchmark.h>

#include <time.h>

#include <cstdint>
#include <random>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

#include "per_target.h"
#include "simd/kernels.h"

namespace {

constexpr int kW = 1920, kH = 1080, kStripRows = 32;

struct Frame {
  std::vector<uint8_t> y, u, v, rgb;
  explicit Frame(int h) : y(kW * h), u(kW * h / 4), v(kW * h / 4), rgb(3 * kW * h) {
    std::mt19937 rng(1);
    for (auto* p : {&y, &u, &v})
      for (auto& b : *p) b = static_cast<uint8_t>(rng());
  }
};

// CPU time of this thread: the machine is shared, so wall time is noisy.
double threadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

void convertFrame(Frame& f, int h) {
  for (int row = 0; row < h; ++row)
    le::simd::yuv420RowToRgb24(f.y.data() + row * kW, f.u.data() + (row / 2) * (kW / 2),
                               f.v.data() + (row / 2) * (kW / 2), kW, 1,
                               f.rgb.data() + 3 * row * kW);
}

// Frames of ours and of sws_scale alternate, so both meet the same
// neighbours: the conversion is bound by memory traffic (9 MB a frame), and a
// busy machine's memory bandwidth moves both figures, not their ratio.
void yuvRows(benchmark::State& state, int h) {
  Frame f(h);
  SwsContext* sws = sws_getContext(kW, h, AV_PIX_FMT_YUV420P, kW, h, AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr,
                                   nullptr, nullptr);
  const uint8_t* src[3] = {f.y.data(), f.u.data(), f.v.data()};
  const int srcStride[3] = {kW, kW / 2, kW / 2};
  std::vector<uint8_t> swsRgb(f.rgb.size());
  uint8_t* dst[1] = {swsRgb.data()};
  const int dstStride[1] = {3 * kW};
  const auto swsFrame = [&] { sws_scale(sws, src, srcStride, 0, h, dst, dstStride); };
  swsFrame(), convertFrame(f, h);  // warm-up
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    const double t0 = threadSeconds();
    convertFrame(f, h);
    benchmark::DoNotOptimize(f.rgb.data());
    const double t1 = threadSeconds();
    swsFrame();
    benchmark::DoNotOptimize(swsRgb.data());
    ours += t1 - t0, theirs += threadSeconds() - t1;
  }
  sws_freeContext(sws);
  const double n = static_cast<double>(state.iterations());
  state.SetItemsProcessed(state.iterations() * kW * h);
  state.counters["sws_ms"] = theirs / n * 1e3;
  state.counters["ours_ms"] = ours / n * 1e3;
  state.counters["speedup_vs_sws"] = theirs / ours;
}

const bool registered = [] {
  lb::registerPerTarget("BM_Yuv420RowToRgb24_1080p", [](benchmark::State& s) { yuvRows(s, kH); });
  lb::registerPerTarget("BM_Yuv420RowToRgb24_1920x32InL2", [](benchmark::State& s) { yuvRows(s, kStripRows); });
  return true;
}();

}  // namespace
