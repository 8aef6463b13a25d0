#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "each_target.h"
#include "paste/paste_reference.h"
#include "simd/kernels.h"

namespace {

// Lanczos-4 taps per phase, normalised to sum 1; bilinear taps per phase.
struct Tables {
  float lanczos[32 * 8], bilinear[32 * 2];
  Tables() {
    double w[8];
    for (int p = 0; p < 32; ++p) {
      lt::refTaps(8, p / 32.0, w);
      std::copy(w, w + 8, lanczos + 8 * p);
      lt::refTaps(2, p / 32.0, w);
      std::copy(w, w + 2, bilinear + 2 * p);
    }
  }
};
const Tables kT;

struct Scene {
  int side;
  std::vector<float> crop;  // side*side*4
  std::vector<uint8_t> mask;
  std::vector<int> colX, colY;

  std::vector<uint8_t> paste(int by, int first, int last, std::vector<uint8_t> row) const {
    le::simd::pasteLanczos8Row(crop.data(), side, mask.data(), kT.lanczos, kT.bilinear, colX.data(), colY.data(),
                               0, by, first, last, row.data());
    return row;
  }

  // Plain double-precision row paste.
  std::vector<uint8_t> reference(int by, int first, int last, std::vector<uint8_t> row) const {
    auto m = [&](int x, int y) { return (x >= 0 && x < side && y >= 0 && y < side) ? mask[y * side + x] : 0; };
    for (int x = first; x <= last; ++x) {
      const int sx = colX[x], sy = by + colY[x], ix = sx >> 10, iy = sy >> 10;
      const int px = (sx >> 5) & 31, py = (sy >> 5) & 31;
      if (ix < -1 || ix >= side || iy < -1 || iy >= side) continue;
      const float *hx = kT.bilinear + 2 * px, *hy = kT.bilinear + 2 * py;
      const float mv = hy[0] * (hx[0] * m(ix, iy) + hx[1] * m(ix + 1, iy)) +
                       hy[1] * (hx[0] * m(ix, iy + 1) + hx[1] * m(ix + 1, iy + 1));
      const double a = std::nearbyint(mv) / 255.0;
      if (a <= 0) continue;
      for (int k = 0; k < 3; ++k) {
        double sum = 0;
        for (int r = 0; r < 8; ++r)
          for (int c = 0; c < 8; ++c) {
            const int xx = ix - 3 + c, yy = iy - 3 + r;
            if (xx >= 0 && xx < side && yy >= 0 && yy < side)
              sum += double(kT.lanczos[py * 8 + r]) * kT.lanczos[px * 8 + c] * crop[4 * (size_t(yy) * side + xx) + k];
          }
        row[3 * x + k] = uint8_t(std::trunc(std::clamp(row[3 * x + k] * (1 - a) + sum * a, 0.0, 255.0)));
      }
    }
    return row;
  }
};

// A crop scaled by about 1.3 onto a row that starts left of it and ends
// right of it, so complete windows, edge windows and misses all occur.
Scene makeScene(int side, uint32_t seed, int width) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.f, 255.f);
  Scene s{side, std::vector<float>(size_t(side) * side * 4), std::vector<uint8_t>(size_t(side) * side),
          std::vector<int>(width), std::vector<int>(width)};
  for (float& v : s.crop) v = u(rng);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x) s.mask[y * side + x] = (x < side / 4) ? 0 : (x > side / 2 ? 255 : uint8_t(rng()));
  for (int x = 0; x < width; ++x) {
    s.colX[x] = (x - 6) * 790;  // 10 fractional bits
    s.colY[x] = x * 37;
  }
  return s;
}

TEST(PasteLanczos8Row, AgreesWithDoubleReferenceWithinOneLevel) {
  const int width = 90;
  const Scene s = makeScene(48, 1, width);
  std::vector<uint8_t> base(3 * width);
  for (size_t i = 0; i < base.size(); ++i) base[i] = uint8_t(i * 29);
  lt::forEachTarget([&] {
    // Rows above, across and below the crop.
    for (int by : {-1500, -900, 0, 5000, 20000, 47800, 50000}) {
      const auto want = s.reference(by, 2, width - 3, base), got = s.paste(by, 2, width - 3, base);
      int off = 0;
      for (int i = 0; i < 3 * width; ++i) {
        ASSERT_LE(std::abs(int(got[i]) - int(want[i])), 1) << "by " << by << " byte " << i;
        off += got[i] != want[i];
      }
      EXPECT_LE(off, 3) << "by " << by;  // only truncation-boundary cases may differ
    }
  });
}

TEST(PasteLanczos8Row, UntouchedWhereMaskZero) {
  Scene s = makeScene(32, 2, 64);
  std::fill(s.mask.begin(), s.mask.end(), 0);
  const std::vector<uint8_t> row(3 * 64, 77);
  lt::forEachTarget([&] { EXPECT_EQ(s.paste(4096, 0, 63, row), row); });
}

TEST(PasteLanczos8Row, ConstantCropTruncates) {
  const int width = 20;
  Scene s = makeScene(40, 3, width);
  std::fill(s.crop.begin(), s.crop.end(), 100.7f);
  std::fill(s.mask.begin(), s.mask.end(), 255);
  for (int x = 0; x < width; ++x) {
    s.colX[x] = 8 * 1024 + x * 1100;  // complete windows only
    s.colY[x] = 20 * 1024 + x * 13;
  }
  std::vector<uint8_t> want(3 * width, 100);
  std::fill_n(want.begin(), 3, 3);
  std::fill_n(want.end() - 3, 3, 3);
  lt::forEachTarget([&] { EXPECT_EQ(s.paste(0, 1, width - 2, std::vector<uint8_t>(3 * width, 3)), want); });
}

}  // namespace
