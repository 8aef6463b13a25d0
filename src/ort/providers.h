// Execution providers the library can ask ONNX Runtime for: CoreML (by an
// ep string "coreml" with an optional units suffix) and CUDA (speech
// encoders only, by LE_A2X_CUDA).
#pragma once

#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <string>

namespace le::ort {

// True for ep strings that ask for CoreML.
bool isCoremlEp(const std::string& ep);
// Text after the seventh character of a CoreML ep string; "all" when shorter.
std::string coremlUnitsSuffix(const std::string& ep);
// The provider's MLComputeUnits value for a units suffix.
const char* coremlComputeUnits(const std::string& suffix);
// dir + "/.coreml_cache/ort" + the runtime's version string ("unknown" when
// it has none); no separator before the version.
std::string coremlCacheDir(const std::string& dir);
// Appends CoreML as MLProgram with the ep's units and a model cache in dir.
void appendCoreml(Ort::SessionOptions& options, const std::string& ep, const std::string& dir);

// The CUDA hook acts only when LE_A2X_CUDA is exactly "1" and the tag is "w2v".
bool cudaRequested(const char* tag);
// LE_A2X_CUDA_MEM_MIB when it is a positive integer, else 3072.
size_t cudaMemMiB();
// Appends the CUDA provider when asked for; a failure is reported and the
// options stay as they were. Never throws.
void appendCudaIfAsked(Ort::SessionOptions& options, const char* tag);

}  // namespace le::ort
