// Plain scalar bodies, replaced kernel by kernel by the dispatched ones.
#include <algorithm>
#include <cmath>
#include <vector>

#include "simd/half.h"
#include "simd/kernels.h"

namespace le::simd {

void pasteLanczos8Row(const float* crop, int side, const uint8_t* mask,
                      const float* lanczos, const float* bilinear,
                      const int* colX, const int* colY, int baseX, int baseY,
                      int first, int last, uint8_t* outRow) {
  auto maskAt = [&](int x, int y) -> float {
    return (x >= 0 && x < side && y >= 0 && y < side) ? mask[y * side + x] : 0.f;
  };
  for (int x = first; x <= last; ++x) {
    const int sx = baseX + colX[x], sy = baseY + colY[x];
    const int ix = sx >> 10, iy = sy >> 10, px = (sx >> 5) & 31, py = (sy >> 5) & 31;
    if (ix < -1 || ix >= side || iy < -1 || iy >= side) continue;
    const float* bx = bilinear + 2 * px;
    const float* by = bilinear + 2 * py;
    const float m = by[0] * (bx[0] * maskAt(ix, iy) + bx[1] * maskAt(ix + 1, iy)) +
                    by[1] * (bx[0] * maskAt(ix, iy + 1) + bx[1] * maskAt(ix + 1, iy + 1));
    const float a = std::nearbyint(m) / 255.f;
    if (a <= 0.f) continue;
    float s[3] = {0, 0, 0};
    for (int r = 0; r < 8; ++r) {
      const int yy = iy - 3 + r;
      if (yy < 0 || yy >= side) continue;
      float rs[3] = {0, 0, 0};
      for (int c = 0; c < 8; ++c) {
        const int xx = ix - 3 + c;
        if (xx < 0 || xx >= side) continue;
        const float* p = crop + 4 * (static_cast<size_t>(yy) * side + xx);
        for (int k = 0; k < 3; ++k) rs[k] += lanczos[8 * px + c] * p[k];
      }
      for (int k = 0; k < 3; ++k) s[k] += lanczos[8 * py + r] * rs[k];
    }
    uint8_t* o = outRow + 3 * x;
    for (int k = 0; k < 3; ++k)
      o[k] = static_cast<uint8_t>(std::clamp(o[k] * (1.f - a) + s[k] * a, 0.f, 255.f));
  }
}

void conv3x3Range(const float* in, int, int Cin, int H, int W,
                  const float* weights, const float* bias, int Cout,
                  float* out, int j0, int j1) {
  const size_t plane = static_cast<size_t>(H) * W;
  for (int j = j0; j < j1; ++j) {
    const int img = j / Cout, oc = j % Cout;
    float* o = out + static_cast<size_t>(j) * plane;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        float s = bias[oc];
        for (int ic = 0; ic < Cin; ++ic) {
          const float* ip = in + (static_cast<size_t>(img) * Cin + ic) * plane;
          const float* wp = weights + (static_cast<size_t>(oc) * Cin + ic) * 9;
          for (int ky = 0; ky < 3; ++ky)
            for (int kx = 0; kx < 3; ++kx) {
              const int yy = y + ky - 1, xx = x + kx - 1;
              if (yy >= 0 && yy < H && xx >= 0 && xx < W) s += wp[ky * 3 + kx] * ip[yy * W + xx];
            }
        }
        o[static_cast<size_t>(y) * W + x] = s;
      }
  }
}

namespace {
float pixelMean(const uint16_t* a, const uint16_t* b, size_t n, size_t i) {
  float d[3];
  for (int c = 0; c < 3; ++c)
    d[c] = std::fabs(roundToF16(::le::f16ToF32(a[c * n + i]) - ::le::f16ToF32(b[c * n + i])));
  return roundToF16((d[0] + d[1] + d[2]) / 3.f);
}
}  // namespace

float retrieveTermPooled(const uint16_t* a, const uint16_t* b,
                         const uint16_t* w, size_t n) {
  float sum = 0.f;
  for (size_t i = 0; i < n; ++i) sum += roundToF16(::le::f16ToF32(w[i]) * pixelMean(a, b, n, i));
  return sum;
}

float retrieveTermExactRange(const uint16_t* a, const uint16_t* b,
                             const float* w, size_t n, size_t begin,
                             size_t end) {
  float sum = 0.f;
  for (size_t i = begin; i < end; ++i)
    if (w[i] != 0.f) sum += w[i] * pixelMean(a, b, n, i);
  return sum;
}

float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* w,
                        size_t n) {
  return retrieveTermExactRange(a, b, w, n, 0, n);
}





void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v,
                      int width, int step, uint8_t* out) {
  auto clamp8 = [](int x) { return static_cast<uint8_t>(std::clamp(x, 0, 255)); };
  for (int x = 0; x < width; ++x) {
    const int C = 298 * (y[x] - 16) + 128;
    const int D = u[(x / 2) * step] - 128, E = v[(x / 2) * step] - 128;
    out[3 * x] = clamp8((C + 409 * E) >> 8);
    out[3 * x + 1] = clamp8((C - 100 * D - 208 * E) >> 8);
    out[3 * x + 2] = clamp8((C + 516 * D) >> 8);
  }
}


}  // namespace le::simd
