#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "each_target.h"
#include "simd/kernels.h"

namespace {

// Lanczos-4 taps per phase, normalised to sum 1; bilinear taps per phase.
struct Tables {
  float lanczos[32 * 8];
  float bilinear[32 * 2];
  Tables() {
    for (int p = 0; p < 32; ++p) {
      const double t = p / 32.0;
      double sum = 0, k[8];
      for (int c = 0; c < 8; ++c) {
        const double x = c - 3 - t;
        k[c] = x == 0 ? 1 : 4 * std::sin(M_PI * x) * std::sin(M_PI * x / 4) / (M_PI * M_PI * x * x);
        sum += k[c];
      }
      for (int c = 0; c < 8; ++c) lanczos[p * 8 + c] = float(k[c] / sum);
      bilinear[2 * p] = float(1 - t);
      bilinear[2 * p + 1] = float(t);
    }
  }
};

struct Scene {
  int side;
  std::vector<float> crop;  // side*side*4
  std::vector<uint8_t> mask;
  std::vector<int> colX, colY;
};

// Plain double-precision row paste.
void refRow(const Scene& s, const Tables& t, int bx, int by, int first, int last, uint8_t* row) {
  auto m = [&](int x, int y) { return (x >= 0 && x < s.side && y >= 0 && y < s.side) ? s.mask[y * s.side + x] : 0; };
  for (int x = first; x <= last; ++x) {
    const int sx = bx + s.colX[x], sy = by + s.colY[x], ix = sx >> 10, iy = sy >> 10;
    const int px = (sx >> 5) & 31, py = (sy >> 5) & 31;
    if (ix < -1 || ix >= s.side || iy < -1 || iy >= s.side) continue;
    const float* hx = t.bilinear + 2 * px;
    const float* hy = t.bilinear + 2 * py;
    const float mv = hy[0] * (hx[0] * m(ix, iy) + hx[1] * m(ix + 1, iy)) +
                     hy[1] * (hx[0] * m(ix, iy + 1) + hx[1] * m(ix + 1, iy + 1));
    const double a = std::nearbyint(mv) / 255.0;
    if (a <= 0) continue;
    for (int k = 0; k < 3; ++k) {
      double sum = 0;
      for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
          const int xx = ix - 3 + c, yy = iy - 3 + r;
          if (xx < 0 || xx >= s.side || yy < 0 || yy >= s.side) continue;
          sum += double(t.lanczos[py * 8 + r]) * t.lanczos[px * 8 + c] *
                 s.crop[4 * (size_t(yy) * s.side + xx) + k];
        }
      const double v = row[3 * x + k] * (1 - a) + sum * a;
      row[3 * x + k] = uint8_t(std::trunc(std::clamp(v, 0.0, 255.0)));
    }
  }
}

// A crop scaled by about 1.3 onto a row that starts left of it and ends
// right of it, so complete windows, edge windows and misses all occur.
Scene makeScene(int side, uint32_t seed, int width) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.f, 255.f);
  Scene s{side, std::vector<float>(size_t(side) * side * 4), std::vector<uint8_t>(size_t(side) * side),
          std::vector<int>(width), std::vector<int>(width)};
  for (float& v : s.crop) v = u(rng);
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      s.mask[y * side + x] = (x < side / 4) ? 0 : (x > side / 2 ? 255 : uint8_t(rng()));
  for (int x = 0; x < width; ++x) {
    s.colX[x] = (x - 6) * 790;  // 10 fractional bits
    s.colY[x] = x * 37;
  }
  return s;
}

TEST(PasteLanczos8Row, AgreesWithDoubleReferenceWithinOneLevel) {
  const Tables t;
  const int width = 90;
  const Scene s = makeScene(48, 1, width);
  std::vector<uint8_t> base(3 * width);
  for (size_t i = 0; i < base.size(); ++i) base[i] = uint8_t(i * 29);
  lt::forEachTarget([&] {
    for (int by : {-1500, -900, 0, 5000, 20000, 47800, 50000}) {
      std::vector<uint8_t> want = base, got = base;
      refRow(s, t, 0, by, 2, width - 3, want.data());
      le::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), t.lanczos, t.bilinear,
                                 s.colX.data(), s.colY.data(), 0, by, 2, width - 3, got.data());
      int off = 0;
      for (int i = 0; i < 3 * width; ++i) {
        ASSERT_LE(std::abs(int(got[i]) - int(want[i])), 1) << "by " << by << " byte " << i;
        off += got[i] != want[i];
      }
      EXPECT_LE(off, 3) << "by " << by;  // only truncation-boundary cases may differ
    }
  });
}

TEST(PasteLanczos8Row, UntouchedWhereMaskZeroOrOutOfReach) {
  const Tables t;
  const int width = 64;
  Scene s = makeScene(32, 2, width);
  std::fill(s.mask.begin(), s.mask.end(), 0);
  lt::forEachTarget([&] {
    std::vector<uint8_t> row(3 * width, 77);
    le::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), t.lanczos, t.bilinear,
                               s.colX.data(), s.colY.data(), 0, 4096, 0, width - 1, row.data());
    EXPECT_EQ(row, std::vector<uint8_t>(3 * width, 77));
  });
  std::fill(s.mask.begin(), s.mask.end(), 255);
  lt::forEachTarget([&] {
    std::vector<uint8_t> row(3 * width, 77);
    // Two rows above the crop: iy = -2 for every column.
    le::simd::pasteLanczos8Row(s.crop.data(), s.side, s.mask.data(), t.lanczos, t.bilinear,
                               s.colX.data(), s.colY.data(), 0, -2048 - 64 * 37, 0, width - 1,
                               row.data());
    EXPECT_EQ(row, std::vector<uint8_t>(3 * width, 77));
  });
}

TEST(PasteLanczos8Row, ConstantCropTruncates) {
  const Tables t;
  const int side = 40, width = 20;
  Scene s{side, std::vector<float>(size_t(side) * side * 4, 100.7f),
          std::vector<uint8_t>(size_t(side) * side, 255), std::vector<int>(width), std::vector<int>(width)};
  for (int x = 0; x < width; ++x) {
    s.colX[x] = 8 * 1024 + x * 1100;  // complete windows only
    s.colY[x] = 20 * 1024 + x * 13;
  }
  lt::forEachTarget([&] {
    std::vector<uint8_t> row(3 * width, 3);
    le::simd::pasteLanczos8Row(s.crop.data(), side, s.mask.data(), t.lanczos, t.bilinear,
                               s.colX.data(), s.colY.data(), 0, 0, 1, width - 2, row.data());
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < 3; ++k)
        ASSERT_EQ(row[3 * x + k], (x == 0 || x == width - 1) ? 3 : 100) << x;
  });
}

}  // namespace
