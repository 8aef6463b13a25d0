#include "render/coreml.h"

#include <onnxruntime_c_api.h>

namespace le {

std::string coremlCacheDir(const std::string& dir) {
  const OrtApiBase* base = OrtGetApiBase();
  const char* version = base ? base->GetVersionString() : nullptr;
  return dir + "/.coreml_cache/ort" + (version && *version ? version : "unknown");
}

bool isCoremlEp(const std::string& ep) { return ep.rfind("coreml", 0) == 0; }

std::string coremlUnitsSuffix(const std::string& ep) { return ep.size() < 8 ? "all" : ep.substr(7); }

const char* coremlComputeUnits(const std::string& suffix) {
  if (suffix == "cpu") return "CPUOnly";
  if (suffix == "gpu") return "CPUAndGPU";
  if (suffix == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

}  // namespace le
