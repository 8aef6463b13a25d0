// The renderer's view of the operator domains, both from the operator layer.
#include "render/operator_domains.h"

#include "graph/gridsample_rewrite.h"
#include "ops/int8_domain.h"
#include "ops/velomark_domain.h"

namespace le {

void registerDirectorFastOps(Ort::SessionOptions& options) { registerGridSampleFast(options); }

void registerDirectorInt8Ops(Ort::SessionOptions& options) { registerInt8ConvVNNI(options); }

bool graphHasBakedFastOps(const std::vector<uint8_t>& model) { return graphHasBakedGridSampleFast(model); }

}  // namespace le
