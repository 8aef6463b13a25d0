// meta.json from an untrusted motion-pipeline directory: the key scan must
// return a number or throw one of its sentences for any bytes, and the
// whole-meta parse must agree with it.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "audio/motion_meta.h"

namespace {

bool scanned(const std::string& text, const char* key, double& v) {
  try {
    v = le::motion::jsonNum(text, key, -1, false);
    return true;
  } catch (const std::runtime_error& e) {
    if (std::string(e.what()) != std::string("meta.json: bad ") + key) __builtin_trap();
    return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  namespace motion = le::motion;
  double nt = 0;
  const bool ntOk = scanned(text, "nt", nt);
  try {
    const motion::Meta m = motion::parseMeta(text);
    if (!ntOk || m.nt != nt || m.nt < 1 || m.nEmo < 1 || !std::isfinite(m.sBridge) || !std::isfinite(m.deltaPitch))
      __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  // A key that cannot occur keeps its default.
  double v = 0;
  if (text.find("\"\x01\"") == std::string::npos && (!scanned(text, "\x01", v) || v != -1)) __builtin_trap();
  scanned(text, "", v);
  return 0;
}
