// Full 1080p composite (unsharp + Lanczos + mask + blend) against OpenCV's
// Lanczos-4 warp of the same float crop over the same footprint rectangle.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <numbers>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <random>
#include <utility>
#include <vector>

#include "paste/paste.h"
#include "pool/pool.h"

namespace {

constexpr int kSide = 512, kW = 1920, kH = 1080;

struct Scene {
  std::vector<float> crop;  // planar [3][side][side], 0..1
  std::vector<uint8_t> mask;
  std::vector<uint8_t> frame;
  float M[6];
  le::Footprint fp;
};

// Scale 1.15 with a 5 degree roll gives a footprint of about 640x640.
Scene makeScene() {
  Scene s;
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> unit(0.f, 1.f);
  s.crop.resize(3 * kSide * kSide);
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x)
        s.crop[(c * kSide + y) * kSide + x] =
            std::clamp(0.5f + 0.3f * std::sin(0.05f * x + c) * std::cos(0.07f * y) + 0.1f * unit(rng), 0.f, 1.f);
  // The bundle mask: a radial ramp clipped to 0..255.
  s.mask.resize(kSide * kSide);
  for (int y = 0; y < kSide; ++y)
    for (int x = 0; x < kSide; ++x) {
      const double r = std::hypot(x - kSide / 2.0, y - kSide / 2.0) / (kSide / 2.0);
      s.mask[y * kSide + x] = static_cast<uint8_t>(std::clamp((1.0 - r) * 512, 0.0, 255.0));
    }
  s.frame.resize(static_cast<size_t>(kW) * kH * 3);
  for (auto& v : s.frame) v = static_cast<uint8_t>(rng());
  const double scale = 1.15, angle = 5.0 * std::numbers::pi / 180;
  const double a = scale * std::cos(angle), b = -scale * std::sin(angle);
  const double d = scale * std::sin(angle), e = scale * std::cos(angle);
  const double cx = 960, cy = 500, h = kSide / 2.0;
  const double vals[6] = {a, b, cx - a * h - b * h, d, e, cy - d * h - e * h};
  for (int i = 0; i < 6; ++i) s.M[i] = static_cast<float>(vals[i]);
  s.fp = *le::pasteFootprint(s.M, kSide, kW, kH);
  return s;
}

const le::Unsharp kUnsharp{0.5f, 1.0f, 5};

struct OpenCvWarp {
  cv::Mat src, dst, M;
  cv::Size size;

  explicit OpenCvWarp(const Scene& s) : src(kSide, kSide, CV_32FC3), M(2, 3, CV_64F) {
    for (int y = 0; y < kSide; ++y)
      for (int x = 0; x < kSide; ++x)
        for (int c = 0; c < 3; ++c) src.at<cv::Vec3f>(y, x)[c] = s.crop[(c * kSide + y) * kSide + x] * 255.f;
    for (int i = 0; i < 6; ++i) M.at<double>(i / 3, i % 3) = s.M[i];
    M.at<double>(0, 2) -= s.fp.x0;
    M.at<double>(1, 2) -= s.fp.y0;
    size = cv::Size(s.fp.x1 - s.fp.x0 + 1, s.fp.y1 - s.fp.y0 + 1);
  }
  void run() { cv::warpAffine(src, dst, M, size, cv::INTER_LANCZOS4, cv::BORDER_CONSTANT); }
};

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
  return v[v.size() / 2];
}

// Median milliseconds of a and b, timed alternately so that load from other
// processes on the machine hits both alike.
template <class A, class B>
std::pair<double, double> alternateMedianMs(A&& a, B&& b, int reps) {
  std::vector<double> ta, tb;
  auto time = [](auto&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  };
  for (int i = 0; i < reps; ++i) {
    ta.push_back(time(a));
    tb.push_back(time(b));
  }
  return {median(ta), median(tb)};
}

void BM_Paste1080pVsOpenCvLanczos4(benchmark::State& state) {
  Scene s = makeScene();
  cv::setNumThreads(le::pool::threads());
  OpenCvWarp warp(s);
  le::Paste paste(s.mask, kSide, kUnsharp);
  auto composite = [&] { paste.composite(s.crop.data(), 255.f, s.M, s.frame.data(), kW, kH); };
  warp.run();
  composite();
  const auto [pasteMs, cvMs] = alternateMedianMs(composite, [&] { warp.run(); }, 21);
  for (auto _ : state) {
    paste.composite(s.crop.data(), 255.f, s.M, s.frame.data(), kW, kH);
    benchmark::ClobberMemory();
  }
  state.counters["threads"] = le::pool::threads();
  state.counters["footprint_w"] = warp.size.width;
  state.counters["footprint_h"] = warp.size.height;
  state.counters["paste_ms"] = pasteMs;
  state.counters["opencv_warp_ms"] = cvMs;
  state.counters["paste_over_opencv"] = pasteMs / cvMs;
}
BENCHMARK(BM_Paste1080pVsOpenCvLanczos4)->Unit(benchmark::kMillisecond)->UseRealTime();

// The crop preparation alone (scale + unsharp of three planes).
void BM_PasteSharpenOnly(benchmark::State& state) {
  Scene s = makeScene();
  le::Paste paste(s.mask, kSide, kUnsharp);
  for (auto _ : state) {
    paste.fillPlanes(s.crop.data(), 255.f);
    for (int c = 0; c < 3; ++c) paste.unsharpPlane(paste.plane(c));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_PasteSharpenOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OpenCvWarpLanczos4(benchmark::State& state) {
  Scene s = makeScene();
  cv::setNumThreads(le::pool::threads());
  OpenCvWarp warp(s);
  for (auto _ : state) {
    warp.run();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_OpenCvWarpLanczos4)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
