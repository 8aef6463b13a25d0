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



}  // namespace le::simd
