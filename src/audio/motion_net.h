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

class Net {
 public:
  // Throws "<name>: ..." when the model's inputs differ from `inputs`.
  Net(const std::string& dir, const char* name, const Ort::SessionOptions& options, std::vector<Port> inputs,
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
};

}  // namespace le::motion
