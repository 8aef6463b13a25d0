#include "ort/providers.h"

#include <optional>
#include <unordered_map>

#include "base/env.h"
#include "base/log.h"
#include "ort/api.h"

namespace le::ort {

bool isCoremlEp(const std::string& ep) { return ep.rfind("coreml", 0) == 0; }

std::string coremlUnitsSuffix(const std::string& ep) { return ep.size() < 8 ? "all" : ep.substr(7); }

const char* coremlComputeUnits(const std::string& suffix) {
  if (suffix == "cpu") return "CPUOnly";
  if (suffix == "gpu") return "CPUAndGPU";
  if (suffix == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

std::string coremlCacheDir(const std::string& dir) {
  const OrtApiBase* base = OrtGetApiBase();
  const char* version = base ? base->GetVersionString() : nullptr;
  return dir + "/.coreml_cache/ort" + (version && *version ? version : "unknown");
}

void appendCoreml(Ort::SessionOptions& options, const std::string& ep, const std::string& dir) {
  const std::unordered_map<std::string, std::string> coreml{
      {"ModelFormat", "MLProgram"},
      {"MLComputeUnits", coremlComputeUnits(coremlUnitsSuffix(ep))},
      {"ModelCacheDirectory", coremlCacheDir(dir)},
  };
  options.AppendExecutionProvider("CoreML", coreml);
}

bool cudaRequested(const char* tag) {
  return env::equals("LE_A2X_CUDA", "1") && tag && std::string(tag) == "w2v";
}

size_t cudaMemMiB() {
  const std::optional<long> v = env::integer("LE_A2X_CUDA_MEM_MIB");
  return v && *v > 0 ? static_cast<size_t>(*v) : 3072;
}

void appendCudaIfAsked(Ort::SessionOptions& options, const char* tag) {
  if (!cudaRequested(tag)) return;
  const size_t mib = cudaMemMiB();
  try {
    api();
    Ort::CUDAProviderOptions cuda;
    cuda.Update({
        {"device_id", "0"},
        {"arena_extend_strategy", "kSameAsRequested"},
        {"gpu_mem_limit", std::to_string(static_cast<unsigned long long>(mib) << 20)},
        {"cudnn_conv_use_max_workspace", "0"},
        {"use_tf32", "0"},
        {"use_ep_level_unified_stream", "1"},
    });
    options.AppendExecutionProvider_CUDA_V2(*cuda);
    log::report("[le_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag, mib);
  } catch (const std::exception& e) {
    log::warn("[le_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
}

}  // namespace le::ort
