#include "audio/motion_net.h"

#include <cstring>
#include <stdexcept>

#include "ort/api.h"
#include "ort/options.h"

namespace le::motion {
namespace {

std::string shapeText(const std::vector<int64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) s += (i ? ", " : "") + std::to_string(shape[i]);
  return s + "]";
}

int64_t elements(const std::vector<int64_t>& shape) {
  int64_t n = 1;
  for (int64_t d : shape) n *= d;
  return n;
}

}  // namespace

Net::Net(const std::string& dir, const char* name, const Ort::SessionOptions& options, std::vector<Port> inputs,
         size_t outCount)
    : name_(name), ports_(std::move(inputs)), outCount_(outCount) {
  session_ = ort::open(dir + "/" + name, options);
  const size_t count = session_->GetInputCount();
  if (count != ports_.size()) {
    std::string want;
    for (size_t i = 0; i < ports_.size(); ++i)
      want += (i ? " and " : "") + std::string(ports_[i].label) + " " + shapeText(ports_[i].shape);
    throw std::runtime_error(name_ + " declares " + std::to_string(count) + " input(s), expected " +
                             std::to_string(ports_.size()) + ": " + want + ".");
  }
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < count; ++i) {
    inNames_.emplace_back(session_->GetInputNameAllocated(i, alloc).get());
    const std::vector<int64_t> declared = session_->GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape();
    bool known = true;
    int64_t n = 1;
    for (int64_t d : declared) {
      if (d < 0) known = false;
      n *= d;
    }
    // Symbolic dimensions are left to the run; declared ones must agree.
    if (known && n != elements(ports_[i].shape))
      throw std::runtime_error(name_ + ": input " + std::to_string(i) + " (" + ports_[i].label + ") holds " +
                               std::to_string(n) + " values " + shapeText(declared) + ", expected " +
                               shapeText(ports_[i].shape) + ".");
  }
  outName_ = session_->GetOutputNameAllocated(0, alloc).get();
}

void Net::run(const std::vector<const float*>& inputs, float* out) {
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  for (size_t i = 0; i < ports_.size(); ++i) {
    const std::vector<int64_t>& s = ports_[i].shape;
    values.push_back(Ort::Value::CreateTensor<float>(ort::cpuMemory(), const_cast<float*>(inputs[i]),
                                                     static_cast<size_t>(elements(s)), s.data(), s.size()));
    names.push_back(inNames_[i].c_str());
  }
  const char* outName = outName_.c_str();
  std::vector<Ort::Value> result =
      session_->Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &outName, 1);
  const auto info = result[0].GetTensorTypeAndShapeInfo();
  if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT || info.GetElementCount() != outCount_)
    throw std::runtime_error(name_ + ": output 0 holds " + std::to_string(info.GetElementCount()) +
                             " values, expected " + std::to_string(outCount_) + " floats");
  std::memcpy(out, result[0].GetTensorData<float>(), outCount_ * sizeof(float));
}

}  // namespace le::motion
