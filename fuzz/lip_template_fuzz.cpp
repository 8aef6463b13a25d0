// A lip template from an untrusted bundle: the template and its lip map
// load or refuse with a "lip_template.v1.json: " sentence; a loaded one
// rasterises any frame inside its buffers.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tessera/lip_contour.h"
#include "tessera/unified_pi.h"

namespace {

constexpr int kCanvas = 64;

le::tessera::UnifiedPi plainPi() {
  return le::tessera::UnifiedPi::fromManifestJson(
      R"({"unified":{"pi":{"mode":"prop","prop_gate_scale":1,"lip_idx":[6,12,14,17,19,20],)"
      R"("lip_geom_params":[0.05,0.08,0.015]}}})",
      kCanvas);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const le::tessera::UnifiedPi pi = plainPi();
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    le::tessera::LipContour lc = le::tessera::LipContour::fromTemplateJson(text, kCanvas);
    float kp[63];
    for (int i = 0; i < 63; ++i) kp[i] = static_cast<float>((i * 29 % 37) - 18) / 20.0f;
    std::vector<float> canvas(kCanvas * kCanvas);
    std::vector<uint8_t> mask(kCanvas * kCanvas);
    lc.contourF32Canvas(kp, canvas.data());
    lc.deliveredU8(kp, pi, mask.data());
    lc.deliveredU8AndShift(kp, pi, 3, -2, mask.data());
    for (float v : canvas)
      if (!(v >= 0.0f && v <= 1.0f)) __builtin_trap();
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()).rfind("lip_template.v1.json: ", 0) != 0) __builtin_trap();
  }
  return 0;
}
