// The warp's order of operations is part of its contract, so the compiler
// must not fuse a multiply and an add anywhere in this file.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include "ops/warp_director.h"

#include <algorithm>
#include <cmath>

namespace le {

namespace {

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
  const float axay = ax.a * ay.a;
  const size_t plane = static_cast<size_t>(H) * W, o = static_cast<size_t>(y) * W + x;
  for (int c = 0; c < 3; ++c) {
    const float* v = acc + 4 * c;
    const float corr = axay * v[3];
    const float sx = ax.a * v[1], sy = ay.a * v[2];
    const float base = (v[0] - sx) - sy;
    out[plane * c + o] = corr + base;
  }
}

}  // namespace

void warpDirectorPlanesBand(const float* src, float* planes, int W, int H, int y0, int y1) {
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
        planeValues(src + plane * c, W, ym, y, yp, xm, x, xp, row + static_cast<size_t>(x) * kWarpPlaneFloats + 4 * c);
    }
  }
}

void warpDirectorGatherBand(const float* planes, const float* grid, float* out, int W, int H, int y0, int y1) {
  if (W <= 0 || H <= 0) return;
  const auto tap = [&](int y, int x) { return planes + (static_cast<size_t>(y) * W + x) * kWarpPlaneFloats; };
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y)
    for (int x = 0; x < W; ++x) gatherPixel(grid, out, W, H, y, x, tap);
}

void warpDirectorBand(const float* src, const float* grid, float* out, int W, int H, int y0, int y1) {
  if (W <= 0 || H <= 0) return;
  float records[4][kWarpPlaneFloats];
  int slot = 0;
  const auto tap = [&](int y, int x) {
    float* r = records[slot++ & 3];
    pixelRecord(src, W, H, y, x, r);
    return static_cast<const float*>(r);
  };
  for (int y = std::max(y0, 0); y < std::min(y1, H); ++y)
    for (int x = 0; x < W; ++x) gatherPixel(grid, out, W, H, y, x, tap);
}

void warpDirector(const float* src, const float* grid, float* out, int W, int H) {
  warpDirectorBand(src, grid, out, W, H, 0, H);
}

const char* warpBody() { return "scalar"; }

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
