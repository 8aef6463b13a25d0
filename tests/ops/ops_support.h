// Runs small forged models through ONNX Runtime for the operator tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lt {

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
};

// The model run on `threads`
// intra-op threads with com.velomark registered; returns output `name`.
Tensor runOnnx(const std::vector<uint8_t>& model, const std::vector<std::pair<const char*, Tensor*>>& inputs,
               const char* name, int threads = 1);

// A fixture's bytes.
std::vector<uint8_t> modelBytes(const std::string& fixtureName);

// Uniform floats in [lo, hi) from a fixed seed.
std::vector<float> uniform(size_t n, float lo, float hi, unsigned seed);

}  // namespace lt
