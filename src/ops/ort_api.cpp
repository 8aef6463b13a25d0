#include "ops/ort_api.h"

#include <mutex>
#include <stdexcept>
#include <string>

namespace le::ort {

const OrtApi& api() {
  static const OrtApi* bound = [] {
    const OrtApiBase* base = OrtGetApiBase();
    const OrtApi* a = base ? base->GetApi(kApiVersion) : nullptr;
    if (!a)
      throw std::runtime_error("ONNX Runtime " + std::string(base ? base->GetVersionString() : "?") +
                               " does not offer C API version " + std::to_string(kApiVersion));
    Ort::InitApi(a);
    return a;
  }();
  return *bound;
}

}  // namespace le::ort
