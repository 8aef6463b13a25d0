// a2x_meta.json from an untrusted motion bundle: the key scan must return a
// value or its default for any bytes, and agree with the whole-meta parse.
#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/a2x_meta.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  namespace a2x = le::a2x;
  const a2x::Meta m = a2x::parseMeta(text);
  if (m.h != a2x::metaInt(text, "h", 256) || m.window != a2x::metaInt(text, "window", -1) ||
      m.left != a2x::metaInt(text, "left", -1) || m.width != a2x::metaFlag(text, "width"))
    __builtin_trap();
  // A key that cannot occur keeps its default.
  if (text.find("\"\x01\"") == std::string::npos && a2x::metaInt(text, "\x01", 7) != 7) __builtin_trap();
  a2x::metaInt(text, "", 0);
  a2x::metaFlag(text, "");
  return 0;
}
