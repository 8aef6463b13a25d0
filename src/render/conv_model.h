// The native engine's view of a model file: its initializers by name (shape,
// element type and where the data lies in the file's bytes) and the batch of
// its pooled64 input. Nothing else of the graph is read: the engine knows the
// topology, the file only supplies weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/wire.h"

namespace le {

struct ConvTensor {
  std::string name;
  std::vector<int64_t> dims;
  uint32_t dataType = 0;
  GsSlice raw;                       // raw_data, when stored so
  std::vector<GsSlice> packedFloats;  // float_data runs
  std::vector<float> looseFloats;     // float_data stored one field per value

  bool hasShape(std::initializer_list<int64_t> shape) const;
  // Product of the dims (0 for a dimension below 1).
  size_t elements() const;
};

class ConvModel {
 public:
  // Reads and indexes the file: "le_conv: cannot open", "le_conv: short read",
  // the wire errors, "le_conv: pooled64 input not found".
  explicit ConvModel(const std::string& path);
  ConvModel(const ConvModel&) = delete;
  ConvModel& operator=(const ConvModel&) = delete;

  const std::vector<ConvTensor>& tensors() const { return tensors_; }
  // Null when absent.
  const ConvTensor* find(const std::string& name) const;
  // "onnx: missing initializer" when absent.
  const ConvTensor& need(const std::string& name) const;
  // The data as floats: "onnx: non-fp32 initializer", "onnx: raw size
  // mismatch", "onnx: no data for " + name.
  std::vector<float> floats(const ConvTensor& t) const;
  // First dimension of the pooled64 input.
  int batch() const { return batch_; }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<ConvTensor> tensors_;
  int batch_ = 0;
};

}  // namespace le
