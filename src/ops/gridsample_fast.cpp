// The sampler's order of operations is part of its contract, so the compiler
// must not fuse a multiply and an add anywhere in this file.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/gridsample_fast.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ops/gridsample_fast.h"

#ifndef LE_OPS_GRIDSAMPLE_FAST_PIXEL
#define LE_OPS_GRIDSAMPLE_FAST_PIXEL
namespace le::gsf {

// floor(v) as a tap index: NaN becomes 0, and anything outside [-1, n] is
// pulled in to it, which selects the same clamped taps without an overflowing
// conversion.
inline int tapIndex(float floored, int n) {
  if (std::isnan(floored)) return 0;
  return static_cast<int>(std::min(std::max(floored, -1.0f), static_cast<float>(n)));
}

// Output pixel (y, x) of every channel.
inline void samplePixel(const float* x, const float* grid, float* out, int C, int H, int W, int y, int col) {
  const size_t g = (static_cast<size_t>(y) * W + col) * 2;
  const float gx = grid[g], gy = grid[g + 1];
  float ix = gx + 1.0f;
  ix = ix * 0.5f;
  ix = ix * static_cast<float>(W);
  ix = ix - 0.5f;
  float iy = gy + 1.0f;
  iy = iy * 0.5f;
  iy = iy * static_cast<float>(H);
  iy = iy - 0.5f;
  const float fx = std::floor(ix), fy = std::floor(iy);
  const float wx = ix - fx, wy = iy - fy;
  const int x0 = tapIndex(fx, W), y0 = tapIndex(fy, H);
  const int xa = x0 < 0 ? 0 : std::min(x0, W - 1), xb = x0 < 0 ? 0 : std::min(x0 + 1, W - 1);
  const int ya = y0 < 0 ? 0 : std::min(y0, H - 1), yb = y0 < 0 ? 0 : std::min(y0 + 1, H - 1);
  const float ux = 1.0f - wx, uy = 1.0f - wy;
  const float w00 = ux * uy, w01 = wx * uy, w10 = ux * wy, w11 = wx * wy;
  const size_t plane = static_cast<size_t>(H) * W;
  const size_t a = static_cast<size_t>(ya) * W + xa, b = static_cast<size_t>(ya) * W + xb;
  const size_t c = static_cast<size_t>(yb) * W + xa, d = static_cast<size_t>(yb) * W + xb;
  const size_t o = static_cast<size_t>(y) * W + col;
  for (int ch = 0; ch < C; ++ch) {
    const float* p = x + plane * ch;
    float s = w00 * p[a];
    const float t01 = w01 * p[b];
    s = s + t01;
    const float t10 = w10 * p[c];
    s = s + t10;
    const float t11 = w11 * p[d];
    s = s + t11;
    out[plane * ch + o] = s;
  }
}

}  // namespace le::gsf
#endif

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void GridsampleFastBand(const float* HWY_RESTRICT x, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out, int C,
                        int H, int W, int y0, int y1) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const size_t N = hn::Lanes(d);
  const size_t plane = static_cast<size_t>(H) * W;
  const auto one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f);
  const auto wf = hn::Set(d, static_cast<float>(W)), hf = hn::Set(d, static_cast<float>(H));
  const auto minusOne = hn::Set(d, -1.0f);
  const auto zeroI = hn::Zero(di);
  const auto wLast = hn::Set(di, W - 1), hLast = hn::Set(di, H - 1), wI = hn::Set(di, W), oneI = hn::Set(di, 1);
  // The same steps as samplePixel, lane by lane.
  using VF = hn::Vec<decltype(d)>;
  using VI = hn::Vec<decltype(di)>;
  const auto taps = [&](VF floored, VF n, VI last, VI& lo, VI& hi) {
    const auto clean = hn::IfThenZeroElse(hn::IsNaN(floored), floored);
    const auto i0 = hn::ConvertTo(di, hn::Min(hn::Max(clean, minusOne), n));
    const auto left = hn::Lt(i0, zeroI);
    lo = hn::IfThenZeroElse(left, hn::Min(i0, last));
    hi = hn::IfThenZeroElse(left, hn::Min(hn::Add(i0, oneI), last));
  };
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y) {
    size_t col = 0;
    for (; col + N <= static_cast<size_t>(W); col += N) {
      VF gx, gy;
      hn::LoadInterleaved2(d, grid + (static_cast<size_t>(y) * W + col) * 2, gx, gy);
      const auto ix = hn::Sub(hn::Mul(hn::Mul(hn::Add(gx, one), half), wf), half);
      const auto iy = hn::Sub(hn::Mul(hn::Mul(hn::Add(gy, one), half), hf), half);
      const auto fx = hn::Floor(ix), fy = hn::Floor(iy);
      const auto wx = hn::Sub(ix, fx), wy = hn::Sub(iy, fy);
      VI xa, xb, ya, yb;
      taps(fx, wf, wLast, xa, xb);
      taps(fy, hf, hLast, ya, yb);
      const auto ux = hn::Sub(one, wx), uy = hn::Sub(one, wy);
      const auto w00 = hn::Mul(ux, uy), w01 = hn::Mul(wx, uy), w10 = hn::Mul(ux, wy), w11 = hn::Mul(wx, wy);
      const auto rowA = hn::Mul(ya, wI), rowB = hn::Mul(yb, wI);
      const auto a = hn::Add(rowA, xa), b = hn::Add(rowA, xb), c = hn::Add(rowB, xa), e = hn::Add(rowB, xb);
      float* o = out + static_cast<size_t>(y) * W + col;
      for (int ch = 0; ch < C; ++ch) {
        const float* p = x + plane * ch;
        auto s = hn::Mul(w00, hn::GatherIndex(d, p, a));
        s = hn::Add(s, hn::Mul(w01, hn::GatherIndex(d, p, b)));
        s = hn::Add(s, hn::Mul(w10, hn::GatherIndex(d, p, c)));
        s = hn::Add(s, hn::Mul(w11, hn::GatherIndex(d, p, e)));
        hn::StoreU(s, d, o + plane * ch);
      }
    }
    for (; col < static_cast<size_t>(W); ++col) gsf::samplePixel(x, grid, out, C, H, W, y, static_cast<int>(col));
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(GridsampleFastBand);

void gridsampleFastBandScalar(const float* x, const float* grid, float* out, int C, int H, int W, int y0, int y1) {
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y)
    for (int col = 0; col < W; ++col) gsf::samplePixel(x, grid, out, C, H, W, y, col);
}

void gridsample_fast_band(const float* x, const float* grid, float* out, int C, int H, int W, int y0, int y1) {
  if (C <= 0 || H <= 0 || W <= 0) return;
  // The vector form addresses a plane with 32-bit lane offsets.
  if (static_cast<int64_t>(H) * W > INT32_MAX) return gridsampleFastBandScalar(x, grid, out, C, H, W, y0, y1);
  HWY_DYNAMIC_DISPATCH(GridsampleFastBand)(x, grid, out, C, H, W, y0, y1);
}

void gridsample_fast(const float* x, const float* grid, float* out, int C, int H, int W) {
  gridsample_fast_band(x, grid, out, C, H, W, 0, H);
}

void band_fn(void* args, size_t band) {
  const GsfBandArgs& a = *static_cast<const GsfBandArgs*>(args);
  const int y0 = static_cast<int>(band) * kGsfBandRows;
  gridsample_fast_band(a.x, a.grid, a.out, a.C, a.H, a.W, y0, std::min(y0 + kGsfBandRows, a.H));
}

}  // namespace le
#endif  // HWY_ONCE
