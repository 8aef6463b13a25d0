// The manifest is never parsed as a JSON tree: this scanner finds where the
// value of one named key starts, and each reader parses the value in place.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace le::manifest_key {

struct KeyHit {
  size_t pos = 0;       // first non-blank byte of the value (text length if none)
  int depth = 0;        // bracket depth the key stands at (1 = top level)
  bool scalar = false;  // value starts with neither '[' nor '{'
};

inline constexpr size_t npos = std::string::npos;

// Every occurrence of `key` as an object key, in text order. Keys compare as
// raw bytes between the quotes (no unescaping).
std::vector<KeyHit> keyHits(const std::string& text, const char* key);
// Value position of the one scalar occurrence of `key`, preferring the top
// level; npos when there is none; throws when two scalars compete.
size_t scalarValuePos(const std::string& text, const char* key);

// Pointer at the value; throws "manifest: missing key <key>".
const char* findKey(const std::string& text, const char* key);
// String value without escape processing; throws "manifest: bad string <key>".
std::string strField(const std::string& text, const char* key);
// Number under `key`, else under `alias`; -1e300 counts as absent.
double numFieldEither(const std::string& text, const char* key, const char* alias);
// Like numFieldEither but returns kAbsent instead of throwing.
double numFieldOr(const std::string& text, const char* key, const char* alias);
// Optional string: `out` keeps its value when the key is absent or not a
// quoted string; returns whether the resulting string is non-empty.
bool optStr(const std::string& text, const char* key, std::string& out);
// optStr for driver member names, where an empty value also counts as absent.
bool optStrNonEmpty(const std::string& text, const char* key, std::string& out);

inline constexpr double kAbsent = -1e300;

// strtod in the C locale whatever locale the host process has set; `end`
// (when given) receives where the number stopped.
double parseNumber(const char* p, char** end = nullptr);
// Truncation toward zero, saturating at the int range (NaN gives 0).
int truncToInt(double v);

}  // namespace le::manifest_key
