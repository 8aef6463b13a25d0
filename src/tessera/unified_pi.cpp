#include "tessera/unified_pi.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tessera/json.h"

namespace le::tessera {

using json::JVal;
using json::required;

namespace {

constexpr int kKpRows = 21;
constexpr float kLipMin = 0.1f;
constexpr float kGateMin = 0.004f;

// The geometries banks were built against.
struct CorpusEntry {
  const char* name;
  float padX, padY, down;
};
constexpr CorpusEntry kCorpus[] = {{"v1", 0.05f, 0.08f, 0.015f}, {"v2", 0.10f, 0.08f, 0.074f}, {"v3", 0.14f, 0.08f, 0.074f}};
constexpr double kCorpusReach = 8.0;   // px: the best must be this close
constexpr double kCorpusMargin = 3.0;  // px: and this much closer than the second

std::string fmt2(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

// Mean and largest absolute deviation of the lip rows' x and y.
struct LipStats {
  double cx = 0, cy = 0, ex = 0, ey = 0;
};
LipStats lipStats(const std::vector<int>& rows, const float* kp) {
  LipStats s;
  for (int r : rows) s.cx += kp[3 * r], s.cy += kp[3 * r + 1];
  s.cx /= static_cast<double>(rows.size());
  s.cy /= static_cast<double>(rows.size());
  for (int r : rows) {
    s.ex = std::max(s.ex, std::fabs(kp[3 * r] - s.cx));
    s.ey = std::max(s.ey, std::fabs(kp[3 * r + 1] - s.cy));
  }
  return s;
}

// Half-extent plus pad (the bare half-extent for a pad of exactly 0), raised to the minimum.
double radius(double extent, float pad, float minimum) {
  return std::max(pad == 0.0f ? extent : extent + pad, static_cast<double>(minimum));
}

}  // namespace

UnifiedPi UnifiedPi::fromManifestJson(const std::string& manifest, int canvas) {
  const JVal top = json::parseJson(manifest, "manifest");
  const JVal* unified = top.get("unified");
  if (!unified || !unified->isObj())
    throw std::runtime_error(
        "teeth-pi: manifest has no `unified` block — this bundle predates the unified compose and cannot state the pi "
        "geometry it was baked with; refusing to guess one");
  const JVal& pi = required(*unified, "pi");
  UnifiedPi u;
  u.canvas = canvas;
  const JVal& mode = required(pi, "mode");
  if (!mode.isStr()) throw std::runtime_error("teeth-pi: unified.pi.mode is not a string");
  if (mode.str != "prop")
    throw std::runtime_error("teeth-pi: unified.pi.mode '" + mode.str +
                             "' is a compose-mask geometry this port cannot name — fail loud, never adapt (the "
                             "stamped-geometry rule)");
  u.mode = mode.str;
  if (const JVal* cr = pi.get("corner_recovery")) {
    if (cr->type == JVal::kBool)
      u.cornerRecovery = cr->b;
    else if (cr->isStr() && cr->str == "lip_landmark_half")
      u.cornerRecovery = true;
    else
      throw std::runtime_error(
          "teeth-pi: unknown unified.pi.corner_recovery — a compose-mask geometry a consumer cannot name must never "
          "be guessed");
  }
  u.propGateScale = static_cast<float>(json::requiredNumber(pi, "prop_gate_scale"));
  const JVal& lip = required(pi, "lip_idx");
  if (!lip.isArr() || lip.arr.empty()) throw std::runtime_error("teeth-pi: unified.pi.lip_idx is not a non-empty array");
  for (const JVal& r : lip.arr) {
    // A row outside the keypoint set would read past the frame.
    if (!r.isNum() || !(r.num >= 0 && r.num < kKpRows))
      throw std::runtime_error("teeth-pi: unified.pi.lip_idx names a row outside 0..20");
    u.lipIdx.push_back(static_cast<int>(r.num));
  }
  const JVal& geom = required(pi, "lip_geom_params");
  if (!geom.isArr() || geom.arr.size() != 3 || !geom.arr[0].isNum() || !geom.arr[1].isNum() || !geom.arr[2].isNum())
    throw std::runtime_error("teeth-pi: unified.pi.lip_geom_params must be [pad_x, pad_y, down]");
  u.padX = static_cast<float>(geom.arr[0].num);
  u.padY = static_cast<float>(geom.arr[1].num);
  u.down = static_cast<float>(geom.arr[2].num);
  if (const JVal* crop = unified->get("crop"))
    if (const JVal* c = crop->get("canvas"); c && c->isNum() && c->num != canvas)
      throw std::runtime_error("teeth-pi: engine renders at canvas " + std::to_string(canvas) +
                               " but unified.crop.canvas is " + json::numberText(c->num));
  u.xs.resize(static_cast<size_t>(std::max(canvas, 0)));
  for (int i = 0; i < canvas; ++i)
    u.xs[static_cast<size_t>(i)] = canvas > 1 ? 2.0f * static_cast<float>(i) / static_cast<float>(canvas - 1) - 1.0f : -1.0f;
  u.ys = u.xs;
  return u;
}

UnifiedPi UnifiedPi::corpusFromManifestJson(const std::string& manifest, int canvas, const float* frames, int n,
                                            const double* cCanon, std::string* log) {
  if (!frames || n < 1)
    throw std::runtime_error(
        "teeth-pi: the corpus frame is identified from the bundle's own xs_target and none was supplied — refusing to "
        "fall back to the stamped geometry, which is the GRAPH's compose field");
  const UnifiedPi base = fromManifestJson(manifest, canvas);
  struct Candidate {
    UnifiedPi pi;
    const char* name;
    double dist;
  };
  std::vector<Candidate> c;
  for (const CorpusEntry& e : kCorpus) {
    UnifiedPi pi = base;
    pi.padX = e.padX, pi.padY = e.padY, pi.down = e.down;
    double x = 0, y = 0;
    pi.canonicalCentroid(frames, n, x, y);
    c.push_back({std::move(pi), e.name, std::hypot(x - cCanon[0], y - cCanon[1])});
  }
  std::stable_sort(c.begin(), c.end(), [](const Candidate& a, const Candidate& b) { return a.dist < b.dist; });
  std::string list;
  for (const Candidate& k : c) list += (list.empty() ? "" : ", ") + std::string(k.name) + " " + fmt2(k.dist) + "px";
  if (c[0].dist > kCorpusReach)
    throw std::runtime_error("teeth-pi: no corpus pi geometry matches this bank's c_canon (" + fmt2(cCanon[0]) + ", " +
                             fmt2(cCanon[1]) + ") within " + fmt2(kCorpusReach) + "px — " + list +
                             " — the bank's pi frame is unknown and donors will NOT be placed against a frame nobody "
                             "can name");
  if (c.size() >= 2 && c[1].dist - c[0].dist < kCorpusMargin)
    throw std::runtime_error("teeth-pi: corpus pi geometry is AMBIGUOUS (best two within " + fmt2(kCorpusMargin) +
                             "px) — " + list + " — refusing to guess the bank frame");
  if (log)
    *log = "corpus pi geometry " + std::string(c[0].name) + ": " + fmt2(c[0].dist) + " px from c_canon, margin " +
           fmt2(c.size() >= 2 ? c[1].dist - c[0].dist : 0.0) + " px over " + (c.size() >= 2 ? c[1].name : "none");
  return std::move(c[0].pi);
}

UnifiedPi::EllParams UnifiedPi::lipRowEllipse(const float* kp, float px, float py, float minX, float minY,
                                              float scale, float dy) const {
  const LipStats st = lipStats(lipIdx, kp);
  EllParams e;
  const double rx = radius(st.ex, px, minX) * scale, ry = radius(st.ey, py, minY) * scale;
  e.cx = static_cast<float>(st.cx);
  e.cy = static_cast<float>(st.cy + dy);
  e.rx = static_cast<float>(rx);
  e.ry = static_cast<float>(ry);
  e.s = static_cast<float>(std::sqrt(rx * ry) * 256.0);
  return e;
}

float UnifiedPi::lipScale(const float* kp) const {
  if (!cornerRecovery) return 1.0f;
  const LipStats st = lipStats(lipIdx, kp);
  const double cy = st.cy + down;
  const double a = std::max(st.ex + padX, 0.1), b = std::max(st.ey + padY, 0.1);
  const double s0 = std::sqrt(b * a) * 256.0;
  double r = 0;
  for (int i : lipIdx) {
    const double u = (kp[3 * i] - st.cx) / a, v = (kp[3 * i + 1] - cy) / b;
    r = std::max(r, std::sqrt(u * u + v * v));
  }
  return static_cast<float>(std::max(5.0 / s0 + r, 1.0));
}

UnifiedPi::EllParams UnifiedPi::lipParams(const float* kp) const {
  return lipRowEllipse(kp, padX, padY, kLipMin, kLipMin, lipScale(kp), down);
}

UnifiedPi::EllParams UnifiedPi::gateParams(const float* kp, float* gate) const {
  const EllParams e = lipRowEllipse(kp, 0.0f, 0.0f, kGateMin, kGateMin, propGateScale, 0.0f);
  if (gate) {
    const LipStats st = lipStats(lipIdx, kp);
    *gate = smoothRamp(static_cast<float>((st.ey - 0.02) / 0.01));
  }
  return e;
}

Box UnifiedPi::ellBox(const EllParams& e) const {
  if (canvas < 2) return {0, 0, canvas, canvas};
  const double h = (canvas - 1) * 0.5;
  const auto lo = [&](double c, double r) { return std::clamp(pixelInt(std::floor((c - r + 1) * h)) - 1, 0, canvas); };
  const auto hi = [&](double c, double r, int low) {
    return std::max(std::min(pixelInt(std::ceil((c + r + 1) * h)) + 2, canvas), low);
  };
  Box b;
  b.x0 = lo(e.cx, e.rx);
  b.y0 = lo(e.cy, e.ry);
  b.x1 = hi(e.cx, e.rx, b.x0);
  b.y1 = hi(e.cy, e.ry, b.y0);
  return b;
}

Box UnifiedPi::supportBox(const float* kp) const {
  const Box a = ellBox(lipParams(kp));
  const Box b = ellBox(gateParams(kp, nullptr));
  if (a.empty()) return b;
  if (b.empty()) return a;
  return {std::min(a.x0, b.x0), std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

float UnifiedPi::pixelAlpha(const EllParams& e, int x, int y) const {
  const float u = (xs[static_cast<size_t>(x)] - e.cx) / e.rx, v = (ys[static_cast<size_t>(y)] - e.cy) / e.ry;
  const float r = std::sqrt(u * u + v * v);
  return smoothRamp((1.0f - r) * e.s / 10.0f);
}

void UnifiedPi::ellMask(const float* kp, float px, float py, float minX, float minY, float scale, float dy,
                        float* out) const {
  std::fill_n(out, static_cast<size_t>(canvas) * canvas, 0.0f);
  const EllParams e = lipRowEllipse(kp, px, py, minX, minY, scale, dy);
  const Box b = ellBox(e);
  for (int y = b.y0; y < b.y1; ++y)
    for (int x = b.x0; x < b.x1; ++x) out[static_cast<size_t>(y) * canvas + x] = pixelAlpha(e, x, y);
}

void UnifiedPi::lipMask(const float* kp, float* out) const {
  ellMask(kp, padX, padY, kLipMin, kLipMin, lipScale(kp), down, out);
}

void UnifiedPi::propTeethGate(const float* kp, float* out) const {
  float g = 0;
  gateParams(kp, &g);
  ellMask(kp, 0.0f, 0.0f, kGateMin, kGateMin, propGateScale, 0.0f, out);
  for (size_t i = 0, n = static_cast<size_t>(canvas) * canvas; i < n; ++i) out[i] *= g;
}

void UnifiedPi::piInto(const float* kp, const Box& box, int dRow, int dCol, uint8_t* out) const {
  const EllParams lip = lipParams(kp);
  float g = 0;
  const EllParams gate = gateParams(kp, &g);
  const Box lb = ellBox(lip), gb = ellBox(gate);
  for (int y = box.y0; y < box.y1; ++y) {
    uint8_t* row = out + static_cast<size_t>(y + dRow) * canvas + dCol;
    for (int x = box.x0; x < box.x1; ++x) {
      const bool inLip = x >= lb.x0 && x < lb.x1 && y >= lb.y0 && y < lb.y1;
      const bool inGate = g > 0 && x >= gb.x0 && x < gb.x1 && y >= gb.y0 && y < gb.y1;
      const float a = inLip ? pixelAlpha(lip, x, y) : 0.0f;
      const float b = inGate ? g * pixelAlpha(gate, x, y) : 0.0f;
      row[x] = toU8(std::max(a, b));
    }
  }
}

void UnifiedPi::piU8(const float* kp, uint8_t* out) const {
  std::memset(out, 0, static_cast<size_t>(canvas) * canvas);
  piInto(kp, supportBox(kp), 0, 0, out);
}

Box UnifiedPi::piU8Boxed(const float* kp, uint8_t* out) const {
  const Box b = supportBox(kp);
  piInto(kp, b, 0, 0, out);
  return b;
}

Box UnifiedPi::piU8AndShift(const float* kp, int dRow, int dCol, uint8_t* out) const {
  std::memset(out, 0, static_cast<size_t>(canvas) * canvas);
  const Box src = supportBox(kp);
  const Box moved = intersect({src.x0 + dCol, src.y0 + dRow, src.x1 + dCol, src.y1 + dRow}, {0, 0, canvas, canvas});
  // Pi over the source pixels that land on the canvas, written at their new place.
  const Box from{moved.x0 - dCol, moved.y0 - dRow, moved.x1 - dCol, moved.y1 - dRow};
  if (!moved.empty()) piInto(kp, from, dRow, dCol, out);
  return moved;
}

void UnifiedPi::piU8ShrunkBy(const float* kp, const float* contour, const Box& box, uint8_t* out) const {
  std::memset(out, 0, static_cast<size_t>(canvas) * canvas);
  const Box b = intersect(supportBox(kp), box);
  if (b.empty()) return;
  const EllParams lip = lipParams(kp);
  float g = 0;
  const EllParams gate = gateParams(kp, &g);
  for (int y = b.y0; y < b.y1; ++y)
    for (int x = b.x0; x < b.x1; ++x) {
      const size_t i = static_cast<size_t>(y) * canvas + x;
      const float c = contour[i];
      if (c > 0.0f) out[i] = toU8(std::min(c, std::max(pixelAlpha(lip, x, y), g * pixelAlpha(gate, x, y))));
    }
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, int canvas, double& cx, double& cy) {
  return piU8Centroid(mask, canvas, {0, 0, canvas, canvas}, cx, cy);
}

bool UnifiedPi::piU8Centroid(const uint8_t* mask, int canvas, const Box& box, double& cx, double& cy) {
  double sx = 0, sy = 0;
  size_t n = 0;
  for (int y = box.y0; y < box.y1; ++y)
    for (int x = box.x0; x < box.x1; ++x)
      if (mask[static_cast<size_t>(y) * canvas + x] >= 128) sx += x, sy += y, ++n;
  if (n == 0) return false;
  cx = sx / static_cast<double>(n);
  cy = sy / static_cast<double>(n);
  return true;
}

void UnifiedPi::canonicalCentroid(const float* frames, int n, double& cx, double& cy) const {
  std::vector<uint8_t> mask(static_cast<size_t>(canvas) * canvas, 0);
  double sx = 0, sy = 0;
  int have = 0;
  for (int f = 0; f < n; ++f) {
    const float* kp = frames + static_cast<size_t>(f) * 3 * kKpRows;
    const Box b = piU8Boxed(kp, mask.data());
    double x = 0, y = 0;
    if (piU8Centroid(mask.data(), canvas, b, x, y)) sx += x, sy += y, ++have;
    for (int r = b.y0; r < b.y1; ++r) std::memset(mask.data() + static_cast<size_t>(r) * canvas + b.x0, 0, static_cast<size_t>(b.w()));
  }
  if (have == 0)
    throw std::runtime_error(
        "teeth-pi: pi is empty on every source frame — cannot derive the canonical centroid this bundle's frame is "
        "identified by");
  cx = sx / have;
  cy = sy / have;
}

}  // namespace le::tessera
