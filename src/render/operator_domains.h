// Custom operator domains the director may need, registered on its session
// options.
#pragma once

#include <cstdint>
#include <vector>

#include "ort/api.h"

namespace le {

// com.velomark: GridSampleFast, WarpDirector and SeparableResize.
void registerDirectorFastOps(Ort::SessionOptions& options);
// com.velomark.int8: Int8ConvVNNI.
void registerDirectorInt8Ops(Ort::SessionOptions& options);
// Whether the graph already carries com.velomark::GridSampleFast nodes.
bool graphHasBakedFastOps(const std::vector<uint8_t>& model);

}  // namespace le
