// The forged director model, run directly on ONNX Runtime: the inputs it
// declares, its output range, and the lip rows moving the mouth and nothing
// far from it. The forge checks the model's arithmetic itself when it builds it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "render/ort_api.h"
#include "render/renderer_support.h"
#include "support/fixtures.h"

namespace {

constexpr int kCrop = 64;

double meanAbsDiff(const std::vector<float>& a, const std::vector<float>& b, int y0, int y1, int x0, int x1) {
  double sum = 0;
  int n = 0;
  for (int c = 0; c < 3; ++c)
    for (int y = y0; y < y1; ++y)
      for (int x = x0; x < x1; ++x, ++n) sum += std::fabs(a[(c * kCrop + y) * kCrop + x] - b[(c * kCrop + y) * kCrop + x]);
  return sum / n;
}

TEST(DirectorModel, DeclaresTheRendererInputsAndRendersInRange) {
  const lt::OpenBundle b(lt::fixture("bundle_director"));
  le::ort::api();
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "director_model_test");
  Ort::Session s(env, b.manifest.modelPath("render").c_str(), Ort::SessionOptions{});
  const std::pair<const char*, std::vector<int64_t>> want[] = {
      {"pooled64", {1, 64, 32, 32}}, {"P_rgb", {1, 3, kCrop, kCrop}},
      {"kp_driving", {1, 21, 3}},    {"kp_source", {1, 21, 3}}};
  ASSERT_EQ(s.GetInputCount(), 4u);
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_STREQ(s.GetInputNameAllocated(i, Ort::AllocatorWithDefaultOptions()).get(), want[i].first);
    EXPECT_EQ(s.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape(), want[i].second) << want[i].first;
  }
  ASSERT_EQ(s.GetOutputCount(), 1u);
  EXPECT_STREQ(s.GetOutputNameAllocated(0, Ort::AllocatorWithDefaultOptions()).get(), "rgb");

  const std::vector<float> rgb = lt::referenceRender(b, "render", false, {0}, {4});  // checks the [1,3,64,64] shape
  for (float v : rgb) ASSERT_TRUE(v >= 0.f && v <= 1.f) << v;
  const auto [lo, hi] = std::minmax_element(rgb.begin(), rgb.end());
  EXPECT_GT(*hi - *lo, 0.3f);  // a face, not a flat field
}

TEST(DirectorModel, LipRowsMoveTheMouthAndNothingFarFromIt) {
  const lt::OpenBundle b(lt::fixture("bundle_director"));
  // Drive row 0 is closed, row 4 the widest opening; the source keypoints stay on row 0.
  const std::vector<float> closed = lt::referenceRender(b, "render", false, {1}, {0}, 0);
  const std::vector<float> open = lt::referenceRender(b, "render", false, {1}, {4}, 0);
  // the mouth sits around y = 0.45 of the [-1, 1] crop: rows 40..54, columns 22..42
  EXPECT_GT(meanAbsDiff(closed, open, 40, 54, 22, 42), 0.03);
  EXPECT_EQ(meanAbsDiff(closed, open, 0, 12, 0, 12), 0.0);
  EXPECT_EQ(meanAbsDiff(closed, open, 0, 12, kCrop - 12, kCrop), 0.0);
}

}  // namespace
