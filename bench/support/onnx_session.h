// One small forged model in an ONNX Runtime session, its inputs laid out once,
// for benchmarks that set a load-time rewrite beside the standard operators.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ort/api.h"

namespace lb {

// Path of a model written by `forge graph-models` (forged once per process).
std::string graphModel(const std::string& name);
std::vector<uint8_t> fileBytes(const std::string& path);

struct Input {
  const char* name;
  std::vector<int64_t> shape;
  std::vector<float> data;
};

class OnnxRun {
 public:
  // com.velomark is registered so rewritten models load too.
  OnnxRun(const std::vector<uint8_t>& model, int threads, std::vector<Input> inputs, const char* output);
  void run();

 private:
  std::unique_ptr<Ort::Session> session_;
  std::vector<Input> inputs_;
  std::vector<Ort::Value> values_;
  std::vector<const char*> names_;
  const char* output_;
};

std::vector<float> uniformFloats(size_t n, float lo, float hi, uint32_t seed);

// What a director's grid looks like: the pixel centres displaced by a smooth
// field of a few pixels, reaching a little past the borders. [H][W][2].
std::vector<float> warpGrid(int H, int W);

}  // namespace lb
