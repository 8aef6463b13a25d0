// GridSampleFast against ONNX Runtime's own GridSample (bilinear, border,
// align_corners 0), its row bands, every SIMD target against the scalar
// form bit for bit, and the cubic head rewrite against ONNX Runtime's Resize.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>

#include "graph/gridsample_rewrite.h"
#include "graph/numerical_rewrites.h"
#include "ops/gridsample_fast.h"
#include "ops/ops_support.h"

namespace {

// A grid over [-1.3, 1.3) with exact borders, the image centre, points far
// outside and NaNs sprinkled in.
std::vector<float> testGrid(size_t pixels, unsigned seed) {
  std::vector<float> g = lt::uniform(pixels * 2, -1.3f, 1.3f, seed);
  for (size_t i = 0; i < g.size(); i += 13) g[i] = i % 2 ? 1.0f : -1.0f;
  for (size_t p = 3; p < pixels; p += 29) g[2 * p] = g[2 * p + 1] = 0.0f;
  for (size_t p = 7; p < pixels; p += 31) g[2 * p] = -7.0f, g[2 * p + 1] = 9.0f;
  for (size_t i = 5; i < g.size(); i += 97) g[i] = NAN;
  return g;
}

TEST(GridSampleFast, MatchesOnnxRuntimeGridSample) {
  const std::vector<uint8_t> standard = lt::modelBytes("gridsample.onnx");
  std::vector<uint8_t> fast = standard;
  ASSERT_EQ(le::rewriteGridSampleToFast(fast), 1u);
  for (const auto& [N, C, H, W] : {std::array{2, 3, 17, 23}, {1, 12, 16, 64}, {1, 1, 1, 1}, {1, 2, 33, 5}}) {
    lt::Tensor x{{N, C, H, W}, lt::uniform(size_t(N) * C * H * W, 0.0f, 1.0f, H)};
    lt::Tensor grid{{N, H, W, 2}, testGrid(size_t(N) * H * W, W)};
    const lt::Tensor want = lt::runOnnx(standard, {{"X", &x}, {"grid", &grid}}, "Y");
    const lt::Tensor got = lt::runOnnx(fast, {{"X", &x}, {"grid", &grid}}, "Y", 2);
    ASSERT_EQ(got.shape, want.shape);
    // The two map a coordinate with different roundings: a few ulps of a
    // position up to 1.3 W, times a neighbour step of at most 1, plus the sum.
    const float tol = 16 * FLT_EPSILON * std::max(H, W) + 4 * FLT_EPSILON;
    for (size_t i = 0; i < got.data.size(); ++i) {
      const size_t pixel = (i / (size_t(C) * H * W)) * H * W + i % (size_t(H) * W);
      if (std::isnan(grid.data[2 * pixel]) || std::isnan(grid.data[2 * pixel + 1]))
        ASSERT_TRUE(std::isnan(got.data[i])) << i;  // a NaN coordinate spoils only its own pixel
      else
        ASSERT_NEAR(got.data[i], want.data[i], tol) << "N" << N << " C" << C << " H" << H << " W" << W << " @" << i;
    }
  }
  lt::Tensor x{{1, 2, 8, 8}, std::vector<float>(128, 1.0f)}, grid{{1, 9, 8, 2}, std::vector<float>(144, 0.0f)};
  const std::string refusal = lt::errorOf([&] { lt::runOnnx(fast, {{"X", &x}, {"grid", &grid}}, "Y"); });
  EXPECT_NE(refusal.find("com.velomark::GridSampleFast: grid must be [1,8,8,2] for X [1,2,8,8], got [1,9,8,2]"),
            std::string::npos)
      << refusal;
}

TEST(GridSampleFast, BandsClampAndEmptyImagesWriteNothing) {
  const int C = 2, H = 4, W = 6;
  const std::vector<float> x = lt::uniform(C * H * W, 0.0f, 1.0f, 7), grid = testGrid(H * W, 3);
  std::vector<float> full(C * H * W), out(C * H * W, -5.0f);
  le::gridsample_fast(x.data(), grid.data(), full.data(), C, H, W);
  le::gridsample_fast_band(x.data(), grid.data(), out.data(), C, H, W, -9, 2);
  le::gridsample_fast_band(x.data(), grid.data(), out.data(), C, H, W, 3, 99);
  for (int i = 0; i < C * H * W; ++i) {
    if (i / W % H == 2)
      EXPECT_EQ(out[i], -5.0f) << i;
    else
      EXPECT_TRUE(std::memcmp(&out[i], &full[i], 4) == 0) << i;
  }
  std::vector<float> untouched(8, -5.0f);
  le::gridsample_fast(x.data(), grid.data(), untouched.data(), 2, 0, 4);
  le::gridsample_fast(x.data(), grid.data(), untouched.data(), 2, 4, 0);
  EXPECT_EQ(untouched, std::vector<float>(8, -5.0f));
}

TEST(GridSampleFast, EveryTargetMatchesTheScalarFormBitForBit) {
  const int C = 3, H = 9, W = 37;  // a column tail on every vector width
  const std::vector<float> x = lt::uniform(C * H * W, -1.0f, 1.0f, 11), grid = testGrid(H * W, 12);
  std::vector<float> want(C * H * W), got(C * H * W);
  le::gridsampleFastBandScalar(x.data(), grid.data(), want.data(), C, H, W, 0, H);
  lt::forEachTarget([&] {
    std::fill(got.begin(), got.end(), 0.0f);
    le::gridsample_fast(x.data(), grid.data(), got.data(), C, H, W);
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4));
  });
}

TEST(HeadCubic, MatchesOnnxRuntimeCubicResize) {
  const std::vector<uint8_t> standard = lt::modelBytes("cubic_head.onnx");
  std::vector<uint8_t> rewritten = standard;
  ASSERT_EQ(le::rewriteHeadCubicResize(rewritten), 1u);
  for (const auto& [H, W] : {std::pair{1, 1}, {2, 3}, {17, 24}}) {
    lt::Tensor x{{1, 8, H, W}, lt::uniform(size_t(8) * H * W, -1.0f, 1.0f, W)};
    const lt::Tensor want = lt::runOnnx(standard, {{"X", &x}}, "up"), got = lt::runOnnx(rewritten, {{"X", &x}}, "up");
    ASSERT_EQ(got.shape, want.shape);
    // Sixteen taps whose magnitudes sum to about 1.6, on values within 1: a
    // few ulps of each product and of the sum.
    for (size_t i = 0; i < got.data.size(); ++i) ASSERT_NEAR(got.data[i], want.data[i], 1e-5) << H << "x" << W;
    std::fill(x.data.begin(), x.data.end(), 0.625f);
    for (float v : lt::runOnnx(rewritten, {{"X", &x}}, "up").data) ASSERT_NEAR(v, 0.625f, 1e-6);
  }
}

}  // namespace
