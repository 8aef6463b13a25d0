// The operator kernels join here as they land; until then a standard graph
// needs none of them and a baked one fails inside ONNX Runtime with its own text.
#include "render/operator_domains.h"

namespace le {

void registerDirectorFastOps(Ort::SessionOptions&) {}

void registerDirectorInt8Ops(Ort::SessionOptions&) {}

bool graphHasBakedFastOps(const std::vector<uint8_t>&) { return false; }

}  // namespace le
