#include "paste/small_window.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "paste/inverse_map.h"

namespace le {
namespace {

constexpr int kPhaseShift = kInverseFracBits - 5;

template <int N>
void pasteWindowRow(const SmallWindowRow& row, const float* taps, int first, int last, uint8_t* outRow) {
  const int side = row.side;
  const uint8_t* mask = row.mask;
  auto maskAt = [&](int x, int y) -> float {
    return (x >= 0 && x < side && y >= 0 && y < side) ? mask[static_cast<size_t>(y) * side + x] : 0.f;
  };
  constexpr int kBefore = N / 2 - 1;  // window starts this many pixels before ix
  for (int x = first; x <= last; ++x) {
    const int sx = row.baseX + row.colX[x], sy = row.baseY + row.colY[x];
    const int ix = sx >> kInverseFracBits, iy = sy >> kInverseFracBits;
    if (ix < -1 || ix >= side || iy < -1 || iy >= side) continue;
    const int px = (sx >> kPhaseShift) & 31, py = (sy >> kPhaseShift) & 31;
    const float* bx = row.bilinear + 2 * px;
    const float* by = row.bilinear + 2 * py;
    const float m = by[0] * (bx[0] * maskAt(ix, iy) + bx[1] * maskAt(ix + 1, iy)) +
                    by[1] * (bx[0] * maskAt(ix, iy + 1) + bx[1] * maskAt(ix + 1, iy + 1));
    const float a = std::nearbyint(m) / 255.f;
    if (a <= 0.f) continue;

    const float* wx = taps + N * px;
    const float* wy = taps + N * py;
    const int cx = ix - kBefore, cy = iy - kBefore;
    // Taps outside the crop contribute nothing (no renormalisation).
    const int c0 = std::max(0, -cx), c1 = std::min(N, side - cx);
    const int r0 = std::max(0, -cy), r1 = std::min(N, side - cy);
    float s[3] = {0.f, 0.f, 0.f};
    for (int ch = 0; ch < 3; ++ch) {
      const float* p = row.planes[ch];
      for (int r = r0; r < r1; ++r) {
        const float* src = p + static_cast<size_t>(cy + r) * side + cx;
        float acc = 0.f;
        for (int c = c0; c < c1; ++c) acc += wx[c] * src[c];
        s[ch] += wy[r] * acc;
      }
    }
    uint8_t* o = outRow + 3 * static_cast<size_t>(x);
    for (int ch = 0; ch < 3; ++ch)
      o[ch] = static_cast<uint8_t>(std::clamp(o[ch] * (1.f - a) + s[ch] * a, 0.f, 255.f));
  }
}

}  // namespace

void pasteCubicRow(const SmallWindowRow& row, const float* cubic, int first, int last, uint8_t* outRow) {
  pasteWindowRow<4>(row, cubic, first, last, outRow);
}

void pasteBilinearRow(const SmallWindowRow& row, int first, int last, uint8_t* outRow) {
  pasteWindowRow<2>(row, row.bilinear, first, last, outRow);
}

}  // namespace le
