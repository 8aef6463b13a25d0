// Int8ConvVNNI against the same layer in ONNX Runtime's standard int8
// operators (DynamicQuantizeLinear, then ConvInteger, which pads with the
// zero point as the operator does), every SIMD body against the scalar
// integer reference, the quantisation's edge cases and the refusals.
#include "ops/int8_conv.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ops/ops_support.h"
#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

int64_t elements(const std::vector<int64_t>& shape) {
  return std::accumulate(shape.begin(), shape.end(), int64_t{1}, std::multiplies<>());
}

TEST(Int8ConvVNNI, EqualsConvIntegerOnEveryGeometry) {
  const char* cases[] = {"3x3_pad1", "1x1_odd_channels", "stride2_asym_pads", "dilation2",
                         "groups2",  "depthwise",        "5x5_rgb_batch2",    "64x64_3x3"};
  // Negative inputs (a zero point inside the range, so padding reads it), a
  // range that is all positive (zp 0), and one whose scale is exactly 1.
  const struct {
    float lo, hi;
    bool integers;
  } ranges[] = {{-1.3f, 2.1f, false}, {0.25f, 3.0f, false}, {-40.0f, 215.0f, true}};
  for (const char* c : cases) {
    const std::string model = std::string("int8_conv_") + c + ".onnx";
    const std::vector<uint8_t> bytes = lt::modelBytes(model);
    const std::vector<int64_t> shape = lt::Onnx(bytes).inputShape(0);
    for (const auto& r : ranges) {
      SCOPED_TRACE(std::string(c) + " over [" + std::to_string(r.lo) + ", " + std::to_string(r.hi) + ")");
      lt::Tensor x{shape, lt::uniform(size_t(elements(shape)), r.lo, r.hi, unsigned(shape[1]))};
      if (r.integers)
        for (float& v : x.data) v = std::round(v);
      x.data[0] = r.lo, x.data[1] = r.hi;  // the range is exactly [min(0, lo), hi]
      const lt::Tensor want = lt::runOnnx(bytes, {{"X", &x}}, "ref");
      const lt::Tensor got = lt::runOnnx(bytes, {{"X", &x}}, "y", 2);
      ASSERT_EQ(got.shape, want.shape);
      EXPECT_EQ(0, std::memcmp(got.data.data(), want.data.data(), got.data.size() * 4));
    }
  }
}

// Random quantised images and weights through every body, bit for bit.
TEST(Int8ConvVNNI, EveryTargetMatchesTheScalarReference) {
  le::Int8ConvGeometry g;
  g.N = 1, g.C = 12, g.H = 7, g.W = 23, g.M = 37, g.group = 1, g.kH = 3, g.kW = 2;
  g.padTop = 1, g.padLeft = 0, g.padBottom = 2, g.padRight = 1, g.strideW = 2, g.dilationH = 2;
  for (int group : {1, 3}) {
    g.group = group, g.M = group == 1 ? 18 : 39;  // a narrow tail after a full block; 13 a group
    std::mt19937 rng(group);
    std::vector<int8_t> w(size_t(g.M) * g.Cg() * g.kH * g.kW);
    for (int8_t& v : w) v = int8_t(int(rng() % 256) - 128);
    std::vector<uint16_t> q(g.imageValues());
    for (uint16_t& v : q) v = uint16_t(rng() % 256);
    const le::Int8PackedWeights packed = le::int8PackWeights(g, w.data());
    const std::vector<float> scale(size_t(g.M), 1.0f), bias(size_t(g.M), 0.0f);
    std::vector<float> want(size_t(g.M) * g.Ho() * g.Wo()), got(want.size());
    le::Int8ConvArgs a{&g, q.data(), &packed, {1.0f, 0}, scale.data(), bias.data(), want.data()};
    le::int8ConvRowsScalar(a, 0, g.Ho());
    a.out = got.data();
    lt::forEachTarget([&] {
      std::fill(got.begin(), got.end(), -1.0f);
      le::int8ConvRows(a, 0, g.Ho());
      EXPECT_EQ(got, want) << "group " << group;
    });
  }
}

TEST(Int8ConvVNNI, QuantisationEdges) {
  const struct {
    float lo, hi;
    float scale;
    int zp;
  } rows[] = {{0.0f, 2.55f, 0.01f, 0}, {-1.0f, 0.0f, 1.0f / 255, 255}, {0.0f, 0.0f, 1.0f, 0}, {-0.4f, 0.0f, 0.4f / 255, 255}};
  for (const auto& r : rows) {
    const le::Int8Quantisation qz = le::int8Quantisation(r.lo, r.hi);
    EXPECT_FLOAT_EQ(qz.scale, r.scale) << r.lo << ".." << r.hi;
    EXPECT_EQ(qz.zeroPoint, r.zp) << r.lo << ".." << r.hi;
  }
  // The range's ends quantise to 0 and 255; padding and spare quad slots hold the zero point.
  le::Int8ConvGeometry g;
  g.N = 1, g.C = 3, g.H = 1, g.W = 2, g.M = 1, g.padLeft = 1;
  const std::vector<float> x{-0.7f, 1.9f, 0.0f, 0.6f, 1.9f, -0.7f};
  float lo, hi;
  le::minmax_par(x.data(), x.size(), lo, hi);
  EXPECT_EQ(lo, -0.7f);
  EXPECT_EQ(hi, 1.9f);
  const le::Int8Quantisation qz = le::int8Quantisation(lo, hi);
  const uint16_t z = uint16_t(qz.zeroPoint);
  le::Int8ConvGeometry wideG = g;  // a wider image through every target's vector rows: the same bytes
  wideG.C = 6, wideG.H = 3, wideG.W = 37, wideG.group = 2, wideG.padRight = 2;
  const std::vector<float> wide = lt::uniform(6 * 3 * 37, -0.7f, 1.9f, 5);
  std::vector<uint16_t> first;
  lt::forEachTarget([&] {
    std::vector<uint16_t> q(g.imageValues(), 7), w(wideG.imageValues(), 7);
    le::int8QuantiseImage(g, x.data(), qz, q.data());
    EXPECT_EQ(q, (std::vector<uint16_t>{z, z, z, z, 0, z, 255, z, 255, 128, 0, z}));
    le::int8QuantiseImage(wideG, wide.data(), qz, w.data());
    if (first.empty()) first = w;
    EXPECT_EQ(w, first);
  });
}

TEST(Int8ConvVNNI, AllZeroInputGivesTheBias) {
  const std::vector<uint8_t> bytes = lt::modelBytes("int8_conv_3x3_pad1.onnx");
  lt::Tensor x{{1, 8, 11, 13}, std::vector<float>(8 * 11 * 13, 0.0f)};
  const lt::Tensor y = lt::runOnnx(bytes, {{"X", &x}}, "y"), bias = lt::runOnnx(bytes, {{"X", &x}}, "bias");
  const size_t plane = size_t(y.shape[2] * y.shape[3]);
  ASSERT_EQ(y.data.size(), plane * bias.data.size());
  for (size_t i = 0; i < y.data.size(); ++i) ASSERT_EQ(y.data[i], bias.data[i / plane]) << i;
}

TEST(Int8ConvVNNI, Refusals) {
  // A node without its group attribute never becomes a session.
  EXPECT_NE(lt::errorOf([] {
              lt::Tensor x{{1, 4, 5, 5}, std::vector<float>(100, 1.0f)};
              lt::runOnnx(lt::modelBytes("int8_conv_nogroup.onnx"), {{"X", &x}}, "y");
            }).find("group"),
            std::string::npos);
  // Inputs that do not fit the weights fail the run with one sentence.
  const std::vector<uint8_t> bytes = lt::modelBytes("int8_conv_dynamic.onnx");
  const struct {
    lt::Tensor x;
    const char* says;
  } rows[] = {
      {{{1, 6, 7, 9}, std::vector<float>(6 * 7 * 9, 0.5f)}, "W [6,4,3,3] does not fit X [1,6,7,9] in 2 group(s)"},
      {{{1, 8, 7}, std::vector<float>(8 * 7, 0.5f)}, "X must be [N,C,H,W] and W [M,C/group,kH,kW], got X [1,8,7]"},
      {{{1, 8, 2, 5}, std::vector<float>(80, 0.5f)}, "the 3x3 kernel does not fit the padded input of X [1,8,2,5]"},
  };
  for (auto r : rows) {
    const std::string e = lt::errorOf([&] { lt::runOnnx(bytes, {{"X", &r.x}}, "y"); });
    EXPECT_NE(e.find(std::string("com.velomark.int8::Int8ConvVNNI: ") + r.says), std::string::npos) << e;
  }
}

// Two threads start the same session at once: the weights are packed once
// and both runs write the answer a single run gives.
TEST(Int8ConvVNNI, ConcurrentFirstRunsPrepareOnce) {
  const std::vector<uint8_t> bytes = lt::modelBytes("int8_conv_64x64_3x3.onnx");
  lt::Tensor x{{1, 64, 32, 32}, lt::uniform(64 * 32 * 32, -1.0f, 1.0f, 3)};
  const lt::Tensor want = lt::runOnnx(bytes, {{"X", &x}}, "y");
  const lt::Onnx session(bytes);
  std::vector<float> out[2];
  std::thread runs[2];
  for (int i = 0; i < 2; ++i)
    runs[i] = std::thread([&, i] { out[i] = session.run({{"X", &x}}, "y").data; });
  for (std::thread& t : runs) t.join();
  EXPECT_EQ(out[0], want.data);
  EXPECT_EQ(out[1], want.data);
}

// The forged director's int8 variant is a model key like any other: the
// renderer registers the int8 domain, and its crops stay within 2/255 of the
// float director's (its head and fuse convolutions quantised, the warp kept).
TEST(Int8ConvVNNI, TheInt8DirectorIsAModelKey) {
  const lt::OpenBundle& b = lt::bundle("bundle_director");
  const int si = 1;
  const float* xs = b.drive.xs.data() + 2 * 63;
  const float* xd = b.drive.xd.data() + 2 * 63;
  auto fp32 = b.renderer("render"), int8 = b.renderer("render_int8");
  const std::vector<float> want(fp32->render(&si, xs, xd, 1), fp32->render(&si, xs, xd, 1) + 3 * 64 * 64);
  const float* got = int8->render(&si, xs, xd, 1);
  float worst = 0;
  for (size_t i = 0; i < want.size(); ++i) worst = std::max(worst, std::fabs(got[i] - want[i]));
  EXPECT_LE(worst, 2.0f / 255);
  EXPECT_GT(worst, 0.0f);  // it did run the quantised layers
}

}  // namespace
