#include "tessera/serve_config.h"

#include <cmath>
#include <stdexcept>

#include "tessera/json.h"
#include "tessera/members.h"

namespace le::tessera {

GeometryStamp GeometryStamp::fromInts(const int* v) {
  GeometryStamp s;
  s.canvasW = v[0], s.canvasH = v[1];
  s.windowX = v[2], s.windowY = v[3], s.windowW = v[4], s.windowH = v[5];
  s.shiftMargin = v[6];
  s.bandR0 = v[7], s.bandR1 = v[8], s.bandC0 = v[9], s.bandC1 = v[10];
  s.storedMargin = v[11];
  return s;
}

void GeometryStamp::validate() const {
  // 64-bit sums: a hostile stamp must not overflow its own check.
  using L = long long;
  std::string failed;
  const auto rule = [&](bool ok, const char* text) {
    if (!ok) failed += std::string(" ") + text + ";";
  };
  rule(windowW > 0 && windowH > 0, "window dims must be positive");
  rule(windowX >= 0 && L(windowX) + windowW <= canvasW, "window x-range escapes canvas");
  rule(windowY >= 0 && L(windowY) + windowH <= canvasH, "window y-range escapes canvas");
  rule(bandR0 >= 0 && bandR0 < bandR1 && bandR1 <= windowH, "band rows escape window");
  rule(bandC0 >= 0 && bandC0 < bandC1 && bandC1 <= windowW, "band cols escape window");
  rule(shiftMargin > 0, "pad/shift_margin must be positive");
  rule(L(shiftMargin) + bandR0 >= storedMargin && L(windowH) + 2 * L(shiftMargin) >= L(shiftMargin) + bandR1 + storedMargin,
       "stored band rows escape patch");
  rule(L(shiftMargin) + bandC0 >= storedMargin && L(shiftMargin) + bandC1 + storedMargin <= L(windowW) + 2 * L(shiftMargin),
       "stored band cols escape patch");
  if (!failed.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + failed);
}

std::string GeometryStamp::text() const {
  return tesseraStampText({canvasW, canvasH, windowX, windowY, windowW, windowH, shiftMargin, bandR0, bandR1, bandC0,
                           bandC1, storedMargin});
}

ServeConfig ServeConfig::fromHeadMemberJson(const std::string& text) {
  const json::JVal top = json::parseJson(text, "tessera_head.v1.json");
  const json::JVal* retrieval = top.get("retrieval");
  const json::JVal* temporal = top.get("temporal");
  if (!retrieval || !retrieval->isObj() || !temporal || !temporal->isObj())
    throw std::runtime_error(
        "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve "
        "defaults (W3-01)");
  // Ints are truncated; a value beyond int's range saturates rather than wraps.
  const auto toInt = [](double v) {
    if (!(v > -2147483648.0)) return -2147483647 - 1;
    if (v >= 2147483647.0) return 2147483647;
    return static_cast<int>(v);
  };
  ServeConfig c;
  if (const json::JVal* k = retrieval->get("kshort"); k && k->isNum()) c.kshort = toInt(k->num);
  c.apertureTol = json::requiredNumber(*retrieval, "aperture_tol");
  c.cut = toInt(json::requiredNumber(*retrieval, "cut"));
  c.K = toInt(json::requiredNumber(*retrieval, "K"));
  c.hysteresis = toInt(json::requiredNumber(*temporal, "hysteresis"));
  c.lookahead = toInt(json::requiredNumber(*temporal, "lookahead"));
  if (const json::JVal* decode = top.get("decode"); decode && decode->isObj())
    if (const json::JVal* env = decode->get("envelope_clamp_255"); env && env->isNum() && std::fabs(env->num - 12.0) > 1e-6)
      throw std::runtime_error(
          "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  return c;
}

}  // namespace le::tessera
