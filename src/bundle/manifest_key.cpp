#include "bundle/manifest_key.h"

#include <locale.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace le::manifest_key {
namespace {

bool blank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

std::string listPositions(const std::vector<KeyHit>& hits) {
  std::string s;
  for (const KeyHit& h : hits) {
    if (!s.empty()) s += ", ";
    s += "byte " + std::to_string(h.pos);
  }
  return s;
}

[[noreturn]] void refuseAmbiguous(const char* key, const std::vector<KeyHit>& hits) {
  throw std::runtime_error(
      std::string("manifest: key \"") + key + "\" is AMBIGUOUS — " + std::to_string(hits.size()) +
      " scalar occurrences (" + listPositions(hits) +
      "). A loader that picks one silently installs a number nobody checks. Rename the colliding key (a nested "
      "block must not reuse a name the bundle loader reads: NT/frame_count, H, W, crop/crop_size, amount, sigma, "
      "ksize, frames, M_src_w/paste_source_width, M_src_h/paste_source_height), or produce the bundle with the "
      "legacy manifest layout.");
}

// Quoted value at pos: [open+1, close) or false when either quote is missing.
bool quotedAt(const std::string& text, size_t pos, bool must_start_with_quote, std::string& out) {
  size_t open = pos;
  if (must_start_with_quote) {
    if (open >= text.size() || text[open] != '"') return false;
  } else {
    open = text.find('"', pos);
    if (open == std::string::npos) return false;
  }
  const size_t close = text.find('"', open + 1);
  if (close == std::string::npos) return false;
  out = text.substr(open + 1, close - open - 1);
  return true;
}

double numberOrAbsent(const std::string& text, const char* key) {
  const size_t pos = scalarValuePos(text, key);
  return pos == npos ? kAbsent : parseNumber(text.c_str() + pos);
}

}  // namespace

std::vector<KeyHit> keyHits(const std::string& text, const char* key) {
  std::vector<KeyHit> hits;
  const size_t n = text.size(), klen = std::strlen(key);
  int depth = 0;
  for (size_t i = 0; i < n;) {
    const char c = text[i];
    if (c == '[' || c == '{') {
      ++depth, ++i;
    } else if (c == ']' || c == '}') {
      --depth, ++i;
    } else if (c == '"') {
      size_t end = i + 1;
      while (end < n && text[end] != '"') end += text[end] == '\\' ? 2 : 1;
      if (end >= n) break;  // unterminated string ends the scan
      size_t k = end + 1;
      while (k < n && blank(text[k])) ++k;
      if (k < n && text[k] == ':' && end - i - 1 == klen && text.compare(i + 1, klen, key) == 0) {
        size_t v = k + 1;
        while (v < n && blank(text[v])) ++v;
        if (v < n)
          hits.push_back({v, depth, text[v] != '[' && text[v] != '{'});
        else
          hits.push_back({n, depth, false});
      }
      i = end + 1;
    } else {
      ++i;
    }
  }
  return hits;
}

size_t scalarValuePos(const std::string& text, const char* key) {
  std::vector<KeyHit> scalars, top;
  for (const KeyHit& h : keyHits(text, key)) {
    if (!h.scalar) continue;
    scalars.push_back(h);
    if (h.depth == 1) top.push_back(h);
  }
  if (top.size() == 1) return top[0].pos;
  if (top.size() > 1) refuseAmbiguous(key, top);
  if (scalars.size() == 1) return scalars[0].pos;
  if (scalars.size() > 1) refuseAmbiguous(key, scalars);
  return npos;
}

const char* findKey(const std::string& text, const char* key) {
  const size_t pos = scalarValuePos(text, key);
  if (pos == npos) throw std::runtime_error(std::string("manifest: missing key ") + key);
  return text.c_str() + pos;
}

std::string strField(const std::string& text, const char* key) {
  const size_t pos = static_cast<size_t>(findKey(text, key) - text.c_str());
  std::string out;
  if (!quotedAt(text, pos, false, out)) throw std::runtime_error(std::string("manifest: bad string ") + key);
  return out;
}

double numFieldOr(const std::string& text, const char* key, const char* alias) {
  const double v = numberOrAbsent(text, key);
  return v != kAbsent ? v : numberOrAbsent(text, alias);
}

double numFieldEither(const std::string& text, const char* key, const char* alias) {
  const double v = numFieldOr(text, key, alias);
  if (v == kAbsent) throw std::runtime_error(std::string("manifest: missing key ") + key + "/" + alias);
  return v;
}

bool optStr(const std::string& text, const char* key, std::string& out) {
  const size_t pos = scalarValuePos(text, key);
  std::string value;
  if (pos != npos && quotedAt(text, pos, true, value)) out = value;
  return !out.empty();
}

bool optStrNonEmpty(const std::string& text, const char* key, std::string& out) {
  const size_t pos = scalarValuePos(text, key);
  std::string value;
  if (pos != npos && quotedAt(text, pos, true, value) && !value.empty()) out = value;
  return !out.empty();
}

double parseNumber(const char* p, char** end) {
  static const locale_t c_locale = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return ::strtod_l(p, end, c_locale);
}

int truncToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(v);
}

}  // namespace le::manifest_key
