// The warp block of a director graph: the GridSample that samples the source
// cone's tip with the per-frame grid, and the Slice/Mul/Sub/Add nodes that
// recombine its planes into the cubic-corrected sample. The block and the
// cone together can become one com.velomark::WarpDirector node that reads
// "P_rgb" and the grid directly.
//
// Refusals return 0 with a plain reason (no trailing period) and leave the
// model alone; malformed bytes raise the wire layer's errors.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "graph/wire.h"

namespace le {

struct WarpBlock {
  std::string source;  // the cone's tip: the GridSample's first input
  std::string grid;    // its second input
  std::string out;     // the one value by which the recombination leaves the block
  size_t nodes = 0;    // block nodes, the GridSample included
};

// One graph node as the warp-block code sees it.
struct WdNode {
  GsSlice payload, raw;
  std::string op_type;
  std::vector<std::string> inputs, outputs;
};
void wdReadNodes(GsSlice graph, std::vector<WdNode>& nodes);

// The block's node count on success; 0 with `reason` otherwise.
size_t findWarpBlock(const std::vector<uint8_t>& model, WarpBlock* block, std::string& reason);

// Replaces the cone and the block by one WarpDirector node named
// "le_warp_director"; the block's node count, or 0 with `reason` (model unchanged).
size_t rewriteWarpBlockToCustomOp(std::vector<uint8_t>& model, std::string& reason);

}  // namespace le
