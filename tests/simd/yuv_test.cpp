#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "each_target.h"
#include "simd/kernels.h"

namespace {

// BT.601 limited range in plain 32-bit integers.
void refRow(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width, int step,
            uint8_t* out) {
  auto c8 = [](int x) { return static_cast<uint8_t>(std::min(255, std::max(0, x))); };
  for (int x = 0; x < width; ++x) {
    const int c = 298 * (y[x] - 16) + 128, d = u[x / 2 * step] - 128, e = v[x / 2 * step] - 128;
    out[3 * x] = c8((c + 409 * e) >> 8);
    out[3 * x + 1] = c8((c - 100 * d - 208 * e) >> 8);
    out[3 * x + 2] = c8((c + 516 * d) >> 8);
  }
}

std::vector<uint8_t> convert(const std::vector<uint8_t>& y, const uint8_t* u, const uint8_t* v,
                             int width, int step) {
  std::vector<uint8_t> out(3 * width + 16, 0xA5);
  le::simd::yuv420RowToRgb24(y.data(), u, v, width, step, out.data());
  for (size_t i = 3 * width; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << "wrote past the row";
  out.resize(3 * width);
  return out;
}

TEST(Yuv420Row, KnownColours) {
  lt::forEachTarget([] {
    const struct { uint8_t y, u, v, r, g, b; } cases[] = {
        {16, 128, 128, 0, 0, 0}, {235, 128, 128, 255, 255, 255}, {81, 90, 240, 255, 0, 0}};
    for (const auto& c : cases) {
      for (int width : {1, 2, 67, 130}) {
        const std::vector<uint8_t> y(width, c.y), u(width, c.u), v(width, c.v);
        const auto rgb = convert(y, u.data(), v.data(), width, 1);
        for (int x = 0; x < width; ++x) {
          ASSERT_EQ(rgb[3 * x], c.r);
          ASSERT_EQ(rgb[3 * x + 1], c.g);
          ASSERT_EQ(rgb[3 * x + 2], c.b);
        }
      }
    }
  });
}

TEST(Yuv420Row, EveryLumaOverAChromaGridMatchesIntegerFormula) {
  std::vector<int> chroma;
  for (int c = 0; c < 256; c += 5) chroma.push_back(c);
  chroma.insert(chroma.end(), {1, 127, 128, 254, 255});
  const int width = 512;
  std::vector<uint8_t> y(width);
  for (int x = 0; x < width; ++x) y[x] = static_cast<uint8_t>(x / 2 ^ (x & 1 ? 0xFF : 0));
  lt::forEachTarget([&] {
    std::vector<uint8_t> want(3 * width);
    for (int cu : chroma)
      for (int cv : chroma) {
        const std::vector<uint8_t> u(width / 2, cu), v(width / 2, cv);
        refRow(y.data(), u.data(), v.data(), width, 1, want.data());
        ASSERT_EQ(convert(y, u.data(), v.data(), width, 1), want) << cu << "," << cv;
      }
  });
}

TEST(Yuv420Row, RandomRowsPlanarAndInterleaved) {
  std::mt19937 rng(11);
  lt::forEachTarget([&] {
    for (int width = 1; width < 300; width += 7) {
      const int cw = (width + 1) / 2;
      std::vector<uint8_t> y(width), u(cw), v(cw), uv(2 * cw);
      for (auto& p : y) p = static_cast<uint8_t>(rng());
      for (int i = 0; i < cw; ++i) {
        uv[2 * i] = u[i] = static_cast<uint8_t>(rng());
        uv[2 * i + 1] = v[i] = static_cast<uint8_t>(rng());
      }
      // Exact-size chroma buffers so reading past them trips the sanitizer.
      std::vector<uint8_t> want(3 * width);
      refRow(y.data(), u.data(), v.data(), width, 1, want.data());
      ASSERT_EQ(convert(y, u.data(), v.data(), width, 1), want) << width;
      ASSERT_EQ(convert(y, uv.data(), uv.data() + 1, width, 2), want) << width;
    }
  });
}

}  // namespace
