// Throughput of the half conversions, the retrieval terms, the 3x3
// convolution and the Lanczos row paste, per SIMD target.
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <vector>

#include "per_target.h"
#include "simd/half.h"
#include "simd/kernels.h"

namespace {

std::vector<float> randomFloats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

std::vector<uint16_t> randomHalves(size_t n, float lo, float hi, uint32_t seed) {
  std::vector<uint16_t> h(n);
  for (size_t i = 0; auto x : randomFloats(n, lo, hi, seed)) h[i++] = le::f32ToF16(x);
  return h;
}

constexpr size_t kConvertN = 1 << 16;  // stays in L2

void f32ToF16(benchmark::State& state) {
  const auto src = randomFloats(kConvertN, -100.f, 100.f, 1);
  std::vector<uint16_t> dst(kConvertN);
  for (auto _ : state) {
    le::simd::f32ToF16(src.data(), dst.data(), kConvertN);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * kConvertN * 6);  // read + write
}

void f16ToF32(benchmark::State& state) {
  const auto src = randomHalves(kConvertN, -100.f, 100.f, 2);
  std::vector<float> dst(kConvertN);
  for (auto _ : state) {
    le::simd::f16ToF32(src.data(), dst.data(), kConvertN);
    benchmark::DoNotOptimize(dst.data());
  }
  state.SetBytesProcessed(state.iterations() * kConvertN * 6);
}

constexpr size_t kPixels = 96 * 96;

void retrievePooled(benchmark::State& state) {
  const auto a = randomHalves(3 * kPixels, 0.f, 1.f, 3), b = randomHalves(3 * kPixels, 0.f, 1.f, 4);
  const auto w = randomHalves(kPixels, 0.f, 1.f, 5);
  for (auto _ : state)
    benchmark::DoNotOptimize(le::simd::retrieveTermPooled(a.data(), b.data(), w.data(), kPixels));
  state.SetItemsProcessed(state.iterations() * kPixels);
}

void retrieveExactRange(benchmark::State& state) {
  const auto a = randomHalves(3 * kPixels, 0.f, 1.f, 6), b = randomHalves(3 * kPixels, 0.f, 1.f, 7);
  const auto w = randomFloats(kPixels, 0.f, 1.f, 8);
  for (auto _ : state)
    benchmark::DoNotOptimize(
        le::simd::retrieveTermExactRange(a.data(), b.data(), w.data(), kPixels, 0, kPixels));
  state.SetItemsProcessed(state.iterations() * kPixels);
}

// Teeth-head sized layer: 8 candidates, 16 -> 16 channels, 64 x 96.
void conv3x3(benchmark::State& state) {
  const int N = 8, Cin = 16, Cout = 16, H = 64, W = 96;
  const auto in = randomFloats(size_t(N) * Cin * H * W, -1.f, 1.f, 9);
  const auto w = randomFloats(size_t(Cout) * Cin * 9, -1.f, 1.f, 10);
  const auto bias = randomFloats(Cout, -1.f, 1.f, 11);
  std::vector<float> out(size_t(N) * Cout * H * W);
  for (auto _ : state) {
    le::simd::conv3x3Range(in.data(), N, Cin, H, W, w.data(), bias.data(), Cout, out.data(), 0,
                           N * Cout);
    benchmark::DoNotOptimize(out.data());
  }
  const double flops = 2.0 * 9 * Cin * H * W * Cout * N;
  state.counters["GFLOP/s"] =
      benchmark::Counter(flops * state.iterations() / 1e9, benchmark::Counter::kIsRate);
}

// One 512-pixel crop pasted at about 1.1x over 560 output columns per row.
void lanczosRow(benchmark::State& state) {
  const int side = 512, width = 560;
  const auto crop = randomFloats(size_t(side) * side * 4, 0.f, 255.f, 12);
  std::vector<uint8_t> mask(size_t(side) * side, 255);
  float lanczos[32 * 8], bilinear[32 * 2];
  for (int p = 0; p < 32; ++p) {
    for (int c = 0; c < 8; ++c) lanczos[p * 8 + c] = 1.f / 8;
    bilinear[2 * p] = 1 - p / 32.f;
    bilinear[2 * p + 1] = p / 32.f;
  }
  std::vector<int> colX(width), colY(width);
  for (int x = 0; x < width; ++x) {
    colX[x] = x * 936;
    colY[x] = x * 17;
  }
  std::vector<uint8_t> row(3 * width, 50);
  int r = 0;
  for (auto _ : state) {
    le::simd::pasteLanczos8Row(crop.data(), side, mask.data(), lanczos, bilinear, colX.data(),
                               colY.data(), 0, (r++ % 500) * 1024, 0, width - 1, row.data());
    benchmark::DoNotOptimize(row.data());
  }
  state.SetItemsProcessed(state.iterations() * width);
}

const bool registered = [] {
  lb::registerPerTarget("BM_F32ToF16", f32ToF16);
  lb::registerPerTarget("BM_F16ToF32", f16ToF32);
  lb::registerPerTarget("BM_RetrieveTermPooled", retrievePooled);
  lb::registerPerTarget("BM_RetrieveTermExactRange", retrieveExactRange);
  lb::registerPerTarget("BM_Conv3x3Range", conv3x3);
  lb::registerPerTarget("BM_PasteLanczos8Row", lanczosRow);
  return true;
}();

}  // namespace
