// ONNX Runtime entry: the C++ wrapper is bound to API version 26 of whatever
// libonnxruntime the process loaded, once, before any Ort:: object is made.
#pragma once

#include <onnxruntime_cxx_api.h>

namespace le::ort {

inline constexpr uint32_t kApiVersion = 26;

// The bound API table; throws when the runtime does not offer version 26.
const OrtApi& api();

}  // namespace le::ort
