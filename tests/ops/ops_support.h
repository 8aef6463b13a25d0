// Runs forged models through ONNX Runtime with both custom domains registered:
// the operator tests' harness, the render tests' reference and the audio oracles.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ort/api.h"
#include "support/fixtures.h"

namespace lt {

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
};
using Inputs = std::vector<std::pair<const char*, Tensor*>>;

// One session over `model` on `threads` intra-op threads; run() may be called from several threads at once.
// Outputs come back as float, float16 ones widened.
class Onnx {
 public:
  explicit Onnx(const std::vector<uint8_t>& model, int threads = 1, bool asWritten = false);
  // The model file at `path`, run as written: without the runtime's fusions.
  explicit Onnx(const std::string& path) : Onnx(fileBytes(path), 1, true) {}
  Tensor run(const Inputs& inputs, const char* output) const;
  // The same with the inputs as parallel lists of names, values and shapes.
  std::vector<float> run(const std::vector<const char*>& names, const std::vector<std::vector<float>*>& values,
                         const std::vector<std::vector<int64_t>>& shapes, const char* output) const;
  std::vector<int64_t> inputShape(size_t index) const;

 private:
  std::unique_ptr<Ort::Session> session_;
};

// The model run once on a fresh session; returns output `name`.
inline Tensor runOnnx(const std::vector<uint8_t>& model, const Inputs& inputs, const char* name, int threads = 1) {
  return Onnx(model, threads).run(inputs, name);
}

}  // namespace lt
