#include "audio/motion_meta.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace le::motion {
namespace {

[[noreturn]] void bad(const char* key) { throw std::runtime_error(std::string("meta.json: bad ") + key); }

int count(const std::string& text, const char* key) {
  const double v = jsonNum(text, key, 0, true);
  if (!(v >= 1 && v <= 2147483647.0) || v != std::floor(v)) bad(key);
  return static_cast<int>(v);
}

}  // namespace

double jsonNum(const std::string& text, const char* key, double fallback, bool required) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string::npos) {
    if (required) throw std::runtime_error(std::string("meta.json: missing ") + key);
    return fallback;
  }
  const size_t colon = text.find(':', at + quoted.size());
  if (colon == std::string::npos) bad(key);
  // strtod needs a terminated string; the number is copied out first so a
  // text without a terminator after it cannot be read past.
  size_t p = colon + 1;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) ++p;
  size_t e = p;
  while (e < text.size() && e - p < 64 && std::string("+-.0123456789eE").find(text[e]) != std::string::npos) ++e;
  const std::string number = text.substr(p, e - p);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(number.c_str(), &end);
  if (end == number.c_str() || errno == ERANGE) bad(key);
  return v;
}

Meta parseMeta(const std::string& text) {
  Meta m;
  m.nt = count(text, "nt");
  const int nSrc = count(text, "n_src");
  m.nEmo = count(text, "n_emo");
  const double bridge = jsonNum(text, "s_bridge", 0, true);
  const double pitch = jsonNum(text, "delta_pitch", 0, false);
  if (!std::isfinite(static_cast<float>(bridge))) bad("s_bridge");
  if (!std::isfinite(static_cast<float>(pitch))) bad("delta_pitch");
  if (nSrc != m.nt) throw std::runtime_error("le_motion: n_src != nt unsupported");
  m.sBridge = static_cast<float>(bridge);
  m.deltaPitch = static_cast<float>(pitch);
  return m;
}

}  // namespace le::motion
