#include "tessera/stream_borrow.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "base/log.h"
#include "pool/pool.h"

namespace le::tessera {
namespace {

constexpr float kByteStep = 0.003921569f;  // 1/255 as the write-back rounds it

void checkWindow(const FrameResult& r, const GeometryStamp& st) {
  if (r.window.size() != static_cast<size_t>(st.windowW) * st.windowH * 3)
    throw std::runtime_error("teeth stream: window " + std::to_string(r.window.size()) +
                             " bytes does not match the stamp window " + std::to_string(st.windowH) + "x" +
                             std::to_string(st.windowW) + " — refusing to write back");
}

}  // namespace

StreamBorrow::StreamBorrow(BankData bank, const HeadWeights& head, const ServeConfig& config, const UnifiedPi& pi,
                           const std::string& lipTemplateJson)
    : pass_(std::move(bank), head, config), N_(pass_.stamp().canvasW), pi_(pi), refX_(pass_.refX()), refY_(pass_.refY()) {
  const GeometryStamp& st = pass_.stamp();
  if (st.canvasW != st.canvasH)
    throw std::runtime_error("teeth stream: non-square compose canvas " + std::to_string(st.canvasW) + "x" +
                             std::to_string(st.canvasH) + " — le_core renders a square crop");
  if (pi_.canvas != N_)
    throw std::runtime_error("teeth stream: manifest pi canvas " + std::to_string(pi_.canvas) +
                             " != bank compose canvas " + std::to_string(N_) +
                             " — refusing to compose a mouth on a canvas the stamp does not name");
  if (!lipTemplateJson.empty()) {
    lip_ = std::make_unique<LipContour>(LipContour::fromTemplateJson(lipTemplateJson, N_));
    le::log::info("[borrow] delivery mask: LIP CONTOUR (%d verts, feather %.1f px) — the ellipse is not reachable in "
                  "this session\n",
                  lip_->nv, lip_->feather_px);
  } else {
    le::log::warn("[borrow] !!! delivery mask: ELLIPSE — this bundle carries no %s, so it serves the over-covering "
                  "elliptical mask the contour replaces. BACKFILL IT: models/vantice-2/tools/bake_lip_templates\n",
                  "lip_template.v1.json");
  }
  rgb_.assign(static_cast<size_t>(N_) * N_ * 3, 0);
  mask_.assign(static_cast<size_t>(N_) * N_, 0);
  rowBegin_ = std::max(0, st.windowY - st.shiftMargin);
  rowEnd_ = std::min(N_, st.windowY + st.windowH + st.shiftMargin);
}

std::string StreamBorrow::deliveryMask() const {
  if (!lip_) return "pi ellipse";
  char text[96];
  std::snprintf(text, sizeof text, "lip contour (%d verts, feather %.1f px)", lip_->nv, lip_->feather_px);
  return text;
}

bool StreamBorrow::push(const float* crop, const float* kp, FrameResult* out) {
  // The pass reads only the window widened by the shift margin: only those
  // rows become bytes.
  const size_t plane = static_cast<size_t>(N_) * N_;
  const size_t first = static_cast<size_t>(rowBegin_) * N_, count = static_cast<size_t>(rowEnd_ - rowBegin_) * N_;
  le::pool::parallelRange(count, 4096, [&](size_t begin, size_t end) {
    for (size_t i = first + begin; i < first + end; ++i)
      for (int c = 0; c < 3; ++c) rgb_[3 * i + c] = cropByte(crop[c * plane + i]);
  });
  return pushSynth(kp, out);
}

bool StreamBorrow::pushRgba(const uint8_t* rgba, const float* kp, FrameResult* out) {
  const size_t n = static_cast<size_t>(N_) * N_;
  for (size_t i = 0; i < n; ++i) std::memcpy(&rgb_[3 * i], rgba + 4 * i, 3);
  return pushSynth(kp, out);
}

bool StreamBorrow::pushSynth(const float* kp, FrameResult* out) {
  if (lip_) {
    lip_->deliveredU8(kp, pi_, mask_.data());
  } else {
    std::fill(mask_.begin(), mask_.end(), 0);
    pi_.piU8Boxed(kp, mask_.data());
  }
  // The delivered mask never leaves the pi support box.
  double cx = 0, cy = 0;
  int shift[2] = {0, 0};
  bool valid = UnifiedPi::piU8Centroid(mask_.data(), N_, pi_.supportBox(kp), cx, cy);
  if (valid) {
    const double dr = std::nearbyint(cy - refY_), dc = std::nearbyint(cx - refX_);
    const int m = pass_.stamp().shiftMargin;
    valid = std::fabs(dr) <= m && std::fabs(dc) <= m;
    shift[0] = static_cast<int>(dr), shift[1] = static_cast<int>(dc);
  }
  // An invalid frame goes in without a shift: the pass names why it skips it.
  return pass_.push(counter_++, rgb_.data(), mask_.data(), valid ? shift : nullptr, out);
}

void StreamBorrow::writeWindowDelta(float* crop, int N, const FrameResult& r, const GeometryStamp& st) {
  if (r.skipped) return;
  checkWindow(r, st);
  const size_t plane = static_cast<size_t>(N) * N;
  for (int c = 0; c < 3; ++c)
    for (int y = 0; y < st.windowH; ++y) {
      float* row = crop + c * plane + static_cast<size_t>(st.windowY + y) * N + st.windowX;
      const uint8_t* w = r.window.data() + static_cast<size_t>(y) * st.windowW * 3 + c;
      for (int x = 0; x < st.windowW; ++x) {
        const float old = row[x];
        const float q = static_cast<float>(cropByte(old)) * kByteStep;
        row[x] = std::clamp(static_cast<float>(w[3 * x]) * kByteStep - q + old, 0.0f, 1.0f);
      }
    }
}

void StreamBorrow::writeWindowDeltaRgba(uint8_t* rgba, int N, const FrameResult& r, const GeometryStamp& st) {
  const size_t n = static_cast<size_t>(N) * N;
  for (size_t i = 0; i < n; ++i) rgba[4 * i + 3] = 255;
  if (r.skipped) return;
  checkWindow(r, st);
  for (int y = 0; y < st.windowH; ++y) {
    uint8_t* row = rgba + (static_cast<size_t>(st.windowY + y) * N + st.windowX) * 4;
    const uint8_t* w = r.window.data() + static_cast<size_t>(y) * st.windowW * 3;
    for (int x = 0; x < st.windowW; ++x)
      for (int c = 0; c < 3; ++c) {
        const float old = row[4 * x + c] / 255.0f;
        const float q = static_cast<float>(cropByte(old)) / 255.0f;
        row[4 * x + c] = static_cast<uint8_t>(std::rint(std::clamp(w[3 * x + c] / 255.0f - q + old, 0.0f, 1.0f) * 255.0f));
      }
  }
}

}  // namespace le::tessera
