// a2x_meta.json of a motion bundle, read by a plain text scan rather than a
// JSON parse: the first occurrence of the key in double quotes, the first
// ':' after it, then a base-10 integer. Anything else yields the default.
#pragma once

#include <string>

namespace le::a2x {

// The integer after "key": in text; `fallback` when the key is absent, has
// no ':' after it or no integer follows. Saturates at the int range.
int metaInt(const std::string& text, const char* key, int fallback);
// "width": true / false, or an integer (non-zero is true); absent is false.
bool metaFlag(const std::string& text, const char* key);

struct Meta {
  int h = 256;
  int window = -1;  // per-layer look-ahead of the encoder attention, frames
  int left = -1;    // per-layer look-back
  int layers = 6;
  bool width = false;
  int silencePrime = 0;
};

Meta parseMeta(const std::string& text);

}  // namespace le::a2x
