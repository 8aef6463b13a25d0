// The teeth pass's frame flow: checks at construction, the shift of each
// pushed frame, the one-frame delay, and the candidate list that carries
// donors over from the previous frame and takes some from the next.
#include "tessera/teeth_pass.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "bundle/files.h"
#include "tessera/bank_decode.h"
#include "tessera/members.h"
#include "tessera/teeth_pass_state.h"

namespace le::tessera {
namespace {

constexpr int kMaxK = 1024;  // the bank's own cap: more donors per frame than a bank holds makes no sense

bool contains(const std::vector<int>& v, int d) { return std::find(v.begin(), v.end(), d) != v.end(); }

void checkHead(const HeadWeights& head) {
  const std::vector<HeadTensor>& want = blendHeadTensors();
  bool ok = head.tensors.size() >= kCandTensors;
  for (size_t i = 0; ok && i < kCandTensors; ++i) {
    size_t n = 1;
    for (int64_t d : want[i].shape) n *= static_cast<size_t>(d);
    ok = head.tensors[i].size() == n;
  }
  if (!ok) throw std::runtime_error("teeth: head weights do not hold the BlendHead cand branch");
}

}  // namespace

TeethPass::TeethPass(BankData bank, const HeadWeights& head, const ServeConfig& config)
    : bank_(std::move(bank)), head_(head), cfg_(config) {
  const GeometryStamp& st = bank_.stamp;
  st.validate();
  if (bank_.n < 1) throw std::runtime_error("teeth: the bank holds no donors");
  const size_t need = static_cast<size_t>(bank_.n) * st.storedH() * st.storedW() * 3;
  if (bank_.track.size() != need)
    throw std::runtime_error("teeth: reference track is " + std::to_string(bank_.track.size()) +
                             " bytes, the stamp requires " + std::to_string(need) +
                             " (n * stored_h * stored_w * 3) — a decoder that delivered a different pixel format "
                             "would land here");
  if (bank_.apertures.size() != static_cast<size_t>(bank_.n) || bank_.centroids.size() != 2 * static_cast<size_t>(bank_.n))
    throw std::runtime_error("teeth: bank sidecar arrays disagree with n_donors");
  if (st.windowW < 4 || st.windowH < 4)
    throw std::runtime_error("teeth: window " + std::to_string(st.windowW) + "x" + std::to_string(st.windowH) +
                             " is below the 4x4 the pooled ranking needs");
  if (cfg_.K < 1 || cfg_.K > kMaxK || cfg_.kshort < 1 || cfg_.cut < 1)
    throw std::runtime_error("teeth: tessera_head.v1 retrieval asks for K=" + std::to_string(cfg_.K) +
                             ", kshort=" + std::to_string(cfg_.kshort) + ", cut=" + std::to_string(cfg_.cut) +
                             " — each must be at least 1 and K at most " + std::to_string(kMaxK));
  cfg_.hysteresis = std::clamp(cfg_.hysteresis, 0, cfg_.K);
  cfg_.lookahead = std::clamp(cfg_.lookahead, 0, cfg_.K);
  checkHead(head_);

  donorShift_.resize(2 * static_cast<size_t>(bank_.n));
  const auto clampShift = [&](double v) {
    const double m = st.shiftMargin;
    return static_cast<int>(std::clamp(std::nearbyint(v), -m, m));
  };
  for (int d = 0; d < bank_.n; ++d) {
    donorShift_[2 * d] = clampShift(bank_.centroids[2 * d + 1] - bank_.refY);
    donorShift_[2 * d + 1] = clampShift(bank_.centroids[2 * d] - bank_.refX);
  }

  s_ = std::make_unique<Scratch>();
  Scratch& s = *s_;
  s.WW = st.windowW, s.WH = st.windowH, s.pad = st.shiftMargin;
  s.RW = s.WW + 2 * s.pad, s.RH = s.WH + 2 * s.pad;
  s.PW = s.WW / 4, s.PH = s.WH / 4, s.HW = s.WW / 2, s.HH = s.WH / 2;
  const size_t px = static_cast<size_t>(s.WW) * s.WH, pooled = static_cast<size_t>(s.PW) * s.PH;
  const size_t half = static_cast<size_t>(s.HW) * s.HH, K = static_cast<size_t>(cfg_.K);
  s.q.resize(3 * px);
  s.qb.resize(3 * px);
  s.qm.resize(px);
  s.w.resize(px);
  s.qp.resize(3 * pooled);
  s.wp.resize(pooled);
  s.bandRows.reserve(static_cast<size_t>(s.WH));
  s.P.resize(static_cast<size_t>(bank_.n));
  s.E.resize(static_cast<size_t>(bank_.n));
  s.order.resize(static_cast<size_t>(bank_.n));
  s.shortlist.reserve(static_cast<size_t>(bank_.n));
  s.cand.reserve(2 * K + static_cast<size_t>(cfg_.lookahead));
  s.uniq.reserve(K);
  s.mult.reserve(K);
  s.candU.reserve(K);
  s.valid.resize(px);
  s.qh.resize(3 * half);
  s.scores.resize(K * half);
  s.rowTot.resize(K * static_cast<size_t>(s.WH));
  s.rowStatSum.resize(static_cast<size_t>(s.WH));
  s.rowStatMax.resize(static_cast<size_t>(s.WH));
  s.rowStatCount.resize(static_cast<size_t>(s.WH));
  s.totals.resize(K);
  s.byTotal.reserve(K);
  s.selectOrder.reserve(static_cast<size_t>(bank_.n));
  s.colX0.resize(static_cast<size_t>(s.WW));
  s.colX1.resize(static_cast<size_t>(s.WW));
  s.colFx.resize(static_cast<size_t>(s.WW));
  for (int x = 0; x < s.WW; ++x) {
    const float sx = std::max(0.0f, (static_cast<float>(x) + 0.5f) * 0.5f - 0.5f);
    const int x0 = std::min(static_cast<int>(sx), s.HW - 1);
    s.colX0[x] = x0;
    s.colX1[x] = std::min(x0 + 1, s.HW - 1);
    s.colFx[x] = sx - static_cast<float>(x0);
  }
  prevW_.resize(px);
  carried_.reserve(K);
  for (std::unique_ptr<Pending>* p : {&pending_, &incoming_}) {
    *p = std::make_unique<Pending>();
    (*p)->rgn.resize(static_cast<size_t>(s.RW) * s.RH * 3);
    (*p)->rgnMask.resize(static_cast<size_t>(s.RW) * s.RH);
    (*p)->selected.reserve(K);
  }
  buildPooledIndex();
}

TeethPass::~TeethPass() = default;

bool TeethPass::holding() const { return pending_->held; }

void TeethPass::deriveShift(const uint8_t* mask, const int* shift, Pending& p) const {
  const GeometryStamp& st = bank_.stamp;
  const int m = st.shiftMargin;
  p.valid = false;
  if (shift) {
    if (std::abs(shift[0]) > m || std::abs(shift[1]) > m) {
      p.reason = "shift-out-of-range";
      return;
    }
    p.sr = shift[0], p.sc = shift[1];
  } else {
    long long rows = 0, cols = 0, count = 0;
    for (int y = 0; y < st.canvasH; ++y) {
      const uint8_t* row = mask + static_cast<size_t>(y) * st.canvasW;
      for (int x = 0; x < st.canvasW; ++x)
        if (row[x] >= 128) rows += y, cols += x, ++count;
    }
    if (count == 0) {
      p.reason = "empty-pi";
      return;
    }
    const double dr = std::nearbyint(static_cast<double>(rows) / count - bank_.refY);
    const double dc = std::nearbyint(static_cast<double>(cols) / count - bank_.refX);
    if (std::fabs(dr) > m || std::fabs(dc) > m) {
      p.reason = "shift-out-of-range";
      return;
    }
    p.sr = static_cast<int>(dr), p.sc = static_cast<int>(dc);
  }
  p.valid = true;
  p.reason = "";
}

void TeethPass::copyRegion(const uint8_t* frame, const uint8_t* mask, Pending& p) const {
  const GeometryStamp& st = bank_.stamp;
  const Scratch& s = *s_;
  const int y0 = st.windowY - s.pad, x0 = st.windowX - s.pad;
  // Columns of the region that lie on the canvas; the rest stays zero.
  const int c0 = std::max(0, -x0), c1 = std::min(s.RW, st.canvasW - x0);
  for (int r = 0; r < s.RH; ++r) {
    uint8_t* rgb = p.rgn.data() + static_cast<size_t>(r) * s.RW * 3;
    uint8_t* msk = p.rgnMask.data() + static_cast<size_t>(r) * s.RW;
    const int y = y0 + r;
    if (y < 0 || y >= st.canvasH || c1 <= c0) {
      std::memset(rgb, 0, static_cast<size_t>(s.RW) * 3);
      std::memset(msk, 0, static_cast<size_t>(s.RW));
      continue;
    }
    std::memset(rgb, 0, static_cast<size_t>(c0) * 3);
    std::memset(msk, 0, static_cast<size_t>(c0));
    std::memcpy(rgb + c0 * 3, frame + (static_cast<size_t>(y) * st.canvasW + x0 + c0) * 3,
                static_cast<size_t>(c1 - c0) * 3);
    std::memcpy(msk + c0, mask + static_cast<size_t>(y) * st.canvasW + x0 + c0, static_cast<size_t>(c1 - c0));
    std::memset(rgb + c1 * 3, 0, static_cast<size_t>(s.RW - c1) * 3);
    std::memset(msk + c1, 0, static_cast<size_t>(s.RW - c1));
  }
}

bool TeethPass::push(int frameIndex, const uint8_t* frameRgb, const uint8_t* mouthMask, const int* shift,
                     FrameResult* out) {
  Pending& in = *incoming_;
  in.held = true;
  in.index = frameIndex;
  deriveShift(mouthMask, shift, in);
  if (in.valid) {
    copyRegion(frameRgb, mouthMask, in);
    retrievePrepare(in);
    retrieve(in);
  }
  bool emitted = false;
  if (pending_->held) {
    emit(*pending_, in.valid ? &in.selected : nullptr, out);
    pending_->held = false;
    emitted = true;
  }
  std::swap(pending_, incoming_);
  return emitted;
}

bool TeethPass::flush(FrameResult* out) {
  if (!pending_->held) return false;
  emit(*pending_, nullptr, out);
  pending_->held = false;
  return true;
}

void TeethPass::candidates(const Pending& p, const std::vector<int>* next) {
  std::vector<int>& c = s_->cand;
  c.clear();
  const size_t nNext = next && cfg_.lookaheadOn ? std::min(static_cast<size_t>(cfg_.lookahead), next->size()) : 0;
  const auto inNext = [&](int d) { return nNext > 0 && std::find(next->begin(), next->begin() + nNext, d) != next->begin() + nNext; };
  if (carriedFrom_ == p.index - 1 && !carried_.empty()) {
    c = carried_;
    for (size_t i = 0; i < nNext; ++i)
      if (!contains(c, (*next)[i])) c.push_back((*next)[i]);
    for (int d : p.selected)
      if (!inNext(d) && !contains(c, d)) c.push_back(d);
  } else {
    if (nNext > 0) c.assign(next->begin(), next->begin() + nNext);
    for (int d : p.selected)
      if (!inNext(d)) c.push_back(d);
  }
  if (c.size() > static_cast<size_t>(cfg_.K)) c.resize(static_cast<size_t>(cfg_.K));
}

void TeethPass::emit(Pending& p, const std::vector<int>* next, FrameResult* out) {
  const Scratch& s = *s_;
  out->frameIndex = p.index;
  out->window.resize(static_cast<size_t>(s.WW) * s.WH * 3);
  out->donors.clear();
  out->donorsUsed = 0;
  out->weightMean = out->weightMax = 0;
  out->skipped = !p.valid;
  out->reason = p.reason;
  out->shiftRow = p.valid ? p.sr : 0;
  out->shiftCol = p.valid ? p.sc : 0;
  if (!p.valid) return;
  StageClock clock;
  candidates(p, next);
  buildQuery(p);
  validPixels(p);
  headForward(p);
  clock.lap(stages_.head);
  blendAndWrite(p, out);
  carryOver();
  carriedFrom_ = p.index;
  clock.lap(stages_.blend);
  out->donors.assign(s.cand.begin(), s.cand.end());
  out->donorsUsed = static_cast<int>(s.cand.size());
  ++blended_;
  weightMeanSum_ += out->weightMean;
}

}  // namespace le::tessera

namespace le::tessera {

BankData loadBank(const TesseraAttachInputs& in) {
  const std::string bytes = readFile(in.bank_track_path);
  BankData b;
  b.n = in.n_donors;
  b.track = decodeBankTrack(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), in.n_donors, in.band_h,
                            in.band_w, in.track_order);
  b.apertures = in.aperture;
  b.centroids = in.cent;
  b.refX = in.c_canon[0], b.refY = in.c_canon[1];
  b.stamp = GeometryStamp::fromInts(in.stamp.data());
  return b;
}

BankData bankFromArrays(const uint8_t* track, int n, const double* centroids, const double* ref,
                        const double* apertures, const int* stampInts) {
  BankData b;
  b.stamp = GeometryStamp::fromInts(stampInts);
  b.stamp.validate();
  const size_t donors = static_cast<size_t>(n);
  b.n = n;
  b.track.assign(track, track + donors * b.stamp.storedH() * b.stamp.storedW() * 3);
  b.centroids.assign(centroids, centroids + 2 * donors);
  b.apertures.assign(apertures, apertures + donors);
  b.refX = ref[0], b.refY = ref[1];
  return b;
}

}  // namespace le::tessera
