// The fused m4b director as the native engine knows it: which initializers
// of a model are its tensors, found by name or (for the three an exporter
// numbers) by shape, and the shape every layer must have. The free widths
// of the network are read from the model; every other shape follows.
#pragma once

#include <string>
#include <vector>

#include "render/conv_model.h"

namespace le {

struct M4bWidths {
  int e0 = 0, e1 = 0, e2 = 0, hidden = 0, d1 = 0, d0 = 0, ref = 0, corr = 0, tile = 0;
};

// A layer's expected weight shape: [out, in, k, k], or [out, in] when dense.
struct M4bLayer {
  std::string name;
  int out = 0, in = 0, k = 0;  // k = 0: dense
  size_t weights() const { return static_cast<size_t>(out) * in * (k ? k * k : 1); }
};

struct M4bTopology {
  const ConvTensor* preWeight = nullptr;  // [96,85,1,1], numbered by the exporter
  const ConvTensor* preBias = nullptr;    // [96], the next number
  const ConvTensor* grid32 = nullptr;     // [1,1,32,32,2]
  const ConvTensor* basis = nullptr;      // [64,196608]
  M4bWidths widths;
  std::vector<M4bLayer> layers;  // the named layers, in the order the engine runs them
};

// The model's m4b tensors, or "le_conv: this graph is not the fused m4b
// topology this kernel implements (<reason>) — use ORT for it".
M4bTopology m4bResolve(const ConvModel& model);

}  // namespace le
