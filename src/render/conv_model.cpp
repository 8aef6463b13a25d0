#include "render/conv_model.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "bundle/files.h"

namespace le {

namespace {

ConvTensor readTensor(GsSlice payload) {
  ConvTensor t;
  hcTensorDims(payload, t.dims);
  GsReader r(payload);
  GsField f;
  while (r.next(f)) {
    if (f.field == onnxf::kTensorDataType && f.wire == 0) t.dataType = static_cast<uint32_t>(f.varint);
    if (f.field == onnxf::kTensorName && f.wire == 2) t.name = f.payload.str();
    if (f.field == onnxf::kTensorRawData && f.wire == 2) t.raw = f.payload;
    if (f.field == onnxf::kTensorFloatData && f.wire == 2) t.packedFloats.push_back(f.payload);
    if (f.field == onnxf::kTensorFloatData && f.wire == 5) {
      float v;
      std::memcpy(&v, f.raw.p + f.raw.n - 4, 4);
      t.looseFloats.push_back(v);
    }
  }
  return t;
}

}  // namespace

bool ConvTensor::hasShape(std::initializer_list<int64_t> shape) const {
  return dims.size() == shape.size() && std::equal(dims.begin(), dims.end(), shape.begin());
}

size_t ConvTensor::elements() const {
  size_t n = 1;
  for (int64_t d : dims) n *= d > 0 ? static_cast<size_t>(d) : 0;
  return n;
}

ConvModel::ConvModel(const std::string& path) {
  switch (readWhole(path, bytes_)) {
    case ReadStatus::kCannotOpen:
      throw std::runtime_error("le_conv: cannot open");
    case ReadStatus::kShort:
      throw std::runtime_error("le_conv: short read");
    case ReadStatus::kOk:
      break;
  }
  const GsSlice graph = gsGraphOf(gsSliceOf(bytes_));
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.field == onnxf::kGraphInitializer && f.wire == 2) tensors_.push_back(readTensor(f.payload));
  int64_t first = 0, last = 0;
  int rank = 0;
  ldInputDims(graph, "pooled64", first, last, rank);
  if (rank == 0 || first < 1 || first > 64) throw std::runtime_error("le_conv: pooled64 input not found");
  batch_ = static_cast<int>(first);
}

const ConvTensor* ConvModel::find(const std::string& name) const {
  for (const ConvTensor& t : tensors_)
    if (t.name == name) return &t;
  return nullptr;
}

const ConvTensor& ConvModel::need(const std::string& name) const {
  const ConvTensor* t = find(name);
  if (!t) throw std::runtime_error("onnx: missing initializer");
  return *t;
}

std::vector<float> ConvModel::floats(const ConvTensor& t) const {
  if (t.dataType != onnxf::kFloat) throw std::runtime_error("onnx: non-fp32 initializer");
  std::vector<float> out;
  if (!t.raw.empty()) {
    if (t.raw.n != t.elements() * 4) throw std::runtime_error("onnx: raw size mismatch");
    out.resize(t.elements());
    std::memcpy(out.data(), t.raw.p, t.raw.n);
    return out;
  }
  for (GsSlice run : t.packedFloats) {
    const size_t at = out.size();
    out.resize(at + run.n / 4);
    std::memcpy(out.data() + at, run.p, run.n / 4 * 4);
  }
  out.insert(out.end(), t.looseFloats.begin(), t.looseFloats.end());
  if (out.empty()) throw std::runtime_error("onnx: no data for " + t.name);
  if (out.size() != t.elements()) throw std::runtime_error("onnx: raw size mismatch");
  return out;
}

}  // namespace le
