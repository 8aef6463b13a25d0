// The native fp16 engine: every refusal of its model reader and of the m4b
// resolution, its crops against ONNX Runtime running the same tiny m4b
// director (on Arm the real fp16 engine, elsewhere its emulated form), the
// renderer's native path with its lines, and the dump.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "render/conv_backend.h"
#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;

const lt::OpenBundle& m4b() { return lt::bundle("bundle_m4b"); }

std::string notM4b(const std::string& reason) {
  return "le_conv: this graph is not the fused m4b topology this kernel implements (" + reason + ") — use ORT for it";
}

TEST(ConvBackend, RefusalsOfTheModel) {
  const std::string dir = lt::scratchDir();
  const std::string ok = lt::slurp(lt::fixture("m4b_skel_ok.onnx"));
  lt::spit(dir + "/truncated.onnx", ok.substr(0, ok.size() / 2));
  lt::spit(dir + "/bad_wire.onnx", std::string("\x0f", 1));
  lt::spit(dir + "/bad_varint.onnx", std::string(11, '\xff'));
  const struct {
    std::string path;
    bool resolves;  // graphSupported: the resolution succeeds, so only create refuses
    std::string says;
  } rows[] = {
      {dir + "/absent.onnx", false, "le_conv: cannot open"},
      {dir + "/truncated.onnx", false, "onnx: truncated"},
      {dir + "/bad_wire.onnx", false, "onnx: bad wire type"},
      {dir + "/bad_varint.onnx", false, "onnx: bad varint"},
      {"no_pooled64", false, "le_conv: pooled64 input not found"},
      {"pre_twice", false, notM4b("pre weight (96,85,1,1) absent or ambiguous")},
      {"pre_absent", false, notM4b("pre weight (96,85,1,1) absent or ambiguous")},
      {"pre_no_counter", false, notM4b("pre weight name carries no SSA counter")},
      {"pre_bias_shape", false, notM4b("pre bias onnx::Conv_518 absent or not (96)")},
      {"grid32_absent", false, notM4b("grid32 (1,1,32,32,2) absent or ambiguous")},
      {"basis_twice", false, notM4b("basis (64,196608) absent or ambiguous")},
      {"layer_absent", false, notM4b("layer s.corr.1.conv absent")},
      {"layer_shape", false, notM4b("layer s.tile.2.conv is (4,5,3,3) where the m4b has (4,4,3,3)")},
      {"bias_count", true,
       "le_conv: layer s.e1.conv needs 576 weights / 8 bias but the graph supplies 576 / 7 — refusing to pack (graph "
       "is not the m4b this kernel implements)"},
      {"non_fp32", true, "onnx: non-fp32 initializer"},
      {"no_data", true, "onnx: no data for s.e0.conv.bias"},
      {"feather_absent", true, "onnx: missing initializer"},
      {"ok", true, "onnx: raw size mismatch"},  // the skeleton's basis holds one value
  };
  for (const auto& r : rows) {
    const std::string path = r.path.find('/') == std::string::npos ? lt::fixture("m4b_skel_" + r.path + ".onnx") : r.path;
    EXPECT_EQ(le::ConvBackend::graphSupported(path), r.resolves) << r.path;
    EXPECT_EQ(lt::errorOf([&] { le::ConvBackend::createPortable(path, 1); }), r.says) << r.path;
  }
}

struct Frames {
  std::vector<int> si{1, 0};
  std::vector<float> ks, kd;
  Frames() : ks(lt::gatherRows(m4b().drive.xs, {2, 3})), kd(lt::gatherRows(m4b().drive.xd, {2, 3})) {}
};

// A dozen half-precision layers, most of their error arriving through the
// occlusion mix (a logit a few hundredths off, times |warped - basis| <= 0.6):
// a few thousandths, so within one 8-bit level, and a mean within an eighth of it.
constexpr double kMaxError = 1.0 / 255, kMeanError = 1.0 / 255 / 8;

void expectNear(const float* got, const std::vector<float>& want, size_t n, const std::string& what) {
  double worst = 0, sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = std::fabs(double(got[i]) - want[i]);
    worst = std::max(worst, d), sum += d;
  }
  EXPECT_LE(worst, kMaxError) << what;
  EXPECT_LE(sum / double(n), kMeanError) << what;
}

TEST(ConvBackend, CropsMatchOnnxRuntimeWithinHalfPrecision) {
  const Frames f;
  const size_t crop = size_t(3) * 512 * 512;
  const std::vector<float> want = lt::referenceRender(m4b(), "render", false, f.si, {2, 3}, -1, true);
  auto engine = le::ConvBackend::createPortable(m4b().manifest.modelPath("render"), 2);
  ASSERT_EQ(engine->batch(), 2);
  std::vector<float> out(2 * crop);
  const uint16_t* pooled[2] = {m4b().identity->pooled64(1), m4b().identity->pooled64(0)};
  const uint16_t* P[2] = {m4b().identity->P(1), m4b().identity->P(0)};
  engine->render(pooled, P, f.ks.data(), f.kd.data(), 2, out.data());
  expectNear(out.data(), want, 2 * crop, "two frames");
  // One frame of a batch of two: the first crop alone, the same as before.
  std::vector<float> one(2 * crop, -1.0f);
  engine->render(pooled, P, f.ks.data(), f.kd.data(), 1, one.data());
  EXPECT_TRUE(std::equal(one.begin(), one.begin() + crop, out.begin()));
  EXPECT_EQ(one[crop], -1.0f);
  for (int n : {0, 3}) EXPECT_EQ(lt::errorOf([&] { engine->render(pooled, P, f.ks.data(), f.kd.data(), n, one.data()); }), "le_conv: bad n");
}

TEST(ConvBackend, DumpsItsIntermediates) {
  const std::string dir = lt::scratchDir();
  lt::ScopedEnv dump("LE_CONV_DUMP", dir.c_str());
  const Frames f;
  auto engine = le::ConvBackend::createPortable(m4b().manifest.modelPath("render"), 1);
  std::vector<float> out(2 * 3 * 512 * 512);
  const uint16_t* pooled[1] = {m4b().identity->pooled64(1)};
  const uint16_t* P[1] = {m4b().identity->P(1)};
  engine->render(pooled, P, f.ks.data(), f.kd.data(), 1, out.data());
  // The tiny director's widths: 8 in the encoder and decoder, 4 in the correction and the tiles.
  const std::pair<const char*, size_t> files[] = {
      {"pre_relu", 96 * 32 * 32}, {"e2_relu", 8 * 4 * 4},  {"mask_conv", 2 * 32 * 32}, {"occ_sig", 32 * 32},
      {"grid_add", 32 * 32 * 2},  {"basisimg", 196608},    {"warped", 3 * 512 * 512},   {"maskocc", 3 * 512 * 512},
      {"corr1_relu", 4 * 256 * 256}, {"tile2_relu", 64 * 4 * 64 * 64}, {"tile3_conv", 64 * 3 * 64 * 64}};
  for (const auto& [name, floats] : files)
    EXPECT_EQ(fs::file_size(dir + "/" + name + ".f32"), floats * 4) << name;
}

// Off Arm the engine cannot run, and the renderer says so and serves the
// bundle through ONNX Runtime; on Arm it serves it natively, close to ORT.
TEST(ConvBackend, RendererServesTheM4bNatively) {
  ::testing::internal::CaptureStderr();
  auto native = m4b().renderer("render", "neon");
  const std::string log = ::testing::internal::GetCapturedStderr();
#if defined(__aarch64__)
  ASSERT_STREQ(native->backend(), "neon");
  EXPECT_STREQ(native->ep(), "neon");
  EXPECT_EQ(native->batch(), 2);
  EXPECT_EQ(log, "");
  const Frames f;
  const float* got = native->render(f.si.data(), f.ks.data(), f.kd.data(), 2);
  const std::vector<float> want = lt::referenceRender(m4b(), "render", false, f.si, {2, 3}, -1, true);
  expectNear(got, want, want.size(), "renderer");
#else
  EXPECT_EQ(lt::errorOf([] { le::ConvBackend::create(m4b().manifest.modelPath("render"), 1); }),
            "le_conv: fp16 NEON not supported on this CPU");
  EXPECT_STREQ(native->backend(), "ort");
  EXPECT_STREQ(native->ep(), "cpu");
  EXPECT_NE(log.find("[le] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n"),
            std::string::npos)
      << log;
#endif
  EXPECT_EQ(lt::errorOf([] { lt::bundle("bundle_m4b_crop256").renderer("render", "neon"); }),
            "le_conv: only crop=512 m4b bundles");
}

}  // namespace
