// The source cone of a director graph: every node that depends only on the
// warp prior "P_rgb" and constants, ending in the one Concat that reads
// "P_rgb" (the tip). Its value is the same for every frame of an identity, so
// the graph can be cut in two: a prep graph that computes the tip once per
// source frame, and a per-frame graph that takes the tip as an input.
//
// Refusals return false with a plain reason (no trailing period) and leave
// the model alone; malformed bytes raise the wire layer's errors.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "graph/wire.h"

namespace le {

// The warp prior's graph input: the one name the cone may start from.
inline constexpr const char* kHoistSource = "P_rgb";

// The number of Concat nodes that read "P_rgb" and have a non-empty first
// output; when exactly 1, `tip` is that output, otherwise it is cleared.
size_t findSourceConeBoundary(const std::vector<uint8_t>& model, std::string& tip);

// Marks in `mask` (one byte per node, graph order) every node between
// "P_rgb" and `tip`, and checks that nothing but the tip leaves the cone.
bool gsSourceCone(const std::vector<GsNodeInfo>& nodes, const std::unordered_set<std::string>& initializers,
                  const std::unordered_set<std::string>& graphInputs, const std::string& tip,
                  std::vector<uint8_t>& mask, std::string& reason);

// The cone and every Constant node, "P_rgb" the only input, the tip the only
// output (FLOAT, four symbolic dims).
bool buildSourceConePrep(const std::vector<uint8_t>& model, const std::string& tip, std::vector<uint8_t>& prep,
                         std::string& reason);

// The model without the cone and without "P_rgb"; the tip becomes a FLOAT
// input of the given dims (a dim of 0 or less, or no dims, is symbolic).
bool buildSourceConePerFrame(const std::vector<uint8_t>& model, const std::string& tip, const long* dims,
                             unsigned long rank, std::vector<uint8_t>& perFrame, std::string& reason);

}  // namespace le
