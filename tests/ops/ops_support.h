// Runs small forged models through ONNX Runtime for the operator tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ort/api.h"

namespace lt {

struct Tensor {
  std::vector<int64_t> shape;
  std::vector<float> data;
};

// One quiet environment for every operator test; refusals are read from the exceptions.
Ort::Env& quietEnv();
// Options with `threads` intra-op threads and both custom domains registered.
Ort::SessionOptions sessionOptions(int threads);
// Runs the session on the inputs and returns output `name`.
Tensor runSession(Ort::Session& session, const std::vector<std::pair<const char*, Tensor*>>& inputs,
                  const char* name);
// The model in a fresh session on `threads` intra-op threads; returns output `name`.
Tensor runOnnx(const std::vector<uint8_t>& model, const std::vector<std::pair<const char*, Tensor*>>& inputs,
               const char* name, int threads = 1);

// A fixture's bytes.
std::vector<uint8_t> modelBytes(const std::string& fixtureName);

// Uniform floats in [lo, hi) from a fixed seed.
std::vector<float> uniform(size_t n, float lo, float hi, unsigned seed);

}  // namespace lt
