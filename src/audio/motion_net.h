// One network of the motion pipeline: its own session, bound by position so
// that models from any exporter work. Creation checks the input count and
// each declared input's element count; a run checks output 0's.
#pragma once

#include <onnxruntime_cxx_api.h>

#include <memory>
#include <string>
#include <vector>

namespace le::motion {

struct Port {
  const char* label;           // for refusals: "the log-mel", "xs_la", ...
  std::vector<int64_t> shape;  // the shape the tensor is made with
};

// Options of every motion network: intra-op threads, full optimisation,
// spinning only on request, and the execution provider: "" (CPU), or
// "coreml..." with the units suffix; anything else throws
// "le_motion: unknown ep '<ep>'". dir holds the CoreML model cache.
Ort::SessionOptions netOptions(int threads, const std::string& ep, const std::string& dir);

class Net {
 public:
  // Throws "<name>: ..." when the model's inputs differ from `inputs`.
  Net(Ort::Env& env, const std::string& dir, const char* name, Ort::SessionOptions& options, std::vector<Port> inputs,
      size_t outCount);
  // One run on the inputs (each holding its port's element count); output 0
  // is copied to out, which must hold outCount floats.
  void run(const std::vector<const float*>& inputs, float* out);
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  std::unique_ptr<Ort::Session> session_;
  std::vector<Port> ports_;
  std::vector<std::string> inNames_;
  std::string outName_;
  size_t outCount_;
  Ort::MemoryInfo memory_;
};

}  // namespace le::motion
