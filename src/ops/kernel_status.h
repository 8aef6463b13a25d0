// How a custom kernel reports failure to ONNX Runtime: as a status carrying
// one sentence, never as an exception crossing the runtime's C boundary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ort/api.h"

namespace le {

inline OrtStatusPtr refuseRun(const std::string& text) {
  return Ort::GetApi().CreateStatus(ORT_RUNTIME_EXCEPTION, text.c_str());
}

// Runs f, turning its exceptions into the status the runtime reports.
template <class F>
OrtStatusPtr guardedStatus(F&& f) noexcept {
  try {
    return f();
  } catch (const Ort::Exception& e) {
    return Ort::GetApi().CreateStatus(e.GetOrtErrorCode(), e.what());
  } catch (const std::exception& e) {
    return refuseRun(e.what());
  }
}

inline std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i) t += ',';
    t += std::to_string(s[i]);
  }
  return t + "]";
}

}  // namespace le
