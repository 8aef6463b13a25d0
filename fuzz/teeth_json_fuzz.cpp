// Sidecar, head config and manifest text from an untrusted bundle: the teeth
// JSON reader must parse or refuse with a "teeth: " sentence, and the teeth
// members' checks over what it parsed must do the same.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "tessera/json.h"
#include "tessera/unified_pi.h"

namespace {

void expectTeethText(const std::runtime_error& e) {
  const std::string t = e.what();
  if (t.rfind("teeth", 0) != 0) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const le::tessera::json::JVal v = le::tessera::json::parseJson(text, "fuzz.json");
    le::tessera::json::optStr(v, "format", "");
    if (const auto* g = v.get("geometry")) le::tessera::json::reqNum(*g, "pad", "fuzz.json.geometry");
  } catch (const std::runtime_error& e) {
    expectTeethText(e);
  }
  try {
    const le::tessera::UnifiedPi pi = le::tessera::UnifiedPi::fromManifestJson(text, 64);
    float kp[63] = {};
    for (int i = 0; i < 63; ++i) kp[i] = static_cast<float>((i * 37 % 41) - 20) / 40.0f;
    uint8_t mask[64 * 64];
    pi.piU8(kp, mask);
  } catch (const std::runtime_error& e) {
    expectTeethText(e);
  }
  return 0;
}
