#include "tessera/json.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bundle/manifest_key.h"

namespace le::tessera::json {

namespace {

// Deeper nesting than any member needs; bounds the recursion on hostile input.
constexpr int kMaxDepth = 256;

bool numberChar(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '+' || c == '-' ||
         c == '.';
}

}  // namespace

const JVal* JVal::get(const std::string& key) const {
  if (type != kObject) return nullptr;
  for (const auto& [k, v] : obj)
    if (k == key) return &v;
  return nullptr;
}

void JParser::blanks() {
  while (more() && (p_[i_] == ' ' || p_[i_] == '\t' || p_[i_] == '\n' || p_[i_] == '\r')) ++i_;
}

bool JParser::literal(const char* word) {
  const size_t len = std::strlen(word);
  if (n_ - i_ < len || std::memcmp(p_ + i_, word, len) != 0) return false;
  i_ += len;
  return true;
}

JVal JParser::parse() { return value(0); }

JVal JParser::value(int depth) {
  blanks();
  if (!more()) throw std::runtime_error("teeth: JSON truncated");
  if (depth > kMaxDepth) throw std::runtime_error("teeth: JSON nests deeper than " + std::to_string(kMaxDepth));
  JVal v;
  const char c = p_[i_];
  if (c == '{') return object(depth + 1);
  if (c == '[') return array(depth + 1);
  if (c == '"') {
    v.type = JVal::kString;
    v.str = string();
  } else if (literal("true")) {
    v.type = JVal::kBool;
    v.b = true;
  } else if (literal("false")) {
    v.type = JVal::kBool;
  } else if (literal("null")) {
    v.type = JVal::kNull;
  } else {
    v.type = JVal::kNumber;
    v.num = number();
  }
  return v;
}

JVal JParser::object(int depth) {
  JVal v;
  v.type = JVal::kObject;
  ++i_;  // '{'
  blanks();
  if (more() && p_[i_] == '}') {
    ++i_;
    return v;
  }
  for (;;) {
    blanks();
    if (!more() || p_[i_] != '"') throw std::runtime_error("teeth: malformed JSON object");
    std::string key = string();
    blanks();
    if (!more() || p_[i_] != ':') throw std::runtime_error("teeth: malformed JSON object");
    ++i_;
    JVal member = value(depth);
    v.obj.push_back({std::move(key), std::move(member)});
    blanks();
    if (more() && p_[i_] == ',') {
      ++i_;
      continue;
    }
    if (more() && p_[i_] == '}') {
      ++i_;
      return v;
    }
    throw std::runtime_error("teeth: malformed JSON object");
  }
}

JVal JParser::array(int depth) {
  JVal v;
  v.type = JVal::kArray;
  ++i_;  // '['
  blanks();
  if (more() && p_[i_] == ']') {
    ++i_;
    return v;
  }
  for (;;) {
    v.arr.push_back(value(depth));
    blanks();
    if (more() && p_[i_] == ',') {
      ++i_;
      continue;
    }
    if (more() && p_[i_] == ']') {
      ++i_;
      return v;
    }
    throw std::runtime_error("teeth: malformed JSON array");
  }
}

std::string JParser::string() {
  ++i_;  // opening quote
  std::string s;
  while (more()) {
    const char c = p_[i_++];
    if (c == '"') return s;
    if (c != '\\') {
      s += c;
      continue;
    }
    if (!more()) break;
    const char e = p_[i_++];
    switch (e) {
      case 'n': s += '\n'; break;
      case 't': s += '\t'; break;
      case 'r': s += '\r'; break;
      case 'b': s += '\b'; break;
      case 'f': s += '\f'; break;
      case 'u':
        s += '?';
        i_ += std::min<size_t>(4, n_ - i_);
        break;
      default: s += e;
    }
  }
  return s;  // unterminated: the rest of the input
}

double JParser::number() {
  size_t end = i_;
  while (end < n_ && numberChar(p_[end])) ++end;
  // strtod needs a terminated copy; it never reads past these characters,
  // and reads them in the C locale whatever the host set.
  const std::string text(p_ + i_, end - i_);
  char* stop = nullptr;
  const double d = manifest_key::parseNumber(text.c_str(), &stop);
  if (stop == text.c_str()) throw std::runtime_error("teeth: bad JSON number");
  i_ += static_cast<size_t>(stop - text.c_str());
  return d;
}

JVal parseJson(const std::string& text, const std::string& path) {
  try {
    return JParser(text.data(), text.size()).parse();
  } catch (const std::exception& e) {
    throw std::runtime_error("teeth: " + path + " is not readable JSON: " + e.what());
  }
}

double reqNum(const JVal& object, const std::string& key, const std::string& context) {
  const JVal* v = object.get(key);
  if (!v || !v->isNum()) throw std::runtime_error("teeth: " + context + " lacks numeric '" + key + "'");
  return v->num;
}

namespace {
[[noreturn]] void lacksKey(const char* key) {
  throw std::runtime_error(std::string("teeth: member JSON lacks key '") + key + "'");
}
}  // namespace

const JVal& required(const JVal& object, const char* key) {
  const JVal* v = object.get(key);
  if (!v) lacksKey(key);
  return *v;
}

double requiredNumber(const JVal& object, const char* key) {
  const JVal* v = object.get(key);
  if (!v || !v->isNum()) lacksKey(key);
  return v->num;
}

std::string numberText(double v) {
  char b[64];
  if (std::fabs(v) < 1e15 && v == std::trunc(v))
    std::snprintf(b, sizeof b, "%.0f", v);
  else
    std::snprintf(b, sizeof b, "%g", v);
  return b;
}

std::string optStr(const JVal& object, const std::string& key, const std::string& fallback) {
  const JVal* v = object.get(key);
  return v && v->isStr() ? v->str : fallback;
}

}  // namespace le::tessera::json
