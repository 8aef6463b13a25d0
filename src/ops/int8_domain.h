// The custom operator domain "com.velomark.int8": Int8ConvVNNI, a 2-D
// convolution with int8 weights (per output channel scale) and uint8
// activations quantised per run from their own range.
//
// Node contract: X FLOAT [N,C,H,W]; W INT8 [M,C/group,kH,kW]; scale FLOAT [M];
// bias FLOAT [M]; Y FLOAT [N,M,Ho,Wo]. Attributes: group (required),
// strides, dilations ([1,1] when absent), pads (top, left, bottom, right).
#pragma once

#include "ort/api.h"

namespace le {

// On first call creates the domain with its operator, both kept for the life
// of the process; adds the domain to the options.
void registerInt8ConvVNNI(Ort::SessionOptions& options);

}  // namespace le
