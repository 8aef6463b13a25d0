// The compose v2 block of a lip template: one prepared compose structure per
// director member, bound by hash to the member bytes it was built from.
#include <cstring>

#include "tessera/json.h"
#include "tessera/lip_contour.h"

namespace le::tessera {

using json::JVal;

namespace {

bool lowerHex64(const JVal* v) {
  if (!v || !v->isStr() || v->str.size() != 64) return false;
  for (char c : v->str)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  return true;
}

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int fail(std::string* reason, const std::string& why) {
  if (reason) *reason = why;
  return -1;
}

}  // namespace

bool decodeBase64Strict(const std::string& s, std::vector<uint8_t>& out, std::string& why) {
  out.clear();
  if (s.size() % 4) {
    why = "base64 length " + std::to_string(s.size()) + " is not a multiple of 4";
    return false;
  }
  size_t pad = 0;
  while (pad < 2 && pad < s.size() && s[s.size() - 1 - pad] == '=') ++pad;
  const size_t body = s.size() - pad;
  for (size_t i = 0; i < body; ++i) {
    if (s[i] == '=') {
      why = "base64 padding is not at the end";
      return false;
    }
    if (sextet(s[i]) < 0) {
      why = "base64 carries a byte outside the standard alphabet at " + std::to_string(i);
      return false;
    }
  }
  out.reserve(body / 4 * 3 + 2);
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < body; ++i) {
    acc = (acc << 6) | static_cast<uint32_t>(sextet(s[i]));
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  if (acc != 0) {
    why = "base64 tail carries non-zero padding bits (not canonical)";
    out.clear();
    return false;
  }
  return true;
}

int composeV2StructureFromTemplate(const std::string& text, const std::string& member, std::vector<uint8_t>& structure,
                                   std::string& sourceSha256, std::string& structureSha256, std::string* reason) {
  JVal t;
  try {
    t = json::JParser(text.data(), text.size()).parse();
  } catch (const std::exception& e) {
    return fail(reason, std::string("lip_template.v1.json is not parseable JSON (") + e.what() + ")");
  }
  const JVal* cv = t.get("compose_v2");
  if (!cv) return 0;
  if (!cv->isObj()) return fail(reason, "compose_v2 is not a JSON object");
  const std::string schema = json::optStr(*cv, "schema", "");
  if (schema != "compose-v2-structure-v1")
    return fail(reason, "compose_v2 schema '" + schema + "' is not '" + "compose-v2-structure-v1" + "'");
  const JVal* graphs = cv->get("graphs");
  if (!graphs || !graphs->isObj()) return fail(reason, "compose_v2 carries no `graphs` object");
  const std::string at = std::string("compose_v2") + ".graphs." + member;
  const JVal* g = graphs->get(member);
  if (!g) return fail(reason, at + " is absent — the structure was built for other members");
  if (!g->isObj()) return fail(reason, at + " is not a JSON object");
  if (!lowerHex64(g->get("source_sha256"))) return fail(reason, at + ".source_sha256 is not 64 lowercase hex");
  const JVal* s = g->get("structure");
  if (!s || !s->isStr() || s->str.empty()) return fail(reason, at + ".structure is not a non-empty string");
  if (!lowerHex64(g->get("structure_sha256"))) return fail(reason, at + ".structure_sha256 is not 64 lowercase hex");
  std::string why;
  if (!decodeBase64Strict(s->str, structure, why)) return fail(reason, at + ".structure: " + why);
  sourceSha256 = g->get("source_sha256")->str;
  structureSha256 = g->get("structure_sha256")->str;
  return 1;
}

}  // namespace le::tessera
