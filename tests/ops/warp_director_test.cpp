// WarpDirector against the cone and warp block it replaces run by ONNX
// Runtime, against a double-precision reference written here, on its edge
// cases; and the forge's director with the warp node or the hoisted cone,
// alone and with the other load-time rewrites, against the untouched model.
#include "ops/warp_director.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "graph/gridsample_rewrite.h"
#include "graph/numerical_rewrites.h"
#include "graph/source_cone.h"
#include "graph/warp_block.h"
#include "ops/ops_support.h"
#include "ort/api.h"
#include "ops/velomark_domain.h"
#include "simd/targets.h"
#include "support/fixtures.h"

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

// Pixel centres, with a random spread over [-1.3, 1.3) in every other row.
std::vector<float> testGrid(int H, int W, unsigned seed) {
  std::vector<float> g = lt::uniform(size_t(H) * W * 2, -1.3f, 1.3f, seed);
  for (int y = 0; y < H; y += 2)
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

TEST(WarpDirector, MatchesTheBlockItReplacesAndTheDoubleReference) {
  for (const auto& [H, W] : {std::pair{1, 1}, {5, 7}, {17, 33}, {64, 64}}) {
    SCOPED_TRACE(std::to_string(H) + "x" + std::to_string(W));
    const std::vector<uint8_t> block =
        lt::modelBytes("warp_block_" + std::to_string(H) + "x" + std::to_string(W) + ".onnx");
    std::vector<uint8_t> node = block;
    std::string reason;
    ASSERT_EQ(le::rewriteWarpBlockToCustomOp(node, reason), 11u) << reason;
    lt::Tensor src{{1, 3, H, W}, lt::uniform(size_t(3) * H * W, 0.0f, 1.0f, W)};
    lt::Tensor grid{{1, H, W, 2}, testGrid(H, W, H)};
    const lt::Tensor want = lt::runOnnx(block, {{"P_rgb", &src}, {"grid_in", &grid}}, "warped");
    const lt::Tensor got = lt::runOnnx(node, {{"P_rgb", &src}, {"grid_in", &grid}}, "warped", 2);
    ASSERT_EQ(got.shape, want.shape);
    std::vector<float> direct(got.data.size());
    le::warpDirector(src.data.data(), grid.data.data(), direct.data(), W, H);
    EXPECT_EQ(0, std::memcmp(direct.data(), got.data.data(), direct.size() * 4));  // one pass = planes + gather
    for (size_t i = 0; i < got.data.size(); ++i) {
      const size_t pixel = i % (size_t(H) * W);
      const double ref = reference(src.data, grid.data.data() + 2 * pixel, int(i / (size_t(H) * W)), W, H);
      ASSERT_NEAR(got.data[i], want.data[i], tolerance(H, W)) << i;
      ASSERT_NEAR(got.data[i], ref, tolerance(H, W)) << i;
    }
  }
}

TEST(WarpDirector, EdgeCases) {
  const int H = 4, W = 8;  // powers of two: pixel-centre coordinates are exact
  const std::vector<float> src = lt::uniform(3 * H * W, 0.0f, 1.0f, 21);
  const auto warpAt = [&](float gx, float gy, int c) {
    std::vector<float> grid(H * W * 2), out(3 * H * W);
    for (int i = 0; i < H * W; ++i) grid[2 * i] = gx, grid[2 * i + 1] = gy;
    le::warpDirector(src.data(), grid.data(), out.data(), W, H);
    return out[c * H * W];
  };
  const auto px = [&](int c, int y, int x) { return src[(c * H + y) * W + x]; };
  const auto dxx = [&](int c, int y, int x) {
    return px(c, y, std::max(x - 1, 0)) - 2 * px(c, y, x) + px(c, y, std::min(x + 1, W - 1));
  };
  for (int c = 0; c < 3; ++c) {
    // Pixel centres reproduce the source exactly.
    EXPECT_EQ(warpAt((2.0f * 5 + 1) / W - 1, (2.0f * 2 + 1) / H - 1, c), px(c, 2, 5));
    // Halfway between columns 2 and 3 on row 1: the mean less an eighth of the mean Dxx.
    const float half = warpAt(2.0f * 3 / W - 1, (2.0f * 1 + 1) / H - 1, c);
    EXPECT_NEAR(half, (px(c, 1, 2) + px(c, 1, 3)) / 2 - 0.125f * (dxx(c, 1, 2) + dxx(c, 1, 3)) / 2, 1e-6);
    // Left of the image: column 0, corrected by the unclamped fraction (ix = -1.3, t = 0.7).
    const float left = warpAt(-1.2f, (2.0f * 1 + 1) / H - 1, c);
    EXPECT_NEAR(left, px(c, 1, 0) - 0.105f * dxx(c, 1, 0), 1e-6);
    const float g[2] = {-1.2f, (2.0f * 1 + 1) / H - 1};
    EXPECT_NEAR(left, reference(src, g, c, W, H), 1e-6);
  }
  // A single pixel has no differences: every sample is the pixel.
  const float one[3] = {0.25f, 0.5f, 0.75f};
  for (float gx : {-3.0f, -0.4f, 0.0f, 0.9f}) {
    const float grid[2] = {gx, -gx};
    float out[3];
    le::warpDirector(one, grid, out, 1, 1);
    EXPECT_EQ(std::vector<float>(out, out + 3), std::vector<float>(one, one + 3)) << gx;
  }
  EXPECT_STREQ(le::warpBody(), le::simd::targetName(le::simd::runnableTargets().front()));
}

TEST(WarpDirector, EveryTargetMatchesTheScalarFormBitForBit) {
  const int H = 9, W = 37;  // interior runs and a column tail on every vector width
  const std::vector<float> src = lt::uniform(3 * H * W, -1.0f, 1.0f, 41), grid = testGrid(H, W, 42);
  std::vector<float> planes(H * W * 12), want(3 * H * W), wantPlanes(planes.size()), got(want.size());
  le::warpDirectorPlanesBandScalar(src.data(), wantPlanes.data(), W, H, 0, H);
  le::warpDirectorGatherBandScalar(wantPlanes.data(), grid.data(), want.data(), W, H, 0, H);
  for (int64_t t : le::simd::runnableTargets()) {
    le::simd::ScopedTarget pin(t);
    std::fill(planes.begin(), planes.end(), 0.0f);
    le::warpDirectorPlanesBand(src.data(), planes.data(), W, H, 0, H);
    EXPECT_EQ(0, std::memcmp(planes.data(), wantPlanes.data(), planes.size() * 4)) << le::simd::targetName(t);
    le::warpDirectorGatherBand(wantPlanes.data(), grid.data(), got.data(), W, H, 0, H);
    EXPECT_EQ(0, std::memcmp(got.data(), want.data(), got.size() * 4)) << le::simd::targetName(t);
    EXPECT_STREQ(le::warpBody(), le::simd::targetName(t));
  }
}

TEST(WarpDirector, RefusesASourceThatIsNotThreeChannels) {
  std::vector<uint8_t> node = lt::modelBytes("warp_block_5x7.onnx");
  std::string reason;
  ASSERT_GT(le::rewriteWarpBlockToCustomOp(node, reason), 0u) << reason;
  lt::Tensor src{{1, 4, 5, 7}, std::vector<float>(4 * 35, 0.5f)}, grid{{1, 5, 7, 2}, std::vector<float>(70, 0.0f)};
  const std::string e = lt::errorOf([&] { lt::runOnnx(node, {{"P_rgb", &src}, {"grid_in", &grid}}, "warped"); });
  EXPECT_NE(e.find("com.velomark::WarpDirector: this node warps the director's 3-channel source and the graph handed "
                   "it C=4. REFUSING rather than writing a frame nobody asked for."),
            std::string::npos)
      << e;
}

TEST(WarpDirector, ConcurrentRunsOfOneNodeAgree) {
  std::vector<uint8_t> node = lt::modelBytes("warp_block_17x33.onnx");
  std::string reason;
  ASSERT_GT(le::rewriteWarpBlockToCustomOp(node, reason), 0u) << reason;
  le::ort::api();
  Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "warp_concurrency");
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(2);
  le::registerWarpDirector(opts);
  Ort::Session session(env, node.data(), node.size(), opts);  // one node, one plane buffer, two callers
  const auto runOnce = [&](unsigned seed, std::vector<float>& result) {
    std::vector<float> src = lt::uniform(3 * 17 * 33, 0.0f, 1.0f, seed), grid = testGrid(17, 33, seed);
    const int64_t srcShape[] = {1, 3, 17, 33}, gridShape[] = {1, 17, 33, 2};
    const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value in[] = {Ort::Value::CreateTensor<float>(mem, src.data(), src.size(), srcShape, 4),
                       Ort::Value::CreateTensor<float>(mem, grid.data(), grid.size(), gridShape, 4)};
    const char* names[] = {"P_rgb", "grid_in"};
    const char* out = "warped";
    auto v = session.Run(Ort::RunOptions{nullptr}, names, in, 2, &out, 1);
    result.assign(v[0].GetTensorData<float>(), v[0].GetTensorData<float>() + src.size());
  };
  std::vector<float> alone[2], together[2][20];
  for (unsigned t = 0; t < 2; ++t) runOnce(t + 1, alone[t]);
  std::vector<std::thread> callers;
  for (unsigned t = 0; t < 2; ++t)
    callers.emplace_back([&, t] {
      for (std::vector<float>& r : together[t]) runOnce(t + 1, r);
    });
  for (std::thread& c : callers) c.join();
  for (unsigned t = 0; t < 2; ++t)
    for (const std::vector<float>& r : together[t]) ASSERT_EQ(r, alone[t]) << "caller " << t;
}

// --- the forge's director, rewritten as the renderer's load sequence would ---

enum Rewrite { kGs = 1, kBlend = 2, kCubic = 4 };

struct Director {
  lt::Tensor P, pooled, kd, ks;
  Director() {
    P = {{1, 3, 64, 64}, lt::uniform(3 * 64 * 64, 0.0f, 1.0f, 31)};
    pooled = {{1, 64, 32, 32}, lt::uniform(64 * 32 * 32, -1.0f, 1.0f, 32)};
    ks = {{1, 21, 3}, lt::uniform(63, -0.6f, 0.6f, 33)};
    kd = ks;
    const std::vector<float> d = lt::uniform(63, -0.06f, 0.06f, 34);
    for (size_t i = 0; i < 63; ++i) kd.data[i] += i % 3 == 2 ? 0.0f : d[i];
  }
  std::vector<uint8_t> model(int rewrites) const {
    std::vector<uint8_t> m = lt::modelBytes("bundle_director/model_render.onnx");
    if (rewrites & kGs) le::rewriteGridSampleToFast(m);
    if (rewrites & kBlend) le::normaliseStudentBlend(m);
    if (rewrites & kCubic) le::rewriteHeadCubicResize(m);
    return m;
  }
  lt::Tensor run(const std::vector<uint8_t>& m, lt::Tensor* source, const char* sourceName) {
    return lt::runOnnx(m, {{sourceName, source}, {"pooled64", &pooled}, {"kp_driving", &kd}, {"kp_source", &ks}},
                       "rgb");
  }
};

float worst(const lt::Tensor& a, const lt::Tensor& b) {
  float w = 0;
  for (size_t i = 0; i < a.data.size(); ++i) w = std::max(w, std::fabs(a.data[i] - b.data[i]));
  return w;
}

TEST(DirectorRewrites, HoistedConeAndWarpNodeMatchTheUntouchedModel) {
  Director d;
  const lt::Tensor want = d.run(d.model(0), &d.P, "P_rgb");
  for (int rewrites : {0, int(kGs), int(kBlend), int(kCubic), kGs | kBlend | kCubic}) {
    SCOPED_TRACE("rewrites " + std::to_string(rewrites));
    const std::vector<uint8_t> m = d.model(rewrites);
    const lt::Tensor rewritten = d.run(m, &d.P, "P_rgb");

    std::string tip, reason;
    ASSERT_EQ(le::findSourceConeBoundary(m, tip), 1u);
    std::vector<uint8_t> prep, perFrame;
    ASSERT_TRUE(le::buildSourceConePrep(m, tip, prep, reason)) << reason;
    lt::Tensor boundary = lt::runOnnx(prep, {{"P_rgb", &d.P}}, tip.c_str());
    ASSERT_EQ(boundary.shape, (std::vector<int64_t>{1, 12, 64, 64}));
    const std::vector<long> dims(boundary.shape.begin(), boundary.shape.end());
    ASSERT_TRUE(le::buildSourceConePerFrame(m, tip, dims.data(), 4, perFrame, reason)) << reason;
    // The same nodes on the same values: the cut changes nothing.
    const lt::Tensor hoisted = d.run(perFrame, &boundary, tip.c_str());
    EXPECT_EQ(worst(hoisted, rewritten), 0.0f);

    std::vector<uint8_t> warp = m;
    ASSERT_EQ(le::rewriteWarpBlockToCustomOp(warp, reason), 11u) << reason;
    const lt::Tensor fused = d.run(warp, &d.P, "P_rgb");
    // The warped image is within tolerance(64, 64) of the block's; the head
    // passes it through one for one, plus a 0.03-weighted residual of it.
    EXPECT_LE(worst(fused, want), 2 * tolerance(64, 64));
    EXPECT_LE(worst(hoisted, want), 2 * tolerance(64, 64));
    RecordProperty("warp_max_abs_diff_" + std::to_string(rewrites), ::testing::PrintToString(worst(fused, want)));
  }
}

}  // namespace
