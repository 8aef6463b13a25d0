// CoreML execution-provider request: units suffix and model cache directory.
#pragma once

#include <string>

namespace le {

// dir + "/.coreml_cache/ort" + the runtime's version string ("unknown" when
// it has none); no separator before the version.
std::string coremlCacheDir(const std::string& dir);

// True for ep strings that ask for CoreML.
bool isCoremlEp(const std::string& ep);
// Text after the seventh character of a CoreML ep string; "all" when shorter.
std::string coremlUnitsSuffix(const std::string& ep);
// The provider's MLComputeUnits value for a units suffix.
const char* coremlComputeUnits(const std::string& suffix);

}  // namespace le
