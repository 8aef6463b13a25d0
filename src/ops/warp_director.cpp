// The warp's order of operations is part of its contract, so the compiler
// must not fuse a multiply and an add anywhere in this file.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "ops/warp_director.cpp"
#include "ops/warp_director.h"

#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#ifndef LE_OPS_WARP_DIRECTOR_PIXEL
#define LE_OPS_WARP_DIRECTOR_PIXEL
namespace le::wd {

// The four plane values of channel plane `s` at (y, x); the neighbour rows
// and columns are given already clamped.
inline void planeValues(const float* s, int W, int ym, int y, int yp, int xm, int x, int xp, float* o) {
  const float* u = s + static_cast<size_t>(ym) * W;
  const float* m = s + static_cast<size_t>(y) * W;
  const float* d = s + static_cast<size_t>(yp) * W;
  const float c = m[x];
  const float cc = c + c;
  const float dxx = (m[xm] - cc) + m[xp];
  const float dyy = (u[x] - cc) + d[x];
  const float ml = m[xm] + m[xm], mr = m[xp] + m[xp];
  const float left = (u[xm] - ml) + d[xm];
  const float right = (u[xp] - mr) + d[xp];
  o[0] = c;
  o[1] = dxx;
  o[2] = dyy;
  o[3] = (left - (dyy + dyy)) + right;
}

// The 12 plane floats of pixel (y, x) of a 3-channel source.
inline void pixelRecord(const float* src, int W, int H, int y, int x, float* o) {
  const int ym = std::max(y - 1, 0), yp = std::min(y + 1, H - 1);
  const int xm = std::max(x - 1, 0), xp = std::min(x + 1, W - 1);
  const size_t plane = static_cast<size_t>(H) * W;
  for (int c = 0; c < 3; ++c) planeValues(src + plane * c, W, ym, y, yp, xm, x, xp, o + 4 * c);
}

// One axis of a grid coordinate: the correction weight from the unclamped
// position, then the clamped taps and their bilinear fraction.
struct Axis {
  float a;  // ((1 - t) t) / 2, t the fraction of the unclamped position
  int i0, i1;
  float f;
};

inline Axis axis(float g, int n) {
  float p = g + 1.0f;
  p = p * static_cast<float>(n);
  p = p - 1.0f;
  p = p * 0.5f;
  const float t = p - std::floor(p);
  float a = 1.0f - t;
  a = a * t;
  a = a * 0.5f;
  // Border padding: the position is clamped, the correction is not. A NaN
  // position reads tap 0 and its NaN correction spoils only its own pixel.
  const float c = p >= 0.0f ? std::min(p, static_cast<float>(n - 1)) : 0.0f;
  const float fl = std::floor(c);
  const int i0 = static_cast<int>(fl);
  return {a, i0, std::min(i0 + 1, n - 1), c - fl};
}

// The cubic-corrected sample of each channel from the blended record.
inline void combine(const float* acc, float ax, float ay, float* out, size_t plane) {
  const float axay = ax * ay;
  for (int c = 0; c < 3; ++c) {
    const float* v = acc + 4 * c;
    const float corr = axay * v[3];
    const float sx = ax * v[1], sy = ay * v[2];
    const float base = (v[0] - sx) - sy;
    out[plane * c] = corr + base;
  }
}

// Output pixel (y, x), its four taps' records read through `tap`.
template <class Tap>
inline void gatherPixel(const float* grid, float* out, int W, int H, int y, int x, Tap&& tap) {
  const size_t g = (static_cast<size_t>(y) * W + x) * 2;
  const Axis ax = axis(grid[g], W), ay = axis(grid[g + 1], H);
  const float ux = 1.0f - ax.f, uy = 1.0f - ay.f;
  const float w[4] = {ux * uy, ax.f * uy, ux * ay.f, ax.f * ay.f};
  const float* p[4] = {tap(ay.i0, ax.i0), tap(ay.i0, ax.i1), tap(ay.i1, ax.i0), tap(ay.i1, ax.i1)};
  float acc[kWarpPlaneFloats];
  for (int k = 0; k < kWarpPlaneFloats; ++k) {
    float s = 0.0f;
    for (int t = 0; t < 4; ++t) {
      const float term = w[t] * p[t][k];
      s = s + term;
    }
    acc[k] = s;
  }
  combine(acc, ax.a, ay.a, out + static_cast<size_t>(y) * W + x, static_cast<size_t>(H) * W);
}

}  // namespace le::wd
#endif

HWY_BEFORE_NAMESPACE();
namespace le {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// The planes pass: interior columns a vector at a time, the same steps as
// planeValues lane by lane; each lane's four values are interleaved and
// copied into its pixel's record.
void WarpPlanesBand(const float* HWY_RESTRICT src, float* HWY_RESTRICT planes, int W, int H, int y0, int y1) {
  const hn::ScalableTag<float> d;
  const size_t N = hn::Lanes(d);
  HWY_ALIGN float quad[4 * hn::MaxLanes(d)];
  const size_t plane = static_cast<size_t>(H) * W;
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y) {
    const int ym = std::max(y - 1, 0), yp = std::min(y + 1, H - 1);
    float* row = planes + static_cast<size_t>(y) * W * kWarpPlaneFloats;
    for (int c = 0; c < 3; ++c) {
      const float* s = src + plane * c;
      const float* u = s + static_cast<size_t>(ym) * W;
      const float* m = s + static_cast<size_t>(y) * W;
      const float* dn = s + static_cast<size_t>(yp) * W;
      const auto scalarAt = [&](int x) {
        const int xm = std::max(x - 1, 0), xp = std::min(x + 1, W - 1);
        wd::planeValues(s, W, ym, y, yp, xm, x, xp, row + static_cast<size_t>(x) * kWarpPlaneFloats + 4 * c);
      };
      scalarAt(0);
      int x = 1;
      for (; x + static_cast<int>(N) < W; x += static_cast<int>(N)) {
        const auto m0 = hn::LoadU(d, m + x - 1), m1 = hn::LoadU(d, m + x), m2 = hn::LoadU(d, m + x + 1);
        const auto cc = hn::Add(m1, m1);
        const auto dxx = hn::Add(hn::Sub(m0, cc), m2);
        const auto dyy = hn::Add(hn::Sub(hn::LoadU(d, u + x), cc), hn::LoadU(d, dn + x));
        const auto left = hn::Add(hn::Sub(hn::LoadU(d, u + x - 1), hn::Add(m0, m0)), hn::LoadU(d, dn + x - 1));
        const auto right = hn::Add(hn::Sub(hn::LoadU(d, u + x + 1), hn::Add(m2, m2)), hn::LoadU(d, dn + x + 1));
        const auto dxxyy = hn::Add(hn::Sub(left, hn::Add(dyy, dyy)), right);
        hn::StoreInterleaved4(m1, dxx, dyy, dxxyy, d, quad);
        for (size_t j = 0; j < N; ++j)
          std::memcpy(row + (static_cast<size_t>(x) + j) * kWarpPlaneFloats + 4 * c, quad + 4 * j, 4 * sizeof(float));
      }
      for (; x < W; ++x) scalarAt(x);
    }
  }
}

// The gather pass: the coordinates of a vector of pixels at once, the same
// steps as wd::axis lane by lane; then each pixel's four 12-float records
// are blended a few lanes at a time, in the scalar form's order, and the
// blends of the whole vector are recombined per channel (wd::combine's steps,
// lane by lane) and stored as contiguous output.
void WarpGatherBand(const float* HWY_RESTRICT planes, const float* HWY_RESTRICT grid, float* HWY_RESTRICT out, int W,
                    int H, int y0, int y1) {
  const hn::ScalableTag<float> d;
  const hn::RebindToSigned<decltype(d)> di;
  const hn::CappedTag<float, 4> d4;
  using VF = hn::Vec<decltype(d)>;
  using VI = hn::Vec<decltype(di)>;
  const size_t N = hn::Lanes(d), N4 = hn::Lanes(d4);
  constexpr size_t kMax = hn::MaxLanes(d);
  HWY_ALIGN float w00[kMax], w01[kMax], w10[kMax], w11[kMax];
  HWY_ALIGN float blend[3][4 * kMax];  // per channel, per pixel: f, Dxx, Dyy, Dxxyy
  HWY_ALIGN int32_t x0[kMax], x1[kMax], yy0[kMax], yy1[kMax];
  const auto one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f), zero = hn::Zero(d);
  const auto oneI = hn::Set(di, 1);
  const auto axis = [&](VF g, int n, VF& a, VI& i0, VI& i1, VF& f) {
    const auto p = hn::Mul(hn::Sub(hn::Mul(hn::Add(g, one), hn::Set(d, static_cast<float>(n))), one), half);
    const auto t = hn::Sub(p, hn::Floor(p));
    a = hn::Mul(hn::Mul(hn::Sub(one, t), t), half);
    const auto c = hn::IfThenElse(hn::Ge(p, zero), hn::Min(p, hn::Set(d, static_cast<float>(n - 1))), zero);
    const auto fl = hn::Floor(c);
    i0 = hn::ConvertTo(di, fl);
    i1 = hn::Min(hn::Add(i0, oneI), hn::Set(di, n - 1));
    f = hn::Sub(c, fl);
  };
  const size_t plane = static_cast<size_t>(H) * W;
  const auto record = [&](int y, int x) { return planes + (static_cast<size_t>(y) * W + x) * kWarpPlaneFloats; };
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y) {
    size_t col = 0;
    for (; col + N <= static_cast<size_t>(W); col += N) {
      VF gx, gy;
      hn::LoadInterleaved2(d, grid + (static_cast<size_t>(y) * W + col) * 2, gx, gy);
      VF axv, ayv, fx, fy;
      VI xa, xb, ya, yb;
      axis(gx, W, axv, xa, xb, fx);
      axis(gy, H, ayv, ya, yb, fy);
      const auto ux = hn::Sub(one, fx), uy = hn::Sub(one, fy);
      hn::Store(hn::Mul(ux, uy), d, w00), hn::Store(hn::Mul(fx, uy), d, w01);
      hn::Store(hn::Mul(ux, fy), d, w10), hn::Store(hn::Mul(fx, fy), d, w11);
      hn::Store(xa, di, x0), hn::Store(xb, di, x1), hn::Store(ya, di, yy0), hn::Store(yb, di, yy1);
      for (size_t j = 0; j < N; ++j) {
        const float* p00 = record(yy0[j], x0[j]);
        const float* p01 = record(yy0[j], x1[j]);
        const float* p10 = record(yy1[j], x0[j]);
        const float* p11 = record(yy1[j], x1[j]);
        const auto v00 = hn::Set(d4, w00[j]), v01 = hn::Set(d4, w01[j]);
        const auto v10 = hn::Set(d4, w10[j]), v11 = hn::Set(d4, w11[j]);
        for (size_t k = 0; k < kWarpPlaneFloats; k += N4) {
          auto s = hn::Add(hn::Zero(d4), hn::Mul(v00, hn::LoadU(d4, p00 + k)));
          s = hn::Add(s, hn::Mul(v01, hn::LoadU(d4, p01 + k)));
          s = hn::Add(s, hn::Mul(v10, hn::LoadU(d4, p10 + k)));
          s = hn::Add(s, hn::Mul(v11, hn::LoadU(d4, p11 + k)));
          hn::StoreU(s, d4, blend[k / 4] + 4 * j + k % 4);
        }
      }
      const auto axay = hn::Mul(axv, ayv);
      for (int c = 0; c < 3; ++c) {
        VF f, dxx, dyy, dxxyy;
        hn::LoadInterleaved4(d, blend[c], f, dxx, dyy, dxxyy);
        const auto base = hn::Sub(hn::Sub(f, hn::Mul(axv, dxx)), hn::Mul(ayv, dyy));
        hn::StoreU(hn::Add(hn::Mul(axay, dxxyy), base), d, out + plane * c + static_cast<size_t>(y) * W + col);
      }
    }
    for (; col < static_cast<size_t>(W); ++col) wd::gatherPixel(grid, out, W, H, y, static_cast<int>(col), record);
  }
}

const char* WarpBodyName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace le
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace le {

HWY_EXPORT(WarpPlanesBand);
HWY_EXPORT(WarpGatherBand);
HWY_EXPORT(WarpBodyName);

void warpDirectorPlanesBandScalar(const float* src, float* planes, int W, int H, int y0, int y1) {
  if (W <= 0 || H <= 0) return;
  const size_t plane = static_cast<size_t>(H) * W;
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y) {
    const int ym = std::max(y - 1, 0), yp = std::min(y + 1, H - 1);
    float* row = planes + static_cast<size_t>(y) * W * kWarpPlaneFloats;
    // Interior columns read their neighbours directly; only the two edge
    // columns clamp.
    for (int x = 0; x < W; ++x) {
      const bool edge = x == 0 || x == W - 1;
      const int xm = edge ? std::max(x - 1, 0) : x - 1, xp = edge ? std::min(x + 1, W - 1) : x + 1;
      for (int c = 0; c < 3; ++c)
        wd::planeValues(src + plane * c, W, ym, y, yp, xm, x, xp,
                        row + static_cast<size_t>(x) * kWarpPlaneFloats + 4 * c);
    }
  }
}

void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int y0, int y1) {
  if (W <= 0 || H <= 0) return;
  HWY_DYNAMIC_DISPATCH(WarpPlanesBand)(src, planes, W, H, y0, y1);
}

void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1) {
  if (W <= 0 || H <= 0) return;
  // The vector form keeps tap indices in 32-bit lanes.
  if (static_cast<int64_t>(H) * W > INT32_MAX / kWarpPlaneFloats)
    return warpDirectorGatherBandScalar(planes, grid, out, W, H, y0, y1);
  HWY_DYNAMIC_DISPATCH(WarpGatherBand)(planes, grid, out, W, H, y0, y1);
}

void warpDirectorGatherBandScalar(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1) {
  if (W <= 0 || H <= 0) return;
  const auto tap = [&](int y, int x) { return planes + (static_cast<size_t>(y) * W + x) * kWarpPlaneFloats; };
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y)
    for (int x = 0; x < W; ++x) wd::gatherPixel(grid, out, W, H, y, x, tap);
}

void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0, int y1) {
  if (W <= 0 || H <= 0) return;
  float records[4][kWarpPlaneFloats];
  int slot = 0;
  const auto tap = [&](int y, int x) {
    float* r = records[slot++ & 3];
    wd::pixelRecord(src, W, H, y, x, r);
    return static_cast<const float*>(r);
  };
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y)
    for (int x = 0; x < W; ++x) wd::gatherPixel(grid, out, W, H, y, x, tap);
}

void warpDirector(const float* src, const float* grid, float* out, int W, int H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

const char* warpBody() { return HWY_DYNAMIC_DISPATCH(WarpBodyName)(); }

void warp_planes_fn(void* args, size_t band) {
  const WarpBandArgs& a = *static_cast<const WarpBandArgs*>(args);
  const int y0 = static_cast<int>(band) * a.bandRows;
  warpDirectorPlanesBand(a.src, a.planes, a.W, a.H, y0, std::min(y0 + a.bandRows, a.H));
}

void warp_gather_fn(void* args, size_t band) {
  const WarpBandArgs& a = *static_cast<const WarpBandArgs*>(args);
  const int y0 = static_cast<int>(band) * a.bandRows;
  warpDirectorGatherBand(a.planes, a.grid, a.out, a.W, a.H, y0, std::min(y0 + a.bandRows, a.H));
}

}  // namespace le
#endif  // HWY_ONCE
