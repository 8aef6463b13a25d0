#include "tessera/lip_contour.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tessera/json.h"
#include "tessera/unified_pi.h"

namespace le::tessera {

using json::JVal;

namespace {

constexpr int kKpRows = 21;
constexpr float kFar = 1e10f;
constexpr float kStep = 0.955f;      // chamfer step to an edge neighbour
constexpr float kDiagonal = 1.3693f;  // and to a corner neighbour

[[noreturn]] void refuseTemplate(const std::string& what) { throw std::runtime_error("lip_template.v1.json: " + what); }

bool kdRow(const JVal& v) { return v.isNum() && v.num >= 0 && v.num < kKpRows && v.num == std::trunc(v.num); }

void readMap(const JVal& m, int canvas, LipContour& lc) {
  if (!m.isObj()) refuseTemplate("lip_map is not a JSON object");
  const std::string schema = json::optStr(m, "schema", "");
  if (schema != "lip-map-v1")
    refuseTemplate("lip_map declares schema '" + schema + "', not '" + "lip-map-v1" + "' — this runtime cannot evaluate it");
  if (json::optStr(m, "kind", "") != "anchor-linear") refuseTemplate("lip_map kind is not '" + std::string("anchor-linear") + "'");
  const JVal* lip = m.get("lip_idx");
  if (lip && lip->isArr())
    for (const JVal& r : lip->arr)
      if (!kdRow(r)) refuseTemplate("lip_map lip_idx names a row outside 0..20");
  if (!lip || !lip->isArr() || lip->arr.empty() || lip->arr.size() > 8) refuseTemplate("lip_map lip_idx is not 1..8 kd rows");
  const JVal* W = m.get("W");
  const JVal* b = m.get("b");
  if (!W || !W->isArr() || !b || !b->isArr()) refuseTemplate("lip_map carries no W/b arrays");
  const size_t rows = 2 * static_cast<size_t>(lc.nv), cols = 2 * lip->arr.size();
  if (W->arr.size() != rows || b->arr.size() != rows)
    refuseTemplate("lip_map W/b have " + std::to_string(W->arr.size()) + "/" + std::to_string(b->arr.size()) +
           " rows, not 2*nv=" + std::to_string(rows));
  std::vector<double> w, bias;
  for (size_t i = 0; i < rows; ++i) {
    const JVal& row = W->arr[i];
    if (!row.isArr() || row.arr.size() != cols)
      refuseTemplate("lip_map W row " + std::to_string(i) + " is not " + std::to_string(cols) + " wide");
    for (const JVal& v : row.arr) w.push_back(v.isNum() ? v.num : NAN);
    bias.push_back(b->arr[i].isNum() ? b->arr[i].num : NAN);
  }
  for (double v : w)
    if (!std::isfinite(v)) refuseTemplate("lip_map carries a non-finite coefficient");
  for (double v : bias)
    if (!std::isfinite(v)) refuseTemplate("lip_map carries a non-finite coefficient");
  const JVal* c = m.get("canvas");
  if (!c || !c->isNum() || c->num != canvas) refuseTemplate("lip_map was fitted on another canvas than this bundle composes on");
  std::vector<int> rowsIdx;
  for (const JVal& r : lip->arr) rowsIdx.push_back(static_cast<int>(r.num));
  lc.attachMap(w.data(), bias.data(), static_cast<int>(rows), static_cast<int>(cols), rowsIdx.data(),
               static_cast<int>(rowsIdx.size()));
}

// Every pixel of a Bresenham line that falls inside the w x h raster.
void line(int x0, int y0, int x1, int y1, int w, int h, uint8_t* r) {
  const int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0);
  const int sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1;
  int err = dx + dy;
  for (;;) {
    if (x0 >= 0 && x0 < w && y0 >= 0 && y0 < h) r[static_cast<size_t>(y0) * w + x0] = 255;
    if (x0 == x1 && y0 == y1) return;
    const int e2 = 2 * err;
    if (e2 >= dy) err += dy, x0 += sx;
    if (e2 <= dx) err += dx, y0 += sy;
  }
}

}  // namespace

LipContour LipContour::fromTemplateJson(const std::string& text, int canvas) {
  JVal t;
  try {
    t = json::JParser(text.data(), text.size()).parse();
  } catch (const std::exception& e) {
    refuseTemplate(std::string("is not parseable JSON (") + e.what() + ")");
  }
  if (!t.isObj()) refuseTemplate("is not a JSON object");
  const JVal* format = t.get("format");
  if (!format || !format->isStr()) refuseTemplate("carries no string `format`");
  if (format->str != "lip-template-v1")
    refuseTemplate("declares format '" + format->str + "', not '" + "lip-template-v1" + "' — this runtime cannot read it");
  if (const JVal* edge = t.get("edge"); edge && !(edge->isStr() && edge->str == "outward"))
    refuseTemplate("declares edge '" + (edge->isStr() ? edge->str : std::string()) +
           "', and the contour feather is OUTWARD — refusing to serve a mask this runtime does not compute");
  const JVal* c = t.get("canvas");
  if (!c || !c->isNum()) refuseTemplate("carries no numeric `canvas`");
  if (c->num != canvas)
    refuseTemplate("was baked on a " + json::numberText(c->num) + " canvas but this bundle composes on " +
           std::to_string(canvas) + " — refusing to deform a polygon onto a canvas it does not name");
  const JVal* feather = t.get("feather_px");
  if (!feather || !feather->isNum()) refuseTemplate("carries no numeric `feather_px`");
  if (!(feather->num > 0)) {
    char b[64];
    std::snprintf(b, sizeof b, "%f", feather->num);
    refuseTemplate(std::string("declares feather_px ") + b + ", which is not positive");
  }
  const JVal* u = t.get("u_canon");
  if (!u || !u->isArr() || u->arr.empty()) refuseTemplate("carries no non-empty `u_canon` array");
  LipContour lc;
  lc.canvas = canvas;
  // Wider feathers than the canvas change nothing and would only cost time.
  lc.feather_px = static_cast<float>(std::min(feather->num, 4.0 * std::max(canvas, 1)));
  for (size_t i = 0; i < u->arr.size(); ++i) {
    const JVal& row = u->arr[i];
    if (!row.isArr() || row.arr.size() != 2 || !row.arr[0].isNum() || !row.arr[1].isNum())
      refuseTemplate("u_canon row " + std::to_string(i) + " is not a 2-vector — this is not an nv x 2 template");
    lc.u_canon.push_back(row.arr[0].num);
    lc.u_canon.push_back(row.arr[1].num);
  }
  lc.nv = static_cast<int>(u->arr.size());
  const JVal* lip = t.get("lip_idx");
  if (!lip || !lip->isArr() || lip->arr.empty()) refuseTemplate("carries a `lip_idx` that is not a non-empty array");
  for (const JVal& r : lip->arr) {
    if (!kdRow(r))
      refuseTemplate("lip_idx names keypoint row " + (r.isNum() ? json::numberText(r.num) : std::string("(not a number)")) +
             ", and a kd row is 0..20");
    lc.lipIdx.push_back(static_cast<int>(r.num));
  }
  if (const JVal* m = t.get("lip_map")) readMap(*m, canvas, lc);
  return lc;
}

void LipContour::attachMap(const double* W, const double* b, int rows, int cols, const int* lipRows, int nLip) {
  if (rows != 2 * nv || cols != 2 * nLip) refuseTemplate("lip_map shape does not match the template");
  mapW.assign(W, W + static_cast<size_t>(rows) * cols);
  mapB.assign(b, b + rows);
  mapLip.assign(lipRows, lipRows + nLip);
}

const char* LipContour::kind() const { return hasMap() ? "lip-map-v1" : "plate-template-v1"; }

void LipContour::polygon(const float* kp, double* out) const {
  const double half = canvas * 0.5;
  const auto px = [&](int r) { return (kp[3 * r] + 1.0) * half; };
  const auto py = [&](int r) { return (kp[3 * r + 1] + 1.0) * half; };
  double cx = 0, cy = 0;
  for (int r : lipIdx) cx += px(r), cy += py(r);
  cx /= static_cast<double>(lipIdx.size());
  cy /= static_cast<double>(lipIdx.size());
  if (hasMap()) {
    const size_t m = 2 * mapLip.size();
    for (size_t j = 0; j < 2 * static_cast<size_t>(nv); ++j) {
      double v = (j % 2 ? cy : cx) + mapB[j];
      const double* w = mapW.data() + j * m;
      for (size_t k = 0; k < mapLip.size(); ++k)
        v += w[2 * k] * (px(mapLip[k]) - cx) + w[2 * k + 1] * (py(mapLip[k]) - cy);
      out[j] = v;
    }
    return;
  }
  double sx = 0, sy = 0;
  for (int r : lipIdx) sx = std::max(sx, std::fabs(px(r) - cx)), sy = std::max(sy, std::fabs(py(r) - cy));
  sx = std::max(sx, 1e-6);
  sy = std::max(sy, 1e-6);
  for (int i = 0; i < nv; ++i) {
    out[2 * i] = sx * u_canon[2 * static_cast<size_t>(i)] + cx;
    out[2 * i + 1] = sy * u_canon[2 * static_cast<size_t>(i) + 1] + cy;
  }
}

Box LipContour::box(const double* poly) const {
  double minx = poly[0], maxx = poly[0], miny = poly[1], maxy = poly[1];
  for (int i = 0; i < nv; ++i) {
    minx = std::min(minx, poly[2 * i]), maxx = std::max(maxx, poly[2 * i]);
    miny = std::min(miny, poly[2 * i + 1]), maxy = std::max(maxy, poly[2 * i + 1]);
  }
  // A vertex that is not a number places the polygon nowhere.
  for (int i = 0; i < 2 * nv; ++i)
    if (!std::isfinite(poly[i])) return {};
  const double pad = feather_px + 2.0;
  Box b;
  b.x0 = std::clamp(pixelInt(std::floor(minx - pad)), 0, canvas);
  b.y0 = std::clamp(pixelInt(std::floor(miny - pad)), 0, canvas);
  b.x1 = std::max(std::min(pixelInt(std::ceil(maxx + pad)) + 1, canvas), b.x0);
  b.y1 = std::max(std::min(pixelInt(std::ceil(maxy + pad)) + 1, canvas), b.y0);
  return b;
}

void LipContour::fillScanline(const double* poly, const Box& bx, uint8_t* raster) const {
  const int w = bx.w(), h = bx.h();
  std::memset(raster, 0, static_cast<size_t>(w) * h);
  // Box-relative vertices; ones far off the canvas are held a few canvases
  // away, so a wild keypoint costs bounded work.
  const int far = 4 * std::max(canvas, 1);
  std::vector<int>& vx = fill_.vx;
  std::vector<int>& vy = fill_.vy;
  vx.resize(static_cast<size_t>(nv));
  vy.resize(static_cast<size_t>(nv));
  for (int i = 0; i < nv; ++i) {
    vx[static_cast<size_t>(i)] = std::clamp(pixelInt(std::nearbyint(poly[2 * i])), -far, far) - bx.x0;
    vy[static_cast<size_t>(i)] = std::clamp(pixelInt(std::nearbyint(poly[2 * i + 1])), -far, far) - bx.y0;
  }
  for (int i = 0; i < nv; ++i) {
    const size_t a = static_cast<size_t>(i == 0 ? nv - 1 : i - 1), b = static_cast<size_t>(i);
    line(vx[a], vy[a], vx[b], vy[b], w, h, raster);
  }
  std::vector<FillScratch::Edge>& edges = fill_.edges;
  edges.clear();
  for (int i = 0; i < nv; ++i) {
    size_t a = static_cast<size_t>(i == 0 ? nv - 1 : i - 1), b = static_cast<size_t>(i);
    if (vy[a] == vy[b]) continue;
    if (vy[a] > vy[b]) std::swap(a, b);
    const int64_t dy = vy[b] - vy[a];
    edges.push_back({vy[a], vy[b], int64_t{vx[a]} * 65536, (int64_t{vx[b]} - vx[a]) * 65536 / dy});
  }
  std::vector<int64_t>& xs = fill_.xs;
  for (int row = 0; row < h; ++row) {
    xs.clear();
    for (const FillScratch::Edge& e : edges)
      if (e.y0 <= row && row < e.y1) xs.push_back(e.x0 + (row - e.y0) * e.slope);
    std::sort(xs.begin(), xs.end());
    for (size_t k = 0; k + 1 < xs.size(); k += 2) {
      const int64_t lo = std::max<int64_t>((xs[k] + 65535) >> 16, 0);
      const int64_t hi = std::min<int64_t>(xs[k + 1] >> 16, w - 1);
      if (lo <= hi) std::memset(raster + static_cast<size_t>(row) * w + lo, 255, static_cast<size_t>(hi - lo + 1));
    }
  }
}

void LipContour::contourF32(const double* poly, const Box& bx, float* out) {
  if (bx.empty()) return;
  const int w = bx.w(), h = bx.h();
  raster_.resize(static_cast<size_t>(w) * h);
  dist_.resize(raster_.size());
  fillScanline(poly, bx, raster_.data());
  float* d = dist_.data();
  for (size_t i = 0; i < raster_.size(); ++i) d[i] = raster_[i] ? 0.0f : kFar;
  const auto at = [&](int x, int y) -> float& { return d[static_cast<size_t>(y) * w + x]; };
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      float v = at(x, y);
      if (x > 0) v = std::min(v, at(x - 1, y) + kStep);
      if (y > 0) {
        v = std::min(v, at(x, y - 1) + kStep);
        if (x > 0) v = std::min(v, at(x - 1, y - 1) + kDiagonal);
        if (x + 1 < w) v = std::min(v, at(x + 1, y - 1) + kDiagonal);
      }
      at(x, y) = v;
    }
  for (int y = h - 1; y >= 0; --y)
    for (int x = w - 1; x >= 0; --x) {
      float v = at(x, y);
      if (x + 1 < w) v = std::min(v, at(x + 1, y) + kStep);
      if (y + 1 < h) {
        v = std::min(v, at(x, y + 1) + kStep);
        if (x + 1 < w) v = std::min(v, at(x + 1, y + 1) + kDiagonal);
        if (x > 0) v = std::min(v, at(x - 1, y + 1) + kDiagonal);
      }
      at(x, y) = v;
    }
  for (int y = 0; y < h; ++y) {
    float* row = out + static_cast<size_t>(bx.y0 + y) * canvas + bx.x0;
    for (int x = 0; x < w; ++x) row[x] = smoothRamp(1.0f - at(x, y) / feather_px);
  }
}

void LipContour::contourF32Canvas(const float* kp, float* out) {
  poly_.resize(2 * static_cast<size_t>(nv));
  polygon(kp, poly_.data());
  std::fill_n(out, static_cast<size_t>(canvas) * canvas, 0.0f);
  contourF32(poly_.data(), box(poly_.data()), out);
}

void LipContour::deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out) {
  poly_.resize(2 * static_cast<size_t>(nv));
  polygon(kp, poly_.data());
  const Box b = box(poly_.data());
  if (b.empty()) {
    std::memset(out, 0, static_cast<size_t>(canvas) * canvas);
    return;
  }
  // Only the box of the kept canvas is written and read.
  contour_.resize(static_cast<size_t>(canvas) * canvas);
  contourF32(poly_.data(), b, contour_.data());
  pi.piU8ShrunkBy(kp, contour_.data(), b, out);
}

bool LipContour::shrinkMoved(const float* kp, const Box& bx, int dRow, int dCol, uint8_t* mask) {
  poly_.resize(2 * static_cast<size_t>(nv));
  polygon(kp, poly_.data());
  for (int i = 0; i < nv; ++i) poly_[2 * static_cast<size_t>(i)] += dCol, poly_[2 * static_cast<size_t>(i) + 1] += dRow;
  const Box pb = box(poly_.data());
  const Box keep = intersect(bx, pb);
  if (!keep.empty()) {
    contour_.resize(static_cast<size_t>(canvas) * canvas);
    contourF32(poly_.data(), pb, contour_.data());
  }
  bool any = false;
  for (int y = bx.y0; y < bx.y1; ++y)
    for (int x = bx.x0; x < bx.x1; ++x) {
      const size_t i = static_cast<size_t>(y) * canvas + x;
      const bool inside = x >= keep.x0 && x < keep.x1 && y >= keep.y0 && y < keep.y1;
      mask[i] = inside ? std::min(mask[i], toU8(contour_[i])) : 0;
      any = any || mask[i];
    }
  return any;
}

bool LipContour::shrinkU8InPlace(const float* kp, const Box& bx, uint8_t* mask) {
  return shrinkMoved(kp, intersect(bx, {0, 0, canvas, canvas}), 0, 0, mask);
}

Box LipContour::deliveredU8AndShift(const float* kp, const UnifiedPi& pi, int dRow, int dCol, uint8_t* out) {
  const Box moved = pi.piU8AndShift(kp, dRow, dCol, out);
  shrinkMoved(kp, moved, dRow, dCol, out);
  return moved;
}

}  // namespace le::tessera
