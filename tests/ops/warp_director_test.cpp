// WarpDirector against the cone and warp block it replaces run by ONNX
// Runtime and against a double-precision reference written here, every SIMD
// target against the scalar form, its refusal, and concurrent runs of a node.
#include "ops/warp_director.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "graph/warp_block.h"
#include "graph/wire.h"
#include "ops/ops_support.h"
#include "simd/targets.h"

namespace {

// The operator's definition in double: planes of the edge-replicated source,
// bilinear over the clamped position, correction from the unclamped one.
double reference(const std::vector<float>& src, const float* g, int c, int W, int H) {
  const auto at = [&](int y, int x) {
    y = std::clamp(y, 0, H - 1), x = std::clamp(x, 0, W - 1);
    return double(src[(size_t(c) * H + y) * W + x]);
  };
  const auto dxx = [&](int y, int x) { return at(y, x - 1) - 2 * at(y, x) + at(y, x + 1); };
  const auto dyy = [&](int y, int x) { return at(y - 1, x) - 2 * at(y, x) + at(y + 1, x); };
  const auto dxxyy = [&](int y, int x) { return dyy(y, x - 1) - 2 * dyy(y, x) + dyy(y, x + 1); };
  const double ix = ((g[0] + 1.0) * W - 1) / 2, iy = ((g[1] + 1.0) * H - 1) / 2;
  const double tx = ix - std::floor(ix), ty = iy - std::floor(iy);
  const double ax = (1 - tx) * tx / 2, ay = (1 - ty) * ty / 2;
  const double cx = std::clamp(ix, 0.0, W - 1.0), cy = std::clamp(iy, 0.0, H - 1.0);
  const int x0 = int(cx), y0 = int(cy), x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
  const double fx = cx - x0, fy = cy - y0;
  const auto lerp = [&](auto plane) {
    return (1 - fx) * (1 - fy) * plane(y0, x0) + fx * (1 - fy) * plane(y0, x1) + (1 - fx) * fy * plane(y1, x0) +
           fx * fy * plane(y1, x1);
  };
  return ax * ay * lerp(dxxyy) + lerp(at) - ax * lerp(dxx) - ay * lerp(dyy);
}

// Pixel centres in every odd row, a random spread over [-1.3, 1.3) elsewhere:
// halfway points, the left of the image and far outside all occur.
std::vector<float> testGrid(int H, int W, unsigned seed) {
  std::vector<float> g = lt::uniform(size_t(H) * W * 2, -1.3f, 1.3f, seed);
  for (int y = 1; y < H; y += 2)
    for (int x = 0; x < W; ++x) {
      g[(size_t(y) * W + x) * 2] = (2.0f * x + 1) / W - 1;
      g[(size_t(y) * W + x) * 2 + 1] = (2.0f * y + 1) / H - 1;
    }
  return g;
}

// A float position error of a few ulps of 1.3 max(H, W), times a slope of at
// most about 3 per pixel (the sample, its correction through Dxx and Dyy),
// plus the rounding of a dozen terms of magnitude up to 8 (Dxxyy on 0..1).
float tolerance(int H, int W) { return 16 * FLT_EPSILON * std::max(H, W) + 64 * FLT_EPSILON; }

std::vector<uint8_t> warpNodeModel(const std::string& fixture) {
  std::vector<uint8_t> node = lt::modelBytes(fixture);
  std::string reason;
  EXPECT_EQ(le::rewriteWarpBlockToCustomOp(node, reason), 11u) << reason;
  EXPECT_EQ(le::gsDropUnreadNodes(node), 23u);  // the corrections the block computed from the grid
  return node;
}

TEST(WarpDirector, MatchesTheBlockItReplacesAndTheDoubleReference) {
  for (const auto& [H, W] : {std::pair{1, 1}, {5, 7}, {17, 33}, {64, 64}}) {
    SCOPED_TRACE(std::to_string(H) + "x" + std::to_string(W));
    const std::string name = "warp_block_" + std::to_string(H) + "x" + std::to_string(W) + ".onnx";
    lt::Tensor src{{1, 3, H, W}, lt::uniform(size_t(3) * H * W, 0.0f, 1.0f, W)};
    lt::Tensor grid{{1, H, W, 2}, testGrid(H, W, H)};
    const lt::Tensor want = lt::runOnnx(lt::modelBytes(name), {{"P_rgb", &src}, {"grid_in", &grid}}, "warped");
    const lt::Tensor got = lt::runOnnx(warpNodeModel(name), {{"P_rgb", &src}, {"grid_in", &grid}}, "warped", 2);
    ASSERT_EQ(got.shape, want.shape);
    std::vector<float> direct(got.data.size());
    le::warpDirector(src.data.data(), grid.data.data(), direct.data(), W, H);
    EXPECT_EQ(0, std::memcmp(direct.data(), got.data.data(), direct.size() * 4));  // one pass = planes + gather
    const bool exactCentres = (W & (W - 1)) == 0 && (H & (H - 1)) == 0;  // centre coordinates are exact floats
    for (size_t i = 0; i < got.data.size(); ++i) {
      const size_t pixel = i % (size_t(H) * W);
      const double ref = reference(src.data, grid.data.data() + 2 * pixel, int(i / (size_t(H) * W)), W, H);
      ASSERT_NEAR(got.data[i], want.data[i], tolerance(H, W)) << i;
      ASSERT_NEAR(got.data[i], ref, tolerance(H, W)) << i;
      if (exactCentres && pixel / W % 2 == 1) {
        ASSERT_EQ(got.data[i], src.data[i]) << "a pixel centre reproduces the source";
      }
    }
  }
}

TEST(WarpDirector, EveryTargetMatchesTheScalarFormBitForBit) {
  const int H = 9, W = 37;  // interior runs and a column tail on every vector width
  const std::vector<float> src = lt::uniform(3 * H * W, -1.0f, 1.0f, 41), grid = testGrid(H, W, 42);
  std::vector<float> planes(H * W * 12), want(3 * H * W), wantPlanes(planes.size()), got(want.size());
  le::warpDirectorPlanesBandScalar(src.data(), wantPlanes.data(), W, H, 0, H);
  le::warpDirectorGatherBandScalar(wantPlanes.data(), grid.data(), want.data(), W, H, 0, H);
  lt::forEachTarget([&] {
    std::fill(planes.begin(), planes.end(), 0.0f);
    le::warpDirectorPlanesBand(src.data(), planes.data(), W, H, 0, H);
    EXPECT_EQ(0, std::memcmp(planes.data(), wantPlanes.data(), planes.size() * 4));
    le::warpDirectorGatherBand(wantPlanes.data(), grid.data(), got.data(), W, H, 0, H);
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4));
    EXPECT_STREQ(le::warpBody(), le::simd::target());
  });
}

TEST(WarpDirector, ConcurrentRunsOfOneNodeAgreeAndFourChannelsAreRefused) {
  const lt::Onnx node(warpNodeModel("warp_block_17x33.onnx"), 2);  // one node, one plane buffer, two callers
  lt::Tensor four{{1, 4, 17, 33}, std::vector<float>(4 * 17 * 33, 0.5f)},
      zero{{1, 17, 33, 2}, std::vector<float>(17 * 33 * 2, 0.0f)};
  const std::string e = lt::errorOf([&] { node.run({{"P_rgb", &four}, {"grid_in", &zero}}, "warped"); });
  EXPECT_NE(e.find("com.velomark::WarpDirector: this node warps the director's 3-channel source and the graph handed "
                   "it C=4. REFUSING rather than writing a frame nobody asked for."),
            std::string::npos)
      << e;
  const auto runOnce = [&](unsigned seed) {
    lt::Tensor src{{1, 3, 17, 33}, lt::uniform(3 * 17 * 33, 0.0f, 1.0f, seed)},
        grid{{1, 17, 33, 2}, testGrid(17, 33, seed)};
    return node.run({{"P_rgb", &src}, {"grid_in", &grid}}, "warped").data;
  };
  const std::vector<float> alone[2] = {runOnce(1), runOnce(2)};
  std::vector<float> together[2][20];
  std::vector<std::thread> callers;
  for (unsigned t = 0; t < 2; ++t)
    callers.emplace_back([&, t] {
      for (std::vector<float>& r : together[t]) r = runOnce(t + 1);
    });
  for (std::thread& c : callers) c.join();
  for (unsigned t = 0; t < 2; ++t)
    for (const std::vector<float>& r : together[t]) ASSERT_EQ(r, alone[t]) << "caller " << t;
}

}  // namespace
