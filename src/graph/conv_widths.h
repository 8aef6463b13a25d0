// How wide a director's convolutions are, read off the serialised graph: the
// session builder turns ONNX Runtime's blocked (NCHWc) layout off for a graph
// of narrow convolutions, which that layout pads to 16 channels.
#pragma once

#include <cstdint>
#include <vector>

namespace le {

// Whether some standard Conv of the top-level graph, its weight an
// initializer [M, C/group, kH, kW], has at least `channels` input channels
// per group and at least `channels` outputs.
bool graphHasWideConv(const std::vector<uint8_t>& model, int64_t channels);

}  // namespace le
