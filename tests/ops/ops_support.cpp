#include "ops/ops_support.h"

#include <random>

#include "ops/int8_domain.h"
#include "ops/velomark_domain.h"
#include "ort/api.h"
#include "support/fixtures.h"

namespace lt {

Ort::Env& quietEnv() {
  le::ort::api();
  static Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "ops_test");
  return env;
}

Ort::SessionOptions sessionOptions(int threads) {
  le::ort::api();
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(threads);
  le::registerGridSampleFast(opts);
  le::registerInt8ConvVNNI(opts);
  return opts;
}

Tensor runSession(Ort::Session& session, const std::vector<std::pair<const char*, Tensor*>>& inputs,
                  const char* name) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  for (const auto& [inputName, t] : inputs) {
    names.push_back(inputName);
    values.push_back(
        Ort::Value::CreateTensor<float>(mem, t->data.data(), t->data.size(), t->shape.data(), t->shape.size()));
  }
  auto out = session.Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &name, 1);
  Tensor r;
  r.shape = out[0].GetTensorTypeAndShapeInfo().GetShape();
  const float* p = out[0].GetTensorData<float>();
  r.data.assign(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
  return r;
}

Tensor runOnnx(const std::vector<uint8_t>& model, const std::vector<std::pair<const char*, Tensor*>>& inputs,
               const char* name, int threads) {
  Ort::Session session(quietEnv(), model.data(), model.size(), sessionOptions(threads));
  return runSession(session, inputs, name);
}

std::vector<uint8_t> modelBytes(const std::string& fixtureName) {
  const std::string s = slurp(fixture(fixtureName));
  return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<float> uniform(size_t n, float lo, float hi, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

}  // namespace lt
