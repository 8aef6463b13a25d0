// The renderer's view of the operator domains: com.velomark comes from the
// operator layer; the int8 domain's kernels are not in this build yet, so a
// graph that needs them fails inside ONNX Runtime with its own text.
#include "render/operator_domains.h"

#include "graph/gridsample_rewrite.h"
#include "ops/velomark_domain.h"

namespace le {

void registerDirectorFastOps(Ort::SessionOptions& options) { registerGridSampleFast(options); }

void registerDirectorInt8Ops(Ort::SessionOptions&) {}

bool graphHasBakedFastOps(const std::vector<uint8_t>& model) { return graphHasBakedGridSampleFast(model); }

}  // namespace le
