#include "support/onnx_session.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "ops/int8_domain.h"
#include "ops/velomark_domain.h"

namespace lb {

std::string graphModel(const std::string& name) {
  static const std::string dir = [] {
    const std::string d = std::string(LE_BENCH_SCRATCH) + "/graph-models";
    const std::string cmd = std::string(LE_BENCH_PYTHON) + " " + LE_BENCH_FORGE + " graph-models " + d + " > /dev/null";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("forge failed: " + cmd);
    return d;
  }();
  return dir + "/" + name;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

namespace {

Ort::Env& env() {
  le::ort::api();  // binds the wrapper before its first object
  static Ort::Env e(ORT_LOGGING_LEVEL_ERROR, "bench");
  return e;
}

}  // namespace

OnnxRun::OnnxRun(const std::vector<uint8_t>& model, int threads, std::vector<Input> inputs, const char* output)
    : inputs_(std::move(inputs)), output_(output) {
  Ort::Env& e = env();
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads);
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  le::registerGridSampleFast(o);
  le::registerInt8ConvVNNI(o);
  session_ = std::make_unique<Ort::Session>(e, model.data(), model.size(), o);
  const auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  for (Input& in : inputs_) {
    names_.push_back(in.name);
    values_.push_back(
        Ort::Value::CreateTensor<float>(mem, in.data.data(), in.data.size(), in.shape.data(), in.shape.size()));
  }
}

void OnnxRun::run() {
  session_->Run(Ort::RunOptions{nullptr}, names_.data(), values_.data(), values_.size(), &output_, 1);
}

// What a director's grid looks like: the pixel centres displaced by a smooth
// field of a few pixels, reaching a little past the borders.
std::vector<float> warpGrid(int H, int W) {
  std::vector<float> g(size_t(H) * W * 2);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const float u = (2.0f * x + 1) / W - 1, v = (2.0f * y + 1) / H - 1;
      g[(size_t(y) * W + x) * 2] = u + 0.02f * std::sin(3.1f * v + 0.5f);
      g[(size_t(y) * W + x) * 2 + 1] = v + 0.02f * std::cos(2.3f * u);
    }
  return g;
}

std::vector<float> uniformFloats(size_t n, float lo, float hi, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, hi);
  std::vector<float> v(n);
  for (float& x : v) x = u(rng);
  return v;
}

}  // namespace lb
