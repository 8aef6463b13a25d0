// Standard Resize nodes that com.velomark::SeparableResize reproduces (linear
// or cubic, half-pixel centres, edge-clamped taps, constant scales that
// leave N and C alone) are retyped to it in place: inputs and attributes
// stay, so the kernel reads the same mode, coefficient and scales.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/wire.h"

namespace le {

// Whether a Resize node (its payload) qualifies, given the graph's initializers.
bool rzIsSeparable(GsSlice node, const std::unordered_map<std::string, GsSlice>& initializers);
// Retypes every qualifying top-level node; returns the count (0: model unchanged).
size_t rewriteResizeToSeparable(std::vector<uint8_t>& model);

}  // namespace le
