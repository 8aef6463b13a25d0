// Until the engine's kernels are in the tree no graph resolves as m4b, so every
// request falls back to ONNX Runtime with the refusal line.
#include "render/conv_backend.h"

#include <stdexcept>

namespace le {

bool ConvBackend::available() { return true; }

bool ConvBackend::graphSupported(const std::string&) { return false; }

std::unique_ptr<ConvBackend> ConvBackend::create(const std::string&, int) {
  throw std::runtime_error(
      "le_conv: this graph is not the fused m4b topology this kernel implements (engine not built) — use ORT for it");
}

}  // namespace le
