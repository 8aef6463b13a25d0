#include "audio/a2x_meta.h"

#include <cctype>
#include <climits>
#include <cstring>

namespace le::a2x {
namespace {

// Position just past the ':' that follows the first quoted `key`, or npos.
size_t valueStart(const std::string& text, const char* key) {
  const std::string quoted = std::string("\"") + key + "\"";
  const size_t at = text.find(quoted);
  if (at == std::string::npos) return std::string::npos;
  const size_t colon = text.find(':', at + quoted.size());
  if (colon == std::string::npos) return std::string::npos;
  size_t p = colon + 1;
  while (p < text.size() && (text[p] == ' ' || text[p] == '\t' || text[p] == '\n' || text[p] == '\r')) ++p;
  return p;
}

// Base-10 integer at p with an optional sign; false when no digit follows.
bool parseInt(const std::string& text, size_t p, int& out) {
  bool negative = false;
  if (p < text.size() && (text[p] == '-' || text[p] == '+')) negative = text[p++] == '-';
  if (p >= text.size() || !std::isdigit(static_cast<unsigned char>(text[p]))) return false;
  long long v = 0;
  for (; p < text.size() && std::isdigit(static_cast<unsigned char>(text[p])); ++p)
    if (v <= INT_MAX) v = v * 10 + (text[p] - '0');
  if (negative) v = -v;
  out = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
  return true;
}

}  // namespace

int metaInt(const std::string& text, const char* key, int fallback) {
  const size_t p = valueStart(text, key);
  int v = 0;
  return p != std::string::npos && parseInt(text, p, v) ? v : fallback;
}

bool metaFlag(const std::string& text, const char* key) {
  const size_t p = valueStart(text, key);
  if (p == std::string::npos) return false;
  if (text.compare(p, 4, "true") == 0) return true;
  if (text.compare(p, 5, "false") == 0) return false;
  int v = 0;
  return parseInt(text, p, v) && v != 0;
}

Meta parseMeta(const std::string& text) {
  Meta m;
  m.h = metaInt(text, "h", 256);
  m.window = metaInt(text, "window", -1);
  m.left = metaInt(text, "left", -1);
  m.layers = metaInt(text, "layers", 6);
  m.width = metaFlag(text, "width");
  m.silencePrime = metaInt(text, "silence_prime", 0);
  return m;
}

}  // namespace le::a2x
