// Two rewrites to numerically equivalent forms the CPU runs faster or more
// predictably: the student blend MatMul becomes a Gemm, and the head's cubic
// x2 Resize becomes an edge Pad, a 5x5 depthwise Conv holding the cubic taps
// and a DepthToSpace. A graph that does not match is left unchanged (0);
// wire errors propagate, and a throw leaves the model unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/wire.h"

namespace le {

// The attribute set of a Resize node.
struct HcAttrs {
  std::string mode;
  std::string coordinate_transformation_mode;
  std::string keep_aspect_ratio_policy;
  float cubic_coeff_a = -0.75f;
  bool excludeOutside = false;  // non-zero
  bool antialias = false;       // non-zero
  bool hasAxes = false;
  bool hasKeepAspectRatioPolicy = false;
};

size_t normaliseStudentBlend(std::vector<uint8_t>& model);
size_t rewriteHeadCubicResize(std::vector<uint8_t>& model);

bool gsIsStudentBlendMatMul(GsSlice node);
HcAttrs hcReadAttrs(GsSlice node);
// Keys' cubic kernel at t + 1, t, 1 - t, 2 - t, normalised to sum 1.
void hcTaps(double t, double a, double* taps);

}  // namespace le
