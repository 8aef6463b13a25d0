// The forged director models, run directly on ONNX Runtime: declared inputs,
// output range, the lip rows moving the mouth and nothing far from it, and
// the warp, grid and compose alpha against independent references.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "render/ort_api.h"
#include "simd/half.h"
#include "support/fixtures.h"

namespace {

constexpr int kCrop = 64;
constexpr int kRows = 21;
constexpr size_t kPooled = 64 * 32 * 32;
constexpr size_t kP = 3 * kCrop * kCrop;
const int kLipRows[] = {6, 12, 14, 17, 19, 20};

struct Feed {
  std::string name;
  std::vector<int64_t> shape;
  std::vector<float> data;
};

Ort::Env& env() {
  static const OrtApi& bound = le::ort::api();
  (void)bound;
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "director_model_test");
  return e;
}

Ort::Session open(const std::string& path) {
  Ort::Env& e = env();  // binds the API before any other Ort object
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(1);
  return Ort::Session(e, path.c_str(), opts);
}

std::vector<std::vector<float>> run(Ort::Session& s, std::vector<Feed>& feeds, const std::vector<std::string>& outs) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> in_names, out_names;
  for (Feed& f : feeds) {
    values.push_back(
        Ort::Value::CreateTensor<float>(mem, f.data.data(), f.data.size(), f.shape.data(), f.shape.size()));
    in_names.push_back(f.name.c_str());
  }
  for (const std::string& o : outs) out_names.push_back(o.c_str());
  auto got = s.Run(Ort::RunOptions{nullptr}, in_names.data(), values.data(), values.size(), out_names.data(),
                   out_names.size());
  std::vector<std::vector<float>> res;
  for (Ort::Value& v : got) {
    const size_t n = v.GetTensorTypeAndShapeInfo().GetElementCount();
    const float* p = v.GetTensorData<float>();
    res.emplace_back(p, p + n);
  }
  return res;
}

std::vector<float> halves(const std::string& path, size_t frame, size_t count) {
  const std::string bytes = lt::slurp(path);
  EXPECT_GE(bytes.size(), (frame + 1) * count * 2) << path;
  std::vector<float> out(count);
  for (size_t i = 0; i < count && (frame * count + i + 1) * 2 <= bytes.size(); ++i) {
    uint16_t h;
    std::memcpy(&h, bytes.data() + (frame * count + i) * 2, 2);
    out[i] = le::f16ToF32(h);
  }
  return out;
}

// One drive row (63 floats); row 0 is closed, row 4 the widest opening.
std::vector<float> driveRow(const char* member, int row) {
  const std::string bytes = lt::slurp(lt::fixture(std::string("bundle_director/drive/") + member));
  std::vector<float> kp(63);
  EXPECT_GE(bytes.size(), (row + 1) * 63 * sizeof(float));
  std::memcpy(kp.data(), bytes.data() + row * 63 * sizeof(float), 63 * sizeof(float));
  return kp;
}

std::vector<Feed> prgbFeeds(int frame, const std::vector<float>& xd, const std::vector<float>& xs) {
  const std::string dir = lt::fixture("bundle_director/");
  return {{"pooled64", {1, 64, 32, 32}, halves(dir + "pooled64.f16", frame, kPooled)},
          {"P_rgb", {1, 3, kCrop, kCrop}, halves(dir + "P.f16", frame, kP)},
          {"kp_driving", {1, kRows, 3}, xd},
          {"kp_source", {1, kRows, 3}, xs}};
}

std::vector<float> render(const std::string& model, std::vector<Feed> feeds) {
  Ort::Session s = open(lt::fixture(model));
  return run(s, feeds, {"rgb"})[0];
}

double meanAbsDiff(const std::vector<float>& a, const std::vector<float>& b, int y0, int y1, int x0, int x1) {
  double sum = 0;
  int n = 0;
  for (int c = 0; c < 3; ++c)
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x, ++n) sum += std::fabs(a[(c * kCrop + y) * kCrop + x] - b[(c * kCrop + y) * kCrop + x]);
  return sum / n;
}

// The cubic-corrected sample: bilinear over f and its second differences.
std::vector<float> warpReference(const std::vector<float>& src, const float* grid, int W, int H) {
  std::vector<float> planes(size_t(W) * H * 12), out(size_t(3) * W * H);
  auto at = [&](int c, int y, int x) {
    return src[(size_t(c) * H + std::clamp(y, 0, H - 1)) * W + std::clamp(x, 0, W - 1)];
  };
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        auto n = [&](int r, int k) { return at(c, y + r, x + k); };
        const float f = n(0, 0);
        const float dxx = n(0, -1) - (f + f) + n(0, 1);
        const float dyy = n(-1, 0) - (f + f) + n(1, 0);
        const float dxxyy = (n(-1, -1) - (n(0, -1) + n(0, -1)) + n(1, -1)) - (dyy + dyy) +
                            ((n(-1, 1) - (n(0, 1) + n(0, 1))) + n(1, 1));
        float* p = &planes[(size_t(y) * W + x) * 12 + 4 * c];
        p[0] = f, p[1] = dxx, p[2] = dyy, p[3] = dxxyy;
      }
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const float gx = grid[(size_t(y) * W + x) * 2], gy = grid[(size_t(y) * W + x) * 2 + 1];
      const float ix = ((gx + 1) * W - 1) * 0.5f, iy = ((gy + 1) * H - 1) * 0.5f;
      const float tx = ix - std::floor(ix), ty = iy - std::floor(iy);
      const float ax = ((1 - tx) * tx) * 0.5f, ay = ((1 - ty) * ty) * 0.5f;
      const float cx = ix < 0 ? 0.f : std::min(ix, float(W - 1)), cy = iy < 0 ? 0.f : std::min(iy, float(H - 1));
      const int x0 = int(std::floor(cx)), y0 = int(std::floor(cy));
      const int x1 = std::min(x0 + 1, W - 1), y1 = std::min(y0 + 1, H - 1);
      const float fx = cx - x0, fy = cy - y0;
      const float w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
      const int idx[4] = {y0 * W + x0, y0 * W + x1, y1 * W + x0, y1 * W + x1};
      float a[12] = {};
      for (int k = 0; k < 4; ++k)
        for (int l = 0; l < 12; ++l) a[l] += w[k] * planes[size_t(idx[k]) * 12 + l];
      for (int c = 0; c < 3; ++c) {
        const float* v = a + 4 * c;
        out[(size_t(c) * H + y) * W + x] = (ax * ay) * v[3] + ((v[0] - ax * v[1]) - ay * v[2]);
      }
    }
  return out;
}

// Gaussian displacement field over the driving keypoints on a 32x32 lattice,
// resized linearly (half-pixel) to the crop and subtracted from the identity grid.
std::vector<float> gridReference(const std::vector<float>& kd, const std::vector<float>& ks) {
  constexpr int L = 32;
  constexpr double kSigma = 0.12;
  std::vector<double> field(L * L * 2);
  for (int i = 0; i < L; ++i)
    for (int j = 0; j < L; ++j) {
      const double px = (2.0 * j + 1) / L - 1, py = (2.0 * i + 1) / L - 1;
      double num[2] = {0, 0}, den = 0;
      for (int k = 0; k < kRows; ++k) {
        const double dx = px - kd[k * 3], dy = py - kd[k * 3 + 1];
        const double w = std::exp(-(dx * dx + dy * dy) * 0.5 / (kSigma * kSigma));
        num[0] += w * (kd[k * 3] - ks[k * 3]);
        num[1] += w * (kd[k * 3 + 1] - ks[k * 3 + 1]);
        den += w;
      }
      for (int c = 0; c < 2; ++c) field[(i * L + j) * 2 + c] = num[c] / std::max(den, 1.0);
    }
  auto src = [&](int o, int& i0, int& i1, double& t) {
    const double p = std::clamp((o + 0.5) * L / kCrop - 0.5, 0.0, double(L - 1));
    i0 = int(std::floor(p));
    i1 = std::min(i0 + 1, L - 1);
    t = p - i0;
  };
  std::vector<float> grid(size_t(kCrop) * kCrop * 2);
  for (int y = 0; y < kCrop; ++y)
    for (int x = 0; x < kCrop; ++x) {
      int y0, y1, x0, x1;
      double ty, tx;
      src(y, y0, y1, ty);
      src(x, x0, x1, tx);
      for (int c = 0; c < 2; ++c) {
        auto f = [&](int i, int j) { return field[(i * L + j) * 2 + c]; };
        const double v = (1 - ty) * ((1 - tx) * f(y0, x0) + tx * f(y0, x1)) + ty * ((1 - tx) * f(y1, x0) + tx * f(y1, x1));
        const double base = (2.0 * (c == 0 ? x : y) + 1) / kCrop - 1;
        grid[(size_t(y) * kCrop + x) * 2 + c] = float(base - v);
      }
    }
  return grid;
}

// Soft ellipse over the driven lip rows (pads 0.06, 0.04), ramp sqrt(rx*ry)*25.6.
std::vector<float> alphaReference(const std::vector<float>& kd) {
  double c[2] = {0, 0}, e[2] = {0, 0}, rad[2];
  for (int r : kLipRows)
    for (int a = 0; a < 2; ++a) c[a] += kd[r * 3 + a] / 6.0;
  for (int r : kLipRows)
    for (int a = 0; a < 2; ++a) e[a] = std::max(e[a], std::fabs(kd[r * 3 + a] - c[a]));
  rad[0] = std::max(e[0] + 0.06, 0.1);
  rad[1] = std::max(e[1] + 0.04, 0.1);
  const double s = std::sqrt(rad[0] * rad[1]) * 25.6;
  std::vector<float> alpha(size_t(kCrop) * kCrop);
  for (int y = 0; y < kCrop; ++y)
    for (int x = 0; x < kCrop; ++x) {
      const double u = (2.0 * x / (kCrop - 1) - 1 - c[0]) / rad[0], v = (2.0 * y / (kCrop - 1) - 1 - c[1]) / rad[1];
      alpha[size_t(y) * kCrop + x] = float(std::clamp((1 - std::sqrt(u * u + v * v)) * s, 0.0, 1.0));
    }
  return alpha;
}

void expectNear(const std::vector<float>& got, const std::vector<float>& want, float tol, const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  float worst = 0;
  size_t at = 0;
  for (size_t i = 0; i < got.size(); ++i)
    if (std::fabs(got[i] - want[i]) > worst) worst = std::fabs(got[i] - want[i]), at = i;
  EXPECT_LE(worst, tol) << what << ": worst difference at element " << at << " (" << got[at] << " vs " << want[at]
                        << ")";
}

std::vector<int64_t> declared(Ort::Session& s, const char* name) {
  for (size_t i = 0; i < s.GetInputCount(); ++i)
    if (s.GetInputNameAllocated(i, Ort::AllocatorWithDefaultOptions()).get() == std::string(name))
      return s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
  ADD_FAILURE() << "no input " << name;
  return {};
}

}  // namespace

TEST(DirectorModel, DeclaresTheRendererInputsAndRendersInRange) {
  Ort::Session s = open(lt::fixture("bundle_director/model_render.onnx"));
  ASSERT_EQ(s.GetInputCount(), 4u);
  EXPECT_EQ(declared(s, "pooled64"), (std::vector<int64_t>{1, 64, 32, 32}));
  EXPECT_EQ(declared(s, "P_rgb"), (std::vector<int64_t>{1, 3, kCrop, kCrop}));
  EXPECT_EQ(declared(s, "kp_driving"), (std::vector<int64_t>{1, kRows, 3}));
  EXPECT_EQ(declared(s, "kp_source"), (std::vector<int64_t>{1, kRows, 3}));
  ASSERT_EQ(s.GetOutputCount(), 1u);
  EXPECT_STREQ(s.GetOutputNameAllocated(0, Ort::AllocatorWithDefaultOptions()).get(), "rgb");

  auto feeds = prgbFeeds(0, driveRow("xd.f32", 4), driveRow("xs.f32", 4));
  const std::vector<float> rgb = run(s, feeds, {"rgb"})[0];
  ASSERT_EQ(rgb.size(), kP);
  for (float v : rgb) ASSERT_TRUE(v >= 0.f && v <= 1.f) << v;
  // a face, not a flat field
  const auto [lo, hi] = std::minmax_element(rgb.begin(), rgb.end());
  EXPECT_GT(*hi - *lo, 0.3f);
}

TEST(DirectorModel, LipRowsMoveTheMouthAndNothingFarFromIt) {
  const std::vector<float> xs = driveRow("xs.f32", 0);
  const std::vector<float> closed = render("bundle_director/model_render.onnx", prgbFeeds(1, driveRow("xd.f32", 0), xs));
  const std::vector<float> open = render("bundle_director/model_render.onnx", prgbFeeds(1, driveRow("xd.f32", 4), xs));
  // the mouth sits around y = 0.45 of the [-1, 1] crop: rows 40..54, columns 22..42
  EXPECT_GT(meanAbsDiff(closed, open, 40, 54, 22, 42), 0.03);
  EXPECT_EQ(meanAbsDiff(closed, open, 0, 12, 0, 12), 0.0);
  EXPECT_EQ(meanAbsDiff(closed, open, 0, 12, kCrop - 12, kCrop), 0.0);
}

TEST(DirectorModel, PooledFeaturesReachTheRender) {
  const std::vector<float> xs = driveRow("xs.f32", 0), xd = driveRow("xd.f32", 2);
  auto feeds = prgbFeeds(0, xd, xs);
  const std::vector<float> a = render("bundle_director/model_render.onnx", feeds);
  feeds[0].data = halves(lt::fixture("bundle_director/pooled64.f16"), 1, kPooled);
  const std::vector<float> b = render("bundle_director/model_render.onnx", feeds);
  EXPECT_GT(meanAbsDiff(a, b, 0, kCrop, 0, kCrop), 2e-3);
}

TEST(DirectorModel, ProbeMatchesIndependentWarpGridAndCompose) {
  const std::vector<float> xs = driveRow("xs.f32", 0), xd = driveRow("xd.f32", 3);
  auto feeds = prgbFeeds(2, xd, xs);
  Ort::Session s = open(lt::fixture("director_probe.onnx"));
  const auto got = run(s, feeds, {"rgb", "grid", "warped", "alpha", "face"});
  const std::vector<float>& rgb = got[0];
  const std::vector<float>& grid = got[1];

  expectNear(grid, gridReference(xd, xs), 2e-5f, "grid");
  expectNear(got[2], warpReference(feeds[1].data, grid.data(), kCrop, kCrop), 2e-5f, "warped");
  expectNear(got[3], alphaReference(xd), 2e-5f, "alpha");
  const float tint[3] = {0.55f, 0.32f, 0.32f};
  std::vector<float> want(kP);
  for (int c = 0; c < 3; ++c)
    for (size_t i = 0; i < size_t(kCrop) * kCrop; ++i) {
      const float a = got[3][i], f = got[4][c * kCrop * kCrop + i];
      want[c * kCrop * kCrop + i] = f * tint[c] * a + f * (1 - a);
    }
  expectNear(rgb, want, 1e-6f, "compose");
  // the head adds a small residual to the warped source
  expectNear(got[4], got[2], 0.031f, "face");
}

TEST(DirectorModel, StillKeypointsSampleTheSourceItself) {
  const std::vector<float> kp = driveRow("xd.f32", 3);
  auto feeds = prgbFeeds(0, kp, kp);
  Ort::Session s = open(lt::fixture("director_probe.onnx"));
  const auto got = run(s, feeds, {"warped"});
  expectNear(got[0], feeds[1].data, 1e-5f, "warped");
}

TEST(DirectorModel, BatchedModelRendersEachSlotAsTheSingleOne) {
  const std::string dir = lt::fixture("bundle_director/");
  const std::vector<float> xs = driveRow("xs.f32", 0);
  std::vector<Feed> batch = {{"pooled64", {4, 64, 32, 32}, {}},
                             {"P_rgb", {4, 3, kCrop, kCrop}, {}},
                             {"kp_driving", {4, kRows, 3}, {}},
                             {"kp_source", {4, kRows, 3}, {}}};
  std::vector<std::vector<float>> singles;
  for (int b = 0; b < 4; ++b) {
    auto one = prgbFeeds(b % 3, driveRow("xd.f32", b + 1), xs);
    for (int k = 0; k < 4; ++k) batch[k].data.insert(batch[k].data.end(), one[k].data.begin(), one[k].data.end());
    singles.push_back(render("bundle_director/model_render.onnx", std::move(one)));
  }
  Ort::Session s = open(dir + "model_b4.onnx");
  EXPECT_EQ(declared(s, "pooled64")[0], 4);
  const std::vector<float> out = run(s, batch, {"rgb"})[0];
  ASSERT_EQ(out.size(), 4 * kP);
  for (int b = 0; b < 4; ++b)
    expectNear(std::vector<float>(out.begin() + b * kP, out.begin() + (b + 1) * kP), singles[b], 1e-5f, "slot");
}

TEST(DirectorModel, FeatSynthLayoutRendersFromFsRed) {
  const std::string dir = lt::fixture("bundle_featsynth/");
  Ort::Session s = open(dir + "model_render.onnx");
  EXPECT_EQ(declared(s, "fs_red"), (std::vector<int64_t>{1, 64, 64, 64}));
  EXPECT_EQ(declared(s, "pooled"), (std::vector<int64_t>{1, 64, 32, 32}));
  EXPECT_EQ(declared(s, "kd"), (std::vector<int64_t>{1, kRows, 3}));
  EXPECT_EQ(declared(s, "ks"), (std::vector<int64_t>{1, kRows, 3}));
  const std::vector<float> xs = driveRow("xs.f32", 0);
  std::vector<std::vector<float>> out;
  for (int row : {0, 4}) {
    std::vector<Feed> feeds = {{"fs_red", {1, 64, 64, 64}, halves(dir + "fs_red.f16", 0, 262144)},
                               {"pooled", {1, 64, 32, 32}, halves(dir + "pooled64.f16", 0, kPooled)},
                               {"kd", {1, kRows, 3}, driveRow("xd.f32", row)},
                               {"ks", {1, kRows, 3}, xs}};
    out.push_back(run(s, feeds, {"rgb"})[0]);
  }
  for (float v : out[1]) ASSERT_TRUE(v >= 0.f && v <= 1.f) << v;
  EXPECT_GT(meanAbsDiff(out[0], out[1], 40, 54, 22, 42), 0.01);
  EXPECT_EQ(meanAbsDiff(out[0], out[1], 0, 12, 0, 12), 0.0);
}

TEST(DirectorModel, BrokenContractModelsDeclareWhatTheRefusalsRead) {
  const std::string dir = lt::fixture("bundle_director/");
  {
    Ort::Session s = open(dir + "model_kp22.onnx");
    EXPECT_EQ(declared(s, "kp_driving"), (std::vector<int64_t>{1, 22, 3}));
  }
  {
    Ort::Session s = open(dir + "model_kp20.onnx");
    EXPECT_EQ(declared(s, "kp_source"), (std::vector<int64_t>{1, 20, 3}));
  }
  {
    Ort::Session s = open(dir + "model_dynbatch.onnx");
    EXPECT_EQ(declared(s, "pooled64"), (std::vector<int64_t>{-1, 64, 32, 32}));
  }
  const std::vector<float> xs = driveRow("xs.f32", 0), xd = driveRow("xd.f32", 4);
  const std::vector<float> want = render("bundle_director/model_render.onnx", prgbFeeds(0, xd, xs));
  {
    Ort::Session s = open(dir + "model_kpdyn.onnx");
    EXPECT_EQ(declared(s, "kp_driving"), (std::vector<int64_t>{1, -1, 3}));
    auto feeds = prgbFeeds(0, xd, xs);
    expectNear(run(s, feeds, {"rgb"})[0], want, 1e-6f, "dynamic rows");
  }
  {
    Ort::Session s = open(dir + "model_kpflat.onnx");
    EXPECT_EQ(declared(s, "kp_driving"), (std::vector<int64_t>{1, 63}));
    auto feeds = prgbFeeds(0, xd, xs);
    feeds[2].shape = feeds[3].shape = {1, 63};
    expectNear(run(s, feeds, {"rgb"})[0], want, 1e-6f, "flat keypoints");
  }
}
