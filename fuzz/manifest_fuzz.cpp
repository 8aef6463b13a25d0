// Manifest text from an untrusted bundle: the key scanner, every field
// reader and the whole manifest parse must refuse cleanly or succeed.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

#include "bundle/manifest.h"
#include "bundle/manifest_key.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  namespace mk = le::manifest_key;
  for (const char* key : {"NT", "frame_count", "W", "format", "P_hevc", "tessera", ""}) {
    try {
      for (const mk::KeyHit& h : mk::keyHits(text, key))
        if (h.pos > text.size()) __builtin_trap();
      std::string out;
      mk::optStr(text, key, out);
      mk::optStrNonEmpty(text, key, out);
      mk::strField(text, key);
    } catch (const std::exception&) {
    }
    try {
      mk::numFieldEither(text, key, "alias");
    } catch (const std::exception&) {
    }
  }
  try {
    le::parseManifest("/nonexistent-fuzz-bundle", text);
  } catch (const std::exception&) {
  }
  return 0;
}
