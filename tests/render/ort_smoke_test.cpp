// The runtime wiring: API version 26 is bound and a forged model runs.
#include <gtest/gtest.h>

#include <array>

#include "ort/api.h"
#include "support/fixtures.h"

TEST(OrtSmoke, RunsForgedModelThroughApi26) {
  ASSERT_NE(&le::ort::api(), nullptr);
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "smoke");
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(1);
  Ort::Session session(env, lt::fixture("tiny_affine.onnx").c_str(), opts);

  std::array<float, 4> x{0.f, 1.f, -2.5f, 100.f};
  const std::array<int64_t, 2> shape{1, 4};
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, x.data(), x.size(), shape.data(), shape.size());
  const char* in_names[] = {"x"};
  const char* out_names[] = {"y"};
  auto out = session.Run(Ort::RunOptions{nullptr}, in_names, &in, 1, out_names, 1);
  ASSERT_EQ(out.size(), 1u);
  const float* y = out[0].GetTensorData<float>();
  for (size_t i = 0; i < x.size(); ++i) EXPECT_FLOAT_EQ(y[i], x[i] * 2.f + 1.f);
}
