#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "each_target.h"
#include "simd/kernels.h"

namespace {

// BT.601 limited range in plain 32-bit integers.
std::vector<uint8_t> refRow(const std::vector<uint8_t>& y, const uint8_t* u, const uint8_t* v, int step) {
  auto c8 = [](int x) { return static_cast<uint8_t>(std::clamp(x, 0, 255)); };
  std::vector<uint8_t> out;
  for (size_t x = 0; x < y.size(); ++x) {
    const int c = 298 * (y[x] - 16) + 128, d = u[x / 2 * step] - 128, e = v[x / 2 * step] - 128;
    out.insert(out.end(), {c8((c + 409 * e) >> 8), c8((c - 100 * d - 208 * e) >> 8), c8((c + 516 * d) >> 8)});
  }
  return out;
}

// The kernel's row; nothing past it may be written.
std::vector<uint8_t> convert(const std::vector<uint8_t>& y, const uint8_t* u, const uint8_t* v, int step) {
  const size_t width = y.size();
  std::vector<uint8_t> out(3 * width + 16, 0xA5);
  le::simd::yuv420RowToRgb24(y.data(), u, v, int(width), step, out.data());
  for (size_t i = 3 * width; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << "wrote past the row";
  out.resize(3 * width);
  return out;
}

TEST(Yuv420Row, KnownColours) {
  const struct { uint8_t y, u, v, r, g, b; } cases[] = {
      {16, 128, 128, 0, 0, 0}, {235, 128, 128, 255, 255, 255}, {81, 90, 240, 255, 0, 0}};
  lt::forEachTarget([&] {
    for (const auto& c : cases)
      for (int width : {1, 2, 67, 130}) {
        const std::vector<uint8_t> y(width, c.y), u(width, c.u), v(width, c.v);
        std::vector<uint8_t> want;
        for (int x = 0; x < width; ++x) want.insert(want.end(), {c.r, c.g, c.b});
        ASSERT_EQ(convert(y, u.data(), v.data(), 1), want) << int(c.y) << " width " << width;
      }
  });
}

TEST(Yuv420Row, MatchesIntegerFormula) {
  // Every luma over a chroma grid, then random rows of many widths with
  // planar and interleaved chroma in exact-size buffers (so the sanitizer
  // catches reads past them).
  std::vector<int> chroma = {1, 127, 128, 254, 255};
  for (int c = 0; c < 256; c += 5) chroma.push_back(c);
  std::vector<uint8_t> luma(512);
  for (int x = 0; x < 512; ++x) luma[x] = static_cast<uint8_t>(x / 2 ^ (x & 1 ? 0xFF : 0));
  std::mt19937 rng(11);
  lt::forEachTarget([&] {
    for (int cu : chroma)
      for (int cv : chroma) {
        const std::vector<uint8_t> u(256, cu), v(256, cv);
        ASSERT_EQ(convert(luma, u.data(), v.data(), 1), refRow(luma, u.data(), v.data(), 1)) << cu << "," << cv;
      }
    for (int width = 1; width < 300; width += 7) {
      const int cw = (width + 1) / 2;
      std::vector<uint8_t> y(width), u(cw), v(cw), uv(2 * cw);
      for (auto& p : y) p = static_cast<uint8_t>(rng());
      for (int i = 0; i < cw; ++i) {
        uv[2 * i] = u[i] = static_cast<uint8_t>(rng());
        uv[2 * i + 1] = v[i] = static_cast<uint8_t>(rng());
      }
      const auto want = refRow(y, u.data(), v.data(), 1);
      ASSERT_EQ(convert(y, u.data(), v.data(), 1), want) << width;
      ASSERT_EQ(convert(y, uv.data(), uv.data() + 1, 2), want) << width;
    }
  });
}

}  // namespace
