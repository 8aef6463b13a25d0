#include "ops/ops_support.h"

#include <algorithm>

#include "graph/conv_widths.h"
#include "ops/int8_domain.h"
#include "ops/velomark_domain.h"

namespace lt {

Onnx::Onnx(const std::vector<uint8_t>& model, int threads, bool asWritten) {
  le::ort::api();
  static Ort::Env env(ORT_LOGGING_LEVEL_FATAL, "test");  // refusals are read from the exceptions
  Ort::SessionOptions opts;
  opts.SetIntraOpNumThreads(threads);
  // The renderer's kernels: on Arm CPUs with SME, KleidiAI's would sum in another order.
  opts.AddConfigEntry("mlas.disable_kleidiai", "1");
  le::registerWarpDirector(opts);  // the whole domain; the renderer goes through the other entry point
  le::registerInt8ConvVNNI(opts);
  // The renderer's layout choice, so that its crops can be compared bit for bit.
  if (asWritten)
    opts.SetGraphOptimizationLevel(ORT_DISABLE_ALL);
  else if (!le::graphHasWideConv(model, 16))
    opts.SetGraphOptimizationLevel(ORT_ENABLE_EXTENDED);
  session_ = std::make_unique<Ort::Session>(env, model.data(), model.size(), opts);
}

std::vector<int64_t> Onnx::inputShape(size_t index) const {
  return session_->GetInputTypeInfo(index).GetTensorTypeAndShapeInfo().GetShape();
}

Tensor Onnx::run(const Inputs& inputs, const char* output) const {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  for (const auto& [name, t] : inputs) {
    names.push_back(name);
    values.push_back(
        Ort::Value::CreateTensor<float>(mem, t->data.data(), t->data.size(), t->shape.data(), t->shape.size()));
  }
  auto out = session_->Run(Ort::RunOptions{nullptr}, names.data(), values.data(), values.size(), &output, 1);
  const auto info = out[0].GetTensorTypeAndShapeInfo();
  Tensor t{info.GetShape(), std::vector<float>(info.GetElementCount())};
  if (info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16) {
    const Ort::Float16_t* h = out[0].GetTensorData<Ort::Float16_t>();
    for (float& v : t.data) v = static_cast<float>(*h++);
  } else {
    std::copy_n(out[0].GetTensorData<float>(), t.data.size(), t.data.begin());
  }
  return t;
}

std::vector<float> Onnx::run(const std::vector<const char*>& names, const std::vector<std::vector<float>*>& values,
                             const std::vector<std::vector<int64_t>>& shapes, const char* output) const {
  std::vector<Tensor> t(names.size());
  Inputs inputs;
  for (size_t i = 0; i < names.size(); ++i) t[i] = {shapes[i], *values[i]}, inputs.emplace_back(names[i], &t[i]);
  return run(inputs, output).data;
}

}  // namespace lt
