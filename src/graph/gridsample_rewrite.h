// Standard GridSample nodes in the one configuration com.velomark's
// GridSampleFast implements (bilinear, border, align_corners 0) become
// GridSampleFast nodes, and the model imports that domain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "graph/wire.h"

namespace le {

// The number of nodes rewritten; 0 leaves the model byte-identical. Wire
// errors propagate, and a throw leaves the model unchanged.
size_t rewriteGridSampleToFast(std::vector<uint8_t>& model);

// Some node of the top-level graph is already com.velomark::GridSampleFast.
bool graphHasBakedGridSampleFast(const std::vector<uint8_t>& model);

// The opset_import of "com.velomark" version 1 to append to the model, or
// nothing when the model already imports the domain.
std::vector<uint8_t> velomarkImportTail(const std::vector<uint8_t>& model);

// One NodeProto payload matches the rewrite's rule.
bool gsIsRewritableGridSample(GsSlice node);

}  // namespace le
