// meta.json of a motion-pipeline directory, read by a key scan rather than
// a JSON parse: the key in double quotes, the next ':' after it, then a
// decimal floating-point number.
#pragma once

#include <string>

namespace le::motion {

// The number after "key":. Absent: throws "meta.json: missing <key>" when
// required, else returns fallback. No ':' after the key, or no number
// after the ':': throws "meta.json: bad <key>".
double jsonNum(const std::string& text, const char* key, double fallback, bool required);

struct Meta {
  int nt = 0;
  int nEmo = 0;
  float sBridge = 0.0f;
  float deltaPitch = 0.0f;
};

// Reads and checks every key; throws the scanner's texts, "le_motion: n_src
// != nt unsupported", or "meta.json: bad <key>" for a count below 1 or
// beyond the int range and for a value that is not finite.
Meta parseMeta(const std::string& text);

}  // namespace le::motion
